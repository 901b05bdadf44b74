#include "cli/campaign_csv.h"

#include "cli/campaign_fault.h"
#include "host/injection_log.h"
#include "kernel/input_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

const char* const CAMPAIGN_CSV_HEADER =
    "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
    "injections,class,converged,detection_us,heal_us";
const char* const EXHAUSTIVE_CSV_HEADER =
    "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
    "injections,class,converged,detection_us,heal_us,interval_from_us,interval_to_us,weight_us";

const char* const DESCRIBED_CSV_HEADER =
    "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
    "injections,class,converged,detection_us,heal_us,left,spread,majority_lost,cliques,fault";

NodeSet struck_nodes(const std::vector<FaultSpec>& faults) {
    NodeSet nodes = 0;
    for (const FaultSpec& fault : faults) {
        nodes |= fault.nodes;
    }
    return nodes;
}

bool spread_beyond(const std::vector<FaultSpec>& faults, uint8_t left) {
    return (left & ~struck_nodes(faults) & ALL_NODES) != 0;
}

namespace {

constexpr const char* CAMPAIGN_LINE = "# pelorin-sim campaign: ";
constexpr const char* SHARD_LINE = "# shard: ";
constexpr const char* FAULT_SPACE_LINE = "# fault space: ";
constexpr const char* EXHAUSTIVE_WORD = "scan=exhaustive";
/// The last word of a campaign line with a fault of its own: the fault, to the end of the line.
constexpr const char* FAULT_WORD = "fault=";
/// The injection columns a described fault's row fills: time_us, step and controller.
constexpr unsigned TIME_COLUMN = 1;
constexpr unsigned STEP_COLUMN = 2;
constexpr unsigned CONTROLLER_COLUMN = 4;
/// Room for any double in fixed notation (up to 309 digits before the point).
constexpr size_t NUMBER_CHARS = 400;

std::string format_time(double t) {
    if (t < 0) {
        return "";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", t);
    return text;
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

/// A whole unsigned 32-bit number written as the campaign writes one (no sign, no leading zero), nothing
/// else.
bool read_number(const std::string& text, uint32_t* value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end &&
           (text.size() == 1 || text[0] != '0');
}

/// A time column: empty (not applicable) or a time in microseconds.
bool read_time(const std::string& text) {
    if (text.empty()) {
        return true;
    }
    double value = 0;
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, value, std::chars_format::fixed);
    return result.ec == std::errc() && result.ptr == end && std::isfinite(value) && value >= 0;
}

const char* yes_no(bool value) {
    return value ? "yes" : "no";
}

/// What is wrong with the injection columns and the fault of a described fault's row, "" when nothing is:
/// the time and step it was added at and the nodes it strikes, or nothing when it was not added; the fault
/// in its text form.
std::string described_columns_problem(const std::vector<std::string>& cells) {
    std::vector<FaultSpec> faults;
    for (const std::string& text : split_faults(cells[DESCRIBED_CSV_FAULT_COLUMN])) {
        std::string why;
        if (!parse_fault(text, &faults.emplace_back(), &why)) {
            return "the fault column is no fault: " + why;
        }
    }
    uint64_t step = 0;
    const std::string& step_cell = cells[STEP_COLUMN];
    const char* step_end = step_cell.data() + step_cell.size();
    const bool added = !cells[TIME_COLUMN].empty();
    if (added && (!read_time(cells[TIME_COLUMN]) ||
                  std::from_chars(step_cell.data(), step_end, step).ptr != step_end || step_cell.empty())) {
        return "the time and step columns are no time and step";
    }
    NodeSet nodes = 0;
    const std::string& controller = cells[CONTROLLER_COLUMN];
    if (!controller.empty() && (!added || !parse_node_set(controller, &nodes))) {
        return "controller '" + controller + "' is no set of nodes the fault was added for";
    }
    for (unsigned c = TIME_COLUMN; c < CAMPAIGN_CSV_INJECTIONS_COLUMN; ++c) {
        if (c != TIME_COLUMN && c != STEP_COLUMN && c != CONTROLLER_COLUMN && !cells[c].empty()) {
            return "a described fault's row fills no injection column but time_us, step and controller";
        }
    }
    if (added == step_cell.empty()) {
        return "the time and step columns go together";
    }
    NodeSet left = 0;
    const std::string& left_cell = cells[DESCRIBED_CSV_LEFT_COLUMN];
    if (!left_cell.empty() && !parse_node_set(left_cell, &left)) {
        return "left '" + left_cell + "' is no set of nodes";
    }
    for (unsigned c = DESCRIBED_CSV_SPREAD_COLUMN; c <= DESCRIBED_CSV_CLIQUES_COLUMN; ++c) {
        if (cells[c] != "yes" && cells[c] != "no") {
            return "'" + cells[c] + "' is neither yes nor no";
        }
    }
    if ((cells[DESCRIBED_CSV_SPREAD_COLUMN] == "yes") != spread_beyond(faults, left)) {
        return "spread does not fit the nodes that left and the nodes the fault strikes";
    }
    return "";
}

/// What is wrong with a row's cells, "" when nothing is: each column as the campaign writes it; `columns` is
/// CAMPAIGN_CSV_COLUMNS, or EXHAUSTIVE_CSV_COLUMNS for a scan's row with its interval and weight; a bit's
/// row names the node the campaign changes the memory of.
std::string row_problem(const std::vector<std::string>& cells, size_t columns, unsigned node) {
    if (cells.size() != columns) {
        return "expected " + std::to_string(columns) + " columns, found " + std::to_string(cells.size());
    }
    for (unsigned c = CAMPAIGN_CSV_COLUMNS; columns == EXHAUSTIVE_CSV_COLUMNS && c < columns; ++c) {
        // the interval and its weight
        if (cells[c].empty() || !read_time(cells[c])) {
            return "'" + cells[c] + "' is not a time in microseconds";
        }
    }
    uint32_t number = 0;
    if (!read_number(cells[0], &number)) {
        return "experiment '" + cells[0] + "' is not an experiment number";
    }
    // The first injection's columns: all empty when nothing was injected, else a row of the injection log.
    const auto first = cells.begin() + 1;
    const auto last = cells.begin() + CAMPAIGN_CSV_INJECTIONS_COLUMN;
    const bool injected = std::any_of(first, last, [](const std::string& cell) { return !cell.empty(); });
    if (columns == DESCRIBED_CSV_COLUMNS) {
        const std::string problem = described_columns_problem(cells);
        if (!problem.empty()) {
            return problem;
        }
    } else if (injected) {
        std::string row;
        for (auto cell = first; cell != last; ++cell) {
            row += *cell + ",";
        }
        InjectionRecord record{};
        std::string problem;
        if (!parse_injection_row(row + "now", &record, &problem, node)) {
            return "the injection columns are no injection: " + problem;
        }
    }
    uint32_t injections = 0;
    if (!read_number(cells[CAMPAIGN_CSV_INJECTIONS_COLUMN], &injections) || (injections > 0) != injected) {
        return "injections '" + cells[CAMPAIGN_CSV_INJECTIONS_COLUMN] +
               "' does not fit the injection columns";
    }
    if (unsigned outcome = 0; !outcome_by_name(cells[CAMPAIGN_CSV_CLASS_COLUMN], &outcome)) {
        return "class '" + cells[CAMPAIGN_CSV_CLASS_COLUMN] + "' is no outcome class";
    }
    const std::string& converged = cells[CAMPAIGN_CSV_CLASS_COLUMN + 1];
    if (converged != "yes" && converged != "no") {
        return "converged '" + converged + "' is neither yes nor no";
    }
    for (unsigned c = CAMPAIGN_CSV_CLASS_COLUMN + 2; c < CAMPAIGN_CSV_COLUMNS; ++c) {
        if (!read_time(cells[c])) {
            return "'" + cells[c] + "' is not a time in microseconds";
        }
    }
    return "";
}

/// The words of a campaign line before its fault, if it has one.
std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> all;
    for (auto word = std::istream_iterator<std::string>(in); word != std::istream_iterator<std::string>();
         ++word) {
        if (starts_with(*word, FAULT_WORD)) {
            break;
        }
        all.push_back(*word);
    }
    return all;
}

/// The value of the word "key=value" in `parameters` ("" when there is none).
std::string parameter(const std::string& parameters, const std::string& key) {
    for (const std::string& word : words(parameters)) {
        if (word.compare(0, key.size() + 1, key + "=") == 0) {
            return word.substr(key.size() + 1);
        }
    }
    return "";
}

bool read_shard(const std::string& text, CampaignCsvHead* head) {
    const size_t slash = text.find('/');
    return slash != std::string::npos && read_number(text.substr(0, slash), &head->shard_index) &&
           read_number(text.substr(slash + 1), &head->shard_count) && head->shard_index < head->shard_count;
}

bool fail_at(std::string* why, const std::string& path, unsigned line, const std::string& what) {
    *why = path + ":" + std::to_string(line) + ": " + printable(what); // quoted cells stay one readable line
    return false;
}

bool is_exhaustive(const std::string& parameters) {
    const std::vector<std::string> all = words(parameters);
    return std::find(all.begin(), all.end(), EXHAUSTIVE_WORD) != all.end();
}

/// A scan of the frames: its campaign line says space=frames.
bool is_frame_scan(const std::string& parameters) {
    return parameter(parameters, "space") == FAULT_SPACE_NAMES[static_cast<unsigned>(FaultSpace::FRAMES)];
}

/// The cells after the injection columns: injections, class, converged, detection_us, heal_us.
std::string result_cells(const ExperimentResult& r) {
    return std::to_string(r.injections.size()) + "," + outcome_name(r.outcome) + "," +
           (r.converged ? "yes" : "no") + "," + format_time(r.detection_us) + "," + format_time(r.heal_us);
}

/// The header of the rows under a campaign line.
const char* csv_header(size_t columns) {
    return columns == EXHAUSTIVE_CSV_COLUMNS  ? EXHAUSTIVE_CSV_HEADER
           : columns == DESCRIBED_CSV_COLUMNS ? DESCRIBED_CSV_HEADER
                                              : CAMPAIGN_CSV_HEADER;
}

} // namespace

std::string exact_number(double value) {
    char text[NUMBER_CHARS];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
    return std::string(text, end);
}

bool read_exact_number(const std::string& text, double* value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *value, std::chars_format::fixed);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

size_t campaign_csv_columns(const CampaignCsvHead& head) {
    return is_frame_scan(head.parameters) || !campaign_fault_text(head.parameters).empty()
               ? DESCRIBED_CSV_COLUMNS
           : is_exhaustive(head.parameters) ? EXHAUSTIVE_CSV_COLUMNS
                                            : CAMPAIGN_CSV_COLUMNS;
}

std::string campaign_fault_text(const std::string& parameters) {
    const std::string marked = std::string(" ") + FAULT_WORD;
    const size_t at = starts_with(parameters, FAULT_WORD) ? 0 : parameters.find(marked);
    if (at == std::string::npos) {
        return "";
    }
    return parameters.substr(at == 0 ? std::strlen(FAULT_WORD) : at + marked.size());
}

std::string exhaustive_csv_row(const std::string& row, double from_us, double to_us, double weight) {
    return row + "," + exact_number(from_us) + "," + exact_number(to_us) + "," + exact_number(weight);
}

bool outcome_by_name(const std::string& name, unsigned* outcome) {
    const auto found = std::find(std::begin(OUTCOME_NAMES), std::end(OUTCOME_NAMES), name);
    *outcome = static_cast<unsigned>(found - std::begin(OUTCOME_NAMES));
    return found != std::end(OUTCOME_NAMES);
}

const char* outcome_name(Outcome outcome) {
    return OUTCOME_NAMES[static_cast<unsigned>(outcome)];
}

std::string campaign_csv_row(const ExperimentResult& r) {
    std::string row = std::to_string(r.experiment) + ",";
    if (r.injections.empty()) {
        row += ",,,,,,,,,";
    } else {
        // The first injection's columns (time .. after), as in the injection log.
        const InjectionRecord& first = r.injections.front();
        const int node = injection_node(first);
        std::string injection = injection_csv_row(first, node >= 0 ? CLUSTER_NODES[node].name : "?");
        injection = injection.substr(0, injection.rfind(',')); // without the source column
        row += injection;
    }
    return row + "," + result_cells(r);
}

std::string described_csv_row(const std::vector<FaultSpec>& faults, const ExperimentResult& r) {
    std::string row = std::to_string(r.experiment) + ",";
    if (r.injections.empty()) {
        row += ",,,,,,,,,";
    } else {
        const InjectionRecord& added = r.injections.front();
        char time[NUMBER_CHARS];
        std::snprintf(time, sizeof time, "%.17g,%" PRIu64 ",,", added.time, added.step);
        row += time + node_set_text(struck_nodes(faults)) + ",,,,,,";
    }
    return row + "," + result_cells(r) + "," + node_set_text(r.left) + "," +
           yes_no(spread_beyond(faults, r.left)) + "," + yes_no(r.majority_lost) + "," + yes_no(r.cliques) +
           "," + [&faults] {
               std::vector<std::string> texts;
               for (const FaultSpec& fault : faults) {
                   texts.push_back(format_fault(fault));
               }
               return join_faults(texts);
           }();
}

std::string campaign_parameters(const CampaignOptions& options, uint64_t configuration_hash) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016" PRIx64, configuration_hash);
    const std::string window_on =
        " window_us=" + exact_number(options.window_from_us) + ":" + exact_number(options.window_to_us) +
        " horizon_us=" + exact_number(options.horizon_us) + " configuration=" + hash;
    // A campaign of O1's bits, as every campaign was before others could be chosen, names no node.
    const std::string kind =
        " target=" + std::string(fault_target_name(options.target)) +
        " effect=" + fault_effect_name(options.effect) +
        (options.node == NODE_O1 ? "" : std::string(" node=") + CLUSTER_NODES[options.node].name);
    if (options.space == FaultSpace::FRAMES) { // no seed, no bits, one fault of the channels per experiment
        return "runs=" + std::to_string(options.runs) +
               " space=" + FAULT_SPACE_NAMES[static_cast<unsigned>(FaultSpace::FRAMES)] + window_on + " " +
               EXHAUSTIVE_WORD;
    }
    if (options.exhaustive) { // no seed, one injection per experiment
        return "runs=" + std::to_string(options.runs) + kind + window_on + " " + EXHAUSTIVE_WORD;
    }
    const std::string fault = options.fault.empty() ? "" : std::string(" ") + FAULT_WORD + options.fault;
    return "seed=" + std::to_string(options.seed) + " runs=" + std::to_string(options.runs) + kind +
           " injections=" + std::to_string(options.injections) + window_on + fault;
}

bool parse_campaign_parameters(const std::string& parameters, CampaignOptions* options, std::string* why) {
    options->space = is_frame_scan(parameters) ? FaultSpace::FRAMES : FaultSpace::BITS;
    if (options->space == FaultSpace::FRAMES) {
        options->exhaustive = true;
        double from = 0.0;
        double to = 0.0;
        if (!read_number(parameter(parameters, "runs"), &options->runs) || !is_exhaustive(parameters) ||
            !campaign_window(parameters, &from, &to)) {
            *why = "the campaign line of a scan of the frames names no runs or window, or no scan=exhaustive";
            return false;
        }
        options->window_from_us = from;
        options->window_to_us = to;
        return true;
    }
    if (!read_number(parameter(parameters, "runs"), &options->runs) ||
        !fault_target_by_name(parameter(parameters, "target"), &options->target) ||
        !fault_effect_by_name(parameter(parameters, "effect"), &options->effect)) {
        *why = "the campaign line names no runs, target or effect";
        return false;
    }
    if (!campaign_node(parameters, &options->node)) {
        *why = "the campaign line's node=" + parameter(parameters, "node") + " is no node (M1, M2, O1, O2)";
        return false;
    }
    options->exhaustive = is_exhaustive(parameters);
    options->fault = campaign_fault_text(parameters);
    // The window and the faults per experiment size the summary's fault space; a sampled campaign's line
    // without them (none is known) gives its summary without one.
    const bool has_window = campaign_window(parameters, &options->window_from_us, &options->window_to_us);
    if (options->exhaustive && !has_window) {
        *why = "the campaign line of an exhaustive scan names no window";
        return false;
    }
    if (!has_window || !read_number(parameter(parameters, "injections"), &options->injections)) {
        options->injections = 0;
    }
    return true;
}

bool campaign_node(const std::string& parameters, unsigned* node) {
    const std::string name = parameter(parameters, "node");
    const int named = name.empty() ? static_cast<int>(NODE_O1) : node_by_name(name);
    *node = named < 0 ? NODE_O1 : static_cast<unsigned>(named);
    return named >= 0;
}

bool campaign_window(const std::string& parameters, double* from_us, double* to_us) {
    const std::string window = parameter(parameters, "window_us");
    const size_t colon = window.find(':');
    return colon != std::string::npos && read_exact_number(window.substr(0, colon), from_us) &&
           read_exact_number(window.substr(colon + 1), to_us);
}

std::pair<std::string, std::string> parameters_difference(const std::string& found,
                                                          const std::string& expected) {
    std::vector<std::string> a = words(found);
    std::vector<std::string> b = words(expected);
    a.push_back(FAULT_WORD + campaign_fault_text(found));
    b.push_back(FAULT_WORD + campaign_fault_text(expected));
    for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const std::string x = i < a.size() ? a[i] : "(none)";
        const std::string y = i < b.size() ? b[i] : "(none)";
        if (x != y) {
            return {x, y};
        }
    }
    return {};
}

std::string campaign_csv_text(const CampaignCsvHead& head, const std::map<uint32_t, std::string>& rows) {
    std::string text = CAMPAIGN_LINE + head.parameters + "\n" + SHARD_LINE +
                       std::to_string(head.shard_index) + "/" + std::to_string(head.shard_count) + "\n";
    if (!head.fault_space.empty()) {
        text += FAULT_SPACE_LINE + head.fault_space + "\n";
    }
    text += std::string(csv_header(campaign_csv_columns(head))) + "\n";
    for (const auto& [k, row] : rows) {
        text += row + "\n";
    }
    return text;
}

std::vector<std::string> campaign_csv_cells(const std::string& row) {
    return row.empty() ? std::vector<std::string>{} : csv_cells(row);
}

bool read_campaign_csv(const std::string& path, CampaignCsv* csv, std::string* why) {
    *csv = CampaignCsv{};
    std::string text;
    std::string reason;
    if (!read_input_file(path, CAMPAIGN_CSV_MAX_BYTES, &text, &reason)) {
        *why = path + ": " + reason;
        return false;
    }
    return parse_campaign_csv(text, path, csv, why);
}

bool parse_campaign_csv(const std::string& text, const std::string& path, CampaignCsv* csv,
                        std::string* why) {
    *csv = CampaignCsv{};
    uint32_t runs = 0;
    bool in_head = true;
    const char* header = CAMPAIGN_CSV_HEADER;
    size_t columns = CAMPAIGN_CSV_COLUMNS;
    std::map<uint32_t, unsigned> first_line;
    unsigned number = 0;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        number += 1;
        if (end == std::string::npos) {
            csv->unfinished_line = number; // cut short by an interruption: not a row
            break;
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (in_head) {
            // The rows' form follows the campaign line read so far (the last one, if a file has several).
            columns = campaign_csv_columns(csv->head);
            header = csv_header(columns);
            if (line == header) {
                in_head = false;
                const bool sized = read_number(parameter(csv->head.parameters, "runs"), &runs);
                runs = sized ? runs : UINT32_MAX;
            } else if (starts_with(line, CAMPAIGN_LINE)) {
                csv->head.parameters = line.substr(std::strlen(CAMPAIGN_LINE));
            } else if (starts_with(line, FAULT_SPACE_LINE)) {
                csv->head.fault_space = line.substr(std::strlen(FAULT_SPACE_LINE));
            } else if (starts_with(line, SHARD_LINE)) {
                if (!read_shard(line.substr(std::strlen(SHARD_LINE)), &csv->head)) {
                    return fail_at(why, path, number, "the shard line must read '# shard: I/N' with I < N");
                }
            } else if (line.empty() || line[0] != '#') {
                return fail_at(why, path, number,
                               std::string("not a campaign CSV (comment lines, then ") + header + ")");
            }
            continue;
        }
        const std::vector<std::string> cells = campaign_csv_cells(line);
        unsigned node = NODE_O1;
        if (!campaign_node(csv->head.parameters, &node)) {
            return fail_at(why, path, number,
                           "the campaign line's node=" + parameter(csv->head.parameters, "node") +
                               " is no node (M1, M2, O1, O2)");
        }
        const std::string problem = row_problem(cells, columns, node);
        if (!problem.empty()) {
            return fail_at(why, path, number, "not a row of a campaign's CSV: " + problem);
        }
        uint32_t k = 0;
        (void)read_number(cells[0], &k); // checked by row_problem
        if (k >= runs) {
            return fail_at(why, path, number,
                           "experiment " + cells[0] + " is outside the campaign's " + std::to_string(runs) +
                               " experiments");
        }
        const auto [earlier, first] = first_line.emplace(k, number);
        if (!first) {
            return fail_at(why, path, number,
                           "experiment " + cells[0] + " a second time (first on line " +
                               std::to_string(earlier->second) + ")");
        }
        csv->rows[k] = line;
    }
    if (in_head && number > 0) {
        *why = path + ": has no column header (" + header + ")";
        return false;
    }
    return true;
}

bool write_file_atomically(const std::string& path, const std::string& content, std::string* why) {
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        *why = path + ": cannot be written (" + std::strerror(errno) + ")";
        return false;
    }
    const bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        std::remove(temporary.c_str());
        *why = path + ": cannot be written (" + std::strerror(error) + ")";
        return false;
    }
    return true;
}
