// pelorin-sim: runs the simulated cluster without a window, as fast as it goes, and prints a summary.
#include "cli/campaign.h"
#include "cli/campaign_compare.h"
#include "cli/campaign_fault.h"
#include "cli/campaign_map.h"
#include "cli/campaign_merge.h"
#include "cli/exit_status.h"
#include "cli/option_checks.h"
#include "cli/runner.h"
#include "host/fault_spec.h"
#include "host/scenario_file.h"
#include "kernel/input_file.h"
#include "version/version.h"

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <limits>
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
    app->add_option(
           "--drift",
           [overrides](const CLI::results_t& texts) {
               for (const std::string& text : texts) {
                   std::string why;
                   if (!parse_drift_override(text, overrides, &why)) {
                       throw CLI::ValidationError(why); // the reason names the option and its value
                   }
               }
               return true;
           },
           "relative clock drift of node M1, M2, O1 or O2 instead of clkdrift.txt's")
        ->type_name("NODE=VALUE")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app->add_option("--effect", "bit fault effect (default flip)")
        ->type_name("TEXT")
        ->check(CLI::IsMember(choices(FAULT_EFFECT_NAMES)))
        ->each([effect](const std::string& name) { (void)fault_effect_by_name(name, effect); });
    app->add_option("--target", "fault target (default CNI)")
        ->type_name("TEXT")
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

// The numbers the options accept, besides the common rules of option_checks.h.
constexpr NumberRule INJECT_RATE = {
    0.0, MAX_FAULT_RATE_PER_S, false,
    "a number of faults per second from 0 to 1000000 (one fault per microsecond)"};
constexpr NumberRule INJECTOR_SEED = {1.0, LARGEST_UINT32, true,
                                      "a whole number from 1 to 4294967295 (seed 0 leaves the injector's "
                                      "generator drawing only zeros)"};
constexpr double MAX_CAMPAIGN_JOBS = 64;
constexpr NumberRule CAMPAIGN_JOBS = {1.0, MAX_CAMPAIGN_JOBS, true, "a whole number from 1 to 64"};
constexpr double MAX_INJECTIONS_PER_EXPERIMENT = 1000;
constexpr NumberRule INJECTIONS_PER_EXPERIMENT = {1.0, MAX_INJECTIONS_PER_EXPERIMENT, true,
                                                  "a whole number from 1 to 1000"};
constexpr NumberRule INJECTION_WINDOW = {0.0, std::numeric_limits<double>::max(), false,
                                         "FROM:TO, two times in microseconds, 0 or more"};
constexpr NumberRule SHARD = {0.0, LARGEST_UINT32, true, "I/N, two whole numbers"};
constexpr NumberRule UPSET_RATE = {std::numeric_limits<double>::min(), std::numeric_limits<double>::max(),
                                   false, "a number of upsets per bit and hour above 0"};
constexpr const char* UPSET_RATE_HELP =
    "upsets per bit and hour: the summary gives each class's rate per hour";
/// A sampled campaign plans all its experiments and keeps every row in memory until the CSV is written
/// (about 200 bytes a row), and ten million samples already pin a share to within 0.03%; beyond that an
/// exhaustive scan answers exactly. The bound keeps a mistyped count from planning for hours and then
/// running out of memory.
constexpr double MAX_CAMPAIGN_RUNS = 10'000'000;
constexpr NumberRule CAMPAIGN_RUNS = {1.0, MAX_CAMPAIGN_RUNS, true,
                                      "a whole number from 1 to 10000000 (for more, use --exhaustive)"};

/// The exit status of each way a single run can end, in the order of RunEnd.
constexpr int END_STATUS[] = {EXIT_DONE,   EXIT_HORIZON, EXIT_STUCK,   EXIT_DONE,
                              EXIT_REPLAY, EXIT_OUTPUT,  EXIT_ASSEMBLY};
static_assert(std::size(END_STATUS) == static_cast<size_t>(RunEnd::ASSEMBLY_FAILED) + 1);

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"pelorin-sim: the TTP/C cluster simulator without a window"};
    const std::string exit_statuses = exit_status_help();
    app.footer(exit_statuses);
    app.set_version_flag("--version", version_text("pelorin-sim"));
    RunOptions options;
    std::string trace_file = "debug.txt";
    bool no_trace = false;
    bool json = false;
    add_shared_options(&app, &options.directory, &options.overrides, &options.effect, &options.target);
    auto* cycles = add_number_option(&app, "--cycles", &options.cycles, POSITIVE_WHOLE_NUMBER,
                                     "stop after this many cluster cycles (O2's host)");
    add_number_option(&app, "--until-us", &options.until_us, NON_NEGATIVE_TIME_US,
                      "stop at this simulated time in microseconds instead")
        ->excludes(cycles);
    auto* trace_option = app.add_option("--trace", trace_file, "trace file, appended (default debug.txt)");
    app.add_flag("--no-trace", no_trace, "write no trace")->excludes(trace_option);
    app.add_flag("--fingerprint", options.fingerprint,
                 "hash the trace into the JSON summary also when none is written (slower)");
    auto* rate = add_number_option(&app, "--inject-rate", &options.inject_rate, INJECT_RATE,
                                   "faults per second (0 to 1000000)");
    add_number_option(&app, "--inject-from-us", &options.inject_from_us, NON_NEGATIVE_TIME_US,
                      "start of periodic injection");
    add_number_option(&app, "--inject-until-us", &options.inject_until_us, NON_NEGATIVE_TIME_US,
                      "end of periodic injection (no injection at or after it)");
    add_number_option(&app, "--seed", &options.seed, INJECTOR_SEED,
                      "seed of the fault injector's random stream");
    app.add_flag("--json", json, "print the summary as one JSON object");
    std::string replay_file;
    auto* log_option =
        app.add_option("--injection-log", options.injection_log, "write every injection to this CSV file");
    app.add_flag("--append", options.append_injection_log,
                 "add to an existing injection log instead of replacing it")
        ->needs(log_option);
    app.add_option("--slot-events", options.slot_events,
                   "write what each node did in each TDMA slot to this CSV file");
    auto* replay_option =
        app.add_option("--replay", replay_file, "apply the injections of a log instead of drawing them")
            ->excludes(rate);
    std::string scenario_file;
    app.add_option("--scenario", scenario_file,
                   "a scenario file (TOML: a title and [[fault]] tables) whose faults happen in the run, "
                   "before those of --fault")
        ->type_name("FILE")
        ->excludes(replay_option);
    std::vector<std::string> fault_texts;
    app.add_option("--fault", fault_texts,
                   "a fault to happen in the run, as KIND key=value ... (repeatable), e.g. "
                   "'babbling node=O1 at_us=200000 duration_us=5000'")
        ->type_name("FAULT")
        ->excludes(replay_option);
    CampaignOptions campaign;
    CLI::App* campaign_command = app.add_subcommand(
        "campaign", "run many single-fault experiments and compare each with the golden run");
    campaign_command->footer(exit_statuses);
    add_shared_options(campaign_command, &campaign.directory, &campaign.overrides, &campaign.effect,
                       &campaign.target);
    campaign_command->add_option("--node", "the node whose memory the bits are in (default O1)")
        ->type_name("NODE")
        ->check(CLI::IsMember({"M1", "M2", "O1", "O2"}))
        ->each([&campaign](const std::string& name) {
            campaign.node = static_cast<unsigned>(node_by_name(name));
        });
    add_number_option(campaign_command, "--runs", &campaign.runs, CAMPAIGN_RUNS, "number of experiments");
    add_number_option(campaign_command, "--jobs", &campaign.jobs, CAMPAIGN_JOBS, "parallel worker processes");
    add_number_option(campaign_command, "--seed", &campaign.seed, WHOLE_NUMBER, "campaign seed");
    add_number_option(campaign_command, "--injections", &campaign.injections, INJECTIONS_PER_EXPERIMENT,
                      "injections per experiment");
    add_number_pair_option(campaign_command, "--window-us", ':', "FROM:TO", &campaign.window_from_us,
                           &campaign.window_to_us, INJECTION_WINDOW, "injection window (microseconds)");
    add_number_option(campaign_command, "--horizon-us", &campaign.horizon_us, POSITIVE_TIME_US,
                      "end of every run (microseconds)");
    campaign_command->add_option("--out", campaign.out, "CSV file, one row per experiment");
    campaign_command->add_option("--svg", campaign.svg,
                                 "chart of the classes per field (default: beside --out)");
    campaign_command->add_flag("--resume", campaign.resume, "skip the experiments already in the CSV");
    add_number_pair_option(campaign_command, "--shard", '/', "I/N", &campaign.shard_index,
                           &campaign.shard_count, SHARD, "run only experiments I, I+N, ...");
    campaign_command
        ->add_option("--engine",
                     "checkpoint (default: each experiment starts from a copy of the golden run) or "
                     "rerun (each from time 0); the rows are the same")
        ->type_name("TEXT")
        ->check(CLI::IsMember(choices(ENGINE_NAMES)))
        ->each([&campaign](const std::string& name) {
            campaign.engine = name == ENGINE_NAMES[static_cast<unsigned>(Engine::RERUN)] ? Engine::RERUN
                                                                                         : Engine::CHECKPOINT;
        });
    campaign_command->add_flag(
        "--exhaustive", campaign.exhaustive,
        "the whole fault space of the window: one experiment per bit and interval between "
        "the golden run's reads (--runs and --seed do not apply)");
    campaign_command
        ->add_option("--fault", campaign.fault,
                     "every experiment's fault, any kind and node, drawn from open values: "
                     "'corrupt channel=A|B duration_us=100..2000', 'crash node=any' (instead of O1's bits)")
        ->type_name("FAULT");
    std::string campaign_scenario;
    campaign_command
        ->add_option("--scenario", campaign_scenario,
                     "a scenario file whose faults are every experiment's faults together (those without a "
                     "time at the experiment's moment)")
        ->type_name("FILE");
    campaign_command
        ->add_option("--space",
                     "what --exhaustive enumerates: bits (default: every bit of the node's target at every "
                     "moment) or frames (every frame of the window corrupted or lost on A, B or both at "
                     "every set of its receivers)")
        ->type_name("TEXT")
        ->check(CLI::IsMember(choices(FAULT_SPACE_NAMES)))
        ->each([&campaign](const std::string& name) {
            campaign.space = name == FAULT_SPACE_NAMES[static_cast<unsigned>(FaultSpace::FRAMES)]
                                 ? FaultSpace::FRAMES
                                 : FaultSpace::BITS;
        });
    add_number_option(campaign_command, "--upset-rate", &campaign.upset_rate, UPSET_RATE, UPSET_RATE_HELP);
    bool no_early_stop = false;
    campaign_command->add_flag(
        "--no-early-stop", no_early_stop,
        "run every experiment to the horizon (the checkpoint engine stops one that has "
        "converged)");
    MergeOptions merge;
    CLI::App* merge_command = campaign_command->add_subcommand(
        "merge",
        "merge the CSVs of a campaign's shards into the CSV, summary and chart of the whole campaign");
    merge_command->footer(exit_statuses);
    merge_command->add_option("--out", merge.out, "merged CSV file, one row per experiment")->required();
    merge_command->add_option("--svg", merge.svg, "chart of the classes per field (default: beside --out)");
    merge_command->add_option("shards", merge.shards, "the shards' CSV files")->required();
    add_number_option(merge_command, "--upset-rate", &merge.upset_rate, UPSET_RATE, UPSET_RATE_HELP);
    CompareOptions compare;
    CLI::App* compare_command = campaign_command->add_subcommand(
        "compare", "per class, the share in campaign A minus that in campaign B, with its 95% interval");
    compare_command->footer(exit_statuses);
    compare_command->add_option("A", compare.a, "the first campaign's CSV")->required();
    compare_command->add_option("B", compare.b, "the second campaign's CSV")->required();
    MapOptions map;
    CLI::App* map_command = campaign_command->add_subcommand(
        "map", "the fault-space map (SVG): each experiment's injection time against its field and bit, "
               "coloured by class");
    map_command->footer(exit_statuses);
    map_command->add_option("CSV", map.csv, "the campaign's CSV")->required();
    map_command->add_option("--out", map.out, "the map's SVG file (default: beside the CSV, NAME.map.svg)");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? EXIT_DONE : EXIT_USAGE;
    }
    if (*compare_command) {
        if (!campaign_command->get_options([](const CLI::Option* o) { return o->count() > 0; }).empty()) {
            std::cerr << PROGRAM << ": campaign compare takes no campaign options: the CSVs name them\n";
            return EXIT_USAGE;
        }
        return compare_campaigns(compare, stdout);
    }
    if (*map_command) {
        if (!campaign_command->get_options([](const CLI::Option* o) { return o->count() > 0; }).empty()) {
            std::cerr << PROGRAM << ": campaign map takes no campaign options: the CSV names them\n";
            return EXIT_USAGE;
        }
        return map_campaign(map, stdout);
    }
    if (*merge_command) {
        // The campaign's parameters come from the shards' CSVs; an option given to run one would be ignored.
        if (!campaign_command->get_options([](const CLI::Option* o) { return o->count() > 0; }).empty()) {
            std::cerr << PROGRAM
                      << ": campaign merge takes no campaign options: the shards' CSVs name them\n";
            return EXIT_USAGE;
        }
        return merge_campaign(merge, stdout);
    }
    if (*campaign_command) {
        // A fault of its own names its node, target and effect; a bit fault's options would be ignored.
        for (const char* bit_option : {"--target", "--effect", "--node"}) {
            if ((described_rows(campaign) || !campaign_scenario.empty()) &&
                campaign_command->count(bit_option) > 0) {
                const char* own = !campaign_scenario.empty() ? "--scenario"
                                  : campaign.fault.empty()   ? "--space frames"
                                                             : "--fault";
                std::cerr << PROGRAM << ": campaign " << own << " takes no " << bit_option
                          << ": the fault names its own node, target and effect\n";
                return EXIT_USAGE;
            }
        }
        if (!campaign_scenario.empty()) {
            if (!campaign.fault.empty()) {
                std::cerr << PROGRAM << ": campaign takes --scenario or --fault, not both\n";
                return EXIT_USAGE;
            }
            Scenario scenario;
            std::string why;
            if (!read_scenario(campaign_scenario, &scenario, &why)) {
                std::cerr << PROGRAM << ": " << why << "\n";
                return EXIT_USAGE;
            }
            if (scenario.faults.empty()) {
                std::cerr << PROGRAM << ": " << campaign_scenario << ": holds no fault for the experiments\n";
                return EXIT_USAGE;
            }
            std::vector<std::string> texts;
            for (const FaultSpec& fault : scenario.faults) {
                texts.push_back(format_fault(fault)); // without its caption: a window's sentence
            }
            campaign.fault = join_faults(texts);
        }
        campaign.early_stop = !no_early_stop;
        campaign.directory = find_configuration_directory(campaign.directory.c_str(), argv[0]);
        return run_campaign(campaign, stdout);
    }
    options.directory = find_configuration_directory(options.directory.c_str(), argv[0]);
    if (options.inject_until_us >= 0 && options.inject_until_us < options.inject_from_us) {
        std::cerr << "pelorin-sim: --inject-until-us must not be before --inject-from-us\n";
        return EXIT_USAGE;
    }
    if (!scenario_file.empty()) {
        Scenario scenario;
        std::string why;
        if (!read_scenario(scenario_file, &scenario, &why)) {
            std::cerr << PROGRAM << ": " << why << "\n";
            return EXIT_USAGE;
        }
        options.faults = std::move(scenario.faults);
    }
    for (const std::string& text : fault_texts) {
        FaultSpec fault;
        std::string why;
        if (!parse_fault(text, &fault, &why)) {
            std::cerr << PROGRAM << ": --fault '" << printable(text) << "': " << why << "\n";
            return EXIT_USAGE;
        }
        options.faults.push_back(std::move(fault));
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
    // A written trace is hashed as it goes (it costs little beside the writing); without one, only on
    // request.
    options.fingerprint = options.fingerprint || options.trace;
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
