// A cluster on the default configuration run with described faults and the slot recorder watching, for
// the tests of what the protocol does against them: the recorder's columns are what the observer window
// and --slot-events show.
#pragma once

#include "host/cluster_run.h"
#include "host/fault_plan.h"
#include "host/slot_events.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

// Cluster cycle 80 starts at about 159100 us; its slot 2 (O1's) at about 160600 us.
constexpr double FAULT_REGION_US = 159000.0;
constexpr double ROUND_US = 1000.0; // a TDMA round: four slots of 250

class FaultRunTest : public ::testing::Test {
  protected:
    ClusterConfig config;
    std::unique_ptr<ClusterRun> run = std::make_unique<ClusterRun>();
    std::unique_ptr<SlotRecorder> recorder = std::make_unique<SlotRecorder>();
    std::vector<SlotColumn> columns;
    std::vector<InjectionRecord> rows;

    void SetUp() override {
        std::string why;
        ASSERT_EQ(read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config, &why), ASSEMBLY_OK) << why;
    }
    void TearDown() override {
        finish(); // a test that ended early
        EXPECT_EQ(memory_count(), 0u);
    }
    void finish() {
        if (run->running) {
            detach_slot_recorder(recorder.get());
            finish_run(run.get());
        }
    }
    /// Ends the run and forgets it, for the next case of a test.
    void start_over() {
        finish();
        run = std::make_unique<ClusterRun>();
        recorder = std::make_unique<SlotRecorder>();
        columns.clear();
        rows.clear();
    }
    /// Runs the cluster with the faults (text form) until `until_us`.
    void go(const std::vector<std::string>& faults, double until_us, RunSettings settings = {}) {
        for (const std::string& text : faults) {
            FaultSpec fault;
            std::string why;
            ASSERT_TRUE(parse_fault(text, &fault, &why)) << text << ": " << why;
            settings.faults.push_back(fault);
        }
        start(std::move(settings));
        run_to(until_us);
    }
    /// Builds the cluster with the settings' faults, the slot recorder watching it, without running it.
    void start(RunSettings settings) {
        settings.trace = false;
        RunHooks hooks;
        hooks.on_built = [this](ClusterRun& built) {
            attach_slot_recorder(recorder.get(), &built.cluster);
            recorder->on_column = [this](const SlotRecorder&, const SlotColumn& c) { columns.push_back(c); };
        };
        hooks.on_injection = [this](ClusterRun&, const InjectionRecord& r) {
            rows.push_back(r);
            slot_recorder_injection(recorder.get(), r);
        };
        start_run(run.get(), config, std::move(settings), std::move(hooks));
    }
    /// Runs on until `until_us`, the recorder caught up.
    void run_to(double until_us) {
        ASSERT_EQ(run_until(run.get(), RunLimit{0, until_us}), RunEnd::COMPLETED) << run->message;
        slot_recorder_catch_up(recorder.get());
    }
    std::vector<const SlotColumn*> between(double from_us, double to_us) const {
        std::vector<const SlotColumn*> found;
        for (const SlotColumn& c : columns) {
            if (c.start_us >= from_us && c.start_us < to_us) {
                found.push_back(&c);
            }
        }
        return found;
    }
    /// The first slot from `from_us` on in which `node` is in `state`; null when none is.
    const SlotColumn* first_in_state(unsigned node, uint8_t state, double from_us) const {
        for (const SlotColumn& c : columns) {
            if (c.start_us >= from_us && (c.cells[node].state == state || c.cells[node].worst == state)) {
                return &c;
            }
        }
        return nullptr;
    }
    /// The time of the first row of fault 1 that starts an occurrence or changes a bit.
    double fault_time() const {
        for (const InjectionRecord& r : rows) {
            if (r.fault == 1 && (r.action == ROW_START || r.action == ROW_BIT)) {
                return r.time;
            }
        }
        return -1.0;
    }
    uint32_t node_state(unsigned node) const { return get_protocol_state(run->cluster.controllers[node]); }
};

inline bool member(const SlotColumn& c, unsigned observer, unsigned position) {
    return c.cells[observer].membership != MEMBERSHIP_UNKNOWN &&
           (c.cells[observer].membership >> position & 1u);
}

/// Every one of `nodes` in APPLICATION with the full membership vector in every column.
inline ::testing::AssertionResult whole(const std::vector<const SlotColumn*>& slots,
                                        std::initializer_list<unsigned> nodes, uint8_t vector = ALL_NODES) {
    for (const SlotColumn* c : slots) {
        for (unsigned n : nodes) {
            if (c->cells[n].state != PS_APPLICATION || c->cells[n].worst != PS_APPLICATION ||
                c->cells[n].membership != vector) {
                return ::testing::AssertionFailure() << CLUSTER_NODES[n].name << " at " << c->start_us
                                                     << " us: " << state_name(c->cells[n].state) << " "
                                                     << membership_bits(c->cells[n].membership);
            }
        }
    }
    return ::testing::AssertionSuccess();
}
