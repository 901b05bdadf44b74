// The two campaign engines and the exhaustive scan: the checkpoint engine (with and without its early stop)
// writes the rows the rerun engine writes, for every split of a campaign; an interval's representative
// stands for every fault in its interval; and a sampled campaign agrees with the exhaustive scan's exact
// shares.
#include "campaign_fixture.h"
#include "cli/campaign_csv.h"
#include "cli/campaign_exhaustive.h"
#include "cli/campaign_merge.h"
#include "cli/campaign_report.h"
#include "cli/exit_status.h"
#include "cli/shared_pages.h"

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <random>
#include <set>
#include <sys/wait.h>
#include <unistd.h>

namespace {

class EngineTest : public CampaignTest {
  protected:
    /// The CSV a campaign writes with `engine`, `jobs` and `early_stop`; run in two shards when `sharded`.
    std::string rows_of(CampaignOptions options, Engine engine, unsigned jobs, bool early_stop,
                        bool sharded) {
        options.engine = engine;
        options.jobs = jobs;
        options.early_stop = early_stop;
        std::filesystem::remove(options.out);
        if (sharded) {
            options.shard_index = 1;
            options.shard_count = 2;
            EXPECT_EQ(run(options), EXIT_DONE);
            options.shard_index = 0;
            options.shard_count = 1;
            options.resume = true;
        }
        EXPECT_EQ(run(options), EXIT_DONE);
        return read(options.out);
    }
    void expect_same_rows(const CampaignOptions& options) {
        const std::string reference = rows_of(options, Engine::RERUN, 1, false, false);
        ASSERT_GT(std::count(reference.begin(), reference.end(), '\n'), 2);
        EXPECT_EQ(rows_of(options, Engine::CHECKPOINT, 1, true, false), reference);
        EXPECT_EQ(rows_of(options, Engine::CHECKPOINT, 1, false, false), reference)
            << "without the early stop";
        EXPECT_EQ(rows_of(options, Engine::CHECKPOINT, 2, true, true), reference) << "two jobs, two shards";
    }
    static std::vector<std::string> column(const std::string& csv, unsigned index) {
        std::vector<std::string> cells;
        std::stringstream lines(csv);
        std::string line;
        while (std::getline(lines, line)) {
            if (line[0] != '#' && line.compare(0, 11, "experiment,") != 0) { // the head and the header
                cells.push_back(campaign_csv_cells(line)[index]);
            }
        }
        return cells;
    }
    /// The exhaustive scan of `options` (its rows by the checkpoint engine, which the rerun engine's equal).
    void exhaustive_scan(const CampaignOptions& options, FaultSpaceScan* scan,
                         std::map<uint32_t, std::string>* rows) {
        ASSERT_EQ(run(options), EXIT_DONE);
        std::string why;
        CampaignCsv csv;
        ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
        *rows = csv.rows;
        ClusterConfig config;
        ASSERT_EQ(read_cluster_config(options.directory, {}, &config, &why), ASSEMBLY_OK) << why;
        CampaignExperiments* experiments = start_experiments(std::move(config), options, true, &why);
        ASSERT_NE(experiments, nullptr) << why;
        *scan = scan_fault_space(golden_record(experiments), options);
        finish_experiments(experiments);
        ASSERT_EQ(rows->size(), scan->experiments.size());
    }
    /// The class of interval i's faults: its representative's, or the one it has without an experiment.
    static std::pair<Outcome, bool> outcome_of(const FaultSpaceScan& scan,
                                               std::map<uint32_t, std::string>& rows, size_t i) {
        const auto k = std::find(scan.experiments.begin(), scan.experiments.end(), i);
        if (k == scan.experiments.end()) {
            const bool latent = scan.intervals[i].fate == IntervalFate::LATENT;
            return {latent ? Outcome::MASKED : Outcome::NO_EFFECT, !latent};
        }
        const std::vector<std::string> cells =
            campaign_csv_cells(rows[static_cast<uint32_t>(k - scan.experiments.begin())]);
        const auto name =
            std::find(std::begin(OUTCOME_NAMES), std::end(OUTCOME_NAMES), cells[CAMPAIGN_CSV_CLASS_COLUMN]);
        return {static_cast<Outcome>(name - std::begin(OUTCOME_NAMES)),
                cells[CAMPAIGN_CSV_CONVERGED_COLUMN] == "yes"};
    }
    static std::string kind_of(const FaultSpaceScan& scan, std::map<uint32_t, std::string>& rows, size_t i) {
        const IntervalFate fate = scan.intervals[i].fate;
        return fate == IntervalFate::EXPERIMENT ? outcome_name(outcome_of(scan, rows, i).first)
               : fate == IntervalFate::LATENT   ? "latent"
                                                : "killed";
    }
    /// A small window of the registers in the steady state, with a horizon near enough for the rerun engine.
    CampaignOptions register_window() const {
        CampaignOptions options = campaign(1);
        options.target = TARGET_REG;
        options.window_from_us = 200000;
        options.window_to_us = 200200;
        options.horizon_us = 230000;
        return options;
    }
};

TEST_F(EngineTest, CheckpointsWriteTheRerunsRows) {
    CampaignOptions options = campaign(40); // faults that vanish, and ones of every class that is not
    expect_same_rows(options);
    const std::vector<std::string> classes = column(read(options.out), CAMPAIGN_CSV_CLASS_COLUMN);
    EXPECT_GE(std::set<std::string>(classes.begin(), classes.end()).size(), 3u);

    options = campaign(10);
    options.injections = 2; // the early stop waits for the last one
    expect_same_rows(options);

    options = campaign(6);
    options.window_from_us = 150170; // a quiet half microsecond: every experiment injects at one point
    options.window_to_us = 150170.5;
    expect_same_rows(options);
    const std::vector<std::string> steps = column(read(options.out), 2);
    EXPECT_EQ(std::set<std::string>(steps.begin(), steps.end()).size(), 1u) << "one injection point";

    options = campaign(4);
    options.window_from_us = 0; // before the first event of the run's first microsecond is over
    options.window_to_us = 0.5;
    options.effect = FAULT_SET;
    expect_same_rows(options);

    options = register_window(); // sampled set faults into the registers: many change nothing or are
    options.runs = 30;           // overwritten before they are read
    options.effect = FAULT_SET;
    expect_same_rows(options);

    options = register_window();
    options.window_from_us = 200100; // a few representatives, of three classes
    options.window_to_us = 200150;
    options.exhaustive = true;
    expect_same_rows(options);

    // Another node's bits, sampled and scanned: every row is that node's.
    for (const bool exhaustive : {false, true}) {
        options = exhaustive ? register_window() : campaign(20);
        options.node = NODE_O2;
        options.exhaustive = exhaustive;
        expect_same_rows(options);
        const std::vector<std::string> nodes = column(read(options.out), 4);
        EXPECT_EQ(std::set<std::string>(nodes.begin(), nodes.end()), std::set<std::string>{"O2"});
    }
}

TEST_F(EngineTest, EveryFaultInAnIntervalEndsLikeItsRepresentative) {
    // O1's interfaces and registers, and M2's registers: a log of one node's accesses with the injections
    // made into another's would give intervals whose moments end otherwise.
    for (const auto& [target, node] :
         {std::pair{TARGET_REG, NODE_O1}, {TARGET_CNI, NODE_O1}, {TARGET_REG, NODE_M2}}) {
        CampaignOptions options = register_window();
        options.target = target;
        options.node = node;
        options.exhaustive = true;
        FaultSpaceScan scan;
        std::map<uint32_t, std::string> rows;
        exhaustive_scan(options, &scan, &rows);
        double covered = 0.0;
        for (const ScanInterval& s : scan.intervals) {
            covered += s.weight_us;
        }
        EXPECT_NEAR(covered, scan.total_space, 1e-6 * scan.total_space)
            << "the intervals cover the fault space";

        // Of every fate and class, the widest interval and two at random, each hit by a plain experiment at a
        // random moment inside it (a read the log missed would show as a moment whose outcome differs).
        std::map<std::string, std::vector<size_t>> by_kind;
        for (size_t i = 0; i < scan.intervals.size(); ++i) {
            by_kind[kind_of(scan, rows, i)].push_back(i);
        }
        ASSERT_GE(by_kind.size(), 3u) << "killed intervals, and read ones of two classes at least";
        std::mt19937 random(3);
        std::string why;
        for (auto& [kind, intervals] : by_kind) {
            std::sort(intervals.begin(), intervals.end(), [&scan](size_t a, size_t b) {
                return scan.intervals[a].weight_us > scan.intervals[b].weight_us;
            });
            for (size_t pick : {size_t{0}, random() % intervals.size(), random() % intervals.size()}) {
                const size_t i = intervals[pick];
                const BitInterval& interval = scan.intervals[i].interval;
                const double from = std::max(interval.from_us, options.window_from_us);
                const double to = std::min(interval.to_us, options.window_to_us);
                const double time =
                    from + (to - from) * std::uniform_real_distribution<double>(0.0, 1.0)(random);
                ExperimentResult plain;
                ASSERT_TRUE(experiment_with(options, time, interval.word, interval.bit, &plain, &why)) << why;
                const auto [outcome, converged] = outcome_of(scan, rows, i);
                EXPECT_EQ(outcome_name(plain.outcome), std::string(outcome_name(outcome)))
                    << kind << ": word " << interval.word << " bit " << interval.bit << " at " << time;
                EXPECT_EQ(plain.converged, converged) << kind << " at " << time;
            }
        }
    }
}

TEST_F(EngineTest, SampledSharesLieInsideTheirIntervalsAroundTheExactShares) {
    CampaignOptions options = register_window();
    options.exhaustive = true;
    FaultSpaceScan scan;
    std::map<uint32_t, std::string> rows;
    exhaustive_scan(options, &scan, &rows);
    std::array<double, static_cast<unsigned>(Outcome::COUNT)> exact{};
    for (size_t i = 0; i < scan.intervals.size(); ++i) {
        exact[static_cast<unsigned>(outcome_of(scan, rows, i).first)] +=
            scan.intervals[i].weight_us / scan.total_space;
    }

    options = register_window();
    options.runs = 400;
    options.out = path("sampled.csv");
    ASSERT_EQ(run(options), EXIT_DONE);
    const std::vector<std::string> classes = column(read(options.out), CAMPAIGN_CSV_CLASS_COLUMN);
    for (unsigned o = 0; o < exact.size(); ++o) {
        const auto count =
            static_cast<unsigned>(std::count(classes.begin(), classes.end(), OUTCOME_NAMES[o]));
        const Wilson interval = wilson_interval(count, options.runs);
        EXPECT_GE(exact[o], interval.low) << OUTCOME_NAMES[o] << ": " << count << " of " << options.runs;
        EXPECT_LE(exact[o], interval.high) << OUTCOME_NAMES[o] << ": " << count << " of " << options.runs;
    }
}

TEST_F(EngineTest, ExhaustiveShardsMergeIntoTheWholeScan) {
    CampaignOptions options = register_window();
    options.exhaustive = true;
    ASSERT_EQ(run(options), EXIT_DONE);
    const std::string csv = read(options.out);
    const std::string report = read(path("report.txt"));
    const std::string summary = report.substr(0, report.find("wall time: "));
    EXPECT_NE(summary.find("pruning factor"), std::string::npos) << report;
    const std::string chart = read(path("campaign.svg"));
    std::filesystem::remove(options.out);
    std::filesystem::remove(path("campaign.svg"));

    MergeOptions merge;
    merge.out = options.out;
    for (uint32_t i : {1u, 0u}) {
        CampaignOptions shard = options;
        shard.shard_index = i;
        shard.shard_count = 2;
        shard.out = path(("shard-" + std::to_string(i) + ".csv").c_str());
        ASSERT_EQ(run(shard), EXIT_DONE);
        EXPECT_NE(read(path("report.txt")).find("incomplete"), std::string::npos)
            << "a shard's report says so";
        merge.shards.push_back(shard.out);
    }
    std::FILE* merged = std::fopen(path("merged.txt").c_str(), "w");
    ASSERT_EQ(merge_campaign(merge, merged), EXIT_DONE);
    std::fclose(merged);
    EXPECT_EQ(read(options.out), csv);
    EXPECT_EQ(read(path("campaign.svg")), chart);
    EXPECT_EQ(read(path("merged.txt")), summary);
}

/// Runs `work` in a copy of this process; how the copy ended (waitpid's status).
template <class Work>
int status_of_copy(Work work) {
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(work() ? 0 : 1);
    }
    int status = -1;
    (void)waitpid(pid, &status, 0);
    return status;
}

TEST(SharedPages, CopiesReadTheSameBytesCannotWriteThemAndTheRangeComesBackWritable) {
    const auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t size = 5 * page;
    auto* buffer = static_cast<uint8_t*>(std::aligned_alloc(page, size));
    ASSERT_NE(buffer, nullptr);
    for (size_t i = 0; i < size; ++i) {
        buffer[i] = static_cast<uint8_t>(i * 7);
    }
    const std::vector<uint8_t> before(buffer, buffer + size);
    const auto same = [&] { return std::equal(before.begin(), before.end(), buffer); };
    SharedPages shared;
    ASSERT_TRUE(share_pages(buffer + 1, size - 2, &shared));
    EXPECT_EQ(shared.begin, buffer + page);
    EXPECT_EQ(shared.size, 3 * page) << "the whole pages inside the range, not the parts around them";
    EXPECT_TRUE(same());
    const int read = status_of_copy(same);
    EXPECT_TRUE(WIFEXITED(read) && WEXITSTATUS(read) == 0) << "a copy reads the same bytes";
    const int written = status_of_copy([&] {
        std::signal(SIGSEGV, SIG_DFL); // a sanitizer's handler would turn the fault into an exit
        buffer[2 * page] = 1;
        return true;
    });
    EXPECT_TRUE(WIFSIGNALED(written) && WTERMSIG(written) == SIGSEGV) << "a write faults in the copy";
    buffer[0] = 1; // the pages around the range stay private and writable
    buffer[size - 1] = 1;
    unshare_pages(&shared);
    EXPECT_EQ(shared.begin, nullptr);
    buffer[0] = before[0];
    buffer[size - 1] = before[size - 1];
    EXPECT_TRUE(same());
    std::fill(buffer, buffer + size, uint8_t{1}); // writable again
    const int after = status_of_copy([&] {
        buffer[2 * page] = 2; // private: the copy's write stays in the copy
        return true;
    });
    EXPECT_TRUE(WIFEXITED(after) && WEXITSTATUS(after) == 0);
    EXPECT_EQ(std::count(buffer, buffer + size, 1), static_cast<long>(size));
    std::free(buffer);
}

} // namespace
