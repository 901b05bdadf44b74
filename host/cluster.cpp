#include "host/cluster.h"

#include "kernel/trace.h"
#include "ttpc/sl1func.h"

const char* const STARTUP_ERROR_TEXT =
    "Probably one or more MEDL tables could not be read from file.\nPlese check if the directory with the "
    "excutable contains also four files 'medlxx.txt'\n\nThe application will be now terminated.";
const char* const STARTUP_ERROR_CAPTION = "Sine Wave Application initialization error";

namespace {

constexpr const char* CHANNEL_NAMES[CHANNEL_COUNT] = {"Channel A", "Channel B"};

} // namespace

// The monitor counters are adjacent, so each application leaves one gap.
static_assert(offsetof(SineApp, mismatches) == offsetof(SineApp, null_frame) + 3 * sizeof(uint32_t));

void cluster_state(const Cluster& cluster, StateSink* sink) {
    constexpr size_t counters = 4 * sizeof(uint32_t);
    static_assert(NODE_COUNT == 4, "one gap per application");
    const SineApp* a = cluster.apps;
    state_feed_record(sink, &cluster, sizeof cluster,
                      {{state_gap(&cluster, &a[0].null_frame).offset, counters},
                       {state_gap(&cluster, &a[1].null_frame).offset, counters},
                       {state_gap(&cluster, &a[2].null_frame).offset, counters},
                       {state_gap(&cluster, &a[3].null_frame).offset, counters},
                       state_gap(&cluster, &cluster.fault_plan)});
}

void assemble_cluster(Cluster* cluster, const ClusterConfig& config) {
    install_cni_hooks();
    cluster->laser = create_laser("Laser");
    init_laser(cluster->laser, cluster);
    cluster->fault_injector = create_fault_injector("Fault Injector");
    for (unsigned k = 0; k < CHANNEL_COUNT; ++k) {
        cluster->channels[k] = create_channel(CHANNEL_NAMES[k]);
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        cluster->controllers[n] = create_controller(CLUSTER_NODES[n].controller);
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        init_sine_app(&cluster->apps[n], CLUSTER_NODES[n].host);
    }
    cluster->apps[NODE_M1].laser = cluster->apps[NODE_M2].laser = nullptr;
    cluster->apps[NODE_O1].laser = cluster->apps[NODE_O2].laser = cluster->laser;
    for (unsigned k = 0; k < CHANNEL_COUNT; ++k) {
        set_number(cluster->channels[k], k);
        cluster->channels[k]->blocked_callback = raise_bus_guardian_error;
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        TtpController* c = cluster->controllers[n];
        attach_channel(c, CHANNEL_A, cluster->channels[CHANNEL_A]);
        attach_channel(c, CHANNEL_B, cluster->channels[CHANNEL_B]);
        set_drift(c, config.nodes[n].drift);
        c->medl = *config.nodes[n].medl;
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        setup_sine_app(&cluster->apps[n], cluster->controllers[n]);
        set_cluster(&cluster->apps[n], cluster);
        if (n == NODE_O2) {
            set_vote_slots(&cluster->apps[n], &cluster->vote_slot[0], &cluster->vote_slot[1]);
        } else {
            set_vote_slots(&cluster->apps[n], &cluster->vote_slot[1], &cluster->vote_slot[0]);
        }
    }
    set_fault_target(cluster, TARGET_CNI);
    for (SineApp& app : cluster->apps) {
        (void)schedule_after(app.os, 0.0);
    }
}
