#include "cli/campaign_csv.h"

#include "host/injection_log.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

const char* const CAMPAIGN_CSV_HEADER =
    "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
    "injections,class,converged,detection_us,heal_us";

namespace {

constexpr const char* CAMPAIGN_LINE = "# pelorin-sim campaign: ";
constexpr const char* SHARD_LINE = "# shard: ";
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

/// The shortest fixed-point text that reads back as exactly `value`.
std::string exact_number(double value) {
    char text[NUMBER_CHARS];
    const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
    return std::string(text, end);
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

/// A whole unsigned 32-bit number, nothing else.
bool read_number(const std::string& text, uint32_t* value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
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
    *why = path + ":" + std::to_string(line) + ": " + what;
    return false;
}

} // namespace

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
        std::string injection = injection_csv_row(first, fault_area_node_name(first.area));
        injection = injection.substr(0, injection.rfind(',')); // without the source column
        row += injection;
    }
    row += "," + std::to_string(r.injections.size()) + "," + outcome_name(r.outcome) + "," +
           (r.converged ? "yes" : "no") + "," + format_time(r.detection_us) + "," + format_time(r.heal_us);
    return row;
}

std::string campaign_parameters(const CampaignOptions& options, uint64_t configuration_hash) {
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016" PRIx64, configuration_hash);
    return "seed=" + std::to_string(options.seed) + " runs=" + std::to_string(options.runs) +
           " target=" + fault_target_name(options.target) + " effect=" + fault_effect_name(options.effect) +
           " injections=" + std::to_string(options.injections) +
           " window_us=" + exact_number(options.window_from_us) + ":" + exact_number(options.window_to_us) +
           " horizon_us=" + exact_number(options.horizon_us) + " configuration=" + hash;
}

bool parse_campaign_parameters(const std::string& parameters, CampaignOptions* options, std::string* why) {
    if (!read_number(parameter(parameters, "runs"), &options->runs) ||
        !fault_target_by_name(parameter(parameters, "target"), &options->target) ||
        !fault_effect_by_name(parameter(parameters, "effect"), &options->effect)) {
        *why = "the campaign line names no runs, target or effect";
        return false;
    }
    return true;
}

std::pair<std::string, std::string> parameters_difference(const std::string& found,
                                                          const std::string& expected) {
    const std::vector<std::string> a = words(found);
    const std::vector<std::string> b = words(expected);
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
                       std::to_string(head.shard_index) + "/" + std::to_string(head.shard_count) + "\n" +
                       CAMPAIGN_CSV_HEADER + "\n";
    for (const auto& [k, row] : rows) {
        text += row + "\n";
    }
    return text;
}

std::vector<std::string> campaign_csv_cells(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream in(row);
    std::string cell;
    while (std::getline(in, cell, ',')) {
        cells.push_back(cell);
    }
    if (!row.empty() && row.back() == ',') {
        cells.emplace_back();
    }
    return cells;
}

bool read_campaign_csv(const std::string& path, CampaignCsv* csv, std::string* why) {
    *csv = CampaignCsv{};
    std::error_code error;
    if (!std::filesystem::is_regular_file(path, error)) {
        *why = path + ": cannot be read (" +
               (std::filesystem::exists(path, error) ? "not a regular file" : std::strerror(ENOENT)) + ")";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        *why = path + ": cannot be read";
        return false;
    }
    uint32_t runs = 0;
    bool in_head = true;
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
            if (line == CAMPAIGN_CSV_HEADER) {
                in_head = false;
                const bool sized = read_number(parameter(csv->head.parameters, "runs"), &runs);
                runs = sized ? runs : UINT32_MAX;
            } else if (starts_with(line, CAMPAIGN_LINE)) {
                csv->head.parameters = line.substr(std::strlen(CAMPAIGN_LINE));
            } else if (starts_with(line, SHARD_LINE)) {
                if (!read_shard(line.substr(std::strlen(SHARD_LINE)), &csv->head)) {
                    return fail_at(why, path, number, "the shard line must read '# shard: I/N' with I < N");
                }
            } else if (line.empty() || line[0] != '#') {
                return fail_at(why, path, number,
                               std::string("not a campaign CSV (comment lines, then ") + CAMPAIGN_CSV_HEADER +
                                   ")");
            }
            continue;
        }
        const std::vector<std::string> cells = campaign_csv_cells(line);
        uint32_t k = 0;
        if (cells.size() != CAMPAIGN_CSV_COLUMNS || !read_number(cells[0], &k) ||
            std::find(std::begin(OUTCOME_NAMES), std::end(OUTCOME_NAMES), cells[CAMPAIGN_CSV_CLASS_COLUMN]) ==
                std::end(OUTCOME_NAMES)) {
            return fail_at(why, path, number,
                           std::string("not a row of this campaign's CSV (") + CAMPAIGN_CSV_HEADER + ")");
        }
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
        *why = path + ": has no column header (" + CAMPAIGN_CSV_HEADER + ")";
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
