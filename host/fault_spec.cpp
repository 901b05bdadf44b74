#include "host/fault_spec.h"

#include "host/sa1fault.h"
#include "host/slot_events.h"
#include "kernel/input_file.h"
#include "ttpc/medl.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

constexpr const char* KIND_NAMES[FAULT_KIND_COUNT] = {
    "memory",       "stuck",    "intermittent",  "corrupt", "lose",
    "asymmetric",   "blackout", "bit-errors",    "crash",   "host-crash",
    "host-restart", "babbling", "guardian-open", "sos",     "clock",
};

constexpr const char* KEY_NAMES[FAULT_KEY_COUNT] = {
    "node",      "target",        "field",    "bit",         "bits",      "mask",  "effect",
    "value",     "rate",          "channel",  "receivers",   "frames",    "ber",   "interval_us",
    "offset_us", "drift_step",    "jump",     "duration_us", "at_us",     "cycle", "slot",
    "on_state",  "on_membership", "on_frame", "delay_us",    "period_us", "count", "caption",
};

constexpr const char* ACTION_NAMES[] = {"set", "reset", "flip"};

constexpr uint32_t bit_of(FaultKey key) {
    return 1u << static_cast<unsigned>(key);
}
constexpr uint32_t keys_of(std::initializer_list<FaultKey> keys) {
    uint32_t set = 0;
    for (FaultKey key : keys) {
        set |= bit_of(key);
    }
    return set;
}

using K = FaultKey;
constexpr uint32_t TRIGGER_KEYS = keys_of({K::AT_US, K::CYCLE, K::SLOT, K::ON_STATE, K::ON_MEMBERSHIP,
                                           K::ON_FRAME, K::DELAY_US, K::PERIOD_US, K::COUNT, K::CAPTION});
constexpr uint32_t BIT_KEYS = keys_of({K::NODE, K::TARGET, K::FIELD, K::BIT, K::BITS, K::MASK});
constexpr uint32_t FRAME_KEYS = keys_of({K::CHANNEL, K::FRAMES, K::DURATION_US});

/// The keys each kind takes besides the trigger keys, indexed by FaultKind.
constexpr uint32_t KIND_KEYS[FAULT_KIND_COUNT] = {
    BIT_KEYS | keys_of({K::EFFECT}),                                // memory
    BIT_KEYS | keys_of({K::VALUE, K::DURATION_US}),                 // stuck
    BIT_KEYS | keys_of({K::VALUE, K::RATE, K::DURATION_US}),        // intermittent
    FRAME_KEYS,                                                     // corrupt
    FRAME_KEYS,                                                     // lose
    FRAME_KEYS | keys_of({K::RECEIVERS, K::EFFECT}),                // asymmetric
    keys_of({K::CHANNEL, K::DURATION_US}),                          // blackout
    keys_of({K::CHANNEL, K::BER, K::DURATION_US}),                  // bit-errors
    keys_of({K::NODE, K::DURATION_US}),                             // crash
    keys_of({K::NODE, K::DURATION_US}),                             // host-crash
    keys_of({K::NODE}),                                             // host-restart
    keys_of({K::NODE, K::CHANNEL, K::INTERVAL_US, K::DURATION_US}), // babbling
    keys_of({K::NODE, K::DURATION_US}),                             // guardian-open
    keys_of({K::NODE, K::OFFSET_US, K::DURATION_US}),               // sos
    keys_of({K::NODE, K::DRIFT_STEP, K::JUMP}),                     // clock
};

/// Limits of the values a fault takes.
constexpr uint32_t WORD_BITS = 32;
constexpr uint32_t MAX_SLOT_POSITION = 511;
constexpr double MAX_OFFSET_US = 1000.0;   // an SOS offset beyond a slot is no longer slightly off
constexpr double MAX_DRIFT_STEP = 0.5;     // a clock must keep running forwards
constexpr int32_t MAX_JUMP = 32767;        // macroticks: half the 16-bit local time
constexpr double MIN_INTERVAL_US = 1.0;    // babbling: at most one frame per microsecond
constexpr uint32_t MAX_COUNT = 1000000000; // occurrences, frames

bool names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        const char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

template <size_t N>
int find_name(const char* const (&names)[N], std::string_view name) {
    for (size_t i = 0; i < N; ++i) {
        if (names_equal(names[i], name)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// --- Values --------------------------------------------------------------------------------------------

bool read_double(std::string_view text, double* value) {
    if (text.empty() || text.size() > 64) {
        return false;
    }
    char buffer[65];
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    char* end = nullptr;
    const double v = std::strtod(buffer, &end);
    if (end != buffer + text.size() || !std::isfinite(v)) {
        return false;
    }
    *value = v;
    return true;
}

bool read_whole(std::string_view text, uint64_t limit, uint64_t* value) {
    if (text.empty() || text.size() > 20) {
        return false;
    }
    uint64_t v = 0;
    for (char ch : text) {
        if (ch < '0' || ch > '9') {
            return false;
        }
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (v > limit) {
        return false;
    }
    *value = v;
    return true;
}

bool read_signed(std::string_view text, int64_t limit, int64_t* value) {
    const bool negative = !text.empty() && text[0] == '-';
    uint64_t magnitude = 0;
    if (!read_whole(negative ? text.substr(1) : text, static_cast<uint64_t>(limit), &magnitude)) {
        return false;
    }
    *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

bool read_hex(std::string_view text, uint32_t* value) {
    if (text.size() < 3 || text.size() > 10 || text[0] != '0' || (text[1] != 'x' && text[1] != 'X')) {
        return false;
    }
    uint32_t v = 0;
    const auto [end, error] = std::from_chars(text.data() + 2, text.data() + text.size(), v, 16);
    if (error != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    *value = v;
    return true;
}

/// The shortest text that reads back as the same double; whole numbers in full (200000, not 2e+05).
std::string double_text(double v) {
    constexpr double WHOLE_LIMIT = 1e15;
    if (v == std::trunc(v) && std::fabs(v) < WHOLE_LIMIT) {
        return std::to_string(static_cast<long long>(v));
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, v);
    return std::string(buffer, result.ptr);
}

bool state_by_name(std::string_view name, uint32_t* state) {
    for (uint32_t s = PS_INIT; s <= PS_DOWNLOAD; ++s) {
        const std::string text = state_name(static_cast<uint8_t>(s));
        if (text != "Unknown!" && names_equal(text, name)) {
            *state = s;
            return true;
        }
    }
    return false;
}

bool parse_channels(std::string_view text, uint8_t* channels) {
    if (names_equal(text, "A")) {
        *channels = CHANNEL_SET_A;
    } else if (names_equal(text, "B")) {
        *channels = CHANNEL_SET_B;
    } else if (names_equal(text, "both")) {
        *channels = CHANNEL_SET_BOTH;
    } else {
        return false;
    }
    return true;
}

const char* channels_text(uint8_t channels) {
    return channels == CHANNEL_SET_A ? "A" : channels == CHANNEL_SET_B ? "B" : "both";
}

/// "NODE:REST" split at its colon into a single node and the rest.
bool split_node_colon(std::string_view text, int* node, std::string_view* rest) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    *node = node_by_name(text.substr(0, colon));
    *rest = text.substr(colon + 1);
    return *node >= 0;
}

// --- Building a fault from its words --------------------------------------------------------------------

struct Builder {
    FaultSpec* f;
    std::string* why;
    std::string* refused_key; // may be null
    uint32_t given = 0;
    std::string field_name; // as given, for messages

    bool refuse_named(const std::string& key, const std::string& text) {
        *why = text;
        if (refused_key != nullptr) {
            *refused_key = key;
        }
        return false;
    }
    bool refuse(FaultKey key, const std::string& text) {
        return refuse_named(fault_key_name(key), std::string(fault_key_name(key)) + ": " + text);
    }
    bool has(FaultKey key) const { return (given & bit_of(key)) != 0; }

    bool number(FaultKey key, std::string_view text, double low, double high, bool low_open, double* out) {
        double v = 0;
        if (!read_double(text, &v) || (low_open ? !(v > low) : !(v >= low)) || v > high) {
            char range[96];
            std::snprintf(range, sizeof range, "must be a number %s %s and at most %s",
                          low_open ? "above" : "from", double_text(low).c_str(), double_text(high).c_str());
            return refuse(key, range);
        }
        *out = v;
        return true;
    }
    bool whole(FaultKey key, std::string_view text, uint64_t low, uint64_t high, uint32_t* out) {
        uint64_t v = 0;
        if (!read_whole(text, high, &v) || v < low) {
            return refuse(key, "must be a whole number from " + std::to_string(low) + " to " +
                                   std::to_string(high));
        }
        *out = static_cast<uint32_t>(v);
        return true;
    }

    bool take(FaultKey key, std::string_view v) {
        FaultTrigger& t = f->trigger;
        switch (key) {
        case K::NODE:
            return parse_node_set(v, &f->nodes) ||
                   refuse(key, "must name nodes: M1, M2, O1, O2 (M1+O2), or all");
        case K::TARGET:
            return fault_target_by_name(v, &f->target) || refuse(key, "must be CNI or Reg");
        case K::FIELD:
            field_name = std::string(v);
            if (names_equal(v, "random")) {
                f->random_field = true;
                return true;
            }
            f->random_field = false;
            return true; // looked up once the target is known
        case K::BIT:
            return whole(key, v, 0, WORD_BITS - 1, &f->bit);
        case K::BITS:
            f->bits = BitChoice::ADJACENT;
            return whole(key, v, 1, WORD_BITS, &f->bit_count);
        case K::MASK:
            if (names_equal(v, "all")) {
                f->bits = BitChoice::WORD;
                return true;
            }
            f->bits = BitChoice::MASK;
            return (read_hex(v, &f->mask) && f->mask != 0) ||
                   refuse(key, "must be a hexadecimal mask (0x00f0) or all");
        case K::EFFECT:
            if (f->kind == FaultKind::ASYMMETRIC) {
                if (names_equal(v, "corrupt") || names_equal(v, "lose")) {
                    f->asymmetric_lose = names_equal(v, "lose");
                    return true;
                }
                return refuse(key, "must be corrupt or lose");
            } else {
                const int action = find_name(ACTION_NAMES, v);
                f->action = static_cast<BitAction>(action < 0 ? 0 : action);
                return action >= 0 || refuse(key, "must be set, reset or flip");
            }
        case K::VALUE:
            if (f->kind == FaultKind::INTERMITTENT) {
                f->intermittent_stuck = true;
            }
            return whole(key, v, 0, 1, &f->stuck_value);
        case K::RATE:
            return number(key, v, 0.0, MAX_FAULT_RATE_PER_S, true, &f->rate_per_s);
        case K::CHANNEL:
            return parse_channels(v, &f->channels) || refuse(key, "must be A, B or both");
        case K::RECEIVERS:
            return parse_node_set(v, &f->receivers) || refuse(key, "must name nodes: M1, M2, O1, O2 (M1+O2)");
        case K::FRAMES:
            return whole(key, v, 1, MAX_COUNT, &f->frames);
        case K::BER:
            return number(key, v, 0.0, 1.0, true, &f->bit_error_rate);
        case K::INTERVAL_US:
            return number(key, v, MIN_INTERVAL_US, 1e9, false, &f->interval_us);
        case K::OFFSET_US:
            return number(key, v, -MAX_OFFSET_US, MAX_OFFSET_US, false, &f->offset_us);
        case K::DRIFT_STEP:
            return number(key, v, -MAX_DRIFT_STEP, MAX_DRIFT_STEP, false, &f->drift_step);
        case K::JUMP: {
            int64_t jump = 0;
            if (!read_signed(v, MAX_JUMP, &jump)) {
                return refuse(key, "must be a whole number of macroticks from -32767 to 32767");
            }
            f->jump = static_cast<int32_t>(jump);
            return true;
        }
        case K::DURATION_US:
            return number(key, v, 0.0, 1e15, true, &f->duration_us);
        case K::AT_US:
            t.kind = TriggerKind::AT_TIME;
            return number(key, v, 0.0, 1e15, false, &t.at_us);
        case K::CYCLE:
            t.kind = TriggerKind::SLOT;
            return whole(key, v, 1, UINT32_MAX, &t.cycle);
        case K::SLOT:
            t.kind = TriggerKind::SLOT;
            return whole(key, v, 0, MAX_SLOT_POSITION, &t.slot);
        case K::ON_STATE: {
            std::string_view state;
            t.kind = TriggerKind::STATE;
            return (split_node_colon(v, &t.node, &state) && state_by_name(state, &t.state)) ||
                   refuse(key, "must be NODE:STATE, such as O1:FREEZE");
        }
        case K::ON_MEMBERSHIP:
            t.kind = TriggerKind::MEMBERSHIP;
            if (names_equal(v, "any")) {
                t.node = -1;
                return true;
            }
            t.node = node_by_name(v);
            return t.node >= 0 || refuse(key, "must name one node (M1, M2, O1, O2) or any");
        case K::ON_FRAME: {
            std::string_view k;
            t.kind = TriggerKind::OWN_FRAME;
            return (split_node_colon(v, &t.node, &k) && whole(key, k, 1, MAX_COUNT, &t.frame)) ||
                   refuse(key, "must be NODE:K, such as O1:5 (the node's fifth own frame)");
        }
        case K::DELAY_US:
            return number(key, v, 0.0, 1e15, false, &t.delay_us);
        case K::PERIOD_US:
            return number(key, v, 0.0, 1e15, true, &t.period_us);
        case K::COUNT:
            return whole(key, v, 1, MAX_COUNT, &t.count);
        case K::CAPTION:
            f->caption = std::string(v);
            return true;
        }
        return refuse(key, "is not known");
    }

    /// The combinations a kind needs, once every word is taken.
    bool complete() {
        const FaultKind kind = f->kind;
        const FaultTrigger& t = f->trigger;
        const bool node_kind = (KIND_KEYS[static_cast<unsigned>(kind)] & bit_of(K::NODE)) != 0;
        if (node_kind && !has(K::NODE)) {
            return refuse(K::NODE, "is needed: the node or nodes the fault strikes");
        }
        if (is_channel_kind(kind) && !has(K::CHANNEL)) {
            return refuse(K::CHANNEL, "is needed: A, B or both");
        }
        if (kind == FaultKind::ASYMMETRIC && !has(K::RECEIVERS)) {
            return refuse(K::RECEIVERS, "is needed: the receivers that see the frame wrong");
        }
        if (kind == FaultKind::STUCK && !has(K::VALUE)) {
            return refuse(K::VALUE, "is needed: the bits are stuck at 0 or 1");
        }
        if (kind == FaultKind::INTERMITTENT && !has(K::RATE)) {
            return refuse(K::RATE, "is needed: how often per second the bit comes or goes");
        }
        if (kind == FaultKind::BLACKOUT && !has(K::DURATION_US)) {
            return refuse(K::DURATION_US, "is needed: how long nothing passes");
        }
        if (kind == FaultKind::BIT_ERRORS && !has(K::BER)) {
            return refuse(K::BER, "is needed: the probability that one bit fails");
        }
        if (kind == FaultKind::SOS && !has(K::OFFSET_US)) {
            return refuse(K::OFFSET_US, "is needed: how far from its action time the node sends");
        }
        if (kind == FaultKind::CLOCK && has(K::DRIFT_STEP) == has(K::JUMP)) {
            return refuse(K::DRIFT_STEP,
                          "or jump is needed, not both: a step of the drift or a jump of the clock");
        }
        if (has(K::FRAMES) && has(K::DURATION_US)) {
            return refuse(K::FRAMES, "and duration_us exclude each other");
        }
        if ((kind == FaultKind::CORRUPT || kind == FaultKind::LOSE || kind == FaultKind::ASYMMETRIC) &&
            !has(K::FRAMES) && !has(K::DURATION_US)) {
            f->frames = 1;
        }
        if (kind == FaultKind::BABBLING && !has(K::INTERVAL_US)) {
            f->interval_us = DEFAULT_BABBLING_INTERVAL_US;
        }
        const int bit_choices = (has(K::BITS) ? 1 : 0) + (has(K::MASK) ? 1 : 0);
        if (bit_choices > 1) {
            return refuse(K::MASK, "and bits exclude each other");
        }
        if (has(K::MASK) && has(K::BIT)) {
            return refuse(K::BIT, "and mask exclude each other");
        }
        if (is_memory_kind(kind) && !f->random_field) {
            if (!fault_word_by_name(f->target, field_name, &f->word)) {
                return refuse(K::FIELD,
                              "\"" + printable(field_name) + "\" is no word of the " +
                                  fault_target_name(f->target) +
                                  " (names as the injection log writes them: membership[2], protocol_state)");
            }
            if (chosen_bits(*f, f->target, f->word, f->bit) == 0) {
                return refuse(f->bits == BitChoice::MASK ? K::MASK : K::BIT,
                              "names a bit no fault may hit in " + field_name);
            }
        }
        if (is_memory_kind(kind) && f->random_field && (f->bits == BitChoice::MASK || has(K::BIT))) {
            return refuse(f->bits == BitChoice::MASK ? K::MASK : K::BIT,
                          "needs a field: with a random field the bit is drawn");
        }
        const int triggers = (has(K::AT_US) ? 1 : 0) + ((has(K::CYCLE) || has(K::SLOT)) ? 1 : 0) +
                             (has(K::ON_STATE) ? 1 : 0) + (has(K::ON_MEMBERSHIP) ? 1 : 0) +
                             (has(K::ON_FRAME) ? 1 : 0);
        if (triggers > 1) {
            return refuse(K::AT_US,
                          "cycle/slot, on_state, on_membership and on_frame: give one trigger only");
        }
        if (has(K::CYCLE) != has(K::SLOT)) {
            return refuse(has(K::CYCLE) ? K::SLOT : K::CYCLE,
                          "is needed too: a slot is named by cycle and slot");
        }
        const bool event = t.kind == TriggerKind::STATE || t.kind == TriggerKind::MEMBERSHIP ||
                           t.kind == TriggerKind::OWN_FRAME || t.kind == TriggerKind::SLOT;
        if (t.count > 1 && t.period_us == 0.0 && !event) {
            return refuse(K::COUNT, "needs period_us: the time between two occurrences");
        }
        if (has(K::PERIOD_US) && !has(K::COUNT)) {
            return refuse(K::PERIOD_US, "needs count: how many occurrences");
        }
        if (has(K::PERIOD_US) && f->duration_us != UNTIL_END && !(f->duration_us < t.period_us)) {
            return refuse(K::DURATION_US,
                          "must be shorter than period_us: one occurrence ends before the next");
        }
        return true;
    }
};

} // namespace

const char* fault_kind_name(FaultKind kind) {
    const auto k = static_cast<unsigned>(kind);
    return k < FAULT_KIND_COUNT ? KIND_NAMES[k] : "?";
}

bool fault_kind_by_name(std::string_view name, FaultKind* kind) {
    const int k = find_name(KIND_NAMES, name);
    if (k < 0) {
        return false;
    }
    *kind = static_cast<FaultKind>(k);
    return true;
}

bool is_memory_kind(FaultKind kind) {
    return kind == FaultKind::MEMORY || kind == FaultKind::STUCK || kind == FaultKind::INTERMITTENT;
}

bool is_channel_kind(FaultKind kind) {
    return kind == FaultKind::CORRUPT || kind == FaultKind::LOSE || kind == FaultKind::ASYMMETRIC ||
           kind == FaultKind::BLACKOUT || kind == FaultKind::BIT_ERRORS;
}

const char* fault_key_name(FaultKey key) {
    const auto k = static_cast<unsigned>(key);
    return k < FAULT_KEY_COUNT ? KEY_NAMES[k] : "?";
}

bool fault_key_by_name(std::string_view name, FaultKey* key) {
    const int k = find_name(KEY_NAMES, name);
    if (k < 0) {
        return false;
    }
    *key = static_cast<FaultKey>(k);
    return true;
}

bool kind_takes_key(FaultKind kind, FaultKey key) {
    const auto k = static_cast<unsigned>(kind);
    return k < FAULT_KIND_COUNT && ((KIND_KEYS[k] | TRIGGER_KEYS) & bit_of(key)) != 0;
}

bool split_fault_words(std::string_view text, FaultWords* words, std::string* why) {
    *words = FaultWords{};
    size_t i = 0;
    auto skip_blanks = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) {
            ++i;
        }
    };
    skip_blanks();
    while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
        words->kind += text[i++];
    }
    if (words->kind.empty()) {
        *why = "a fault starts with its kind (memory, babbling, corrupt, ...)";
        return false;
    }
    for (skip_blanks(); i < text.size(); skip_blanks()) {
        std::string key;
        while (i < text.size() && text[i] != '=' && text[i] != ' ' && text[i] != '\t') {
            key += text[i++];
        }
        if (i >= text.size() || text[i] != '=') {
            *why = "\"" + printable(key) + "\" is no key=value word";
            return false;
        }
        ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            const size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos) {
                *why = printable(key) + ": the quoted value has no closing quote";
                return false;
            }
            value = std::string(text.substr(i + 1, close - i - 1));
            i = close + 1;
            if (i < text.size() && text[i] != ' ' && text[i] != '\t') {
                *why = printable(key) + ": a blank must follow the closing quote";
                return false;
            }
        } else {
            while (i < text.size() && text[i] != ' ' && text[i] != '\t') {
                value += text[i++];
            }
        }
        words->values.emplace_back(std::move(key), std::move(value));
    }
    return true;
}

bool fault_from_words(const FaultWords& words, FaultSpec* fault, std::string* why, std::string* refused_key) {
    FaultSpec f;
    Builder b{&f, why, refused_key, 0, {}};
    if (!fault_kind_by_name(words.kind, &f.kind)) {
        return b.refuse_named("", "\"" + printable(words.kind) +
                                      "\" is no kind of fault; the kinds: memory, stuck, intermittent, "
                                      "corrupt, lose, asymmetric, blackout, bit-errors, crash, host-crash, "
                                      "host-restart, babbling, guardian-open, sos, clock");
    }
    for (const auto& [name, value] : words.values) {
        FaultKey key{};
        if (!fault_key_by_name(name, &key)) {
            return b.refuse_named(name, "\"" + printable(name) + "\" is no key of a fault");
        }
        if (!kind_takes_key(f.kind, key)) {
            return b.refuse_named(name, std::string(fault_kind_name(f.kind)) + " takes no " + name);
        }
        if (b.has(key)) {
            return b.refuse_named(name, name + " is given twice");
        }
        b.given |= bit_of(key);
        if (!b.take(key, value)) {
            return false;
        }
    }
    if (!b.complete()) {
        return false;
    }
    *fault = std::move(f);
    return true;
}

bool parse_fault(std::string_view text, FaultSpec* fault, std::string* why) {
    FaultWords words;
    return split_fault_words(text, &words, why) && fault_from_words(words, fault, why);
}

std::string format_fault(const FaultSpec& f) {
    FaultSpec d; // the kind's defaults, as a fault of that kind with no keys reads
    d.kind = f.kind;
    if (f.kind == FaultKind::CORRUPT || f.kind == FaultKind::LOSE || f.kind == FaultKind::ASYMMETRIC) {
        d.frames = 1;
    }
    if (f.kind == FaultKind::BABBLING) {
        d.interval_us = DEFAULT_BABBLING_INTERVAL_US;
    }
    std::string text = fault_kind_name(f.kind);
    auto put = [&text](FaultKey key, const std::string& value) {
        text += ' ';
        text += fault_key_name(key);
        text += '=';
        text += value;
    };
    auto takes = [&f](FaultKey key) { return kind_takes_key(f.kind, key); };
    char buffer[64];
    if (takes(K::NODE) && f.nodes != 0) {
        put(K::NODE, node_set_text(f.nodes));
    }
    if (is_memory_kind(f.kind)) {
        if (f.target != d.target) {
            put(K::TARGET, fault_target_name(f.target));
        }
        if (!f.random_field) {
            put(K::FIELD, fault_word_name(f.target, f.word, buffer, sizeof buffer));
        }
        if (f.bits == BitChoice::ONE || f.bits == BitChoice::ADJACENT) {
            if (f.bit != d.bit) {
                put(K::BIT, std::to_string(f.bit));
            }
            if (f.bits == BitChoice::ADJACENT) {
                put(K::BITS, std::to_string(f.bit_count));
            }
        } else if (f.bits == BitChoice::MASK) {
            std::snprintf(buffer, sizeof buffer, "0x%x", f.mask);
            put(K::MASK, buffer);
        } else {
            put(K::MASK, "all");
        }
        if (f.kind == FaultKind::MEMORY && f.action != d.action) {
            put(K::EFFECT, ACTION_NAMES[static_cast<unsigned>(f.action)]);
        }
        if (f.kind == FaultKind::STUCK || (f.kind == FaultKind::INTERMITTENT && f.intermittent_stuck)) {
            put(K::VALUE, std::to_string(f.stuck_value));
        }
        if (f.kind == FaultKind::INTERMITTENT) {
            put(K::RATE, double_text(f.rate_per_s));
        }
    }
    if (takes(K::CHANNEL) && (is_channel_kind(f.kind) || f.channels != d.channels)) {
        put(K::CHANNEL, channels_text(f.channels));
    }
    if (f.kind == FaultKind::ASYMMETRIC) {
        put(K::RECEIVERS, node_set_text(f.receivers));
        if (f.asymmetric_lose) {
            put(K::EFFECT, "lose");
        }
    }
    if (takes(K::FRAMES) && f.frames != d.frames && f.frames != 0) {
        put(K::FRAMES, std::to_string(f.frames));
    }
    if (f.kind == FaultKind::BIT_ERRORS) {
        put(K::BER, double_text(f.bit_error_rate));
    }
    if (f.kind == FaultKind::BABBLING && f.interval_us != d.interval_us) {
        put(K::INTERVAL_US, double_text(f.interval_us));
    }
    if (f.kind == FaultKind::SOS) {
        put(K::OFFSET_US, double_text(f.offset_us));
    }
    if (f.kind == FaultKind::CLOCK) {
        if (f.jump != 0) {
            put(K::JUMP, std::to_string(f.jump));
        } else {
            put(K::DRIFT_STEP, double_text(f.drift_step));
        }
    }
    if (takes(K::DURATION_US) && f.duration_us != UNTIL_END) {
        put(K::DURATION_US, double_text(f.duration_us));
    }
    const FaultTrigger& t = f.trigger;
    switch (t.kind) {
    case TriggerKind::NOW:
        break;
    case TriggerKind::AT_TIME:
        put(K::AT_US, double_text(t.at_us));
        break;
    case TriggerKind::SLOT:
        put(K::CYCLE, std::to_string(t.cycle));
        put(K::SLOT, std::to_string(t.slot));
        break;
    case TriggerKind::STATE:
        put(K::ON_STATE,
            std::string(CLUSTER_NODES[t.node].name) + ":" + state_name(static_cast<uint8_t>(t.state)));
        break;
    case TriggerKind::MEMBERSHIP:
        put(K::ON_MEMBERSHIP, t.node < 0 ? "any" : CLUSTER_NODES[t.node].name);
        break;
    case TriggerKind::OWN_FRAME:
        put(K::ON_FRAME, std::string(CLUSTER_NODES[t.node].name) + ":" + std::to_string(t.frame));
        break;
    }
    if (t.delay_us != 0.0) {
        put(K::DELAY_US, double_text(t.delay_us));
    }
    if (t.period_us != 0.0) {
        put(K::PERIOD_US, double_text(t.period_us));
    }
    if (t.count != 1 || t.period_us != 0.0) {
        put(K::COUNT, std::to_string(t.count));
    }
    return text;
}

std::string describe_fault(const FaultSpec& f) {
    const std::string nodes = node_set_text(f.nodes);
    const std::string channel = f.channels == CHANNEL_SET_BOTH
                                    ? "both channels"
                                    : std::string("channel ") + channels_text(f.channels);
    char field[64] = "a random bit";
    if (!f.random_field) {
        fault_word_name(f.target, f.word, field, sizeof field);
    }
    switch (f.kind) {
    case FaultKind::MEMORY:
        return std::string(ACTION_NAMES[static_cast<unsigned>(f.action)]) + " " + field + " of " + nodes;
    case FaultKind::STUCK:
        return std::string(field) + " of " + nodes + " stuck at " + std::to_string(f.stuck_value);
    case FaultKind::INTERMITTENT:
        return std::string("intermittent ") + field + " of " + nodes;
    case FaultKind::CORRUPT:
        return "corrupt frames on " + channel;
    case FaultKind::LOSE:
        return "lost frames on " + channel;
    case FaultKind::ASYMMETRIC:
        return std::string(f.asymmetric_lose ? "frames lost" : "corrupt frames") + " at " +
               node_set_text(f.receivers) + " on " + channel;
    case FaultKind::BLACKOUT:
        return "blackout of " + channel;
    case FaultKind::BIT_ERRORS:
        return "bit errors on " + channel;
    case FaultKind::CRASH:
        return "crash of controller " + nodes;
    case FaultKind::HOST_CRASH:
        return "crash of host " + nodes;
    case FaultKind::HOST_RESTART:
        return "restart of host " + nodes;
    case FaultKind::BABBLING:
        return "babbling of " + nodes;
    case FaultKind::GUARDIAN_OPEN:
        return "bus guardian of " + nodes + " stuck open";
    case FaultKind::SOS:
        return "off-time sending of " + nodes;
    case FaultKind::CLOCK:
        return f.jump != 0 ? "clock jump of " + nodes : "drift step of " + nodes;
    }
    return "?";
}

std::string node_set_text(NodeSet nodes) {
    if (nodes == ALL_NODES) {
        return "all";
    }
    std::string text;
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if ((nodes & (1u << n)) != 0) {
            if (!text.empty()) {
                text += '+';
            }
            text += CLUSTER_NODES[n].name;
        }
    }
    return text;
}

bool parse_node_set(std::string_view text, NodeSet* nodes) {
    if (names_equal(text, "all")) {
        *nodes = ALL_NODES;
        return true;
    }
    NodeSet set = 0;
    while (!text.empty()) {
        const size_t end = text.find_first_of("+,");
        const int node = node_by_name(text.substr(0, end));
        if (node < 0) {
            return false;
        }
        set |= static_cast<NodeSet>(1u << node);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (end != std::string_view::npos && text.empty()) {
            return false; // a trailing separator
        }
    }
    *nodes = set;
    return set != 0;
}

bool fault_word_by_name(uint32_t target, std::string_view name, uint32_t* word) {
    const uint32_t words = target == TARGET_CNI ? CNI_MASK_WORDS : REG_MASK_WORDS;
    char buffer[64];
    for (uint32_t w = 0; w < words; ++w) {
        if (name == fault_word_name(target, w, buffer, sizeof buffer)) {
            *word = w;
            return true;
        }
    }
    return false;
}

uint32_t chosen_bits(const FaultSpec& f, uint32_t target, uint32_t word, uint32_t drawn_bit, bool clip) {
    const uint32_t words = target == TARGET_CNI ? CNI_MASK_WORDS : REG_MASK_WORDS;
    if (word >= words) {
        return 0;
    }
    const uint32_t meaningful = (target == TARGET_CNI ? cni_fault_mask() : register_fault_mask())[word];
    uint32_t bits = 0;
    switch (f.bits) {
    case BitChoice::ONE:
        bits = drawn_bit < WORD_BITS ? 1u << drawn_bit : 0;
        break;
    case BitChoice::ADJACENT: {
        const uint32_t count = f.bit_count >= WORD_BITS ? WORD_BITS : f.bit_count;
        const uint32_t run = count == WORD_BITS ? 0xFFFFFFFFu : (1u << count) - 1;
        bits = drawn_bit < WORD_BITS ? run << drawn_bit : 0;
        if (drawn_bit + count > WORD_BITS && !clip) {
            return 0; // the run would leave the word
        }
        break;
    }
    case BitChoice::MASK:
        bits = f.mask;
        break;
    case BitChoice::WORD:
        bits = meaningful;
        break;
    }
    if (clip) {
        return bits & meaningful;
    }
    return bits != 0 && (bits & ~meaningful) == 0 ? bits : 0;
}
