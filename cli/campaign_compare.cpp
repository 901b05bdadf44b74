#include "cli/campaign_compare.h"

#include "cli/campaign_csv.h"
#include "cli/exit_status.h"

#include <array>
#include <cmath>

namespace {

struct ClassCounts {
    std::array<unsigned, OUTCOMES> counts{};
    unsigned n = 0;
};

/// Reads a sampled campaign's classes from `path`; false with a reason when it cannot be compared.
bool read_classes(const std::string& path, ClassCounts* classes, std::string* why) {
    CampaignCsv csv;
    if (!read_campaign_csv(path, &csv, why)) {
        return false;
    }
    if (csv.head.parameters.empty()) {
        *why = path + ": names no campaign (no campaign line)";
        return false;
    }
    CampaignOptions campaign;
    if (!parse_campaign_parameters(csv.head.parameters, &campaign, why)) {
        *why = path + ": " + *why;
        return false;
    }
    if (campaign.exhaustive) {
        *why = path + ": an exhaustive scan: its shares are exact, compare its summary instead";
        return false;
    }
    for (const auto& [experiment, row] : csv.rows) {
        unsigned o = 0;
        if (outcome_by_name(campaign_csv_cells(row)[CAMPAIGN_CSV_CLASS_COLUMN], &o)) {
            classes->counts[o] += 1;
            classes->n += 1;
        }
    }
    if (classes->n == 0) {
        *why = path + ": holds no experiment";
        return false;
    }
    return true;
}

} // namespace

Wilson difference_interval(unsigned x1, unsigned n1, unsigned x2, unsigned n2) {
    if (n1 == 0 || n2 == 0) {
        return {0.0, 0.0};
    }
    const double p1 = static_cast<double>(x1) / n1;
    const double p2 = static_cast<double>(x2) / n2;
    const Wilson w1 = wilson_interval(x1, n1);
    const Wilson w2 = wilson_interval(x2, n2);
    const double d = p1 - p2;
    return {d - std::hypot(p1 - w1.low, w2.high - p2), d + std::hypot(w1.high - p1, p2 - w2.low)};
}

int compare_campaigns(const CompareOptions& options, std::FILE* report) {
    ClassCounts a;
    ClassCounts b;
    std::string why;
    if (!read_classes(options.a, &a, &why) || !read_classes(options.b, &b, &why)) {
        std::fprintf(stderr, "pelorin-sim: %s\n", why.c_str());
        return EXIT_USAGE;
    }
    std::fprintf(report, "A: %s (%u experiments)\nB: %s (%u experiments)\n\n", options.a.c_str(), a.n,
                 options.b.c_str(), b.n);
    std::fprintf(report, "%-20s %9s %9s %11s   %s\n", "class", "A", "B", "A - B", "95% confidence interval");
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        const double pa = 100.0 * a.counts[o] / a.n;
        const double pb = 100.0 * b.counts[o] / b.n;
        const Wilson d = difference_interval(a.counts[o], a.n, b.counts[o], b.n);
        std::fprintf(report, "%-20s %8.2f%% %8.2f%% %+10.2f%%   %+7.2f%% - %+7.2f%%\n", OUTCOME_NAMES[o], pa,
                     pb, pa - pb, 100.0 * d.low, 100.0 * d.high);
    }
    return EXIT_DONE;
}
