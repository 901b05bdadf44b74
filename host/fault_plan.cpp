#include "host/fault_plan.h"

#include "host/cluster.h"
#include "host/slot_events.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"
#include "ttpc/fp1cni.h"
#include "ttpc/sl1func.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

namespace {

constexpr double PER_SECOND = 1e-6; // rates per second, time in microseconds
constexpr uint32_t PLAN_SEED_MIX = 0x5EED5EEDu;
/// Slot starts announced within this of the last one counted belong to the same slot (synchronised nodes
/// start a slot well within a microsecond of each other; the shortest slot is far longer).
constexpr double SAME_SLOT_US = 5.0;
constexpr uint8_t NO_VECTOR = 0x80;

enum : uint32_t { PLAN_WAITING = SIM_START, PLAN_HELD };

constexpr const char* ROW_ACTION_NAMES[FAULT_ROW_ACTION_COUNT] = {"bit", "added", "start", "end", "tick"};

FaultPlan* plan_of(void* context) {
    return static_cast<FaultPlan*>(context);
}

int node_of(const FaultPlan* plan, const TtpController* c) {
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if (plan->cluster->controllers[n] == c) {
            return static_cast<int>(n);
        }
    }
    return -1;
}

/// Kernel steps before the row: the plan's own event is not counted when the row is made inside it.
uint64_t steps_before(const FaultPlan* plan) {
    const bool inside = current() == plan && plan->state == ACTIVE;
    return inside ? step_count() - 1 : step_count();
}

InjectionRecord make_row(const FaultPlan* plan, const ScheduledFault& f, uint8_t action, int node,
                         NodeSet nodes, std::string detail) {
    InjectionRecord row{};
    row.time = sim_time();
    row.step = steps_before(plan);
    row.target = f.described.target;
    row.source = current() == plan && plan->state == ACTIVE ? SOURCE_PLAN : SOURCE_NOW;
    row.fault = f.number;
    row.kind = static_cast<uint8_t>(f.described.kind);
    row.action = action;
    row.node = node;
    row.nodes = nodes != 0 ? nodes : node >= 0 ? static_cast<NodeSet>(1u << node) : 0;
    row.detail = std::move(detail);
    row.effect = FAULT_EFFECT_COUNT; // none: only bit rows have an effect
    return row;
}

void report(FaultPlan* plan, const InjectionRecord& row) {
    if (plan->listener != nullptr) {
        plan->listener(plan->listener_context, row);
    }
}

void report_row(FaultPlan* plan, const ScheduledFault& f, uint8_t action, int node, NodeSet nodes,
                std::string detail) {
    report(plan, make_row(plan, f, action, node, nodes, std::move(detail)));
}

// --- The agenda ------------------------------------------------------------------------------------------

/// Plans the process for the first entry when it is not planned earlier (inside its own step the body
/// plans itself when it waits).
void plan_process(FaultPlan* plan) {
    if (plan->agenda.empty() || current() == plan) {
        return;
    }
    const double first = plan->agenda.front().time;
    if (!is_planned(plan) || plan->evtime > first) {
        (void)schedule_at(plan, first);
    }
}

void put_on_agenda(FaultPlan* plan, double time, uint32_t fault, AgendaWhat what) {
    const AgendaEntry entry{time, plan->next_order++, fault, what};
    auto later = [](const AgendaEntry& a, const AgendaEntry& b) {
        return a.time != b.time ? a.time < b.time : a.order < b.order;
    };
    plan->agenda.insert(std::upper_bound(plan->agenda.begin(), plan->agenda.end(), entry, later), entry);
    plan_process(plan);
}

void drop_entries(FaultPlan* plan, uint32_t fault, AgendaWhat what) {
    std::erase_if(plan->agenda, [&](const AgendaEntry& e) { return e.fault == fault && e.what == what; });
}

unsigned trigger_index(const ScheduledFault& f) {
    return static_cast<unsigned>(f.described.trigger.kind);
}

/// Starts following what a trigger kind needs when its first watcher comes.
void begin_watching(FaultPlan* plan, TriggerKind kind) {
    PlanWatch& w = plan->watch;
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const TtpController* c = plan->cluster->controllers[n];
        if (kind == TriggerKind::STATE) {
            w.state[n] = get_protocol_state(c);
        } else if (kind == TriggerKind::MEMBERSHIP) {
            w.membership[n] = NO_VECTOR;
        }
    }
}

/// The controllers tell the plan of their events only while a fault watches for them.
void update_fault_watch(FaultPlan* plan) {
    uint32_t watching = 0;
    for (uint32_t count : plan->watch.watching) {
        watching += count;
    }
    for (TtpController* c : plan->cluster->controllers) {
        c->fault_watch = watching > 0 ? &plan->watcher : nullptr;
    }
}

/// Every change of a fault's phase goes through here, which keeps the counts of the watchers.
void set_phase(FaultPlan* plan, uint32_t index, FaultPhase phase) {
    ScheduledFault& f = plan->faults[index];
    uint32_t& watching = plan->watch.watching[trigger_index(f)];
    if (f.phase == FaultPhase::WATCHING && phase != FaultPhase::WATCHING) {
        watching -= 1;
        if (watching == 0) {
            update_fault_watch(plan);
        }
    } else if (f.phase != FaultPhase::WATCHING && phase == FaultPhase::WATCHING) {
        if (watching == 0) {
            begin_watching(plan, f.described.trigger.kind);
        }
        watching += 1;
        if (watching == 1) {
            update_fault_watch(plan);
        }
    }
    f.phase = phase;
}

/// An occurrence is due at `at`.
void make_due(FaultPlan* plan, uint32_t index, double at) {
    set_phase(plan, index, FaultPhase::DUE);
    put_on_agenda(plan, at, index, AgendaWhat::START);
}

// --- Memory ----------------------------------------------------------------------------------------------

uint32_t* target_words(FaultPlan* plan, unsigned node, uint32_t target) {
    TtpController* c = plan->cluster->controllers[node];
    return target == TARGET_REG ? controller_register_words(c) : cni_words(c->cni);
}

/// The word and bits of the present occurrence: named, or drawn as the injector draws.
bool choose_bits(FaultPlan* plan, ScheduledFault& f) {
    const FaultSpec& s = f.described;
    if (!s.random_field) {
        f.word = s.word;
        f.bits = chosen_bits(s, s.target, s.word, s.bit);
        return f.bits != 0;
    }
    uint32_t word = 0;
    uint32_t bit = 0;
    if (!draw_mask_bit(target_mask_counts(s.target), plan->rng, &word, &bit)) {
        return false;
    }
    f.word = word;
    f.bits = chosen_bits(s, s.target, word, bit, true);
    return f.bits != 0;
}

/// Changes every chosen bit of one node's word, one row per bit.
void change_bits(FaultPlan* plan, const ScheduledFault& f, unsigned node, uint8_t effect,
                 const char* detail) {
    uint32_t& word = target_words(plan, node, f.described.target)[f.word];
    for (uint32_t rest = f.bits; rest != 0; rest &= rest - 1) {
        const auto bit = static_cast<uint32_t>(std::countr_zero(rest));
        InjectionRecord row = make_row(plan, f, ROW_BIT, static_cast<int>(node), 0, detail);
        row.word = f.word;
        row.bit = bit;
        row.effect = effect;
        row.before = word;
        word = apply_fault_effect(word, 1u << bit, effect);
        note_message_write(); // the word may be one of a message
        row.after = word;
        report(plan, row);
    }
}

uint8_t effect_of(BitAction action) {
    return action == BitAction::SET ? FAULT_SET : action == BitAction::RESET ? FAULT_RESET : FAULT_FLIP;
}

void hold_bits(FaultPlan* plan, uint32_t index, const char* detail) {
    ScheduledFault& f = plan->faults[index];
    const uint8_t effect = f.described.stuck_value != 0 ? FAULT_SET : FAULT_RESET;
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if ((f.described.nodes & (1u << n)) != 0) {
            change_bits(plan, f, n, effect, detail);
            uint32_t* word = &target_words(plan, n, f.described.target)[f.word];
            plan->stuck.push_back({word, f.bits, f.described.stuck_value != 0 ? f.bits : 0u, index});
        }
    }
}

void release_bits(FaultPlan* plan, uint32_t index) {
    std::erase_if(plan->stuck, [index](const StuckWord& s) { return s.fault == index; });
}

// --- Occurrences -----------------------------------------------------------------------------------------

TtpController* controller(FaultPlan* plan, unsigned node) {
    return plan->cluster->controllers[node];
}

template <class Action>
void for_nodes(NodeSet nodes, Action action) {
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if ((nodes & (1u << n)) != 0) {
            action(n);
        }
    }
}

template <class Action>
void for_channels(uint8_t channels, Action action) {
    for (unsigned ch = 0; ch < CHANNEL_COUNT; ++ch) {
        if ((channels & (1u << ch)) != 0) {
            action(ch);
        }
    }
}

std::string channel_words(uint8_t channels) {
    return channels == CHANNEL_SET_BOTH ? "channels A and B"
           : channels == CHANNEL_SET_A  ? "channel A"
                                        : "channel B";
}

/// How long an occurrence lasts: its duration, else whether it lasts to the end of the run.
bool lasts(const FaultSpec& s) {
    return s.duration_us != UNTIL_END;
}

uint8_t frame_fault_of(const FaultSpec& s) {
    switch (s.kind) {
    case FaultKind::CORRUPT:
        return FRAME_FAULT_CORRUPT;
    case FaultKind::LOSE:
        return FRAME_FAULT_LOSE;
    case FaultKind::ASYMMETRIC:
        return s.asymmetric_lose ? FRAME_FAULT_LOSE : FRAME_FAULT_CORRUPT;
    case FaultKind::BLACKOUT:
        return FRAME_FAULT_NOISE;
    case FaultKind::BIT_ERRORS:
        return FRAME_FAULT_BIT_ERRORS;
    default:
        return FRAME_FAULT_NONE;
    }
}

double next_intermittent_event(FaultPlan* plan, const FaultSpec& s) {
    return sim_time() + random_exponential(plan->rng, s.rate_per_s * PER_SECOND);
}

/// The start of an occurrence; true when it goes on (an end or ticks are due), false when it is over.
bool start_occurrence(FaultPlan* plan, uint32_t index) {
    ScheduledFault& f = plan->faults[index];
    const FaultSpec& s = f.described;
    const double now = sim_time();
    const std::string what = describe_fault(s);
    switch (s.kind) {
    case FaultKind::MEMORY:
        if (choose_bits(plan, f)) {
            for_nodes(s.nodes, [&](unsigned n) { change_bits(plan, f, n, effect_of(s.action), ""); });
        }
        return false;
    case FaultKind::STUCK:
        if (!choose_bits(plan, f)) {
            return false;
        }
        hold_bits(plan, index, "stuck");
        return lasts(s);
    case FaultKind::INTERMITTENT:
        if (!choose_bits(plan, f)) {
            return false;
        }
        f.present = false;
        report_row(plan, f, ROW_START, -1, s.nodes, what);
        put_on_agenda(plan, next_intermittent_event(plan, s), index, AgendaWhat::TICK);
        return true;
    case FaultKind::CORRUPT:
    case FaultKind::LOSE:
    case FaultKind::BLACKOUT:
    case FaultKind::BIT_ERRORS: {
        ChannelDisturbance d;
        d.fault = frame_fault_of(s);
        d.frames_left = s.frames;
        d.bit_error_rate = s.bit_error_rate;
        d.rng = plan->rng;
        for_channels(s.channels,
                     [&](unsigned ch) { set_channel_disturbance(plan->cluster->channels[ch], d); });
        report_row(plan, f, ROW_START, -1, ALL_NODES,
                   what + (s.frames > 0 ? ", " + std::to_string(s.frames) + " frame(s)" : ""));
        return lasts(s) && s.frames == 0;
    }
    case FaultKind::ASYMMETRIC:
        for_nodes(s.receivers, [&](unsigned n) {
            for_channels(s.channels, [&](unsigned ch) {
                set_reception_fault(controller(plan, n), ch, frame_fault_of(s), s.frames);
            });
        });
        report_row(plan, f, ROW_START, -1, s.receivers,
                   what + (s.frames > 0 ? ", " + std::to_string(s.frames) + " frame(s)" : ""));
        return lasts(s) && s.frames == 0;
    case FaultKind::CRASH:
        report_row(plan, f, ROW_START, -1, s.nodes, what);
        for_nodes(s.nodes, [&](unsigned n) { crash_controller(controller(plan, n)); });
        return lasts(s);
    case FaultKind::HOST_CRASH:
        report_row(plan, f, ROW_START, -1, s.nodes, what);
        for_nodes(s.nodes, [&](unsigned n) { crash_host(plan->cluster->apps[n].os); });
        return lasts(s);
    case FaultKind::HOST_RESTART:
        report_row(plan, f, ROW_START, -1, s.nodes, what);
        for_nodes(s.nodes, [&](unsigned n) { restart_host(plan->cluster->apps[n].os); });
        return false;
    case FaultKind::BABBLING:
        report_row(plan, f, ROW_START, -1, s.nodes, what + " on " + channel_words(s.channels));
        for_nodes(s.nodes, [&](unsigned n) { babble(controller(plan, n), s.channels); });
        put_on_agenda(plan, now + s.interval_us, index, AgendaWhat::TICK);
        return true;
    case FaultKind::GUARDIAN_OPEN:
        report_row(plan, f, ROW_START, -1, s.nodes, what);
        for_nodes(s.nodes,
                  [&](unsigned n) { set_guardian_stuck_open(controller(plan, n)->bus_guardian, true); });
        return lasts(s);
    case FaultKind::SOS: {
        char text[48];
        std::snprintf(text, sizeof text, ", %+.3f us", s.offset_us);
        report_row(plan, f, ROW_START, -1, s.nodes, what + text);
        for_nodes(s.nodes, [&](unsigned n) { set_send_offset(controller(plan, n), s.offset_us); });
        return lasts(s);
    }
    case FaultKind::CLOCK:
        for_nodes(s.nodes, [&](unsigned n) {
            TtpController* c = controller(plan, n);
            char text[64];
            if (s.jump != 0) {
                std::snprintf(text, sizeof text, "jump of %d macroticks", static_cast<int>(s.jump));
                jump_local_time(c, s.jump);
            } else {
                std::snprintf(text, sizeof text, "drift %.6g -> %.6g", c->drift, c->drift + s.drift_step);
                change_drift(c, c->drift + s.drift_step);
            }
            report_row(plan, f, ROW_START, static_cast<int>(n), 0, text);
        });
        return false;
    }
    return false;
}

void end_occurrence(FaultPlan* plan, uint32_t index) {
    ScheduledFault& f = plan->faults[index];
    const FaultSpec& s = f.described;
    drop_entries(plan, index, AgendaWhat::TICK);
    switch (s.kind) {
    case FaultKind::STUCK:
    case FaultKind::INTERMITTENT:
        release_bits(plan, index);
        f.present = false;
        break;
    case FaultKind::CORRUPT:
    case FaultKind::LOSE:
    case FaultKind::BLACKOUT:
    case FaultKind::BIT_ERRORS:
        for_channels(s.channels,
                     [&](unsigned ch) { clear_channel_disturbance(plan->cluster->channels[ch]); });
        break;
    case FaultKind::ASYMMETRIC:
        for_nodes(s.receivers, [&](unsigned n) {
            for_channels(s.channels, [&](unsigned ch) {
                set_reception_fault(controller(plan, n), ch, FRAME_FAULT_NONE, 0);
            });
        });
        break;
    case FaultKind::CRASH:
        for_nodes(s.nodes, [&](unsigned n) { recover_controller(controller(plan, n)); });
        break;
    case FaultKind::HOST_CRASH:
        for_nodes(s.nodes, [&](unsigned n) { restart_host(plan->cluster->apps[n].os); });
        break;
    case FaultKind::GUARDIAN_OPEN:
        for_nodes(s.nodes,
                  [&](unsigned n) { set_guardian_stuck_open(controller(plan, n)->bus_guardian, false); });
        break;
    case FaultKind::SOS:
        for_nodes(s.nodes, [&](unsigned n) { set_send_offset(controller(plan, n), 0.0); });
        break;
    default:
        break;
    }
    report_row(plan, f, ROW_END, -1, s.kind == FaultKind::ASYMMETRIC ? s.receivers : s.nodes,
               describe_fault(s));
}

void tick(FaultPlan* plan, uint32_t index) {
    ScheduledFault& f = plan->faults[index];
    const FaultSpec& s = f.described;
    if (s.kind == FaultKind::BABBLING) {
        for_nodes(s.nodes, [&](unsigned n) { babble(controller(plan, n), s.channels); });
        put_on_agenda(plan, sim_time() + s.interval_us, index, AgendaWhat::TICK);
        return;
    }
    // Intermittent: a flip at each event, or the stuck bits coming and going.
    if (!s.intermittent_stuck) {
        for_nodes(s.nodes, [&](unsigned n) { change_bits(plan, f, n, FAULT_FLIP, "intermittent"); });
    } else if (!f.present) {
        hold_bits(plan, index, "intermittent: present");
        f.present = true;
    } else {
        release_bits(plan, index);
        f.present = false;
        report_row(plan, f, ROW_TICK, -1, s.nodes, "intermittent: absent");
    }
    put_on_agenda(plan, next_intermittent_event(plan, s), index, AgendaWhat::TICK);
}

/// After an occurrence has begun (and, when it goes on, once it has ended): the next one, or done.
void after_occurrence(FaultPlan* plan, uint32_t index, bool goes_on, double began) {
    ScheduledFault& f = plan->faults[index];
    const FaultTrigger& t = f.described.trigger;
    if (goes_on) {
        set_phase(plan, index, FaultPhase::ACTIVE);
        if (lasts(f.described)) {
            f.ends_at = began + f.described.duration_us;
            put_on_agenda(plan, f.ends_at, index, AgendaWhat::END);
        }
        return;
    }
    if (f.occurrences >= t.count) {
        set_phase(plan, index, FaultPhase::DONE);
    } else if (t.period_us > 0.0) {
        make_due(plan, index, began + t.period_us);
    } else {
        set_phase(plan, index, FaultPhase::WATCHING); // the next protocol event
    }
}

void run_entry(FaultPlan* plan, const AgendaEntry& e) {
    ScheduledFault& f = plan->faults[e.fault];
    switch (e.what) {
    case AgendaWhat::START: {
        f.occurrences += 1;
        plan->counts[static_cast<unsigned>(f.described.kind)] += 1;
        trace(plan, "Fault %u: %s.\n", f.number, describe_fault(f.described).c_str());
        const bool goes_on = start_occurrence(plan, e.fault);
        after_occurrence(plan, e.fault, goes_on, e.time);
        break;
    }
    case AgendaWhat::END: {
        trace(plan, "Fault %u ends.\n", f.number);
        end_occurrence(plan, e.fault);
        f.ends_at = UNTIL_END;
        const double began = e.time - f.described.duration_us;
        after_occurrence(plan, e.fault, false, began);
        break;
    }
    case AgendaWhat::TICK:
        tick(plan, e.fault);
        break;
    }
}

// --- Triggers on protocol events -------------------------------------------------------------------------

/// Makes every fault watching with trigger `kind` that `matches` due.
template <class Matches>
void fire_watching(FaultPlan* plan, TriggerKind kind, Matches matches) {
    for (uint32_t i = 0; i < plan->faults.size(); ++i) {
        ScheduledFault& f = plan->faults[i];
        if (f.phase == FaultPhase::WATCHING && f.described.trigger.kind == kind && matches(f)) {
            make_due(plan, i, sim_time() + f.described.trigger.delay_us);
        }
    }
}

bool watching(const FaultPlan* plan, TriggerKind kind) {
    return plan->watch.watching[static_cast<unsigned>(kind)] > 0;
}

void watch_state_written(void* context, const TtpController* c, uint32_t state) {
    FaultPlan* plan = plan_of(context);
    const int n = node_of(plan, c);
    if (n < 0 || !watching(plan, TriggerKind::STATE) || plan->watch.state[n] == state) {
        return;
    }
    plan->watch.state[n] = state;
    fire_watching(plan, TriggerKind::STATE, [&](const ScheduledFault& f) {
        return f.described.trigger.node == n && f.described.trigger.state == state;
    });
}

/// A slot start of the cluster: the first node's announcement counts, the others' follow within
/// SAME_SLOT_US.
void watch_cluster_slot(FaultPlan* plan, const TtpController* c) {
    PlanWatch& w = plan->watch;
    const double now = sim_time();
    if (w.last_slot_start >= 0.0 && now - w.last_slot_start <= SAME_SLOT_US) {
        return;
    }
    w.last_slot_start = now;
    const uint32_t position = get_medl_position(c->working_status.cstate);
    for (ScheduledFault& f : plan->faults) {
        if (f.phase == FaultPhase::WATCHING && f.described.trigger.kind == TriggerKind::SLOT &&
            position == 0) {
            f.cycles_seen += 1;
        }
    }
    fire_watching(plan, TriggerKind::SLOT, [&](const ScheduledFault& f) {
        return f.cycles_seen >= f.described.trigger.cycle && f.described.trigger.slot == position;
    });
}

void watch_slot_started(void* context, const TtpController* c, bool sending) {
    FaultPlan* plan = plan_of(context);
    if (watching(plan, TriggerKind::SLOT)) {
        watch_cluster_slot(plan, c);
    }
    if (!sending || !watching(plan, TriggerKind::OWN_FRAME)) {
        return;
    }
    const int n = node_of(plan, c);
    for (ScheduledFault& f : plan->faults) {
        if (f.phase == FaultPhase::WATCHING && f.described.trigger.kind == TriggerKind::OWN_FRAME &&
            f.described.trigger.node == n) {
            f.own_frames += 1;
        }
    }
    fire_watching(plan, TriggerKind::OWN_FRAME, [&](const ScheduledFault& f) {
        return f.described.trigger.node == n && f.own_frames >= f.described.trigger.frame;
    });
}

void watch_slot_judged(void* context, const TtpController* c) {
    FaultPlan* plan = plan_of(context);
    if (!watching(plan, TriggerKind::MEMBERSHIP)) {
        return;
    }
    const int n = node_of(plan, c);
    if (n < 0) {
        return;
    }
    const uint8_t vector = membership_vector(c->working_status);
    const uint8_t before = plan->watch.membership[n];
    plan->watch.membership[n] = vector;
    if (before == NO_VECTOR || before == vector) {
        return;
    }
    fire_watching(plan, TriggerKind::MEMBERSHIP, [&](const ScheduledFault& f) {
        return f.described.trigger.node < 0 || f.described.trigger.node == n;
    });
}

const ControllerObserver PLAN_WATCH_CALLBACKS{nullptr, watch_state_written, watch_slot_started,
                                              watch_slot_judged};

// --- The object ------------------------------------------------------------------------------------------

/// Run when the kernel disposes of the model: the controllers, which point at the watch, go with it (and
/// may be gone already); the cluster record outside the kernel forgets the plan.
void release_plan(SimObject* object) {
    auto* plan = static_cast<FaultPlan*>(object);
    plan->faults.clear();
    plan->agenda.clear();
    plan->stuck.clear();
    if (plan->rng != nullptr) {
        dispose_random(plan->rng);
        plan->rng = nullptr;
    }
    if (plan->cluster->fault_plan == plan) {
        plan->cluster->fault_plan = nullptr;
    }
}

/// The plan's model state: nothing once it has nothing left to do; otherwise its record (but its counts and
/// its listener) and what its vectors hold (each fault but its caption).
void plan_state(const SimObject* object, StateSink* sink) {
    const auto* plan = static_cast<const FaultPlan*>(object);
    if (!plan_busy(plan)) {
        return;
    }
    state_feed_object(sink, plan,
                      {state_gap(plan, &plan->counts), state_gap(plan, &plan->listener),
                       state_gap(plan, &plan->listener_context), state_gap(plan, &plan->faults),
                       state_gap(plan, &plan->agenda), state_gap(plan, &plan->stuck),
                       state_gap(plan, &plan->watcher)});
    for (const ScheduledFault& f : plan->faults) {
        state_feed_record(sink, &f, sizeof f, {state_gap(&f, &f.described.caption)});
    }
    state_feed(sink, plan->agenda.data(), plan->agenda.size() * sizeof(AgendaEntry));
    state_feed(sink, plan->stuck.data(), plan->stuck.size() * sizeof(StuckWord));
}

} // namespace

const char* fault_row_action_name(uint8_t action) {
    return action < FAULT_ROW_ACTION_COUNT ? ROW_ACTION_NAMES[action] : "?";
}

bool fault_row_action_by_name(std::string_view name, uint8_t* action) {
    for (uint8_t a = 0; a < FAULT_ROW_ACTION_COUNT; ++a) {
        if (name == ROW_ACTION_NAMES[a]) {
            *action = a;
            return true;
        }
    }
    return false;
}

FaultPlan* create_fault_plan(Cluster* cluster, uint32_t seed) {
    auto* plan = sim_new<FaultPlan>();
    inic_process(plan, fault_plan_body);
    plan->name = "Fault Plan";
    plan->cluster = cluster;
    plan->next_order = 0;
    const uint32_t mixed = seed ^ PLAN_SEED_MIX;
    plan->rng = inic_random(mixed != 0 ? mixed : PLAN_SEED_MIX);
    plan->listener = nullptr;
    plan->listener_context = nullptr;
    plan->destructor = release_plan;
    plan->feed_state = plan_state;
    plan->watcher = PLAN_WATCH_CALLBACKS;
    plan->watcher.context = plan;
    cluster->fault_plan = plan;
    trace(plan, "Fault plan ready.\n");
    return plan;
}

uint32_t add_fault(FaultPlan* plan, const FaultSpec& fault) {
    ScheduledFault f;
    f.described = fault;
    f.number = static_cast<uint32_t>(plan->faults.size() + 1);
    plan->faults.push_back(std::move(f));
    const auto index = static_cast<uint32_t>(plan->faults.size() - 1);
    report_row(plan, plan->faults.back(), ROW_ADDED, -1, 0, format_fault(fault));
    const FaultTrigger& t = fault.trigger;
    const double now = sim_time();
    switch (t.kind) {
    case TriggerKind::NOW:
        make_due(plan, index, now + t.delay_us);
        break;
    case TriggerKind::AT_TIME:
        make_due(plan, index, std::max(t.at_us, now) + t.delay_us);
        break;
    default:
        set_phase(plan, index, FaultPhase::WATCHING);
        break;
    }
    return plan->faults[index].number;
}

void hold_stuck_bits(FaultPlan* plan) {
    for (const StuckWord& s : plan->stuck) {
        const uint32_t held = (*s.word & ~s.mask) | s.value;
        if (held != *s.word) { // the model wrote the stuck bits since the last step
            *s.word = held;
            note_message_write(); // the word may be one of a message
        }
    }
}

bool plan_busy(const FaultPlan* plan) {
    for (const ScheduledFault& f : plan->faults) {
        if (f.phase != FaultPhase::DONE) {
            return true;
        }
    }
    return false;
}

uint32_t fault_count(const FaultPlan* plan, FaultKind kind) {
    const auto k = static_cast<unsigned>(kind);
    return plan != nullptr && k < FAULT_KIND_COUNT ? plan->counts[k] : 0;
}

void fault_plan_body(SimProcess* process) {
    auto* plan = static_cast<FaultPlan*>(process);
    const double now = sim_time();
    while (!plan->agenda.empty() && plan->agenda.front().time <= now) {
        const AgendaEntry e = plan->agenda.front();
        plan->agenda.erase(plan->agenda.begin());
        run_entry(plan, e);
    }
    if (plan->agenda.empty()) {
        passivate(PLAN_WAITING);
        return;
    }
    hold(plan->agenda.front().time - now, PLAN_HELD);
}
