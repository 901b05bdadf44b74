// The campaign's report: the summary tables (counts, percentages and 95% Wilson confidence intervals per
// class; classes per field of the target) and the chart of the classes per field (SVG), from the rows of the
// whole campaign.
#pragma once

#include "cli/campaign.h"
#include "cli/campaign_csv.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

/// The colour of each class, indexed by Outcome, in every chart and map of a campaign.
inline constexpr const char* OUTCOME_COLOURS[OUTCOMES] = {"#9e9e9e", "#4caf50", "#2196f3", "#ff9800",
                                                          "#f44336"};

/// A 95% confidence interval of a proportion x / n (Wilson score interval); 0 - 0 for n = 0.
struct Wilson {
    double low;
    double high;
};
Wilson wilson_interval(unsigned x, unsigned n);

/// A field's name without its indices ("membership[3]" -> "membership"): how the report groups fields.
std::string field_group(const std::string& field);

/// One bar of the chart of classes per field: the field, its amount of each class (experiments, or a share
/// of the fault space) and the text beside the bar.
struct ChartBar {
    std::string name;
    std::array<double, static_cast<unsigned>(Outcome::COUNT)> amounts;
    std::string note;
};
/// Writes the chart (options.svg, or options.out with ".svg"), replacing the file, and names it in `report`;
/// each part of a bar shows its amount followed by `unit`. False with a reason when it cannot be written.
bool write_class_chart(const CampaignOptions& options, const std::vector<ChartBar>& bars,
                       const std::string& title, const char* unit, std::FILE* report, std::string* why);

/// Prints the tables to `report` and writes the chart (options.svg, or options.out with ".svg"), replacing
/// the file; false with a reason when the chart cannot be written.
bool write_campaign_report(const CampaignOptions& options, const std::map<uint32_t, std::string>& rows,
                           std::FILE* report, std::string* why);
/// Everything a campaign leaves when its rows are complete, the same whether one run or a merge of shards
/// wrote them: the CSV (options.out, replaced through a temporary file) with `head` above the rows, then the
/// report of a sampled campaign or of an exhaustive scan. False with a reason when an output cannot be
/// written.
bool write_campaign_outputs(const CampaignOptions& options, const CampaignCsvHead& head,
                            const std::map<uint32_t, std::string>& rows, std::FILE* report, std::string* why);
