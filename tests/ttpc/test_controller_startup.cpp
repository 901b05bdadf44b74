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
    // On an I-frame of mode 1 the node integrates as READY and waits for its own slot to send.
    ASSERT_TRUE(run_until([&] { return get_cstate_valid(nodes[3]->working_status) == 10; }, 40000));
    EXPECT_EQ(state_of(3), PS_READY);
    run_until(60000);
    EXPECT_TRUE(all_members_in(PS_STARTUP));
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

// --- The answer to a cold start frame ---------------------------------------------------------------------

class ColdStartAnswerTest : public ClusterTest {
  protected:
    TtpController* c = nullptr;
    CState own;
    void SetUp() override {
        ClusterTest::SetUp();
        build({}, {1e9, 1e9, 1e9, 1e9});
        c = nodes[0];
        cni_hooks.write_controller_on(c->cni, 0xFFFF);
        set_protocol_state(c->working_status, PS_COLDSTART);
        set_cold_starts(c->working_status, 3);
        c->own_pos = 0;
        // M1's cold start C-state after skipping its own slot: M2's slot at global time 1250.
        own = CState{};
        set_global_time(own, 1250);
        set_medl_position(own, 1);
        set_membership(own, 0, 1);
    }
    /// Puts M2's answer, built from `answer`, into channel A's buffer and judges it.
    bool judge(const CState& answer) {
        c->working_status.cstate = answer;
        build_i_frame(c, CHANNEL_A, 0, 0);
        c->frame_buffer[CHANNEL_A].status = FRAME_STATUS_COMPLETE;
        c->frame_buffer[CHANNEL_B].status = FRAME_STATUS_EMPTY;
        c->working_status.cstate = own;
        return coldstart_check(c);
    }
    /// The answer M2 gives: mode 1, the same time and position, M1 and M2 members.
    CState answer() const {
        CState a = own;
        set_cluster_mode(a, 1);
        set_membership(a, 1, 1);
        return a;
    }
};

// A valid answer comes in mode 1 with the cold starter's global time and position and both the cold
// starter's and the answering slot's membership set; then the node adopts it and starts up.
TEST_F(ColdStartAnswerTest, ValidAnswerStartsTheCluster) {
    EXPECT_TRUE(judge(answer()));
    EXPECT_EQ(state_of(0), PS_STARTUP);
    EXPECT_EQ(get_cold_starts(c->working_status), 0u);
    EXPECT_EQ(get_cstate_valid(c->working_status), 10u);
    EXPECT_EQ(get_cluster_mode(c->working_status.cstate), 1u);
    EXPECT_EQ(get_medl_position(c->working_status.cstate), 2u);
    EXPECT_EQ(get_null_frame(c->working_status, 0), 0u);
    EXPECT_EQ(get_null_frame(c->working_status, 1), 0u);
    EXPECT_EQ(c->bg_sync_pending, 1u);
}

TEST_F(ColdStartAnswerTest, AnswerThatDiffersInAnyPartIsRefused) {
    std::vector<CState> wrong(5, answer());
    set_membership(wrong[0], 0, 0); // the answering node does not count the cold starter
    set_membership(wrong[1], 1, 0); // nor itself
    set_cluster_mode(wrong[2], 2);
    set_global_time(wrong[3], 1251);
    set_medl_position(wrong[4], 2);
    for (size_t k = 0; k < wrong.size(); ++k) {
        set_protocol_state(c->working_status, PS_COLDSTART);
        EXPECT_FALSE(judge(wrong[k])) << k;
        EXPECT_EQ(state_of(0), PS_LISTEN) << k;
        EXPECT_EQ(get_cstate_valid(c->working_status), 0u) << k;
    }
    EXPECT_TRUE(contains(lines_of("Controller M1"), "No valid I-Frame received"));
}

// --- Integration ------------------------------------------------------------------------------------------

class IntegrationTest : public ClusterTest {
  protected:
    /// M1, M2 and O2 start and go to mode 2; O1 stays off until the test switches it on.
    void start_without_o1() {
        build({}, {0, 0, 1e9, 0});
        run_until(20000);
        set_mcr_mode(nodes[3]->cni, 1);
        run_until(24000);
        ASSERT_EQ(get_cluster_mode(nodes[0]->working_status.cstate), 2u);
        ASSERT_EQ(state_of(0), PS_APPLICATION);
    }
    /// Switches O1's host on now, at the end of the slot before `position` (as M1 counts it).
    void switch_o1_on_before(uint32_t position) {
        ASSERT_TRUE(run_until(
            [&] { return get_medl_position(nodes[0]->working_status.cstate) == (position + 7) % 8; },
            sim_time() + 3000));
        ASSERT_TRUE(run_until([&] { return get_medl_position(nodes[0]->working_status.cstate) == position; },
                              sim_time() + 300));
        reactivate_at(hosts[2], sim_time());
    }
};

// A node that integrates on an I-frame of an application mode becomes PASSIVE; it sends again only after
// its host has proved itself alive at its own slot.
TEST_F(IntegrationTest, IntegrationOnAnApplicationModeFrameIsPassive) {
    start_without_o1();
    switch_o1_on_before(0);
    ASSERT_TRUE(
        run_until([&] { return get_cstate_valid(nodes[2]->working_status) == 10; }, sim_time() + 2000));
    EXPECT_EQ(state_of(2), PS_PASSIVE);
    EXPECT_EQ(get_cluster_mode(nodes[2]->working_status.cstate), 2u);
    EXPECT_TRUE(contains(lines_of("Controller O1"), "Synchronized on APP I-Frame"));
    run_until(sim_time() + 4000);
    EXPECT_TRUE(all_members_in(PS_APPLICATION));
}

// A listening node that hears only an N-frame has nothing to integrate on and goes on listening; the I-frame
// of the next round brings it in.
TEST_F(IntegrationTest, ListeningNodeHearingOnlyAnNFrameGoesOnListening) {
    start_without_o1();
    switch_o1_on_before(4); // the second round: N-frames
    std::vector<std::string> lines;
    ASSERT_TRUE(run_until(
        [&] {
            lines = lines_of("Controller O1");
            return contains(lines, "No valid I-Frame Received");
        },
        sim_time() + 300));
    EXPECT_EQ(state_of(2), PS_LISTEN);
    EXPECT_EQ(get_cstate_valid(nodes[2]->working_status), 0u);
    EXPECT_FALSE(contains(lines, "Got valid I-Frame on channel 0."));
    run_until(sim_time() + 1200);
    EXPECT_EQ(state_of(2), PS_PASSIVE);
}
