// The whole cluster on the default configuration, run through the same code as pelorin-sim.
#include "cli/runner.h"

#include "kernel/trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>

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
// update the value on purpose when behaviour changes.
constexpr uint64_t FINGERPRINT_20_CYCLES = 0x1c4bb876e0f7ec19ull;

TEST(ClusterRun, TraceFingerprintOfAShortRunIsStable) {
    RunOptions options = default_run(20);
    options.fingerprint = true;
    RunSummary first = run_simulation(options);
    RunSummary second = run_simulation(options);
    EXPECT_EQ(first.trace_fingerprint, second.trace_fingerprint);
    EXPECT_EQ(first.events, second.events);
    EXPECT_EQ(first.trace_fingerprint, FINGERPRINT_20_CYCLES) << std::hex << first.trace_fingerprint;
}

/// A process that holds 0 forever: simulated time stops advancing.
void spinner_body(SimProcess*) {
    hold(0.0, SIM_START + 1);
}

TEST(ClusterRun, RunWhoseTimeStopsAdvancingEndsWithAMessage) {
    RunOptions options = default_run(100);
    bool planted = false;
    options.between_steps = [&](const Cluster&) {
        if (!planted && sim_time() > 5000) {
            auto* spinner = sim_new<SimProcess>();
            inic_process(spinner, spinner_body);
            reactivate_at(spinner, sim_time());
            planted = true;
        }
        return true;
    };
    RunSummary s = run_simulation(options);
    EXPECT_EQ(s.end, RunEnd::TIME_STUCK);
    EXPECT_NE(s.message.find("simulated time stopped advancing"), std::string::npos) << s.message;
    EXPECT_LT(s.sim_time_us, 6000.0);
    EXPECT_EQ(memory_count(), 0u);
}

// --- The command line ------------------------------------------------------------------------------------

int run_command(const std::string& arguments, std::string* output) {
    std::string command = std::string(PELORIN_SIM) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output->append(buffer, n);
    }
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PelorinSim, PrintsJsonAndReportsUsageAndStartupErrors) {
    std::string out;
    EXPECT_EQ(run_command(std::string("--dir ") + PELORIN_DEFAULT_DATA_DIR + " --cycles 30 --no-trace --json",
                          &out),
              0);
    EXPECT_NE(out.find("\"cluster_cycles\": 30"), std::string::npos) << out;
    EXPECT_NE(out.find("\"state_name\": \"APPLICATION\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"laser\""), std::string::npos) << out;

    out.clear();
    EXPECT_EQ(run_command("--cycles -3", &out), 2);
    out.clear();
    EXPECT_EQ(run_command("--effect melt", &out), 2);
    out.clear();
    EXPECT_EQ(run_command("--dir /nonexistent-pelorin --no-trace", &out), 255);
    EXPECT_NE(out.find("Probably one or more MEDL tables could not be read from file."), std::string::npos);
    EXPECT_NE(out.find("clkdrift.txt"), std::string::npos) << out;
}

} // namespace
