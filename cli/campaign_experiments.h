// The experiments of a campaign: the golden run, the runs with injected faults, their classification
// against the golden run, and the worker processes that run experiments in parallel. Each run goes through
// the shared driver (host/cluster_run.h) from one configuration read once per campaign.
#pragma once

#include "cli/campaign.h"
#include "host/cluster_config.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// One slot: the sampling period of both runs.
constexpr double CAMPAIGN_SAMPLE_US = 250.0;

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

/// One run to the horizon: its samples, the hash of the whole controller state at the end, its injections
/// and the laser's counts.
struct RunRecord {
    std::vector<Sample> samples;
    uint64_t state_hash = 0;
    std::vector<InjectionRecord> injections;
    uint32_t hits = 0;
    uint32_t misses = 0;
};

/// The run without faults that every experiment is compared with.
void golden_run(const ClusterConfig& config, const CampaignOptions& options, RunRecord* record);

/// Compares a run with the golden run (classes in campaign.h).
ExperimentResult classify(uint32_t experiment, const RunRecord& golden, const RunRecord& run);

/// Receives each finished row with its experiment number.
using RowSink = std::function<void(uint32_t experiment, const std::string& row)>;

/// Runs the experiments `ids`: in this process with options.jobs 1, else in options.jobs worker processes
/// (each runs every jobs-th of them and hands its rows back through a pipe). False with a reason when a
/// worker failed; the rows it finished have been handed on.
bool run_experiments(const ClusterConfig& config, const CampaignOptions& options, const RunRecord& golden,
                     const std::vector<uint32_t>& ids, const RowSink& emit, std::string* why);
