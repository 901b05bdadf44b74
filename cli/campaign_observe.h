// What a campaign observes of a run, and how it classes an experiment against the golden run.
//
// Every run is sampled every SAMPLE_US (one slot), before the first event later than the sample time: the
// protocol state and the membership vector of each node's controller (its working status, the protocol's own
// view), a hash of the frames the channels delivered since the previous sample, and the laser's hits and
// misses. At the horizon the whole controller state (interfaces, working status, registers) is hashed. A run
// whose simulated time stopped advancing shows as frozen (state 0) for the samples it did not reach.
// classify turns an experiment's record and the golden run's into the outcome classes of campaign.h.
#pragma once

#include "cli/campaign.h"
#include "host/cluster_run.h"

#include <cstdint>
#include <vector>

/// One slot: the sampling period of every run.
constexpr double SAMPLE_US = 250.0;

/// What a run shows from outside at one sample time.
struct Sample {
    uint8_t state[NODE_COUNT];
    uint8_t membership[NODE_COUNT]; // positions 0-3 as bits
    uint64_t frames;                // hash of the frames delivered since the previous sample
    uint32_t hits;
    uint32_t misses;

    bool same_nodes(const Sample& other) const;
    bool same(const Sample& other) const;
};

/// One run to the horizon: its samples, the hash of the whole controller state at the end, its injections and
/// the laser's counts. A run that began as a copy of the golden run, or ended by taking the rest from it,
/// keeps only its own samples: the ones before first_sample, and after its own when golden_rest is set, are
/// the golden run's, equal to them by construction.
struct RunRecord {
    std::vector<Sample> samples; // its own samples, from sample first_sample on
    size_t first_sample = 0;
    bool golden_rest = false;
    uint64_t state_hash = 0;
    std::vector<InjectionRecord> injections;
    uint32_t hits = 0;
    uint32_t misses = 0;
};

/// One frame a channel delivered: when, on which channel, from which node to which.
struct FrameDelivery {
    double time_us;
    uint8_t channel;   // 0: A, 1: B
    int8_t sender;     // the sender's node (-1: none of the cluster's)
    NodeSet receivers; // the nodes registered to receive it
};

/// The observation of a run in progress: its record so far and the frames delivered since the last sample;
/// with `deliveries` set, every delivery is listed there as well (the golden run of a scan of the frames).
struct RunObserver {
    RunRecord record;
    uint64_t frames;
    std::vector<FrameDelivery>* deliveries = nullptr;
    const Cluster* cluster = nullptr;
};

/// Empties the observer and makes the cluster's channels report every delivered frame to it.
void observe_run(RunObserver* observer, Cluster& cluster);
/// The sample due now; restarts the frame hash.
Sample take_sample(const Cluster& cluster, RunObserver* observer);
/// At the end of a run to `horizon_us`: frozen samples for the sample times it did not reach, the hash of the
/// final controller state, the laser's counts.
void finish_record(ClusterRun& run, RunObserver* observer, double horizon_us);
/// Whether the golden run ends with the cluster whole (every node in APPLICATION, every node a member of
/// every node's membership), which every class is judged against; false with what is not.
bool golden_run_whole(const RunRecord& golden, std::string* why);
/// Classes an experiment's record against the golden run's, with its containment: the nodes that were out
/// (not in APPLICATION, or missing from the membership of a node in APPLICATION) where the golden run had
/// them in; whether, where the golden run had a majority, fewer than a majority of the nodes were in
/// APPLICATION with one membership vector; whether two groups of at least two nodes in APPLICATION held
/// different vectors (cliques) where the golden run's did not. The last two count when they last two
/// samples in a row.
ExperimentResult classify(uint32_t experiment, const RunRecord& golden, const RunRecord& run);
