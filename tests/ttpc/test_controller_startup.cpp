// Controllers on real channels: cold start, integration, and a cluster that stays synchronised.
#include "cluster_fixture.h"

#include <algorithm>

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

// --- A node alone on the bus, and host requests while it listens -------------------------------------------

class LoneNodeTest : public ClusterTest {
  protected:
    /// Two-node lists; only M1 is switched on (M2 stays off for the whole test).
    void build_alone(std::vector<unsigned> cold_start = {1, 0}) {
        options.nodes = 2;
        options.cold_start = cold_start;
        options.startup_timeout = {100, 600};
        options.deferred_requester = 1;
        build({}, {0, 1e9});
    }
    TtpController* m1() { return nodes[0]; }
    /// Frames M1 put on a channel, in order.
    unsigned frames_sent_on(const char* channel) {
        unsigned count = 0;
        for (const std::string& line : lines_of(channel)) {
            count += line.rfind("Sending I-frame", 0) == 0 ? 1 : 0;
        }
        return count;
    }
    void host_restart() {
        cni_hooks.write_controller_on(m1()->cni, 0);
        cni_hooks.write_controller_on(m1()->cni, 0xFFFF);
        run_until(sim_time()); // everything due at this instant
    }
};

// max_cold_start_entry and the alternation of channels: attempt n goes out on channel A when n is even.
// After the last attempt allowed the node listens for an I-frame with its guardian at rest.
TEST_F(LoneNodeTest, ColdStartAttemptsStopAtTheLimitAlternateChannelsAndLeaveTheGuardianAtRest) {
    options.extra_lines = {"3 controller_cfg_params.max_cold_start_entry"};
    build_alone();
    run_until(20000);
    EXPECT_EQ(frames_sent_on("Channel A"), 2u);
    EXPECT_EQ(frames_sent_on("Channel B"), 1u);
    std::vector<std::string> lines = lines_of("Controller M1");
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Starting cold start timeout."), 3);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "No bus activity detected"), 3);
    EXPECT_EQ(get_cold_starts(m1()->working_status), 3u);
    EXPECT_EQ(state_of(0), PS_LISTEN);
    EXPECT_TRUE(contains(lines, "Waiting for I-Frame."));
    EXPECT_EQ(m1()->bus_guardian->failed, 0u);
    EXPECT_EQ(get_bg_error(m1()->working_status), 0u);
}

TEST_F(LoneNodeTest, ColdStartWithoutLimitGoesOn) {
    build_alone();
    run_until(20000);
    EXPECT_EQ(state_of(0), PS_COLDSTART);
    EXPECT_GT(frames_sent_on("Channel B"), 3u);
    const unsigned a = frames_sent_on("Channel A");
    const unsigned b = frames_sent_on("Channel B");
    EXPECT_TRUE(a == b || a == b + 1) << a << " on A, " << b << " on B";
}

// AWAIT is requested through controller_await; leaving LISTEN for it puts the listen window's guardian at
// rest.
TEST_F(LoneNodeTest, AwaitRequestWakesAListeningNodeAndItsGuardianStaysQuiet) {
    build_alone();
    hosts[0]->answer_lifesign = false; // no cold start: it listens with the guardian armed
    run_until(500);
    ASSERT_EQ(state_of(0), PS_LISTEN);
    ASSERT_EQ(get_guardian_trigger(m1()->bus_guardian), 1u);
    cni_hooks.write_controller_await(m1()->cni, 0xFFFF);
    run_until(sim_time());
    EXPECT_EQ(state_of(0), PS_AWAIT);
    run_until(5000);
    EXPECT_EQ(state_of(0), PS_AWAIT);
    EXPECT_EQ(m1()->bus_guardian->failed, 0u);
    EXPECT_EQ(get_controller_on(m1()->cni), 0xFFFFu);

    // A host restart of a parked controller goes through FREEZE and INIT back to LISTEN at once.
    host_restart();
    EXPECT_EQ(state_of(0), PS_LISTEN);
    EXPECT_EQ(get_controller_on(m1()->cni), 0xFFFFu);
    EXPECT_EQ(get_config_valid(m1()->working_status), 10u);
}

// Either self-test request bit sends a listening node to SELFTEST at its next pass; the guardian it armed
// for the listen window is put at rest, and a host restart brings the node back through INIT.
TEST_F(LoneNodeTest, SelfTestRequestOfEitherBitParksTheNodeAndARestartBringsItBack) {
    build_alone();
    hosts[0]->answer_lifesign = false; // listen timeouts one after the other, no cold start
    for (unsigned bit : {1u, 0u}) {
        run_until(sim_time() + 500);
        ASSERT_EQ(state_of(0), PS_LISTEN) << bit;
        set_selftest_request(m1()->cni, bit, 1);
        run_until(sim_time() + 1200); // the listen timeout ends, the next pass looks at the request
        EXPECT_EQ(state_of(0), PS_SELFTEST) << bit;
        run_until(sim_time() + 3000);
        EXPECT_EQ(state_of(0), PS_SELFTEST) << bit;
        EXPECT_EQ(m1()->bus_guardian->failed, 0u) << bit;
        host_restart();
        EXPECT_EQ(state_of(0), PS_LISTEN) << bit;
        EXPECT_EQ(get_selftest_request(m1()->cni, bit), 0u) << bit; // INIT cleared the request
    }
}
