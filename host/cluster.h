// The whole simulated cluster: the laser, the fault injector, two channels, four controllers with their
// clock drifts and message descriptor lists, four hosts with the sine wave application, wired together.
//
// The Cluster record owns nothing itself: every object it points to is a kernel object, disposed of by the
// kernel when it is initialised again (or by dispose_all). Nodes are indexed as in host/nodes.h: M1, M2,
// O1, O2. The record must not move once assembled: the applications and the laser point into it.
#pragma once

#include "host/cluster_config.h"
#include "host/nodes.h"
#include "host/sa1fault.h"
#include "host/sine_app.h"
#include "ttpc/fp1chan.h"
#include "ttpc/fp1ctrl.h"

#include <cstdint>
#include <string>

struct FaultPlan;

struct Cluster {
    LaserProcess* laser;
    SineApp apps[NODE_COUNT];
    TtpController* controllers[NODE_COUNT];
    TtpChannel* channels[CHANNEL_COUNT];
    FaultInjector* fault_injector;
    float vote_slot[2]; // 0: written by O2; 1: written by M1, M2 and O1
    uint32_t fault_target;
    unsigned fault_node = NODE_O1; // whose memory the injector's enabled area is (set_fault_node)
    FaultPlan* fault_plan;         // the run's described faults (host/fault_plan.h); null while it has none
};

/// The front ends' message when a configuration cannot be read (both failure codes of read_cluster_config).
extern const char* const STARTUP_ERROR_TEXT;
extern const char* const STARTUP_ERROR_CAPTION;

/// The cluster record's part of the model state (sim_state.h; the kernel's objects are the rest): the record
/// with the applications, but the applications' monitor counters (null_frame, crc_error, data_error,
/// mismatches), reports that nothing in the model reads, and the pointer to the fault plan, whose own state
/// is the plan object's.
void cluster_state(const Cluster& cluster, StateSink* sink);

/// Builds the cluster from a configuration that read_cluster_config accepted, in a freshly initialised
/// kernel, and plans the four hosts at the present time. Nothing in it can fail: every input was checked.
void assemble_cluster(Cluster* cluster, const ClusterConfig& config);
