#include "cli/campaign_merge.h"

#include "cli/campaign_csv.h"
#include "cli/campaign_report.h"
#include "cli/exit_status.h"

#include <map>

namespace {

constexpr const char* PROGRAM = "pelorin-sim campaign merge";
/// How many missing experiments a refusal names before it only counts them.
constexpr unsigned MISSING_NAMED = 10;

int fail(int status, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, why.c_str());
    return status;
}

/// The experiments of 0 .. runs - 1 that `rows` lacks: the first MISSING_NAMED of them and how many in all,
/// as a refusal says it; "" when none is missing.
std::string missing_experiments(const std::map<uint32_t, std::string>& rows, uint32_t runs) {
    const size_t missing = runs - rows.size(); // every row's experiment is below runs
    if (missing == 0) {
        return "";
    }
    std::string named;
    unsigned count = 0;
    for (uint32_t k = 0; k < runs && count < MISSING_NAMED; ++k) {
        if (rows.find(k) == rows.end()) {
            named += (count++ == 0 ? "" : ", ") + std::to_string(k);
        }
    }
    return "missing experiments " + named + (missing > count ? ", ..." : "") + " (" +
           std::to_string(missing) + " of " + std::to_string(runs) +
           "): no file holds them; run their shards again with --resume";
}

} // namespace

int merge_campaign(const MergeOptions& options, std::FILE* report) {
    if (options.shards.empty()) {
        return fail(EXIT_USAGE, "no shard CSV given");
    }
    std::string why;
    std::string parameters;
    std::string fault_space; // an exhaustive scan's, the same in every shard
    std::map<uint32_t, std::string> rows;
    std::map<uint32_t, const std::string*> source; // the file each experiment came from
    for (const std::string& path : options.shards) {
        CampaignCsv csv;
        if (!read_campaign_csv(path, &csv, &why)) {
            return fail(EXIT_USAGE, why);
        }
        if (csv.unfinished_line != 0) {
            return fail(EXIT_USAGE, path + ":" + std::to_string(csv.unfinished_line) +
                                        ": the last row is unfinished (no line end): the run that wrote it "
                                        "did not finish; run its shard again with --resume");
        }
        if (csv.head.parameters.empty()) {
            return fail(EXIT_USAGE, path + ": names no campaign (no line '# pelorin-sim campaign: ...')");
        }
        const std::string& first = options.shards.front();
        if (&path == &first) {
            parameters = csv.head.parameters;
            fault_space = csv.head.fault_space;
        } else if (csv.head.parameters != parameters) {
            const auto [there, here] = parameters_difference(csv.head.parameters, parameters);
            return fail(EXIT_USAGE, path + ": rows of another campaign than " + first + " (" + there +
                                        " there, " + here + " in " + first + ")");
        } else if (csv.head.fault_space != fault_space) {
            return fail(EXIT_USAGE, path + ": its fault space line differs from " + first +
                                        "'s: the shards were not scanned on one model");
        }
        for (const auto& [k, row] : csv.rows) {
            const auto [earlier, first_time] = source.emplace(k, &path);
            if (!first_time) {
                return fail(EXIT_USAGE, "experiment " + std::to_string(k) + " is in both " +
                                            *earlier->second + " and " + path);
            }
            rows.emplace(k, row);
        }
    }
    CampaignOptions campaign;
    if (!parse_campaign_parameters(parameters, &campaign, &why)) {
        return fail(EXIT_USAGE, options.shards.front() + ": " + why);
    }
    const std::string missing = missing_experiments(rows, campaign.runs);
    if (!missing.empty()) {
        return fail(EXIT_USAGE, missing);
    }
    campaign.out = options.out;
    campaign.svg = options.svg;
    campaign.upset_rate = options.upset_rate;
    if (!write_campaign_outputs(campaign, CampaignCsvHead{parameters, fault_space, 0, 1}, rows, report,
                                &why)) {
        return fail(EXIT_OUTPUT, why);
    }
    return EXIT_DONE;
}
