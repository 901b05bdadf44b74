// How the controller tells its host what happened, and its cluster modes: host interrupts (deferred to the
// next slot start, or delivered at once), protocol errors (freeze), host errors (passive), the BIST error,
// the host life sign check, and the mode change service.
#include "ttpc/fp1ctrl_internal.h"

#include <cstring>

namespace {

/// The counters, state and error flags that an interrupt copies into the interface at once.
constexpr size_t ERROR_BLOCK_FIRST = offsetof(CniStatus, agreed_slots);
constexpr size_t ERROR_BLOCK_END = offsetof(CniStatus, nbw_error) + sizeof(uint32_t);
constexpr uint32_t LIFESIGN_MASK = 0xFFFF;
constexpr uint32_t CONTROLLER_LIFESIGN_MASK = 0x7FFF;

/// An error flag and the trace line that names it.
struct FlagLine {
    uint32_t CniStatus::*flag;
    const char* text;
};

constexpr FlagLine PROTOCOL_ERROR_FLAGS[] = {
    {&CniStatus::ack_error, "Acknowlegment Error\n"},
    {&CniStatus::bg_error, "Bus Guardian Error\n"},
    {&CniStatus::clock_sync_error, "Clock Synchronization Error\n"},
    {&CniStatus::medl_crc_error, "Medl CRC Error\n"},
    {&CniStatus::blackout_error, "Communication Blackout Error\n"},
    {&CniStatus::download_completed, "Download Completed\n"},
    {&CniStatus::membership_error, "Membership Error\n"},
};

constexpr FlagLine HOST_ERROR_FLAGS[] = {
    {&CniStatus::slot_occupied_error, "Slot Occupied Error\n"},
    {&CniStatus::mode_violation_error, "Mode Violation Error\n"},
    {&CniStatus::nbw_error, "NBW Protocol Error\n"},
};

template <size_t N>
void trace_flags(TtpController* c, const FlagLine (&flags)[N]) {
    for (const FlagLine& line : flags) {
        if ((c->working_status.*line.flag & 1u) != 0) {
            trace(trace_object(c), "%s", line.text);
        }
    }
}

/// Deferred signal: sets its status bit once; the interrupt reaches the host at the next slot start when
/// `deliver` holds.
void deferred_signal(TtpController* c, const char* text, unsigned interrupt, bool deliver) {
    trace(trace_object(c), "%s", text);
    if (get_interrupt_status(c->cni, interrupt) != 0) {
        return;
    }
    set_interrupt_status(c->cni, interrupt, 1);
    if (deliver) {
        recorded_store(c->interrupt_pending, 1);
    }
}

/// Immediate signal: sets its status bit once and delivers at once when enabled; returns false when the
/// bit was already set (the second occurrence has no further effect).
bool immediate_signal(TtpController* c, unsigned interrupt) {
    if (get_interrupt_status(c->cni, interrupt) != 0) {
        return false;
    }
    set_interrupt_status(c->cni, interrupt, 1);
    return true;
}

bool enabled(const TtpController* c, unsigned interrupt) {
    return get_interrupt_enable(c->cni, interrupt) != 0;
}

} // namespace

// --- Deferred signals ------------------------------------------------------------------------------------

void signal_membership_change(TtpController* c) {
    deferred_signal(c, "Membership change detected.\n", IRQ_MC, enabled(c, IRQ_MC));
}

void signal_mode_change(TtpController* c) {
    deferred_signal(c, "Mode change detected.\n", IRQ_MI, enabled(c, IRQ_MI));
}

void signal_membership_loss(TtpController* c) {
    deferred_signal(c, "Membership loss error.\n", IRQ_ML, enabled(c, IRQ_ML));
}

void signal_user_interrupt(TtpController* c, unsigned k) {
    if (k == 1) {
        deferred_signal(c, "UI1 detected.\n", IRQ_UI1, true);
    } else {
        deferred_signal(c, "UI2 detected.\n", IRQ_UI2, true);
    }
}

// --- Immediate signals -----------------------------------------------------------------------------------

void signal_timer_interrupt(TtpController* c, unsigned k) {
    trace(trace_object(c), k == 1 ? "TI1 detected.\n" : "TI2 detected.\n");
    if (immediate_signal(c, k == 1 ? IRQ_TI1 : IRQ_TI2)) {
        deliver_interrupt(c);
    }
}

void raise_protocol_error(TtpController* c) {
    trace(trace_object(c), "Protocol error.\n");
    trace_flags(c, PROTOCOL_ERROR_FLAGS);
    if (!immediate_signal(c, IRQ_PE)) {
        return;
    }
    if (enabled(c, IRQ_PE)) {
        deliver_interrupt(c);
    }
    set_protocol_state(c, PS_FREEZE);
}

void raise_host_error(TtpController* c) {
    trace(trace_object(c), "Host error.\n");
    trace_flags(c, HOST_ERROR_FLAGS);
    if (!immediate_signal(c, IRQ_HE)) {
        return;
    }
    set_host_lifesign(c->cni, 0); // only a fresh life sign brings the node back to READY
    if (enabled(c, IRQ_HE)) {
        deliver_interrupt(c);
    }
    set_protocol_state(c, PS_PASSIVE);
}

void raise_bist_error(TtpController* c) {
    trace(trace_object(c), "BIST error.\n");
    if (!immediate_signal(c, IRQ_BE)) {
        return;
    }
    if (enabled(c, IRQ_BE)) {
        deliver_interrupt(c);
    }
    set_protocol_state(c, PS_FREEZE);
}

void raise_bus_guardian_error(TtpController* c) {
    set_bg_error(c->working_status, 1);
    raise_protocol_error(c);
}

void deliver_interrupt(TtpController* c) {
    trace(trace_object(c), "Interrupt.\n");
    if (c->host_handler == nullptr) {
        return;
    }
    access_write_bytes(reinterpret_cast<char*>(&c->cni.status) + ERROR_BLOCK_FIRST,
                       ERROR_BLOCK_END - ERROR_BLOCK_FIRST);
    std::memcpy(reinterpret_cast<char*>(&c->cni.status) + ERROR_BLOCK_FIRST,
                reinterpret_cast<const char*>(&c->working_status) + ERROR_BLOCK_FIRST,
                ERROR_BLOCK_END - ERROR_BLOCK_FIRST);
    c->host_handler(c->host_handler_arg);
}

// --- Host life sign --------------------------------------------------------------------------------------

bool host_alive(TtpController* c) {
    trace(trace_object(c), "Updating controller lifesign\n");
    CniStatus& s = c->working_status;
    bool alive = (~get_host_lifesign(c->cni) & LIFESIGN_MASK) == get_controller_lifesign(s);
    set_host_lifesign(c->cni, 0);
    set_controller_lifesign(s, get_global_time(s.cstate) & CONTROLLER_LIFESIGN_MASK);
    if (!alive) {
        trace(trace_object(c), "Host not alive\n");
    }
    return alive;
}

// --- Mode changes ----------------------------------------------------------------------------------------

bool mode_change_permitted(TtpController* c, uint32_t mode, uint32_t immediate) {
    trace(trace_object(c), "Checking mode change request (m=%u, i=%u).\n", mode, immediate);
    if (immediate == 0 && mode == 0) {
        return true; // no request
    }
    const ModeAddressEntry* entry = current_address_entry(c);
    if (entry == nullptr) {
        return false; // mode 31 grants no permissions
    }
    if (immediate != 0) {
        return mode == 0 ? get_mcp_c(*entry) != 0 : get_mcp_i(*entry, mode - 1) != 0;
    }
    return get_mcp_d(*entry, mode - 1) != 0;
}

void perform_mode_change(TtpController* c, uint32_t mode, uint32_t immediate) {
    trace(trace_object(c), "Performing mode change request (m=%u, i=%u).\n", mode, immediate);
    CState& cs = working_cstate(c);
    if (immediate == 0) {
        if (mode != 0) {
            set_dmc(cs, mode); // deferred until the end of the cluster cycle
        }
    } else if (mode != 0) {
        transition_into_mode(c, mode);
    } else {
        set_dmc(cs, 0); // a pending deferred change is cancelled
    }
}

void transition_into_mode(TtpController* c, uint32_t mode) {
    if (mode == 0) {
        trace(trace_object(c), "Error: Mode 0 not valid.\n");
        return;
    }
    set_protocol_state(c, mode == 1 ? PS_STARTUP : PS_APPLICATION);
    trace(trace_object(c), "Transition into mode %d.\n", static_cast<int>(mode));
    set_cluster_mode(working_cstate(c), mode);
    signal_mode_change(c);
}

void deferred_mode_change(TtpController* c) {
    CState& cs = working_cstate(c);
    uint32_t dmc = get_dmc(cs);
    const ModeControlEntry* entry = mode_control_entry(c->medl, get_cluster_mode(cs));
    uint32_t target = entry != nullptr && dmc != 0 ? get_deferred_mode(*entry, dmc - 1) : MEDL_NO_MODE_CHANGE;
    if (target != MEDL_NO_MODE_CHANGE) {
        trace(trace_object(c), "Deferred mode change, mode %d.\n", static_cast<int>(target));
        transition_into_mode(c, target);
    }
    set_dmc(cs, 0);
}
