#include "cli/campaign_observe.h"

#include "host/nodes.h"
#include "host/slot_events.h"
#include "kernel/fnv.h"

#include <algorithm>
#include <iterator>

namespace {

/// A delivered frame goes into the samples' frame hash; so does what a fault did to it on the channel or at
/// a receiver, so that a fault the other channel masks still shows (a frame whole everywhere adds nothing
/// more, and hashes as it always has).
void observe_frame(void* context, const TtpChannel* channel, const Frame& frame, uint8_t disturbance,
                   const uint8_t* reception_faults, unsigned receivers, const TtpController* sender,
                   TtpController* const* receiver_list) {
    auto* observer = static_cast<RunObserver*>(context);
    if (observer->deliveries != nullptr) {
        const auto node_of = [observer](const TtpController* c) {
            const auto& all = observer->cluster->controllers;
            const auto found = std::find(std::begin(all), std::end(all), c);
            return found == std::end(all) ? -1 : static_cast<int>(found - std::begin(all));
        };
        FrameDelivery d{sim_time(), static_cast<uint8_t>(get_channel_number(channel)),
                        static_cast<int8_t>(node_of(sender)), 0};
        for (unsigned i = 0; i < receivers; ++i) {
            const int node = node_of(receiver_list[i]);
            d.receivers |= node >= 0 ? static_cast<NodeSet>(1u << node) : 0;
        }
        observer->deliveries->push_back(d);
    }
    observer->frames = word_hash(observer->frames, &frame, sizeof frame);
    const bool struck = disturbance != FRAME_FAULT_NONE ||
                        std::any_of(reception_faults, reception_faults + receivers,
                                    [](uint8_t fault) { return fault != FRAME_FAULT_NONE; });
    if (struck) {
        observer->frames = word_hash(observer->frames, &disturbance, sizeof disturbance);
        observer->frames = word_hash(observer->frames, reception_faults, receivers);
    }
}

/// The word hash of the controllers' interfaces, working status and registers. A state that differs from
/// another in one word never hashes alike: each step is a bijection of the hash.
uint64_t controller_state_hash(const Cluster& cluster) {
    uint64_t hash = FNV_OFFSET;
    for (const TtpController* c : cluster.controllers) {
        hash = word_hash(hash, &c->cni, sizeof c->cni);
        hash = word_hash(hash, &c->working_status, sizeof c->working_status);
        hash = word_hash(hash, &c->frame_buffer[0], CONTROLLER_REGISTER_BYTES);
    }
    return hash;
}

} // namespace

bool Sample::same_nodes(const Sample& other) const {
    return std::equal(std::begin(state), std::end(state), std::begin(other.state)) &&
           std::equal(std::begin(membership), std::end(membership), std::begin(other.membership));
}

bool Sample::same(const Sample& other) const {
    return same_nodes(other) && frames == other.frames && hits == other.hits && misses == other.misses;
}

void observe_run(RunObserver* observer, Cluster& cluster) {
    observer->record = RunRecord{};
    observer->frames = FNV_OFFSET;
    observer->cluster = &cluster;
    for (TtpChannel* channel : cluster.channels) {
        channel->delivery_observer = observe_frame;
        channel->observer_context = observer;
    }
}

Sample take_sample(const Cluster& cluster, RunObserver* observer) {
    Sample s{};
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        // The protocol's own view (the working status), not the published copy in the interface, where a
        // flipped bit lives only until the next publication without the protocol ever acting on it.
        const CniStatus& status = cluster.controllers[n]->working_status;
        s.state[n] = static_cast<uint8_t>(get_protocol_state(status));
        s.membership[n] = membership_vector(status);
    }
    s.frames = observer->frames;
    observer->frames = FNV_OFFSET;
    s.hits = cluster.laser->hits;
    s.misses = cluster.laser->misses;
    return s;
}

void finish_record(ClusterRun& run, RunObserver* observer, double horizon_us) {
    // A run whose time stopped advancing (the driver ended it) shows as frozen for the samples left out, so
    // it is classed as not healed.
    for (; run.next_sample_us <= horizon_us; run.next_sample_us += SAMPLE_US) {
        Sample frozen = take_sample(run.cluster, observer);
        std::fill(std::begin(frozen.state), std::end(frozen.state), 0);
        observer->record.samples.push_back(frozen);
    }
    observer->record.state_hash = controller_state_hash(run.cluster);
    observer->record.hits = run.cluster.laser->hits;
    observer->record.misses = run.cluster.laser->misses;
}

bool golden_run_whole(const RunRecord& golden, std::string* why) {
    if (golden.samples.empty()) {
        *why = "the golden run took no sample: the horizon is shorter than one slot";
        return false;
    }
    const Sample& last = golden.samples.back();
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if (last.state[n] != PS_APPLICATION || last.membership[n] != ALL_NODES) {
            *why = std::string(
                       "the fault-free run of this configuration does not end with the cluster whole (") +
                   CLUSTER_NODES[n].name + " is in " + state_name(last.state[n]) + " with membership " +
                   membership_bits(last.membership[n]) +
                   " at the horizon), so no experiment can be judged against it; pelorin-sim --dir with the "
                   "same folder shows what the cluster does";
            return false;
        }
    }
    return true;
}

namespace {

/// A majority of the cluster's nodes.
constexpr unsigned MAJORITY = NODE_COUNT / 2 + 1;
/// The fewest nodes that make a clique: a lone node with a view of its own (a crashed controller's stale
/// one) is a node out, not a split of the cluster.
constexpr unsigned CLIQUE = 2;

/// What a sample shows of the cluster's unity.
struct Unity {
    uint8_t out = 0;       // nodes not in APPLICATION or missing from an APPLICATION node's membership
    unsigned agreeing = 0; // the most nodes in APPLICATION sharing one membership vector
    bool cliques = false;  // two groups of at least CLIQUE nodes in APPLICATION hold different vectors
};

Unity unity(const Sample& s) {
    Unity u;
    unsigned same[NODE_COUNT] = {}; // per node in APPLICATION: the nodes in APPLICATION with its vector
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if (s.state[n] != PS_APPLICATION) {
            u.out |= static_cast<uint8_t>(1u << n);
            continue;
        }
        u.out |= static_cast<uint8_t>(~s.membership[n] & ALL_NODES);
        for (unsigned m = 0; m < NODE_COUNT; ++m) {
            same[n] += s.state[m] == PS_APPLICATION && s.membership[m] == s.membership[n] ? 1 : 0;
        }
        u.agreeing = std::max(u.agreeing, same[n]);
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        for (unsigned m = 0; m < NODE_COUNT; ++m) {
            u.cliques =
                u.cliques || (same[n] >= CLIQUE && same[m] >= CLIQUE && s.membership[m] != s.membership[n]);
        }
    }
    return u;
}

} // namespace

ExperimentResult classify(uint32_t experiment, const RunRecord& golden, const RunRecord& run) {
    ExperimentResult result;
    result.experiment = experiment;
    result.injections = run.injections;
    const double injected_at = run.injections.empty() ? 0.0 : run.injections.front().time;
    // Only the run's own samples can differ from the golden run's; the others are the golden run's.
    const size_t own_end = run.first_sample + run.samples.size();
    const size_t run_count = run.golden_rest ? std::max(own_end, golden.samples.size()) : own_end;
    const size_t count = std::min(golden.samples.size(), run_count);
    bool any_difference = run.state_hash != golden.state_hash || golden.samples.size() != run_count;
    bool was_majority_lost = false; // at the previous sample
    bool were_cliques = false;
    long first_degraded = -1;
    long last_degraded = -1;
    for (size_t i = run.first_sample; i < std::min(own_end, count); ++i) {
        const Sample& g = golden.samples[i];
        const Sample& r = run.samples[i - run.first_sample];
        any_difference = any_difference || !r.same(g);
        if (!r.same_nodes(g)) {
            const Unity expected = unity(g);
            const Unity seen = unity(r);
            result.left |= static_cast<uint8_t>(seen.out & ~expected.out);
            // A lost majority or cliques count when they last two samples: the nodes take a slot's decision
            // at their own moments, and a sample may fall between them.
            const bool majority_lost = seen.agreeing < MAJORITY && expected.agreeing >= MAJORITY;
            const bool cliques = seen.cliques && !expected.cliques;
            result.majority_lost = result.majority_lost || (majority_lost && was_majority_lost);
            result.cliques = result.cliques || (cliques && were_cliques);
            was_majority_lost = majority_lost;
            were_cliques = cliques;
            last_degraded = static_cast<long>(i);
            if (first_degraded < 0) {
                first_degraded = static_cast<long>(i);
            }
        } else {
            was_majority_lost = false;
            were_cliques = false;
        }
    }
    result.converged = run.state_hash == golden.state_hash;
    const bool healed_at_end = count > 0 && last_degraded != static_cast<long>(count) - 1;
    const auto sample_time = [](long i) { return static_cast<double>(i + 1) * SAMPLE_US; };
    if (first_degraded >= 0) {
        result.detection_us = std::max(0.0, sample_time(first_degraded) - injected_at);
        if (healed_at_end) {
            result.heal_us = std::max(0.0, sample_time(last_degraded + 1) - injected_at);
        }
    }
    if (!healed_at_end) {
        result.outcome = Outcome::NOT_HEALED;
    } else if (run.hits < golden.hits || run.misses > golden.misses) {
        result.outcome = Outcome::APPLICATION_FAILURE;
    } else if (first_degraded >= 0) {
        result.outcome = Outcome::DETECTED_HEALED;
    } else if (any_difference) {
        result.outcome = Outcome::MASKED;
    } else {
        result.outcome = Outcome::NO_EFFECT;
    }
    return result;
}
