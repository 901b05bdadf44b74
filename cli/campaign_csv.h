// The campaign's CSV: one row per experiment, in experiment order, under one header line.
//
// Columns: experiment, then the first injection's columns of the injection log without its source (time_us,
// step, target, controller, word, field, bit, effect, before, after; empty when nothing was injected), then
// injections (how many), class (the outcome's name), converged (yes/no), detection_us and heal_us (%.1f,
// empty when not applicable). Cells hold no commas.
#pragma once

#include "cli/campaign.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr unsigned CAMPAIGN_CSV_COLUMNS = 16;
constexpr unsigned CAMPAIGN_CSV_FIELD_COLUMN = 6;
constexpr unsigned CAMPAIGN_CSV_CLASS_COLUMN = 12;

/// The outcome classes' names, indexed by Outcome: what the class column says.
inline constexpr const char* OUTCOME_NAMES[static_cast<unsigned>(Outcome::COUNT)] = {
    "no-effect", "masked", "detected-healed", "application-failure", "not-healed"};

/// The cells of a row.
std::vector<std::string> campaign_csv_cells(const std::string& row);

/// Rows of an earlier (possibly interrupted) run of the campaign in `path`: experiment number -> row. A
/// missing file is no rows; an unfinished last row (cut short by an interruption) is left out, to be run
/// again. False with the file and line of a row that belongs to no campaign CSV.
bool read_campaign_rows(const std::string& path, std::map<uint32_t, std::string>* rows, std::string* why);

/// Writes `content` to `path` through "<path>.tmp" in the same directory, renamed over the old file: a reader
/// sees the old or the new content, and a failed write leaves the old one. False with a reason when it
/// cannot. Every campaign output that replaces earlier results (the CSV, the chart) is written so.
bool write_file_atomically(const std::string& path, const std::string& content, std::string* why);
