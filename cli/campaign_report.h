// The campaign's report: the summary tables (counts, percentages and 95% Wilson confidence intervals per
// class; classes per field of the target) and the chart of the classes per field (SVG), from the rows of the
// whole campaign.
#pragma once

#include "cli/campaign.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

/// A 95% confidence interval of a proportion x / n (Wilson score interval); 0 - 0 for n = 0.
struct Wilson {
    double low;
    double high;
};
Wilson wilson_interval(unsigned x, unsigned n);

/// A field's name without its indices ("membership[3]" -> "membership").
std::string field_group(const std::string& field);

/// Prints the tables to `report` and writes the chart (options.svg, or options.out with ".svg"), replacing
/// the file; false with a reason when the chart cannot be written.
bool write_campaign_report(const CampaignOptions& options, const std::map<uint32_t, std::string>& rows,
                           std::FILE* report, std::string* why);
