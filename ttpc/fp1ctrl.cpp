#include "ttpc/fp1ctrl.h"

#include "kernel/access_recorder.h"
#include "kernel/sim_assert.h"
#include "ttpc/fp1busg.h"
#include "ttpc/fp1chan.h"
#include "ttpc/fp1ctrl_internal.h"
#include "ttpc/sl1func.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace {

/// A completed reception wakes the controller this long after the delivery.
constexpr double RECEPTION_WAKE_DELAY = 10.0;
/// 16-bit differences of this size or more mean a target that is already past.
constexpr uint32_t PAST_TARGET = 0x8000;

/// Microticks per macrotick; a list that could not give a usable ratio is refused before a run (see
/// medl_runnable), so the fallback only keeps a stray test controller finite.
double microticks_per_macrotick(const TtpController* c) {
    double ratio = get_micro_to_macro(c->medl);
    return std::isfinite(ratio) && ratio > 0.0 ? ratio : 1.0;
}

/// The registers hold signed words; their stores are recorded like the interface's.
void record_mtd(TtpController* c, unsigned channel, int32_t value) {
    access_write(&c->mtd[channel]);
    c->mtd[channel] = value;
}

int32_t saturate_to_int32(double value) {
    if (!(value == value)) {
        return 0;
    }
    constexpr double low = std::numeric_limits<int32_t>::min();
    constexpr double high = std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value < low ? low : value > high ? high : value);
}

// --- Interface hooks -------------------------------------------------------------------------------------

void rearm_timer(TtpController* c, unsigned k);

uint32_t hook_read_local_time(Cni& cni) {
    return read_local_time(controller_of(&cni));
}

void hook_write_controller_on(Cni& cni, uint32_t value) {
    TtpController* c = controller_of(&cni);
    value &= TIME_MASK;
    if (get_controller_on(cni) == value) {
        return;
    }
    recorded_store(cni.controller_on, value);
    if (c->crashed != 0) {
        c->crashed = 0; // the host restarts a crashed controller by switching it
        trace(trace_object(c), "Controller restarted by its host.\n");
    }
    if (value == CNI_REQUEST || c->wake_on_controller_on != 0) {
        (void)schedule_after(c->process, 0.0); // the controller writing its own word needs no waking
    }
    if (value == CNI_REQUEST && get_protocol_state(c) != PS_FREEZE) {
        // A running controller switched on again restarts through FREEZE and INIT; the word itself stays on.
        set_protocol_state(c->working_status, PS_FREEZE);
        notify_state_written(c, PS_FREEZE);
    }
}

void hook_write_controller_await(Cni& cni, uint32_t value) {
    TtpController* c = controller_of(&cni);
    value &= TIME_MASK;
    if (get_controller_await(cni) == value) {
        return;
    }
    recorded_store(cni.controller_await, value);
    if (value == CNI_REQUEST && c->wake_on_await != 0) {
        (void)schedule_after(c->process, 0.0);
    }
}

void write_timer(Cni& cni, uint32_t& word, uint32_t value, unsigned k) {
    value &= TIME_MASK;
    if (recorded_read(word, TIME_MASK) == value) {
        return;
    }
    recorded_store(word, value);
    rearm_timer(controller_of(&cni), k);
}

void hook_write_timer1(Cni& cni, uint32_t value) {
    write_timer(cni, cni.timer1, value, 0);
}
void hook_write_timer2(Cni& cni, uint32_t value) {
    write_timer(cni, cni.timer2, value, 1);
}

void write_timer_enable(Cni& cni, unsigned interrupt, uint32_t value, unsigned k) {
    value &= 1u;
    if (get_interrupt_enable(cni, interrupt) == value) {
        return;
    }
    set_interrupt_enable(cni, interrupt, value);
    rearm_timer(controller_of(&cni), k);
}

void hook_write_ti1_enable(Cni& cni, uint32_t value) {
    write_timer_enable(cni, IRQ_TI1, value, 0);
}
void hook_write_ti2_enable(Cni& cni, uint32_t value) {
    write_timer_enable(cni, IRQ_TI2, value, 1);
}

// --- User timers -----------------------------------------------------------------------------------------

void rearm_timer(TtpController* c, unsigned k) {
    if (c->crashed != 0) {
        (void)unschedule(c->timer_process[k]); // a crashed controller's timers stay still
        return;
    }
    uint32_t expiry = k == 0 ? get_timer1(c->cni) : get_timer2(c->cni);
    unsigned interrupt = k == 0 ? IRQ_TI1 : IRQ_TI2;
    uint32_t d = macroticks_until(expiry, read_local_time(c));
    if (d > 0 && get_interrupt_enable(c->cni, interrupt) != 0) {
        (void)schedule_after(c->timer_process[k], hold_time_for(c, d));
    } else {
        (void)unschedule(c->timer_process[k]);
    }
}

void timer_body(SimProcess* process) {
    TtpController* c = controller_of_process(process);
    unsigned k = process == c->timer_process[0] ? 0 : 1;
    trace(process, "Timer activated\n");
    signal_timer_interrupt(c, k + 1);
    passivate(SIM_START + 1);
}

// --- The slot of the synchronised states -----------------------------------------------------------------

uint32_t transmission_phase_end(const TtpController* c) {
    const SlotControlEntry& slot = current_slot(c);
    return get_global_time(working_cstate(c)) + get_sru_slot_duration(slot) - get_ifg_time(c->medl);
}

void compute_next_action_time(TtpController* c) {
    uint32_t g = read_local_time(c);
    uint32_t s = get_global_time(working_cstate(c));
    c->action_time = sim_time() + hold_time_for(c, macroticks_until(s, g));
    trace(trace_object(c), "CState-Time = %d, Cluster-Time = %d, Next Action Time = %0.4f\n",
          static_cast<int>(s), static_cast<int>(g), c->action_time);
    trace(trace_object(c), "External rate correction = %d\n", get_external_correction(c->cni));
}

/// Step 1: wait until the local clock reaches the slot start.
bool slot_begin(TtpController* c) {
    publish_status(c);
    compute_next_action_time(c);
    trace(trace_object(c), "Holding...\n");
    uint32_t local = read_local_time(c);
    hold(hold_time_for(c, macroticks_until(get_global_time(working_cstate(c)), local)), CTRL_SLOT_STARTED);
    return true;
}

/// Steps 3 and 5: wait until the end of the transmission phase.
bool hold_until_transmission_phase_end(TtpController* c, uint32_t resume_at) {
    trace(trace_object(c), "Holding...\n");
    uint32_t local = read_local_time(c);
    hold(hold_time_for(c, macroticks_until(transmission_phase_end(c) & TIME_MASK, local)), resume_at);
    return true;
}

/// Step 2, sending: the transmission phase starts.
bool slot_transmission_phase(TtpController* c) {
    trace(trace_object(c), "TP Start.\n");
    CState& cs = working_cstate(c);
    if (get_membership(cs, c->own_pos) == 0) {
        trace(trace_object(c), "Setting membership vector.\n");
        set_membership(cs, c->own_pos, 1);
        signal_membership_change(c);
    }
    send_on(c, CHANNEL_A);
    send_on(c, CHANNEL_B);
    return hold_until_transmission_phase_end(c, CTRL_SLOT_TP_ENDED);
}

/// Step 2 at the slot start: pending interrupt, slot-start check, guardian trigger, transmission.
bool slot_started(TtpController* c) {
    if (recorded_read(c->interrupt_pending, 1u) != 0) {
        recorded_store(c->interrupt_pending, 0);
        deliver_interrupt(c);
    }
    c->sending = slot_start_check(c) != 0 ? 1 : 0;
    notify_slot_started(c, c->sending != 0);
    const SlotControlEntry& slot = current_slot(c);
    if (c->sending == 0) {
        if (is_own_slot(c, slot)) {
            trigger_guardian(c, 0);
        }
        if (recorded_read(c->bg_sync_pending, 1u) == 0 && get_ba(slot) != 0) {
            trigger_guardian(c, 1);
        }
        return hold_until_transmission_phase_end(c, CTRL_SLOT_TP_ENDED);
    }
    if (recorded_read(c->bg_sync_pending, 1u) != 0) {
        trigger_guardian(c, 1);
        hold(0.0, CTRL_SLOT_GUARDIAN_RAN); // let the guardian open its window first
        return true;
    }
    return slot_transmission_phase(c);
}

/// Steps 4 and 5: evaluate, then complete the transmission phase.
bool slot_transmission_phase_ended(TtpController* c) {
    evaluate_slot(c);
    return hold_until_transmission_phase_end(c, CTRL_SLOT_ENDED);
}

/// Step 5's end and step 6: after the first own send the guardian gets its normal window; the slot ends.
void slot_ended(TtpController* c) {
    if (c->sending != 0 && recorded_read(c->bg_sync_pending, 1u) != 0) {
        load_guardian_window(c, c->medl.role_list.bus_guardian);
        recorded_store(c->bg_sync_pending, 0);
    }
    advance_slot(c);
    if (controller_is_on(c)) {
        (void)register_receivers(c);
    }
}

bool freeze_step(TtpController* c) {
    for (SimProcess* timer : c->timer_process) {
        (void)unschedule(timer);
    }
    cut_off_transmissions(c);
    if (!controller_is_on(c)) {
        set_config_valid(c->working_status, 0);
        set_cstate_valid(c->working_status, 0);
        publish_status(c);
        passivate(CTRL_FROZEN);
        return true;
    }
    set_protocol_state(c, PS_INIT);
    return false;
}

void trace_status_line(TtpController* c) {
    if (!trace_active()) {
        return; // its twenty arguments would be read for nothing
    }
    const CniStatus& s = c->working_status;
    const CState& cs = s.cstate;
    trace(trace_object(c), "%s MV=[%u%u%u%u] NFV=[%u%u%u%u] A=%u F=%u I=%u, TI1=%u, Timer1=%u\n",
          ctrl_state_name(get_protocol_state(s)), get_membership(cs, 0), get_membership(cs, 1),
          get_membership(cs, 2), get_membership(cs, 3), get_null_frame(s, 0), get_null_frame(s, 1),
          get_null_frame(s, 2), get_null_frame(s, 3), get_agreed_slots(s), get_failed_slots(s),
          get_invalid_slots(s), get_interrupt_enable(c->cni, IRQ_TI1), get_timer1(c->cni));
}

/// One pass of the body: the status line and the dispatch on the protocol state. True when it waits.
bool run_pass(TtpController* c) {
    trace_status_line(c);
    switch (get_protocol_state(c)) {
    case PS_INIT:
        (void)unschedule(c->bus_guardian->process); // init_controller resets the guardian
        init_controller(c);
        return false;
    case PS_LISTEN:
        return listen_step(c);
    case PS_COLDSTART:
        return coldstart_step(c);
    case PS_STARTUP:
    case PS_APPLICATION:
    case PS_READY:
    case PS_PASSIVE:
        return slot_begin(c);
    case PS_AWAIT:
    case PS_SELFTEST:
        publish_status(c);
        passivate(CTRL_PARKED);
        return true;
    case PS_FREEZE:
        return freeze_step(c);
    case PS_DOWNLOAD:
        set_download_completed(c->working_status, 1);
        set_protocol_state(c, PS_FREEZE);
        raise_protocol_error(c);
        return false;
    default:
        set_protocol_state(c, PS_FREEZE);
        return false;
    }
}

/// Continues the body at the wait point it resumes from. True when it waits again.
bool resume_at(TtpController* c, uint32_t point) {
    switch (point) {
    case CTRL_PARKED:
        // Woken from AWAIT or SELFTEST: FREEZE leaves controller_on as the host wrote it, so a host that
        // switched the controller on again sees it restart through INIT at once.
        set_protocol_state(c->working_status, PS_FREEZE);
        return false;
    case CTRL_FROZEN:
        return false; // switched on again: the next pass leaves FREEZE through INIT
    case CTRL_LISTENED:
        return listen_after_wait(c);
    case CTRL_COLDSTART_SENT:
    case CTRL_COLDSTART_BAD_RECEIVE:
    case CTRL_COLDSTART_GAP:
    case CTRL_COLDSTART_TIMEOUT:
        return coldstart_after_wait(c, point);
    case CTRL_SLOT_STARTED:
        return slot_started(c);
    case CTRL_SLOT_GUARDIAN_RAN:
        return slot_transmission_phase(c);
    case CTRL_SLOT_TP_ENDED:
        return slot_transmission_phase_ended(c);
    case CTRL_SLOT_ENDED:
        slot_ended(c);
        return false;
    default:
        return run_pass(c);
    }
}

} // namespace

uint32_t read_local_time(TtpController* c) {
    update_local_time(c);
    return get_local_time(c->working_status);
}

CniHooks cni_hooks = {};

void install_cni_hooks() {
    cni_hooks = {hook_read_local_time, hook_write_controller_on, hook_write_controller_await,
                 hook_write_timer1,    hook_write_timer2,        hook_write_ti1_enable,
                 hook_write_ti2_enable};
}

// --- Creation and wiring ---------------------------------------------------------------------------------

TtpController* create_controller(const char* name) {
    auto* c = new TtpController{};
    std::snprintf(c->name, sizeof c->name, "%s", name);
    c->process = create_owned_process<TtpController, controller_state>(c, controller_body, c->name);
    c->cni_view = &c->cni;
    c->status_view = &c->working_status;
    c->time_update_hook = update_local_time;
    c->receive_hook = on_frame_received;
    c->send_complete_hook = on_send_complete;
    set_protocol_state(c, PS_FREEZE);
    publish_status(c);

    char guardian_name[CONTROLLER_NAME_BYTES + 8];
    std::snprintf(guardian_name, sizeof guardian_name, "BG - %s", c->name);
    c->bus_guardian = create_bus_guardian(guardian_name);
    c->bus_guardian->controller = c;
    c->bus_guardian->report_failure = raise_bus_guardian_error;
    c->bus_guardian->gate_closed = cut_off_transmissions;
    (void)schedule_after(c->bus_guardian->process, 0.0);

    for (unsigned k = 0; k < TIMER_COUNT; ++k) {
        std::snprintf(c->timer_name[k], sizeof c->timer_name[k], "%s: Timer %u", c->name, k + 1);
        auto* timer = sim_new<SimProcess>();
        inic_process(timer, timer_body);
        timer->name = c->timer_name[k];
        timer->user_data = c;
        c->timer_process[k] = timer;
    }
    return c;
}

void controller_state(const TtpController& c, StateSink* sink) {
    state_feed_record(sink, &c, sizeof c,
                      {state_gap(&c, &c.medl), state_gap(&c, &c.observer), state_gap(&c, &c.fault_watch)});
}

void attach_channel(TtpController* c, unsigned index, TtpChannel* channel) {
    c->channel[index & 1u] = channel;
}
void set_drift(TtpController* c, double drift) {
    c->drift = drift;
    c->drift_ratio = drift / (1.0 + drift);
}

void attach_host(TtpController* c, void* arg, HostHandler handler) {
    c->host_handler_arg = arg;
    c->host_handler = handler;
}

TtpController* controller_of(Cni* cni) {
    return reinterpret_cast<TtpController*>(reinterpret_cast<char*>(cni) - offsetof(TtpController, cni));
}

TtpController* controller_of_process(SimProcess* process) {
    return static_cast<TtpController*>(process->user_data);
}

bool medl_runnable(const Medl& medl, MedlRefusal* refusal) {
    auto refuse = [&](const char* reason, const void* field, std::string key, const char* example,
                      const char* note = "") {
        if (refusal != nullptr) {
            *refusal = MedlRefusal{reason, field, std::move(key), example, note};
        }
        return false;
    };
    auto slot_key = [](uint32_t slot, const char* field) {
        return "slot_control_entry[" + std::to_string(slot) + "]." + field;
    };
    const ControllerCfgParams& cfg = medl.controller_cfg_params;
    double ratio = get_micro_to_macro(medl);
    if (!std::isfinite(ratio) || ratio <= 0.0) {
        return refuse("controller_cfg_params.micro_to_macro must be a positive number", &cfg.micro_to_macro,
                      "controller_cfg_params.micro_to_macro", "10");
    }
    uint32_t length = get_c_state_length(medl);
    if (length < MEDL_C_STATE_LENGTH_MIN || length > MEDL_C_STATE_LENGTH_MAX) {
        return refuse("controller_cfg_params.c_state_length must be 2-6", &cfg.c_state_length,
                      "controller_cfg_params.c_state_length", "3");
    }
    uint32_t own = MAX_TRANSMISSION_CYCLE_LENGTH;
    for (uint32_t s = 0; s < MAX_TRANSMISSION_CYCLE_LENGTH; ++s) {
        if (same_logical_name(medl.slot_control_entry[s].logical_name, medl.role_list.logical_name)) {
            own = s;
            break;
        }
    }
    if (own == MAX_TRANSMISSION_CYCLE_LENGTH) {
        return refuse("no slot_control_entry among the first 512 has the node's role_list.logical_name",
                      &medl.role_list.logical_name.slot_position, "role_list.logical_name.slot_position",
                      "1");
    }
    const SlotControlEntry& own_entry = medl.slot_control_entry[own];
    uint32_t own_duration = get_sru_slot_duration(own_entry);
    if (own_duration <= get_ifg_time(medl)) {
        return refuse(
            "the node's own slot (sru_slot_duration) must be longer than implementation_params.ifg_time",
            &own_entry.sru_slot_duration, slot_key(own, "sru_slot_duration"), "250");
    }
    if (get_startup_timeout(medl) + get_tdma_round_length(medl) < own_duration) {
        return refuse("startup_timeout + tdma_round_length must not be shorter than the node's own slot",
                      &cfg.startup_timeout, "controller_cfg_params.startup_timeout", "100");
    }
    for (uint32_t s = 0; s < MEDL_SLOT_COUNT; ++s) {
        const SlotControlEntry& slot = medl.slot_control_entry[s];
        if (get_sru_slot_duration(slot) == 0) {
            return refuse("every slot of the cluster cycle needs an sru_slot_duration above 0",
                          &slot.sru_slot_duration, slot_key(s, "sru_slot_duration"), "250");
        }
        if (get_eot(slot) != 0) {
            return true;
        }
    }
    return refuse("no slot_control_entry among the first 512 ends the cluster cycle (eot)", nullptr,
                  "slot_control_entry[N].eot", "1", " for the last slot N of the cluster cycle");
}

// --- Local clock -----------------------------------------------------------------------------------------

double local_to_real(const TtpController* c, double x) {
    return x - x * c->drift_ratio;
}
double real_to_local(const TtpController* c, double x) {
    return x * c->drift + x;
}

double real_to_microticks(const TtpController* c, double x) {
    double k = microticks_per_macrotick(c);
    return (x * k) * c->drift + x * k;
}

double microticks_to_real(const TtpController* c, double microticks) {
    double macroticks = microticks / microticks_per_macrotick(c);
    return macroticks - macroticks * c->drift_ratio;
}

int32_t spread_correction(const TtpController* c, double elapsed) {
    int32_t correction = get_clock_correction(c->working_status);
    if (correction == 0 || !(elapsed > 0.0)) {
        return correction;
    }
    // One microtick per free_running_macroticks + 1 macroticks of local time, and one at once.
    double per_microtick = local_to_real(c, get_free_running_macroticks(c->medl) + 1.0);
    double due = std::trunc(elapsed / per_microtick) + 1.0;
    if (due < std::abs(correction)) {
        auto whole = static_cast<int32_t>(due);
        return correction < 1 ? -whole : whole;
    }
    return correction;
}

void update_local_time(TtpController* c) {
    const double now = sim_time();
    if (now == c->last_tick_time && c->working_status.clock_correction == 0) {
        return; // no time has passed and no correction waits: the clock reads as it did
    }
    int32_t applied = spread_correction(c, now - c->correction_ref_time);
    add_clock_correction(c->working_status, -applied);
    c->correction_ref_time += std::abs(applied) * local_to_real(c, get_free_running_macroticks(c->medl));
    double v =
        real_to_local(c, now - c->last_tick_time + c->tick_remainder) + applied / microticks_per_macrotick(c);
    c->last_tick_time = now;
    // The whole ticks and the remainder both come from floor(v): a negative correction larger than the
    // remainder moves the clock back instead of gaining a tick.
    double whole = std::isfinite(v) ? std::floor(v) : 0.0;
    c->tick_remainder = std::isfinite(v) ? local_to_real(c, v - whole) : 0.0;
    constexpr double max_ticks = 1e15;
    auto ticks = static_cast<int64_t>(whole < -max_ticks  ? -max_ticks
                                      : whole > max_ticks ? max_ticks
                                                          : whole);
    int64_t total = static_cast<int64_t>(get_local_time(c->working_status)) + ticks;
    int64_t wraps = total >= 0 ? total / TIME_WRAP : -((-total + TIME_WRAP - 1) / TIME_WRAP);
    if (wraps != 0) {
        add_local_time_high(c->cni, static_cast<uint32_t>(wraps) & TIME_MASK);
    }
    uint32_t local = static_cast<uint32_t>(total - wraps * TIME_WRAP) & TIME_MASK;
    set_local_time(c->working_status, local);
    set_local_time(c->cni.status, local);
}

double hold_time_for(TtpController* c, uint32_t n) {
    update_local_time(c);
    const double now = sim_time();
    double x = local_to_real(c, n);
    double r = now - c->last_tick_time + c->tick_remainder;
    double t = x - r;
    int32_t correction = spread_correction(c, now - c->correction_ref_time + t);
    t -= microticks_to_real(c, correction);
    if (!(t >= 0.0)) {
        t = 0.0;
    }
    trace(trace_object(c), "Computed Hold Time: %0.4f\n", t);
    return t;
}

uint32_t macroticks_until(uint32_t target, uint32_t from) {
    uint32_t d = (target - from) & TIME_MASK;
    return d >= PAST_TARGET ? 0 : d;
}

// --- Status and channel glue -----------------------------------------------------------------------------

void publish_status(TtpController* c) {
    if (c->working_status.local_time != recorded_read(c->cni.status.local_time, ALL_WORD_BITS)) {
        update_local_time(c);
    }
    access_write_bytes(&c->cni.status, sizeof c->cni.status);
    std::memcpy(&c->cni.status, &c->working_status, sizeof c->working_status);
}

void set_protocol_state(TtpController* c, uint32_t state) {
    set_protocol_state(c->working_status, state);
    notify_state_written(c, state);
    if (state == PS_FREEZE) {
        hook_write_controller_on(c->cni, 0);
    }
}

uint32_t get_protocol_state(const TtpController* c) {
    return get_protocol_state(c->working_status);
}
bool controller_is_on(const TtpController* c) {
    return get_controller_on(c->cni) == CNI_REQUEST;
}

int register_receivers(TtpController* c) {
    uint32_t busy = 0;
    for (TtpChannel* channel : c->channel) {
        if (channel != nullptr) {
            busy |= register_receiver(channel, c, c->receive_hook);
        }
    }
    if (busy != 0) {
        cancel_receiving(c);
    }
    return busy != 0 ? 1 : 0;
}

void cancel_receiving(TtpController* c) {
    trace(trace_object(c), "Receiving canceled\n");
    for (TtpChannel* channel : c->channel) {
        if (channel != nullptr) {
            unregister_receiver(channel, c);
        }
    }
}

void send_on(TtpController* c, unsigned channel_index) {
    record_mtd(c, CHANNEL_A, 0);
    record_mtd(c, CHANNEL_B, 0);
    TtpChannel* channel = c->channel[channel_index & 1u];
    if (channel == nullptr || transmit(channel, c, c->send_complete_hook) != 0) {
        trigger_guardian(c, 0);
    }
}

void cut_off_transmissions(TtpController* c) {
    for (TtpChannel* channel : c->channel) {
        if (channel != nullptr) {
            abort_transmission(channel, c);
        }
    }
}

void on_send_complete(TtpController* c) {
    trigger_guardian(c, 0);
}

void on_frame_received(TtpController* c, unsigned channel_index) {
    if (c->crashed != 0) {
        return; // a crashed controller takes nothing in
    }
    Frame& frame = c->frame_buffer[channel_index & 1u];
    if (get_cstate_valid(c->working_status) == CNI_VALID &&
        !(std::fabs(frame.send_time - c->action_time) <= MAX_FRAME_OFFSET)) {
        frame.status = FRAME_STATUS_EMPTY; // outside the acceptance window: treated as not received
    }
    for (unsigned ch = 0; ch < CHANNEL_COUNT; ++ch) {
        record_mtd(c, ch,
                   saturate_to_int32(
                       std::trunc(real_to_microticks(c, c->frame_buffer[ch].send_time - c->action_time))));
    }
    if (c->wake_on_frame != 0 && frame.status == FRAME_STATUS_COMPLETE) {
        (void)schedule_after(c->process, RECEPTION_WAKE_DELAY);
    }
}

const SlotControlEntry& current_slot(const TtpController* c) {
    return slot_control_entry(c->medl, get_medl_position(working_cstate(c)));
}

const ModeAddressEntry* current_address_entry(const TtpController* c) {
    const CState& cs = working_cstate(c);
    return mode_address_entry(c->medl, get_cluster_mode(cs), get_medl_position(cs));
}

bool is_own_slot(const TtpController* c, const SlotControlEntry& slot) {
    return same_logical_name(slot.logical_name, c->medl.role_list.logical_name);
}

void advance_slot(TtpController* c) {
    CState& cs = working_cstate(c);
    uint32_t dmc = get_dmc(cs);
    const SlotControlEntry& ending = current_slot(c);
    add_global_time(cs, get_sru_slot_duration(ending));
    if (get_eot(ending) != 0) {
        set_medl_position(cs, 0);
        if (dmc != 0) {
            deferred_mode_change(c);
            set_dmc(cs, 0);
        }
    } else {
        add_medl_position(cs, 1);
    }
    if (const ModeAddressEntry* entry = current_address_entry(c)) {
        if (get_ru1(*entry) != 0) {
            signal_user_interrupt(c, 1);
        }
        if (get_ru2(*entry) != 0) {
            signal_user_interrupt(c, 2);
        }
    }
    (void)clock_sync_step(c); // a synchronisation error has frozen the controller already
}

void load_guardian_window(TtpController* c, const BgParams& window) {
    configure(c->bus_guardian, window);
}
void trigger_guardian(TtpController* c, uint32_t value) {
    trigger(c->bus_guardian, value);
}
void rest_guardian(TtpController* c) {
    (void)unschedule(c->bus_guardian->process);
    reset(c->bus_guardian);
}

// --- The process body ------------------------------------------------------------------------------------

void controller_body(SimProcess* process) {
    TtpController* c = controller_of_process(process);
    uint32_t point = process->resume;
    // After every wait but the end of the transmission phase, a controller switched off freezes at once.
    if (point != CTRL_PASS && point != CTRL_SLOT_ENDED && !controller_is_on(c)) {
        set_protocol_state(c, PS_FREEZE);
        point = CTRL_PASS;
    }
    // A controller switched off and on again while it waited is in FREEZE (the write of controller_on set
    // it): the step it waited in is not carried on, and the next pass restarts through INIT.
    if (point != CTRL_PASS && get_protocol_state(c) == PS_FREEZE) {
        point = CTRL_PASS;
    }
    while (!resume_at(c, point)) {
        point = CTRL_PASS;
    }
}
