// pelorin-sim: runs the simulated cluster without a window, as fast as it goes, and prints a summary.
#include "cli/campaign.h"
#include "cli/exit_status.h"
#include "cli/runner.h"
#include "version/version.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <tuple>
#include <unistd.h>

namespace {

constexpr double PROGRESS_PERIOD_S = 0.5;
constexpr const char* PROGRAM = "pelorin-sim";

template <size_t N>
std::vector<std::string> choices(const char* const (&names)[N]) {
    return {std::begin(names), std::end(names)};
}

/// The options both a single run and a campaign take: the configuration directory, drift overrides (checked
/// when given) and the fault kind, parsed into the configuration's and the injector's terms.
void add_shared_options(CLI::App* app, std::string* directory, ConfigOverrides* overrides, uint8_t* effect,
                        uint32_t* target) {
    app->add_option("--dir", *directory, "directory with medl00.txt .. medl03.txt and clkdrift.txt");
    app->add_option("--drift", "relative clock drift of node M1, M2, O1 or O2 instead of clkdrift.txt's")
        ->type_name("NODE=VALUE")
        ->each([overrides](const std::string& text) {
            std::string why;
            if (!parse_drift_override(text, overrides, &why)) {
                throw CLI::ValidationError(why);
            }
        });
    app->add_option("--effect", "bit fault effect (default flip)")
        ->check(CLI::IsMember(choices(FAULT_EFFECT_NAMES)))
        ->each([effect](const std::string& name) { (void)fault_effect_by_name(name, effect); });
    app->add_option("--target", "fault target (default CNI)")
        ->check(CLI::IsMember(choices(FAULT_TARGET_NAMES), CLI::ignore_case))
        ->each([target](const std::string& name) { (void)fault_target_by_name(name, target); });
}

/// A progress line on a terminal, every PROGRESS_PERIOD_S of wall time.
std::function<bool(ClusterRun&)> progress_display(uint32_t goal, double until_us) {
    auto last = std::chrono::steady_clock::now();
    return [last, goal, until_us](ClusterRun& run) mutable {
        auto now = std::chrono::steady_clock::now();
        if (std::chrono::duration<double>(now - last).count() >= PROGRESS_PERIOD_S) {
            last = now;
            if (until_us >= 0) {
                std::fprintf(stderr, "\r%.0f / %.0f us", sim_time(), until_us);
            } else {
                std::fprintf(stderr, "\rcluster cycle %u / %u", run.cluster.apps[NODE_O2].os->cycle_count,
                             goal);
            }
        }
        return true;
    };
}

/// The exit status of each way a single run can end, in the order of RunEnd.
constexpr int END_STATUS[] = {EXIT_DONE,   EXIT_HORIZON, EXIT_STUCK,   EXIT_DONE,
                              EXIT_REPLAY, EXIT_OUTPUT,  EXIT_ASSEMBLY};
static_assert(std::size(END_STATUS) == static_cast<size_t>(RunEnd::ASSEMBLY_FAILED) + 1);

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"pelorin-sim: the TTP/C cluster simulator without a window"};
    app.footer(EXIT_STATUS_HELP);
    app.set_version_flag("--version", version_text("pelorin-sim"));
    RunOptions options;
    std::string trace_file = "debug.txt";
    bool no_trace = false;
    bool json = false;
    add_shared_options(&app, &options.directory, &options.overrides, &options.effect, &options.target);
    auto* cycles =
        app.add_option("--cycles", options.cycles, "stop after this many cluster cycles (O2's host)")
            ->default_val(1000)
            ->check(CLI::PositiveNumber);
    app.add_option("--until-us", options.until_us, "stop at this simulated time in microseconds instead")
        ->check(CLI::NonNegativeNumber)
        ->excludes(cycles);
    auto* trace_option = app.add_option("--trace", trace_file, "trace file, appended (default debug.txt)");
    app.add_flag("--no-trace", no_trace, "write no trace")->excludes(trace_option);
    // Up to one fault per microsecond: beyond that the injector alone would fill the run with events.
    app.add_option("--inject-rate", options.inject_rate, "faults per second (0 to 1000000)")
        ->check(CLI::Range(0.0, 1.0e6));
    app.add_option("--inject-from-us", options.inject_from_us, "start of periodic injection")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--inject-until-us", options.inject_until_us, "end of periodic injection")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--seed", options.seed, "seed of the fault injector's random stream")->default_val(111);
    app.add_flag("--json", json, "print the summary as one JSON object");
    std::string replay_file;
    app.add_option("--injection-log", options.injection_log, "append every injection to this CSV file");
    app.add_option("--slot-events", options.slot_events,
                   "write what each node did in each TDMA slot to this CSV file");
    app.add_option("--replay", replay_file, "apply the injections of a log instead of drawing them")
        ->excludes("--inject-rate");
    CampaignOptions campaign;
    std::pair<double, double> window{campaign.window_from_us, campaign.window_to_us};
    std::pair<uint32_t, uint32_t> shard{campaign.shard_index, campaign.shard_count};
    CLI::App* campaign_command = app.add_subcommand(
        "campaign", "run many single-fault experiments and compare each with the golden run");
    campaign_command->footer(EXIT_STATUS_HELP);
    add_shared_options(campaign_command, &campaign.directory, &campaign.overrides, &campaign.effect,
                       &campaign.target);
    campaign_command->add_option("--runs", campaign.runs, "number of experiments")->default_val(100);
    campaign_command->add_option("--jobs", campaign.jobs, "parallel worker processes")
        ->default_val(1)
        ->check(CLI::Range(1, 64));
    campaign_command->add_option("--seed", campaign.seed, "campaign seed")->default_val(1);
    campaign_command->add_option("--injections", campaign.injections, "injections per experiment")
        ->default_val(1)
        ->check(CLI::Range(1, 1000));
    campaign_command->add_option("--window-us", window, "injection window FROM:TO (microseconds)")
        ->delimiter(':');
    campaign_command->add_option("--horizon-us", campaign.horizon_us, "end of every run (microseconds)")
        ->check(CLI::PositiveNumber);
    campaign_command->add_option("--out", campaign.out, "CSV file, one row per experiment");
    campaign_command->add_option("--svg", campaign.svg,
                                 "chart of the classes per field (default: beside --out)");
    campaign_command->add_flag("--resume", campaign.resume, "skip the experiments already in the CSV");
    campaign_command->add_option("--shard", shard, "run only experiments I, I+N, ... (I/N)")->delimiter('/');
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? EXIT_DONE : EXIT_USAGE;
    }
    if (*campaign_command) {
        std::tie(campaign.window_from_us, campaign.window_to_us) = window;
        std::tie(campaign.shard_index, campaign.shard_count) = shard;
        campaign.directory = find_configuration_directory(campaign.directory.c_str(), argv[0]);
        return run_campaign(campaign, stdout);
    }
    options.directory = find_configuration_directory(options.directory.c_str(), argv[0]);
    if (options.inject_until_us >= 0 && options.inject_until_us < options.inject_from_us) {
        std::cerr << "pelorin-sim: --inject-until-us must not be before --inject-from-us\n";
        return EXIT_USAGE;
    }
    if (!replay_file.empty()) {
        std::string why;
        if (!read_injection_csv(replay_file, &options.replay, &why)) {
            std::cerr << "pelorin-sim: " << why << "\n";
            return EXIT_USAGE;
        }
    }
    ClusterConfig config;
    if (!load_configuration(options.directory, options.overrides, &config, PROGRAM)) {
        return EXIT_ASSEMBLY;
    }
    options.trace = !no_trace;
    options.trace_file = trace_file;
    options.hooks.on_kernel_error = [](uint8_t code, const char* message) {
        std::cerr << "pelorin-sim: kernel error " << static_cast<int>(code) << ": " << message << "\n";
    };
    const bool on_terminal = isatty(STDERR_FILENO) != 0;
    if (on_terminal) {
        options.hooks.after_step = progress_display(options.cycles, options.until_us);
    }
    RunSummary summary = run_simulation(config, options);
    if (on_terminal) {
        std::fprintf(stderr, "\r%60s\r", "");
    }
    std::cout << (json ? summary_json(summary) + "\n" : summary_text(summary));
    const int status = END_STATUS[static_cast<size_t>(summary.end)];
    if (status != EXIT_DONE) {
        std::cerr << PROGRAM << ": " << summary.message << "\n";
    }
    return status;
}
