#include "ui/window_replay.h"

#include "cli/campaign_csv.h"
#include "host/fault_plan.h"

#include <charconv>

namespace {

/// The row of experiment `number` as the injection log's first columns and the source "now".
std::string injection_row_of(const std::vector<std::string>& cells) {
    std::string row;
    for (unsigned c = 1; c < CAMPAIGN_CSV_INJECTIONS_COLUMN; ++c) {
        row += cells[c] + ",";
    }
    return row + "now";
}

} // namespace

uint64_t first_injection_step(const std::vector<InjectionRecord>& rows) {
    for (const InjectionRecord& row : rows) {
        if (row.action != ROW_ADDED) {
            return row.step;
        }
    }
    return 0;
}

bool read_window_replay(const std::string& path, WindowReplay* replay, std::string* why) {
    replay->rows.clear();
    if (!read_injection_csv(path, &replay->rows, why)) {
        return false;
    }
    if (replay->rows.empty()) {
        *why = path + ": the log holds no injection to replay";
        return false;
    }
    replay->stop_before_step = first_injection_step(replay->rows);
    return true;
}

bool read_campaign_row(const std::string& argument, WindowReplay* replay, std::string* why) {
    const size_t colon = argument.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        *why = "--campaign-row " + argument + ": wants FILE.csv:K, K the experiment's number";
        return false;
    }
    const std::string path = argument.substr(0, colon);
    const std::string number_text = argument.substr(colon + 1);
    uint32_t number = 0;
    const char* end = number_text.data() + number_text.size();
    const auto [stop, error] = std::from_chars(number_text.data(), end, number);
    if (number_text.empty() || error != std::errc{} || stop != end) {
        *why = "--campaign-row " + argument + ": '" + number_text +
               "' is not an experiment number (a whole number, from 0)";
        return false;
    }
    CampaignCsv csv;
    if (!read_campaign_csv(path, &csv, why)) {
        return false;
    }
    const auto row = csv.rows.find(number);
    if (row == csv.rows.end()) {
        *why = path + ": holds no experiment " + number_text +
               (csv.rows.empty() ? std::string(" (it holds none)")
                                 : " (it holds experiments " + std::to_string(csv.rows.begin()->first) +
                                       " to " + std::to_string(csv.rows.rbegin()->first) + ")");
        return false;
    }
    const std::vector<std::string> cells = campaign_csv_cells(row->second);
    const std::string& injections = cells[CAMPAIGN_CSV_INJECTIONS_COLUMN];
    if (injections != "1") {
        *why = path + ": experiment " + number_text + " injected " + injections +
               " times; only an experiment with one injection can be opened from its row";
        return false;
    }
    InjectionRecord record{};
    std::string problem;
    unsigned node = NODE_O1;
    (void)campaign_node(csv.head.parameters, &node); // read_campaign_csv checked it
    if (!parse_injection_row(injection_row_of(cells), &record, &problem, node)) {
        *why = path + ": experiment " + number_text + ": " + problem; // read_campaign_csv checked it already
        return false;
    }
    replay->rows = {record};
    replay->stop_before_step = record.step;
    return true;
}
