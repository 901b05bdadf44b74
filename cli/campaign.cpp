#include "cli/campaign.h"

#include "cli/campaign_csv.h"
#include "cli/campaign_experiments.h"
#include "cli/campaign_report.h"
#include "cli/exit_status.h"
#include "cli/runner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

namespace {

constexpr const char* PROGRAM = "pelorin-sim campaign";

int fail(int status, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, why.c_str());
    return status;
}

/// The CSV that receives the rows as they finish: appended to when resuming; else a new file with the header
/// alone, renamed over an earlier campaign's. Null with a reason when it cannot be written.
std::FILE* open_rows_file(const CampaignOptions& options, std::string* why) {
    if (!options.resume &&
        !write_file_atomically(options.out, std::string(CAMPAIGN_CSV_HEADER) + "\n", why)) {
        return nullptr;
    }
    std::FILE* out = std::fopen(options.out.c_str(), "a");
    if (out == nullptr) {
        *why = options.out + ": cannot be written (" + std::strerror(errno) + ")";
        return nullptr;
    }
    std::fseek(out, 0, SEEK_END);
    if (std::ftell(out) == 0) {
        std::fprintf(out, "%s\n", CAMPAIGN_CSV_HEADER);
    } else if (options.resume) {
        std::fprintf(out, "\n"); // ends a row an interruption may have cut short
    }
    std::fflush(out);
    return out;
}

} // namespace

int run_campaign(const CampaignOptions& options, std::FILE* report) {
    if (!(options.window_from_us >= 0 && options.window_from_us < options.window_to_us)) {
        return fail(EXIT_USAGE, "--window-us must be FROM:TO with 0 <= FROM < TO");
    }
    if (!(options.window_to_us <= options.horizon_us)) {
        char text[120];
        std::snprintf(text, sizeof text, "the window must end before the horizon (%.0f us)",
                      options.horizon_us);
        return fail(EXIT_USAGE, text);
    }
    if (options.shard_index >= options.shard_count) {
        return fail(EXIT_USAGE, "--shard must be I/N with 0 <= I < N");
    }
    // Every input is checked before the first output is touched.
    ClusterConfig config;
    if (!load_configuration(options.directory, options.overrides, &config, PROGRAM)) {
        return EXIT_ASSEMBLY;
    }
    std::string why;
    std::map<uint32_t, std::string> rows;
    if (options.resume && !read_campaign_rows(options.out, &rows, &why)) {
        return fail(EXIT_USAGE, why);
    }
    std::vector<uint32_t> ids;
    for (uint32_t k = options.shard_index; k < options.runs; k += options.shard_count) {
        if (rows.find(k) == rows.end()) {
            ids.push_back(k);
        }
    }
    std::FILE* out = open_rows_file(options, &why);
    if (out == nullptr) {
        return fail(EXIT_OUTPUT, why);
    }
    bool output_ok = true;
    const RowSink emit = [&](uint32_t k, const std::string& row) {
        rows[k] = row;
        output_ok = output_ok && std::fprintf(out, "%s\n", row.c_str()) > 0 && std::fflush(out) == 0;
    };
    const bool ran = run_experiments(config, options, ids, emit, &why);
    const bool closed = std::fclose(out) == 0;
    if (!ran) {
        return fail(EXIT_WORKER, why);
    }
    if (!output_ok || !closed) {
        return fail(EXIT_OUTPUT, options.out + ": writing the rows failed");
    }
    std::string content = std::string(CAMPAIGN_CSV_HEADER) + "\n";
    for (const auto& [k, row] : rows) {
        content += row + "\n";
    }
    if (!write_file_atomically(options.out, content, &why) ||
        !write_campaign_report(options, rows, report, &why)) {
        return fail(EXIT_OUTPUT, why);
    }
    return EXIT_DONE;
}
