// Message descriptor list: reader, validation and masked accessors. The file format and the record are
// described in medl.h.
#include "ttpc/medl.h"

#include "kernel/input_file.h"
#include "kernel/sim_assert.h"
#include "ttpc/fp1cni.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <string_view>
#include <type_traits>
#include <vector>

static_assert(std::is_trivially_copyable_v<Medl>, "the reader clears the record as plain memory");
static_assert(MESSAGE_AREA_BYTES == CNI_MESSAGE_AREA_BYTES && MEDL_NO_MESSAGE == CNI_NO_MESSAGE,
              "the list addresses messages of the interface");
static_assert(bit_mask(MEDL_WIDTH_POSITION) + 1 == MEDL_SLOT_COUNT, "a masked position indexes the slots");
static_assert(bit_mask(MEDL_WIDTH_MODE) == MEDL_MODE_COUNT, "the one mode beyond the table is 'no mode'");

namespace {

uint32_t masked(int32_t value, unsigned width) {
    return static_cast<uint32_t>(value) & bit_mask(width);
}

// ---------------------------------------------------------------------------------------------------------
// Key lookup
// ---------------------------------------------------------------------------------------------------------

// Fields whose setting lines the checks after reading need for their messages.
enum class Tracked : uint8_t { none, c_state_length, address_a, address_b, length_a, length_b };

// Where a resolved key stores its value: exactly one of `integer` and `real` is set.
struct Target {
    int32_t* integer = nullptr;
    double* real = nullptr;
    Tracked tracked = Tracked::none;
    uint32_t mode = 0;
    uint32_t position = 0;
};

template <class Record>
struct FieldKey {
    const char* keyword;
    int32_t Record::*field;
    Tracked tracked = Tracked::none;
};

constexpr FieldKey<BgParams> BG_KEYS[] = {
    {"bg_slot_offset", &BgParams::bg_slot_offset},
    {"bg_slot_duration", &BgParams::bg_slot_duration},
    {"bg_remaining_round", &BgParams::bg_remaining_round},
    {"crc", &BgParams::crc},
};

constexpr FieldKey<LogicalName> LOGICAL_NAME_KEYS[] = {
    {"ps", &LogicalName::ps},
    {"slot_position", &LogicalName::slot_position},
    {"multiplex_id", &LogicalName::multiplex_id},
};

// micro_to_macro, the one real-valued field, is matched before this table.
constexpr const char* MICRO_TO_MACRO = "micro_to_macro";
constexpr FieldKey<ControllerCfgParams> CFG_KEYS[] = {
    {"physical_sru_name", &ControllerCfgParams::physical_sru_name},
    {"controller_version", &ControllerCfgParams::controller_version},
    {"app_id", &ControllerCfgParams::app_id},
    {"app_version", &ControllerCfgParams::app_version},
    {"cf", &ControllerCfgParams::cf},
    {"c_state_length", &ControllerCfgParams::c_state_length, Tracked::c_state_length},
    {"tdma_round_length", &ControllerCfgParams::tdma_round_length},
    {"startup_timeout", &ControllerCfgParams::startup_timeout},
    {"free_running_macroticks", &ControllerCfgParams::free_running_macroticks},
    {"mmfc", &ControllerCfgParams::mmfc},
    {"max_cold_start_entry", &ControllerCfgParams::max_cold_start_entry},
    {"crc", &ControllerCfgParams::crc},
};

constexpr const char* ROLE_LOGICAL_NAME = "logical_name";
constexpr const char* ROLE_BUS_GUARDIAN = "bus_guardian";
constexpr FieldKey<RoleList> ROLE_KEYS[] = {
    {"crc", &RoleList::crc},
};

constexpr const char* DEFERRED_MODE = "deferred_mode";
constexpr FieldKey<ModeControlEntry> MODE_CONTROL_KEYS[] = {
    {"crc", &ModeControlEntry::crc},
};

constexpr const char* SYNCHRONIZATION_PERIOD = "synchronization_period_params";
constexpr const char* LISTEN_COLD_START_PERIOD = "listen_cold_start_period_params";
constexpr FieldKey<ImplementationParams> IMPLEMENTATION_KEYS[] = {
    {"entries", &ImplementationParams::entries},
    {"rom_speed", &ImplementationParams::rom_speed},
    {"i_frame_time", &ImplementationParams::i_frame_time},
    {"ifg_time", &ImplementationParams::ifg_time},
    {"listen_delay", &ImplementationParams::listen_delay},
    {"watchdog_slot_length", &ImplementationParams::watchdog_slot_length},
    {"listen_timeout_extension", &ImplementationParams::listen_timeout_extension},
    {"listen_timeout_restart_time", &ImplementationParams::listen_timeout_restart_time},
    {"oversampling_rate", &ImplementationParams::oversampling_rate},
    {"sync_interval", &ImplementationParams::sync_interval},
    {"crc", &ImplementationParams::crc},
};

constexpr const char* SLOT_LOGICAL_NAME = "logical_name";
constexpr FieldKey<SlotControlEntry> SLOT_KEYS[] = {
    {"sru_slot_duration", &SlotControlEntry::sru_slot_duration},
    {"mo", &SlotControlEntry::mo},
    {"membership_pos", &SlotControlEntry::membership_pos},
    {"medl_pos", &SlotControlEntry::medl_pos},
    {"mm", &SlotControlEntry::mm},
    {"eor", &SlotControlEntry::eor},
    {"ra", &SlotControlEntry::ra},
    {"eot", &SlotControlEntry::eot},
    {"cs", &SlotControlEntry::cs},
    {"syf", &SlotControlEntry::syf},
    {"ba", &SlotControlEntry::ba},
    {"delay_correction", &SlotControlEntry::delay_correction},
};

constexpr const char* MCP_I = "mcp_i";
constexpr const char* MCP_D = "mcp_d";
constexpr FieldKey<ModeAddressEntry> MODE_ADDRESS_KEYS[] = {
    {"ru1", &ModeAddressEntry::ru1},
    {"ru2", &ModeAddressEntry::ru2},
    {"ia", &ModeAddressEntry::ia},
    {"ib", &ModeAddressEntry::ib},
    {"cni_address_cha", &ModeAddressEntry::cni_address_cha, Tracked::address_a},
    {"cni_address_chb", &ModeAddressEntry::cni_address_chb, Tracked::address_b},
    {"dafla", &ModeAddressEntry::dafla, Tracked::length_a},
    {"daflb", &ModeAddressEntry::daflb, Tracked::length_b},
    {"mcp_c", &ModeAddressEntry::mcp_c},
    {"eoc", &ModeAddressEntry::eoc},
    {"crc", &ModeAddressEntry::crc},
};

enum class Section {
    revision,
    controller_cfg_params,
    bus_guardian_cold_start,
    bus_guardian_download,
    role_list,
    mode_control_entry,
    implementation_params,
    slot_control_entry,
    mode_address_entry,
};

struct SectionKey {
    const char* keyword;
    Section section;
};

constexpr SectionKey SECTION_KEYS[] = {
    {"revision", Section::revision},
    {"controller_cfg_params", Section::controller_cfg_params},
    {"bus_guardian_cold_start", Section::bus_guardian_cold_start},
    {"bus_guardian_download", Section::bus_guardian_download},
    {"role_list", Section::role_list},
    {"mode_control_entry", Section::mode_control_entry},
    {"implementation_params", Section::implementation_params},
    {"slot_control_entry", Section::slot_control_entry},
    {"mode_address_entry", Section::mode_address_entry},
};

// One level of a dotted key: the component before the first '.', and what follows that '.'.
struct Split {
    std::string_view component;
    std::string_view rest;
};

Split split_key(std::string_view key) {
    const size_t dot = key.find('.');
    if (dot == std::string_view::npos) {
        return {key, {}};
    }
    return {key.substr(0, dot), key.substr(dot + 1)};
}

template <class Record, size_t N>
const FieldKey<Record>* match_field(const FieldKey<Record> (&table)[N], std::string_view component) {
    for (const FieldKey<Record>& key : table) {
        if (component.starts_with(key.keyword)) {
            return &key;
        }
    }
    return nullptr;
}

// The refusal of a component that names nothing at its level, listing what the level accepts.
template <class Record, size_t N>
bool refuse_component(std::string& reason, std::string_view component, const char* level,
                      const FieldKey<Record> (&table)[N], std::initializer_list<const char*> more = {}) {
    if (component.empty()) {
        reason = "the key ends without a field of ";
        reason += level;
    } else {
        reason = "'";
        reason += component;
        reason += "' is not a field of ";
        reason += level;
    }
    reason += "; expected one of";
    const char* separator = " ";
    for (const char* keyword : more) {
        reason += separator;
        reason += keyword;
        separator = ", ";
    }
    for (const FieldKey<Record>& key : table) {
        reason += separator;
        reason += key.keyword;
        separator = ", ";
    }
    return false;
}

template <class Record>
void aim(Target& target, Record& record, const FieldKey<Record>& key) {
    target.integer = &(record.*(key.field));
    target.tracked = key.tracked;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

enum class IndexForm { ok, missing, malformed };

// Takes "[digits]" off the front of `text`: at least one and at most MEDL_INDEX_DIGITS_MAX decimal digits.
IndexForm take_index(std::string_view& text, uint32_t& value) {
    if (text.empty() || text.front() != '[') {
        return IndexForm::missing;
    }
    size_t i = 1;
    uint32_t number = 0;
    while (i < text.size() && is_digit(text[i])) {
        if (i > MEDL_INDEX_DIGITS_MAX) {
            return IndexForm::malformed;
        }
        number = number * 10 + static_cast<uint32_t>(text[i] - '0');
        ++i;
    }
    if (i == 1 || i >= text.size() || text[i] != ']') {
        return IndexForm::malformed;
    }
    value = number;
    text.remove_prefix(i + 1);
    return IndexForm::ok;
}

// Takes one index of `keyword` off the front of `text` and checks it against 0 .. count - 1; `what` names
// the index in the refusal ("slot index 600 is outside 0-511"). `usage` shows the indexed form.
bool take_checked_index(std::string_view& text, const char* keyword, const char* usage, const char* what,
                        uint32_t count, uint32_t& value, std::string& reason) {
    switch (take_index(text, value)) {
    case IndexForm::missing:
        reason = std::string(keyword) + " needs its index in square brackets, as in " + usage;
        return false;
    case IndexForm::malformed:
        reason = std::string("the index of ") + keyword + " must be 1 to " +
                 std::to_string(MEDL_INDEX_DIGITS_MAX) + " decimal digits in square brackets, as in " + usage;
        return false;
    case IndexForm::ok:
        break;
    }
    if (value >= count) {
        reason = std::string(what) + " index " + std::to_string(value) + " is outside 0-" +
                 std::to_string(count - 1);
        return false;
    }
    return true;
}

bool find_bg(BgParams& bg, std::string_view rest, const char* level, Target& target, std::string& reason) {
    const std::string_view component = split_key(rest).component;
    if (const auto* key = match_field(BG_KEYS, component)) {
        aim(target, bg, *key);
        return true;
    }
    return refuse_component(reason, component, level, BG_KEYS);
}

bool find_logical_name(LogicalName& name, std::string_view rest, const char* level, Target& target,
                       std::string& reason) {
    const std::string_view component = split_key(rest).component;
    if (const auto* key = match_field(LOGICAL_NAME_KEYS, component)) {
        aim(target, name, *key);
        return true;
    }
    return refuse_component(reason, component, level, LOGICAL_NAME_KEYS);
}

bool find_cfg(ControllerCfgParams& cfg, std::string_view rest, Target& target, std::string& reason) {
    const std::string_view component = split_key(rest).component;
    if (component.starts_with(MICRO_TO_MACRO)) {
        target.real = &cfg.micro_to_macro;
        return true;
    }
    if (const auto* key = match_field(CFG_KEYS, component)) {
        aim(target, cfg, *key);
        return true;
    }
    return refuse_component(reason, component, "controller_cfg_params", CFG_KEYS, {MICRO_TO_MACRO});
}

bool find_role(RoleList& role, std::string_view rest, Target& target, std::string& reason) {
    const auto [component, inner] = split_key(rest);
    if (component.starts_with(ROLE_LOGICAL_NAME)) {
        return find_logical_name(role.logical_name, inner, "role_list.logical_name", target, reason);
    }
    if (component.starts_with(ROLE_BUS_GUARDIAN)) {
        return find_bg(role.bus_guardian, inner, "role_list.bus_guardian", target, reason);
    }
    if (const auto* key = match_field(ROLE_KEYS, component)) {
        aim(target, role, *key);
        return true;
    }
    return refuse_component(reason, component, "role_list", ROLE_KEYS,
                            {ROLE_LOGICAL_NAME, ROLE_BUS_GUARDIAN});
}

// `indexed` is what follows the section keyword: "[m].<field>".
bool find_mode_control(Medl& medl, std::string_view indexed, Target& target, std::string& reason) {
    const auto [head, rest] = split_key(indexed);
    std::string_view index_text = head;
    uint32_t mode = 0;
    if (!take_checked_index(index_text, "mode_control_entry", "mode_control_entry[0].crc", "mode",
                            MEDL_MODE_COUNT, mode, reason)) {
        return false;
    }
    ModeControlEntry& entry = medl.mode_control_entry[mode];
    const std::string_view component = split_key(rest).component;
    if (component.starts_with(DEFERRED_MODE)) {
        std::string_view k_text = component.substr(std::strlen(DEFERRED_MODE));
        uint32_t k = 0;
        if (!take_checked_index(k_text, DEFERRED_MODE, "deferred_mode[0]", DEFERRED_MODE,
                                MEDL_MODE_CHANGE_COUNT, k, reason)) {
            return false;
        }
        target.integer = &entry.deferred_mode[k];
        return true;
    }
    if (const auto* key = match_field(MODE_CONTROL_KEYS, component)) {
        aim(target, entry, *key);
        return true;
    }
    return refuse_component(reason, component, "mode_control_entry", MODE_CONTROL_KEYS, {DEFERRED_MODE});
}

bool find_implementation(ImplementationParams& params, std::string_view rest, Target& target,
                         std::string& reason) {
    const auto [component, inner] = split_key(rest);
    if (component.starts_with(SYNCHRONIZATION_PERIOD)) {
        return find_bg(params.synchronization_period_params, inner,
                       "implementation_params.synchronization_period_params", target, reason);
    }
    if (component.starts_with(LISTEN_COLD_START_PERIOD)) {
        return find_bg(params.listen_cold_start_period_params, inner,
                       "implementation_params.listen_cold_start_period_params", target, reason);
    }
    if (const auto* key = match_field(IMPLEMENTATION_KEYS, component)) {
        aim(target, params, *key);
        return true;
    }
    return refuse_component(reason, component, "implementation_params", IMPLEMENTATION_KEYS,
                            {SYNCHRONIZATION_PERIOD, LISTEN_COLD_START_PERIOD});
}

bool find_slot_control(Medl& medl, std::string_view indexed, Target& target, std::string& reason) {
    const auto [head, rest] = split_key(indexed);
    std::string_view index_text = head;
    uint32_t position = 0;
    if (!take_checked_index(index_text, "slot_control_entry", "slot_control_entry[0].eot", "slot",
                            MEDL_SLOT_COUNT, position, reason)) {
        return false;
    }
    SlotControlEntry& slot = medl.slot_control_entry[position];
    const auto [component, inner] = split_key(rest);
    if (component.starts_with(SLOT_LOGICAL_NAME)) {
        return find_logical_name(slot.logical_name, inner, "slot_control_entry.logical_name", target, reason);
    }
    if (const auto* key = match_field(SLOT_KEYS, component)) {
        aim(target, slot, *key);
        return true;
    }
    return refuse_component(reason, component, "slot_control_entry", SLOT_KEYS, {SLOT_LOGICAL_NAME});
}

bool find_mode_address(Medl& medl, std::string_view indexed, Target& target, std::string& reason) {
    const auto [head, rest] = split_key(indexed);
    std::string_view index_text = head;
    const char* usage = "mode_address_entry[0][0].ia (mode, then slot)";
    uint32_t mode = 0;
    uint32_t position = 0;
    if (!take_checked_index(index_text, "mode_address_entry", usage, "mode", MEDL_MODE_COUNT, mode, reason) ||
        !take_checked_index(index_text, "mode_address_entry", usage, "slot", MEDL_SLOT_COUNT, position,
                            reason)) {
        return false;
    }
    ModeAddressEntry& entry = medl.mode_address_entry[mode][position];
    target.mode = mode;
    target.position = position;
    const std::string_view component = split_key(rest).component;
    const bool immediate = component.starts_with(MCP_I);
    if (immediate || component.starts_with(MCP_D)) {
        const char* permission = immediate ? MCP_I : MCP_D;
        std::string_view k_text = component.substr(std::strlen(permission));
        const std::string k_usage = std::string(permission) + "[0]";
        uint32_t k = 0;
        if (!take_checked_index(k_text, permission, k_usage.c_str(), permission, MEDL_MODE_CHANGE_COUNT, k,
                                reason)) {
            return false;
        }
        target.integer = immediate ? &entry.mcp_i[k] : &entry.mcp_d[k];
        return true;
    }
    if (const auto* key = match_field(MODE_ADDRESS_KEYS, component)) {
        aim(target, entry, *key);
        return true;
    }
    return refuse_component(reason, component, "mode_address_entry", MODE_ADDRESS_KEYS, {MCP_I, MCP_D});
}

// Finds the field that a resolved key names; false with `reason` set when the key names none.
bool find_target(Medl& medl, std::string_view key, Target& target, std::string& reason) {
    const auto [component, rest] = split_key(key);
    const SectionKey* found = nullptr;
    for (const SectionKey& section : SECTION_KEYS) {
        if (component.starts_with(section.keyword)) {
            found = &section;
            break;
        }
    }
    if (found == nullptr) {
        reason = "'" + std::string(component) + "' is not a section of the list; expected one of";
        const char* separator = " ";
        for (const SectionKey& section : SECTION_KEYS) {
            reason += separator;
            reason += section.keyword;
            separator = ", ";
        }
        return false;
    }
    // What follows the keyword within the key: an index and/or the further components.
    const std::string_view after = key.substr(std::strlen(found->keyword));
    switch (found->section) {
    case Section::revision:
        target.integer = &medl.revision;
        return true;
    case Section::controller_cfg_params:
        return find_cfg(medl.controller_cfg_params, rest, target, reason);
    case Section::bus_guardian_cold_start:
        return find_bg(medl.bus_guardian_cold_start, rest, "bus_guardian_cold_start", target, reason);
    case Section::bus_guardian_download:
        return find_bg(medl.bus_guardian_download, rest, "bus_guardian_download", target, reason);
    case Section::role_list:
        return find_role(medl.role_list, rest, target, reason);
    case Section::mode_control_entry:
        return find_mode_control(medl, after, target, reason);
    case Section::implementation_params:
        return find_implementation(medl.implementation_params, rest, target, reason);
    case Section::slot_control_entry:
        return find_slot_control(medl, after, target, reason);
    case Section::mode_address_entry:
        return find_mode_address(medl, after, target, reason);
    }
    return false;
}

// ---------------------------------------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------------------------------------

// "%d": sign and decimal digits, the rest ignored. Keeps the low 32 bits of what strtoll gives (which
// saturates beyond the 64-bit range), so every input has one defined result.
bool convert_integer(const char* text, int32_t& value) {
    char* end = nullptr;
    const long long number = std::strtoll(text, &end, 10);
    if (end == text) {
        return false;
    }
    value = static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(number)));
    return true;
}

// "%lf".
bool convert_real(const char* text, double& value) {
    char* end = nullptr;
    const double number = std::strtod(text, &end);
    if (end == text) {
        return false;
    }
    value = number;
    return true;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// ---------------------------------------------------------------------------------------------------------
// The reader
// ---------------------------------------------------------------------------------------------------------

// A line that set a message address or data length of a mode address entry.
struct AreaSetting {
    uint16_t mode;
    uint16_t position;
    Tracked field;
    unsigned line;
};

enum class Piece { text, end, error };

class MedlReader {
  public:
    MedlReader(Medl& medl, std::FILE* stream, const char* name, MedlError* why, MedlLines* lines)
        : medl_(medl), stream_(stream), name_(name), why_(why), lines_(lines) {}

    uint8_t run() {
        for (;;) {
            bool ends_line = false;
            const Piece piece = read_piece(ends_line);
            if (piece == Piece::end) {
                break;
            }
            if (piece == Piece::error) {
                const int error = errno;
                return refuse(MEDL_READ_ERROR, line_, {}, std::string("read error: ") + std::strerror(error));
            }
            const uint8_t code = take_line();
            if (code != MEDL_OK) {
                return code;
            }
            if (ends_line) {
                ++line_;
            }
        }
        return check_values();
    }

  private:
    // The next piece of the file: up to and including a newline, at most MEDL_LINE_MAX characters.
    Piece read_piece(bool& ends_line) {
        length_ = 0;
        while (length_ < MEDL_LINE_MAX) {
            const int c = std::getc(stream_);
            if (c == EOF) {
                if (std::ferror(stream_)) {
                    return Piece::error;
                }
                break;
            }
            buffer_[length_++] = static_cast<char>(c);
            if (c == '\n') {
                ends_line = true;
                break;
            }
        }
        buffer_[length_] = '\0';
        return length_ == 0 ? Piece::end : Piece::text;
    }

    // Handles the piece in buffer_: a comment, a skipped line, or a value and its key.
    uint8_t take_line() {
        // The text ends at a NUL character as well as at the end of the piece.
        const void* nul = std::memchr(buffer_, '\0', length_);
        const size_t length =
            nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - buffer_) : length_;
        if (length > 0 && buffer_[0] == '#') {
            return MEDL_OK;
        }
        size_t i = 0;
        while (i < length && is_space(buffer_[i])) {
            ++i;
        }
        const size_t value_begin = i;
        while (i < length && !is_space(buffer_[i])) {
            ++i;
        }
        const size_t value_end = i;
        while (i < length && is_space(buffer_[i])) {
            ++i;
        }
        const size_t key_begin = i;
        while (i < length && !is_space(buffer_[i])) {
            ++i;
        }
        if (value_begin == value_end || key_begin == i) {
            return MEDL_OK;
        }
        buffer_[value_end] = '\0'; // a separating space: the value becomes a C string
        const std::string_view key(buffer_ + key_begin, i - key_begin);

        const uint8_t resolved = resolve(key);
        if (resolved != MEDL_OK) {
            return resolved;
        }
        Target target;
        std::string reason;
        if (!find_target(medl_, path_, target, reason)) {
            return refuse(MEDL_UNKNOWN_KEY, line_, path_, reason);
        }
        store(buffer_ + value_begin, target);
        return MEDL_OK;
    }

    // Makes path_ the resolved key: an absolute key as it is, a relative one against the current path.
    uint8_t resolve(std::string_view key) {
        if (key.front() != '.') {
            path_.assign(key);
            return MEDL_OK;
        }
        if (path_.empty()) {
            return refuse(MEDL_UNRESOLVED_KEY, line_, key,
                          "a relative key needs an absolute key on an earlier line to continue");
        }
        size_t dots = 0;
        for (const char c : key) {
            dots += c == '.' ? 1 : 0;
        }
        size_t cut = path_.size();
        size_t found = 0;
        while (found < dots && cut > 0) {
            --cut;
            found += path_[cut] == '.' ? 1 : 0;
        }
        if (found < dots) {
            return refuse(MEDL_UNRESOLVED_KEY, line_, key,
                          "this relative key needs at least " + std::to_string(dots) +
                              " '.' in the current path, but '" + path_ + "' has " + std::to_string(found) +
                              "; write the key in full");
        }
        if (cut + key.size() > MEDL_LINE_MAX) {
            return refuse(MEDL_UNRESOLVED_KEY, line_, key,
                          "the resolved key would have " + std::to_string(cut + key.size()) +
                              " characters, more than " + std::to_string(MEDL_LINE_MAX));
        }
        path_.resize(cut);
        path_.append(key);
        return MEDL_OK;
    }

    void store(const char* value, const Target& target) {
        if (target.real != nullptr) {
            if (convert_real(value, *target.real)) { // a value that does not convert leaves the field
                note_line(target.real);
            }
            return;
        }
        if (!convert_integer(value, *target.integer)) {
            return;
        }
        note_line(target.integer);
        switch (target.tracked) {
        case Tracked::none:
            break;
        case Tracked::c_state_length:
            c_state_length_line_ = line_;
            break;
        case Tracked::address_a:
        case Tracked::address_b:
        case Tracked::length_a:
        case Tracked::length_b:
            area_settings_.push_back({static_cast<uint16_t>(target.mode),
                                      static_cast<uint16_t>(target.position), target.tracked, line_});
            break;
        }
    }

    void note_line(const void* field) {
        if (lines_ != nullptr) {
            const auto offset =
                static_cast<size_t>(static_cast<const char*>(field) - reinterpret_cast<const char*>(&medl_));
            lines_->by_field[offset] = MedlKeyLine{line_, path_};
        }
    }

    // The last line that set `field` of the entry (mode, position); 0 if none did.
    unsigned setting_line(uint32_t mode, uint32_t position, Tracked field) const {
        for (auto it = area_settings_.rbegin(); it != area_settings_.rend(); ++it) {
            if (it->mode == mode && it->position == position && it->field == field) {
                return it->line;
            }
        }
        return 0;
    }

    // Refuses values that the controller cannot use (result 8), once the whole file is read.
    uint8_t check_values() {
        const int32_t raw_length = medl_.controller_cfg_params.c_state_length;
        const uint32_t length = get_c_state_length(medl_);
        // A list that never sets the length reads as all zeros; whether such a list can run is the
        // business of the controller's own check before a run.
        if (c_state_length_line_ != 0 &&
            (length < MEDL_C_STATE_LENGTH_MIN || length > MEDL_C_STATE_LENGTH_MAX)) {
            const char* key = "controller_cfg_params.c_state_length";
            std::string what = "C-state length " + std::to_string(length);
            if (static_cast<uint32_t>(raw_length) != length) {
                what += " (" + std::to_string(raw_length) + " modulo 16)";
            }
            return refuse(MEDL_UNUSABLE_VALUE, c_state_length_line_, key, what + " is outside 2-6");
        }
        for (uint32_t mode = 0; mode < MEDL_MODE_COUNT; ++mode) {
            for (uint32_t position = 0; position < MEDL_SLOT_COUNT; ++position) {
                const ModeAddressEntry& entry = medl_.mode_address_entry[mode][position];
                uint8_t code =
                    check_message(mode, position, get_cni_address_cha(entry), get_dafla(entry), 'a');
                if (code == MEDL_OK) {
                    code = check_message(mode, position, get_cni_address_chb(entry), get_daflb(entry), 'b');
                }
                if (code != MEDL_OK) {
                    return code;
                }
            }
        }
        return MEDL_OK;
    }

    // A channel's message lies at byte 2 * address: status byte, spare byte and dafl + 1 data bytes, all
    // inside the message area (the rule by which the controller hands the message out).
    uint8_t check_message(uint32_t mode, uint32_t position, uint32_t address, uint32_t dafl, char channel) {
        const uint32_t data_bytes = dafl + 1;
        const uint32_t end = 2 * address + 2 + data_bytes;
        if (address == MEDL_NO_MESSAGE || message_fits(address, data_bytes)) {
            return MEDL_OK;
        }
        const bool a = channel == 'a';
        const std::string entry =
            "mode_address_entry[" + std::to_string(mode) + "][" + std::to_string(position) + "].";
        const unsigned address_line =
            setting_line(mode, position, a ? Tracked::address_a : Tracked::address_b);
        const unsigned length_line = setting_line(mode, position, a ? Tracked::length_a : Tracked::length_b);
        std::string what = "the message at address " + std::to_string(address) + " with " +
                           std::to_string(data_bytes) + " data bytes ends at byte " + std::to_string(end) +
                           ", beyond the " + std::to_string(MESSAGE_AREA_BYTES) +
                           "-byte message area; use an address up to " +
                           std::to_string((MESSAGE_AREA_BYTES - 2 - data_bytes) / 2) + " or " +
                           std::to_string(MEDL_NO_MESSAGE) + " for no message";
        if (length_line != 0) {
            what +=
                " (" + entry + (a ? "dafla" : "daflb") + " set at line " + std::to_string(length_line) + ")";
        }
        return refuse(MEDL_UNUSABLE_VALUE, address_line, entry + (a ? "cni_address_cha" : "cni_address_chb"),
                      what);
    }

    uint8_t refuse(uint8_t code, unsigned line, std::string_view key, const std::string& what) {
        if (why_ != nullptr) {
            why_->code = code;
            why_->line = line;
            why_->key = key;
            why_->message = name_;
            if (line != 0) {
                why_->message += ":" + std::to_string(line);
            }
            why_->message += ": ";
            if (!key.empty()) {
                why_->message += "key '";
                why_->message += key;
                why_->message += "': ";
            }
            why_->message += what;
        }
        return code;
    }

    Medl& medl_;
    std::FILE* stream_;
    const char* name_;
    MedlError* why_;
    MedlLines* lines_;
    char buffer_[MEDL_LINE_MAX + 1];
    size_t length_ = 0;
    unsigned line_ = 1;
    std::string path_; // the current key path; empty until the first absolute key
    unsigned c_state_length_line_ = 0;
    std::vector<AreaSetting> area_settings_;
};

uint8_t report(MedlError* why, uint8_t code, const std::string& message) {
    if (why != nullptr) {
        *why = MedlError{};
        why->code = code;
        why->message = message;
    }
    return code;
}

} // namespace

const MedlKeyLine* medl_field_line(const Medl& medl, const MedlLines& lines, const void* field) {
    const auto offset =
        static_cast<size_t>(static_cast<const char*>(field) - reinterpret_cast<const char*>(&medl));
    const auto found = lines.by_field.find(offset);
    return found == lines.by_field.end() ? nullptr : &found->second;
}

uint8_t read_medl(Medl* medl, unsigned node_index, const char* directory, MedlError* why, MedlLines* lines) {
    if (node_index > 99) {
        return report(why, MEDL_INDEX_TOO_HIGH, "node index " + std::to_string(node_index) + " is above 99");
    }
    char name[16];
    std::snprintf(name, sizeof name, "medl%02u.txt", node_index);
    std::string path;
    if (directory != nullptr && directory[0] != '\0') {
        path = directory;
        if (path.back() != '/') {
            path += '/';
        }
    }
    path += name;
    return read_medl_file(medl, path.c_str(), why, lines);
}

uint8_t read_medl_file(Medl* medl, const char* path, MedlError* why, MedlLines* lines) {
    if (medl == nullptr) {
        return report(why, MEDL_NO_RECORD, "no record given");
    }
    if (path == nullptr) {
        return report(why, MEDL_CANNOT_OPEN, "no file name given");
    }
    // A device or a pipe could block the reader or never end: like a directory, whose first read fails, it
    // is a read error of the first line.
    std::string not_a_file;
    std::error_code ignored;
    if (!is_input_file(path, &not_a_file) && std::filesystem::exists(path, ignored) &&
        !std::filesystem::is_directory(path, ignored)) {
        (void)report(why, MEDL_READ_ERROR, std::string(path) + ":1: read error: " + not_a_file);
        if (why != nullptr) {
            why->line = 1;
        }
        return MEDL_READ_ERROR;
    }
    std::FILE* stream = std::fopen(path, "r");
    if (stream == nullptr) {
        const int error = errno;
        return report(why, MEDL_CANNOT_OPEN,
                      std::string(path) + ": cannot open for reading: " + std::strerror(error));
    }
    const uint8_t code = read_medl_stream(medl, stream, path, why, lines);
    std::fclose(stream);
    return code;
}

uint8_t read_medl_stream(Medl* medl, std::FILE* stream, const char* display_name, MedlError* why,
                         MedlLines* lines) {
    if (medl == nullptr) {
        return report(why, MEDL_NO_RECORD, "no record given");
    }
    const char* name = display_name != nullptr ? display_name : "(stream)";
    if (stream == nullptr) {
        return report(why, MEDL_CANNOT_OPEN, std::string(name) + ": no stream to read");
    }
    (void)report(why, MEDL_OK, {});
    std::memset(static_cast<void*>(medl), 0, sizeof *medl);
    if (lines != nullptr) {
        lines->by_field.clear();
    }
    return MedlReader(*medl, stream, name, why, lines).run();
}

const char* medl_result_text(uint8_t code) {
    switch (code) {
    case MEDL_OK:
        return "the whole file was read";
    case MEDL_INDEX_TOO_HIGH:
        return "node index above 99";
    case MEDL_NO_RECORD:
        return "no record given";
    case MEDL_CANNOT_OPEN:
        return "the file cannot be opened for reading";
    case MEDL_READ_ERROR:
        return "read error";
    case MEDL_UNRESOLVED_KEY:
        return "a relative key cannot be resolved";
    case MEDL_UNKNOWN_KEY:
        return "a key is not recognised or its index is missing, malformed or out of range";
    case MEDL_UNUSABLE_VALUE:
        return "a value the controller cannot use";
    default:
        return "unknown result code";
    }
}

uint32_t get_cf(const Medl& medl) {
    return masked(medl.controller_cfg_params.cf, MEDL_WIDTH_CF);
}
uint32_t get_c_state_length(const Medl& medl) {
    return masked(medl.controller_cfg_params.c_state_length, MEDL_WIDTH_C_STATE_LENGTH);
}
uint32_t get_tdma_round_length(const Medl& medl) {
    return masked(medl.controller_cfg_params.tdma_round_length, MEDL_WIDTH_TDMA_ROUND_LENGTH);
}
uint32_t get_startup_timeout(const Medl& medl) {
    return masked(medl.controller_cfg_params.startup_timeout, MEDL_WIDTH_STARTUP_TIMEOUT);
}
uint32_t get_free_running_macroticks(const Medl& medl) {
    return masked(medl.controller_cfg_params.free_running_macroticks, MEDL_WIDTH_FREE_RUNNING_MACROTICKS);
}
uint32_t get_mmfc(const Medl& medl) {
    return masked(medl.controller_cfg_params.mmfc, MEDL_WIDTH_MMFC);
}
double get_micro_to_macro(const Medl& medl) {
    return medl.controller_cfg_params.micro_to_macro;
}
uint32_t get_max_cold_start_entry(const Medl& medl) {
    return masked(medl.controller_cfg_params.max_cold_start_entry, MEDL_WIDTH_MAX_COLD_START_ENTRY);
}
uint32_t get_ifg_time(const Medl& medl) {
    return masked(medl.implementation_params.ifg_time, MEDL_WIDTH_IFG_TIME);
}

uint32_t get_bg_slot_offset(const BgParams& bg) {
    return masked(bg.bg_slot_offset, MEDL_WIDTH_BG_PARAM);
}
uint32_t get_bg_slot_duration(const BgParams& bg) {
    return masked(bg.bg_slot_duration, MEDL_WIDTH_BG_PARAM);
}
uint32_t get_bg_remaining_round(const BgParams& bg) {
    return masked(bg.bg_remaining_round, MEDL_WIDTH_BG_PARAM);
}

uint32_t get_ps(const LogicalName& name) {
    return masked(name.ps, MEDL_WIDTH_FLAG);
}
uint32_t get_slot_position(const LogicalName& name) {
    return masked(name.slot_position, MEDL_WIDTH_SLOT_POSITION);
}
uint32_t get_multiplex_id(const LogicalName& name) {
    return masked(name.multiplex_id, MEDL_WIDTH_MULTIPLEX_ID);
}
bool same_logical_name(const LogicalName& a, const LogicalName& b) {
    return get_ps(a) == get_ps(b) && get_slot_position(a) == get_slot_position(b) &&
           get_multiplex_id(a) == get_multiplex_id(b);
}

uint32_t get_sru_slot_duration(const SlotControlEntry& slot) {
    return masked(slot.sru_slot_duration, MEDL_WIDTH_SRU_SLOT_DURATION);
}
uint32_t get_membership_pos(const SlotControlEntry& slot) {
    return masked(slot.membership_pos, MEDL_WIDTH_MEMBERSHIP_POS);
}
uint32_t get_ra(const SlotControlEntry& slot) {
    return masked(slot.ra, MEDL_WIDTH_FLAG);
}
uint32_t get_eot(const SlotControlEntry& slot) {
    return masked(slot.eot, MEDL_WIDTH_FLAG);
}
uint32_t get_cs(const SlotControlEntry& slot) {
    return masked(slot.cs, MEDL_WIDTH_FLAG);
}
uint32_t get_syf(const SlotControlEntry& slot) {
    return masked(slot.syf, MEDL_WIDTH_FLAG);
}
uint32_t get_ba(const SlotControlEntry& slot) {
    return masked(slot.ba, MEDL_WIDTH_FLAG);
}

uint32_t get_ru1(const ModeAddressEntry& entry) {
    return masked(entry.ru1, MEDL_WIDTH_FLAG);
}
uint32_t get_ru2(const ModeAddressEntry& entry) {
    return masked(entry.ru2, MEDL_WIDTH_FLAG);
}
uint32_t get_ia(const ModeAddressEntry& entry) {
    return masked(entry.ia, MEDL_WIDTH_FLAG);
}
uint32_t get_ib(const ModeAddressEntry& entry) {
    return masked(entry.ib, MEDL_WIDTH_FLAG);
}
uint32_t get_cni_address_cha(const ModeAddressEntry& entry) {
    return masked(entry.cni_address_cha, MEDL_WIDTH_CNI_ADDRESS);
}
uint32_t get_cni_address_chb(const ModeAddressEntry& entry) {
    return masked(entry.cni_address_chb, MEDL_WIDTH_CNI_ADDRESS);
}
uint32_t get_dafla(const ModeAddressEntry& entry) {
    return masked(entry.dafla, MEDL_WIDTH_DAFL);
}
uint32_t get_daflb(const ModeAddressEntry& entry) {
    return masked(entry.daflb, MEDL_WIDTH_DAFL);
}
uint32_t get_mcp_c(const ModeAddressEntry& entry) {
    return masked(entry.mcp_c, MEDL_WIDTH_FLAG);
}
uint32_t get_mcp_i(const ModeAddressEntry& entry, uint32_t k) {
    return k < MEDL_MODE_CHANGE_COUNT ? masked(entry.mcp_i[k], MEDL_WIDTH_FLAG) : 0;
}
uint32_t get_mcp_d(const ModeAddressEntry& entry, uint32_t k) {
    return k < MEDL_MODE_CHANGE_COUNT ? masked(entry.mcp_d[k], MEDL_WIDTH_FLAG) : 0;
}
uint32_t get_deferred_mode(const ModeControlEntry& entry, uint32_t k) {
    return k < MEDL_MODE_CHANGE_COUNT ? masked(entry.deferred_mode[k], MEDL_WIDTH_DEFERRED_MODE)
                                      : MEDL_NO_MODE_CHANGE;
}

const SlotControlEntry& slot_control_entry(const Medl& medl, uint32_t position) {
    return medl.slot_control_entry[position & bit_mask(MEDL_WIDTH_POSITION)];
}

const ModeAddressEntry* mode_address_entry(const Medl& medl, uint32_t mode, uint32_t position) {
    const uint32_t m = mode & bit_mask(MEDL_WIDTH_MODE);
    if (m >= MEDL_MODE_COUNT) {
        return nullptr;
    }
    return &medl.mode_address_entry[m][position & bit_mask(MEDL_WIDTH_POSITION)];
}

const ModeControlEntry* mode_control_entry(const Medl& medl, uint32_t mode) {
    const uint32_t m = mode & bit_mask(MEDL_WIDTH_MODE);
    if (m >= MEDL_MODE_COUNT) {
        return nullptr;
    }
    return &medl.mode_control_entry[m];
}
