// The campaign's report: the summary tables (counts, percentages and 95% Wilson confidence intervals per
// class; classes per field of the target) and the chart of the classes per field (SVG), from the rows of the
// whole campaign.
#pragma once

#include "cli/campaign.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

/// Prints the tables to `report` and writes the chart (options.svg, or options.out with ".svg"), replacing
/// the file; false with a reason when the chart cannot be written.
bool write_campaign_report(const CampaignOptions& options, const std::map<uint32_t, std::string>& rows,
                           std::FILE* report, std::string* why);
