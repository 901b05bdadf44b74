// Parts of the controller shared by its source files only: resumption points of the process body, the
// trace object, and small helpers on the working state.
#pragma once

#include "kernel/access_recorder.h"
#include "kernel/sim_assert.h"
#include "kernel/trace.h"
#include "ttpc/fp1ctrl.h"

/// Resumption points of the controller process body: one per wait of the protocol.
enum ControllerResume : uint32_t {
    CTRL_PASS = SIM_START,      // start of a pass: status line, dispatch on the protocol state
    CTRL_PARKED,                // AWAIT / SELFTEST woken
    CTRL_FROZEN,                // FREEZE (switched off) woken
    CTRL_LISTENED,              // LISTEN: after the bad-receive hold, the listen timeout or the passive wait
    CTRL_COLDSTART_SENT,        // COLDSTART: end of the own slot's transmission phase
    CTRL_COLDSTART_BAD_RECEIVE, // COLDSTART: after the bad-receive hold
    CTRL_COLDSTART_GAP,         // COLDSTART: after the inter-frame gap
    CTRL_COLDSTART_TIMEOUT,     // COLDSTART: after the cold start timeout
    CTRL_SLOT_STARTED,          // slot: at the slot start
    CTRL_SLOT_GUARDIAN_RAN,     // slot: the guardian ran (first send after synchronisation)
    CTRL_SLOT_TP_ENDED,         // slot: end of the transmission phase (or woken by a reception)
    CTRL_SLOT_ENDED,            // slot: end of the transmission phase after the evaluation
};

/// The local clock's 16 bits, and one turn of it.
constexpr uint32_t TIME_MASK = 0xFFFF;
constexpr uint32_t TIME_WRAP = 0x10000;

/// The object on whose behalf controller trace lines are written.
inline const SimObject* trace_object(const TtpController* c) {
    return c->process;
}

inline CState& working_cstate(TtpController* c) {
    return c->working_status.cstate;
}
inline const CState& working_cstate(const TtpController* c) {
    return c->working_status.cstate;
}

/// L of the node's list (the significant C-state length in 16-bit units).
inline unsigned cstate_length(const TtpController* c) {
    return get_c_state_length(c->medl);
}

/// True when either frame buffer holds something (status byte not empty).
inline bool something_received(const TtpController* c) {
    return c->frame_buffer[CHANNEL_A].status != FRAME_STATUS_EMPTY ||
           c->frame_buffer[CHANNEL_B].status != FRAME_STATUS_EMPTY;
}

/// Tells the observer and the fault watch, if any, of a protocol state written, a slot started or a slot
/// judged.
inline void notify_state_written(const TtpController* c, uint32_t state) {
    if (c->observer != nullptr) {
        c->observer->state_written(c->observer->context, c, state);
    }
    if (c->fault_watch != nullptr) {
        c->fault_watch->state_written(c->fault_watch->context, c, state);
    }
}
inline void notify_slot_started(const TtpController* c, bool sending) {
    if (c->observer != nullptr) {
        c->observer->slot_started(c->observer->context, c, sending);
    }
    if (c->fault_watch != nullptr) {
        c->fault_watch->slot_started(c->fault_watch->context, c, sending);
    }
}
inline void notify_slot_judged(const TtpController* c) {
    if (c->observer != nullptr) {
        c->observer->slot_judged(c->observer->context, c);
    }
    if (c->fault_watch != nullptr) {
        c->fault_watch->slot_judged(c->fault_watch->context, c);
    }
}

/// The local clock, brought up to date first.
uint32_t read_local_time(TtpController* c);

/// Configures the node's bus guardian with a window of the list.
void load_guardian_window(TtpController* c, const BgParams& window);
void trigger_guardian(TtpController* c, uint32_t value);
/// Stops the guardian and resets it (no window armed, trigger released), as INIT leaves it.
void rest_guardian(TtpController* c);

/// The steps of the process body that wait: each returns true when it reached a wait point.
bool listen_step(TtpController* c);
bool listen_after_wait(TtpController* c);
bool coldstart_step(TtpController* c);
bool coldstart_after_wait(TtpController* c, uint32_t point);
