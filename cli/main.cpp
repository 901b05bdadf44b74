// pelorin-sim: runs the simulated cluster without a window, as fast as it goes, and prints a summary.
#include "cli/campaign.h"
#include "cli/runner.h"
#include "version/version.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <map>
#include <unistd.h>

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_STUCK = 3;
constexpr int EXIT_REPLAY = 4;
constexpr int EXIT_OUTPUT = 5;
constexpr int EXIT_ASSEMBLY = 255;
constexpr double PROGRESS_PERIOD_S = 0.5;

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"pelorin-sim: the TTP/C cluster simulator without a window"};
    app.set_version_flag("--version", version_text("pelorin-sim"));
    RunOptions options;
    std::string directory;
    std::string trace_file = "debug.txt";
    bool no_trace = false;
    bool json = false;
    double until_us = -1.0;
    std::string effect = "flip";
    std::string target = "cni";
    app.add_option("--dir", directory, "directory with medl00.txt .. medl03.txt and clkdrift.txt");
    auto* cycles =
        app.add_option("--cycles", options.cycles, "stop after this many cluster cycles (O2's host)")
            ->default_val(1000)
            ->check(CLI::PositiveNumber);
    app.add_option("--until-us", until_us, "stop at this simulated time in microseconds instead")
        ->check(CLI::NonNegativeNumber)
        ->excludes(cycles);
    auto* trace_option = app.add_option("--trace", trace_file, "trace file, appended (default debug.txt)");
    app.add_flag("--no-trace", no_trace, "write no trace")->excludes(trace_option);
    // Up to one fault per microsecond: beyond that the injector alone would fill the run with events.
    app.add_option("--inject-rate", options.inject_rate, "faults per second (0 to 1000000)")
        ->check(CLI::Range(0.0, 1.0e6));
    app.add_option("--effect", effect, "bit fault effect")->check(CLI::IsMember({"set", "reset", "flip"}));
    app.add_option("--target", target, "fault target")->check(CLI::IsMember({"cni", "reg"}));
    app.add_option("--inject-from-us", options.inject_from_us, "start of periodic injection")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--inject-until-us", options.inject_until_us, "end of periodic injection")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--seed", options.seed, "seed of the fault injector's random stream")->default_val(111);
    app.add_flag("--json", json, "print the summary as one JSON object");
    std::string replay_file;
    app.add_option("--injection-log", options.injection_log, "append every injection to this CSV file");
    app.add_option("--replay", replay_file, "apply the injections of a log instead of drawing them")
        ->excludes("--inject-rate");
    CampaignOptions campaign;
    std::string window = "100000:300000";
    std::string shard = "0/1";
    std::string campaign_effect = "flip";
    std::string campaign_target = "cni";
    CLI::App* campaign_command = app.add_subcommand(
        "campaign", "run many single-fault experiments and compare each with the golden run");
    campaign_command->add_option("--dir", directory, "configuration directory");
    campaign_command->add_option("--runs", campaign.runs, "number of experiments")->default_val(100);
    campaign_command->add_option("--jobs", campaign.jobs, "parallel worker processes")
        ->default_val(1)
        ->check(CLI::Range(1, 64));
    campaign_command->add_option("--seed", campaign.seed, "campaign seed")->default_val(1);
    campaign_command->add_option("--target", campaign_target, "fault target")
        ->check(CLI::IsMember({"cni", "reg"}));
    campaign_command->add_option("--effect", campaign_effect, "bit fault effect")
        ->check(CLI::IsMember({"set", "reset", "flip"}));
    campaign_command->add_option("--injections", campaign.injections, "injections per experiment")
        ->default_val(1)
        ->check(CLI::Range(1, 1000));
    campaign_command->add_option("--window-us", window, "injection window FROM:TO (microseconds)");
    campaign_command->add_option("--horizon-us", campaign.horizon_us, "end of every run (microseconds)")
        ->check(CLI::PositiveNumber);
    campaign_command->add_option("--out", campaign.out, "CSV file, one row per experiment");
    campaign_command->add_option("--svg", campaign.svg,
                                 "chart of the classes per field (default: beside --out)");
    campaign_command->add_flag("--resume", campaign.resume, "skip the experiments already in the CSV");
    campaign_command->add_option("--shard", shard, "run only experiments I, I+N, ... (I/N)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? 0 : EXIT_USAGE;
    }
    if (*campaign_command) {
        if (!parse_window(window, &campaign.window_from_us, &campaign.window_to_us)) {
            std::cerr << "pelorin-sim campaign: --window-us must be FROM:TO with 0 <= FROM < TO\n";
            return EXIT_USAGE;
        }
        if (!parse_shard(shard, &campaign.shard_index, &campaign.shard_count)) {
            std::cerr << "pelorin-sim campaign: --shard must be I/N with 0 <= I < N\n";
            return EXIT_USAGE;
        }
        campaign.directory = find_configuration_directory(directory.c_str(), argv[0]);
        campaign.target = campaign_target == "reg" ? TARGET_REG : TARGET_CNI;
        campaign.effect = static_cast<uint8_t>(campaign_effect == "set"     ? 0
                                               : campaign_effect == "reset" ? 1
                                                                            : 2);
        return run_campaign(campaign, stdout);
    }
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
    options.directory = find_configuration_directory(directory.c_str(), argv[0]);
    options.until_us = until_us;
    options.trace = !no_trace;
    options.trace_file = trace_file;
    options.effect =
        static_cast<uint8_t>(std::map<std::string, int>{{"set", 0}, {"reset", 1}, {"flip", 2}}[effect]);
    options.target = target == "reg" ? TARGET_REG : TARGET_CNI;
    options.on_kernel_error = [](uint8_t code, const char* message) {
        std::cerr << "pelorin-sim: kernel error " << static_cast<int>(code) << ": " << message << "\n";
    };
    if (isatty(STDERR_FILENO) != 0) {
        auto last = std::chrono::steady_clock::now();
        const uint32_t goal = options.cycles;
        const bool by_time = until_us >= 0;
        options.between_steps = [last, goal, by_time, until_us](const Cluster& cluster) mutable {
            auto now = std::chrono::steady_clock::now();
            if (std::chrono::duration<double>(now - last).count() >= PROGRESS_PERIOD_S) {
                last = now;
                if (by_time) {
                    std::fprintf(stderr, "\r%.0f / %.0f us", sim_time(), until_us);
                } else {
                    std::fprintf(stderr, "\rcluster cycle %u / %u", cluster.apps[NODE_O2].os->cycle_count,
                                 goal);
                }
            }
            return true;
        };
    }

    RunSummary summary = run_simulation(options);
    if (isatty(STDERR_FILENO) != 0) {
        std::fprintf(stderr, "\r%60s\r", "");
    }
    if (summary.end == RunEnd::ASSEMBLY_FAILED) {
        std::cerr << STARTUP_ERROR_TEXT << "\n\nReason: " << summary.message << "\n";
        return EXIT_ASSEMBLY;
    }
    std::cout << (json ? summary_json(summary) + "\n" : summary_text(summary));
    if (summary.end == RunEnd::OUTPUT_FAILED) {
        std::cerr << "pelorin-sim: " << summary.message << "\n";
        return EXIT_OUTPUT;
    }
    if (summary.end == RunEnd::REPLAY_DIVERGED) {
        std::cerr << "pelorin-sim: " << summary.message << "\n";
        return EXIT_REPLAY;
    }
    if (summary.end == RunEnd::TIME_STUCK) {
        std::cerr << "pelorin-sim: " << summary.message << "\n";
        return EXIT_STUCK;
    }
    if (summary.end == RunEnd::HORIZON) {
        std::cerr << "pelorin-sim: " << summary.message << "\n";
    }
    return 0;
}
