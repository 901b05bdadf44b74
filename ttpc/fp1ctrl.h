// The TTP/C communication controller of one node.
//
// A TtpController is a resumable simulation process that runs the protocol state machine, walks the TDMA
// schedule of its message descriptor list slot by slot, sends frames on the two channels, judges the frames
// it receives (implicit acknowledgement, membership), keeps a drifting local macrotick clock that clock
// synchronisation corrects, and reports to its host through the interface memory (Cni).
//
// The code is split by concern:
//     fp1ctrl.cpp         record, local clock, hooks, channel glue, slot advance, the process body, timers
//     fp1ctrl_startup.cpp INIT, LISTEN (integration) and COLDSTART
//     fp1ctrl_slot.cpp    slot-start check, frame preparation and builders, slot evaluation, acknowledgement
//     fp1ctrl_sync.cpp    clock synchronisation
//     fp1ctrl_signal.cpp  host interrupts, protocol / host / BIST errors, life sign, mode changes
//     fp1ctrl_faults.cpp  faults that act inside the controller: crash, babbling, off-time sending,
//                         reception faults, clock faults
//
// Protocol states (protocol_state in CniStatus): INIT, LISTEN, COLDSTART (unsynchronised); STARTUP,
// APPLICATION, READY, PASSIVE (synchronised: one slot per pass of the body); AWAIT, SELFTEST (parked);
// FREEZE (stopped, and switched off unless controller_on is 0xFFFF); DOWNLOAD (freezes at once).
// 0, 11 and 13-15 are treated as FREEZE.
//
// Time. The simulated time unit is the nominal macrotick. The local clock counts macroticks in local_time
// (16 bits, in CniStatus, with the carry in the Cni's local_time_high); it runs fast or slow by `drift` and
// is bent by clock_correction (microticks, micro_to_macro per macrotick) spread over time. All differences of
// 16-bit times are taken modulo 65536; a difference of 0x8000 or more means a target that is already past,
// and is treated as 0 (now), so a late target never turns into a wait of most of 65536 macroticks.
//
// Fault injection. The fault injector may change any word of `cni` and of the register area from
// frame_buffer[0] through mtd[1] (736 bytes). The controller re-reads both at every step and masks every
// value it takes from them; no corrupted word can make it read or write outside a record. The register
// area holds 32-bit placeholders where a 32-bit layout had the host handler and its argument: the real
// handler lives behind the area.
//
// Ownership. create_controller allocates the record and its process; the process's user data is the record
// and its destructor frees it, so the kernel's disposal of the run frees the whole controller. The bus
// guardian (owned, its own process) and the two timer processes are kernel objects of their own; channels and
// the host are only referenced.
#pragma once

#include "kernel/sim_process.h"
#include "ttpc/fp1cni.h"
#include "ttpc/fp1frame.h"
#include "ttpc/medl.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct BusGuardian;
struct TtpChannel;
struct TtpController;

constexpr unsigned CHANNEL_COUNT = 2;
constexpr unsigned CHANNEL_A = 0;
constexpr unsigned CHANNEL_B = 1;
constexpr unsigned CSA_STACK_SIZE = 4;
constexpr unsigned CSA_INDEX_WIDTH = 2;
constexpr unsigned TIMER_COUNT = 2;
constexpr unsigned CONTROLLER_NAME_BYTES = 48;
/// A synchronised node ignores a frame whose sender started more than this far from the expected slot start.
constexpr double MAX_FRAME_OFFSET = 0.9;

/// Watches controllers without changing them (the observer window's slot recorder): told of every protocol
/// state the controller writes (also when it is the state it already has), of every slot it starts, with
/// whether it sends (the cold start frame counts as a slot it sends in), and of every slot it has judged
/// (frame_status_a/b and the membership vector then hold the slot's outcome). Each callback runs inside
/// the controller's step and must only read the model.
struct ControllerObserver {
    void* context;
    void (*state_written)(void* context, const TtpController* c, uint32_t state);
    void (*slot_started)(void* context, const TtpController* c, bool sending);
    void (*slot_judged)(void* context, const TtpController* c);
};

/// Implicit acknowledgement states.
enum AckState : uint8_t {
    ACK_OK = 0,          // no acknowledgement pending
    ACK_SEND = 1,        // the node prepared its frames in this slot
    ACK_CHECK1 = 2,      // waiting for the first successor's frame
    ACK_CHECK2 = 3,      // the first successor did not see the node; waiting for a second successor
    ACK_ERROR = 4,       // the second successor agrees with the first: the node itself failed
    ACK_DBL_FAILURE = 5, // neither hypothesis matches the second successor's frame
};

/// The host's interrupt entry; arg is what the host attached.
using HostHandler = void (*)(void* arg);

struct TtpController {
    Cni* cni_view;            // points at cni
    CniStatus* status_view;   // points at working_status
    Cni cni;                  // host-visible interface: published status, control words, messages
    CniStatus working_status; // the status the controller works on; published into cni
    Medl medl;                // the node's schedule

    // ---- register area (fault injector target "Reg"): frame_buffer[0] .. mtd[1], 736 bytes ----
    Frame frame_buffer[CHANNEL_COUNT]; // last frame received or sent per channel (A, B)
    uint8_t ack_state;                 // AckState
    uint8_t ack_state_padding[3];
    uint32_t successor_pos;            // membership position of the first successor
    uint32_t own_pos;                  // the node's own membership position
    int32_t csa_stack[CSA_STACK_SIZE]; // clock synchronisation measurements, microticks
    uint32_t csa_index;                // next csa_stack entry to overwrite (2 bits)
    double action_time;                // simulated time at which the current slot starts
    double drift;                      // relative clock drift (0 = exact)
    double correction_ref_time;        // start of the interval over which the correction is spread
    double last_tick_time;             // simulated time of the last update of local_time
    double tick_remainder;             // fraction of a macrotick not yet counted, as simulated time
    uint32_t host_handler_arg_word;    // placeholder word (the argument is host_handler_arg below)
    uint32_t interrupt_pending;        // 1: deliver a deferred host interrupt at the next slot start
    uint32_t host_handler_word;        // placeholder word (the handler is host_handler below)
    uint32_t bg_sync_pending;   // 1: guardian armed with the synchronisation window, enable at own send
    int32_t mtd[CHANNEL_COUNT]; // last measured time difference per channel, microticks
    // ---- end of the register area ----

    void* host_handler_arg;
    HostHandler host_handler;                 // null: no host
    double drift_ratio;                       // drift / (1 + drift), kept by set_drift for the conversions
    BusGuardian* bus_guardian;                // owned
    TtpChannel* channel[CHANNEL_COUNT];       // not owned
    void (*time_update_hook)(TtpController*); // update_local_time
    void (*receive_hook)(TtpController*, unsigned channel_index);
    void (*send_complete_hook)(TtpController*);
    SimProcess* process;                    // owned; named by the controller name
    uint32_t wake_on_controller_on;         // 1 while a write of controller_on wakes the process
    uint32_t wake_on_await;                 // 1 while a write of controller_await wakes the process
    uint32_t wake_on_frame;                 // 1: a completed reception wakes the process
    uint32_t sending;                       // 1: this node sends in the current slot
    double coldstart_time;                  // when the last cold start attempt began
    SimProcess* timer_process[TIMER_COUNT]; // owned user-timer processes
    char name[CONTROLLER_NAME_BYTES];
    char timer_name[TIMER_COUNT][CONTROLLER_NAME_BYTES + 12];
    const ControllerObserver* observer; // null: nobody watches (one test per notification)
    /// The fault plan's watch for the triggers of its faults (host/fault_plan.h): told of the same events
    /// as the observer; its callbacks may plan the plan's process, and nothing else. Null: no plan.
    const ControllerObserver* fault_watch;

    // Faults of the fault plan that act inside the controller (none while these are 0).
    uint32_t crashed;                              // 1: fail-silent (crash_controller)
    double send_offset;                            // an off-time sender: its frames start this much later
    uint8_t reception_fault[CHANNEL_COUNT];        // FrameFault (fp1chan.h) this node's reception suffers
    uint32_t reception_frames_left[CHANNEL_COUNT]; // frames still struck; 0: until cleared
};

constexpr size_t CONTROLLER_REGISTER_BYTES = 736;
static_assert(offsetof(TtpController, mtd) + sizeof(int32_t) * CHANNEL_COUNT -
                      offsetof(TtpController, frame_buffer) ==
                  CONTROLLER_REGISTER_BYTES,
              "the register area of the fault injector is 736 bytes");
static_assert(offsetof(TtpController, ack_state) - offsetof(TtpController, frame_buffer) == 640);
static_assert(offsetof(TtpController, csa_stack) - offsetof(TtpController, frame_buffer) == 652);
static_assert(offsetof(TtpController, csa_index) - offsetof(TtpController, frame_buffer) == 668);
static_assert(offsetof(TtpController, interrupt_pending) - offsetof(TtpController, frame_buffer) == 716);
static_assert(offsetof(TtpController, bg_sync_pending) - offsetof(TtpController, frame_buffer) == 724);
static_assert(offsetof(TtpController, mtd) - offsetof(TtpController, frame_buffer) == 728);

/// The register area as words (fault injector).
inline uint32_t* controller_register_words(TtpController* c) {
    return reinterpret_cast<uint32_t*>(&c->frame_buffer[0]);
}

// --- Creation and wiring (fp1ctrl.cpp) -------------------------------------------------------------------

/// Allocates a controller in FREEZE with its process (not started), its bus guardian ("BG - " + name,
/// started at once) and its two timer processes (name + ": Timer 1" / ": Timer 2").
TtpController* create_controller(const char* name);
/// The controller's model state (sim_state.h): the record but its message descriptor list, which is copied
/// in at assembly and never written afterwards (every reader takes it const; no fault target reaches it),
/// and the pointers to its watchers, which change nothing of it.
void controller_state(const TtpController& c, StateSink* sink);
void attach_channel(TtpController* c, unsigned index, TtpChannel* channel);
void set_drift(TtpController* c, double drift);
void attach_host(TtpController* c, void* arg, HostHandler handler);
/// The controller whose interface is `cni` (the interface is embedded in the controller record).
TtpController* controller_of(Cni* cni);
TtpController* controller_of_process(SimProcess* process);
inline Frame& controller_frame(TtpController* c, unsigned channel_index) {
    return c->frame_buffer[channel_index & 1u];
}
inline BusGuardian* controller_bus_guardian(TtpController* c) {
    return c->bus_guardian;
}
inline const char* controller_name(const TtpController* c) {
    return c->name;
}

/// Why a message descriptor list cannot be run by a controller, and which of its fields that is about, so
/// that a reader of the file can point at the line that set the field, or name the line to add.
struct MedlRefusal {
    std::string reason;         // what is wrong, in one phrase
    const void* field{nullptr}; // the field inside the Medl record; null when a line is missing altogether
    std::string key;            // the field's key ("slot_control_entry[3].sru_slot_duration")
    const char* example{""};    // a value that would do, for a line to add
    const char* note{""};       // what a line to add needs besides ("" or where it belongs)
};

/// Whether a controller can run the list: a positive micro_to_macro, a c_state_length of 2-6, an own slot
/// among the first 512 entries that is longer than ifg_time and fits startup_timeout + tdma_round_length,
/// every slot up to the cluster cycle's end above 0 long, and that end (eot) among the first 512 entries.
/// When it cannot, `refusal` (if given) says why, about the first condition that fails in that order.
bool medl_runnable(const Medl& medl, MedlRefusal* refusal = nullptr);

// --- Local clock -----------------------------------------------------------------------------------------

double local_to_real(const TtpController* c, double x);
double real_to_local(const TtpController* c, double x);
double real_to_microticks(const TtpController* c, double x);
double microticks_to_real(const TtpController* c, double microticks);
/// Spreading of a correction: the part of clock_correction (microticks) that the local clock takes up after
/// `elapsed` time units since correction_ref_time. The clock takes at most one microtick per
/// free_running_macroticks + 1 macroticks elapsed, plus one; all of it when no time has elapsed (the instant
/// the correction was computed), and nothing is held back when the correction is smaller than that.
int32_t spread_correction(const TtpController* c, double elapsed);
void update_local_time(TtpController* c);
/// Simulated time until the local clock has advanced n macroticks; never negative.
double hold_time_for(TtpController* c, uint32_t n);
/// Macroticks from `from` to the 16-bit time `target`; 0 when the target is already past.
uint32_t macroticks_until(uint32_t target, uint32_t from);

// --- Interface hooks (installed once before a cluster is built) -------------------------------------------

/// Writes of host control words that wake the part of the controller depending on them, and the read of
/// local_time that first brings the controller's clock up to date.
struct CniHooks {
    uint32_t (*read_local_time)(Cni& cni);
    void (*write_controller_on)(Cni& cni, uint32_t value);
    void (*write_controller_await)(Cni& cni, uint32_t value);
    void (*write_timer1)(Cni& cni, uint32_t value);
    void (*write_timer2)(Cni& cni, uint32_t value);
    void (*write_ti1_enable)(Cni& cni, uint32_t value);
    void (*write_ti2_enable)(Cni& cni, uint32_t value);
};
extern CniHooks cni_hooks;
void install_cni_hooks();

// --- Status and channel glue -----------------------------------------------------------------------------

void publish_status(TtpController* c);
/// Writes protocol_state; FREEZE also writes 0 to controller_on through its hook.
void set_protocol_state(TtpController* c, uint32_t state);
uint32_t get_protocol_state(const TtpController* c);
bool controller_is_on(const TtpController* c);
/// Registers with both channels for the next frame; nonzero (and receiving cancelled) if one was busy.
int register_receivers(TtpController* c);
void cancel_receiving(TtpController* c);
void send_on(TtpController* c, unsigned channel_index);
void on_send_complete(TtpController* c);
/// The guardian's gate has closed: a frame of this controller still on either channel ends now.
void cut_off_transmissions(TtpController* c);
void on_frame_received(TtpController* c, unsigned channel_index);
/// End of a slot: global time and MEDL position move on; deferred mode change, user interrupts and the
/// clock synchronisation step of the slot that begins.
void advance_slot(TtpController* c);
/// The current slot and addressing entry (null in mode 31, which has no entry).
const SlotControlEntry& current_slot(const TtpController* c);
const ModeAddressEntry* current_address_entry(const TtpController* c);
bool is_own_slot(const TtpController* c, const SlotControlEntry& slot);
/// The process body (dispatch on the protocol state).
void controller_body(SimProcess* process);

// --- Faults that act inside the controller (fp1ctrl_faults.cpp) ------------------------------------------

/// The controller falls silent: its process, its timers and its bus guardian stop, a frame it is sending
/// ends at once, it leaves both channels' receivers, and until it comes back it sends and receives nothing
/// and reacts to nothing. Its host's next write of controller_on (a restart) brings it back; otherwise
/// recover_controller does.
void crash_controller(TtpController* c);
/// Back after a crash that lasted its time: a reset, restarting through FREEZE and INIT (controller_on is
/// left as the host wrote it). Nothing when the controller is not crashed.
void recover_controller(TtpController* c);
inline bool controller_crashed(const TtpController* c) {
    return c->crashed != 0;
}
/// A babbling controller's transmission out of turn: its frame buffer goes out now on each channel of
/// `channels` (bit k for channel k), as far as its guardian lets it; a frame the guardian refuses is reported
/// as a bus guardian error, as any refused frame is. Nothing while crashed.
void babble(TtpController* c, uint8_t channels);
/// An off-time sender (slightly off in time): its frames start `offset_us` from when it sends them
/// (their time stamps and their ends move by it; an early start moves only the stamp). 0: on time.
void set_send_offset(TtpController* c, double offset_us);
inline double controller_send_offset(const TtpController* c) {
    return c->send_offset;
}
/// The node's reception on `channel` suffers `fault` (FRAME_FAULT_CORRUPT or FRAME_FAULT_LOSE) for the next
/// `frames` frames (0: until cleared with FRAME_FAULT_NONE).
void set_reception_fault(TtpController* c, unsigned channel, uint8_t fault, uint32_t frames);
/// What the node's reception of the frame delivered now on `channel` suffers, counting the frame.
uint8_t take_reception_fault(TtpController* c, unsigned channel);
/// A drift that changes while the controller runs: its clock is brought up to date at the old drift first.
void change_drift(TtpController* c, double drift);
/// The local clock jumps by `macroticks` (modulo 65536), now.
void jump_local_time(TtpController* c, int32_t macroticks);

// --- Startup (fp1ctrl_startup.cpp) -----------------------------------------------------------------------

constexpr unsigned MAX_TRANSMISSION_CYCLE_LENGTH = 512;
/// The first slot whose logical name is the node's; MAX_TRANSMISSION_CYCLE_LENGTH when there is none.
uint32_t find_own_slot(const TtpController* c);
void init_controller(TtpController* c);
bool cold_start_allowed(const TtpController* c);
/// Channel whose buffer holds a complete I-frame with a correct CRC (A first); -1 when none.
int first_valid_i_frame_channel(const TtpController* c);
void integrate(TtpController* c, unsigned channel_index);
bool coldstart_check(TtpController* c);

// --- Slots (fp1ctrl_slot.cpp) ----------------------------------------------------------------------------

int slot_start_check(TtpController* c);
int prepare_frames(TtpController* c);
void evaluate_slot(TtpController* c);
uint32_t channel_verdict(const TtpController* c, unsigned channel_index);
struct AckVerdict {
    uint8_t state;
    bool usable;
};
AckVerdict ack_verdict(const TtpController* c, unsigned channel_index);
int implicit_ack(TtpController* c);
bool membership_error_check(TtpController* c);
void build_i_frame(TtpController* c, unsigned channel_index, uint32_t mode, uint32_t immediate);
void build_cold_start_frame(TtpController* c, unsigned channel_index);
/// Builds an N-frame from the host's message; false (nbw_error, host error) when it is not marked valid.
bool build_n_frame(TtpController* c, unsigned channel_index, uint32_t mode, uint32_t immediate);

// --- Clock synchronisation (fp1ctrl_sync.cpp) ------------------------------------------------------------

/// The clock synchronisation limit: a correction term (fault-tolerant average plus the host's external
/// correction) larger than this in magnitude means the node has lost the cluster's time. It is a clock
/// synchronisation error, which freezes the node; a term of exactly the limit is taken.
constexpr double CLOCK_SYNC_LIMIT_MACROTICKS = 0.45;
int clock_sync_step(TtpController* c);

// --- Signals, errors and mode changes (fp1ctrl_signal.cpp) -----------------------------------------------

void signal_membership_change(TtpController* c);
void signal_mode_change(TtpController* c);
void signal_membership_loss(TtpController* c);
void signal_user_interrupt(TtpController* c, unsigned k);
void signal_timer_interrupt(TtpController* c, unsigned k);
void raise_protocol_error(TtpController* c);
void raise_host_error(TtpController* c);
void raise_bist_error(TtpController* c);
/// bg_error and a protocol error; the bus guardian's node failure report and the channels' refusal report.
void raise_bus_guardian_error(TtpController* c);
void deliver_interrupt(TtpController* c);
bool host_alive(TtpController* c);
bool mode_change_permitted(TtpController* c, uint32_t mode, uint32_t immediate);
void perform_mode_change(TtpController* c, uint32_t mode, uint32_t immediate);
void transition_into_mode(TtpController* c, uint32_t mode);
void deferred_mode_change(TtpController* c);
