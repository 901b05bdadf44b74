// The lessons of data/scenarios/ played headless as the window plays them: each runs until its stop (the
// end of the first slot with an effect, or its stop time), and the effect it tells the class about is
// checked there and as the run goes on.
#include "fault_run.h"
#include "host/scenario_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

namespace {

constexpr const char* MASKED_FLIP = "01-masked-flip.toml";
constexpr const char* MEMBERSHIP_LOSS = "02-membership-loss.toml";
constexpr const char* FREEZE_AND_RESTART = "03-freeze-and-restart.toml";
constexpr const char* BABBLING_IDIOT = "04-babbling-idiot.toml";
constexpr const char* BABBLING_WITHOUT_GUARDIAN = "05-babbling-without-guardian.toml";
constexpr const char* CHANNEL_DISTURBANCE = "06-channel-disturbance.toml";
constexpr const char* ASYMMETRIC_RECEPTION = "07-asymmetric-reception.toml";
constexpr const char* CRASH_AND_RESTART = "08-crash-and-restart.toml";
constexpr const char* CLOCK_DRIFT = "09-clock-drift.toml";
constexpr const char* LESSONS[] = {MASKED_FLIP,          MEMBERSHIP_LOSS,           FREEZE_AND_RESTART,
                                   BABBLING_IDIOT,       BABBLING_WITHOUT_GUARDIAN, CHANNEL_DISTURBANCE,
                                   ASYMMETRIC_RECEPTION, CRASH_AND_RESTART,         CLOCK_DRIFT};

/// How far a lesson runs between two looks at the recorder: well within a slot, as the window refreshes.
constexpr double LOOK_US = 50.0;
/// How long a lesson that stops on an effect may run before it has one.
constexpr double EFFECT_WITHIN_US = 260000.0;

std::string lesson_path(const char* name) {
    return std::string(PELORIN_DEFAULT_DATA_DIR) + "/scenarios/" + name;
}

class LessonTest : public FaultRunTest {
  protected:
    Scenario lesson;
    const SlotColumn* stop = nullptr; // the slot the lesson stopped at its end (null: at its stop time)
    double stopped_at_us = 0.0;

    /// Plays the lesson until its stop. Stop on effect is armed when the lesson's first fault fires: the
    /// start-up before it changes memberships too.
    void play(const char* name) {
        std::string why;
        ASSERT_TRUE(read_scenario(lesson_path(name), &lesson, &why)) << why;
        ASSERT_FALSE(lesson.faults.empty());
        for (const FaultSpec& fault : lesson.faults) {
            EXPECT_FALSE(fault.caption.empty()) << "the window shows each fault's caption when it fires";
        }
        RunSettings settings;
        settings.faults = lesson.faults;
        start(std::move(settings));
        const double end = lesson.stop_at_us ? *lesson.stop_at_us : EFFECT_WITHIN_US;
        double t = 0.0;
        while (t < end && recorder->effect_column == 0) {
            t = std::min(t + LOOK_US, end);
            run_to(t);
            recorder->stop_on_effect = lesson.stop_on_effect && fault_time() >= 0.0;
        }
        stopped_at_us = t;
        if (recorder->effect_column != 0) {
            for (const SlotColumn& c : columns) {
                if (c.number == recorder->effect_column) {
                    stop = &c;
                }
            }
            ASSERT_NE(stop, nullptr);
        }
        ASSERT_GE(fault_time(), 0.0) << "the lesson's fault fired before its stop";
    }
};

TEST_F(LessonTest, EveryLessonInTheLibraryIsPlayedHere) {
    std::set<std::string> files;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::string(PELORIN_DEFAULT_DATA_DIR) + "/scenarios")) {
        files.insert(entry.path().filename().string());
    }
    EXPECT_EQ(files, std::set<std::string>(std::begin(LESSONS), std::end(LESSONS)));
}

TEST_F(LessonTest, AMaskedFlipChangesNothingTheClusterSees) {
    play(MASKED_FLIP);
    EXPECT_EQ(stop, nullptr);
    EXPECT_EQ(stopped_at_us, *lesson.stop_at_us);
    EXPECT_TRUE(whole(between(fault_time() - ROUND_US, stopped_at_us), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(LessonTest, AMembershipLossStopsWhereTheOthersDropTheSenderWhichIntegratesAgainWithinTwoRounds) {
    play(MEMBERSHIP_LOSS);
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(stop->flags & COLUMN_MEMBERSHIP_CHANGED);
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_FALSE(member(*stop, n, NODE_O1)) << CLUSTER_NODES[n].name;
        EXPECT_EQ(stop->cells[n].state, PS_APPLICATION);
    }
    const double fault = fault_time();
    run_to(fault + 4 * ROUND_US);
    EXPECT_TRUE(
        whole(between(fault + 2 * ROUND_US + 1, fault + 4 * ROUND_US), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(LessonTest, AControllerWhoseControllerOnBitIsResetFreezesAndItsHostRestartsIt) {
    play(FREEZE_AND_RESTART);
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(stop->flags & COLUMN_NODE_FROZE);
    EXPECT_EQ(stop->cells[NODE_O1].worst, PS_FREEZE);
    const double fault = fault_time();
    run_to(fault + 5 * ROUND_US);
    EXPECT_EQ(run->cluster.apps[NODE_O1].os->controller_starts, 2u) << "its host restarted it";
    EXPECT_TRUE(
        whole(between(fault + 3 * ROUND_US, fault + 5 * ROUND_US), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

/// Every column of `slots` with `nodes` in APPLICATION.
::testing::AssertionResult in_application(const std::vector<const SlotColumn*>& slots,
                                          std::initializer_list<unsigned> nodes) {
    for (const SlotColumn* c : slots) {
        for (unsigned n : nodes) {
            if (c->cells[n].state != PS_APPLICATION || c->cells[n].worst != PS_APPLICATION) {
                return ::testing::AssertionFailure() << CLUSTER_NODES[n].name << " at " << c->start_us
                                                     << " us: " << state_name(c->cells[n].state);
            }
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(LessonTest, ABabblingIdiotFreezesAloneBehindItsGuardian) {
    play(BABBLING_IDIOT);
    ASSERT_NE(stop, nullptr);
    EXPECT_TRUE(stop->flags & COLUMN_NODE_FROZE);
    EXPECT_EQ(stop->cells[NODE_O1].worst, PS_FREEZE);
    run_to(fault_time() + 10 * ROUND_US);
    EXPECT_TRUE(in_application(between(fault_time() - ROUND_US, fault_time() + 10 * ROUND_US),
                               {NODE_M1, NODE_M2, NODE_O2}));
}

TEST_F(LessonTest, ABabblingIdiotWithoutItsGuardianBringsTheOtherNodesDown) {
    play(BABBLING_WITHOUT_GUARDIAN);
    ASSERT_NE(stop, nullptr);
    const unsigned others[] = {NODE_M1, NODE_M2, NODE_O2};
    EXPECT_TRUE(std::any_of(std::begin(others), std::end(others), [&](unsigned n) {
        return !member(*stop, n, n == NODE_M1 ? NODE_M2 : NODE_M1);
    })) << "the correct nodes lose each other, not only the babbler";
    const double babbling = 200000.0;
    run_to(babbling + 20 * ROUND_US);
    for (unsigned n : others) {
        EXPECT_NE(first_in_state(n, PS_APPLICATION, 0.0), nullptr);
        EXPECT_FALSE(in_application(between(babbling, babbling + 20 * ROUND_US), {n}))
            << CLUSTER_NODES[n].name;
    }
}

TEST_F(LessonTest, AFrameCorruptedOnOneChannelIsTakenFromTheOther) {
    play(CHANNEL_DISTURBANCE);
    EXPECT_EQ(stop, nullptr);
    EXPECT_TRUE(whole(between(fault_time() - ROUND_US, stopped_at_us), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(LessonTest, AsymmetricReceptionExpelsTheMinorityReceiverWhichComesBack) {
    play(ASYMMETRIC_RECEPTION);
    ASSERT_NE(stop, nullptr);
    EXPECT_FALSE(member(*stop, NODE_M1, NODE_O1)) << "M1 alone has dropped O1";
    for (unsigned n : {NODE_M2, NODE_O2}) {
        EXPECT_TRUE(member(*stop, n, NODE_O1)) << CLUSTER_NODES[n].name;
    }
    const double fault = fault_time();
    run_to(fault + 5 * ROUND_US);
    EXPECT_TRUE(in_application(between(fault - ROUND_US, fault + 5 * ROUND_US), {NODE_M2, NODE_O1, NODE_O2}));
    EXPECT_NE(first_in_state(NODE_M1, PS_FREEZE, fault), nullptr) << "the minority receiver leaves";
    EXPECT_TRUE(
        whole(between(fault + 4 * ROUND_US, fault + 5 * ROUND_US), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(LessonTest, ACrashedControllerIsDroppedWithinARoundAndRejoinsAfterItsHostRestartsIt) {
    play(CRASH_AND_RESTART);
    ASSERT_NE(stop, nullptr);
    const double crash = fault_time();
    EXPECT_LE(stop->start_us, crash + ROUND_US);
    for (unsigned n : {NODE_M1, NODE_O1, NODE_O2}) {
        EXPECT_FALSE(member(*stop, n, NODE_M2)) << CLUSTER_NODES[n].name;
    }
    run_to(crash + 10 * ROUND_US);
    EXPECT_EQ(run->cluster.apps[NODE_M2].os->controller_starts, 2u);
    EXPECT_TRUE(
        whole(between(crash + 5 * ROUND_US, crash + 10 * ROUND_US), {NODE_M1, NODE_M2, NODE_O1, NODE_O2}));
}

TEST_F(LessonTest, AClockDriftingBeyondTheSynchronisationFreezesItsNodeAndTheOthersStaySynchronised) {
    play(CLOCK_DRIFT);
    ASSERT_NE(stop, nullptr);
    EXPECT_EQ(stop->cells[NODE_O1].worst, PS_FREEZE);
    EXPECT_GT(recorder->counters[NODE_O1].errors[ERROR_CLOCK_SYNC], 0u);
    const double drift = fault_time();
    run_to(drift + 20 * ROUND_US);
    EXPECT_TRUE(
        in_application(between(drift - ROUND_US, drift + 20 * ROUND_US), {NODE_M1, NODE_M2, NODE_O2}));
    for (unsigned n : {NODE_M1, NODE_M2, NODE_O2}) {
        EXPECT_EQ(recorder->counters[n].errors[ERROR_CLOCK_SYNC], 0u) << CLUSTER_NODES[n].name;
    }
}

} // namespace
