// The sine wave application and the laser: the estimate of the time to shoot, the vote, and the shots.
#include "host_fixture.h"

#include <cmath>
#include <limits>

namespace {

using SineAppTest = HostTest;

void stop_hosts(Cluster& cluster) {
    for (SineApp& app : cluster.apps) {
        cancel(app.os);
    }
}

void put(HostOs* os, uint32_t address, float value) {
    write_message_float(os, address, 0, value);
    validate_message(os, address);
}

TEST_F(SineAppTest, MeasurementEstimatesTheNextQuarterTurn) {
    stop_hosts(*cluster);
    SineApp& m1 = cluster->apps[NODE_M1];
    float first = 0;
    float estimate = 0;
    at_time(17800, [&] {
        measurement_task(&m1);
        std::memcpy(&first, message_at(*m1.os->cni, 0) + 2, sizeof first);
    });
    at_time(19800, [&] {
        measurement_task(&m1);
        std::memcpy(&estimate, message_at(*m1.os->cni, 3) + 2, sizeof estimate);
    });
    run_until(20000);
    EXPECT_NEAR(m1.last_angle, 0.1f, 1e-6);
    EXPECT_NEAR(estimate, 22500.0f, 0.5f);
    EXPECT_EQ(static_cast<long>(estimate) % 18000, 4500);
    // The first estimate after a start divides the whole span since 0 by the angle travelled since then.
    EXPECT_NEAR(first, 17800.0f / (17800.0f / 18000.0f) * (1.25f - 17800.0f / 18000.0f) + 17800.0f, 2.0f);
    EXPECT_EQ(get_message_status(message_at(*m1.os->cni, 0)), MESSAGE_VALID);
}

/// Across the end of an epoch of the times to shoot (which is a whole revolution, angle 0): the two samples
/// lie in different epochs, the time sent lies in the new one, and the output node aims at the absolute time.
TEST_F(SineAppTest, EstimateAcrossAnEpochEndAimsAtTheNextQuarterTurn) {
    stop_hosts(*cluster);
    SineApp& m2 = cluster->apps[NODE_M2];
    SineApp& o2 = cluster->apps[NODE_O2];
    constexpr double EPOCH = SHOT_TIME_EPOCH_US;
    float sent = 0;
    at_time(EPOCH - 200, [&] { measurement_task(&m2); });
    at_time(EPOCH + 1800, [&] {
        measurement_task(&m2);
        std::memcpy(&sent, message_at(*m2.os->cni, 6) + 2, sizeof sent);
        std::memcpy(message_at(*o2.os->cni, 6) + 2, &sent, sizeof sent); // as M2's frame delivers it
        validate_message(o2.os, 6);
    });
    at_time(EPOCH + 2000, [&] {
        o2.have_value = 1;
        evaluation_task(&o2);
    });
    run_until(EPOCH + 2000);
    EXPECT_NEAR(m2.last_sample_time, 1800.0f, 0.01f);
    EXPECT_NEAR(sent, 4500.0f, 1.0f);
    ASSERT_TRUE(is_planned(cluster->laser));
    EXPECT_EQ(cluster->laser->evtime, EPOCH + std::trunc(sent));
    EXPECT_NEAR(o2.received_c, EPOCH + 4500.0, 2.0);
    run_until(EPOCH + 5000);
    EXPECT_EQ(cluster->laser->hits, 1u);
}

/// A received time names its occurrence nearest to the receiver's time; in the first half epoch, and for
/// values that are no time of an epoch, it is the absolute time it says.
TEST(ShotTime, ReceivedTimesNameTheOccurrenceNearestToNow) {
    constexpr double EPOCH = SHOT_TIME_EPOCH_US;
    const double late = 4294967296.0 + 100.0; // 2^32 us and a little: 265 epochs and a part
    const double epoch_start = std::floor(late / EPOCH) * EPOCH;
    EXPECT_EQ(shot_time_after(time_in_epoch(late) + 4400.0f, late),
              epoch_start + (late - epoch_start) + 4400.0);
    EXPECT_EQ(shot_time_after(16199000.0f, EPOCH + 300.0), 16199000.0); // sent just before the epoch ended
    EXPECT_EQ(shot_time_after(500.0f, EPOCH - 300.0), EPOCH + 500.0);   // sent just after it
    EXPECT_EQ(shot_time_after(1365.0f, 8.0e6), 1365.0);                 // first half epoch: as it is
    EXPECT_EQ(shot_time_after(3.0e9f, 1.0e6), 3.0e9);
    EXPECT_EQ(shot_time_after(-4500.0f, 5.0e9), -4500.0);
    EXPECT_TRUE(std::isnan(shot_time_after(std::numeric_limits<float>::quiet_NaN(), 5.0e9)));
    EXPECT_EQ(time_in_epoch(late), static_cast<float>(late - epoch_start));
}

TEST_F(SineAppTest, QuarterTurnExactlyShootsAtOnceAndJustAfterWaitsARevolution) {
    stop_hosts(*cluster);
    SineApp& m2 = cluster->apps[NODE_M2];
    float at_quarter = 0;
    float after_quarter = 0;
    at_time(4500, [&] {
        m2.last_angle = 0.2f;
        m2.last_sample_time = 3600;
        measurement_task(&m2);
        std::memcpy(&at_quarter, message_at(*m2.os->cni, 6) + 2, sizeof at_quarter);
    });
    at_time(22501, [&] {
        measurement_task(&m2);
        std::memcpy(&after_quarter, message_at(*m2.os->cni, 6) + 2, sizeof after_quarter);
    });
    run_until(22501);
    EXPECT_EQ(at_quarter, 4500.0f);
    EXPECT_GT(after_quarter, 22501.0f + 17000.0f);
}

TEST_F(SineAppTest, VoteTakesTheAgreeingValueAndAimsTheLaserAtC) {
    stop_hosts(*cluster);
    SineApp& o2 = cluster->apps[NODE_O2];
    put(o2.os, 0, 22500.0f); // b: M1's time to shoot
    put(o2.os, 6, 22500.0f); // c: M2's
    at_time(2000, [&] {
        o2.have_value = 1;
        evaluation_task(&o2);
    });
    run_until(2000);
    EXPECT_EQ(cluster->vote_slot[0], 22500.0f); // a (0 on O2) matches neither; b and c agree
    EXPECT_EQ(o2.received_c, 22500.0f);
    EXPECT_TRUE(is_planned(cluster->laser));
    EXPECT_EQ(cluster->laser->evtime, 22500.0);
    run_until(22500);
    EXPECT_EQ(cluster->laser->hits, 1u);
    EXPECT_EQ(cluster->laser->misses, 0u);
}

TEST_F(SineAppTest, UnreadablePairsGiveTheMarkersAndAPastTimePlansNothing) {
    stop_hosts(*cluster);
    SineApp& o1 = cluster->apps[NODE_O1];
    at_time(100, [&] { EXPECT_EQ(vote(&o1), 0.0f); });
    run_until(100);
    EXPECT_TRUE(traced("HO1", "Prijimam b=2730.000000"));
    EXPECT_TRUE(traced("HO1", "Prijimam c=1365.000000"));
    EXPECT_TRUE(is_planned(cluster->laser)); // 1365 is still ahead
    put(o1.os, 6, 50.0f);
    cancel(cluster->laser);
    at_time(200, [&] { vote(&o1); });
    run_until(200);
    EXPECT_FALSE(is_planned(cluster->laser));
}

TEST_F(SineAppTest, LaserPlanWithinThePresentMicrosecondFiresNowAndNonFiniteTimesPlanNothing) {
    stop_hosts(*cluster);
    SineApp& o2 = cluster->apps[NODE_O2];
    at_time(4500.25, [&] {
        plan_laser(&o2, 4500.75f); // trunc(c) = 4500 lies just before now
        EXPECT_TRUE(is_planned(cluster->laser));
        EXPECT_EQ(cluster->laser->evtime, 4500.25);
        plan_laser(&o2, std::numeric_limits<float>::infinity());
        plan_laser(&o2, std::numeric_limits<float>::quiet_NaN());
        plan_laser(&o2, 3.0e38f);
    });
    run_until(4501);
    EXPECT_FALSE(error_flag());
    EXPECT_EQ(cluster->laser->hits, 1u);
    EXPECT_FALSE(is_planned(cluster->laser));
}

TEST_F(SineAppTest, LaserScoresByTheMotorAngleAndFiresOncePerInstant) {
    stop_hosts(*cluster);
    schedule_at(cluster->laser, 4000);
    run_until(4000);
    schedule_at(cluster->laser, 4000.00001); // within 5e-5 of the last shot: nothing
    run_until(4001);
    schedule_at(cluster->laser, 5000);
    run_until(5000);
    schedule_at(cluster->laser, 18000 + 4500);
    schedule_at(cluster->laser, 18000 + 4500); // a second plan for the same instant moves it
    run_until(30000);
    EXPECT_EQ(cluster->laser->hits, 1u);
    EXPECT_EQ(cluster->laser->misses, 2u);
}

TEST_F(SineAppTest, MonitorCountsNullIncorrectAndWrongDataFromO1) {
    stop_hosts(*cluster);
    SineApp& m1 = cluster->apps[NODE_M1];
    cluster->vote_slot[0] = 0.2f;
    cluster->vote_slot[1] = 0.2f;
    monitor_task(&m1); // O1's messages: status 0 on both (nothing received yet)
    EXPECT_EQ(m1.null_frame, 1u);
    set_message_status(message_at(*m1.os->cni, 12), VERDICT_INCORRECT);
    set_message_status(message_at(*m1.os->cni, 15), VERDICT_INCORRECT);
    monitor_task(&m1);
    EXPECT_EQ(m1.crc_error, 1u);
    put(m1.os, 12, 0.7f);
    monitor_task(&m1);
    EXPECT_EQ(m1.data_error, 1u);
    put(m1.os, 12, 0.2f);
    monitor_task(&m1);
    EXPECT_EQ(m1.data_error, 1u);
    EXPECT_EQ(m1.mismatches, 0u);
    cluster->vote_slot[1] = 0.5f;
    monitor_task(&m1);
    EXPECT_EQ(m1.mismatches, 1u);
}

TEST_F(SineAppTest, MotorAngleIsAPureFunctionOfTime) {
    at_time(17999.9, [&] { EXPECT_NEAR(motor_angle(cluster.get()), 17999.0 / 18000.0, 1e-6); });
    at_time(18000, [&] { EXPECT_EQ(motor_angle(cluster.get()), 0.0f); });
    run_until(18000);
}

} // namespace
