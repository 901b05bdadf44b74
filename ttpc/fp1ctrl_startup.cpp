// The unsynchronised states of the controller: INIT prepares the interface and finds the own slot; LISTEN
// waits for an I-frame to integrate on, or for a silence long enough to start the cluster; COLDSTART sends
// cold start frames on alternating channels and waits for an answer.
#include "ttpc/fp1busg.h"
#include "ttpc/fp1ctrl_internal.h"

#include <cmath>

namespace {

/// Wait after a registration found a channel busy, macroticks.
constexpr uint32_t BAD_RECEIVE_WAIT = 100;

uint32_t listen_timeout(const TtpController* c) {
    return get_startup_timeout(c->medl) + 2 * get_tdma_round_length(c->medl);
}

/// A difference of list values that must not be negative (lists where it would be are refused before a run).
uint32_t non_negative(int64_t macroticks) {
    return macroticks > 0 ? static_cast<uint32_t>(macroticks) : 0;
}

void set_wake_flags(TtpController* c) {
    c->wake_on_controller_on = 1;
    c->wake_on_await = 1;
    c->wake_on_frame = 1;
}

void clear_host_wake_flags(TtpController* c) {
    c->wake_on_controller_on = 0;
    c->wake_on_await = 0;
}

bool hold_macroticks(TtpController* c, uint32_t n, uint32_t resume_at) {
    trace(trace_object(c), "Holding...\n");
    hold(hold_time_for(c, n), resume_at);
    return true;
}

/// Does the C-state of the frame on `channel` answer this node's cold start frame?
bool valid_cold_start_answer(const TtpController* c, int channel) {
    if (channel < 0) {
        return false;
    }
    const CState& answer = frame_cstate(c->frame_buffer[channel]);
    const CState& own = working_cstate(c);
    const SlotControlEntry& slot = current_slot(c);
    return get_cluster_mode(answer) == 1 && get_global_time(answer) == get_global_time(own) &&
           get_medl_position(answer) == get_medl_position(own) && get_membership(answer, c->own_pos) != 0 &&
           get_membership(answer, get_membership_pos(slot)) != 0;
}

/// Steps 9 and 10 of a cold start attempt: skip the slots that passed, then judge what arrived.
bool coldstart_evaluate(TtpController* c) {
    clear_host_wake_flags(c);
    double r = std::trunc(real_to_local(c, sim_time() - c->coldstart_time));
    for (uint32_t duration = get_sru_slot_duration(current_slot(c)); duration > 0 && duration <= r;
         duration = get_sru_slot_duration(current_slot(c))) {
        r -= duration;
        advance_slot(c);
    }
    if (coldstart_check(c)) {
        (void)register_receivers(c);
    }
    return false;
}

} // namespace

uint32_t find_own_slot(const TtpController* c) {
    for (uint32_t i = 0; i < MAX_TRANSMISSION_CYCLE_LENGTH; ++i) {
        if (is_own_slot(c, c->medl.slot_control_entry[i])) {
            return i;
        }
    }
    return MAX_TRANSMISSION_CYCLE_LENGTH;
}

bool cold_start_allowed(const TtpController* c) {
    uint32_t limit = get_max_cold_start_entry(c->medl);
    return get_cf(c->medl) != 0 && (limit == 0 || get_cold_starts(c->working_status) < limit);
}

int first_valid_i_frame_channel(const TtpController* c) {
    for (unsigned ch = 0; ch < CHANNEL_COUNT; ++ch) {
        if (valid_i_frame(c->frame_buffer[ch])) {
            return static_cast<int>(ch);
        }
    }
    return -1;
}

void init_controller(TtpController* c) {
    reset_cni(c->cni);
    reset_status(c->working_status);
    for (unsigned position = 0; position < CNI_NULL_FRAME_COUNT; ++position) {
        set_null_frame(c->working_status, position, 1);
    }
    const double now = sim_time();
    c->last_tick_time = now;
    c->tick_remainder = 0.0;
    c->correction_ref_time = now;
    c->ack_state = ACK_OK;
    access_write_bytes(c->csa_stack, sizeof c->csa_stack);
    for (int32_t& entry : c->csa_stack) {
        entry = 0;
    }
    recorded_store(c->csa_index, 0);
    recorded_store(c->interrupt_pending, 0);
    recorded_store(c->bg_sync_pending, 0);

    const LogicalName& role = c->medl.role_list.logical_name;
    set_logical_name_ps(c->working_status, get_ps(role));
    set_logical_name_slot_position(c->working_status, get_slot_position(role));
    set_logical_name_multiplex_id(c->working_status, get_multiplex_id(role));

    uint32_t own_slot = find_own_slot(c);
    if (own_slot == MAX_TRANSMISSION_CYCLE_LENGTH) {
        // A list without an own slot is refused before a run; should one get here, the controller reports
        // its list as unusable and stays frozen instead of sending in a slot that is not its own.
        set_medl_crc_error(c->working_status, 1);
        raise_protocol_error(c);
        return;
    }
    c->own_pos = get_membership_pos(c->medl.slot_control_entry[own_slot]);
    set_config_valid(c->working_status, CNI_VALID);
    set_protocol_state(c, PS_LISTEN);
    reset(c->bus_guardian);
}

// --- LISTEN ----------------------------------------------------------------------------------------------

bool listen_step(TtpController* c) {
    if (!controller_is_on(c)) {
        set_protocol_state(c, PS_FREEZE);
        return false;
    }
    // A guardian left armed by an earlier listen window or cold start attempt would fail when its window
    // closes with the trigger still raised; whenever LISTEN goes on without arming it, it is put at rest.
    if (get_controller_await(c->cni) == CNI_REQUEST) {
        rest_guardian(c);
        set_protocol_state(c, PS_AWAIT);
        return false;
    }
    if (get_selftest_request(c->cni, 0) != 0 || get_selftest_request(c->cni, 1) != 0) {
        rest_guardian(c);
        set_protocol_state(c, PS_SELFTEST);
        return false;
    }
    bool may_cold_start = cold_start_allowed(c);
    if (may_cold_start) {
        load_guardian_window(c, c->medl.implementation_params.listen_cold_start_period_params);
        trigger_guardian(c, 1);
    } else {
        rest_guardian(c);
    }
    set_wake_flags(c);
    if (register_receivers(c) != 0) {
        trace(trace_object(c), "Bad receive.\n");
        publish_status(c);
        return hold_macroticks(c, BAD_RECEIVE_WAIT, CTRL_LISTENED);
    }
    if (may_cold_start) {
        trace(trace_object(c), "Starting listen timeout.\n");
        publish_status(c);
        return hold_macroticks(c, listen_timeout(c), CTRL_LISTENED);
    }
    trace(trace_object(c), "Waiting for I-Frame.\n");
    publish_status(c);
    passivate(CTRL_LISTENED);
    return true;
}

bool listen_after_wait(TtpController* c) {
    clear_host_wake_flags(c);
    cancel_receiving(c);
    if (!controller_is_on(c)) {
        set_protocol_state(c, PS_FREEZE);
        return false;
    }
    if (something_received(c)) {
        int channel = first_valid_i_frame_channel(c);
        if (channel >= 0) {
            trace(trace_object(c), "Got valid I-Frame on channel %d.\n", channel);
            integrate(c, static_cast<unsigned>(channel));
            return false;
        }
    } else if (cold_start_allowed(c) && host_alive(c)) {
        set_protocol_state(c, PS_COLDSTART);
        return false;
    }
    trace(trace_object(c), "No valid I-Frame Received\n");
    return false;
}

void integrate(TtpController* c, unsigned channel_index) {
    const Frame& frame = c->frame_buffer[channel_index & 1u];
    load_guardian_window(c, c->medl.implementation_params.synchronization_period_params);
    recorded_store(c->bg_sync_pending, 1);
    add_agreed_slots(c->working_status, 1);
    const CState& received = frame_cstate(frame);
    if (get_cluster_mode(received) == 0 && get_multiplex_id(c->medl.role_list.logical_name) != 0) {
        return; // a multiplexed node does not integrate on a cold start frame
    }
    CState& cs = working_cstate(c);
    access_read_bytes(&received, sizeof received);
    cs = received;
    if (get_cluster_mode(cs) == 0) {
        set_cluster_mode(cs, 1);
    }
    set_cstate_valid(c->working_status, CNI_VALID);
    set_null_frame(c->working_status, get_membership_pos(current_slot(c)), 0);

    // The local clock read the slot start exactly when the sender started sending.
    set_local_time(c->working_status, get_global_time(cs));
    c->last_tick_time = frame.send_time;
    c->tick_remainder = 0.0;
    set_clock_correction(c->working_status, 0);
    publish_status(c);
    advance_slot(c);

    uint32_t mode = get_cluster_mode(cs);
    if (mode >= 2 && mode < MEDL_MODE_COUNT) {
        (void)host_alive(c); // refreshes the controller life sign; a passive node needs it later
        (void)register_receivers(c);
        trace(trace_object(c), "Synchronized on APP I-Frame\n");
        set_protocol_state(c, PS_PASSIVE);
    } else if (mode == 1) {
        (void)register_receivers(c);
        set_protocol_state(c, PS_READY);
    } else if (host_alive(c)) {
        (void)register_receivers(c);
        set_protocol_state(c, PS_READY);
    } else {
        (void)register_receivers(c);
        set_protocol_state(c, PS_PASSIVE);
        trace(trace_object(c), "Synchronized on CS I-Frame\n");
    }
    signal_mode_change(c);
    signal_membership_change(c);
}

// --- COLDSTART -------------------------------------------------------------------------------------------

bool coldstart_step(TtpController* c) {
    c->coldstart_time = sim_time();
    if (!controller_is_on(c)) {
        set_protocol_state(c, PS_FREEZE);
        return false;
    }
    unsigned channel = get_cold_starts(c->working_status) & 1u;
    CState& cs = working_cstate(c);
    set_cluster_mode(cs, 0);
    set_medl_position(cs, find_own_slot(c) % MAX_TRANSMISSION_CYCLE_LENGTH);
    for (unsigned position = 0; position < CSTATE_MEMBERSHIP_COUNT; ++position) {
        set_membership(cs, position, 0);
    }
    set_membership(cs, c->own_pos, 1);
    set_dmc(cs, 0);
    set_global_time(cs, read_local_time(c));
    build_cold_start_frame(c, channel);
    send_on(c, channel);
    notify_slot_started(c, true);
    add_cold_starts(c->working_status, 1);
    publish_status(c);
    trace(trace_object(c), "Starting cold start timeout.\n");
    set_wake_flags(c);
    uint32_t own_duration = get_sru_slot_duration(current_slot(c));
    return hold_macroticks(c, non_negative(int64_t{own_duration} - get_ifg_time(c->medl)),
                           CTRL_COLDSTART_SENT);
}

bool coldstart_after_wait(TtpController* c, uint32_t point) {
    switch (point) {
    case CTRL_COLDSTART_SENT:
        if (register_receivers(c) != 0) {
            trace(trace_object(c), "Bad receive.\n");
            publish_status(c);
            return hold_macroticks(c, BAD_RECEIVE_WAIT, CTRL_COLDSTART_BAD_RECEIVE);
        }
        return hold_macroticks(c, get_ifg_time(c->medl), CTRL_COLDSTART_GAP);
    case CTRL_COLDSTART_GAP:
        if (!something_received(c)) {
            load_guardian_window(c, c->medl.bus_guardian_cold_start);
            trigger_guardian(c, 1);
            publish_status(c);
            int64_t wait = int64_t{get_startup_timeout(c->medl)} + get_tdma_round_length(c->medl) -
                           get_sru_slot_duration(current_slot(c));
            return hold_macroticks(c, non_negative(wait), CTRL_COLDSTART_TIMEOUT);
        }
        publish_status(c);
        return coldstart_evaluate(c);
    default: // after the bad-receive hold or the cold start timeout
        return coldstart_evaluate(c);
    }
}

bool coldstart_check(TtpController* c) {
    cancel_receiving(c);
    if (!controller_is_on(c)) {
        set_protocol_state(c, PS_FREEZE);
        return false;
    }
    if (!something_received(c)) {
        trace(trace_object(c), "No bus activity detected\n");
        if (!cold_start_allowed(c)) {
            set_protocol_state(c, PS_LISTEN);
        }
        return false;
    }
    int channel = first_valid_i_frame_channel(c);
    if (!valid_cold_start_answer(c, channel)) {
        trace(trace_object(c), "No valid I-Frame received\n");
        set_protocol_state(c, PS_LISTEN);
        return false;
    }
    set_cold_starts(c->working_status, 0);
    access_read_bytes(&frame_cstate(c->frame_buffer[channel]), sizeof(CState));
    working_cstate(c) = frame_cstate(c->frame_buffer[channel]);
    set_cstate_valid(c->working_status, CNI_VALID);
    add_agreed_slots(c->working_status, 1);
    set_null_frame(c->working_status, get_membership_pos(current_slot(c)), 0);
    set_null_frame(c->working_status, c->own_pos, 0);
    load_guardian_window(c, c->medl.implementation_params.synchronization_period_params);
    recorded_store(c->bg_sync_pending, 1);
    advance_slot(c);
    set_protocol_state(c, PS_STARTUP);
    signal_mode_change(c);
    signal_membership_change(c);
    return true;
}
