// The application's simulation thread on the default configuration: the snapshot at build and while the
// cluster runs, switches that freeze their group, the repair of non-finite messages, "Inject now", the
// fault injector settings, periodic injection and its log, builds that fail, and kernel errors. The model
// advances one pacing cycle at a time (TraceStep returns once the thread parks): deterministic, no sleeps.
#include "ui/log_directory.h"
#include "ui/sine_wave_thread.h"

#include "host/fault_plan.h"
#include "kernel/sim_process.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>

#ifndef PELORIN_DEFAULT_DATA_DIR
#error "PELORIN_DEFAULT_DATA_DIR must name the data/ directory"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr uint8_t APPLICATION = 5;
constexpr int CYCLE_BOUND = 2000000; // pacing cycles before a run counts as stuck

/// Index of a word in Memory(): the four interfaces, then the four register areas.
size_t cni_index(unsigned node, unsigned word) {
    return node * CNI_WORD_COUNT + word;
}
size_t register_index(unsigned node, unsigned word) {
    return NODE_COUNT * CNI_WORD_COUNT + node * REG_MASK_WORDS + word;
}

class SineThreadTest : public ::testing::Test {
  protected:
    fs::path dir;
    fs::path log_file;
    TSineWaveThread::Ptr thread;
    int kernel_errors = 0;

    void SetUp() override {
        dir = make_scratch_directory("pelorin-sine-thread");
        log_file = dir / "injections.csv";
    }
    void TearDown() override {
        thread.reset();
        EXPECT_EQ(memory_count(), 0u) << "the model was not disposed of";
        EXPECT_EQ(kernel_errors, 0);
        fs::remove_all(dir);
    }

    void Build(const fs::path& data = PELORIN_DEFAULT_DATA_DIR) {
        thread =
            TOrvikThread::Create<TSineWaveThread>(SineThreadOptions{data.string(), "", log_file.string()});
        thread->SetSleepPerCycle(0.0);
    }
    void BuildAndRunToApplication() {
        Build();
        ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
        ASSERT_TRUE(TraceUntil([](const SineSnapshot& s) {
            for (uint8_t state : s.protocol_state) {
                if (state != APPLICATION) {
                    return false;
                }
            }
            return s.cluster_cycles >= 5;
        }));
    }
    SineSnapshot Snapshot() {
        SineSnapshot s;
        thread->ReadSnapshot(&s);
        return s;
    }
    /// Traces pacing cycles until `done` holds for the snapshot; false when the bound is reached.
    bool TraceUntil(const std::function<bool(const SineSnapshot&)>& done) {
        for (int cycle = 0; cycle < CYCLE_BOUND; ++cycle) {
            if (done(Snapshot())) {
                return true;
            }
            thread->TraceStep(true);
            kernel_errors += thread->AcknowledgeKernelError() ? 1 : 0;
        }
        return false;
    }
    bool TraceForUs(double span) {
        const double until = Snapshot().sim_time + span;
        return TraceUntil([until](const SineSnapshot& s) { return s.sim_time >= until; });
    }
    template <class F>
    decltype(auto) Locked(F&& f) {
        return thread->WithModelLocked(std::forward<F>(f));
    }
    const FaultInjector& Injector() const { return *thread->GetCluster().fault_injector; }
    uint32_t Injections() {
        return Locked([this] { return Injector().injections; });
    }
    /// Every word an injection could reach.
    std::vector<uint32_t> Memory() {
        return Locked([this] {
            std::vector<uint32_t> words;
            for (TtpController* c : thread->GetCluster().controllers) {
                words.insert(words.end(), cni_words(c->cni), cni_words(c->cni) + CNI_WORD_COUNT);
            }
            for (TtpController* c : thread->GetCluster().controllers) {
                const uint32_t* reg = controller_register_words(c);
                words.insert(words.end(), reg, reg + REG_MASK_WORDS);
            }
            return words;
        });
    }
    static std::vector<size_t> Changed(const std::vector<uint32_t>& a, const std::vector<uint32_t>& b) {
        std::vector<size_t> changed;
        for (size_t i = 0; i < a.size(); ++i) {
            if (a[i] != b[i]) {
                changed.push_back(i);
            }
        }
        return changed;
    }
    /// The rows of a log (header and empty lines left out), of one run or several.
    static size_t CountRows(const fs::path& file) {
        std::ifstream in(file);
        size_t rows = 0;
        for (std::string line; std::getline(in, line);) {
            rows +=
                !line.empty() && line != INJECTION_LOG_FORMAT_LINE && line != INJECTION_LOG_HEADER ? 1 : 0;
        }
        return rows;
    }
    std::vector<InjectionRecord> Logged() const {
        std::vector<InjectionRecord> records;
        std::string why;
        EXPECT_TRUE(read_injection_csv(log_file.string(), &records, &why)) << why;
        return records;
    }
};

// --- The snapshot ---------------------------------------------------------------------------------------

TEST_F(SineThreadTest, BeforeRunNothingIsSimulatedAndTheSnapshotShowsTheBuiltModel) {
    Build();
    const SineSnapshot s = Snapshot();
    EXPECT_EQ(s.sim_time, 0.0);
    EXPECT_EQ(Locked([] { return step_count(); }), 0u);
    EXPECT_EQ(s.laser_hits + s.laser_misses + s.cluster_cycles, 0u);
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        EXPECT_EQ(s.protocol_state[n], Locked([&] {
                      return get_protocol_state(thread->GetCluster().controllers[n]->cni.status);
                  }));
    }
    for (unsigned i = 0; i < SWITCH_COUNT; ++i) {
        EXPECT_TRUE(thread->GetSwitch(static_cast<SineSwitch>(i)));
    }
    EXPECT_FALSE(fs::exists(log_file)) << "no injection, no log";
}

TEST_F(SineThreadTest, SnapshotFollowsTheClusterIntoFullMembership) {
    BuildAndRunToApplication();
    const SineSnapshot s = Snapshot();
    EXPECT_EQ(s.sim_time, thread->GetSimTime()) << "the snapshot is of the last step";
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        for (unsigned p = 0; p < NODE_COUNT; ++p) {
            EXPECT_EQ(s.membership[n][p], 1u) << "node " << n << " position " << p;
        }
    }
    EXPECT_EQ(s.slot_offset[NODE_O2], 0.0);
    EXPECT_TRUE(s.motor_angle >= 0.0f && s.motor_angle < 1.0f);
    Locked([&] {
        const Cluster& c = thread->GetCluster();
        EXPECT_EQ(s.cluster_cycles, c.apps[NODE_O2].os->cycle_count);
        EXPECT_EQ(s.laser_hits, c.laser->hits);
        EXPECT_EQ(s.laser_misses, c.laser->misses);
    });
}

TEST_F(SineThreadTest, SwitchedOffGroupsKeepTheirLastValuesWhileTimeGoesOn) {
    BuildAndRunToApplication();
    thread->SetSwitch(SWITCH_NODE_DATA, false);
    thread->SetSwitch(SWITCH_NODE_STATE, false);
    const SineSnapshot before = Snapshot();
    ASSERT_TRUE(TraceForUs(5000.0));
    const SineSnapshot frozen = Snapshot();
    EXPECT_GT(frozen.cluster_cycles, before.cluster_cycles) << "always gathered";
    EXPECT_EQ(frozen.motor_angle, before.motor_angle);
    EXPECT_EQ(std::memcmp(frozen.message_values, before.message_values, sizeof before.message_values), 0);
    EXPECT_EQ(std::memcmp(frozen.slot_offset, before.slot_offset, sizeof before.slot_offset), 0);

    thread->SetSwitch(SWITCH_NODE_DATA, true);
    thread->TraceStep(true);
    EXPECT_NE(Snapshot().motor_angle, before.motor_angle) << "gathered again once switched on";
}

TEST_F(SineThreadTest, NonFiniteMessageValuesAreRepairedInTheInterface) {
    BuildAndRunToApplication();
    // O2's copies of M1's pair (addresses 0 and 3): a NaN and a negative infinity.
    const auto data_of = [this](uint32_t address) {
        return message_at(thread->GetCluster().controllers[NODE_O2]->cni, address) + MESSAGE_HEADER_BYTES;
    };
    const uint32_t bad[2] = {std::bit_cast<uint32_t>(std::numeric_limits<float>::quiet_NaN()),
                             std::bit_cast<uint32_t>(-std::numeric_limits<float>::infinity())};
    Locked([&] {
        std::memcpy(data_of(0), &bad[0], 4);
        std::memcpy(data_of(3), &bad[1], 4);
    });
    thread->TraceStep(true);
    const SineSnapshot s = Snapshot();
    EXPECT_EQ(s.message_values[NODE_O2][NODE_M1][0], std::ldexp(1.0f, 127)); // bits 0x7f000000
    EXPECT_EQ(s.message_values[NODE_O2][NODE_M1][1], std::ldexp(1.0f, 127));
    Locked([&] {
        for (uint32_t address : {0u, 3u}) {
            uint32_t bits = 0;
            std::memcpy(&bits, data_of(address), 4);
            EXPECT_EQ(bits, NON_FINITE_REPAIR_MASK)
                << "rewritten in the interface itself, address " << address;
        }
    });
}

// --- Unpaced ("Fast") ------------------------------------------------------------------------------------

TEST_F(SineThreadTest, UnpacedTheRunIsTheSameRunStepForStepAndTheSnapshotIsCurrentWhenItStops) {
    constexpr uint32_t SLOTS = 400;
    std::vector<uint32_t> memory[2];
    double stopped_at[2] = {};
    for (const bool unpaced : {true, false}) {
        Build();
        thread->SetUnpaced(unpaced);
        thread->StepSlots(SLOTS);
        ASSERT_TRUE(thread->WaitStopped(60s));
        memory[unpaced] = Memory();
        stopped_at[unpaced] = thread->GetSimTime();
        const SineSnapshot s = Snapshot();
        EXPECT_EQ(s.sim_time, stopped_at[unpaced]) << "gathered when the unpaced cycle ended";
        EXPECT_EQ(s.cluster_cycles,
                  Locked([this] { return thread->GetCluster().apps[NODE_O2].os->cycle_count; }));
        SlotEventsCopy copy;
        thread->ReadSlotEvents(&copy);
        EXPECT_EQ(copy.columns.total, SLOTS) << "the step's stop is made at the very step";
        thread.reset();
    }
    EXPECT_EQ(stopped_at[0], stopped_at[1]);
    EXPECT_TRUE(memory[0] == memory[1]) << "every interface and register the same";
}

TEST_F(SineThreadTest, UnpacedAValueAFaultMakesNonFiniteIsRepairedInTheStepThatWroteIt) {
    // Bits 7-14 of message_area_word[k] are bits 23-30, the exponent, of the float at area bytes 4k - 2:
    // word 4 holds O1's copy of M2's value (address 6), word 1 O2's copy of M1's (address 0). A memory
    // fault makes the first non-finite at once; a stuck fault holds the second's exponent, which the hold
    // puts back after every step that the repair took it out in. A probe, one more bit set in the same
    // word, logs the word as the steps before it left it: repaired, paced or not.
    constexpr double FLIP_AT_US = 150000.0;
    constexpr double FLIP_PROBE_AFTER_US = 0.1; // the very next event
    constexpr double STUCK_FROM_US = 160000.0;
    constexpr double STUCK_PROBE_AFTER_US = 7.0; // after other steps, in which the hold wrote
    constexpr uint32_t EXPONENT_BITS = 0x7f80;   // of the word
    constexpr uint32_t SLOTS = 800;
    SineThreadOptions options{PELORIN_DEFAULT_DATA_DIR, "", ""};
    for (const std::string& text :
         {"memory node=O1 field=message_area_word[4] mask=0x7f80 effect=set at_us=" +
              std::to_string(FLIP_AT_US),
          "memory node=O1 field=message_area_word[4] bit=0 effect=set at_us=" +
              std::to_string(FLIP_AT_US + FLIP_PROBE_AFTER_US),
          "stuck node=O2 field=message_area_word[1] mask=0x7f80 value=1 at_us=" +
              std::to_string(STUCK_FROM_US),
          "memory node=O2 field=message_area_word[1] bit=0 effect=set at_us=" +
              std::to_string(STUCK_FROM_US + STUCK_PROBE_AFTER_US)}) {
        FaultSpec fault;
        std::string why;
        ASSERT_TRUE(parse_fault(text, &fault, &why)) << why;
        options.lesson.faults.push_back(fault);
    }
    std::vector<uint32_t> memory[2];
    std::vector<std::string> rows[2];
    for (const bool unpaced : {true, false}) {
        thread = TOrvikThread::Create<TSineWaveThread>(options);
        thread->SetUnpaced(unpaced);
        thread->StepSlots(SLOTS);
        ASSERT_TRUE(thread->WaitStopped(60s));
        ASSERT_GT(thread->GetSimTime(), STUCK_FROM_US + STUCK_PROBE_AFTER_US);
        memory[unpaced] = Memory();
        unsigned probes = 0;
        for (const InjectionRecord& row : thread->RunRows()) {
            rows[unpaced].push_back(injection_log_row(row));
            if (row.action == ROW_BIT && row.bit == 0) {
                ++probes;
                EXPECT_NE(row.before & EXPONENT_BITS, EXPONENT_BITS) << "not repaired before " << row.time;
            }
        }
        EXPECT_EQ(probes, 2u);
        thread.reset();
    }
    EXPECT_EQ(rows[0], rows[1]);
    EXPECT_TRUE(memory[0] == memory[1]) << "every interface and register the same, paced or not";
}

TEST(SlotOffset, IsFoldedOnceIntoHalfARoundOf250AndScaled) {
    EXPECT_EQ(slot_offset_of(1000.5, 1000.0), 50.0);
    EXPECT_EQ(slot_offset_of(1125.0, 1000.0), 12500.0) << "125 itself is not folded";
    EXPECT_EQ(slot_offset_of(1130.0, 1000.0), -12000.0);
    EXPECT_EQ(slot_offset_of(870.0, 1000.0), 12000.0);
    EXPECT_EQ(slot_offset_of(1500.0, 1000.0), 25000.0) << "folded once only";
}

// --- Inject now, the fault injector settings, the log ---------------------------------------------------

TEST_F(SineThreadTest, InjectNowFlipsOneBitOfO1sInterfaceOnlyAndLogsIt) {
    BuildAndRunToApplication();
    const std::vector<uint32_t> before = Memory();
    thread->InjectNow();
    const std::vector<uint32_t> after = Memory();
    const std::vector<size_t> changed = Changed(before, after);
    ASSERT_EQ(changed.size(), 1u);
    const std::vector<InjectionRecord> logged = Logged();
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(changed[0], cni_index(NODE_O1, logged[0].word));
    EXPECT_EQ(std::popcount(before[changed[0]] ^ after[changed[0]]), 1) << "flip, the effect at creation";
    EXPECT_EQ(logged[0].before, before[changed[0]]);
    EXPECT_EQ(logged[0].after, after[changed[0]]);
    EXPECT_EQ(logged[0].source, SOURCE_NOW);
}

TEST_F(SineThreadTest, ChosenEffectAndTargetActOnInjectNow) {
    BuildAndRunToApplication();
    thread->SetFaultEffect(FAULT_RESET);
    thread->SetFaultTarget(TARGET_REG);
    const std::vector<uint32_t> before = Memory();
    for (int i = 0; i < 40; ++i) {
        thread->InjectNow();
    }
    const std::vector<uint32_t> after = Memory();
    for (size_t i : Changed(before, after)) {
        EXPECT_GE(i, register_index(NODE_O1, 0));
        EXPECT_LT(i, register_index(NODE_O2, 0)) << "O1's registers only";
        EXPECT_EQ(after[i] & ~before[i], 0u) << "reset clears bits only";
    }
    std::vector<InjectionRecord> logged = Logged();
    ASSERT_EQ(logged.size(), 40u);
    for (const InjectionRecord& r : logged) {
        EXPECT_EQ(r.target, TARGET_REG);
        EXPECT_EQ(r.after, r.before & ~(1u << r.bit));
    }

    thread->SetFaultEffect(FAULT_SET);
    thread->SetFaultTarget(TARGET_CNI);
    thread->InjectNow();
    const InjectionRecord last = Logged().back();
    EXPECT_EQ(last.target, TARGET_CNI);
    EXPECT_EQ(last.after, last.before | (1u << last.bit));
}

TEST_F(SineThreadTest, PeriodicInjectionFollowsTheRateAndStopsAtZero) {
    BuildAndRunToApplication();
    thread->SetFaultEffect(FAULT_SET);
    thread->SetFaultRate(1000.0); // a mean of one per millisecond
    ASSERT_TRUE(TraceForUs(100000.0));
    const uint32_t injected = Injections();
    EXPECT_GT(injected, 50u);
    EXPECT_LT(injected, 200u);
    const std::vector<InjectionRecord> logged = Logged();
    ASSERT_EQ(logged.size(), injected) << "every periodic injection is logged";
    EXPECT_EQ(logged.back().source, SOURCE_PERIODIC);

    thread->SetFaultRate(-1.0); // refused: the rate stays
    thread->SetFaultRate(std::nan(""));
    thread->SetFaultRate(1e300); // beyond one fault per microsecond
    thread->SetFaultRate(std::nextafter(MAX_FAULT_RATE_PER_S, INFINITY));
    EXPECT_EQ(Locked([this] { return Injector().rate; }), 1000.0);
    thread->SetFaultRate(0.0);
    ASSERT_TRUE(TraceForUs(20000.0));
    EXPECT_EQ(Injections(), injected);
}

TEST_F(SineThreadTest, EachStartOfTheProgramBeginsAFreshInjectionLogAndKeepsThePreviousOne) {
    // Three starts of the program, the second with a Rewind (two models), each model injecting `start + 2`.
    for (int start = 0; start < 3; ++start) {
        std::string why;
        ASSERT_TRUE(rotate_injection_log(log_file.string(), &why)) << why;
        for (int model = 0; model < (start == 1 ? 2 : 1); ++model) {
            Build();
            for (int i = 0; i < start + 2; ++i) {
                thread->InjectNow();
            }
            thread.reset();
        }
    }
    EXPECT_EQ(Logged().size(), 4u) << "the last start's only: one run, which a replay takes";
    EXPECT_EQ(CountRows(previous_injection_log(log_file.string())), 6u) << "the start before, both models";
    EXPECT_FALSE(fs::exists(dir / "injections.1.1.csv")) << "nothing older is kept";
}

TEST_F(SineThreadTest, InjectionsGoOnWhenTheLogCannotBeWritten) {
    log_file = dir / "no such directory" / "injections.csv";
    Build();
    thread->InjectNow();
    thread->InjectNow();
    EXPECT_EQ(Injections(), 2u);
}

// --- Failures -------------------------------------------------------------------------------------------

TEST_F(SineThreadTest, ATraceThatCannotBeWrittenIsSaidOnceAndTheSimulationGoesOn) {
    ::testing::internal::CaptureStderr();
    thread =
        TOrvikThread::Create<TSineWaveThread>(SineThreadOptions{PELORIN_DEFAULT_DATA_DIR, "/dev/full", ""});
    thread->SetSleepPerCycle(0.0);
    ASSERT_TRUE(TraceForUs(5000.0));
    const std::string said = ::testing::internal::GetCapturedStderr();
    const std::string line = "pelorin: /dev/full: the trace cannot be written (No space left on device); "
                             "the simulation goes on without it\n";
    EXPECT_EQ(said, line);
}

TEST_F(SineThreadTest, MissingInputFileIsReportedWithoutEndingTheProgram) {
    const std::pair<const char*, int> cases[] = {{"medl02.txt", ASSEMBLY_MEDL_FAILED},
                                                 {"clkdrift.txt", ASSEMBLY_DRIFT_FAILED}};
    for (const auto& [missing, code] : cases) {
        const fs::path data = dir / missing;
        fs::create_directories(data);
        for (const auto& entry : fs::directory_iterator(PELORIN_DEFAULT_DATA_DIR)) {
            if (entry.is_regular_file() && entry.path().filename() != missing) { // the lists and drifts
                fs::copy_file(entry.path(), data / entry.path().filename());
            }
        }
        Build(data);
        EXPECT_TRUE(thread->BuildFailed());
        EXPECT_EQ(thread->BuildResult(), code);
        EXPECT_NE(thread->BuildError().find(missing), std::string::npos) << thread->BuildError();
        thread->InjectNow(); // commands on a model that was never built change nothing
        thread->SetFaultTarget(TARGET_REG);
        thread.reset();
        EXPECT_EQ(memory_count(), 0u) << "the half-built model is disposed of";
    }
}

TEST_F(SineThreadTest, DoubtfulConfigurationIsBuiltWithItsWarnings) {
    const fs::path data = dir / "data";
    fs::copy(PELORIN_DEFAULT_DATA_DIR, data);
    std::ofstream(data / "medl02.txt", std::ios::app) << "65686 role_list.bus_guardian.bg_slot_duration\n";
    std::ifstream list(data / "medl02.txt");
    const auto appended_line = std::count(std::istreambuf_iterator<char>(list), {}, '\n');
    Build(data);
    ASSERT_FALSE(thread->BuildFailed()) << thread->BuildError();
    ASSERT_EQ(thread->BuildWarnings().size(), 1u);
    EXPECT_NE(thread->BuildWarnings()[0].find("medl02.txt:" + std::to_string(appended_line) +
                                              ": key 'role_list.bus_guardian.bg_slot_duration'"),
              std::string::npos)
        << thread->BuildWarnings()[0];
}

TEST_F(SineThreadTest, KernelErrorIsAnnouncedAndWaitsForItsAcknowledgement) {
    Build();
    std::mutex told_lock;
    std::vector<int> told;
    thread->SetErrorListener([&](uint8_t code, const char*) {
        std::lock_guard<std::mutex> lock(told_lock);
        told.push_back(code);
    });
    EXPECT_FALSE(thread->AcknowledgeKernelError()) << "nothing to acknowledge yet";
    Locked([] {
        while (SimProcess* p = calendar()->suc_in_sqs) {
            cancel(p); // an empty sequencing set: every step fails (code 72)
        }
    });
    thread->TraceStep(true); // returns once the error awaits acknowledgement
    ASSERT_TRUE(thread->PendingError().has_value());
    {
        std::lock_guard<std::mutex> lock(told_lock);
        EXPECT_EQ(told, std::vector<int>{72});
    }
    EXPECT_TRUE(thread->AcknowledgeKernelError());
    ASSERT_TRUE(thread->WaitStopped(30s));
    EXPECT_FALSE(thread->PendingError().has_value());
}

} // namespace
