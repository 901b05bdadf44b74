#include "host/sa1os.h"

#include "kernel/trace.h"
#include "ttpc/sl1func.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

/// Resumption points of the host body.
enum HostResume : uint32_t {
    OS_TOP = SIM_START, // step 1
    OS_SWITCHED_OFF,    // controller switched off, about to switch it on
    OS_SWITCHED_ON,     // controller switched on, check its configuration
    OS_NOT_CONFIGURED,  // waited after a controller without a valid configuration
    OS_LIFESIGN_GIVEN,  // first life sign given, start the validation wait
    OS_VALIDATING,      // one iteration of the validation wait done
    OS_SERVICE_WAITED,  // one cluster cycle of the service loop done
};

constexpr uint32_t SWITCHED_ON = 0xFFFF;
constexpr double SWITCH_ON_WAIT = 100.0;
constexpr double NOT_CONFIGURED_WAIT = 1000.0;
constexpr uint32_t VALIDATION_ITERATIONS = 100;
constexpr double VALIDATION_FRACTION = 0.1;
constexpr uint32_t LIFESIGN_MASK = 0xFFFF;
constexpr uint32_t MODE_BITS = 32;
/// member_count looks at the membership positions of the four nodes.
constexpr unsigned NODE_POSITIONS = 4;

/// Service order of the interrupts and their short names.
struct ServiceEntry {
    unsigned interrupt;
    const char* name;
};
constexpr ServiceEntry SERVICE_ORDER[] = {
    {IRQ_BE, "be"}, {IRQ_PE, "pe"},   {IRQ_HE, "he"},   {IRQ_ML, "ml"},   {IRQ_MC, "mc"},
    {IRQ_MI, "mi"}, {IRQ_UI2, "ui2"}, {IRQ_UI1, "ui1"}, {IRQ_TI2, "ti2"}, {IRQ_TI1, "ti1"},
};
/// The interrupts whose enables the host sets at start-up (the trace line names three of them).
constexpr unsigned LOGGED_INTERRUPTS[] = {IRQ_BE, IRQ_PE, IRQ_HE, IRQ_ML, IRQ_MC, IRQ_MI};

void host_hold(HostOs* os, double t, uint32_t resume_at) {
    trace(os, "Holding: %0.4f\n", t);
    hold(t, resume_at);
}

bool controller_on(const HostOs* os) {
    return get_controller_on(*os->cni) == SWITCHED_ON;
}
const CniStatus& published(const HostOs* os) {
    return os->cni->status;
}

void fill_task(HostTask& task, const char* name, uint32_t start, uint32_t modes, HostEntry entry,
               void* argument) {
    std::snprintf(task.name, sizeof task.name, "%s", name);
    task.start = start;
    task.modes = modes;
    task.entry = entry;
    task.argument = argument;
}

/// Steps 1 and 14: the service loop when the controller is on, else a (re)start.
void top(HostOs* os) {
    if (controller_on(os)) {
        if (os->pending_interrupts != 0) {
            service_interrupts(os);
            os->pending_interrupts = 0;
        }
        host_hold(os, os->cycle_length, OS_SERVICE_WAITED);
        return;
    }
    trace(os, "Starting Controller.\n");
    cni_hooks.write_controller_on(*os->cni, 0);
    host_hold(os, 0.0, OS_SWITCHED_OFF);
}

/// Steps 3 to 6 after switching the controller on.
void switched_on(HostOs* os) {
    if (get_config_valid(published(os)) != CNI_VALID) {
        trace(os, "Error: Controller not ready, shutting down.\n");
        cni_hooks.write_controller_on(*os->cni, 0);
        host_hold(os, NOT_CONFIGURED_WAIT, OS_NOT_CONFIGURED);
        return;
    }
    os->pending_interrupts = 0;
    trace(os, "Enabling MI interrupt.\n");
    set_interrupt_enable(*os->cni, IRQ_MI, 1);
    trace(os, "Enabling loged interrupts: BE, PE, HE.\n");
    for (unsigned interrupt : LOGGED_INTERRUPTS) {
        set_interrupt_enable(*os->cni, interrupt, 1);
    }
    update_host_lifesign(os);
    host_hold(os, 0.0, OS_LIFESIGN_GIVEN);
}

/// Steps 7 to 13: the validation wait, then the init task and the first release.
void validate(HostOs* os) {
    if (os->validation_wait > 0 && controller_on(os) && get_cstate_valid(published(os)) != CNI_VALID) {
        os->validation_wait -= 1;
        trace(os, "Waiting for C-State Validation (Iteration no. %d).\n",
              static_cast<int>(VALIDATION_ITERATIONS - os->validation_wait));
        host_hold(os, VALIDATION_FRACTION * os->cycle_length, OS_VALIDATING);
        return;
    }
    if (get_cstate_valid(published(os)) != CNI_VALID) {
        trace(os, "Too many wait iterations. Restarting!\n");
        cni_hooks.write_controller_on(*os->cni, 0);
        host_hold(os, 0.0, OS_TOP);
        return;
    }
    trace(os, "Disabling MI interrupt.\n");
    set_interrupt_enable(*os->cni, IRQ_MI, 0);
    update_host_lifesign(os);
    trace(os, "Executing init task.\n");
    if (os->init_task.entry != nullptr) {
        os->init_task.entry(os->init_task.argument);
    }
    trace(os, "Enabling TI1 interrupt.\n");
    cni_hooks.write_ti1_enable(*os->cni, 1);
    update_host_lifesign(os);
    resync_tasks(os);
    top(os);
}

/// Step 14's second half and step 15.
void service_waited(HostOs* os) {
    if (os->pending_interrupts != 0) {
        service_interrupts(os);
        os->pending_interrupts = 0;
    }
    if (check_interrupt_timeout(os) == 0) {
        top(os);
    } else {
        host_hold(os, 0.0, OS_TOP);
    }
}

} // namespace

// --- Creation and set-up ---------------------------------------------------------------------------------

void host_state(const SimObject* object, StateSink* sink) {
    const auto* os = static_cast<const HostOs*>(object);
    state_feed_object(sink, os, {state_gap(os, &os->controller_starts)});
}

HostOs* create_host_os(const char* name) {
    auto* os = sim_new<HostOs>();
    inic_process(os, host_body);
    os->feed_state = host_state;
    std::snprintf(os->host_name, sizeof os->host_name, "%s", name);
    os->name = os->host_name;
    fill_task(os->init_task, "initialization", 0, MODES_ALL, nullptr, nullptr);
    return os;
}

void attach_controller(HostOs* os, TtpController* controller) {
    os->controller = controller;
    os->cni = &controller->cni;
    uint32_t sum = 0;
    os->cycle_length = 0;
    for (uint32_t p = 0; p < MEDL_SLOT_COUNT; ++p) {
        const SlotControlEntry& slot = controller->medl.slot_control_entry[p];
        os->slot_offset[p] = sum;
        sum += get_sru_slot_duration(slot);
        if (get_eot(slot) != 0) {
            break;
        }
    }
    os->cycle_length = sum;
    attach_host(controller, os, host_interrupt_entry);
}

void set_init_task(HostOs* os, HostEntry entry, void* argument) {
    fill_task(os->init_task, "initialization", 0, MODES_ALL, entry, argument);
}

int add_task(HostOs* os, const char* name, uint32_t start, uint32_t modes, HostEntry entry, void* argument) {
    if (os->task_count >= HOST_TASK_COUNT) {
        return -1;
    }
    uint32_t at = 0;
    while (at < os->task_count && os->tasks[at].start < start) {
        at += 1;
    }
    for (uint32_t i = os->task_count; i > at; --i) {
        os->tasks[i] = os->tasks[i - 1];
    }
    fill_task(os->tasks[at], name, start, modes, entry, argument);
    os->task_count += 1;
    return static_cast<int>(at);
}

void add_lifesign_task(HostOs* os, uint32_t start) {
    (void)add_task(os, "lifesign update", start, MODES_ALL, update_host_lifesign, os); // the table has room
}

void set_mc_handler(HostOs* os, HostEntry entry, void* argument) {
    fill_task(os->interrupt_handlers[IRQ_MC], "interrupt mc", 0, MODES_ALL, entry, argument);
}

void host_interrupt_entry(void* argument) {
    auto* os = static_cast<HostOs*>(argument);
    if (os->crashed != 0) {
        return;
    }
    trace(os, "Interrupt handler - activating OS.\n");
    os->pending_interrupts += 1;
    (void)schedule_after(os, 0.0); // ends a hold of the host at once
}

void crash_host(HostOs* os) {
    os->crashed = 1;
    trace(os, "Host crashed.\n");
    (void)unschedule(os);
}

void restart_host(HostOs* os) {
    os->crashed = 0;
    os->pending_interrupts = 0;
    trace(os, "Host restarted.\n");
    // Power-on: the host finds its controller off and starts it (step 2 of the body).
    cni_hooks.write_controller_on(*os->cni, 0);
    os->resume = OS_TOP;
    (void)schedule_after(os, 0.0);
}

void update_host_lifesign(void* argument) {
    auto* os = static_cast<HostOs*>(argument);
    trace(os, "Udating host lifesign.\n");
    set_host_lifesign(*os->cni, ~get_controller_lifesign(published(os)) & LIFESIGN_MASK);
}

// --- The body --------------------------------------------------------------------------------------------

void host_body(SimProcess* process) {
    auto* os = static_cast<HostOs*>(process);
    switch (process->resume) {
    case OS_SWITCHED_OFF:
        cni_hooks.write_controller_on(*os->cni, SWITCHED_ON);
        os->controller_starts += 1;
        host_hold(os, SWITCH_ON_WAIT, OS_SWITCHED_ON);
        return;
    case OS_SWITCHED_ON:
        switched_on(os);
        return;
    case OS_LIFESIGN_GIVEN:
        os->validation_wait = VALIDATION_ITERATIONS;
        validate(os);
        return;
    case OS_VALIDATING:
        validate(os);
        return;
    case OS_SERVICE_WAITED:
        service_waited(os);
        return;
    default: // OS_TOP, OS_NOT_CONFIGURED
        top(os);
        return;
    }
}

void service_interrupts(HostOs* os) {
    for (const ServiceEntry& s : SERVICE_ORDER) {
        if (get_interrupt_status(*os->cni, s.interrupt) != 1) {
            continue;
        }
        trace(os, "Received '%s' interrupt\n", s.name);
        const HostTask& handler = os->interrupt_handlers[s.interrupt];
        if (handler.entry != nullptr) {
            handler.entry(handler.argument);
        }
        set_interrupt_status(*os->cni, s.interrupt, 0);
        if (s.interrupt == IRQ_TI1) {
            os->last_interrupt_time = sim_time();
            dispatch_next_task(os);
        }
    }
}

bool mode_enabled(uint32_t mode, uint32_t modes) {
    return ((modes >> ((mode - 1) % MODE_BITS)) & 1u) != 0;
}

uint32_t slot_distance(uint32_t a, uint32_t b, uint32_t L) {
    return b > a ? b - a : L + b - a;
}

void dispatch_next_task(HostOs* os) {
    if (os->task_count == 0) {
        return;
    }
    const uint32_t mode = cluster_mode_of(os);
    os->current_task %= os->task_count;
    const HostTask& task = os->tasks[os->current_task];
    trace(os, "Running task %d. (%s)\n", static_cast<int>(os->current_task), task.name);
    if (task.entry != nullptr) {
        task.entry(task.argument);
    }
    // The next task enabled in the present mode; the table always holds one (monitor and life sign tasks
    // run in every mode), and the search stops after one round in any case.
    uint32_t next = (os->current_task + 1) % os->task_count;
    for (uint32_t tried = 0; tried < os->task_count && !mode_enabled(mode, os->tasks[next].modes); ++tried) {
        next = (next + 1) % os->task_count;
    }
    if (os->tasks[next].start <= task.start) {
        os->cycle_count += 1;
    }
    trace(os, "Transmission cycle %u\n", os->cycle_count);
    os->timer += slot_distance(task.start, os->tasks[next].start, os->cycle_length);
    os->current_task = next;
    trace(os, "Timer for task %d (%s) set at %u.\n", static_cast<int>(next), os->tasks[next].name, os->timer);
    cni_hooks.write_timer1(*os->cni, os->timer & LIFESIGN_MASK);
}

void resync_tasks(HostOs* os) {
    const CState& cs = published(os).cstate;
    const uint32_t slot = get_medl_position(cs);
    const uint32_t local = cni_hooks.read_local_time(*os->cni);
    const uint32_t global = get_global_time(cs);
    // The present offset in the cluster cycle: the slot's offset plus the macroticks since its start, taken
    // as a signed 16-bit difference so that a local clock just before the slot start reads as slightly
    // earlier, not as four billion macroticks later.
    const int64_t since_slot_start = static_cast<int16_t>(static_cast<uint16_t>(local - global));
    int64_t offset = int64_t{os->slot_offset[slot]} + since_slot_start;
    if (os->cycle_length > 0) {
        offset %= os->cycle_length;
        if (offset < 0) {
            offset += os->cycle_length;
        }
    }
    const auto pos = static_cast<uint32_t>(offset);
    uint32_t selected = 0;
    for (uint32_t i = 0; i < os->task_count; ++i) {
        if (os->tasks[i].start > pos && mode_enabled(1, os->tasks[i].modes)) {
            selected = i;
            break;
        }
    }
    const uint32_t start = os->task_count > 0 ? os->tasks[selected].start : 0;
    os->timer = cni_hooks.read_local_time(*os->cni) + slot_distance(pos, start, os->cycle_length);
    os->current_task = selected;
    set_interrupt_status(*os->cni, IRQ_TI1, 0);
    cni_hooks.write_timer1(*os->cni, os->timer & LIFESIGN_MASK);
    os->last_interrupt_time = sim_time();
    trace(os, "Detected slot %u, selected task %u, timer set to %u.\n", slot, selected, os->timer);
}

int check_interrupt_timeout(HostOs* os) {
    if (sim_time() - os->last_interrupt_time <= os->cycle_length) {
        return 0;
    }
    trace(os, "Interrupt timeout expired.\n");
    uint32_t state = get_protocol_state(published(os));
    if (state == PS_LISTEN || state == PS_COLDSTART) {
        trace(os, "Controller in LISTEN or COLD_START state, trying again.\n");
        os->last_interrupt_time = sim_time();
        update_host_lifesign(os);
        return 0;
    }
    trace(os, "Restarting controller.\n");
    cni_hooks.write_controller_on(*os->cni, 0);
    return 1;
}

// --- Messages --------------------------------------------------------------------------------------------

void write_message(HostOs* os, uint32_t address, unsigned offset, const uint8_t* bytes, unsigned n) {
    uint8_t* message = message_at(*os->cni, address, std::min(offset + n, MESSAGE_DATA_BYTES));
    if (message == nullptr) {
        return;
    }
    for (unsigned i = 0; i < n && offset + i < MESSAGE_DATA_BYTES; ++i) {
        set_message_byte(message, offset + i, bytes[i]);
    }
}

void write_message_float(HostOs* os, uint32_t address, unsigned offset, float value) {
    uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    write_message(os, address, offset, bytes, sizeof bytes);
}

void validate_message(HostOs* os, uint32_t address) {
    trace(os, "Validating EIF.\n");
    if (uint8_t* message = message_at(*os->cni, address, 0)) { // the header alone
        set_message_status(message, MESSAGE_VALID);
    }
}

int read_message(HostOs* os, uint32_t address, unsigned offset, uint8_t* out, unsigned n) {
    const uint8_t* message = message_at(*os->cni, address, std::min(offset + n, MESSAGE_DATA_BYTES));
    if (message == nullptr || (get_message_status(message) & MESSAGE_VALID) == 0) {
        return 1;
    }
    for (unsigned i = 0; i < n; ++i) {
        out[i] =
            offset + i < MESSAGE_DATA_BYTES ? static_cast<uint8_t>(get_message_byte(message, offset + i)) : 0;
    }
    return 0;
}

int read_message_pair(HostOs* os, const uint32_t* pair, unsigned offset, uint8_t* out) {
    constexpr unsigned value_bytes = sizeof(float);
    if (read_message(os, pair[0], offset, out, value_bytes) == 0) {
        return 0;
    }
    return read_message(os, pair[1], offset, out, value_bytes);
}

uint32_t message_status_of(HostOs* os, uint32_t address) {
    const uint8_t* message = message_at(*os->cni, address, 0); // the header alone
    return message != nullptr ? get_message_status(message) : 0;
}

// --- State queries ---------------------------------------------------------------------------------------

uint32_t cluster_mode_of(HostOs* os) {
    return get_cluster_mode(published(os).cstate);
}

uint32_t member_count(HostOs* os) {
    uint32_t count = 0;
    for (unsigned position = 0; position < NODE_POSITIONS; ++position) {
        count += get_membership(published(os).cstate, position);
    }
    return count;
}

void request_mode_change(HostOs* os, uint32_t mode, uint32_t immediate) {
    set_mcr_mode(*os->cni, mode);
    set_mcr_immediate(*os->cni, immediate);
}

uint32_t node_index(HostOs* os) {
    return get_slot_position(os->controller->medl.role_list.logical_name) - 1;
}
