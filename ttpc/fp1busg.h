// The bus guardian of a controller: an independent timer that lets its controller onto the channels only
// during a window of its own.
//
// The controller arms the guardian by raising its trigger. The window then opens after slot_offset, stays
// open for slot_duration, and is followed by a closed remainder of remaining_round before the guardian can
// be armed again. The channels ask the sender's guardian (may_send) when a transmission starts and when it
// ends. The guardian also watches how the controller drives its trigger; a violation puts it into Node
// Failure and reports a bus guardian error to the controller (report_failure):
//
//   failure_code  cause
//   3             trigger raised while the guardian is not in Arm (also: raised again in Node Failure)
//   5             trigger raised with channel_select 0
//   6             trigger released outside Enable, or still raised when Enable ends
//
// States and the process. The guardian runs as its own simulation process (user data: the record):
//
//   Initialize --> Configure --(config_mode 0)--> Arm --(trigger 1)--> Start Timer --(slot_offset)-->
//   Enable --(slot_duration)--> Disable --(remaining_round)--> Arm ...
//   any --(trigger violation)--> Node Failure --(configure)--> Arm
//
// Only the process moves the guardian from Arm through Start Timer, Enable and Disable; the controller's
// operations only reset it (Initialize), configure it (Arm) or make it fail (Node Failure). Those may come
// while the process holds in Start Timer, Enable or Disable: when the hold ends the process goes on only if
// the state is still the one it held in, and otherwise acts on the new state. A trigger raised in Arm wakes
// the process at once, which also cuts short a hold left over from before a reconfiguration.
//
// The gate. When the window ends or the guardian fails, the gate closes: a frame of the controller still on
// the wire is cut off at once (gate_closed), lost for every receiver as a frame the guardian stops at its
// end is, and the bus is free for the next slot. A babbling controller can thus never hold the bus beyond
// its own window.
//
// Time. The three intervals are macroticks of the guardian's own clock; each is held for
// interval * (1 + drift) simulated time units. drift is 0 when the guardian is created (nothing changes it),
// so the guardian times its window exactly in simulated time; it must stay above -1.
//
// Registers. Every register is a 32-bit word with its value in the low bits. The setters check the width
// ("_value <= bit_mask(<width>)", source "ttpc\fp1busg"); the getters mask.
//
//   register          width  meaning
//   bg_state          -      BgState
//   slot_offset       16     from the raised trigger to the opening of the window
//   slot_duration     16     how long the window stays open
//   remaining_round   16     closed time after the window before the guardian can be armed again
//   trigger           1      the controller's trigger input
//   config_mode       1      1 while the guardian is being configured
//   channel_select    2      channels to open, bit k for channel k (A = 0, B = 1); configure sets both
//   enabled_channels  2      copy of channel_select taken when a window is started; may_send tests it
//   failure_code      3      why the guardian failed: BG_FAILURE_*
//   failure_state     4      bg_state at the moment of the failure
//   bus_access        1      1 while the window is open
//   failed            1      1 once the guardian has entered Node Failure since its last reset
//
// Ownership. create_bus_guardian allocates the record and its process; the process's destructor frees the
// record, so disposing of the run frees the guardian. The controller is only referenced.
#pragma once

#include "kernel/sim_process.h"
#include "ttpc/medl.h"

#include <cstdint>

struct TtpController;

enum BgState : uint32_t {
    BG_INITIALIZE = 0,
    BG_CONFIGURE,
    BG_ARM,
    BG_START_TIMER,
    BG_ENABLE,
    BG_DISABLE,
    BG_NODE_FAILURE,
};

constexpr uint32_t BG_FAILURE_NOT_ARMED = 3;
constexpr uint32_t BG_FAILURE_NO_CHANNEL = 5;
constexpr uint32_t BG_FAILURE_OUTSIDE_WINDOW = 6;

constexpr unsigned BG_INTERVAL_WIDTH = 16;
constexpr unsigned BG_FLAG_WIDTH = 1;
constexpr unsigned BG_CHANNELS_WIDTH = 2;
constexpr unsigned BG_FAILURE_CODE_WIDTH = 3;
constexpr unsigned BG_FAILURE_STATE_WIDTH = 4;
/// channel_select as configuration sets it: channels A and B.
constexpr uint32_t BG_BOTH_CHANNELS = 3;

constexpr unsigned BG_NAME_BYTES = 64;

struct BusGuardian {
    TtpController* controller; // the guarded controller
    uint32_t bg_state;         // BgState
    uint32_t slot_offset;
    uint32_t slot_duration;
    uint32_t remaining_round;
    uint32_t trigger;
    uint32_t config_mode;
    uint32_t channel_select;
    uint32_t enabled_channels;
    uint32_t failure_code;
    uint32_t failure_state;
    uint32_t bus_access;
    uint32_t failed;
    uint32_t failure_count;                 // Node Failures since creation (not cleared by reset)
    void (*report_failure)(TtpController*); // the controller's bus guardian error report; may be null
    /// Called when the gate closes while the guardian works (its window ends, or it fails): a frame of the
    /// controller still on the wire is cut off there and then, so it cannot hold the bus into the next
    /// slot; may be null.
    void (*gate_closed)(TtpController*);
    SimProcess* process; // owned; named by `name`
    double drift;        // intervals last interval * (1 + drift)
    uint32_t stuck_open; // 1: a fault holds the gate open: every frame passes on both channels
    char name[BG_NAME_BYTES];
};

/// "Initialize", "Configure", "Arm", "Start Timer", "Enable", "Disable", "Node Failure"; other values "?".
const char* bg_state_name(uint32_t state);

// --- Operations ------------------------------------------------------------------------------------------

/// Allocates a guardian named `name` (truncated to 63 characters) with its process (not planned: the
/// controller plans it), drift 0, reset.
BusGuardian* create_bus_guardian(const char* name);
/// The guardian's model state (sim_state.h): the record but failure_count, a report nothing reads.
void guardian_state(const BusGuardian& bg, StateSink* sink);
/// Initialize; every register 0 except config_mode 1; enabled_channels is kept. Does not wake the process.
void reset(BusGuardian* bg);
/// Loads a window of the message descriptor list: reset, the three intervals, both channels selected, and
/// config_mode 0, which puts the guardian into Arm. Does not wake the process.
void configure(BusGuardian* bg, const BgParams& window);
/// Stores v & 1 if it differs: a change to 0 puts the guardian into Arm, a change to 1 closes the window.
void set_config_mode(BusGuardian* bg, uint32_t v);
/// The controller's trigger input (v taken modulo 2). A change is checked against the state (failure
/// codes 3, 5, 6); a trigger raised in Arm traces the opening time and wakes the process at once.
void trigger(BusGuardian* bg, uint32_t v);
/// True while the window is open and channel_number's bit is set in enabled_channels, or while the gate is
/// stuck open. Channel numbers beyond the two channel bits are never let through.
bool may_send(const BusGuardian* bg, unsigned channel_number);
/// A guardian stuck open (a fault of the fault plan): while it lasts, its gate lets every frame through on
/// both channels, whatever its state; it still times its windows and watches its trigger.
void set_guardian_stuck_open(BusGuardian* bg, bool open);

// --- Registers -------------------------------------------------------------------------------------------

uint32_t get_guardian_state(const BusGuardian* bg);
uint32_t get_guardian_slot_offset(const BusGuardian* bg);
uint32_t get_guardian_slot_duration(const BusGuardian* bg);
uint32_t get_guardian_remaining_round(const BusGuardian* bg);
uint32_t get_guardian_trigger(const BusGuardian* bg);
uint32_t get_guardian_config_mode(const BusGuardian* bg);
uint32_t get_guardian_channel_select(const BusGuardian* bg);
uint32_t get_guardian_enabled_channels(const BusGuardian* bg);
uint32_t get_guardian_failure_code(const BusGuardian* bg);
uint32_t get_guardian_failure_state(const BusGuardian* bg);
uint32_t get_guardian_bus_access(const BusGuardian* bg);
uint32_t get_guardian_failed(const BusGuardian* bg);

/// A value that names no BgState is a programming error ("state <= BG_NODE_FAILURE").
void set_guardian_state(BusGuardian* bg, uint32_t value);
void set_guardian_slot_offset(BusGuardian* bg, uint32_t value);
void set_guardian_slot_duration(BusGuardian* bg, uint32_t value);
void set_guardian_remaining_round(BusGuardian* bg, uint32_t value);
void set_guardian_trigger(BusGuardian* bg, uint32_t value);
void set_guardian_channel_select(BusGuardian* bg, uint32_t value);
void set_guardian_enabled_channels(BusGuardian* bg, uint32_t value);
void set_guardian_failure_code(BusGuardian* bg, uint32_t value);
void set_guardian_failure_state(BusGuardian* bg, uint32_t value);
void set_guardian_bus_access(BusGuardian* bg, uint32_t value);
void set_guardian_failed(BusGuardian* bg, uint32_t value);
