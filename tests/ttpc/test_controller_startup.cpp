// Controllers on real channels: cold start, integration, and a cluster that stays synchronised.
#include "cluster_fixture.h"

namespace {

using StartupTest = ClusterTest;

TEST_F(StartupTest, ColdStartIsAnsweredByTheSecondNode) {
    options.nodes = 2;
    options.cold_start = {1, 1};
    options.startup_timeout = {100, 600};
    options.deferred_requester = 1;
    build();
    run_until(20000);
    EXPECT_EQ(state_of(0), PS_STARTUP);
    EXPECT_EQ(state_of(1), PS_STARTUP);
    EXPECT_TRUE(full_membership(0));
    EXPECT_TRUE(full_membership(1));
    auto m1 = lines_of("Controller M1");
    auto m2 = lines_of("Controller M2");
    EXPECT_TRUE(contains(m1, "Starting listen timeout."));
    EXPECT_TRUE(contains(m1, "Starting cold start timeout."));
    EXPECT_FALSE(contains(m1, "No valid I-Frame received"));
    EXPECT_TRUE(contains(m2, "Got valid I-Frame on channel 0."));
    EXPECT_FALSE(contains(m2, "Starting cold start timeout."));
    EXPECT_EQ(nodes[0]->bus_guardian->failed, 0u);
    EXPECT_EQ(nodes[1]->bus_guardian->failed, 0u);
}

TEST_F(StartupTest, FourNodesStartAndALateNodeIntegratesOnIFrames) {
    build({}, {0, 0, 0, 30000});
    run_until(25000);
    EXPECT_EQ(state_of(3), PS_FREEZE);
    for (unsigned n = 0; n < 3; ++n) {
        EXPECT_EQ(state_of(n), PS_STARTUP) << n;
        EXPECT_EQ(member(n, 3), 0u) << n;
    }
    run_until(60000);
    for (unsigned n = 0; n < 4; ++n) {
        EXPECT_EQ(state_of(n), PS_STARTUP) << n;
        EXPECT_TRUE(full_membership(n)) << n;
        EXPECT_EQ(nodes[n]->bus_guardian->failed, 0u) << n;
    }
    EXPECT_TRUE(contains(lines_of("Controller O2"), "Waiting for I-Frame."));
}

TEST_F(StartupTest, DriftingClocksStaySynchronisedForThousandsOfSlots) {
    build({1e-4, -1e-4, 5e-5, -3e-5});
    run_until(20000);
    for (double t = 20000; t < 20000 + 4000 * 250.0; t += 250) {
        run_until(t);
        for (unsigned n = 0; n < 4; ++n) {
            ASSERT_EQ(state_of(n), PS_STARTUP) << "node " << n << " at " << t;
            ASSERT_TRUE(full_membership(n)) << "node " << n << " at " << t;
        }
    }
    for (unsigned n = 0; n < 4; ++n) {
        EXPECT_EQ(get_clock_sync_error(nodes[n]->working_status), 0u);
        EXPECT_EQ(get_failed_slots(nodes[n]->working_status), 0u);
        EXPECT_EQ(get_invalid_slots(nodes[n]->working_status), 0u);
    }
}

} // namespace
