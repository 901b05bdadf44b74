#include "ttpc/fp1busg.h"

#include "kernel/sim_assert.h"
#include "kernel/trace.h"
#include "ttpc/sl1func.h"

#include <cstdio>

namespace {

constexpr const char* SOURCE = "ttpc\\fp1busg";

/// Resumption points of the guardian's process body.
enum GuardianResume : uint32_t {
    BG_ACT_ON_STATE = SIM_START, // started, or woken from a passive wait: act on bg_state
    BG_OFFSET_ELAPSED,           // Start Timer: slot_offset has passed
    BG_WINDOW_ELAPSED,           // Enable: the window has been open for slot_duration
    BG_ROUND_ELAPSED,            // Disable: remaining_round has passed
};

/// The gate closes in operation: a frame still on the wire is cut off (not while a fault holds it open).
void close_gate(BusGuardian* bg) {
    set_guardian_bus_access(bg, 0);
    if (bg->stuck_open == 0 && bg->gate_closed != nullptr && bg->controller != nullptr) {
        bg->gate_closed(bg->controller);
    }
}

/// Node Failure: the window closes, the trigger is dropped, and the controller hears of it.
void fail(BusGuardian* bg, uint32_t code) {
    set_guardian_failure_state(bg, get_guardian_state(bg));
    set_guardian_failure_code(bg, code);
    set_guardian_trigger(bg, 0);
    close_gate(bg);
    set_guardian_failed(bg, 1);
    set_guardian_state(bg, BG_NODE_FAILURE);
    bg->failure_count += 1;
    if (bg->report_failure != nullptr) {
        bg->report_failure(bg->controller);
    }
}

/// Holds for `interval` of the guardian's clock, tracing the time; false (and no wait) for 0.
bool hold_interval(BusGuardian* bg, uint32_t interval, uint32_t resume_at) {
    if (interval == 0) {
        return false;
    }
    const double duration = interval * (1.0 + bg->drift);
    trace(bg->process, "Holding: %0.4f\n", duration);
    hold(duration, resume_at);
    return true;
}

void open_window(BusGuardian* bg) {
    set_guardian_state(bg, BG_ENABLE);
    set_guardian_bus_access(bg, 1);
}

/// End of Enable. A trigger still raised means the controller overran its window: the failure is one of
/// Enable, and is recorded with that state.
void close_window(BusGuardian* bg) {
    close_gate(bg);
    if (get_guardian_trigger(bg) == 1) {
        fail(bg, BG_FAILURE_OUTSIDE_WINDOW);
        return;
    }
    set_guardian_state(bg, BG_DISABLE);
}

/// Runs the state machine from the present state until it reaches a wait point. Every cycle through the
/// states ends at a wait: Arm waits for a raised trigger, and a trigger still raised after the window
/// ends in Node Failure.
void act_on_state(BusGuardian* bg) {
    for (;;) {
        switch (get_guardian_state(bg)) {
        case BG_INITIALIZE:
            reset(bg);
            set_guardian_state(bg, BG_CONFIGURE);
            break;
        case BG_CONFIGURE:
            if (get_guardian_config_mode(bg) == 0) {
                set_guardian_state(bg, BG_ARM);
            }
            passivate(BG_ACT_ON_STATE);
            return;
        case BG_ARM:
            if (get_guardian_config_mode(bg) == 1) {
                set_guardian_state(bg, BG_CONFIGURE);
                break;
            }
            if (get_guardian_trigger(bg) == 1) {
                set_guardian_enabled_channels(bg, get_guardian_channel_select(bg));
                set_guardian_state(bg, BG_START_TIMER);
                break;
            }
            passivate(BG_ACT_ON_STATE);
            return;
        case BG_START_TIMER:
            if (hold_interval(bg, get_guardian_slot_offset(bg), BG_OFFSET_ELAPSED)) {
                return;
            }
            open_window(bg);
            break;
        case BG_ENABLE:
            trace(bg->process, "Bus access enabled.\n");
            if (hold_interval(bg, get_guardian_slot_duration(bg), BG_WINDOW_ELAPSED)) {
                return;
            }
            close_window(bg);
            break;
        case BG_DISABLE:
            trace(bg->process, "Bus access disabled.\n");
            if (hold_interval(bg, get_guardian_remaining_round(bg), BG_ROUND_ELAPSED)) {
                return;
            }
            set_guardian_state(bg, BG_ARM);
            break;
        case BG_NODE_FAILURE:
            trace(bg->process, "Node Failure.\n");
            passivate(BG_ACT_ON_STATE);
            return;
        default:
            sim_assert(false, "bg->bg_state <= BG_NODE_FAILURE", SOURCE);
            return;
        }
    }
}

/// The guardian's process. After a hold it goes on with the state it held in only if that is still the
/// state: a reset, a reconfiguration or a failure during the hold has moved it, and the new state rules.
void guardian_body(SimProcess* process) {
    auto* bg = static_cast<BusGuardian*>(process->user_data);
    const uint32_t bg_state = get_guardian_state(bg);
    switch (process->resume) {
    case BG_OFFSET_ELAPSED:
        if (bg_state == BG_START_TIMER) {
            open_window(bg);
        }
        break;
    case BG_WINDOW_ELAPSED:
        if (bg_state == BG_ENABLE) {
            close_window(bg);
        }
        break;
    case BG_ROUND_ELAPSED:
        if (bg_state == BG_DISABLE) {
            set_guardian_state(bg, BG_ARM);
        }
        break;
    default:
        break;
    }
    act_on_state(bg);
}

} // namespace

const char* bg_state_name(uint32_t state) {
    switch (state) {
    case BG_INITIALIZE:
        return "Initialize";
    case BG_CONFIGURE:
        return "Configure";
    case BG_ARM:
        return "Arm";
    case BG_START_TIMER:
        return "Start Timer";
    case BG_ENABLE:
        return "Enable";
    case BG_DISABLE:
        return "Disable";
    case BG_NODE_FAILURE:
        return "Node Failure";
    default:
        return "?";
    }
}

// --- Operations ------------------------------------------------------------------------------------------

void guardian_state(const BusGuardian& bg, StateSink* sink) {
    state_feed_record(sink, &bg, sizeof bg, {state_gap(&bg, &bg.failure_count)});
}

BusGuardian* create_bus_guardian(const char* name) {
    auto* bg = new BusGuardian{};
    std::snprintf(bg->name, sizeof bg->name, "%s", name != nullptr ? name : "");
    bg->process = create_owned_process<BusGuardian, guardian_state>(bg, guardian_body, bg->name);
    bg->drift = 0.0;
    reset(bg);
    return bg;
}

void reset(BusGuardian* bg) {
    set_guardian_state(bg, BG_INITIALIZE);
    set_guardian_failure_state(bg, 0);
    set_guardian_failure_code(bg, 0);
    set_guardian_slot_offset(bg, 0);
    set_guardian_slot_duration(bg, 0);
    set_guardian_remaining_round(bg, 0);
    set_guardian_trigger(bg, 0);
    set_guardian_channel_select(bg, 0);
    set_guardian_bus_access(bg, 0);
    set_guardian_failed(bg, 0);
    bg->config_mode = 1;
}

void configure(BusGuardian* bg, const BgParams& window) {
    reset(bg);
    set_config_mode(bg, 1);
    set_guardian_slot_offset(bg, get_bg_slot_offset(window));
    set_guardian_slot_duration(bg, get_bg_slot_duration(window));
    set_guardian_remaining_round(bg, get_bg_remaining_round(window));
    set_guardian_channel_select(bg, BG_BOTH_CHANNELS);
    set_config_mode(bg, 0);
}

void set_config_mode(BusGuardian* bg, uint32_t v) {
    const uint32_t mode = v & bit_mask(BG_FLAG_WIDTH);
    if (mode == get_guardian_config_mode(bg)) {
        return;
    }
    bg->config_mode = mode;
    if (mode == 0) {
        set_guardian_state(bg, BG_ARM);
    } else {
        set_guardian_bus_access(bg, 0);
    }
}

void trigger(BusGuardian* bg, uint32_t v) {
    const uint32_t raised = v & bit_mask(BG_FLAG_WIDTH);
    if (raised == get_guardian_trigger(bg)) {
        return;
    }
    set_guardian_trigger(bg, raised);
    if (raised == 0) {
        if (get_guardian_state(bg) != BG_ENABLE) {
            fail(bg, BG_FAILURE_OUTSIDE_WINDOW);
        }
        return;
    }
    if (get_guardian_channel_select(bg) == 0) {
        fail(bg, BG_FAILURE_NO_CHANNEL);
    } else if (get_guardian_state(bg) != BG_ARM) {
        fail(bg, BG_FAILURE_NOT_ARMED);
    }
    if (get_guardian_state(bg) == BG_ARM) {
        trace(bg->process, "Arm. Open scheduled at %10.4f.\n",
              sim_time() + get_guardian_slot_offset(bg) * (1.0 + bg->drift));
        // The controller's process runs, not the guardian's, and the guardian lives as long as the run.
        (void)schedule_after(bg->process, 0.0);
    }
}

bool may_send(const BusGuardian* bg, unsigned channel_number) {
    if (bg == nullptr || channel_number >= BG_CHANNELS_WIDTH) {
        return false;
    }
    if (bg->stuck_open != 0) {
        return true;
    }
    return get_guardian_bus_access(bg) == 1 &&
           ((get_guardian_enabled_channels(bg) >> channel_number) & 1u) != 0;
}

void set_guardian_stuck_open(BusGuardian* bg, bool open) {
    bg->stuck_open = open ? 1 : 0;
}

// --- Registers -------------------------------------------------------------------------------------------

uint32_t get_guardian_state(const BusGuardian* bg) {
    return bg->bg_state;
}
uint32_t get_guardian_slot_offset(const BusGuardian* bg) {
    return bg->slot_offset & bit_mask(BG_INTERVAL_WIDTH);
}
uint32_t get_guardian_slot_duration(const BusGuardian* bg) {
    return bg->slot_duration & bit_mask(BG_INTERVAL_WIDTH);
}
uint32_t get_guardian_remaining_round(const BusGuardian* bg) {
    return bg->remaining_round & bit_mask(BG_INTERVAL_WIDTH);
}
uint32_t get_guardian_trigger(const BusGuardian* bg) {
    return bg->trigger & bit_mask(BG_FLAG_WIDTH);
}
uint32_t get_guardian_config_mode(const BusGuardian* bg) {
    return bg->config_mode & bit_mask(BG_FLAG_WIDTH);
}
uint32_t get_guardian_channel_select(const BusGuardian* bg) {
    return bg->channel_select & bit_mask(BG_CHANNELS_WIDTH);
}
uint32_t get_guardian_enabled_channels(const BusGuardian* bg) {
    return bg->enabled_channels & bit_mask(BG_CHANNELS_WIDTH);
}
uint32_t get_guardian_failure_code(const BusGuardian* bg) {
    return bg->failure_code & bit_mask(BG_FAILURE_CODE_WIDTH);
}
uint32_t get_guardian_failure_state(const BusGuardian* bg) {
    return bg->failure_state & bit_mask(BG_FAILURE_STATE_WIDTH);
}
uint32_t get_guardian_bus_access(const BusGuardian* bg) {
    return bg->bus_access & bit_mask(BG_FLAG_WIDTH);
}
uint32_t get_guardian_failed(const BusGuardian* bg) {
    return bg->failed & bit_mask(BG_FLAG_WIDTH);
}

void set_guardian_state(BusGuardian* bg, uint32_t value) {
    sim_assert(value <= BG_NODE_FAILURE, "state <= BG_NODE_FAILURE", SOURCE);
    bg->bg_state = value;
}

void set_guardian_slot_offset(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_INTERVAL_WIDTH, SOURCE);
    bg->slot_offset = value;
}

void set_guardian_slot_duration(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_INTERVAL_WIDTH, SOURCE);
    bg->slot_duration = value;
}

void set_guardian_remaining_round(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_INTERVAL_WIDTH, SOURCE);
    bg->remaining_round = value;
}

void set_guardian_trigger(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_FLAG_WIDTH, SOURCE);
    bg->trigger = value;
}

void set_guardian_channel_select(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_CHANNELS_WIDTH, SOURCE);
    bg->channel_select = value;
}

void set_guardian_enabled_channels(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_CHANNELS_WIDTH, SOURCE);
    bg->enabled_channels = value;
}

void set_guardian_failure_code(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_FAILURE_CODE_WIDTH, SOURCE);
    bg->failure_code = value;
}

void set_guardian_failure_state(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_FAILURE_STATE_WIDTH, SOURCE);
    bg->failure_state = value;
}

void set_guardian_bus_access(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_FLAG_WIDTH, SOURCE);
    bg->bus_access = value;
}

void set_guardian_failed(BusGuardian* bg, uint32_t value) {
    check_width(value, BG_FLAG_WIDTH, SOURCE);
    bg->failed = value;
}
