// The local clock and clock synchronisation of one controller, driven directly: reading and waiting on the
// drifting clock, spreading a correction, the 16-bit wrap, the acceptance window of a frame, the measurement,
// the fault-tolerant average and the synchronisation limit. Exact values: every case is built so that a
// turned comparison or a dropped step gives a different number.
#include "cluster_fixture.h"

#include <array>

namespace {

class ClockTest : public ClusterTest {
  protected:
    TtpController* c = nullptr;
    /// M1 of a two-node schedule (free_running_macroticks 100), never switched on. Its clock reads 1000 at
    /// simulated time 0 with no correction pending.
    void make() {
        options.nodes = 2;
        options.cold_start = {1, 1};
        options.startup_timeout = {100, 600};
        options.deferred_requester = 1;
        build({}, {1e9, 1e9});
        run_until(0.0); // the guardians start and park
        c = nodes[0];
        set_local_time(c->working_status, 1000);
        set_local_time(c->cni.status, 1000);
    }
    void SetUp() override {
        ClusterTest::SetUp();
        make();
    }
    void at(double t) { ASSERT_TRUE(advance_time(t)) << t; }
    uint32_t local() { return cni_hooks.read_local_time(c->cni); }
    void correction(int32_t microticks, double since) {
        set_clock_correction(c->working_status, microticks);
        c->correction_ref_time = since;
    }
};

// Spreading a correction: one microtick per free_running_macroticks + 1 (= 101) macroticks elapsed, plus one;
// the whole correction when no time has elapsed or when it is smaller than what is due.
TEST_F(ClockTest, SpreadCorrectionTakesOneMicrotickPerFreeRunningIntervalPlusOne) {
    correction(0, 0);
    EXPECT_EQ(spread_correction(c, 500), 0);
    correction(5, 0);
    EXPECT_EQ(spread_correction(c, 0), 5);
    EXPECT_EQ(spread_correction(c, -3), 5);
    EXPECT_EQ(spread_correction(c, 0.5), 1);
    EXPECT_EQ(spread_correction(c, 100.99), 1);
    EXPECT_EQ(spread_correction(c, 101), 2);
    EXPECT_EQ(spread_correction(c, 202), 3);
    EXPECT_EQ(spread_correction(c, 403.9), 4);
    EXPECT_EQ(spread_correction(c, 404), 5);
    EXPECT_EQ(spread_correction(c, 1e6), 5);
    correction(-5, 0);
    EXPECT_EQ(spread_correction(c, 101), -2);
    EXPECT_EQ(spread_correction(c, 0), -5);
    correction(-1, 0);
    EXPECT_EQ(spread_correction(c, 0.5), -1);
    // The interval is local time: a clock running 1% fast reaches 101 macroticks after 100 time units.
    set_drift(c, 0.01);
    correction(5, 0);
    EXPECT_EQ(spread_correction(c, 100.5), 2);
}

// Reading the clock counts the whole macroticks since the last reading and keeps the fraction for the next.
TEST_F(ClockTest, ReadingTheClockCountsWholeMacroticksAndKeepsTheFraction) {
    at(10.5);
    EXPECT_EQ(local(), 1010u);
    EXPECT_DOUBLE_EQ(c->tick_remainder, 0.5);
    at(11.0);
    EXPECT_EQ(local(), 1011u);
    EXPECT_EQ(local(), 1011u);
    EXPECT_DOUBLE_EQ(c->tick_remainder, 0.0);
    set_drift(c, 0.01); // 1% fast: 100 time units are 101 macroticks
    at(111.0);
    EXPECT_EQ(local(), 1112u);
    EXPECT_EQ(get_local_time(c->cni.status), 1112u); // the published word follows
}

// A correction is taken up by the readings as it falls due; its reference time moves on by the local time
// that the part taken stands for.
TEST_F(ClockTest, ReadingTheClockTakesUpTheDuePartOfTheCorrection) {
    correction(5, 0); // computed now: taken whole by the next reading, as half a macrotick
    EXPECT_EQ(local(), 1000u);
    EXPECT_DOUBLE_EQ(c->tick_remainder, 0.5);
    EXPECT_EQ(get_clock_correction(c->working_status), 0);
    EXPECT_DOUBLE_EQ(c->correction_ref_time, 500.0); // 5 x 100 macroticks

    c->tick_remainder = 0;
    correction(20, 0);
    at(202);
    EXPECT_EQ(local(), 1202u); // 202 macroticks and 3 of the 20 microticks
    EXPECT_EQ(get_clock_correction(c->working_status), 17);
    EXPECT_DOUBLE_EQ(c->correction_ref_time, 300.0);
    EXPECT_NEAR(c->tick_remainder, 0.3, 1e-9);

    c->tick_remainder = 0;
    correction(-20, 202);
    at(404);
    EXPECT_EQ(local(), 1403u); // 202 macroticks less 3 microticks
    EXPECT_EQ(get_clock_correction(c->working_status), -17);
    EXPECT_NEAR(c->tick_remainder, 0.7, 1e-9);
}

// local_time is 16 bits; each pass of 0xFFFF adds one to local_time_high, and waits across the wrap come out
// right because differences are taken modulo 65536.
TEST_F(ClockTest, LocalTimeWrapsAt16BitsWithACarryIntoTheHighWord) {
    set_local_time(c->working_status, 0xFFF0);
    const uint32_t high = get_local_time_high(c->cni);
    at(0x20);
    EXPECT_EQ(local(), 0x10u);
    EXPECT_EQ(get_local_time_high(c->cni), (high + 1) & 0xFFFF);
    EXPECT_EQ(macroticks_until(0x0005, 0xFFF0), 0x15u);
    set_local_time(c->working_status, 0xFFF0);
    EXPECT_DOUBLE_EQ(hold_time_for(c, macroticks_until(0x0005, 0xFFF0)), 21.0);
}

// hold_time_for(n): the real time of n macroticks, less the fraction already elapsed since the last tick,
// less the part of the correction that will have fallen due by the end of the wait; never negative.
TEST_F(ClockTest, HoldTimeIsTheTimeOfNMacroticksLessTheElapsedFractionAndTheCorrectionDue) {
    c->tick_remainder = 0.3;
    at(10);
    EXPECT_DOUBLE_EQ(hold_time_for(c, 5), 4.7); // the clock reads 1010 and 0.3 of the next tick has passed
    EXPECT_DOUBLE_EQ(hold_time_for(c, 0), 0.0); // would be -0.3
    // A correction of 5 microticks computed 0.5 ago: the reading takes 1 of them (0.1 macrotick) and moves
    // the spreading's reference to 109.5; by the end of the wait one more has fallen due.
    correction(5, 9.5);
    EXPECT_NEAR(hold_time_for(c, 100), 100 - 0.4 - 0.1, 1e-9);
    EXPECT_EQ(get_clock_correction(c->working_status), 4);
    correction(-5, 9.5);
    EXPECT_NEAR(hold_time_for(c, 100), 100 - 0.3 + 0.1, 1e-9);
    correction(0, 10);
    set_drift(c, 0.01); // 101 macroticks of a clock 1% fast take 100 time units
    EXPECT_NEAR(hold_time_for(c, 101), 100 - 0.3, 1e-9);
}

// A synchronised node takes a frame whose sender started at most 0.9 from the expected slot start; further
// off it counts as not received. A node without a C-state takes every frame.
TEST_F(ClockTest, FrameAcceptedUpToExactlyPointNineFromTheExpectedSlotStart) {
    set_cstate_valid(c->working_status, 10);
    c->action_time = 0.0;
    auto received_at = [&](double send_time) {
        Frame& frame = c->frame_buffer[CHANNEL_A];
        frame.send_time = send_time;
        frame.status = FRAME_STATUS_COMPLETE;
        on_frame_received(c, CHANNEL_A);
        return frame.status == FRAME_STATUS_COMPLETE;
    };
    EXPECT_TRUE(received_at(0.0));
    EXPECT_TRUE(received_at(0.9));
    EXPECT_TRUE(received_at(-0.9));
    EXPECT_FALSE(received_at(0.9000001));
    EXPECT_FALSE(received_at(-0.9000001));
    EXPECT_FALSE(received_at(5.0));
    set_cstate_valid(c->working_status, 0);
    EXPECT_TRUE(received_at(5.0));
}

// The measurement of each channel is the sender's offset in microticks (10 per macrotick), truncated toward
// zero; a positive value means the sender was late.
TEST_F(ClockTest, MeasurementIsTheOffsetInMicroticksTruncatedTowardZero) {
    c->action_time = 0.0;
    c->frame_buffer[CHANNEL_A].send_time = 0.9;
    c->frame_buffer[CHANNEL_B].send_time = -0.35;
    on_frame_received(c, CHANNEL_B);
    EXPECT_EQ(c->mtd[CHANNEL_A], 9);
    EXPECT_EQ(c->mtd[CHANNEL_B], -3);
    set_drift(c, 0.01);
    c->frame_buffer[CHANNEL_B].send_time = 0.5;
    on_frame_received(c, CHANNEL_B);
    EXPECT_EQ(c->mtd[CHANNEL_B], 5); // 5.05 microticks of a fast clock
}

// --- Clock synchronisation -------------------------------------------------------------------------------

class SyncTest : public ClockTest {
  protected:
    void SetUp() override {
        ClusterTest::SetUp();
        options.micro_to_macro = 20; // the limit 0.45 macrotick is then exactly 9 microticks
        make();
        set_protocol_state(c->working_status, PS_APPLICATION);
    }
    /// Runs the synchronisation step of slot 0 (it averages, cs) with the stack as given.
    int step_with(std::array<int32_t, 4> stack, int32_t external = 0) {
        for (unsigned i = 0; i < 4; ++i) {
            c->csa_stack[i] = stack[i];
        }
        c->cni.external_correction = static_cast<uint32_t>(external) & 0xFFFF;
        set_medl_position(c->working_status.cstate, 0);
        return clock_sync_step(c);
    }
    /// Runs the synchronisation step of slot 1, which only measures (syf).
    void measuring_step() {
        set_medl_position(c->working_status.cstate, 1);
        (void)clock_sync_step(c);
    }
};

// The synchronisation limit: a correction of exactly 0.45 macrotick is taken; beyond it the node freezes
// with a clock synchronisation error and the previous correction stays.
TEST_F(SyncTest, CorrectionOfExactlyTheLimitIsTakenAndOneMicrotickMoreFreezes) {
    EXPECT_EQ(step_with({9, 9, 9, 9}), 0);
    EXPECT_EQ(get_clock_correction(c->working_status), -9);
    EXPECT_EQ(get_clock_sync_error(c->working_status), 0u);
    EXPECT_EQ(step_with({-9, -9, -9, -9}), 0);
    EXPECT_EQ(get_clock_correction(c->working_status), 9);

    EXPECT_EQ(step_with({10, 10, 10, 10}), 1);
    EXPECT_EQ(get_clock_sync_error(c->working_status), 1u);
    EXPECT_EQ(get_interrupt_status(c->cni, IRQ_PE), 1u);
    EXPECT_EQ(state_of(0), PS_FREEZE);
    EXPECT_EQ(get_clock_correction(c->working_status), 9);
    EXPECT_TRUE(contains(lines_of("Controller M1"), "Clock Synchronization Error"));
}

// The host's external correction is added before the limit is checked.
TEST_F(SyncTest, ExternalCorrectionIsAddedAndCountsTowardsTheLimit) {
    at(50);
    EXPECT_EQ(step_with({0, 0, 0, 0}, -9), 0);
    EXPECT_EQ(get_clock_correction(c->working_status), -9);
    EXPECT_DOUBLE_EQ(c->correction_ref_time, 50.0); // spreading starts now
    EXPECT_EQ(step_with({-4, -4, -4, -4}, 5), 0);
    EXPECT_EQ(get_clock_correction(c->working_status), 9);
    EXPECT_EQ(step_with({-4, -4, -4, -4}, 6), 1);
}

// The fault-tolerant average drops the smallest and the largest of the four measurements and takes the
// negated mean of the two in the middle, truncated toward zero.
TEST_F(SyncTest, FaultTolerantAverageDropsTheSmallestAndTheLargest) {
    struct Case {
        std::array<int32_t, 4> stack;
        int32_t correction;
    } cases[] = {
        {{4, -2, 10, 6}, -5},  {{10, 6, 4, -2}, -5}, {{-2, 10, 6, 4}, -5},
        {{3, 3, 3, 3}, -3},    {{0, 1, 2, 10}, -1}, // mean 1.5
        {{-10, 0, 1, 2}, 0},                        // mean 0.5
        {{-7, -3, -4, 12}, 3}, {{0, 0, 0, 0}, 0},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(step_with(k.stack), 0);
        EXPECT_EQ(get_clock_correction(c->working_status), k.correction)
            << k.stack[0] << " " << k.stack[1] << " " << k.stack[2] << " " << k.stack[3];
    }
}

// A synchronisation frame slot pushes one measurement: the truncated mean of the channels whose frame was
// correct, or the one correct channel's; nothing when neither was correct. The ring holds the last four.
TEST_F(SyncTest, SyncFrameSlotPushesTheMeanOfTheCorrectChannels) {
    c->mtd[CHANNEL_A] = -3;
    c->mtd[CHANNEL_B] = 2;
    set_frame_status_a(c->working_status, VERDICT_CORRECT);
    set_frame_status_b(c->working_status, VERDICT_CORRECT);
    c->csa_stack[3] = 7;
    c->csa_index = 3;
    measuring_step();
    EXPECT_EQ(c->csa_stack[3], 0); // -1 / 2
    EXPECT_EQ(c->csa_index, 0u);
    EXPECT_EQ(get_mtd_a(c->working_status), 0xFDu);
    EXPECT_EQ(get_mtd_b(c->working_status), 2u);

    set_frame_status_b(c->working_status, VERDICT_INCORRECT);
    measuring_step();
    EXPECT_EQ(c->csa_stack[0], -3);
    EXPECT_EQ(c->csa_index, 1u);
    EXPECT_EQ(get_clock_correction(c->working_status), 0); // slot 1 measures, it does not average

    set_frame_status_a(c->working_status, VERDICT_NULL);
    set_frame_status_b(c->working_status, VERDICT_CORRECT + VERDICT_NOISE);
    measuring_step();
    EXPECT_EQ(c->csa_stack[1], 2);
    set_frame_status_b(c->working_status, VERDICT_INVALID);
    measuring_step();
    EXPECT_EQ(c->csa_index, 2u);
    EXPECT_TRUE(contains(lines_of("Controller M1"), "SYF on channel A: MTD = -3"));
}

} // namespace
