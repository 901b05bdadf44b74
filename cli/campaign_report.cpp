#include "cli/campaign_report.h"

#include "cli/campaign_csv.h"
#include "cli/campaign_exhaustive.h"
#include "cli/campaign_experiments.h"
#include "cli/campaign_fault.h"
#include "host/injection_log.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <sstream>
#include <utility>
#include <vector>

namespace {

constexpr double Z_95 = 1.959963984540054;

std::string svg_chart(const std::vector<ChartBar>& groups, const std::string& title, const char* unit) {
    constexpr int label_width = 230;
    constexpr int bar_width = 560;
    constexpr int row_height = 20;
    constexpr int top = 70;
    const int height = top + static_cast<int>(groups.size()) * row_height + 20;
    std::ostringstream svg;
    svg << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"900\" height=\"" << height
        << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    svg << "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    svg << "<text x=\"10\" y=\"22\" font-size=\"15\" font-weight=\"bold\">" << title << "</text>\n";
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        const int x = 10 + static_cast<int>(o) * 170;
        svg << "<rect x=\"" << x << "\" y=\"36\" width=\"14\" height=\"14\" fill=\"" << OUTCOME_COLOURS[o]
            << "\"/><text x=\"" << x + 20 << "\" y=\"48\">" << OUTCOME_NAMES[o] << "</text>\n";
    }
    int y = top;
    for (const auto& [name, counts, note] : groups) {
        double total = 0;
        for (double c : counts) {
            total += c;
        }
        svg << "<text x=\"" << label_width - 8 << "\" y=\"" << y + 14 << "\" text-anchor=\"end\">" << name
            << "</text>\n";
        double x = label_width;
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            if (counts[o] == 0 || total == 0) {
                continue;
            }
            const double w = bar_width * counts[o] / total;
            svg << "<rect x=\"" << x << "\" y=\"" << y + 2 << "\" width=\"" << w << "\" height=\""
                << row_height - 4 << "\" fill=\"" << OUTCOME_COLOURS[o] << "\"><title>" << name << ": "
                << counts[o] << unit << " " << OUTCOME_NAMES[o] << "</title></rect>\n";
            x += w;
        }
        svg << "<text x=\"" << label_width + bar_width + 8 << "\" y=\"" << y + 14 << "\">" << note
            << "</text>\n";
        y += row_height;
    }
    svg << "</svg>\n";
    return svg.str();
}

/// The fault space of a sampled campaign's single faults (bits x window) and each class's part of it: the
/// share times the space, with the share's interval, so that targets, nodes and configurations of different
/// sizes compare by what they would show under the same upsets. With an upset rate, the same as faults of
/// each class per hour: rate x bits x share (the window standing for the run's time).
void print_absolute_figures(const CampaignOptions& options, const std::array<unsigned, OUTCOMES>& totals,
                            unsigned n, std::FILE* report) {
    const double bits = sampled_fault_bits(options.target);
    const double window_us = options.window_to_us - options.window_from_us;
    const double space = bits * window_us;
    std::fprintf(report, "\n%-20s %.6g bit-us (%.0f mask bits x %.6g us of window)\n", "fault space", space,
                 bits, window_us);
    const double per_hour = options.upset_rate * bits;
    if (options.upset_rate > 0) {
        std::fprintf(report, "%-20s %.6g per hour (%.6g upsets per bit and hour)\n", "upsets", per_hour,
                     options.upset_rate);
    }
    std::fprintf(report, "%-20s %12s   %-27s", "class", "bit-us", "95% confidence interval");
    if (options.upset_rate > 0) {
        std::fprintf(report, " %12s   %s", "per hour", "95% confidence interval");
    }
    std::fprintf(report, "\n");
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        const Wilson ci = wilson_interval(totals[o], n);
        const double share = n > 0 ? static_cast<double>(totals[o]) / n : 0.0;
        std::fprintf(report, "%-20s %12.6g   %12.6g - %12.6g", OUTCOME_NAMES[o], share * space,
                     ci.low * space, ci.high * space);
        if (options.upset_rate > 0) {
            std::fprintf(report, " %12.6g   %12.6g - %12.6g", share * per_hour, ci.low * per_hour,
                         ci.high * per_hour);
        }
        std::fprintf(report, "\n");
    }
}

/// The 95% interval of the share x / n as a table shows it; "exact" for a scan, whose experiments are every
/// fault of its space.
std::string interval_text(unsigned x, unsigned n, bool exact) {
    if (exact) {
        return "exact";
    }
    const Wilson ci = wilson_interval(x, n);
    char text[48];
    std::snprintf(text, sizeof text, "%6.2f%% - %6.2f%%", 100.0 * ci.low, 100.0 * ci.high);
    return text;
}

/// Each field's classes with their shares of the field's experiments and the shares' intervals (the classes
/// a field produced; one it never produced is below the interval's upper bound for the field's n).
void print_field_intervals(const char* grouped_by, const std::vector<std::string>& field_order,
                           std::map<std::string, std::array<unsigned, OUTCOMES>>& by_field, bool exact,
                           std::FILE* report) {
    std::fprintf(report, "\n%-32s %-20s %7s %7s %8s   %s\n", grouped_by, "class", "count", "of", "percent",
                 "95% confidence interval");
    for (const std::string& group : field_order) {
        unsigned n = 0;
        for (unsigned count : by_field[group]) {
            n += count;
        }
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            const unsigned x = by_field[group][o];
            if (x == 0) {
                continue;
            }
            std::fprintf(report, "%-32s %-20s %7u %7u %7.2f%%   %s\n", group.c_str(), OUTCOME_NAMES[o], x, n,
                         100.0 * x / n, interval_text(x, n, exact).c_str());
        }
    }
}

/// One line of a table of shares: what is counted, its count of n, the percentage and its 95% interval.
void print_share(const char* what, unsigned x, unsigned n, bool exact, std::FILE* report) {
    std::fprintf(report, "%-32s %7u %7.2f%%   %s\n", what, x, n > 0 ? 100.0 * x / n : 0.0,
                 interval_text(x, n, exact).c_str());
}

/// The containment of a campaign with a fault of its own: the shares of its experiments in which any node,
/// and each node, left membership or APPLICATION, the error spread beyond the nodes the fault strikes, the
/// majority was lost and cliques formed.
void print_containment(const std::map<uint32_t, std::string>& rows, bool exact, std::FILE* report) {
    std::array<unsigned, NODE_COUNT> left_by_node{};
    unsigned any_left = 0;
    unsigned spread = 0;
    unsigned majority_lost = 0;
    unsigned cliques = 0;
    for (const auto& [experiment, row] : rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        NodeSet left = 0;
        if (!cells[DESCRIBED_CSV_LEFT_COLUMN].empty() &&
            parse_node_set(cells[DESCRIBED_CSV_LEFT_COLUMN], &left)) {
            any_left += 1;
        }
        for (unsigned n = 0; n < NODE_COUNT; ++n) {
            left_by_node[n] += (left >> n) & 1u;
        }
        spread += cells[DESCRIBED_CSV_SPREAD_COLUMN] == "yes" ? 1 : 0;
        majority_lost += cells[DESCRIBED_CSV_MAJORITY_COLUMN] == "yes" ? 1 : 0;
        cliques += cells[DESCRIBED_CSV_CLIQUES_COLUMN] == "yes" ? 1 : 0;
    }
    const auto n = static_cast<unsigned>(rows.size());
    std::fprintf(report, "\n%-32s %7s %8s   %s\n", "containment", "count", "percent",
                 "95% confidence interval");
    print_share("a node left or froze", any_left, n, exact, report);
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        const std::string what = std::string(CLUSTER_NODES[node].name) + " left or froze";
        print_share(what.c_str(), left_by_node[node], n, exact, report);
    }
    print_share("spread beyond the fault's nodes", spread, n, exact, report);
    print_share("majority lost", majority_lost, n, exact, report);
    print_share("cliques", cliques, n, exact, report);
}

} // namespace

std::string field_group(const std::string& field) {
    std::string group;
    bool in_index = false;
    for (char ch : field) {
        if (ch == '[') {
            in_index = true;
        } else if (ch == ']') {
            in_index = false;
        } else if (!in_index) {
            group += ch;
        }
    }
    return group;
}

Wilson wilson_interval(unsigned x, unsigned n) {
    if (n == 0) {
        return {0.0, 0.0};
    }
    const double p = static_cast<double>(x) / n;
    const double z2 = Z_95 * Z_95;
    const double centre = (p + z2 / (2.0 * n)) / (1.0 + z2 / n);
    const double half = Z_95 * std::sqrt(p * (1.0 - p) / n + z2 / (4.0 * n * n)) / (1.0 + z2 / n);
    // The bounds are exact at the ends, where rounding would leave them a hair inside.
    return {x == 0 ? 0.0 : std::max(0.0, centre - half), x == n ? 1.0 : std::min(1.0, centre + half)};
}

bool write_campaign_report(const CampaignOptions& options, const std::map<uint32_t, std::string>& rows,
                           std::FILE* report, std::string* why) {
    std::array<unsigned, OUTCOMES> totals{};
    std::map<std::string, std::array<unsigned, OUTCOMES>> by_field;
    std::vector<std::string> field_order;
    for (const auto& [experiment, row] : rows) {
        std::vector<std::string> cells = campaign_csv_cells(row);
        unsigned o = 0;
        if (!outcome_by_name(cells[CAMPAIGN_CSV_CLASS_COLUMN], &o)) {
            continue;
        }
        totals[o] += 1;
        std::string group = !described_rows(options) ? field_group(cells[CAMPAIGN_CSV_FIELD_COLUMN])
                                                     : fault_group(cells[DESCRIBED_CSV_FAULT_COLUMN]);
        if (by_field.find(group) == by_field.end()) {
            field_order.push_back(group);
        }
        by_field[group][o] += 1;
    }
    const unsigned n = static_cast<unsigned>(rows.size());
    // A scan of the frames (the one scan reported here) runs every fault of its space once.
    const bool exact = options.exhaustive && options.space == FaultSpace::FRAMES;
    if (exact) {
        std::fprintf(
            report,
            "%u experiments: every frame delivered in %s:%s us, corrupted or lost on A, B or both, at "
            "every set of its receivers (the shares are exact)\n\n",
            n, exact_number(options.window_from_us).c_str(), exact_number(options.window_to_us).c_str());
    } else if (options.fault.empty()) {
        std::fprintf(report, "%u experiments (%s of %s, %s)\n\n", n, fault_target_name(options.target),
                     CLUSTER_NODES[options.node].name, fault_effect_name(options.effect));
    } else {
        std::fprintf(report, "%u experiments (%s)\n\n", n, options.fault.c_str());
    }
    std::fprintf(report, "%-20s %7s %8s   %s\n", "class", "count", "percent", "95% confidence interval");
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        std::fprintf(report, "%-20s %7u %7.2f%%   %s\n", OUTCOME_NAMES[o], totals[o],
                     n > 0 ? 100.0 * totals[o] / n : 0.0, interval_text(totals[o], n, exact).c_str());
    }
    if (described_rows(options)) {
        print_containment(rows, exact, report);
    }
    // Several faults an experiment are no point of the space, nor is a fault of the campaign's own.
    if (options.injections == 1 && !described_rows(options)) {
        print_absolute_figures(options, totals, n, report);
    }
    const char* grouped_by = described_rows(options) ? "fault" : "field";
    std::fprintf(report, "\n%-32s", grouped_by);
    for (const char* name : OUTCOME_NAMES) {
        std::fprintf(report, " %10.10s", name);
    }
    std::fprintf(report, "\n");
    std::vector<ChartBar> groups;
    for (const std::string& group : field_order) {
        std::fprintf(report, "%-32s", group.c_str());
        unsigned total = 0;
        ChartBar bar{group, {}, ""};
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            std::fprintf(report, " %10u", by_field[group][o]);
            bar.amounts[o] = by_field[group][o];
            total += by_field[group][o];
        }
        std::fprintf(report, "\n");
        bar.note = "n = " + std::to_string(total);
        groups.push_back(bar);
    }
    print_field_intervals(grouped_by, field_order, by_field, exact, report);
    char title[160];
    if (exact) {
        std::snprintf(title, sizeof title,
                      "Outcome of every single-frame fault of the channels (%u), by place", n);
    } else if (options.fault.empty()) {
        std::snprintf(title, sizeof title, "Outcome of %u single-bit %s faults in %s's %s, by field", n,
                      fault_effect_name(options.effect), CLUSTER_NODES[options.node].name,
                      fault_target_name(options.target));
    } else {
        const std::string kind = options.fault.substr(0, options.fault.find(' '));
        std::snprintf(title, sizeof title, "Outcome of %u %s faults, by place", n, kind.c_str());
    }
    return write_class_chart(options, groups, title, "", report, why);
}

bool write_class_chart(const CampaignOptions& options, const std::vector<ChartBar>& bars,
                       const std::string& title, const char* unit, std::FILE* report, std::string* why) {
    std::string svg_path = options.svg;
    if (svg_path.empty()) {
        const size_t dot = options.out.rfind('.');
        svg_path = (dot == std::string::npos ? options.out : options.out.substr(0, dot)) + ".svg";
    }
    if (!write_file_atomically(svg_path, svg_chart(bars, title, unit), why)) {
        return false;
    }
    std::fprintf(report, "\nchart: %s\n", svg_path.c_str());
    return true;
}

bool write_campaign_outputs(const CampaignOptions& options, const CampaignCsvHead& head,
                            const std::map<uint32_t, std::string>& rows, std::FILE* report,
                            std::string* why) {
    return write_file_atomically(options.out, campaign_csv_text(head, rows), why) &&
           (options.exhaustive && options.space == FaultSpace::BITS
                ? write_exhaustive_report(options, head.fault_space, rows, report, why)
                : write_campaign_report(options, rows, report, why));
}
