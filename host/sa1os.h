// The host operating system of a node: a small time-triggered executive beside the TTP/C controller.
//
// The host is one simulation process ("HM1", "HM2", "HO1", "HO2") that talks to its controller only
// through the controller's interface (Cni) and the controller's hooks (cni_hooks). It switches the
// controller on, waits until the controller has adopted a C-state, runs its initialisation task, and then
// releases its application tasks one after the other on the controller's user timer interrupt TI1, each at
// a fixed offset of the cluster cycle. All other interrupts are serviced (and traced); only the membership
// change interrupt (mc) has a handler. The host keeps its life sign alive and restarts its controller when
// the time-triggered releases stop.
//
// States of the body (implicit in its resumption point): starting (switch on, check the configuration),
// validating (wait for the C-state), running (service loop). Holds are in simulated time; cycle_length (a
// number of macroticks) is used unchanged as a span of simulated time. Any interrupt notification ends the
// current hold at once.
#pragma once

#include "kernel/sim_process.h"
#include "ttpc/fp1ctrl.h"

#include <cstdint>

constexpr unsigned HOST_TASK_NAME_BYTES = 32;
constexpr unsigned HOST_TASK_COUNT = 10;
constexpr unsigned HOST_INTERRUPT_COUNT = IRQ_COUNT;
/// Task modes: all modes, and all but the startup mode 1.
constexpr uint32_t MODES_ALL = 0xFFFFFFFFu;
constexpr uint32_t MODES_NOT_STARTUP = 0xFFFFFFFEu;

using HostEntry = void (*)(void* argument);

/// One entry of the task table; also the initialisation task and the interrupt handlers.
struct HostTask {
    char name[HOST_TASK_NAME_BYTES];
    uint32_t start;  // release offset in the cluster cycle, macroticks
    uint32_t modes;  // bit m-1: the task may run while the cluster mode is m
    HostEntry entry; // may be empty
    void* argument;
};

struct HostOs : SimProcess {
    TtpController* controller;             // not owned
    Cni* cni;                              // the controller's interface
    HostTask init_task;                    // "initialization"
    HostTask tasks[HOST_TASK_COUNT];       // sorted by start
    uint32_t slot_offset[MEDL_SLOT_COUNT]; // start offset of each MEDL position in the cluster cycle
    HostTask interrupt_handlers[HOST_INTERRUPT_COUNT]; // be, pe, he, ml, mc, mi, ui1, ui2, ti1, ti2
    uint32_t pending_interrupts;                       // notifications since the last service
    uint32_t cycle_count;                              // cluster cycles seen by the dispatcher
    uint32_t current_task;                             // the task the next TI1 releases
    uint32_t task_count;
    uint32_t validation_wait;   // iterations left of the C-state validation wait
    uint32_t timer;             // release time of the next task, macroticks
    uint32_t cycle_length;      // macroticks
    double last_interrupt_time; // last TI1 service or resynchronisation
    uint32_t controller_starts; // times the host switched its controller on
    uint32_t crashed;           // 1: a host crash fault holds the host still (crash_host)
    char host_name[HOST_TASK_NAME_BYTES];
};

/// Allocates a host process named `name` (not planned).
HostOs* create_host_os(const char* name);
/// The host's model state (sim_state.h): the record but controller_starts, a report nothing reads.
void host_state(const SimObject* object, StateSink* sink);
/// Binds the host to its controller: slot offsets and cycle length from the list, interrupt entry.
void attach_controller(HostOs* os, TtpController* controller);
void set_init_task(HostOs* os, HostEntry entry, void* argument);
/// Inserts a task before the first task whose start is not smaller; -1 when the table is full.
int add_task(HostOs* os, const char* name, uint32_t start, uint32_t modes, HostEntry entry, void* argument);
void add_lifesign_task(HostOs* os, uint32_t start);
void set_mc_handler(HostOs* os, HostEntry entry, void* argument);
/// The controller's interrupt entry: counts the notification and wakes the host at once (a crashed host
/// takes no notice).
void host_interrupt_entry(void* os);
/// The host stops (a host crash fault): no tasks, no life sign, no interrupt is serviced, until
/// restart_host.
void crash_host(HostOs* os);
/// The host starts over, as after power-on: it switches its controller off and starts it again, and runs
/// its initialisation once the controller has a C-state. Also ends a crash.
void restart_host(HostOs* os);
/// The host's life sign: the complement of the published controller life sign.
void update_host_lifesign(void* os);

/// The host body and its steps (exposed for tests).
void host_body(SimProcess* process);
void service_interrupts(HostOs* os);
void dispatch_next_task(HostOs* os);
void resync_tasks(HostOs* os);
/// 0: go on; 1: the controller was switched off for a restart.
int check_interrupt_timeout(HostOs* os);
/// Distance from offset a forward to offset b in a cycle of length L; equal offsets give a full cycle.
uint32_t slot_distance(uint32_t a, uint32_t b, uint32_t L);
bool mode_enabled(uint32_t mode, uint32_t modes);

// --- Messages in the interface ---------------------------------------------------------------------------

void write_message(HostOs* os, uint32_t address, unsigned offset, const uint8_t* bytes, unsigned n);
void write_message_float(HostOs* os, uint32_t address, unsigned offset, float value);
void validate_message(HostOs* os, uint32_t address);
/// 0 and n bytes copied when the message is marked valid; otherwise 1 and nothing copied.
int read_message(HostOs* os, uint32_t address, unsigned offset, uint8_t* out, unsigned n);
/// Reads 4 bytes from pair[0], else from pair[1]; 0 on success.
int read_message_pair(HostOs* os, const uint32_t* pair, unsigned offset, uint8_t* out);
uint32_t message_status_of(HostOs* os, uint32_t address);

// --- State queries and requests --------------------------------------------------------------------------

uint32_t cluster_mode_of(HostOs* os);
uint32_t member_count(HostOs* os);
void request_mode_change(HostOs* os, uint32_t mode, uint32_t immediate);
/// slot_position of the node's role minus 1 (M1 = 0 .. O2 = 3).
uint32_t node_index(HostOs* os);
