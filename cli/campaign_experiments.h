// The experiments of a campaign, the golden run they are compared with, and the two engines that run them.
//
// An experiment is a plan: the faults it injects, each one bit of the campaign node's area of the target
// (word and bit) with the campaign's effect, at a point of the run: right after the last event at or before a
// time (sampled campaigns), or right before a given kernel step (the exhaustive scan's representatives). Its
// row depends on the configuration, the campaign's parameters and the plan alone, whatever the engine, --jobs
// and --shard.
//
// The golden run comes first, once per campaign: the run without faults, sampled like every experiment
// (campaign_observe.h), with the target's accesses recorded (host/fault_space.h: the last access of every bit
// and, for the exhaustive scan, every bit's intervals in the window). For the checkpoint engine's early stop
// it is run a second time once the plans are known, taking the digest of the model state
// (kernel/sim_state.h) at the samples their comparisons fall on, and watching each one-fault plan's bit
// from its injection point on: a fault that changes nothing (a set bit set) or whose bit is written before
// anything reads it vanishes, and the run goes on as the golden run (host/fault_space.h).
//
// Engines (--engine):
//   rerun       every experiment is built and run from time 0 to the horizon: the reference.
//   checkpoint  the default. The cluster is built once, before the golden run and before the workers start,
//               so every process of the campaign holds every model record at the same address. Each worker
//               runs the golden run itself and, at each of its experiments' injection points in time order,
//               forks a child: a copy-on-write copy of the golden run at that point, which injects, runs on,
//               writes its row and ends, while the worker waits and then takes the golden run on to the next
//               point. An experiment thus costs the run from its injection on, not from time 0. The pages
//               the forks only read (the controllers' lists) are shared, not copied (shared_pages.h).
// Early stop (checkpoint engine, unless switched off). An experiment whose fault vanishes needs no child:
// the worker writes its row (the golden run's: no effect) at the injection point. Otherwise, after its last
// injection a child compares its model state with the golden run's at sample times: at the first sample
// after the injection, at the next, then at the next multiple of 2, 4, 8 ... samples (gaps that double,
// aligned so that the comparisons of all experiments fall on few samples beyond the window, which are the
// only ones the golden run digests there). A digest costs about what ten slots of simulation cost, and most
// experiments are either back on the golden run within a slot or two, or never; measured on the README's
// campaign (1000 flips, one job, the same rows each time): a comparison at every sample took 3.9 s of CPU,
// at every fourth 1.9 s, at every sixteenth 1.45 s, with doubling gaps 1.3 s (starting with a gap of 2 or
// 4: 1.4 s). It stops when the state is
//   - equal: the experiment has converged and would repeat the golden run from there; the rest of its record
//     (samples, final state, laser counts) is the golden run's;
//   - equal but for the word it injected into, where it differs only in bits that the golden run never reads
//     or writes again before the horizon (counting a counter's own update as neither, host/fault_space.h):
//     the fault is latent; the rest of the record is the golden run's but for the final state, which differs
//     in that word (the experiment has not converged).
// Either way the row is the one the run to the horizon would give (the tests check it).
//
// Described faults (a campaign's --fault, any kind and node) go the same way through both engines: at its
// point the run's fault plan is made and the fault added to it (host/fault_plan.h), in the rerun engine's
// run from time 0 as in the checkpoint engine's copy of the golden run. Such a fault never vanishes and is
// never latent (those look at one bit of the campaign's node); its experiment stops early only once its state
// equals the golden run's, which it cannot while the plan still has something to do: every row the plan
// reports comes before the stop, so both engines count the same.
#pragma once

#include "cli/campaign.h"
#include "cli/campaign_fault.h"
#include "cli/campaign_observe.h"
#include "host/cluster_config.h"
#include "host/fault_space.h"
#include "kernel/sim_state.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// One fault of an experiment: a bit of the campaign node's area of the target, or a described fault (a
/// campaign's --fault, added to the run's fault plan), and where it is injected or added.
struct PlannedFault {
    double time_us = 0.0; // right after the last event at or before this time...
    uint64_t step = 0;    // ...or, when not 0, right before this kernel step (1-based)
    uint32_t word = 0;
    uint32_t bit = 0;
    bool described = false; // `fault` instead of word and bit
    FaultSpec fault;
};

struct ExperimentPlan {
    uint32_t id = 0;
    std::vector<PlannedFault> faults; // in the order of their injection points
};

/// The golden run: what every experiment is compared with.
struct GoldenRecord {
    RunRecord record;
    std::vector<StateDigest> digests;   // per sample: the model state's digest where an experiment compares
                                        // (zero elsewhere; empty without early stop or before the plans)
    std::vector<uint64_t> steps;        // per sample: the kernel steps run before it
    uint32_t area_words = 0;            // the target's words up to its last one with mask bits
    std::vector<uint64_t> last_use;     // per target word * 32 + bit: the step of its last read or write
    std::vector<uint32_t> carry_field;  // per target word * 32 + bit: the counter bits it is carried with
    std::vector<uint32_t> carry_words;  // the target words that hold counter bits, ascending
    std::vector<uint32_t> carry_values; // per sample: the values of carry_words (where digests are)
    std::vector<BitInterval> intervals; // every bit's intervals in the window (exhaustive scan only)
    std::vector<FrameDelivery> deliveries; // every frame delivered to the horizon (scan of the frames only)
};

/// Receives each finished row with its experiment number.
using RowSink = std::function<void(uint32_t experiment, const std::string& row)>;
/// Formats the row of a finished experiment.
using RowFormat = std::function<std::string(const ExperimentPlan& plan, const ExperimentResult& result)>;

/// Experiment k of a sampled campaign: its injection times (uniform in the window, from the campaign seed and
/// k alone) and their bits, drawn like the fault injector's own injections from a stream seeded from the
/// same.
ExperimentPlan sampled_plan(const CampaignOptions& options, uint32_t k);
/// Experiment k of a campaign with a fault of its own (campaign_fault.h): its moment drawn as sampled_plan
/// draws its first injection time, then its fault's open values, from the same stream. False with a reason
/// when the values drawn make no fault.
bool described_plan(const CampaignOptions& options, const std::vector<FaultTemplate>& faults, uint32_t k,
                    ExperimentPlan* plan, std::string* why);
/// How many bits of the target sampled_plan draws from: its mask bits (each about equally likely).
uint32_t sampled_fault_bits(uint32_t target);

/// Runs a campaign's experiments. start_experiments builds what the engine needs and runs the golden run
/// (with the window's intervals when `intervals`); run_planned_experiments runs the plans, each compared with
/// the golden run, in options.jobs worker processes (the rerun engine with one job runs in this process), and
/// hands each row to `emit` as it finishes; finish_experiments disposes of everything.
struct CampaignExperiments;
CampaignExperiments* start_experiments(ClusterConfig config, const CampaignOptions& options, bool intervals,
                                       std::string* why);
const GoldenRecord& golden_record(const CampaignExperiments* experiments);
/// False with a reason when a worker failed; the rows it finished have been handed on.
bool run_planned_experiments(CampaignExperiments* experiments, const std::vector<ExperimentPlan>& plans,
                             const RowFormat& format, const RowSink& emit, std::string* why);
void finish_experiments(CampaignExperiments* experiments);

/// One experiment, run to the horizon from time 0 (the rerun engine) and classed against the golden run.
/// False with a reason when the configuration cannot be read or a fault is not a bit a fault may hit.
bool run_single_experiment(const CampaignOptions& options, const ExperimentPlan& plan,
                           ExperimentResult* result, std::string* why);
