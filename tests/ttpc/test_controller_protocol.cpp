// Controllers on real channels: membership, implicit acknowledgement, mode changes, errors and interrupts,
// timers, the bus guardian, and what corrupted registers or lists lead to.
#include "cluster_fixture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>

namespace {

class ProtocolTest : public ClusterTest {
  protected:
    /// Runs a four-node cluster until every node sends in mode 1.
    void start_cluster(std::vector<double> drifts = {}) {
        build(drifts);
        run_until(20000);
        for (unsigned n = 0; n < options.nodes; ++n) {
            ASSERT_EQ(state_of(n), PS_STARTUP) << n;
            ASSERT_TRUE(full_membership(n)) << n;
        }
    }
    void request_mode_change_of(unsigned n, uint32_t mode, uint32_t immediate) {
        set_mcr_mode(nodes[n]->cni, mode);
        set_mcr_immediate(nodes[n]->cni, immediate);
    }
};

TEST_F(ProtocolTest, SilentNodeLeavesMembershipAndReturnsWhenItSendsAgain) {
    start_cluster();
    hosts[2]->answer_lifesign = false;
    run_until(sim_time() + 2000);
    EXPECT_EQ(state_of(2), PS_PASSIVE);
    EXPECT_TRUE(contains(lines_of("Controller O1"), "No Host Lifesign"));
    for (unsigned n : {0u, 1u, 3u}) {
        EXPECT_EQ(member(n, 2), 0u) << n;
        EXPECT_EQ(get_null_frame(nodes[n]->working_status, 2), 1u) << n;
        EXPECT_EQ(state_of(n), PS_STARTUP) << n;
    }
    hosts[2]->answer_lifesign = true;
    run_until(sim_time() + 2000);
    EXPECT_EQ(state_of(2), PS_STARTUP);
    for (unsigned n = 0; n < 4; ++n) {
        EXPECT_TRUE(full_membership(n)) << n;
    }
}

TEST_F(ProtocolTest, AcknowledgementTraceNamesThePaddedStates) {
    start_cluster();
    std::vector<std::string> m1 = lines_of("Controller M1");
    EXPECT_TRUE(contains(m1, "Performing IAck: SEND        -> CHECK1     "));
    EXPECT_TRUE(contains(m1, "Performing IAck: CHECK1      -> OK         "));
    EXPECT_TRUE(contains(m1, "Performing IAck: OK          -> OK         "));
    EXPECT_TRUE(contains(m1, "STARTUP     MV=[1111] NFV=[0000] A=2 F=0 I=0, TI1=0, Timer1=0"));
}

TEST_F(ProtocolTest, DeferredModeChangeSwitchesEveryNodeAtTheEndOfTheCycle) {
    start_cluster();
    request_mode_change_of(3, 1, 0);
    run_until(sim_time() + 4000);
    for (unsigned n = 0; n < 4; ++n) {
        EXPECT_EQ(state_of(n), PS_APPLICATION) << n;
        EXPECT_EQ(get_cluster_mode(nodes[n]->working_status.cstate), 2u) << n;
        EXPECT_TRUE(full_membership(n)) << n;
        EXPECT_TRUE(contains(lines_of(nodes[n]->name), "Deferred mode change, mode 2.")) << n;
    }
    // N-frames of the second round carry the nodes' messages.
    float value = 0;
    std::memcpy(&value, message_at(nodes[0]->cni, 6 * 2) + 2, sizeof value);
    EXPECT_EQ(value, 102.0f);
    EXPECT_EQ(get_message_status(message_at(nodes[0]->cni, 6 * 2)), VERDICT_CORRECT);
}

TEST_F(ProtocolTest, MessageNotMarkedValidMakesTheNodePassiveAndSilentAndItRejoins) {
    // Channel A's N-frame is built, channel B's message is not valid (NBW): the node must send nothing,
    // judge its own slot as silent like everybody else, and come back at its next own slot.
    start_cluster();
    request_mode_change_of(3, 1, 0);
    run_until(sim_time() + 4000);
    ASSERT_EQ(get_cluster_mode(nodes[2]->working_status.cstate), 2u);
    hosts[2]->validate_channel_b = false;
    set_message_status(message_at(nodes[2]->cni, 6 * 2 + 3), 0);
    ASSERT_TRUE(run_until([&] { return get_nbw_error(nodes[2]->working_status) != 0; }, sim_time() + 2000));
    hosts[2]->validate_channel_b = true;
    run_until(sim_time() + 200); // the end of O1's slot
    EXPECT_EQ(state_of(2), PS_PASSIVE);
    for (unsigned n = 0; n < 4; ++n) {
        EXPECT_EQ(member(n, 2), 0u) << n;
        EXPECT_EQ(get_null_frame(nodes[n]->working_status, 2), 1u) << n;
    }
    run_until(sim_time() + 2000);
    EXPECT_TRUE(all_members_in(PS_APPLICATION));
    for (unsigned n = 0; n < 4; ++n) {
        EXPECT_EQ(get_ack_error(nodes[n]->working_status), 0u) << n;
    }
    EXPECT_EQ(get_nbw_error(nodes[2]->working_status), 0u); // cleared when it became READY again
}

TEST_F(ProtocolTest, ImmediateModeChangeAndARefusedRequest) {
    options.extra_lines = {"1 mode_address_entry[2][3].mcp_i[0]", "1 mode_address_entry[2][7].mcp_i[0]"};
    start_cluster();
    request_mode_change_of(3, 1, 0);
    run_until(sim_time() + 4000);
    ASSERT_EQ(state_of(0), PS_APPLICATION);
    request_mode_change_of(3, 1, 1);
    run_until(sim_time() + 1000);
    for (unsigned n = 0; n < 4; ++n) {
        EXPECT_EQ(state_of(n), PS_STARTUP) << n;
        EXPECT_EQ(get_cluster_mode(nodes[n]->working_status.cstate), 1u) << n;
    }
    EXPECT_TRUE(contains(lines_of("Controller M1"), "Transition into mode 1."));

    // M1's slots grant no request: its own request is a mode violation and makes it passive.
    request_mode_change_of(0, 2, 1);
    run_until(sim_time() + 1000);
    EXPECT_EQ(get_mode_violation_error(nodes[0]->working_status), 1u);
    std::vector<std::string> m1 = lines_of("Controller M1");
    EXPECT_TRUE(contains(m1, "Host error."));
    EXPECT_TRUE(contains(m1, "Mode Violation Error"));
    EXPECT_EQ(member(1, 0), 0u);
}

TEST_F(ProtocolTest, ProtocolHostAndBistErrorsInterruptOnlyWhenEnabled) {
    build();
    TtpController* c = nodes[0];
    set_protocol_state(c, PS_APPLICATION);
    cni_hooks.write_controller_on(c->cni, 0xFFFF);
    set_protocol_state(c->working_status, PS_APPLICATION);

    raise_protocol_error(c);
    EXPECT_EQ(hosts[0]->interrupts, 0u);
    EXPECT_EQ(state_of(0), PS_FREEZE);
    EXPECT_EQ(get_controller_on(c->cni), 0u);
    EXPECT_EQ(get_interrupt_status(c->cni, IRQ_PE), 1u);

    set_interrupt_enable(c->cni, IRQ_HE, 1);
    set_host_lifesign(c->cni, 0x1234);
    set_nbw_error(c->working_status, 1);
    raise_host_error(c);
    EXPECT_EQ(hosts[0]->interrupts, 1u);
    EXPECT_EQ(state_of(0), PS_PASSIVE);
    EXPECT_EQ(get_host_lifesign(c->cni), 0u);
    raise_host_error(c); // status bit still set: traced, nothing else
    EXPECT_EQ(hosts[0]->interrupts, 1u);

    set_interrupt_enable(c->cni, IRQ_BE, 1);
    raise_bist_error(c);
    EXPECT_EQ(hosts[0]->interrupts, 2u);
    EXPECT_EQ(state_of(0), PS_FREEZE);
    std::vector<std::string> lines = lines_of("Controller M1");
    EXPECT_TRUE(contains(lines, "Protocol error."));
    EXPECT_TRUE(contains(lines, "NBW Protocol Error"));
    EXPECT_TRUE(contains(lines, "BIST error."));
}

TEST_F(ProtocolTest, UserTimerRaisesItsInterruptAtTheLocalTime) {
    start_cluster();
    TtpController* c = nodes[0];
    const uint32_t interrupts = hosts[0]->interrupts;
    set_interrupt_status(c->cni, IRQ_TI1, 0);
    cni_hooks.write_ti1_enable(c->cni, 1);
    uint32_t now_local = cni_hooks.read_local_time(c->cni);
    cni_hooks.write_timer1(c->cni, (now_local + 120) & 0xFFFF);
    EXPECT_TRUE(is_planned(c->timer_process[0]));
    double fire_at = c->timer_process[0]->evtime;
    EXPECT_NEAR(fire_at - sim_time(), 120.0, 1.0);
    run_until(fire_at);
    EXPECT_EQ(get_interrupt_status(c->cni, IRQ_TI1), 1u);
    EXPECT_EQ(hosts[0]->interrupts, interrupts + 1);
    EXPECT_TRUE(contains(lines_of("Controller M1: Timer 1"), "Timer activated"));

    // A timer equal to the present local time (or already past) is not planned.
    cni_hooks.write_timer1(c->cni, cni_hooks.read_local_time(c->cni));
    EXPECT_FALSE(is_planned(c->timer_process[0]));
    cni_hooks.write_timer1(c->cni, (cni_hooks.read_local_time(c->cni) - 5) & 0xFFFF);
    EXPECT_FALSE(is_planned(c->timer_process[0]));
}

TEST_F(ProtocolTest, GuardianRefusesAFrameOutsideItsWindowAndTheNodeFreezes) {
    build();
    nodes[1]->medl.role_list.bus_guardian.bg_slot_offset = 400; // opens after M2's own slot has begun
    run_until(20000);
    EXPECT_EQ(state_of(1), PS_FREEZE);
    EXPECT_EQ(get_bg_error(nodes[1]->working_status), 1u);
    EXPECT_TRUE(contains(lines_of("Controller M2"), "Bus Guardian Error"));
    for (unsigned n : {0u, 2u, 3u}) {
        EXPECT_EQ(state_of(n), PS_STARTUP) << n;
        EXPECT_EQ(member(n, 1), 0u) << n;
    }
}

// The default lists grant in mode 2 only the mode change requests that change nothing, so such a request
// written into a node's interface by a fault is consumed; an immediate change into a mode is refused.
TEST_F(ProtocolTest, DefaultListsConsumeRequestsThatChangeNothingAndRefuseImmediateChanges) {
    options.list_directory = PELORIN_DEFAULT_DATA_DIR;
    build();
    run_until(10000);
    request_mode_change_of(3, 1, 0); // O2's request for the application mode, as its host makes it
    run_until(sim_time() + 4000);
    for (unsigned n = 0; n < 4; ++n) {
        ASSERT_EQ(state_of(n), PS_APPLICATION) << n;
        ASSERT_EQ(get_cluster_mode(nodes[n]->working_status.cstate), 2u) << n;
    }
    const std::pair<uint32_t, uint32_t> harmless[] = {{1, 0}, {2, 0}, {3, 0}, {0, 1}};
    for (auto [mode, immediate] : harmless) {
        request_mode_change_of(2, mode, immediate);
        run_until(sim_time() + 4000);
        EXPECT_EQ(get_mcr_mode(nodes[2]->cni), 0u) << mode << immediate; // consumed
        EXPECT_TRUE(all_members_in(PS_APPLICATION)) << mode << immediate;
        EXPECT_EQ(get_cluster_mode(nodes[0]->working_status.cstate), 2u) << mode << immediate;
    }
    EXPECT_FALSE(contains(lines_of("Controller O1"), "Mode Violation Error"));

    auto transitions = [&] {
        std::vector<std::string> lines = lines_of("Controller M1");
        return std::count(lines.begin(), lines.end(), "Transition into mode 2.");
    };
    const auto before = transitions();
    request_mode_change_of(2, 2, 1);
    run_until(sim_time() + 1000);
    EXPECT_EQ(get_mode_violation_error(nodes[2]->working_status), 1u);
    EXPECT_EQ(state_of(2), PS_PASSIVE);
    EXPECT_EQ(transitions(), before);
}

// The host switches a running controller off and on again at one instant (its restart): the controller
// restarts through FREEZE and INIT and integrates again, instead of carrying on the slot it waited for.
TEST_F(ProtocolTest, HostRestartWhileWaitingForTheOwnSlotRestartsThroughInit) {
    start_cluster();
    TtpController* c = nodes[0];
    ASSERT_TRUE(run_until(
        [&] {
            return get_medl_position(c->working_status.cstate) == 0 && c->process->evtime == c->action_time &&
                   c->action_time - sim_time() > 20;
        },
        sim_time() + 3000));
    cni_hooks.write_controller_on(c->cni, 0);
    cni_hooks.write_controller_on(c->cni, 0xFFFF);
    run_until(sim_time());
    EXPECT_EQ(state_of(0), PS_LISTEN);
    EXPECT_EQ(get_controller_on(c->cni), 0xFFFFu);
    run_until(sim_time() + 6000);
    EXPECT_TRUE(all_members_in(PS_STARTUP));
    EXPECT_FALSE(contains(lines_of("Controller M1"), "Bus Guardian Error"));
}

// Writing controller_on with the value it holds changes nothing: no wake, no restart.
TEST_F(ProtocolTest, ControllerOnWrittenWithItsValueChangesNothing) {
    start_cluster();
    TtpController* c = nodes[0];
    const double planned = c->process->evtime;
    cni_hooks.write_controller_on(c->cni, 0xFFFF);
    EXPECT_EQ(state_of(0), PS_STARTUP);
    EXPECT_EQ(c->process->evtime, planned);
    cni_hooks.write_controller_await(c->cni, 0xFFFF); // a synchronised node does not wait for it
    EXPECT_EQ(c->process->evtime, planned);
    run_until(sim_time() + 2000);
    EXPECT_EQ(state_of(0), PS_STARTUP);
    EXPECT_TRUE(full_membership(1));
}

// --- Host interrupts -------------------------------------------------------------------------------------

// A deferred signal (membership change) sets its status bit at once but reaches the host only at the next
// slot start, once however many signals came; with its enable bit clear it never reaches the host.
TEST_F(ProtocolTest, DeferredInterruptReachesTheHostOnceAtTheNextSlotStart) {
    start_cluster();
    TtpController* m1 = nodes[0];
    TtpController* m2 = nodes[1];
    set_interrupt_status(m1->cni, IRQ_MC, 0);
    set_interrupt_enable(m1->cni, IRQ_MC, 1);
    set_interrupt_status(m2->cni, IRQ_MC, 0);
    set_interrupt_enable(m2->cni, IRQ_MC, 0);
    const uint32_t m1_before = hosts[0]->interrupts;
    const uint32_t m2_before = hosts[1]->interrupts;
    hosts[2]->answer_lifesign = false; // O1 falls silent at its next slot: a membership change everywhere
    ASSERT_TRUE(run_until([&] { return get_interrupt_status(m1->cni, IRQ_MC) != 0; }, sim_time() + 3000));
    EXPECT_EQ(hosts[0]->interrupts, m1_before);
    EXPECT_EQ(m1->interrupt_pending, 1u);
    const double next_slot_start = m1->action_time + 250;
    run_until(next_slot_start - 0.001);
    EXPECT_EQ(hosts[0]->interrupts, m1_before);
    run_until(next_slot_start + 1);
    EXPECT_EQ(hosts[0]->interrupts, m1_before + 1);
    EXPECT_EQ(m1->interrupt_pending, 0u);
    hosts[2]->answer_lifesign = true; // O1 comes back: a second membership change while the bit is set
    run_until(sim_time() + 2000);
    EXPECT_TRUE(full_membership(0));
    EXPECT_EQ(hosts[0]->interrupts, m1_before + 1); // the status bit stays set: no second delivery
    EXPECT_EQ(get_interrupt_status(m2->cni, IRQ_MC), 1u);
    EXPECT_EQ(hosts[1]->interrupts, m2_before);
    EXPECT_EQ(m2->interrupt_pending, 0u);
}

// UI1 and UI2 are raised when a slot whose addressing entry has ru1 / ru2 begins, and reach the host at the
// next slot start whether or not their enable bits are set.
TEST_F(ProtocolTest, UserInterruptsOfTheSlotThatBeginsReachTheHostWithoutEnable) {
    options.extra_lines = {"1 mode_address_entry[1][2].ru1", "1 mode_address_entry[1][5].ru2"};
    start_cluster();
    TtpController* m1 = nodes[0];
    auto position = [&] { return get_medl_position(m1->working_status.cstate); };
    for (unsigned round = 0; round < 2; ++round) {
        set_interrupt_status(m1->cni, IRQ_UI1, 0);
        set_interrupt_status(m1->cni, IRQ_UI2, 0);
        ASSERT_TRUE(run_until([&] { return position() == 1; }, sim_time() + 3000));
        ASSERT_TRUE(run_until([&] { return position() == 2; }, sim_time() + 300));
        EXPECT_EQ(get_interrupt_status(m1->cni, IRQ_UI1), 1u);
        EXPECT_EQ(get_interrupt_status(m1->cni, IRQ_UI2), 0u);
        const uint32_t before = hosts[0]->interrupts;
        run_until(m1->action_time + 250 + 1); // the start of slot 2
        EXPECT_EQ(hosts[0]->interrupts, before + 1);
        ASSERT_TRUE(run_until([&] { return position() == 5; }, sim_time() + 1000));
        EXPECT_EQ(get_interrupt_status(m1->cni, IRQ_UI2), 1u);
        run_until(m1->action_time + 250 + 1);
        EXPECT_EQ(hosts[0]->interrupts, before + 2);
    }
    EXPECT_EQ(get_interrupt_enable(m1->cni, IRQ_UI1), 0u);
    EXPECT_TRUE(contains(lines_of("Controller M1"), "UI2 detected."));
}

// DOWNLOAD completes at once: download_completed, a protocol error, FREEZE and the controller switched off.
TEST_F(ProtocolTest, DownloadStateCompletesAndFreezes) {
    start_cluster();
    set_protocol_state(nodes[1]->working_status, PS_DOWNLOAD);
    run_until(sim_time() + 300);
    EXPECT_EQ(get_download_completed(nodes[1]->working_status), 1u);
    EXPECT_EQ(get_interrupt_status(nodes[1]->cni, IRQ_PE), 1u);
    EXPECT_EQ(get_controller_on(nodes[1]->cni), 0u);
    EXPECT_TRUE(contains(lines_of("Controller M2"), "Download Completed"));
    run_until(sim_time() + 1000);
    EXPECT_EQ(state_of(1), PS_FREEZE);
}

// --- Slot-start checks -----------------------------------------------------------------------------------

class SlotCheckTest : public ProtocolTest {
  protected:
    TtpController* c = nullptr;
    void SetUp() override {
        ProtocolTest::SetUp();
        build();
        c = nodes[0];
        cni_hooks.write_controller_on(c->cni, 0xFFFF);
        set_protocol_state(c->working_status, PS_APPLICATION);
        set_cluster_mode(c->working_status.cstate, 1);
        set_medl_position(c->working_status.cstate, 0); // M1's own slot
    }
};

TEST_F(SlotCheckTest, BlackoutFreezesANodeThatCountedNothing) {
    EXPECT_EQ(slot_start_check(c), 0);
    EXPECT_EQ(get_blackout_error(c->working_status), 1u);
    EXPECT_EQ(state_of(0), PS_FREEZE);
}

TEST_F(SlotCheckTest, CliqueCheckFreezesTheMinority) {
    set_agreed_slots(c->working_status, 2);
    set_failed_slots(c->working_status, 1);
    set_invalid_slots(c->working_status, 1);
    EXPECT_EQ(slot_start_check(c), 0);
    EXPECT_EQ(get_ack_error(c->working_status), 1u);
    EXPECT_EQ(state_of(0), PS_FREEZE);
    EXPECT_TRUE(contains(lines_of("Controller M1"), "Acknowlegment Error"));
}

TEST_F(SlotCheckTest, ReadyNodeSendsOnlyIntoASlotThatWasSilent) {
    set_agreed_slots(c->working_status, 1);
    set_protocol_state(c->working_status, PS_READY);
    set_null_frame(c->working_status, 0, 0);
    set_host_lifesign(c->cni, ~get_controller_lifesign(c->working_status) & 0xFFFF);
    EXPECT_EQ(slot_start_check(c), 0);
    EXPECT_EQ(state_of(0), PS_READY);

    set_agreed_slots(c->working_status, 1);
    set_null_frame(c->working_status, 0, 1);
    set_host_lifesign(c->cni, ~get_controller_lifesign(c->working_status) & 0xFFFF);
    EXPECT_EQ(slot_start_check(c), 1);
    EXPECT_EQ(state_of(0), PS_STARTUP);
    EXPECT_EQ(c->ack_state, ACK_SEND);
}

/// Makes the host's life sign the answer the controller expects at its next check.
void answer_lifesign(TtpController* c) {
    set_host_lifesign(c->cni, ~get_controller_lifesign(c->working_status) & 0xFFFF);
}

// Reintegration: a READY node sends only into a slot with ra that was silent last time, and finds the slot
// occupied (a host error) when the published C-state already counts its slot as a member.
TEST_F(SlotCheckTest, ReadyNodeFindingItsSlotOccupiedIsAHostError) {
    set_protocol_state(c->working_status, PS_READY);
    set_null_frame(c->working_status, 0, 1);
    c->medl.slot_control_entry[0].ra = 0;
    set_agreed_slots(c->working_status, 1);
    answer_lifesign(c);
    EXPECT_EQ(slot_start_check(c), 0); // the slot does not allow reintegration
    EXPECT_EQ(state_of(0), PS_READY);

    c->medl.slot_control_entry[0].ra = 1;
    set_membership(c->cni.status.cstate, 0, 1); // the published C-state: position 0 is taken
    set_agreed_slots(c->working_status, 1);
    answer_lifesign(c);
    EXPECT_EQ(slot_start_check(c), 0);
    EXPECT_EQ(get_slot_occupied_error(c->working_status), 1u);
    EXPECT_EQ(get_interrupt_status(c->cni, IRQ_HE), 1u);
    EXPECT_EQ(state_of(0), PS_PASSIVE);
    EXPECT_NE(c->ack_state, ACK_SEND);
    EXPECT_TRUE(contains(lines_of("Controller M1"), "Slot Occupied Error"));
}

// PASSIVE -> READY at the own slot when the host is alive: the host error flags are cleared (and published)
// before the node tries to send again.
TEST_F(SlotCheckTest, PassiveNodeWithItsHostAliveBecomesReadyWithTheHostErrorsCleared) {
    set_protocol_state(c->working_status, PS_PASSIVE);
    set_null_frame(c->working_status, 0, 1);
    set_slot_occupied_error(c->working_status, 1);
    set_mode_violation_error(c->working_status, 1);
    set_nbw_error(c->working_status, 1);
    set_agreed_slots(c->working_status, 1);
    answer_lifesign(c);
    EXPECT_EQ(slot_start_check(c), 1);
    EXPECT_EQ(state_of(0), PS_STARTUP);
    for (const CniStatus* s : {&c->working_status, &c->cni.status}) {
        EXPECT_EQ(get_slot_occupied_error(*s), 0u);
        EXPECT_EQ(get_mode_violation_error(*s), 0u);
        EXPECT_EQ(get_nbw_error(*s), 0u);
    }
}

// Counting a slot: a correct frame on either channel is agreed; a frame that did not agree is failed; a
// reception that began but did not complete is invalid; silence on both channels sets the null frame flag
// and counts nothing. The sender leaves the membership unless a frame was correct.
TEST_F(SlotCheckTest, SlotEvaluationCountsEachVerdictOnce) {
    CState& cs = c->working_status.cstate;
    for (unsigned p = 0; p < 4; ++p) {
        set_membership(cs, p, 1);
    }
    set_medl_position(cs, 2); // O1's slot
    const CState view = cs;
    auto evaluate = [&](uint8_t status_a, uint8_t status_b, bool a_agrees = true) {
        for (unsigned ch = 0; ch < CHANNEL_COUNT; ++ch) {
            CState sent = view;
            set_membership(sent, 3, ch == CHANNEL_A && !a_agrees ? 0 : 1);
            std::swap(cs, sent);
            build_i_frame(c, ch, 0, 0);
            std::swap(cs, sent);
            c->frame_buffer[ch].status = ch == CHANNEL_A ? status_a : status_b;
        }
        set_agreed_slots(c->working_status, 0);
        set_failed_slots(c->working_status, 0);
        set_invalid_slots(c->working_status, 0);
        set_membership(cs, 2, 1);
        evaluate_slot(c);
        const CniStatus& s = c->working_status;
        return std::array<uint32_t, 5>{get_agreed_slots(s), get_failed_slots(s), get_invalid_slots(s),
                                       get_null_frame(s, 2), get_membership(cs, 2)};
    };
    using R = std::array<uint32_t, 5>; // agreed, failed, invalid, null frame, sender a member
    EXPECT_EQ(evaluate(FRAME_STATUS_ARRIVING, FRAME_STATUS_EMPTY), (R{0, 0, 1, 0, 0}));
    EXPECT_EQ(get_frame_status_a(c->working_status), VERDICT_INVALID);
    EXPECT_EQ(evaluate(FRAME_STATUS_EMPTY, FRAME_STATUS_ARRIVING), (R{0, 0, 1, 0, 0}));
    EXPECT_EQ(evaluate(FRAME_STATUS_ARRIVING, FRAME_STATUS_COMPLETE), (R{1, 0, 0, 0, 1}));
    EXPECT_EQ(evaluate(FRAME_STATUS_COMPLETE, FRAME_STATUS_EMPTY, false), (R{0, 1, 0, 0, 0}));
    EXPECT_EQ(evaluate(FRAME_STATUS_COMPLETE, FRAME_STATUS_ARRIVING, false), (R{0, 1, 0, 0, 0}));
    EXPECT_EQ(evaluate(FRAME_STATUS_EMPTY, FRAME_STATUS_EMPTY), (R{0, 0, 0, 1, 0}));
    EXPECT_EQ(get_frame_status_b(c->working_status), VERDICT_NULL);

    // While the node's own acknowledgement is pending, the acknowledgement does the counting.
    c->ack_state = ACK_CHECK1;
    EXPECT_EQ(evaluate(FRAME_STATUS_ARRIVING, FRAME_STATUS_EMPTY), (R{0, 1, 0, 0, 0}));
    EXPECT_EQ(c->ack_state, ACK_CHECK1);
}

// --- Implicit acknowledgement ----------------------------------------------------------------------------

class AckTest : public SlotCheckTest {
  protected:
    void SetUp() override {
        SlotCheckTest::SetUp();
        CState& cs = c->working_status.cstate;
        for (unsigned p = 0; p < 4; ++p) {
            set_membership(cs, p, 1);
        }
        set_medl_position(cs, 2); // O1's slot: O1 is the sender being judged
        c->successor_pos = 1;
    }
    /// Puts into both receive buffers O1's I-frame as built from `view` (O1's C-state).
    void received(const CState& view) {
        CState saved = c->working_status.cstate;
        c->working_status.cstate = view;
        for (unsigned ch = 0; ch < CHANNEL_COUNT; ++ch) {
            build_i_frame(c, ch, 0, 0);
            c->frame_buffer[ch].status = FRAME_STATUS_COMPLETE;
        }
        c->working_status.cstate = saved;
    }
    CState without(std::initializer_list<unsigned> positions) {
        CState view = c->working_status.cstate;
        for (unsigned p : positions) {
            set_membership(view, p, 0);
        }
        return view;
    }
    const CniStatus& s() const { return c->working_status; }
};

TEST_F(AckTest, FirstSuccessorAgreeingAcknowledges) {
    c->ack_state = ACK_CHECK1;
    received(c->working_status.cstate);
    EXPECT_EQ(implicit_ack(c), 1);
    EXPECT_EQ(c->ack_state, ACK_OK);
    EXPECT_EQ(get_agreed_slots(s()), 1u);
}

TEST_F(AckTest, FirstSuccessorWithoutTheNodeLeadsToSecondCheck) {
    c->ack_state = ACK_CHECK1;
    received(without({0}));
    implicit_ack(c);
    EXPECT_EQ(c->ack_state, ACK_CHECK2);
    EXPECT_EQ(c->successor_pos, 2u);
}

TEST_F(AckTest, FrameThatSaysNothingCountsAFailureAndRemovesTheSender) {
    c->ack_state = ACK_CHECK1;
    received(without({0, 1}));
    implicit_ack(c);
    EXPECT_EQ(c->ack_state, ACK_CHECK1);
    EXPECT_EQ(get_failed_slots(s()), 1u);
    EXPECT_EQ(get_membership(s().cstate, 2), 0u);
}

TEST_F(AckTest, SecondSuccessorOverrulesAWrongFirstSuccessor) {
    c->ack_state = ACK_CHECK2;
    received(without({1}));
    implicit_ack(c);
    EXPECT_EQ(c->ack_state, ACK_OK);
    EXPECT_EQ(get_agreed_slots(s()), 1u);
    EXPECT_EQ(get_failed_slots(s()), 1u);
    EXPECT_EQ(get_membership(s().cstate, 1), 0u);
}

TEST_F(AckTest, SecondSuccessorSidingWithTheFirstMeansTheNodeFailed) {
    c->ack_state = ACK_CHECK2;
    received(without({0}));
    implicit_ack(c);
    EXPECT_EQ(c->ack_state, ACK_ERROR);
    EXPECT_EQ(get_agreed_slots(s()), 2u);
    EXPECT_EQ(get_membership_failures(s()), 1u);
    EXPECT_EQ(get_membership(s().cstate, 0), 0u);
    EXPECT_EQ(get_membership(s().cstate, 1), 1u);
    EXPECT_EQ(state_of(0), PS_READY);
    EXPECT_EQ(get_interrupt_status(c->cni, IRQ_ML), 1u);
}

TEST_F(AckTest, RepeatedNodeFailuresRaiseTheMembershipError) {
    set_membership_failures(c->working_status, 1); // mmfc is 2
    c->ack_state = ACK_CHECK2;
    received(without({0}));
    EXPECT_EQ(implicit_ack(c), 1);
    EXPECT_EQ(get_membership_error(s()), 1u);
    EXPECT_EQ(state_of(0), PS_FREEZE);
    EXPECT_EQ(c->ack_state, ACK_CHECK2);
}

TEST_F(AckTest, NeitherHypothesisIsADoubleFailure) {
    c->ack_state = ACK_CHECK2;
    received(without({3}));
    implicit_ack(c);
    EXPECT_EQ(c->ack_state, ACK_DBL_FAILURE);
    EXPECT_EQ(get_failed_slots(s()), 2u);
    EXPECT_EQ(get_membership(s().cstate, 1), 0u);
    EXPECT_EQ(get_membership(s().cstate, 2), 0u);
    EXPECT_EQ(state_of(0), PS_READY);
}

TEST_F(AckTest, ChannelsDisagreeingIsABistErrorAndTheTraceLineEnds) {
    c->ack_state = ACK_CHECK1;
    received(c->working_status.cstate);
    CState view = without({0});
    CState saved = c->working_status.cstate;
    c->working_status.cstate = view;
    build_i_frame(c, CHANNEL_B, 0, 0);
    c->working_status.cstate = saved;
    EXPECT_EQ(implicit_ack(c), 1);
    EXPECT_EQ(get_ack_mismatch(s()), 1u);
    EXPECT_EQ(state_of(0), PS_FREEZE);
    EXPECT_TRUE(contains(lines_of("Controller M1"), "Performing IAck: "));
    EXPECT_TRUE(contains(lines_of("Controller M1"), "BIST error."));
}

TEST_F(AckTest, CorruptedAcknowledgementStateResolvesToOk) {
    c->ack_state = 9;
    received(c->working_status.cstate);
    EXPECT_EQ(implicit_ack(c), 1);
    EXPECT_EQ(c->ack_state, ACK_OK);
    EXPECT_EQ(get_agreed_slots(s()), 0u);
    EXPECT_TRUE(contains(lines_of("Controller M1"), "Performing IAck: Unknown! -> OK         "));
}

// --- What corrupted state and unusual lists lead to ------------------------------------------------------

TEST_F(SlotCheckTest, ModeWithoutAddressingEntrySendsIFramesAndGrantsNothing) {
    set_cluster_mode(c->working_status.cstate, 31);
    EXPECT_EQ(current_address_entry(c), nullptr);
    EXPECT_TRUE(mode_change_permitted(c, 0, 0));
    EXPECT_FALSE(mode_change_permitted(c, 1, 0));
    EXPECT_FALSE(mode_change_permitted(c, 0, 1));
    EXPECT_EQ(prepare_frames(c), 0);
    EXPECT_EQ(c->frame_buffer[CHANNEL_A].kind, FRAME_KIND_I);
    EXPECT_EQ(c->frame_buffer[CHANNEL_B].kind, FRAME_KIND_I);
    evaluate_slot(c); // no messages to update, no crash
    EXPECT_EQ(get_frame_status_a(c->working_status), VERDICT_CORRECT);
}

TEST_F(SlotCheckTest, NFrameSlotWithoutMessageSkipsTheDelivery) {
    set_cluster_mode(c->working_status.cstate, 2);
    set_medl_position(c->working_status.cstate, 4); // M1's N-frame slot in mode 2
    ModeAddressEntry& entry = c->medl.mode_address_entry[2][4];
    entry.cni_address_cha = MEDL_NO_MESSAGE;
    std::vector<uint8_t> before(c->cni.message_area, c->cni.message_area + CNI_MESSAGE_AREA_BYTES);
    c->frame_buffer[CHANNEL_A].status = FRAME_STATUS_EMPTY;
    c->frame_buffer[CHANNEL_B].status = FRAME_STATUS_EMPTY;
    evaluate_slot(c);
    std::vector<uint8_t> after(c->cni.message_area, c->cni.message_area + CNI_MESSAGE_AREA_BYTES);
    EXPECT_EQ(after[0], before[0]);                         // channel A's message untouched
    EXPECT_EQ(get_update_count(message_at(c->cni, 3)), 2u); // channel B's message got the null verdict
}

TEST_F(SlotCheckTest, MessageNearTheEndOfTheAreaThatTheListAllowsIsSentAndReceived) {
    // The reader accepts address 9214 with one data byte (it ends at byte 18431); the controller must use
    // the same rule when it reads the message to send and when it delivers the received data.
    set_cluster_mode(c->working_status.cstate, 2);
    set_medl_position(c->working_status.cstate, 4); // M1's N-frame slot in mode 2
    ModeAddressEntry& entry = c->medl.mode_address_entry[2][4];
    entry.cni_address_cha = 9214;
    entry.dafla = 0;
    uint8_t* message = message_at(c->cni, 9214, 1);
    ASSERT_NE(message, nullptr);
    set_message_byte(message, 0, 0x5A);
    set_message_status(message, MESSAGE_VALID);
    set_message_status(message_at(c->cni, 3), MESSAGE_VALID);
    EXPECT_EQ(prepare_frames(c), 0);
    EXPECT_EQ(get_nbw_error(c->working_status), 0u);
    EXPECT_EQ(get_data_byte(c->frame_buffer[CHANNEL_A], 0), 0x5Au);
    evaluate_slot(c);
    EXPECT_EQ(get_update_count(message), 2u);
    EXPECT_EQ(get_message_status(message), VERDICT_CORRECT);
}

TEST(ControllerClock, TargetsAlreadyPastAreNow) {
    EXPECT_EQ(macroticks_until(300, 100), 200u);
    EXPECT_EQ(macroticks_until(100, 300), 0u);
    EXPECT_EQ(macroticks_until(5, 0xFFF0), 21u); // across the wrap
    EXPECT_EQ(macroticks_until(0xFFF0, 5), 0u);
}

TEST(ControllerLists, ListWithoutOwnSlotIsRefusedWithAReason) {
    auto medl = std::make_unique<Medl>();
    medl->controller_cfg_params.micro_to_macro = 10;
    medl->controller_cfg_params.c_state_length = 3;
    medl->role_list.logical_name.slot_position = 9;
    medl->controller_cfg_params.tdma_round_length = 250;
    medl->slot_control_entry[0].sru_slot_duration = 250;
    medl->slot_control_entry[0].eot = 1;
    MedlRefusal why;
    EXPECT_FALSE(medl_runnable(*medl, &why));
    EXPECT_NE(why.reason.find("role_list.logical_name"), std::string::npos);
    EXPECT_EQ(why.field, &medl->role_list.logical_name.slot_position);
    medl->slot_control_entry[0].logical_name.slot_position = 9;
    EXPECT_TRUE(medl_runnable(*medl, &why)) << why.reason;
    medl->controller_cfg_params.micro_to_macro = 0;
    EXPECT_FALSE(medl_runnable(*medl, &why));
    EXPECT_EQ(why.field, &medl->controller_cfg_params.micro_to_macro);
    medl->controller_cfg_params.micro_to_macro = NAN;
    EXPECT_FALSE(medl_runnable(*medl));
    medl->controller_cfg_params.micro_to_macro = 10;
    medl->slot_control_entry[0].eot = 0;
    EXPECT_FALSE(medl_runnable(*medl, &why));
    EXPECT_EQ(why.field, &medl->slot_control_entry[1].sru_slot_duration) << "the slot after the own one";
    for (SlotControlEntry& slot : medl->slot_control_entry) {
        slot.sru_slot_duration = 250;
    }
    EXPECT_FALSE(medl_runnable(*medl, &why));
    EXPECT_EQ(why.field, nullptr) << "a missing cycle end is a line to add, not a line to point at";
    EXPECT_EQ(why.key, "slot_control_entry[N].eot");
}

} // namespace
