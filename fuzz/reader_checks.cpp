#include "fuzz/reader_checks.h"

#include "cli/campaign_csv.h"
#include "cli/campaign_fault.h"
#include "host/cluster_config.h"
#include "host/fault_spec.h"
#include "host/injection_log.h"
#include "host/scenario_file.h"
#include "kernel/input_file.h"
#include "ttpc/medl.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace {

constexpr const char* FILE_NAME = "input.txt";

/// Where the lookups' results go, so the optimiser keeps them.
volatile uint32_t lookup_sink;

std::string as_text(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

/// A refusal must be one line that names the file.
std::string check_refusal(const std::string& why) {
    if (why.empty()) {
        return "a refusal without a reason";
    }
    if (why.find('\n') != std::string::npos || why.find('\r') != std::string::npos) {
        return "a refusal of more than one line: " + why;
    }
    if (why.rfind(FILE_NAME, 0) != 0) {
        return "a refusal that does not begin with the file's name: " + why;
    }
    return "";
}

/// The first field in which two faults differ, captions aside; "" when none does.
std::string fault_difference(const FaultSpec& a, const FaultSpec& b) {
    const FaultTrigger& s = a.trigger;
    const FaultTrigger& t = b.trigger;
    const std::pair<const char*, bool> fields[] = {
        {"kind", a.kind == b.kind},
        {"nodes", a.nodes == b.nodes},
        {"target", a.target == b.target},
        {"random_field", a.random_field == b.random_field},
        {"word", a.word == b.word},
        {"bits", a.bits == b.bits},
        {"bit", a.bit == b.bit},
        {"bit_count", a.bit_count == b.bit_count},
        {"mask", a.mask == b.mask},
        {"action", a.action == b.action},
        {"stuck_value", a.stuck_value == b.stuck_value},
        {"intermittent_stuck", a.intermittent_stuck == b.intermittent_stuck},
        {"rate_per_s", a.rate_per_s == b.rate_per_s},
        {"channels", a.channels == b.channels},
        {"receivers", a.receivers == b.receivers},
        {"asymmetric_lose", a.asymmetric_lose == b.asymmetric_lose},
        {"frames", a.frames == b.frames},
        {"bit_error_rate", a.bit_error_rate == b.bit_error_rate},
        {"interval_us", a.interval_us == b.interval_us},
        {"offset_us", a.offset_us == b.offset_us},
        {"drift_step", a.drift_step == b.drift_step},
        {"jump", a.jump == b.jump},
        {"duration_us", a.duration_us == b.duration_us},
        {"trigger.kind", s.kind == t.kind},
        {"trigger.at_us", s.at_us == t.at_us},
        {"trigger.cycle", s.cycle == t.cycle},
        {"trigger.slot", s.slot == t.slot},
        {"trigger.node", s.node == t.node},
        {"trigger.state", s.state == t.state},
        {"trigger.frame", s.frame == t.frame},
        {"trigger.delay_us", s.delay_us == t.delay_us},
        {"trigger.period_us", s.period_us == t.period_us},
        {"trigger.count", s.count == t.count},
    };
    for (const auto& [name, same] : fields) {
        if (!same) {
            return name;
        }
    }
    return "";
}

/// An accepted fault, written out in its text form, reads back as the same fault.
std::string check_fault_reads_back(const FaultSpec& fault) {
    const std::string text = format_fault(fault);
    FaultSpec again;
    std::string why;
    if (!parse_fault(text, &again, &why)) {
        return "an accepted fault written out as '" + printable(text) + "' is refused: " + why;
    }
    const std::string field = fault_difference(fault, again);
    if (!field.empty()) {
        return "an accepted fault written out as '" + printable(text) + "' reads back with another " + field;
    }
    return "";
}

/// One line of printable text.
bool is_printable_line(const std::string& text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

} // namespace

std::string check_medl_input(const uint8_t* data, size_t size) {
    static Medl* const medl = new Medl; // about 1 MB, reused by every input
    // fmemopen may refuse a zero-sized buffer, so an empty input is read as one NUL byte, which the reader
    // takes as an empty line.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(
        fmemopen(text.data(), size == 0 ? 1 : size, "r"), std::fclose);
    if (stream == nullptr) {
        return "";
    }
    MedlError why;
    const uint8_t code = read_medl_stream(medl, stream.get(), FILE_NAME, &why);
    const bool known = code == MEDL_OK || code == MEDL_READ_ERROR || code == MEDL_UNRESOLVED_KEY ||
                       code == MEDL_UNKNOWN_KEY || code == MEDL_UNUSABLE_VALUE;
    if (!known || why.code != code) {
        return "result code " + std::to_string(code) + " (reported " + std::to_string(why.code) + ")";
    }
    if (code != MEDL_OK) {
        return check_refusal(why.message);
    }
    if (!why.message.empty()) {
        return "an accepted list with a message: " + why.message;
    }
    // The lookups, with indices taken from the input as a corrupted C-state would supply them.
    uint32_t index = 0;
    std::memcpy(&index, data, size < sizeof index ? size : sizeof index);
    uint32_t sum = get_sru_slot_duration(slot_control_entry(*medl, index));
    if (const ModeAddressEntry* entry = mode_address_entry(*medl, index >> 9, index)) {
        sum += get_cni_address_cha(*entry) + get_daflb(*entry) + get_mcp_i(*entry, index >> 30);
    }
    if (const ModeControlEntry* entry = mode_control_entry(*medl, index >> 20)) {
        sum += get_deferred_mode(*entry, index >> 25);
    }
    lookup_sink = sum;
    const uint32_t length = get_c_state_length(*medl);
    const bool usable_length = length >= MEDL_C_STATE_LENGTH_MIN && length <= MEDL_C_STATE_LENGTH_MAX;
    if (!usable_length && medl->controller_cfg_params.c_state_length != 0) {
        return "an accepted list with an unusable C-state length " + std::to_string(length);
    }
    return "";
}

std::string check_drift_input(const uint8_t* data, size_t size) {
    DriftText drifts;
    drifts.path = FILE_NAME;
    drifts.text = as_text(data, size);
    double values[NODE_COUNT] = {};
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        unsigned line = 0;
        std::string why;
        if (!next_drift(&drifts, n, &values[n], &line, &why)) {
            return check_refusal(why);
        }
        if (line == 0 || drifts.at > drifts.text.size()) {
            return "drift " + std::to_string(n + 1) + " read past the text or without a line";
        }
    }
    // Four drifts in range read back the same when written out exactly.
    DriftText again;
    again.path = FILE_NAME;
    for (double d : values) {
        if (!drift_in_range(d)) {
            return "";
        }
        char number[32];
        std::snprintf(number, sizeof number, "%.17g\n", d);
        again.text += number;
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        double value = 0;
        unsigned line = 0;
        std::string why;
        if (!next_drift(&again, n, &value, &line, &why) || value != values[n] || line != n + 1) {
            return "drift " + std::to_string(n + 1) + " does not read back as written";
        }
    }
    return "";
}

std::string check_injection_log_input(const uint8_t* data, size_t size) {
    const std::string text = as_text(data, size);
    std::vector<InjectionRecord> rows;
    std::string why;
    const bool accepted = parse_injection_csv(text, FILE_NAME, &rows, &why);
    // The same bytes arriving in two pieces, cut where the first byte says, are read alike: a line that
    // spans two reads of the file is one line.
    const size_t cut = size == 0 ? 0 : data[0] % (size + 1);
    InjectionLogScan scan;
    scan.name = FILE_NAME;
    std::vector<InjectionRecord> pieces;
    scan.records = &pieces;
    std::string why_in_pieces;
    const bool accepted_in_pieces = scan_log_bytes(&scan, text.data(), cut, &why_in_pieces) &&
                                    scan_log_bytes(&scan, text.data() + cut, size - cut, &why_in_pieces) &&
                                    scan_log_end(&scan, &why_in_pieces);
    if (accepted != accepted_in_pieces || why != why_in_pieces ||
        (accepted && pieces.size() != rows.size())) {
        return "read otherwise in two pieces: " + why + " / " + why_in_pieces;
    }
    if (!accepted) {
        return check_refusal(why);
    }
    // Every accepted row is one a run could have written: writing it again and reading it back gives it.
    std::string again;
    for (const InjectionRecord& row : rows) {
        if ((apply_fault_effect(row.before, 1u << row.bit, row.effect)) != row.after) {
            return "an accepted row whose effect does not give its after value";
        }
        again += injection_csv_row(row, "O1") + "\n";
    }
    std::vector<InjectionRecord> reread;
    if (!parse_injection_csv(again, FILE_NAME, &reread, &why) || reread.size() != rows.size()) {
        return "the accepted rows written out are refused: " + why;
    }
    for (size_t i = 0; i < rows.size(); ++i) {
        const InjectionRecord& a = rows[i];
        const InjectionRecord& b = reread[i];
        if (a.step != b.step || a.target != b.target || a.word != b.word || a.bit != b.bit ||
            a.effect != b.effect || a.before != b.before || a.after != b.after || a.source != b.source ||
            !(a.time == b.time || (std::isnan(a.time) && std::isnan(b.time)))) {
            return "row " + std::to_string(i + 1) + " reads back otherwise when written out";
        }
    }
    return "";
}

std::string check_campaign_csv_input(const uint8_t* data, size_t size) {
    CampaignCsv csv;
    std::string why;
    if (!parse_campaign_csv(as_text(data, size), FILE_NAME, &csv, &why)) {
        return check_refusal(why);
    }
    for (const auto& [experiment, row] : csv.rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        if (cells.size() != campaign_csv_columns(csv.head) || cells[0] != std::to_string(experiment)) {
            return "an accepted row that is not experiment " + std::to_string(experiment) + "'s: " + row;
        }
    }
    // What was accepted reads back the same when written out, now without an unfinished line.
    CampaignCsv again;
    if (!parse_campaign_csv(campaign_csv_text(csv.head, csv.rows), FILE_NAME, &again, &why)) {
        return "the accepted rows written out are refused: " + why;
    }
    if (again.rows != csv.rows || again.head.parameters != csv.head.parameters ||
        again.head.fault_space != csv.head.fault_space || again.head.shard_index != csv.head.shard_index ||
        again.head.shard_count != csv.head.shard_count || again.unfinished_line != 0) {
        return "the accepted rows written out read back otherwise";
    }
    return "";
}

std::string check_scenario_input(const uint8_t* data, size_t size) {
    Scenario scenario;
    std::string why;
    if (!parse_scenario(as_text(data, size), FILE_NAME, &scenario, &why)) {
        const std::string fault = check_refusal(why);
        if (!fault.empty()) {
            return fault;
        }
        // Every refusal of a scenario's text is at a line: "input.txt:LINE: ...".
        const size_t line_at = std::strlen(FILE_NAME) + 1;
        const size_t colon = why.find(':', line_at);
        if (why[line_at - 1] != ':' || colon == std::string::npos || colon == line_at ||
            why.find_first_not_of("0123456789", line_at) != colon || why.compare(colon, 2, ": ") != 0 ||
            why.compare(line_at, 2, "0:") == 0) {
            return "a refusal without its line: " + why;
        }
        return is_printable_line(why) ? "" : "a refusal that is not printable: " + printable(why);
    }
    if (scenario.title.empty()) {
        return "an accepted scenario without a title";
    }
    for (const FaultSpec& fault : scenario.faults) {
        const std::string wrong = check_fault_reads_back(fault);
        if (!wrong.empty()) {
            return wrong;
        }
    }
    return "";
}

std::string check_fault_text_input(const uint8_t* data, size_t size) {
    FaultSpec fault;
    std::string why;
    if (!parse_fault(as_text(data, size), &fault, &why)) {
        if (why.empty()) {
            return "a refusal without a reason";
        }
        return is_printable_line(why) ? "" : "a refusal that is not one printable line: " + printable(why);
    }
    return check_fault_reads_back(fault);
}

std::string check_campaign_fault_input(const uint8_t* data, size_t size) {
    constexpr double FROM_US = 100000;
    constexpr double TO_US = 200000;
    constexpr double HORIZON_US = 300000;
    constexpr uint32_t DRAWS = 8;
    std::vector<FaultTemplate> faults;
    std::string why;
    if (!parse_fault_templates(as_text(data, size), FROM_US, TO_US, HORIZON_US, &faults, &why)) {
        return is_printable_line(why) ? "" : "a refusal that is not one printable line: " + printable(why);
    }
    std::vector<FaultTemplate> again;
    if (!parse_fault_templates(templates_text(faults), FROM_US, TO_US, HORIZON_US, &again, &why) ||
        templates_text(again) != templates_text(faults)) {
        return "the accepted faults as the campaign line records them read back otherwise";
    }
    std::mt19937 random(DRAWS);
    for (uint32_t k = 0; k < DRAWS; ++k) {
        for (const FaultTemplate& fault : faults) {
            DrawnFault drawn;
            if (!draw_fault(fault, FROM_US, &random, &drawn, &why)) {
                if (!is_printable_line(why)) {
                    return "a refused draw that is not one printable line: " + printable(why);
                }
                continue;
            }
            if (!(drawn.added_us >= 0 && drawn.added_us <= HORIZON_US)) {
                return "a fault drawn to be added outside the run";
            }
            const std::string wrong = check_fault_reads_back(drawn.fault);
            if (!wrong.empty()) {
                return wrong;
            }
        }
    }
    return "";
}

const ReaderCheck READER_CHECKS[] = {
    {"medl", check_medl_input},
    {"drift", check_drift_input},
    {"injection_log", check_injection_log_input},
    {"campaign_csv", check_campaign_csv_input},
    {"scenario", check_scenario_input},
    {"fault_text", check_fault_text_input},
    {"campaign_fault", check_campaign_fault_input},
};
const size_t READER_CHECK_COUNT = std::size(READER_CHECKS);
