// The slot recorder on the default cluster: what one fault into O1 leaves in the slots and counters, errors
// counted by the flag the controller raised, the bounded history, and the rules the cells are built from.
#include "host/cluster_run.h"
#include "host/slot_events.h"
#include "ttpc/fp1busg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>

namespace {

constexpr uint32_t CONTROLLER_ON_WORD = 218;
constexpr uint32_t EXTERNAL_CORRECTION_WORD = 189;
constexpr uint32_t HOST_LIFESIGN_WORD = 188;
constexpr uint32_t MCR_IMMEDIATE_WORD = 190;
constexpr uint32_t MCR_MODE_LOW_WORD = 191;
constexpr uint32_t O1_POSITION = 2; // O1's membership position, and its slot in each round of four
constexpr uint32_t SLOTS_PER_ROUND = 4;
constexpr uint8_t O1_BIT = 1u << O1_POSITION;
constexpr int STEP_BOUND = 1000000;

bool is_o1_slot(const SlotColumn& column) {
    return column.medl_position % SLOTS_PER_ROUND == O1_POSITION;
}

class SlotRecorderTest : public ::testing::Test {
  protected:
    ClusterConfig config;
    std::unique_ptr<ClusterRun> run = std::make_unique<ClusterRun>();
    std::unique_ptr<SlotRecorder> recorder = std::make_unique<SlotRecorder>();

    void SetUp() override {
        std::string why;
        ASSERT_EQ(read_cluster_config(PELORIN_DEFAULT_DATA_DIR, {}, &config, &why), ASSEMBLY_OK) << why;
        RunSettings settings;
        settings.trace = false;
        RunHooks hooks;
        hooks.on_injection = [this](ClusterRun&, const InjectionRecord& r) {
            slot_recorder_injection(recorder.get(), r);
        };
        start_run(run.get(), config, settings, std::move(hooks));
        attach_slot_recorder(recorder.get(), &run->cluster);
    }
    void TearDown() override {
        detach_slot_recorder(recorder.get());
        finish_run(run.get());
        EXPECT_EQ(memory_count(), 0u);
    }
    void RunToCycle(uint32_t cycles) {
        ASSERT_EQ(run_until(run.get(), RunLimit{cycles, cycle_horizon_us(cycles)}), RunEnd::COMPLETED);
    }
    /// Waits until O1 is about to start its own slot (it has computed the start), then flips `bit` of `word`.
    void FlipBeforeO1Slot(uint32_t word, uint32_t bit) {
        TtpController* o1 = run->cluster.controllers[NODE_O1];
        while (!(get_medl_position(o1->working_status.cstate) % SLOTS_PER_ROUND == O1_POSITION &&
                 o1->action_time > sim_time())) {
            ASSERT_EQ(run_step(run.get()), StepResult::STEPPED);
        }
        ASSERT_TRUE(inject_bit(run->cluster.fault_injector, word, bit, FAULT_FLIP, SOURCE_NOW));
    }
    const SlotCell& O1(uint64_t slot) const { return recorder->columns.at(slot).cells[NODE_O1]; }
    /// Steps until `done` holds; false after `bound` steps.
    bool StepUntil(const std::function<bool()>& done, int bound = STEP_BOUND) {
        for (int i = 0; i < bound; ++i) {
            if (done()) {
                return true;
            }
            if (run_step(run.get()) != StepResult::STEPPED) {
                return false;
            }
        }
        return false;
    }
    /// Steps until the open slot has closed, so what happened in it is in the last column.
    void FinishSlot() {
        const uint64_t slots = recorder->columns.total;
        ASSERT_TRUE(StepUntil([&] { return recorder->columns.total > slots; }));
    }
    /// The slot the recorder put injection `number` in.
    uint64_t SlotOfInjection(uint64_t number) const {
        for (uint64_t s = recorder->columns.first(); s <= recorder->columns.total; ++s) {
            if (O1(s).injections > 0 && O1(s).first_injection == number) {
                return s;
            }
        }
        return 0;
    }
};

TEST_F(SlotRecorderTest, SwitchingO1OffIsOneFreezeOneStartAndOneLeaveAndReentry) {
    RunToCycle(30);
    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, CONTROLLER_ON_WORD, 0, FAULT_FLIP, SOURCE_NOW));
    RunToCycle(60);

    const NodeCounters& o1 = recorder->counters[NODE_O1];
    EXPECT_EQ(o1.freezes, 1u);
    EXPECT_EQ(o1.starts, 2u) << "the start-up and the restart by its host";
    EXPECT_EQ(o1.left, 1u);
    EXPECT_EQ(o1.reentered, 1u);
    EXPECT_EQ(o1.worst, PS_FREEZE);
    for (unsigned kind = 0; kind < ERROR_KIND_COUNT; ++kind) {
        EXPECT_EQ(o1.errors[kind], 0u)
            << "a controller switched off raises no error: " << error_kind_name(kind);
    }
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        const NodeCounters& k = recorder->counters[n];
        EXPECT_EQ(k.freezes + k.left + k.reentered, 0u) << CLUSTER_NODES[n].name;
        EXPECT_EQ(k.starts, 1u) << CLUSTER_NODES[n].name;
    }

    // From the slot of the injection: O1 freezes, is silent while it restarts and integrates (the others
    // judge its slot null and drop it from their vectors), then sends again and is judged correct.
    const uint64_t injected = SlotOfInjection(1);
    ASSERT_NE(injected, 0u);
    uint64_t frozen = injected;
    while (O1(frozen).worst != PS_FREEZE) {
        ASSERT_LT(frozen, injected + 1) << "O1 notices at its next wait, at the latest its next slot start";
        frozen += 1;
    }
    EXPECT_EQ(O1(frozen - 1).state, PS_APPLICATION);
    EXPECT_NE(recorder->columns.at(frozen).flags & COLUMN_LEFT_APPLICATION, 0);
    uint64_t back = frozen + 1;
    for (; O1(back).sent == 0; ++back) {
        ASSERT_TRUE(recorder->columns.has(back + 1)) << "O1 never sent again";
        const SlotColumn& slot = recorder->columns.at(back);
        if (is_o1_slot(slot)) {
            EXPECT_EQ(slot.cells[NODE_O2].judgement, JUDGED_NULL) << "slot " << back;
            EXPECT_EQ(slot.cells[NODE_M1].membership & O1_BIT, 0) << "slot " << back;
        }
    }
    EXPECT_TRUE(is_o1_slot(recorder->columns.at(back)));
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        EXPECT_EQ(recorder->columns.at(back).cells[n].judgement, JUDGED_CORRECT) << CLUSTER_NODES[n].name;
    }
    EXPECT_NE(recorder->columns.at(back).cells[NODE_M2].membership & O1_BIT, 0);
    EXPECT_NE(recorder->columns.at(back).flags & COLUMN_MEMBERSHIP_CHANGED, 0);
    EXPECT_EQ(O1(back + 8).state, PS_APPLICATION);
}

TEST_F(SlotRecorderTest, ErrorsAreCountedByTheFlagRaisedOrTheStateLeft) {
    RunToCycle(30);
    // A corrupted external correction bends O1's clock beyond what clock synchronisation accepts.
    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, EXTERNAL_CORRECTION_WORD, 6, FAULT_FLIP, SOURCE_NOW));
    RunToCycle(60);
    EXPECT_EQ(recorder->counters[NODE_O1].errors[ERROR_CLOCK_SYNC], 1u);
    EXPECT_EQ(recorder->counters[NODE_O1].freezes, 1u);

    // A host life sign spoilt just before O1's own slot: PASSIVE, with no error flag.
    reset_slot_counters(recorder.get());
    EXPECT_EQ(recorder->counters[NODE_O1].worst, PS_APPLICATION);
    FlipBeforeO1Slot(HOST_LIFESIGN_WORD, 0);
    RunToCycle(90);
    const NodeCounters& o1 = recorder->counters[NODE_O1];
    EXPECT_EQ(o1.errors[ERROR_HOST_LIFESIGN], 1u);
    EXPECT_EQ(o1.worst, PS_PASSIVE);
    EXPECT_EQ(o1.freezes + o1.errors[ERROR_CLOCK_SYNC] + o1.errors[ERROR_NBW], 0u);

    // An immediate change to mode 1, which application slots do not permit: PASSIVE by a host error, not
    // for the life sign.
    FlipBeforeO1Slot(MCR_IMMEDIATE_WORD, 0);
    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, MCR_MODE_LOW_WORD, 0, FAULT_FLIP, SOURCE_NOW));
    RunToCycle(120);
    EXPECT_GT(o1.errors[ERROR_MODE_VIOLATION], 0u)
        << "refused, the request stays and is refused at each own slot";
    EXPECT_EQ(o1.errors[ERROR_HOST_LIFESIGN], 1u);
}

TEST_F(SlotRecorderTest, KeepsTheLastSlotsWhateverTheRunLength) {
    RunToCycle(SLOT_HISTORY / 8 + 100); // eight slots a cycle
    const auto& columns = recorder->columns;
    ASSERT_GT(columns.total, SLOT_HISTORY);
    EXPECT_EQ(columns.size(), SLOT_HISTORY);
    EXPECT_EQ(columns.first(), columns.total - SLOT_HISTORY + 1);
    for (uint64_t s = columns.first() + 1; s <= columns.total; ++s) {
        ASSERT_EQ(columns.at(s).number, s);
        ASSERT_NEAR(columns.at(s).start_us - columns.at(s - 1).start_us, 250.0, 0.1) << "slot " << s;
        ASSERT_EQ(columns.at(s).flags, 0) << "a quiet cluster has no effects and no gaps";
    }
}

TEST_F(SlotRecorderTest, ASlotAfterTheWholeClusterWasDownFollowsAGap) {
    RunToCycle(30);
    const uint64_t before = recorder->columns.total;
    for (TtpController* c : run->cluster.controllers) {
        cni_hooks.write_controller_on(c->cni, 0); // every controller switched off at once
    }
    RunToCycle(60);
    uint64_t gaps = 0;
    for (uint64_t s = before + 1; s <= recorder->columns.total; ++s) {
        gaps += (recorder->columns.at(s).flags & COLUMN_AFTER_GAP) != 0 ? 1 : 0;
    }
    EXPECT_EQ(gaps, 1u) << "the restart's cold start follows the silence";
    EXPECT_EQ(recorder->counters[NODE_M2].freezes, 1u);
}

TEST_F(SlotRecorderTest, AFreezeOfANodeAlreadyOutOfApplicationIsAnEffect) {
    RunToCycle(30);
    recorder->stop_on_effect = true;
    TtpController* o1 = run->cluster.controllers[NODE_O1];
    FlipBeforeO1Slot(HOST_LIFESIGN_WORD, 0); // PASSIVE at its own slot: an effect of its own
    ASSERT_TRUE(StepUntil([&] { return get_protocol_state(o1) == PS_PASSIVE; }));
    FinishSlot();
    recorder->effect_column = 0;

    // Switched off while passive: it freezes without leaving APPLICATION, which it had left already.
    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, CONTROLLER_ON_WORD, 0, FAULT_FLIP, SOURCE_NOW));
    ASSERT_TRUE(StepUntil([&] { return get_protocol_state(o1) == PS_FREEZE; }));
    FinishSlot();
    const SlotColumn& frozen = recorder->columns.at(recorder->columns.total);
    EXPECT_EQ(frozen.cells[NODE_O1].worst, PS_FREEZE);
    EXPECT_EQ(frozen.flags & COLUMN_LEFT_APPLICATION, 0);
    EXPECT_NE(frozen.flags & COLUMN_NODE_FROZE, 0);
    EXPECT_NE(frozen.cells[NODE_O1].events & CELL_FROZE, 0);
    EXPECT_EQ(frozen.cells[NODE_M1].events, 0);
    EXPECT_EQ(recorder->effect_column, frozen.number) << "stop on effect stops there";
}

TEST_F(SlotRecorderTest, ABusGuardianFailureIsAnEffectOfItsSlotAlsoWhenTheNodeIsDownAlready) {
    RunToCycle(30);
    recorder->stop_on_effect = true;
    TtpController* o1 = run->cluster.controllers[NODE_O1];
    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, CONTROLLER_ON_WORD, 0, FAULT_FLIP, SOURCE_NOW));
    ASSERT_TRUE(StepUntil([&] { return get_protocol_state(o1) == PS_FREEZE; }));
    // Until the others have dropped it from their vectors (in its next, silent, slot).
    const uint64_t frozen = recorder->columns.total + 1;
    ASSERT_TRUE(StepUntil([&] {
        return recorder->columns.total > frozen &&
               (recorder->columns.at(recorder->columns.total).flags & COLUMN_MEMBERSHIP_CHANGED) != 0;
    }));
    ASSERT_EQ(get_protocol_state(o1), PS_FREEZE) << "still down, not yet restarted by its host";
    recorder->effect_column = 0;

    // While O1 is frozen, its trigger is raised and dropped outside the window, as a corrupted controller
    // would drive it: a Node Failure, however short, and nothing else.
    BusGuardian* guardian = o1->bus_guardian;
    const uint32_t failures = guardian->failure_count;
    if (guardian->trigger == 0) {
        trigger(guardian, 1);
    }
    trigger(guardian, 0);
    ASSERT_EQ(guardian->failure_count, failures + 1);
    FinishSlot();
    const SlotColumn& failed = recorder->columns.at(recorder->columns.total);
    EXPECT_EQ(failed.flags & COLUMN_EFFECTS, COLUMN_GUARDIAN_FAILED) << "the one effect of the slot";
    EXPECT_NE(failed.flags & COLUMN_GUARDIAN_FAILED, 0);
    EXPECT_NE(failed.cells[NODE_O1].events & CELL_GUARDIAN_FAILED, 0);
    EXPECT_EQ(failed.cells[NODE_O2].events, 0);
    EXPECT_EQ(recorder->effect_column, failed.number) << "stop on effect stops there";
    EXPECT_EQ(recorder->counters[NODE_O1].guardian_failures, 1u);
}

/// The texts of the reasons kept for node `node`, oldest first.
std::vector<std::string> reasons_of(const SlotRecorder& recorder, unsigned node) {
    std::vector<std::string> texts;
    for (uint64_t n = recorder.reasons.first(); n <= recorder.reasons.total; ++n) {
        if (recorder.reasons.at(n).node == node) {
            texts.push_back(recorder.reasons.at(n).text);
        }
    }
    return texts;
}

TEST_F(SlotRecorderTest, ReasonsSayInOneLineWhichNodeLeftAndWhyAndTheModeIsThatOfTheCState) {
    RunToCycle(30);
    EXPECT_EQ(recorder->reasons.total, 0u) << "a quiet start-up leaves no one";
    EXPECT_EQ(cluster_mode_text(recorder->columns.at(recorder->columns.total)), "Cluster mode 2");

    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, CONTROLLER_ON_WORD, 0, FAULT_FLIP, SOURCE_NOW));
    RunToCycle(60);
    EXPECT_EQ(reasons_of(*recorder, NODE_O1),
              (std::vector<std::string>{
                  "O1 left APPLICATION for FREEZE: frozen without a protocol error: its controller was "
                  "switched off or halted",
                  "O1 left the membership: M1, M2, O2 heard nothing in its slot (null frame)"}));
    const ReasonLine& left = recorder->reasons.at(2);
    EXPECT_GT(left.slot, recorder->reasons.at(1).slot) << "dropped in its next slot, the silent one";
    EXPECT_TRUE(recorder->columns.has(left.slot));
    EXPECT_DOUBLE_EQ(left.time_us, recorder->columns.at(left.slot).end_us);

    // A corrupted external correction: the error it raised is the reason.
    ASSERT_TRUE(inject_bit(run->cluster.fault_injector, EXTERNAL_CORRECTION_WORD, 6, FAULT_FLIP, SOURCE_NOW));
    RunToCycle(90);
    const std::vector<std::string> clock = reasons_of(*recorder, NODE_O1);
    ASSERT_GE(clock.size(), 3u);
    EXPECT_EQ(clock[2], "O1 left APPLICATION for FREEZE: clock synchronisation error: its clock needed a "
                        "correction above 0.45 macroticks");

    // A spoilt host life sign: no flag, the state it went to tells.
    FlipBeforeO1Slot(HOST_LIFESIGN_WORD, 0);
    RunToCycle(120);
    const std::vector<std::string> lifesign = reasons_of(*recorder, NODE_O1);
    EXPECT_NE(std::find(lifesign.begin() + 3, lifesign.end(),
                        "O1 left APPLICATION for PASSIVE: no host life sign at its own slot"),
              lifesign.end());
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_TRUE(reasons_of(*recorder, n).empty()) << CLUSTER_NODES[n].name << " never left";
    }
}

TEST(SlotRules, ALeaveIsExplainedByEveryFlagRaisedElseByTheStateGoneTo) {
    EXPECT_EQ(leave_reason(PS_APPLICATION, PS_FREEZE, 0b1 | 0b1000),
              "clock synchronisation error: its clock needed a correction above 0.45 macroticks; "
              "communication blackout: it heard nothing during a whole TDMA round");
    EXPECT_EQ(leave_reason(PS_APPLICATION, PS_READY, 0),
              "its implicit acknowledgement failed: the next node did not count it as a member");
    EXPECT_EQ(leave_reason(PS_APPLICATION, PS_INIT, 0), "its host restarted the controller");
}

TEST(SlotRules, TheClusterModeIsOneNumberWhenTheNodesAgreeEachNodesWhenNot) {
    SlotColumn column{};
    for (SlotCell& cell : column.cells) {
        cell.mode = MODE_UNKNOWN;
    }
    EXPECT_EQ(cluster_mode_text(column), "Cluster mode: none (no node keeps a C-state)");
    column.cells[NODE_M2].mode = 1;
    column.cells[NODE_O2].mode = 1;
    EXPECT_EQ(cluster_mode_text(column), "Cluster mode 1") << "nodes without a C-state do not count";
    column.cells[NODE_O2].mode = 2;
    EXPECT_EQ(cluster_mode_text(column), "Cluster mode: nodes disagree: M1 -, M2 1, O1 -, O2 2");
}

TEST(SlotRules, ChannelsAreTakenTogetherAsTheControllerTakesThem) {
    EXPECT_EQ(judge_verdicts(VERDICT_CORRECT, VERDICT_INCORRECT), JUDGED_CORRECT);
    EXPECT_EQ(judge_verdicts(VERDICT_INVALID, VERDICT_CORRECT | VERDICT_NOISE), JUDGED_CORRECT);
    EXPECT_EQ(judge_verdicts(VERDICT_INVALID, VERDICT_INCORRECT), JUDGED_INCORRECT);
    EXPECT_EQ(judge_verdicts(VERDICT_INVALID, 0), JUDGED_INVALID);
    EXPECT_EQ(judge_verdicts(VERDICT_NOISE, 0), JUDGED_NULL) << "noise alone is still nothing received";
}

TEST(SlotRules, WorstStatesRankByDistanceFromTheApplication) {
    const uint8_t order[] = {PS_APPLICATION, PS_STARTUP, PS_READY, PS_PASSIVE, PS_COLDSTART,
                             PS_LISTEN,      PS_AWAIT,   PS_INIT,  PS_FREEZE};
    for (size_t i = 1; i < std::size(order); ++i) {
        EXPECT_EQ(worse_state(order[i - 1], order[i]), order[i]);
        EXPECT_EQ(worse_state(order[i], order[i - 1]), order[i]);
    }
    EXPECT_EQ(worse_state(STATE_NONE, PS_LISTEN), PS_LISTEN);
    EXPECT_EQ(state_severity(11), state_severity(PS_FREEZE))
        << "a state without a name freezes the controller";
    EXPECT_EQ(state_name(PS_APPLICATION), "APPLICATION");
}

TEST(SlotRules, AGuardianFailureIsWorseThanAResetAndItsNormalRoundIsUnranked) {
    EXPECT_EQ(worse_guardian_state(BG_NODE_FAILURE, BG_INITIALIZE), BG_NODE_FAILURE);
    EXPECT_EQ(worse_guardian_state(BG_CONFIGURE, BG_DISABLE), BG_CONFIGURE);
    EXPECT_EQ(worse_guardian_state(BG_DISABLE, BG_ARM), BG_ARM) << "the later of two states of its round";
    EXPECT_EQ(worse_guardian_state(BG_ARM, BG_ENABLE), BG_ENABLE);
}

TEST(SlotRules, ACsvRowNamesEachInjectionOfTheCellSpaceSeparated) {
    SlotColumn column{};
    column.start_us = 2001.25;
    for (SlotCell& cell : column.cells) {
        cell.state = PS_APPLICATION;
        cell.worst = PS_APPLICATION;
        cell.judgement = JUDGED_CORRECT;
        cell.membership = 0x0F;
    }
    SlotCell& m1 = column.cells[NODE_M1];
    m1.sent = 1;
    m1.first_injection = m1.last_injection = 7;
    m1.injections = 1;
    SlotCell& o1 = column.cells[NODE_O1];
    o1.state = PS_LISTEN;
    o1.worst = PS_FREEZE;
    o1.judgement = JUDGED_NOTHING;
    o1.membership = MEMBERSHIP_UNKNOWN;
    o1.first_injection = 41;
    o1.last_injection = 43;
    o1.injections = 3;
    column.cells[NODE_O2].membership = 0x0B;
    const InjectionHistory none;
    EXPECT_EQ(slot_event_csv_rows(column, none), "2001.2500,M1,APPLICATION,APPLICATION,1,correct,1111,7\n"
                                                 "2001.2500,M2,APPLICATION,APPLICATION,0,correct,1111,\n"
                                                 "2001.2500,O1,LISTEN,FREEZE,0,,,41 42 43\n"
                                                 "2001.2500,O2,APPLICATION,APPLICATION,0,correct,1101,\n");
    // Rows of described faults concern the nodes they name: a cell's rows need not be consecutive.
    InjectionHistory rows;
    for (uint8_t nodes : {uint8_t{1u << NODE_M2}, uint8_t{1u << NODE_O2}, ALL_NODES, uint8_t{0}}) {
        InjectionRecord r{};
        r.fault = 1;
        r.nodes = nodes;
        rows.push(r);
    }
    column.cells[NODE_M2].first_injection = 1;
    column.cells[NODE_M2].last_injection = 3;
    column.cells[NODE_M2].injections = 2;
    EXPECT_NE(
        slot_event_csv_rows(column, rows).find("2001.2500,M2,APPLICATION,APPLICATION,0,correct,1111,1 3\n"),
        std::string::npos);
    EXPECT_EQ(column_rows(column, rows, 10).count, 3u) << "the row of no node is no row of the slot";
}

TEST(SlotRules, ACopyKeepsUpWithItsLogAndSkipsWhatFellOut) {
    BoundedLog<int, 4> log;
    BoundedLog<int, 4> copy;
    for (int i = 1; i <= 3; ++i) {
        log.push(i);
    }
    copy.catch_up_with(log);
    for (int i = 4; i <= 10; ++i) {
        log.push(i);
    }
    copy.catch_up_with(log);
    EXPECT_EQ(copy.total, 10u);
    EXPECT_EQ(copy.first(), 7u);
    for (uint64_t n = 7; n <= 10; ++n) {
        EXPECT_EQ(copy.at(n), static_cast<int>(n));
    }
    EXPECT_FALSE(copy.has(6));
}

} // namespace
