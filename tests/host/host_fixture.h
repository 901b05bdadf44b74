// A whole cluster assembled from the default configuration in data/, for host and application tests.
#pragma once

#include "host/cluster.h"
#include "kernel/trace.h"
#include "ttpc/sl1func.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#ifndef PELORIN_DEFAULT_DATA_DIR
#error "PELORIN_DEFAULT_DATA_DIR must name the data/ directory"
#endif

class HostTest : public ::testing::Test {
  protected:
    std::unique_ptr<Cluster> cluster = std::make_unique<Cluster>();
    std::filesystem::path trace_file;

    void SetUp() override {
        trace_file = make_scratch_directory("pelorin-host") / "debug.txt";
        trace_to_file(trace_file.c_str());
        inic_kernel();
        std::string why;
        ClusterConfig config;
        ASSERT_EQ(read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config, &why), ASSEMBLY_OK) << why;
        assemble_cluster(cluster.get(), config);
    }
    void TearDown() override {
        trace_off();
        dispose_all();
        EXPECT_EQ(memory_count(), 0u);
        std::filesystem::remove_all(trace_file.parent_path());
    }
    void run_until(double t) {
        while (calendar()->suc_in_sqs != nullptr && calendar()->suc_in_sqs->evtime <= t) {
            ASSERT_TRUE(next_event());
        }
    }
    std::string trace_text() const {
        std::ifstream in(trace_file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    bool traced(const std::string& object, const std::string& text) const {
        return trace_text().find(": " + object + ": " + text + "\n") != std::string::npos;
    }
};

/// A process that runs a test action at a given time (so the action sees that simulated time).
struct Action : SimProcess {
    std::function<void()> run;
};

inline void action_body(SimProcess* process) {
    static_cast<Action*>(process)->run();
    passivate(SIM_START + 1);
}

inline void at_time(double t, std::function<void()> run) {
    auto* action = sim_new<Action>();
    inic_process(action, action_body);
    action->name = "Test";
    action->run = std::move(run);
    reactivate_at(action, t);
}
