// The whole cluster on the default configuration, run through the same code as pelorin-sim.
#include "cli/exit_status.h"
#include "cli/runner.h"
#include "run_command.h"
#include "trace_compare.h"

#include "kernel/trace.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

RunOptions default_run(uint32_t cycles) {
    RunOptions options;
    options.directory = PELORIN_DEFAULT_DATA_DIR;
    options.cycles = cycles;
    options.trace = false;
    return options;
}

::testing::AssertionResult healthy(const RunSummary& s) {
    if (s.end != RunEnd::COMPLETED) {
        return ::testing::AssertionFailure() << "run ended early: " << s.message;
    }
    for (const NodeSummary& n : s.nodes) {
        if (n.protocol_state != PS_APPLICATION) {
            return ::testing::AssertionFailure() << n.name << " is in " << n.state_name;
        }
        for (uint32_t bit : n.membership) {
            if (bit != 1) {
                return ::testing::AssertionFailure() << n.name << " lacks full membership";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(ClusterRun, DefaultConfigurationRunsAThousandCyclesInTheApplicationMode) {
    RunSummary s = run_simulation(default_run(1000));
    EXPECT_TRUE(healthy(s));
    EXPECT_EQ(s.cluster_cycles, 1000u);
    EXPECT_EQ(s.cluster_mode, 2u);
    EXPECT_EQ(s.kernel_errors, 0u);
    EXPECT_GE(s.laser_hits, 100u);
    EXPECT_LE(s.laser_misses, 2u);
    for (const NodeSummary& n : s.nodes) {
        EXPECT_EQ(n.bus_guardian_failures, 0u) << n.name;
        EXPECT_EQ(n.controller_starts, 1u) << n.name;
    }
    EXPECT_EQ(memory_count(), 0u);
}

/// A fault-free cluster hits at every revolution however long it has run: a run that starts late crosses
/// 2^32 us (where a float's step is 512 us, wider than the laser's hit window) and an epoch boundary of the
/// times to shoot (4,293,000,000 us) without a miss.
TEST(ClusterRun, LateTimesStillHitAtEveryRevolution) {
    RunOptions options = default_run(0);
    options.start_us = 4292500000.0;
    options.until_us = 4295600000.0;
    RunSummary s = run_simulation(options);
    EXPECT_TRUE(healthy(s));
    EXPECT_EQ(s.laser_misses, 0u);
    // 172 revolutions; the first shots wait for start-up and the first estimates.
    EXPECT_GE(s.laser_hits, 168u);
    EXPECT_EQ(s.kernel_errors, 0u);
}

/// Faults into O1 at 200 per second for 500 cycles, then none: the cluster heals within 300 cycles.
void expect_healing(uint32_t target) {
    std::vector<std::string> unhealed;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        RunOptions options = default_run(800);
        options.inject_rate = 200.0;
        options.inject_until_us = 500 * 2000.0;
        options.target = target;
        options.seed = seed;
        RunSummary s = run_simulation(options);
        EXPECT_GT(s.injections, 100u) << "seed " << seed;
        if (!healthy(s)) {
            unhealed.push_back("seed " + std::to_string(seed) + ": " + healthy(s).message());
        }
    }
    for (const std::string& line : unhealed) {
        std::printf("not healed: %s\n", line.c_str());
    }
    EXPECT_LE(unhealed.size(), 1u);
}

TEST(ClusterRun, FlipsInOnesInterfaceHealWithinThreeHundredCycles) {
    expect_healing(TARGET_CNI);
}
TEST(ClusterRun, FlipsInOnesRegistersHealWithinThreeHundredCycles) {
    expect_healing(TARGET_REG);
}

// A short fault-free run's trace, hashed. A change of the protocol's behaviour or its trace texts shows here;
// update the value on purpose when behaviour changes, and the golden head of the trace with it:
//     pelorin-sim --dir data --cycles 20 --trace FILE; head -500 FILE >
//     tests/system/golden/default-run-head.txt
constexpr uint64_t FINGERPRINT_20_CYCLES = 0x1c4bb876e0f7ec19ull;
constexpr const char* GOLDEN_TRACE_HEAD = PELORIN_TEST_DATA_DIR "/golden/default-run-head.txt";

TEST(ClusterRun, TraceFingerprintOfAShortRunIsStable) {
    // The trace goes to a file in the test's working directory, kept when the fingerprint changed.
    const std::filesystem::path trace_file = std::filesystem::absolute("default-run-20-cycles.trace.txt");
    std::filesystem::remove(trace_file);
    RunOptions options = default_run(20);
    options.trace = true;
    options.trace_file = trace_file.string();
    options.fingerprint = true;
    RunSummary first = run_simulation(options);
    options.trace = false;
    RunSummary second = run_simulation(options);
    EXPECT_EQ(first.trace_fingerprint, second.trace_fingerprint) << "the fingerprint depends on the sink";
    EXPECT_EQ(first.events, second.events);
    if (first.trace_fingerprint != FINGERPRINT_20_CYCLES) {
        std::ifstream golden(GOLDEN_TRACE_HEAD);
        std::ifstream trace(trace_file);
        ADD_FAILURE() << "trace fingerprint " << std::hex << first.trace_fingerprint << " instead of "
                      << FINGERPRINT_20_CYCLES << "; " << describe(first_difference(golden, trace))
                      << "\nthe trace of this run is in " << trace_file.string();
        return;
    }
    std::filesystem::remove(trace_file);
}

/// FNV-1a over a file's bytes: what the trace fingerprint hashes.
uint64_t fnv1a_of_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    uint64_t hash = 0xcbf29ce484222325ull;
    for (char c; in.get(c);) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    }
    return hash;
}

std::string json_fingerprint(uint64_t value) {
    char text[64];
    std::snprintf(text, sizeof text, "\"trace_fingerprint\": \"%016llx\"",
                  static_cast<unsigned long long>(value));
    return text;
}

TEST(PelorinSim, JsonFingerprintIsTheHashOfTheRunsTraceWrittenOrNot) {
    const std::filesystem::path trace_file = std::filesystem::absolute("json-fingerprint.trace.txt");
    std::filesystem::remove(trace_file);
    const std::string run = std::string("--dir ") + PELORIN_DEFAULT_DATA_DIR + " --json --cycles ";
    std::string written;
    ASSERT_EQ(run_command(run + "20 --trace " + trace_file.string(), &written), EXIT_DONE) << written;
    EXPECT_NE(written.find(json_fingerprint(fnv1a_of_file(trace_file))), std::string::npos) << written;
    EXPECT_NE(written.find(json_fingerprint(FINGERPRINT_20_CYCLES)), std::string::npos) << written;
    std::filesystem::remove(trace_file);

    std::string hashed_only;
    ASSERT_EQ(run_command(run + "20 --no-trace --fingerprint", &hashed_only), EXIT_DONE);
    EXPECT_NE(hashed_only.find(json_fingerprint(FINGERPRINT_20_CYCLES)), std::string::npos) << hashed_only;
    std::string longer;
    ASSERT_EQ(run_command(run + "21 --no-trace --fingerprint", &longer), EXIT_DONE);
    EXPECT_NE(longer.find("\"trace_fingerprint\""), std::string::npos);
    EXPECT_EQ(longer.find(json_fingerprint(FINGERPRINT_20_CYCLES)), std::string::npos) << "another run";
    std::string unhashed;
    ASSERT_EQ(run_command(run + "20 --no-trace", &unhashed), EXIT_DONE);
    EXPECT_EQ(unhashed.find("trace_fingerprint"), std::string::npos) << "never the hash of nothing";
}

TEST(TraceComparison, NamesTheFirstLineThatDiffersOrThatTheTraceEndsEarly) {
    std::istringstream golden("a\nb\nc\n");
    std::istringstream changed("a\nb\nC\nd\n");
    const TraceDifference difference = first_difference(golden, changed);
    EXPECT_TRUE(difference.found);
    EXPECT_EQ(difference.line, 3u);
    EXPECT_EQ(describe(difference), "first difference at line 3:\n  golden: c\n  now:    C");

    golden = std::istringstream("a\nb\n");
    std::istringstream short_trace("a\n");
    EXPECT_EQ(describe(first_difference(golden, short_trace)),
              "first difference at line 2:\n  golden: b\n  now:    (the trace ends here)");

    golden = std::istringstream("a\nb\n");
    std::istringstream longer("a\nb\nz\n"); // the golden text is only the head of the trace
    const TraceDifference none = first_difference(golden, longer);
    EXPECT_FALSE(none.found);
    EXPECT_NE(describe(none).find("the first 2 lines agree"), std::string::npos);
}

// --- The command line ------------------------------------------------------------------------------------

TEST(PelorinSim, PrintsJsonAndReportsUsageAndStartupErrors) {
    std::string out;
    EXPECT_EQ(run_command(std::string("--dir ") + PELORIN_DEFAULT_DATA_DIR + " --cycles 30 --no-trace --json",
                          &out),
              EXIT_DONE);
    EXPECT_NE(out.find("\"cluster_cycles\": 30"), std::string::npos) << out;
    EXPECT_NE(out.find("\"state_name\": \"APPLICATION\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"laser\""), std::string::npos) << out;

    out.clear();
    EXPECT_EQ(run_command("--cycles -3", &out), EXIT_USAGE);
    out.clear();
    EXPECT_EQ(run_command("--effect melt", &out), EXIT_USAGE);
    out.clear();
    EXPECT_EQ(run_command("--drift Q7=0.1", &out), EXIT_USAGE);
    EXPECT_NE(out.find("NODE one of M1, M2, O1, O2"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(run_command("--dir /nonexistent-pelorin --no-trace", &out), EXIT_ASSEMBLY);
    EXPECT_NE(out.find("Probably one or more MEDL tables could not be read from file."), std::string::npos);
    EXPECT_NE(out.find("clkdrift.txt"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(
        run_command(std::string("--dir ") + PELORIN_DEFAULT_DATA_DIR + " --drift O2=-0.5 --no-trace", &out),
        EXIT_ASSEMBLY);
    EXPECT_NE(out.find("--drift O2=-0.5: drift of Controller O2 must be"), std::string::npos) << out;
    out.clear();
    EXPECT_EQ(run_command("--help", &out), EXIT_DONE);
    EXPECT_NE(out.find("\n  255  the configuration cannot be read"), std::string::npos) << out;
}

TEST(PelorinSim, RefusesNumbersItCannotHonourWithAPlainReason) {
    struct Refusal {
        const char* arguments;
        const char* reason;
    } refusals[] = {
        {"--cycles 4294967296", "--cycles must be a positive whole number"},
        {"--until-us nan", "--until-us must be a time in microseconds, 0 or more"},
        {"--inject-rate 1e300", "--inject-rate must be a number of faults per second from 0 to 1000000"},
        {"--inject-from-us -inf", "--inject-from-us must be a time in microseconds, 0 or more"},
        {"--inject-until-us 1e999", "--inject-until-us must be a time in microseconds, 0 or more"},
        {"--seed 0", "--seed must be a whole number from 1 to 4294967295"},
        {"--drift O1=inf", "--drift O1=inf: 'inf' is not a number"},
        {"campaign --window-us 0:nan", "--window-us must be FROM:TO, two times in microseconds, 0 or more"},
        {"campaign --horizon-us inf", "--horizon-us must be a time in microseconds above 0"},
        {"campaign --jobs 65", "--jobs must be a whole number from 1 to 64"},
        {"campaign --injections 0", "--injections must be a whole number from 1 to 1000"},
        {"campaign --runs 0", "--runs must be a whole number from 1 to 10000000"},
        {"campaign --runs 10000001", "--runs must be a whole number from 1 to 10000000 (for more, use"},
        {"campaign --seed -1", "--seed must be a whole number"},
        {"campaign --shard 1/nan", "--shard must be I/N, two whole numbers"},
    };
    for (const Refusal& refusal : refusals) {
        std::string out;
        EXPECT_EQ(run_command(refusal.arguments, &out), EXIT_USAGE) << refusal.arguments;
        EXPECT_EQ(out.rfind(refusal.reason, 0), 0u) << out;
        EXPECT_LT(out.size(), 200u) << "a plain reason, no bounds of 300 digits: " << out;
    }
}

class PelorinSimConfig : public ::testing::Test {
  protected:
    std::filesystem::path directory;
    void SetUp() override {
        directory = make_scratch_directory("pelorin-sim");
        std::filesystem::copy(PELORIN_DEFAULT_DATA_DIR, directory);
    }
    void TearDown() override { std::filesystem::remove_all(directory); }
    /// Appends a line to a file of the configuration; returns its line number.
    unsigned append(const std::string& file, const std::string& line) {
        std::ofstream(directory / file, std::ios::app) << line << "\n";
        std::ifstream in(directory / file);
        return static_cast<unsigned>(std::count(std::istreambuf_iterator<char>(in), {}, '\n'));
    }
    int run(const std::string& arguments, std::string* out) {
        return run_command("--dir " + directory.string() + " --no-trace " + arguments, out);
    }
};

TEST_F(PelorinSimConfig, WarningsGoToStderrAndTheRunGoesAhead) {
    const unsigned line = append("medl02.txt", "65686 role_list.bus_guardian.bg_slot_duration");
    std::string out;
    EXPECT_EQ(run("--cycles 5", &out), EXIT_DONE);
    EXPECT_NE(out.find("pelorin-sim: warning: " + (directory / "medl02.txt").string() + ":" +
                       std::to_string(line) +
                       ": key 'role_list.bus_guardian.bg_slot_duration': 65686 is read as 150"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("cluster cycles"), std::string::npos) << out;
}

TEST_F(PelorinSimConfig, ATraceThatCannotBeWrittenStopsTheRunWithItsReason) {
    const std::string dir = "--dir " + directory.string() + " --cycles 200 --json --trace ";
    struct Case {
        std::string file;
        const char* reason;
    } before_the_first_step[] = {
        {"/dev/full", "/dev/full: the trace cannot be written (No space left on device)"},
        {directory.string(), ": the trace cannot be opened for appending (Is a directory)"},
        {(directory / "missing" / "trace.txt").string(),
         "trace.txt: the trace cannot be opened for appending (No such file or directory)"},
    };
    for (const Case& c : before_the_first_step) {
        std::string out;
        EXPECT_EQ(run_command(dir + c.file, &out), EXIT_OUTPUT) << c.file;
        EXPECT_NE(out.find(c.reason), std::string::npos) << out;
        EXPECT_NE(out.find("\"events\": 0,"), std::string::npos) << out;
    }
    // Full in the middle of the run: files may grow to 64 blocks, and the signal that would end the program
    // at the limit is ignored, so the write fails instead.
    std::string out;
    EXPECT_EQ(run_command(dir + (directory / "trace.txt").string(), &out, "ulimit -f 64; trap '' XFSZ; "),
              EXIT_OUTPUT);
    EXPECT_NE(out.find("trace.txt: the trace cannot be written (File too large)"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"events\": 0,"), std::string::npos) << "it failed during the run: " << out;
    EXPECT_NE(out.find("\"completed\": false"), std::string::npos) << out;
}

TEST_F(PelorinSimConfig, ARunThatDoesNotReachItsCyclesIsAFailure) {
    append("medl00.txt", "0 controller_cfg_params.cf"); // nobody may cold-start: the cluster never starts
    append("medl01.txt", "0 controller_cfg_params.cf");
    std::string out;
    EXPECT_EQ(run("--cycles 3", &out), EXIT_HORIZON);
    EXPECT_NE(out.find("did not complete 3 cluster cycles"), std::string::npos) << out;
}

} // namespace
