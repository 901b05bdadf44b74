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

/// Receives each finished row with its experiment number.
using RowSink = std::function<void(uint32_t experiment, const std::string& row)>;

/// Runs the golden run, then the experiments `ids`, each compared with it: in this process with
/// options.jobs 1, else in options.jobs worker processes (each runs every jobs-th of them and hands its rows
/// back through a pipe). False with a reason when a worker failed; the rows it finished have been handed on.
bool run_experiments(const ClusterConfig& config, const CampaignOptions& options,
                     const std::vector<uint32_t>& ids, const RowSink& emit, std::string* why);
