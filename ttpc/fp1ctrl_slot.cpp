// The two decision points of every slot in the synchronised states: the slot-start check (clique and
// blackout checks, host life sign, reintegration, frame preparation) and the slot evaluation (channel
// verdicts, messages to the host, counters, membership, implicit acknowledgement, mode change requests).
#include "ttpc/fp1ctrl_internal.h"

namespace {

/// The host's mode change request (mcr_mode, mcr_immediate) as written into the Cni.
struct ModeRequest {
    uint32_t mode;
    uint32_t immediate;
};

uint32_t message_address(const ModeAddressEntry& entry, unsigned channel) {
    return channel == CHANNEL_A ? get_cni_address_cha(entry) : get_cni_address_chb(entry);
}

/// N-frame data length of a channel in bytes (1-16).
unsigned data_length(const ModeAddressEntry& entry, unsigned channel) {
    return (channel == CHANNEL_A ? get_dafla(entry) : get_daflb(entry)) + 1;
}

/// Does the addressing entry give this channel an I-frame? Mode 31 has no entry: its slots carry no
/// messages, so a node sending in them sends I-frames.
bool carries_i_frame(const ModeAddressEntry* entry, unsigned channel) {
    if (entry == nullptr) {
        return true;
    }
    return (channel == CHANNEL_A ? get_ia(*entry) : get_ib(*entry)) != 0;
}

void fill_header(Frame& frame, uint8_t kind, uint32_t frame_type, uint32_t mode, uint32_t immediate) {
    frame.kind = kind;
    set_frame_type(frame, frame_type);
    set_mcr_immediate(frame, immediate & 1u);
    set_mcr_mode(frame, mode & bit_mask(CNI_MCR_MODE_WIDTH));
}

/// Hands a channel's N-frame data to the host's message and records the verdict in it.
void update_message(TtpController* c, const ModeAddressEntry& entry, unsigned channel, uint32_t verdict) {
    uint8_t* message = message_at(c->cni, message_address(entry, channel), data_length(entry, channel));
    if (message == nullptr) {
        return; // no message for this channel in this slot
    }
    if ((verdict & VERDICT_CORRECT) != 0) {
        (void)copy_message_data(message, c->frame_buffer[channel], data_length(entry, channel));
    }
    set_message_status(message, verdict);
    (void)add_update_count(message, 2);
}

bool frame_agrees(const TtpController* c, const Frame& frame, const CState& cstate) {
    return frame_check(frame, cstate, cstate_length(c));
}

} // namespace

// --- Frame builders --------------------------------------------------------------------------------------

void build_i_frame(TtpController* c, unsigned channel_index, uint32_t mode, uint32_t immediate) {
    Frame& frame = c->frame_buffer[channel_index & 1u];
    fill_header(frame, FRAME_KIND_I, 1, mode, immediate);
    access_write_bytes(&frame_cstate(frame), sizeof(CState));
    frame_cstate(frame) = working_cstate(c);
    set_c_state_length(frame, cstate_length(c));
    set_i_crc(frame, i_frame_crc(frame));
}

void build_cold_start_frame(TtpController* c, unsigned channel_index) {
    build_i_frame(c, channel_index, 0, 0);
    c->frame_buffer[channel_index & 1u].status = FRAME_STATUS_EMPTY;
}

bool build_n_frame(TtpController* c, unsigned channel_index, uint32_t mode, uint32_t immediate) {
    const unsigned channel = channel_index & 1u;
    const ModeAddressEntry* entry = current_address_entry(c);
    const uint8_t* message =
        entry != nullptr ? message_at(c->cni, message_address(*entry, channel), data_length(*entry, channel))
                         : nullptr;
    // A slot without a message to send counts like a message the host has not marked valid.
    if (message == nullptr || (get_message_status(message) & MESSAGE_VALID) == 0) {
        set_nbw_error(c->working_status, 1);
        raise_host_error(c);
        return false;
    }
    Frame& frame = c->frame_buffer[channel];
    fill_header(frame, FRAME_KIND_N, 0, mode, immediate);
    unsigned length = data_length(*entry, channel);
    set_data_length(frame, length);
    for (unsigned i = 0; i < length; ++i) {
        set_data_byte(frame, i, get_message_byte(message, i));
    }
    set_n_crc(frame, n_frame_crc(frame, working_cstate(c), cstate_length(c)));
    return true;
}

// --- Slot start ------------------------------------------------------------------------------------------

int slot_start_check(TtpController* c) {
    CniStatus& s = c->working_status;
    const SlotControlEntry& slot = current_slot(c);
    if (get_slot_position(slot.logical_name) == get_slot_position(c->medl.role_list.logical_name)) {
        uint32_t agreed = get_agreed_slots(s);
        uint32_t failed = get_failed_slots(s);
        uint32_t invalid = get_invalid_slots(s);
        if (agreed + failed + invalid == 0) {
            set_blackout_error(s, 1);
            raise_protocol_error(c);
            return 0;
        }
        if (!(failed + invalid < agreed)) {
            set_ack_error(s, 1);
            raise_protocol_error(c);
            return 0;
        }
        set_failed_slots(s, 0);
        set_invalid_slots(s, 0);
        set_agreed_slots(s, 0);
    }
    if (!is_own_slot(c, slot)) {
        return 0;
    }
    if (!host_alive(c)) {
        CState& cs = working_cstate(c);
        if (get_membership(cs, c->own_pos) != 0) {
            set_membership(cs, c->own_pos, 0);
            signal_membership_loss(c);
            signal_membership_change(c);
        }
        trace(trace_object(c), "No Host Lifesign\n");
        set_protocol_state(c, PS_PASSIVE);
        return 0;
    }
    if (get_protocol_state(c) == PS_PASSIVE) {
        set_slot_occupied_error(s, 0);
        set_mode_violation_error(s, 0);
        set_nbw_error(s, 0);
        publish_status(c);
        set_protocol_state(c, PS_READY);
    }
    const bool reintegrating = get_protocol_state(c) == PS_READY;
    if (reintegrating) {
        uint32_t position = get_membership_pos(slot);
        if (get_ra(slot) == 0 || get_null_frame(s, position) != 1) {
            return 0; // a node may take its slot back only when the slot was silent last time
        }
        if (get_membership(c->cni.status.cstate, position) != 0) {
            set_slot_occupied_error(s, 1);
            raise_host_error(c);
            return 0;
        }
    }
    if (prepare_frames(c) != 0) {
        return 0;
    }
    c->ack_state = ACK_SEND;
    if (reintegrating) {
        set_protocol_state(c, get_cluster_mode(working_cstate(c)) == 1 ? PS_STARTUP : PS_APPLICATION);
    }
    return 1;
}

int prepare_frames(TtpController* c) {
    const ModeRequest request = {get_mcr_mode(c->cni), get_mcr_immediate(c->cni)};
    trace(trace_object(c), "Preparing frames for TP.\n");
    if (!mode_change_permitted(c, request.mode, request.immediate)) {
        set_mode_violation_error(c->working_status, 1);
        raise_host_error(c);
        return 1;
    }
    CState& cs = working_cstate(c);
    const uint32_t own_bit = get_membership(cs, c->own_pos);
    set_membership(cs, c->own_pos, 1);
    const ModeAddressEntry* entry = current_address_entry(c);
    int failures = 0;
    for (unsigned channel = 0; channel < CHANNEL_COUNT; ++channel) {
        if (carries_i_frame(entry, channel)) {
            build_i_frame(c, channel, request.mode, request.immediate);
        } else if (!build_n_frame(c, channel, request.mode, request.immediate)) {
            failures += 1;
            continue;
        }
        c->frame_buffer[channel].status = FRAME_STATUS_COMPLETE;
    }
    set_membership(cs, c->own_pos, own_bit);
    set_mcr_mode(c->cni, 0);
    set_mcr_immediate(c->cni, 0);
    if (failures != 0) {
        // The node sends nothing in this slot: a frame built for the other channel must not stay behind,
        // or the evaluation of the slot would judge it as received and keep the node a member that every
        // other node saw silent.
        for (Frame& frame : c->frame_buffer) {
            frame.status = FRAME_STATUS_EMPTY;
        }
    }
    return failures;
}

// --- Slot evaluation -------------------------------------------------------------------------------------

uint32_t channel_verdict(const TtpController* c, unsigned channel_index) {
    return frame_verdict(c->frame_buffer[channel_index & 1u], working_cstate(c), cstate_length(c));
}

void evaluate_slot(TtpController* c) {
    CniStatus& s = c->working_status;
    CState& cs = working_cstate(c);
    const uint32_t position = get_membership_pos(current_slot(c));
    const uint32_t was_member = get_membership(cs, position);
    ModeRequest request = {0, 0};
    cancel_receiving(c);
    if (get_protocol_state(c) == PS_FREEZE) {
        return;
    }
    set_membership(cs, position, 1); // the sender counts as a member while its frame is judged
    const bool acknowledged = implicit_ack(c) != 0;

    const ModeAddressEntry* entry = current_address_entry(c);
    uint32_t verdict[CHANNEL_COUNT];
    for (unsigned channel = 0; channel < CHANNEL_COUNT; ++channel) {
        verdict[channel] = channel_verdict(c, channel);
        if ((verdict[channel] & VERDICT_CORRECT) != 0) {
            request = {get_mcr_mode(c->frame_buffer[channel]), get_mcr_immediate(c->frame_buffer[channel])};
        }
        if (entry != nullptr && !carries_i_frame(entry, channel)) {
            update_message(c, *entry, channel, verdict[channel]);
        }
    }
    set_frame_status_a(s, verdict[CHANNEL_A]);
    set_frame_status_b(s, verdict[CHANNEL_B]);

    const uint32_t any = verdict[CHANNEL_A] | verdict[CHANNEL_B];
    set_null_frame(s, position, 0);
    if ((any & VERDICT_CORRECT) == 0) {
        set_membership(cs, position, 0);
        if ((any & VERDICT_INCORRECT) != 0) {
            if (!acknowledged) {
                add_failed_slots(s, 1);
            }
        } else if ((any & VERDICT_INVALID) == 0) {
            set_null_frame(s, position, 1); // both channels silent
        } else if (!acknowledged) {
            add_invalid_slots(s, 1);
        }
    } else if (!acknowledged) {
        add_agreed_slots(s, 1);
    }
    if (get_membership(cs, position) != was_member) {
        signal_membership_change(c);
    }
    if (mode_change_permitted(c, request.mode, request.immediate)) {
        perform_mode_change(c, request.mode, request.immediate);
    }
    notify_slot_judged(c);
}

// --- Implicit acknowledgement ----------------------------------------------------------------------------

AckVerdict ack_verdict(const TtpController* c, unsigned channel_index) {
    const Frame& frame = c->frame_buffer[channel_index & 1u];
    const CState& working = working_cstate(c);
    CState scratch = working;
    switch (c->ack_state) {
    case ACK_SEND:
        return {ACK_CHECK1, true};
    case ACK_CHECK1:
        if (frame_agrees(c, frame, working)) {
            return {ACK_OK, true}; // the first successor acknowledged the node
        }
        set_membership(scratch, c->own_pos, 0);
        if (frame_agrees(c, frame, scratch)) {
            return {ACK_CHECK2, true}; // the successor does not count the node as a member
        }
        return {ACK_CHECK1, false}; // the frame says nothing
    case ACK_CHECK2:
        set_membership(scratch, c->successor_pos, 0);
        if (frame_agrees(c, frame, scratch)) {
            return {ACK_OK, true}; // the first successor was wrong
        }
        scratch = working;
        set_membership(scratch, c->own_pos, 0);
        set_membership(scratch, c->successor_pos, 1);
        if (frame_agrees(c, frame, scratch)) {
            return {ACK_ERROR, true}; // the second successor sides with the first
        }
        return {ACK_DBL_FAILURE, false};
    default:
        // OK, and the states a finished acknowledgement leaves behind, have nothing pending. So has a value
        // outside the states, which only a corrupted register holds: it resolves to OK.
        return {ACK_OK, true};
    }
}

bool membership_error_check(TtpController* c) {
    uint32_t limit = get_mmfc(c->medl);
    if (limit == 0 || get_membership_failures(c->working_status) < limit) {
        return false;
    }
    set_membership_error(c->working_status, 1);
    raise_protocol_error(c);
    return true;
}

int implicit_ack(TtpController* c) {
    trace(trace_object(c), "Performing IAck: ");
    const uint8_t old_state = c->ack_state;
    uint8_t new_state = ACK_OK;
    const uint32_t state = get_protocol_state(c);
    if (state != PS_READY && state != PS_PASSIVE && state != PS_COLDSTART) {
        AckVerdict a = ack_verdict(c, CHANNEL_A);
        AckVerdict b = ack_verdict(c, CHANNEL_B);
        if (a.usable && !b.usable) {
            b = a; // one usable channel speaks for both
        } else if (b.usable && !a.usable) {
            a = b;
        }
        if (a.state != b.state) {
            trace_raw("\n"); // the acknowledgement line ends here: the channels disagree
            set_ack_mismatch(c->working_status, 1);
            raise_bist_error(c);
            return 1;
        }
        new_state = a.state;
    }
    trace_raw("%s -> %s\n", ack_state_name(old_state), ack_state_name(new_state));

    CniStatus& s = c->working_status;
    CState& cs = working_cstate(c);
    const uint32_t position = get_membership_pos(current_slot(c));
    switch (old_state) {
    case ACK_OK:
        return 0;
    case ACK_CHECK1:
        if (new_state == ACK_OK) {
            add_agreed_slots(s, 1);
        } else if (new_state == ACK_CHECK1 && something_received(c)) {
            add_failed_slots(s, 1);
            set_membership(cs, position, 0);
            signal_membership_change(c);
        } else if (new_state == ACK_CHECK2) {
            c->successor_pos = position;
        }
        break;
    case ACK_CHECK2:
        if (new_state == ACK_ERROR) {
            add_agreed_slots(s, 2);
            set_membership(cs, c->own_pos, 0);
            set_membership(cs, c->successor_pos, 1);
            set_membership(cs, position, 1);
            add_membership_failures(s, 1);
            signal_membership_change(c);
            signal_membership_loss(c);
            if (membership_error_check(c)) {
                return 1;
            }
            set_protocol_state(c, PS_READY);
        } else if (new_state == ACK_DBL_FAILURE) {
            add_failed_slots(s, something_received(c) ? 2 : 1);
            set_membership(cs, c->successor_pos, 0);
            set_membership(cs, position, 0);
            signal_membership_change(c);
            set_protocol_state(c, PS_READY);
        } else if (new_state == ACK_OK) {
            add_agreed_slots(s, 1);
            add_failed_slots(s, 1);
            set_membership(cs, c->successor_pos, 0);
            signal_membership_change(c);
        }
        break;
    default:
        break; // SEND, ERROR, DBL_FAILURE and unknown values: nothing to count
    }
    c->ack_state = new_state;
    return 1;
}
