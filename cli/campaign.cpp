#include "cli/campaign.h"

#include "cli/campaign_csv.h"
#include "cli/campaign_exhaustive.h"
#include "cli/campaign_experiments.h"
#include "cli/campaign_fault.h"
#include "cli/campaign_frames.h"
#include "cli/campaign_observe.h"
#include "cli/campaign_report.h"
#include "cli/exit_status.h"
#include "cli/runner.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

namespace {

constexpr const char* PROGRAM = "pelorin-sim campaign";

int fail(int status, const std::string& why) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, why.c_str());
    return status;
}

/// The rows an earlier, possibly interrupted run of this campaign left in `path`: none when there is no
/// file yet or it is empty. An unfinished last row is left out, to be run again. False with a reason when
/// the file is not a campaign CSV or holds another campaign's rows (its parameters differ from `parameters`).
bool resumed_rows(const std::string& path, const std::string& parameters,
                  std::map<uint32_t, std::string>* rows, std::string* why) {
    std::error_code error;
    if (!std::filesystem::exists(path, error) ||
        (std::filesystem::is_regular_file(path, error) && std::filesystem::file_size(path, error) == 0)) {
        return true;
    }
    CampaignCsv csv;
    if (!read_campaign_csv(path, &csv, why)) {
        return false;
    }
    if (csv.head.parameters.empty()) {
        *why = path + ": names no campaign (no line '# pelorin-sim campaign: ...'), so its rows cannot be " +
               "told to be this campaign's; write to another --out";
        return false;
    }
    if (csv.head.parameters != parameters) {
        const auto [there, here] = parameters_difference(csv.head.parameters, parameters);
        *why = path + ": rows of another campaign (" + there + " there, " + here +
               " here); resume with the same parameters or write to another --out";
        return false;
    }
    *rows = std::move(csv.rows);
    return true;
}

/// The CSV that receives the rows as they finish: the head and the rows kept from an earlier run (without
/// a row an interruption cut short), renamed over the old file, then opened for appending. Null with a
/// reason when it cannot be written.
std::FILE* open_rows_file(const std::string& path, const CampaignCsvHead& head,
                          const std::map<uint32_t, std::string>& rows, std::string* why) {
    if (!write_file_atomically(path, campaign_csv_text(head, rows), why)) {
        return nullptr;
    }
    std::FILE* out = std::fopen(path.c_str(), "a");
    if (out == nullptr) {
        *why = path + ": cannot be written (" + std::strerror(errno) + ")";
    }
    return out;
}

/// The last line of a campaign's summary: how long this run took per experiment it ran, to size shards by.
void print_wall_time(const CampaignOptions& options, size_t experiments, double seconds, std::FILE* report) {
    std::fprintf(report, "wall time: %zu experiments in %.1f s", experiments, seconds);
    if (experiments > 0) {
        std::fprintf(report, ", %.3g s each", seconds / static_cast<double>(experiments));
    }
    std::fprintf(report, " (shard %u/%u, %u job%s)\n", options.shard_index, options.shard_count, options.jobs,
                 options.jobs == 1 ? "" : "s");
}

} // namespace

bool experiment_with(const CampaignOptions& options, double time_us, uint32_t word, uint32_t bit,
                     ExperimentResult* result, std::string* why) {
    ExperimentPlan plan;
    PlannedFault fault;
    fault.time_us = time_us;
    fault.word = word;
    fault.bit = bit;
    plan.faults.push_back(fault);
    return run_single_experiment(options, plan, result, why);
}

int run_campaign(const CampaignOptions& given, std::FILE* report) {
    const auto started = std::chrono::steady_clock::now();
    if (!(given.window_from_us >= 0 && given.window_from_us < given.window_to_us)) {
        return fail(EXIT_USAGE, "--window-us must be FROM:TO with 0 <= FROM < TO");
    }
    if (!(given.window_to_us <= given.horizon_us)) {
        char text[120];
        std::snprintf(text, sizeof text, "the window must end before the horizon (%.0f us)",
                      given.horizon_us);
        return fail(EXIT_USAGE, text);
    }
    if (given.shard_index >= given.shard_count) {
        return fail(EXIT_USAGE, "--shard must be I/N with 0 <= I < N");
    }
    if (given.exhaustive && given.injections != 1) {
        return fail(EXIT_USAGE, "--exhaustive injects one fault per experiment: --injections must be 1");
    }
    const bool frames = given.space == FaultSpace::FRAMES;
    if (frames && (!given.exhaustive || !given.fault.empty())) {
        return fail(EXIT_USAGE, "--space frames is a space of --exhaustive, with faults of its own: it takes "
                                "--exhaustive and no --fault");
    }
    std::vector<FaultTemplate> faults;
    if (!given.fault.empty()) {
        if (given.exhaustive || given.injections != 1) {
            return fail(EXIT_USAGE, "--fault draws one fault per experiment: it takes neither --exhaustive "
                                    "nor --injections other than 1");
        }
        std::string why;
        if (!parse_fault_templates(given.fault, given.window_from_us, given.window_to_us, given.horizon_us,
                                   &faults, &why)) {
            return fail(EXIT_USAGE, why);
        }
    }
    // Every input is checked before the first output is touched.
    ClusterConfig config;
    if (!load_configuration(given.directory, given.overrides, &config, PROGRAM)) {
        return EXIT_ASSEMBLY;
    }
    const uint64_t configuration = cluster_config_hash(config);
    CampaignOptions options =
        given; // an exhaustive scan learns its number of experiments from the golden run
    std::string why;
    CampaignExperiments* experiments =
        start_experiments(std::move(config), options, options.exhaustive && !frames, &why);
    if (experiments == nullptr) {
        return fail(EXIT_WORKER, why);
    }
    if (!golden_run_whole(golden_record(experiments).record, &why)) {
        finish_experiments(experiments);
        return fail(EXIT_GOLDEN, why);
    }
    FaultSpaceScan scan;
    std::vector<FrameSpaceFault> frame_space;
    CampaignCsvHead head{"", "", options.shard_index, options.shard_count};
    if (frames) {
        frame_space = frame_fault_space(golden_record(experiments), options);
        options.runs = static_cast<uint32_t>(frame_space.size());
    } else if (options.exhaustive) {
        scan = scan_fault_space(golden_record(experiments), options);
        options.runs = static_cast<uint32_t>(scan.experiments.size());
        head.fault_space = fault_space_words(scan, options);
    }
    options.fault = templates_text(faults); // as the campaign line records it, one blank between words
    head.parameters = campaign_parameters(options, configuration);
    std::map<uint32_t, std::string> rows;
    if (options.resume && !resumed_rows(options.out, head.parameters, &rows, &why)) {
        finish_experiments(experiments);
        return fail(EXIT_USAGE, why);
    }
    std::vector<ExperimentPlan> plans;
    // 64 bits: stepping by a shard count near 2^32 must not wrap back into the shard's range.
    for (uint64_t next = options.shard_index; next < options.runs; next += options.shard_count) {
        const auto k = static_cast<uint32_t>(next);
        if (rows.find(k) != rows.end()) {
            continue;
        }
        if (frames) {
            plans.push_back(frame_plan(frame_space, k));
        } else if (options.fault.empty()) {
            plans.push_back(options.exhaustive ? exhaustive_plan(scan, k) : sampled_plan(options, k));
        } else if (plans.emplace_back(); !described_plan(options, faults, k, &plans.back(), &why)) {
            finish_experiments(experiments);
            return fail(EXIT_USAGE, why);
        }
    }
    std::FILE* out = open_rows_file(options.out, head, rows, &why);
    if (out == nullptr) {
        finish_experiments(experiments);
        return fail(EXIT_OUTPUT, why);
    }
    bool output_ok = true;
    const RowSink emit = [&](uint32_t k, const std::string& row) {
        rows[k] = row;
        output_ok = output_ok && std::fprintf(out, "%s\n", row.c_str()) > 0 && std::fflush(out) == 0;
    };
    const RowFormat format = [&](const ExperimentPlan& plan, const ExperimentResult& result) {
        if (described_rows(options)) {
            std::vector<FaultSpec> planned;
            for (const PlannedFault& f : plan.faults) {
                planned.push_back(f.fault);
            }
            return described_csv_row(planned, result);
        }
        return options.exhaustive ? exhaustive_row(scan, plan, result) : campaign_csv_row(result);
    };
    const bool ran = plans.empty() || run_planned_experiments(experiments, plans, format, emit, &why);
    finish_experiments(experiments);
    const bool closed = std::fclose(out) == 0;
    if (!ran) {
        return fail(EXIT_WORKER, why);
    }
    if (!output_ok || !closed) {
        return fail(EXIT_OUTPUT, options.out + ": writing the rows failed");
    }
    if (!write_campaign_outputs(options, head, rows, report, &why)) {
        return fail(EXIT_OUTPUT, why);
    }
    print_wall_time(options, plans.size(),
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                    report);
    return EXIT_DONE;
}
