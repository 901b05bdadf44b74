#include "host/sine_app.h"

#include "host/nodes.h"
#include "kernel/trace.h"
#include "ttpc/sl1func.h"

#include <cmath>
#include <cstring>

namespace {

constexpr float NEAR_TOLERANCE = 0.001f;
constexpr uint32_t MESSAGES_PER_NODE = 6; // node n's messages are 6n and 6n + 3
constexpr uint32_t CHANNEL_B_OFFSET = 3;
constexpr unsigned NODES = 4;
constexpr uint32_t O2_INDEX = 3;
constexpr float NODE_MARKER_STEP = 546.0f; // initial content of a node's own messages: 546 n
constexpr float MARKER_B = 2730.0f;        // in place of an unreadable b
constexpr float MARKER_C = 1365.0f;        // in place of an unreadable c
constexpr float MARKER_OTHER = 273.0f;
constexpr float CONTROL_VALUE = 0.2f; // what O1 and O2 send
constexpr uint32_t O1_MESSAGE_A = 12;
constexpr uint32_t O1_MESSAGE_B = 15;
constexpr uint32_t LIFESIGN_FIRST = 850;
constexpr uint32_t LIFESIGN_SECOND = 1850;
constexpr uint32_t LIFESIGN_STEP = 250;
constexpr uint32_t EVALUATION_START = 0;
constexpr uint32_t MONITOR_START = 50;
constexpr uint32_t MEASUREMENT_START = 300;
constexpr uint32_t STARTUP_MODE = 1;
constexpr uint32_t APPLICATION_MODE = 2;
constexpr uint32_t MIN_MEMBERS_FOR_APP = 3;
constexpr uint32_t REQUEST_APP_MODE = 1; // deferred mode change request 1
constexpr double MIN_SHOT_INTERVAL = 5e-05;
/// Times to shoot beyond this are not planned (they could not be held as whole microseconds).
constexpr double LATEST_PLAN = 9.0e15;

SineApp* as_app(void* app) {
    return static_cast<SineApp*>(app);
}

bool runs_on(const SineApp* app, unsigned node) {
    return std::strcmp(app->os->host_name, CLUSTER_NODES[node].host) == 0;
}

bool is_output_node(const SineApp* app) {
    return runs_on(app, NODE_O1) || runs_on(app, NODE_O2);
}

bool is_measurement_node(const SineApp* app) {
    return runs_on(app, NODE_M1) || runs_on(app, NODE_M2);
}

void write_own_messages(SineApp* app, float value) {
    write_message_float(app->os, app->message_address[0], 0, value);
    write_message_float(app->os, app->message_address[1], 0, value);
}

void validate_own_messages(SineApp* app) {
    validate_message(app->os, app->message_address[0]);
    validate_message(app->os, app->message_address[1]);
}

/// The float of a message pair (A copy first), or `marker` when neither copy is valid; `read` tells which.
float read_pair(SineApp* app, const uint32_t* pair, float marker, bool* read = nullptr) {
    uint8_t bytes[sizeof(float)];
    const bool valid = read_message_pair(app->os, pair, 0, bytes) == 0;
    if (read != nullptr) {
        *read = valid;
    }
    if (!valid) {
        return marker;
    }
    float value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

/// The span from the sample at `earlier` to the one at `later`, both times within their epochs: a later
/// time below the earlier one lies in the next epoch.
float span_between_samples(float earlier, float later) {
    if (later >= earlier) {
        return later - earlier;
    }
    return static_cast<float>(static_cast<double>(later) - static_cast<double>(earlier) + SHOT_TIME_EPOCH_US);
}

void laser_body(SimProcess* process) {
    auto* laser = static_cast<LaserProcess*>(process);
    const double now = sim_time();
    if (now - laser->last_shot >= laser->min_interval) {
        laser->last_shot = now;
        trace(laser, "Strilim %s!!\n", laser->name);
        const float u = motor_angle(laser->cluster);
        if (std::fabs(u - QUARTER_TURN) < LASER_HIT_TOLERANCE) {
            trace(laser, "Zasah %f!!%f\n", u, QUARTER_TURN);
            laser->hits += 1;
        } else {
            trace(laser, "Vedle %f!!%f\n", u, QUARTER_TURN);
            laser->misses += 1;
        }
    }
    passivate(SIM_START + 1);
}

} // namespace

float motor_angle(const Cluster*) {
    const double now = std::trunc(sim_time());
    return static_cast<float>(std::fmod(now, MOTOR_PERIOD) * (1.0 / MOTOR_PERIOD));
}

bool near(float x, float y) {
    return std::fabs(static_cast<double>(x) - static_cast<double>(y)) <= NEAR_TOLERANCE;
}

float time_in_epoch(double now) {
    return static_cast<float>(std::fmod(now, SHOT_TIME_EPOCH_US));
}

double shot_time_after(float value, double now) {
    const double v = value;
    if (!std::isfinite(v) || v < 0.0) {
        return v;
    }
    const double epochs = std::floor((now - v) / SHOT_TIME_EPOCH_US + 0.5);
    return epochs > 0.0 ? v + epochs * SHOT_TIME_EPOCH_US : v;
}

// --- Set-up ----------------------------------------------------------------------------------------------

void init_sine_app(SineApp* app, const char* host_name) {
    app->os = create_host_os(host_name);
    app->cluster = nullptr;
    app->my_vote = nullptr;
    app->other_vote = nullptr;
    app->have_value = 0;
    app->null_frame = app->crc_error = app->data_error = app->mismatches = 0;
}

void setup_sine_app(SineApp* app, TtpController* controller) {
    attach_controller(app->os, controller);
    const uint32_t n = node_index(app->os);
    set_init_task(app->os, data_init, app);
    add_lifesign_task(app->os, LIFESIGN_FIRST - LIFESIGN_STEP * n);
    add_lifesign_task(app->os, LIFESIGN_SECOND - LIFESIGN_STEP * n);
    (void)add_task(app->os, "measurement", MEASUREMENT_START, MODES_NOT_STARTUP, measurement_task, app);
    (void)add_task(app->os, "evaluation", EVALUATION_START, MODES_NOT_STARTUP, evaluation_task, app);
    (void)add_task(app->os, "monitor", MONITOR_START, MODES_ALL, monitor_task, app);
    if (n == O2_INDEX) {
        set_mc_handler(app->os, mode_change_check, app);
    }
    app->message_address[0] = MESSAGES_PER_NODE * n;
    app->message_address[1] = MESSAGES_PER_NODE * n + CHANNEL_B_OFFSET;
    unsigned k = 2;
    for (uint32_t other = 0; other < NODES; ++other) {
        if (other != n) {
            app->message_address[k++] = MESSAGES_PER_NODE * other;
            app->message_address[k++] = MESSAGES_PER_NODE * other + CHANNEL_B_OFFSET;
        }
    }
}

void set_cluster(SineApp* app, Cluster* cluster) {
    app->cluster = cluster;
}

void set_vote_slots(SineApp* app, float* mine, float* other) {
    app->my_vote = mine;
    app->other_vote = other;
}

// --- Tasks -----------------------------------------------------------------------------------------------

void data_init(void* argument) {
    SineApp* app = as_app(argument);
    app->last_sample_time = 0.0f;
    trace(app->os, "Data initialization.\n");
    validate_own_messages(app);
    write_own_messages(app, NODE_MARKER_STEP * static_cast<float>(node_index(app->os)));
    const float markers[] = {MARKER_B, MARKER_C, MARKER_OTHER};
    for (unsigned pair = 0; pair < 3; ++pair) {
        write_message_float(app->os, app->message_address[2 + 2 * pair], 0, markers[pair]);
        write_message_float(app->os, app->message_address[3 + 2 * pair], 0, markers[pair]);
    }
    if (node_index(app->os) == O2_INDEX) {
        trace(app->os, "Enabling MC interrupt.\n");
        set_interrupt_enable(*app->os->cni, IRQ_MC, 1);
    }
}

void measurement_task(void* argument) {
    SineApp* app = as_app(argument);
    trace(app->os, "Vysilani _%s_\n", app->os->host_name);
    if (cluster_mode_of(app->os) == STARTUP_MODE) {
        trace(app->os, "In Startup mode, skipping measurement.\n");
        return;
    }
    if (is_output_node(app)) {
        write_own_messages(app, CONTROL_VALUE);
        validate_own_messages(app);
        app->have_value = 1;
        trace(app->os, "Ovladani vysilam - vysilam 2\n");
    }
    if (!is_measurement_node(app)) {
        return;
    }
    const float u = motor_angle(app->cluster);
    const float su = app->last_angle;
    const float c = time_in_epoch(sim_time());
    const float sc = app->last_sample_time;
    const float da = u <= QUARTER_TURN ? QUARTER_TURN - u : QUARTER_TURN - u + 1.0f;
    const float du = u >= su ? u - su : u - su + 1.0f;
    const float t = span_between_samples(sc, c) / du * da + c;
    trace(app->os, "u = [%0.6f] su = [%0.6f] c = [%0.6f] sc = [%0.6f]\n", u, su, c, sc);
    trace(app->os, "Vysilam time pro vystrel: %0.6f\n", t);
    app->have_value = 0;
    app->last_angle = u;
    app->last_sample_time = c;
    write_own_messages(app, t);
    validate_own_messages(app);
}

void evaluation_task(void* argument) {
    SineApp* app = as_app(argument);
    if (cluster_mode_of(app->os) == STARTUP_MODE) {
        trace(app->os, "In Startup mode, skipping evaluation.\n");
        return;
    }
    if (app->have_value == 0) {
        trace(app->os, "No meassured value, skipping evaluation!\n");
        return;
    }
    trace(app->os, "Data evaluation.\n");
    app->have_value = 0;
    const float v = vote(app);
    if (app->my_vote != nullptr) {
        *app->my_vote = v;
    }
    trace(app->os, "Voted value of sine: %0.6f\n", v);
}

float vote(SineApp* app) {
    trace(app->os, "Voting mechanism.\n");
    const float a = app->last_angle;
    const float b = read_pair(app, &app->message_address[2], MARKER_B);
    trace(app->os, "Prijimam b=%f\n", b);
    bool c_read = false;
    const float c = read_pair(app, &app->message_address[4], MARKER_C, &c_read);
    trace(app->os, "Prijimam c=%f\n", c);
    const double shot = c_read ? shot_time_after(c, sim_time()) : static_cast<double>(c);
    app->received_c = static_cast<float>(shot);
    plan_laser(app, shot);
    if (near(a, b) || near(a, c)) {
        return a;
    }
    return near(b, c) ? b : a;
}

void plan_laser(SineApp* app, double c) {
    const double now = sim_time();
    if (!std::isfinite(c) || !(now < c) || c > LATEST_PLAN || app->laser == nullptr) {
        return; // nothing to aim at, or the time is past
    }
    const auto k = static_cast<long long>(std::trunc(c));
    trace(app->os, "Aktivuji laser v = %lld\n", k);
    // The shot is due at the whole microsecond k; when that lies a fraction before now, it is due now.
    (void)schedule_at(app->laser, static_cast<double>(k) < now ? now : static_cast<double>(k));
}

void monitor_task(void* argument) {
    SineApp* app = as_app(argument);
    const float o = app->other_vote != nullptr ? *app->other_vote : 0.0f;
    trace(app->os, "Monitoring.\n");
    const uint32_t sa = message_status_of(app->os, O1_MESSAGE_A);
    const uint32_t sb = message_status_of(app->os, O1_MESSAGE_B);
    uint8_t bytes[sizeof(float)];
    float va = 0.0f;
    float vb = 0.0f;
    const bool have_a = read_message(app->os, O1_MESSAGE_A, 0, bytes, sizeof bytes) == 0;
    if (have_a) {
        std::memcpy(&va, bytes, sizeof va);
    }
    const bool have_b = read_message(app->os, O1_MESSAGE_B, 0, bytes, sizeof bytes) == 0;
    if (have_b) {
        std::memcpy(&vb, bytes, sizeof vb);
    }
    const float mine = app->my_vote != nullptr ? *app->my_vote : 0.0f;
    if (!near(mine, o)) {
        app->mismatches += 1;
    }
    if (sa == 0 && sb == 0) {
        app->null_frame += 1;
    } else if (sa == VERDICT_INCORRECT && sb == VERDICT_INCORRECT) {
        app->crc_error += 1;
    } else if (!(have_a && near(va, o)) && !(have_b && near(vb, o))) {
        app->data_error += 1;
    }
    trace(app->os, "Counters: null_frame = %u, crc_error = %u, data_error = %u, mismatches = %u\n",
          app->null_frame, app->crc_error, app->data_error, app->mismatches);
}

void mode_change_check(void* argument) {
    SineApp* app = as_app(argument);
    if (member_count(app->os) < MIN_MEMBERS_FOR_APP || cluster_mode_of(app->os) == APPLICATION_MODE ||
        get_dmc(app->os->cni->status.cstate) != 0) {
        return;
    }
    trace(app->os, "Mode change: STARTUP -> APP.\n");
    request_mode_change(app->os, REQUEST_APP_MODE, 0);
}

// --- Laser -----------------------------------------------------------------------------------------------

LaserProcess* create_laser(const char* name) {
    auto* laser = sim_new<LaserProcess>();
    inic_process(laser, laser_body);
    laser->name = name;
    trace(laser, "Startuji laser!!\n");
    return laser;
}

void init_laser(LaserProcess* laser, Cluster* cluster) {
    laser->last_shot = 0.0;
    laser->min_interval = MIN_SHOT_INTERVAL;
    laser->cluster = cluster;
    laser->hits = 0;
    laser->misses = 0;
}
