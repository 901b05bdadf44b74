// The fault-space map of a campaign (SVG): each experiment's injection time within the campaign's window
// against where it struck, coloured by its class. The y axis has one band per field of the target (the bit
// within the band, where the rows name bits) or, for a campaign with a fault of its own, one band per kind
// and place of the drawn fault (fault_group). A row of an exhaustive scan, which stands for an interval of
// time, is a rectangle over its interval; a sampled row is a dot. A row without an injection (nothing was
// injected) has no place on the map: the legend counts it and a note says how many are not drawn.
//
// The x axis is the campaign line's window; a CSV without one (an older campaign's) spans its rows' times.
//
// Refusals (exit status EXIT_USAGE; nothing is written): a file that is not a campaign CSV (the reader's
// message names the file and line) or whose campaign line cannot be read. An output that cannot be written
// is EXIT_OUTPUT.
#pragma once

#include "cli/campaign_csv.h"

#include <cstdio>
#include <string>

struct MapOptions {
    std::string csv;
    std::string out; // "" = beside the CSV, as default_map_path names it
};

/// The map's file beside a campaign's CSV: its name with ".map.svg" for its extension
/// ("runs/a.csv" -> "runs/a.map.svg").
std::string default_map_path(const std::string& csv_path);

/// The map of the rows of `csv` as SVG text, titled `title`; false with a reason when its campaign line
/// cannot be read.
bool fault_map_svg(const CampaignCsv& csv, const std::string& title, std::string* svg, std::string* why);

/// Text with the characters XML gives a meaning (& < > ") written as entities, for SVG text and attributes.
std::string xml_text(const std::string& text);

/// Reads options.csv and writes its map to options.out (or beside the CSV), replacing the file, and names it
/// in `report`. Returns an exit status of cli/exit_status.h, with a message on stderr when it is not
/// EXIT_DONE.
int map_campaign(const MapOptions& options, std::FILE* report);
