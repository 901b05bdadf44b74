// The sine wave application and the laser: the replicated control application the cluster keeps alive.
//
// A motor turns once every 18000 us. The measurement nodes M1 and M2 sample its angle once per cluster
// cycle, estimate when it will reach a quarter turn, and broadcast that time to shoot. The output nodes O1
// and O2 broadcast a control value, vote on the received times, and plan the laser at M2's time to shoot;
// the laser samples the motor when it fires and scores a hit or a miss. One SineApp per node, each bound to
// its host and controller by the cluster assembly.
//
// Message plan: node n owns the messages 6n (channel A) and 6n + 3 (channel B); every value is a float in
// the first four data bytes. O1 and O2 read M1's pair as b and M2's pair as c.
//
// Times on the wire. A single-precision float holds every whole microsecond only below 2^24 us (16.8 s);
// from 2^31 us on its step is 256 us, wider than the laser's hit window of +-180 us, so absolute times to
// shoot sent as floats made a fault-free cluster miss after 36 minutes. The measurement therefore samples
// and sends times within an epoch of SHOT_TIME_EPOCH_US (a whole number of revolutions below 2^24 us, so a
// float keeps each to a microsecond), and the vote takes the occurrence of a received time that lies nearest
// to its own time (shot_time_after). In the first half epoch (8.1 s) every value is the absolute time, as
// before; a value that is no time of an epoch (negative, not finite, or an unreadable pair's marker) is
// taken as the absolute time it says.
//
// Task tables (offsets in the cluster cycle): evaluation 0, monitor 50, measurement 300 (not in mode 1),
// and two life sign tasks at 850 - 250n and 1850 - 250n.
#pragma once

#include "host/sa1os.h"

#include <cstdint>

struct Cluster;
struct LaserProcess;

constexpr double MOTOR_PERIOD = 18000.0; // us per revolution
/// Times to shoot travel as times within an epoch of this many microseconds (900 revolutions).
constexpr double SHOT_TIME_EPOCH_US = 900 * MOTOR_PERIOD;
static_assert(SHOT_TIME_EPOCH_US < 16777216.0, "every microsecond of an epoch must be a float (2^24)");
constexpr float QUARTER_TURN = 0.25f;
constexpr unsigned APP_MESSAGE_COUNT = 8;

struct SineApp {
    HostOs* os; // the node's host (a kernel object)
    Cluster* cluster;
    LaserProcess* laser;                         // O1 and O2 only
    uint32_t message_address[APP_MESSAGE_COUNT]; // own pair, then the other nodes' pairs in node order
    float* my_vote;                              // where this node's voted value goes
    float* other_vote;                           // the other group's voted value
    float last_angle;                            // angle of the previous sample (M1, M2)
    float last_sample_time;                      // time of the previous sample, within its epoch
    float received_c;    // the last c received by the vote, as the absolute time it names (O2's is shown as
                         // the time to shoot)
    uint32_t have_value; // an evaluation is due (set by the O nodes' measurement task)
    uint32_t null_frame;
    uint32_t crc_error;
    uint32_t data_error;
    uint32_t mismatches;
};

/// The motor angle as a fraction of a revolution in [0, 1): a pure function of the simulated time.
float motor_angle(const Cluster* cluster);
/// |x - y| <= 0.001.
bool near(float x, float y);
/// The simulated time `now` as the measurement samples and sends it: its time within the present epoch.
float time_in_epoch(double now);
/// The absolute time a received time within an epoch names: the occurrence of `value` (plus a whole number
/// of epochs, none before the first) that lies nearest to `now`. A negative or non-finite value is returned
/// as it is.
double shot_time_after(float value, double now);

void init_sine_app(SineApp* app, const char* host_name);
void setup_sine_app(SineApp* app, TtpController* controller);
void set_cluster(SineApp* app, Cluster* cluster);
void set_vote_slots(SineApp* app, float* mine, float* other);

void data_init(void* app);
void measurement_task(void* app);
void evaluation_task(void* app);
float vote(SineApp* app);
void monitor_task(void* app);
void mode_change_check(void* app);

/// The laser: a process planned by the votes; when it runs it fires (at most once per min_interval).
struct LaserProcess : SimProcess {
    double last_shot;
    double min_interval;
    Cluster* cluster;
    uint32_t hits;
    uint32_t misses;
};

/// Hit when the motor angle is within this of the quarter turn.
constexpr float LASER_HIT_TOLERANCE = 0.01f;

LaserProcess* create_laser(const char* name);
void init_laser(LaserProcess* laser, Cluster* cluster);
/// Plans the shot at the absolute time to shoot c (see the vote): nothing for a time that is not finite or
/// already past; a time within the present microsecond fires now.
void plan_laser(SineApp* app, double c);
