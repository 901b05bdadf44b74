#include "cli/campaign_csv.h"

#include "host/injection_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

const char* const CAMPAIGN_CSV_HEADER =
    "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
    "injections,class,converged,detection_us,heal_us";

namespace {

std::string format_time(double t) {
    if (t < 0) {
        return "";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", t);
    return text;
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

bool read_campaign_rows(const std::string& path, std::map<uint32_t, std::string>* rows, std::string* why) {
    std::ifstream in(path);
    if (!in) {
        return true; // nothing yet
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::stringstream lines(text);
    std::string line;
    unsigned number = 0;
    while (std::getline(lines, line)) {
        number += 1;
        if (line.empty() || line == CAMPAIGN_CSV_HEADER) {
            continue;
        }
        const bool last_unfinished = lines.eof() && !text.empty() && text.back() != '\n';
        std::vector<std::string> cells = campaign_csv_cells(line);
        if (cells.size() != CAMPAIGN_CSV_COLUMNS || cells[0].empty() ||
            cells[0].find_first_not_of("0123456789") != std::string::npos) {
            if (last_unfinished) {
                continue; // a row cut short by an interruption: run it again
            }
            *why = path + ":" + std::to_string(number) + ": not a row of this campaign's CSV (" +
                   CAMPAIGN_CSV_HEADER + ")";
            return false;
        }
        (*rows)[static_cast<uint32_t>(std::stoul(cells[0]))] = line;
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
