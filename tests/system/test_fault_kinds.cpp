// What the cluster does against each kind of described fault: the protocol's answer, slot by slot, on the
// default configuration. Each test names the rule it shows; the slot recorder's columns are what the
// observer window and --slot-events show.
#include "fault_run.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

class FaultKindsTest : public FaultRunTest {};

// --- Babbling and the bus guardian --------------------------------------------------------------------

TEST_F(FaultKindsTest, ABabblingControllerIsContainedByItsGuardianAndTheOthersKeepRunning) {
    go({"babbling node=O1 at_us=200000 duration_us=5000"}, 240000);
    // The three others keep APPLICATION and each other; O1's bit comes and goes (below).
    for (const SlotColumn* c : between(199000, 240000)) {
        for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
            EXPECT_EQ(c->cells[n].worst, PS_APPLICATION) << CLUSTER_NODES[n].name << " at " << c->start_us;
            for (unsigned p : {NODE_M1, NODE_M2, NODE_O2}) {
                EXPECT_TRUE(member(*c, n, p)) << CLUSTER_NODES[n].name << " lost " << CLUSTER_NODES[p].name;
            }
        }
    }
    // The guardian refused the babbling frames: O1 froze on its bus guardian error and was removed.
    EXPECT_NE(first_in_state(NODE_O1, PS_FREEZE, 200000), nullptr);
    EXPECT_GT(recorder->counters[NODE_O1].errors[ERROR_BUS_GUARDIAN], 0u);
    EXPECT_EQ(recorder->counters[NODE_M1].left, 0u);
    EXPECT_EQ(recorder->counters[NODE_O1].left, 1u);
    // Once the babbling is over O1 is back.
    EXPECT_TRUE(whole(between(230000, 240000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(FaultKindsTest, ABabblingFrameSentLateInTheBabblersOwnWindowNeverHoldsTheBusIntoTheNextSlot) {
    // O1's slot starts at about 158600; a babbling frame at 158711 starts inside O1's window and would
    // end after it, when the next slot's receivers register.
    go({"babbling node=O1 at_us=158661.1 duration_us=5000"}, 200000);
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_EQ(recorder->counters[n].freezes, 0u) << CLUSTER_NODES[n].name;
        EXPECT_EQ(recorder->counters[n].left, 0u) << CLUSTER_NODES[n].name;
    }
    EXPECT_TRUE(whole(between(180000, 200000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(FaultKindsTest, ABabblingControllerWhoseGuardianIsStuckOpenDestroysTheOtherNodesSlots) {
    go({"guardian-open node=O1 at_us=199000 duration_us=10000",
        "babbling node=O1 at_us=200000 duration_us=5000"},
       240000);
    unsigned garbled = 0; // slots of correct senders that a correct receiver could not take
    for (const SlotColumn* c : between(200000, 205000)) {
        for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
            garbled +=
                c->cells[n].judgement == JUDGED_INVALID || c->cells[n].judgement == JUDGED_INCORRECT ? 1 : 0;
        }
    }
    EXPECT_GE(garbled, 4u);
    unsigned others_left = 0;
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        others_left += recorder->counters[n].left;
    }
    EXPECT_GT(others_left, 0u) << "correct nodes lose membership when nothing stops the babbler";
    // The guardian's gate closes again when the fault ends.
    EXPECT_EQ(run->cluster.controllers[NODE_O1]->bus_guardian->stuck_open, 0u);
}

// --- Channels -----------------------------------------------------------------------------------------

TEST_F(FaultKindsTest, ACorruptFrameOnOneChannelIsMaskedByTheOther) {
    for (const char* channel : {"A", "B"}) {
        go({std::string("corrupt channel=") + channel + " cycle=80 slot=2"}, 170000);
        const double at = fault_time();
        ASSERT_GT(at, 160000.0);
        EXPECT_TRUE(whole(between(FAULT_REGION_US, 170000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2})) << channel;
        for (const SlotColumn* c : between(at - 1, at + 1)) {
            EXPECT_EQ(c->cells[NODE_M1].judgement, JUDGED_CORRECT) << "the other channel's copy is taken";
        }
        start_over();
    }
}

TEST_F(FaultKindsTest, ACorruptFrameOnBothChannelsExpelsItsSenderWhichReintegratesWithinTwoRounds) {
    go({"corrupt channel=both cycle=80 slot=2"}, 170000);
    const double at = fault_time();
    const std::vector<const SlotColumn*> slot = between(at - 1, at + 1);
    ASSERT_EQ(slot.size(), 1u);
    EXPECT_EQ(slot[0]->medl_position % 4, NODE_O1) << "slot 2 is O1's";
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_EQ(slot[0]->cells[n].judgement, JUDGED_INCORRECT);
        EXPECT_FALSE(member(*slot[0], n, NODE_O1)) << CLUSTER_NODES[n].name;
    }
    // O1 learns from its successors that it failed and goes READY; the others never change their own state.
    EXPECT_NE(first_in_state(NODE_O1, PS_READY, at), nullptr);
    constexpr double DRIFT_US = 1.0; // the slots of two rounds later start a little earlier
    EXPECT_TRUE(whole(between(at + ROUND_US, at + 2 * ROUND_US - DRIFT_US), {NODE_M1, NODE_M2, NODE_O2},
                      ALL_NODES & ~(1u << NODE_O1)));
    const std::vector<const SlotColumn*> back =
        between(at + 2 * ROUND_US - DRIFT_US, at + 2 * ROUND_US + DRIFT_US);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0]->cells[NODE_O1].sent, 1u) << "O1 sends again at its own slot two rounds on";
    EXPECT_TRUE(whole(between(at + 2 * ROUND_US + DRIFT_US, 170000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
    EXPECT_EQ(get_membership_failures(run->cluster.controllers[NODE_O1]->working_status), 1u);
}

TEST_F(FaultKindsTest, TwoOwnFailuresFreezeTheNodeAsItsListsFailureLimitSays) {
    // mmfc is 2 in every default list: O1's second failed own frame is a membership error.
    go({"corrupt channel=both cycle=80 slot=2", "corrupt channel=both cycle=82 slot=2"}, 180000);
    const SlotColumn* frozen = first_in_state(NODE_O1, PS_FREEZE, FAULT_REGION_US);
    ASSERT_NE(frozen, nullptr);
    EXPECT_GT(frozen->start_us, 164000.0) << "not at the first failure";
    EXPECT_LT(frozen->start_us, 166000.0);
    EXPECT_EQ(recorder->counters[NODE_O1].freezes, 1u);
    EXPECT_EQ(recorder->counters[NODE_O1].errors[ERROR_ACKNOWLEDGEMENT], 2u) << "two failed acknowledgements";
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_EQ(recorder->counters[n].freezes, 0u);
    }
}

TEST_F(FaultKindsTest, LostFramesAreSilenceToEveryReceiver) {
    go({"lose channel=both cycle=80 slot=2"}, 170000);
    const std::vector<const SlotColumn*> slot = between(fault_time() - 1, fault_time() + 1);
    ASSERT_EQ(slot.size(), 1u);
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_EQ(slot[0]->cells[n].judgement, JUDGED_NULL) << CLUSTER_NODES[n].name;
        EXPECT_FALSE(member(*slot[0], n, NODE_O1));
    }
}

TEST_F(FaultKindsTest, ANoiseBurstOnOneChannelIsMaskedAndOnBothMakesEveryFrameInvalid) {
    go({"blackout channel=B at_us=160000 duration_us=1500"}, 170000);
    EXPECT_TRUE(whole(between(FAULT_REGION_US, 170000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
    start_over();
    go({"blackout channel=both at_us=160000 duration_us=600"}, 170000);
    unsigned invalid = 0;
    for (const SlotColumn* c : between(160000, 160600)) {
        for (unsigned n = 0; n < NODE_COUNT; ++n) {
            invalid += c->cells[n].judgement == JUDGED_INVALID ? 1 : 0;
        }
    }
    EXPECT_GE(invalid, 3u) << "the receivers of each slot in the burst heard noise";
}

TEST_F(FaultKindsTest, BitErrorsAtCertaintyCorruptEveryFrameOfTheirChannelAndAreMasked) {
    go({"bit-errors channel=A ber=1 at_us=160000 duration_us=2000"}, 170000);
    EXPECT_TRUE(whole(between(FAULT_REGION_US, 170000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
    const TtpChannel* a = run->cluster.channels[CHANNEL_A];
    EXPECT_EQ(a->disturbance.fault, FRAME_FAULT_NONE) << "over when its time is";
    // Every frame delivered on A during the fault was corrupted: the receivers judged A incorrect.
    start_over();
    go({"bit-errors channel=both ber=1 at_us=160000 duration_us=300"}, 170000);
    EXPECT_GT(recorder->counters[NODE_M1].left + recorder->counters[NODE_M2].left +
                  recorder->counters[NODE_O1].left + recorder->counters[NODE_O2].left,
              0u);
}

TEST_F(FaultKindsTest, AsymmetricReceptionExpelsTheMinorityReceiverAndNeverTheCorrectMajority) {
    go({"asymmetric channel=both receivers=M1 cycle=80 slot=2"}, 172000);
    const double at = fault_time();
    ASSERT_GT(at, 160000.0);
    // M1 alone judged O1's frame wrong; its next frame disagrees with the others', and clique avoidance
    // takes M1 out, not O1.
    const SlotColumn* out = first_in_state(NODE_M1, PS_FREEZE, at);
    ASSERT_NE(out, nullptr);
    EXPECT_LT(out->start_us, at + ROUND_US);
    EXPECT_GT(recorder->counters[NODE_M1].errors[ERROR_CLIQUE], 0u);
    for (unsigned n : {NODE_M2, NODE_O1, NODE_O2}) {
        EXPECT_EQ(recorder->counters[n].freezes, 0u) << CLUSTER_NODES[n].name;
        EXPECT_EQ(recorder->counters[n].left, 0u) << CLUSTER_NODES[n].name;
    }
    // The correct nodes agree within one round of the fault, and every node that keeps a vector two rounds
    // after it (M1, reintegrating, sees what the others see).
    for (const SlotColumn* c : between(at + ROUND_US, 172000)) {
        EXPECT_EQ(c->cells[NODE_M2].membership, c->cells[NODE_O1].membership) << c->start_us;
        EXPECT_EQ(c->cells[NODE_O2].membership, c->cells[NODE_O1].membership) << c->start_us;
    }
    for (const SlotColumn* c : between(at + 2 * ROUND_US, 172000)) {
        EXPECT_EQ(c->cells[NODE_M1].membership, c->cells[NODE_O1].membership) << c->start_us;
    }
    EXPECT_TRUE(whole(between(at + 3 * ROUND_US, 172000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

// --- Nodes --------------------------------------------------------------------------------------------

TEST_F(FaultKindsTest, ACrashedNodeIsRemovedWithinOneRoundAndReintegratesOnceItsHostRestartsIt) {
    for (unsigned crashed = 0; crashed < NODE_COUNT; ++crashed) {
        SCOPED_TRACE(CLUSTER_NODES[crashed].name);
        go({std::string("crash node=") + CLUSTER_NODES[crashed].name + " at_us=200000"}, 215000);
        for (const SlotColumn* c : between(200000 + ROUND_US, 202000)) {
            for (unsigned n = 0; n < NODE_COUNT; ++n) {
                if (n != crashed) {
                    EXPECT_FALSE(member(*c, n, crashed)) << CLUSTER_NODES[n].name << " at " << c->start_us;
                    EXPECT_EQ(c->cells[n].state, PS_APPLICATION);
                }
            }
        }
        EXPECT_EQ(run->cluster.apps[crashed].os->controller_starts, 2u) << "its host restarted it";
        EXPECT_FALSE(controller_crashed(run->cluster.controllers[crashed]));
        EXPECT_TRUE(whole(between(210000, 215000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
        start_over();
    }
}

TEST_F(FaultKindsTest, AControllerCrashedForAWhileResetsItselfWhenItComesBackAndRejoins) {
    go({"crash node=O2 at_us=200000 duration_us=300"}, 215000);
    const SlotColumn* reset = first_in_state(NODE_O2, PS_FREEZE, 200000);
    ASSERT_NE(reset, nullptr);
    EXPECT_LT(reset->start_us, 200300 + 250) << "back through FREEZE and INIT when the crash is over";
    EXPECT_FALSE(controller_crashed(run->cluster.controllers[NODE_O2]));
    EXPECT_TRUE(whole(between(210000, 215000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(FaultKindsTest, ACrashedHostGivesNoLifeSignSoItsControllerGoesPassiveUntilTheHostRestarts) {
    go({"host-crash node=M2 at_us=200000 duration_us=3000"}, 215000);
    const SlotColumn* passive = first_in_state(NODE_M2, PS_PASSIVE, 200000);
    ASSERT_NE(passive, nullptr);
    EXPECT_LT(passive->start_us, 200000 + 2 * ROUND_US);
    EXPECT_GT(recorder->counters[NODE_M2].errors[ERROR_HOST_LIFESIGN], 0u);
    EXPECT_EQ(run->cluster.apps[NODE_M2].os->crashed, 0u);
    EXPECT_EQ(run->cluster.apps[NODE_M2].os->controller_starts, 2u) << "the restarted host started it again";
    EXPECT_TRUE(whole(between(210000, 215000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

// --- Time ---------------------------------------------------------------------------------------------

TEST_F(FaultKindsTest, ADriftStepBeyondWhatSynchronisationAbsorbsFreezesTheNodeWithAClockError) {
    go({"clock node=O1 drift_step=0.0005 at_us=200000"}, 206000);
    EXPECT_GT(recorder->counters[NODE_O1].errors[ERROR_CLOCK_SYNC], 0u);
    EXPECT_NE(first_in_state(NODE_O1, PS_FREEZE, 200000), nullptr);
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_EQ(recorder->counters[n].errors[ERROR_CLOCK_SYNC], 0u);
        EXPECT_EQ(recorder->counters[n].freezes, 0u);
    }
}

TEST_F(FaultKindsTest, ADriftStepWithinWhatSynchronisationAbsorbsKeepsTheClusterSynchronised) {
    go({"clock node=O1 drift_step=0.0001 at_us=200000"}, 230000);
    EXPECT_TRUE(whole(between(199000, 230000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
    EXPECT_DOUBLE_EQ(run->cluster.controllers[NODE_O1]->drift, config.nodes[NODE_O1].drift + 0.0001);
}

TEST_F(FaultKindsTest, AJumpOfTheLocalClockTakesTheNodeOutOfTheClustersTime) {
    go({"clock node=M1 jump=5 at_us=200000"}, 212000);
    EXPECT_EQ(recorder->counters[NODE_M1].left, 1u);
    EXPECT_TRUE(whole(between(208000, 212000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(FaultKindsTest, AFrameSentOffTimeBeyondTheAcceptanceWindowIsNoFrameAndWithinItIsTaken) {
    go({"sos node=O2 offset_us=0.5 at_us=200000 duration_us=3000"}, 210000);
    EXPECT_TRUE(whole(between(199000, 210000), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
    start_over();
    go({"sos node=O2 offset_us=1.5 at_us=200000 duration_us=3000"}, 210000);
    unsigned silent = 0;
    for (const SlotColumn* c : between(200000, 203000)) {
        silent += c->medl_position % 4 == NODE_O2 && c->cells[NODE_M1].judgement == JUDGED_NULL ? 1 : 0;
    }
    EXPECT_GE(silent, 2u) << "O2's frames lie more than 0.9 us off";
    EXPECT_EQ(recorder->counters[NODE_O2].left, 1u);
}

// --- Memory -------------------------------------------------------------------------------------------

TEST_F(FaultKindsTest, StuckBitsSurviveTheModelsOwnWritesUntilTheFaultEnds) {
    // O1 publishes its global time into the interface at every slot; bit 15 stays at 1 while stuck.
    go({"stuck node=O1 field=global_time bit=15 value=1 at_us=200000 duration_us=3000"}, 200000);
    TtpController* o1 = run->cluster.controllers[NODE_O1];
    unsigned model_wrote_0 = 0;
    for (double t = 200010; t < 203000; t += 10) {
        ASSERT_EQ(run_until(run.get(), RunLimit{0, t}), RunEnd::COMPLETED);
        EXPECT_EQ(o1->cni.status.cstate.global_time >> 15 & 1u, 1u) << sim_time();
        model_wrote_0 += (o1->working_status.cstate.global_time >> 15 & 1u) == 0 ? 1 : 0;
    }
    EXPECT_GT(model_wrote_0, 0u) << "the controller's own value had the bit clear";
    ASSERT_EQ(run_until(run.get(), RunLimit{0, 204000}), RunEnd::COMPLETED);
    EXPECT_EQ(o1->cni.status.cstate.global_time & 0xFFFF, o1->working_status.cstate.global_time & 0xFFFF)
        << "released: the published time follows the controller's again";
    EXPECT_TRUE(run->cluster.fault_plan->stuck.empty());
}

TEST_F(FaultKindsTest, AMemoryFaultStrikesTheSameBitOfEveryNodeNamed) {
    go({"memory node=M1+O2 field=membership[1] effect=reset at_us=200000.5"}, 200001);
    unsigned bit_rows = 0;
    for (const InjectionRecord& r : rows) {
        if (r.action == ROW_BIT) {
            ++bit_rows;
            EXPECT_EQ(r.word, 7u);
            EXPECT_EQ(r.before & 1u, 1u);
            EXPECT_EQ(r.after & 1u, 0u);
        }
    }
    EXPECT_EQ(bit_rows, 2u);
    for (unsigned n : {NODE_M1, NODE_O2}) {
        EXPECT_EQ(get_membership(run->cluster.controllers[n]->cni.status.cstate, 1), 0u);
    }
    EXPECT_EQ(get_membership(run->cluster.controllers[NODE_O1]->cni.status.cstate, 1), 1u);
}

TEST_F(FaultKindsTest, AnIntermittentBitFlipsAtItsRateOnlyWhileItLasts) {
    go({"intermittent node=O1 field=spare_word bit=3 rate=10000 at_us=200000 duration_us=2000"}, 210000);
    unsigned flips = 0;
    for (const InjectionRecord& r : rows) {
        if (r.action == ROW_BIT) {
            ++flips;
            EXPECT_GE(r.time, 200000.0);
            EXPECT_LT(r.time, 202000.0);
        }
    }
    EXPECT_GT(flips, 8u); // about 20 at 10000 per second for 2 ms
    EXPECT_LT(flips, 40u);
}

// --- Triggers -----------------------------------------------------------------------------------------

TEST_F(FaultKindsTest, ProtocolEventsTriggerFaultsAfterTheirDelay) {
    // O1's freeze (its second failed own frame) triggers a host restart of O2 500 us later.
    go({"corrupt channel=both cycle=80 slot=2", "corrupt channel=both cycle=82 slot=2",
        "host-restart node=O2 on_state=O1:FREEZE delay_us=500"},
       180000);
    double restarted = -1;
    for (const InjectionRecord& r : rows) {
        if (r.fault == 3 && r.action == ROW_START) {
            restarted = r.time;
        }
    }
    const SlotColumn* frozen = first_in_state(NODE_O1, PS_FREEZE, FAULT_REGION_US);
    ASSERT_NE(frozen, nullptr);
    EXPECT_GT(restarted, frozen->start_us + 500);
    EXPECT_LT(restarted, frozen->start_us + 250 + 500);
    EXPECT_EQ(run->cluster.apps[NODE_O2].os->controller_starts, 2u);
}

TEST_F(FaultKindsTest, AFaultRepeatsAtItsPeriodAndAtEachOwnFrame) {
    go({"memory node=O1 field=spare_word bit=0 at_us=100000 period_us=1000 count=3",
        "memory node=M2 field=spare_word bit=1 on_frame=M2:50 count=2"},
       200000);
    std::vector<double> first;
    std::vector<double> second;
    for (const InjectionRecord& r : rows) {
        if (r.action == ROW_BIT) {
            (r.fault == 1 ? first : second).push_back(r.time);
        }
    }
    EXPECT_EQ(first, (std::vector<double>{100000, 101000, 102000}));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_NEAR(second[1] - second[0], ROUND_US, 1.0) << "the next own frame, a round later";
}

TEST_F(FaultKindsTest, AMembershipChangeTriggersOnlyOnChangesAfterStartUp) {
    go({"memory node=O2 field=spare_word bit=2 on_membership=O2 count=1"}, 100000);
    double fired = -1;
    for (const InjectionRecord& r : rows) {
        fired = r.action == ROW_BIT ? r.time : fired;
    }
    EXPECT_GT(fired, 0.0);
    EXPECT_LT(fired, 10000.0) << "start-up changes O2's vector in its first slots";
}

// --- Determinism and logs -----------------------------------------------------------------------------

TEST_F(FaultKindsTest, TheSameFaultsGiveTheSameRunAndItsLogReplaysIt) {
    const std::vector<std::string> faults = {
        "babbling node=O1 at_us=150000 duration_us=1000",
        "asymmetric channel=A receivers=O2 cycle=90 slot=1 frames=2",
        "intermittent node=M2 field=random rate=2000 at_us=160000 duration_us=5000",
        "stuck node=O2 target=Reg field=random value=1 at_us=170000 duration_us=200",
        "crash node=M1 on_state=O1:FREEZE delay_us=100 duration_us=200",
        "bit-errors channel=B ber=0.002 at_us=165000 duration_us=3000",
    };
    RunSettings settings;
    settings.fingerprint = true;
    settings.seed = 5;
    go(faults, 190000, settings);
    const uint64_t fingerprint = trace_fingerprint();
    std::vector<InjectionRecord> logged = rows;
    finish();

    run = std::make_unique<ClusterRun>();
    recorder = std::make_unique<SlotRecorder>();
    rows.clear();
    RunSettings replay;
    replay.fingerprint = true;
    replay.seed = 5;
    for (const InjectionRecord& r : logged) {
        InjectionRecord reread{};
        std::string problem;
        ASSERT_TRUE(parse_injection_log_row(injection_log_row(r), &reread, &problem)) << problem;
        replay.replay.push_back(reread);
    }
    go({}, 190000, replay);
    EXPECT_TRUE(finish_replay(run.get())) << run->message;
    EXPECT_EQ(trace_fingerprint(), fingerprint);
    ASSERT_EQ(rows.size(), logged.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(injection_log_row(rows[i]), injection_log_row(logged[i]));
    }
    finish();

    // A log row the run does not repeat: the replay stops and says which.
    run = std::make_unique<ClusterRun>();
    recorder = std::make_unique<SlotRecorder>();
    for (InjectionRecord& r : replay.replay) {
        if (r.fault == 2 && r.action == ROW_START) {
            r.time += 1.0;
        }
    }
    replay.trace = false;
    start_run(run.get(), config, replay);
    EXPECT_EQ(run_until(run.get(), RunLimit{0, 190000}), RunEnd::REPLAY_DIVERGED);
    EXPECT_NE(run->message.find("the log belongs to another configuration or run"), std::string::npos)
        << run->message;
}

TEST_F(FaultKindsTest, AFaultAddedBetweenStepsIsAddedAgainAtItsStepByAReplay) {
    RunSettings settings;
    settings.fingerprint = true;
    go({}, 150000, settings);
    FaultSpec crash;
    std::string why;
    ASSERT_TRUE(parse_fault("crash node=O2 duration_us=400", &crash, &why)) << why;
    const uint64_t step = step_count();
    EXPECT_EQ(run_add_fault(run.get(), crash), 1u);
    ASSERT_EQ(run_until(run.get(), RunLimit{0, 160000}), RunEnd::COMPLETED);
    ASSERT_FALSE(rows.empty());
    EXPECT_EQ(rows[0].action, ROW_ADDED);
    EXPECT_EQ(rows[0].step, step);
    EXPECT_EQ(rows[0].source, SOURCE_NOW);
    const uint64_t fingerprint = trace_fingerprint();
    const std::vector<InjectionRecord> logged = rows;
    finish();

    run = std::make_unique<ClusterRun>();
    recorder = std::make_unique<SlotRecorder>();
    rows.clear();
    RunSettings replay;
    replay.fingerprint = true;
    replay.replay = logged;
    go({}, 160000, replay);
    EXPECT_TRUE(finish_replay(run.get())) << run->message;
    EXPECT_EQ(trace_fingerprint(), fingerprint);
    EXPECT_EQ(rows.size(), logged.size());
}

} // namespace
