#include "host/cluster_config.h"

#include "kernel/fnv.h"
#include "kernel/input_file.h"
#include "kernel/sim_assert.h"
#include "ttpc/fp1chan.h"
#include "ttpc/fp1ctrl.h"
#include "ttpc/fp1frame.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifndef PELORIN_DATA_DIR
#define PELORIN_DATA_DIR "/usr/local/share/pelorin"
#endif

namespace {

std::string path_in(const std::string& directory, const std::string& name) {
    if (directory.empty()) {
        return name;
    }
    return (std::filesystem::path(directory) / name).string();
}

std::string medl_file_name(unsigned node) {
    char name[16];
    std::snprintf(name, sizeof name, "medl%02u.txt", node);
    return name;
}

bool refuse(std::string* why, const std::string& text) {
    if (why != nullptr) {
        *why = text;
    }
    return false;
}

/// "file:line: " or "file: " when no line is known.
std::string place(const std::string& file, unsigned line) {
    return line == 0 ? file + ": " : file + ":" + std::to_string(line) + ": ";
}

// --- Drifts ---------------------------------------------------------------------------------------------

/// At most this many characters of a word that is not a number are quoted in a refusal.
constexpr size_t QUOTED_WORD_CHARS = 40;

} // namespace

bool open_drift_text(const std::string& path, DriftText* drifts, std::string* why) {
    *drifts = DriftText{};
    drifts->path = path;
    std::string reason;
    if (!read_input_file(path, DRIFT_FILE_MAX_BYTES, &drifts->text, &reason)) {
        return refuse(why,
                      path + ": " + reason +
                          "; the directory needs it: four relative clock drifts, one each for M1, M2, O1 "
                          "and O2 (0 for an exact clock)");
    }
    return true;
}

bool next_drift(DriftText* drifts, unsigned node, double* value, unsigned* line, std::string* why) {
    const std::string which = "drift " + std::to_string(node + 1) + " of " + std::to_string(NODE_COUNT) +
                              " (" + CLUSTER_NODES[node].controller + ")";
    const std::string& text = drifts->text;
    size_t& at = drifts->at;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) {
        drifts->line += text[at] == '\n' ? 1 : 0;
        ++at;
    }
    if (at >= text.size()) {
        return refuse(why, drifts->path + ": " + which +
                               " is missing: the file ends early; add the relative drift of " +
                               CLUSTER_NODES[node].name + " (0 for an exact clock)");
    }
    const char* begin = text.c_str() + at;
    char* end = nullptr;
    *value = std::strtod(begin, &end);
    if (end == begin) {
        const size_t word_end = std::min(text.find_first_of(" \t\r\n", at), at + QUOTED_WORD_CHARS);
        return refuse(why, place(drifts->path, drifts->line) + which + " is not a number ('" +
                               printable(text.substr(at, word_end - at)) + "')");
    }
    at += static_cast<size_t>(end - begin);
    *line = drifts->line;
    return true;
}

bool drift_in_range(double drift) {
    return std::isfinite(drift) && drift > LOWEST_DRIFT && drift < HIGHEST_DRIFT;
}

namespace {

bool check_drift(double drift, const std::string& where, unsigned node, std::string* why) {
    if (drift_in_range(drift)) {
        return true;
    }
    return refuse(why, where + "drift of " + CLUSTER_NODES[node].controller +
                           " must be a relative rate between -0.5 and 0.5 (e.g. 0.00005 for 50 ppm)");
}

// --- Lists ----------------------------------------------------------------------------------------------

/// A refusal about a field: at the line that set it, or naming the line to add when no line did.
std::string refusal_at(const NodeConfig& node, const MedlRefusal& refusal) {
    const MedlKeyLine* line =
        refusal.field != nullptr ? medl_field_line(*node.medl, node.lines, refusal.field) : nullptr;
    if (line != nullptr) {
        return place(node.medl_path, line->line) + "key '" + line->key + "': " + refusal.reason;
    }
    return place(node.medl_path, 0) + refusal.reason + "; add a line '" + refusal.example + " " +
           refusal.key + "'" + refusal.note;
}

bool read_node_list(const std::string& directory, unsigned n, NodeConfig* node, std::string* why) {
    node->medl = std::make_unique<Medl>();
    node->medl_path = path_in(directory, medl_file_name(n));
    MedlError error;
    const uint8_t code = read_medl_file(node->medl.get(), node->medl_path.c_str(), &error, &node->lines);
    if (code == MEDL_CANNOT_OPEN) {
        return refuse(why, error.message +
                               "; the directory needs one list per node, medl00.txt .. medl03.txt "
                               "for M1 .. O2 (this one is " +
                               CLUSTER_NODES[n].name + "'s)");
    }
    if (code != MEDL_OK) {
        return refuse(why, error.message);
    }
    MedlRefusal refusal;
    if (!medl_runnable(*node->medl, &refusal)) {
        return refuse(why, refusal_at(*node, refusal));
    }
    // The host and the application find a node's messages and tasks by its position in the round.
    const LogicalName& role = node->medl->role_list.logical_name;
    if (get_slot_position(role) != n + 1) {
        const std::string position = std::to_string(n + 1);
        const MedlRefusal refusal{
            "role_list.logical_name.slot_position must be " + position + " (the node index plus one)",
            &role.slot_position, "role_list.logical_name.slot_position", position.c_str()};
        return refuse(why, refusal_at(*node, refusal));
    }
    return true;
}

// --- Warnings -------------------------------------------------------------------------------------------

void warn(ClusterConfig* config, const NodeConfig& node, const void* field, const std::string& what) {
    const MedlKeyLine* line = medl_field_line(*node.medl, node.lines, field);
    config->warnings.push_back(place(node.medl_path, line != nullptr ? line->line : 0) + "key '" +
                               (line != nullptr ? line->key : std::string("?")) + "': " + what);
}

/// A value the controller reads through a mask of `width` bits that does not fit it.
void warn_if_masked(ClusterConfig* config, const NodeConfig& node, const int32_t& field, unsigned width) {
    const auto raw = static_cast<uint32_t>(field);
    const uint32_t kept = raw & bit_mask(width);
    if (raw != kept) {
        warn(config, node, &field,
             std::to_string(field) + " is read as " + std::to_string(kept) + " (the field holds " +
                 std::to_string(width) + " bits, 0-" + std::to_string(bit_mask(width)) + ")");
    }
}

/// Time on the wire of a frame of the given kind: an I-frame with C-state length `length`, an N-frame with
/// `data_bytes` bytes.
double frame_time(uint8_t kind, uint32_t length, uint32_t data_bytes) {
    Frame frame{};
    frame.kind = kind;
    if (kind == FRAME_KIND_I) {
        set_c_state_length(frame, length);
    } else {
        set_data_length(frame, data_bytes);
    }
    return transmission_time(frame);
}

/// The longest frame the node sends in its own slots of the cluster cycle, in any mode.
double longest_own_frame(const Medl& medl) {
    const uint32_t length = get_c_state_length(medl);
    double longest = 0.0;
    for (uint32_t s = 0; s < MEDL_SLOT_COUNT; ++s) {
        const SlotControlEntry& slot = medl.slot_control_entry[s];
        if (same_logical_name(slot.logical_name, medl.role_list.logical_name)) {
            for (uint32_t mode = 0; mode < MEDL_MODE_COUNT; ++mode) {
                const ModeAddressEntry& entry = medl.mode_address_entry[mode][s];
                longest = std::max({longest,
                                    frame_time(get_ia(entry) != 0 ? FRAME_KIND_I : FRAME_KIND_N, length,
                                               get_dafla(entry) + 1),
                                    frame_time(get_ib(entry) != 0 ? FRAME_KIND_I : FRAME_KIND_N, length,
                                               get_daflb(entry) + 1)});
            }
        }
        if (get_eot(slot) != 0) {
            break;
        }
    }
    return longest;
}

void warn_if_window_short(ClusterConfig* config, const NodeConfig& node, const BgParams& window, double frame,
                          const char* frame_name) {
    const uint32_t open = get_bg_slot_duration(window);
    if (open < frame) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "the guardian window is open %u, shorter than %s (%.2f): the guardian will stop it",
                      open, frame_name, frame);
        warn(config, node, &window.bg_slot_duration, text);
    }
}

void collect_warnings(ClusterConfig* config, const NodeConfig& node) {
    const Medl& medl = *node.medl;
    const ControllerCfgParams& cfg = medl.controller_cfg_params;
    const ImplementationParams& impl = medl.implementation_params;
    warn_if_masked(config, node, cfg.startup_timeout, MEDL_WIDTH_STARTUP_TIMEOUT);
    warn_if_masked(config, node, cfg.free_running_macroticks, MEDL_WIDTH_FREE_RUNNING_MACROTICKS);
    warn_if_masked(config, node, impl.ifg_time, MEDL_WIDTH_IFG_TIME);
    for (const BgParams* window :
         {&medl.bus_guardian_cold_start, &medl.role_list.bus_guardian, &impl.synchronization_period_params,
          &impl.listen_cold_start_period_params}) {
        warn_if_masked(config, node, window->bg_slot_offset, MEDL_WIDTH_BG_PARAM);
        warn_if_masked(config, node, window->bg_slot_duration, MEDL_WIDTH_BG_PARAM);
        warn_if_masked(config, node, window->bg_remaining_round, MEDL_WIDTH_BG_PARAM);
    }
    for (const SlotControlEntry& slot : medl.slot_control_entry) {
        warn_if_masked(config, node, slot.sru_slot_duration, MEDL_WIDTH_SRU_SLOT_DURATION);
    }

    const double own_frame = longest_own_frame(medl);
    warn_if_window_short(config, node, medl.role_list.bus_guardian, own_frame, "the node's longest frame");
    warn_if_window_short(config, node, impl.synchronization_period_params, own_frame,
                         "the node's longest frame");
    if (get_cf(medl) != 0) { // only a node that may cold-start opens the cold start windows
        const double cold_start_frame = frame_time(FRAME_KIND_I, get_c_state_length(medl), 0);
        warn_if_window_short(config, node, medl.bus_guardian_cold_start, cold_start_frame,
                             "a cold start frame");
        warn_if_window_short(config, node, impl.listen_cold_start_period_params, cold_start_frame,
                             "a cold start frame");
    }
}

} // namespace

int read_cluster_config(const std::string& directory, const ConfigOverrides& overrides, ClusterConfig* config,
                        std::string* why) {
    config->directory = directory;
    config->drift_path = path_in(directory, DRIFT_FILE);
    config->warnings.clear();
    DriftText drifts;
    if (!open_drift_text(config->drift_path, &drifts, why)) {
        return ASSEMBLY_DRIFT_FAILED;
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        NodeConfig& node = config->nodes[n];
        if (!next_drift(&drifts, n, &node.drift, &node.drift_line, why)) {
            return ASSEMBLY_DRIFT_FAILED;
        }
        std::string where = place(config->drift_path, node.drift_line);
        if (overrides.drift[n]) {
            node.drift = *overrides.drift[n];
            node.drift_line = 0;
            char given[64];
            std::snprintf(given, sizeof given, "--drift %s=%g: ", CLUSTER_NODES[n].name, node.drift);
            where = given;
        }
        if (!check_drift(node.drift, where, n, why)) {
            return ASSEMBLY_DRIFT_FAILED;
        }
        if (!read_node_list(directory, n, &node, why)) {
            return ASSEMBLY_MEDL_FAILED;
        }
    }
    for (const NodeConfig& node : config->nodes) {
        collect_warnings(config, node);
    }
    return ASSEMBLY_OK;
}

uint64_t cluster_config_hash(const ClusterConfig& config) {
    uint64_t hash = FNV_OFFSET;
    for (const NodeConfig& node : config.nodes) {
        hash = fnv1a(hash, node.medl.get(), sizeof *node.medl);
        hash = fnv1a(hash, &node.drift, sizeof node.drift);
    }
    return hash;
}

bool parse_drift_override(const std::string& text, ConfigOverrides* overrides, std::string* why) {
    const size_t equals = text.find('=');
    const int node =
        equals == std::string::npos ? -1 : node_by_name(std::string_view(text).substr(0, equals));
    if (node < 0) {
        return refuse(why, "--drift " + text + ": give NODE=VALUE with NODE one of M1, M2, O1, O2");
    }
    const std::string value = text.substr(equals + 1);
    char* end = nullptr;
    const double drift = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || !std::isfinite(drift)) {
        return refuse(why, "--drift " + text + ": '" + value +
                               "' is not a number (a relative drift, e.g. 0.00005)");
    }
    overrides->drift[static_cast<unsigned>(node)] = drift;
    return true;
}

std::string find_configuration_directory(const char* explicit_directory, const char* executable_path) {
    if (explicit_directory != nullptr && explicit_directory[0] != '\0') {
        return explicit_directory;
    }
    const std::string first_list = medl_file_name(0);
    std::error_code ignored;
    if (std::filesystem::exists(first_list, ignored)) {
        return ".";
    }
    // The program's own file: a program started through PATH has a bare name in argv[0].
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ignored);
    if (program.empty() && executable_path != nullptr) {
        program = std::filesystem::absolute(executable_path, ignored);
    }
    if (!program.empty()) {
        const std::filesystem::path beside = program.parent_path();
        if (std::filesystem::exists(beside / first_list, ignored)) {
            return beside.string();
        }
        // An installation moved as a whole (a package unpacked elsewhere) keeps bin/ beside share/pelorin.
        const std::filesystem::path installed = beside.parent_path() / "share" / "pelorin";
        if (std::filesystem::exists(installed / first_list, ignored)) {
            return installed.string();
        }
    }
    if (std::filesystem::exists(std::filesystem::path(PELORIN_DATA_DIR) / first_list, ignored)) {
        return PELORIN_DATA_DIR;
    }
    return ".";
}
