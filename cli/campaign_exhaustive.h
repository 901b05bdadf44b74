// The exhaustive scan (campaign --exhaustive): the whole fault space of a window [A, B] of the target, every
// mask bit of the campaign node's area (O1's unless --node names another) at every moment, pruned by what
// the golden run does with each bit (host/fault_space.h).
//
// Each bit's intervals between accesses cover the window. Per interval, with its weight (its microseconds
// inside [A, B]):
//   - closed by a write: every fault in it vanishes: no-effect, no experiment;
//   - with set or reset, when the bit already holds that value in the golden run: the fault changes nothing:
//     no-effect, no experiment;
//   - never closed before the horizon: the fault stays latent: masked (not converged), no experiment;
//   - closed by a read or a carry: one experiment, with the campaign's effect injected into the bit right
//     before the closing step (its representative), gives the class of the whole interval;
//   - of weight 0 (two accesses at one time): no fault falls in it; left out.
// The experiments are numbered in the order of their closing steps (then word and bit), so the numbering is a
// function of the configuration, the target, the window and the horizon; --shard and --resume work as for
// sampled campaigns. The fault space is (mask bits) x (B - A) bit-microseconds; the report gives each class's
// exact share of it, overall and per field, the number of experiments run, the fault space they stand for
// (the weights of their intervals) and the pruning factor (the fault space per experiment run). A row names
// its interval and weight; its time and step are the representative's, so its detection and heal times are
// measured from the closing step. The CSV's fault space line (campaign_csv.h) holds what needs no
// experiment, per field and class, so a merge of the scan's shards reports without the model.
#pragma once

#include "cli/campaign_experiments.h"

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

/// How an interval's faults end without an experiment, or that they need one.
enum class IntervalFate { EXPERIMENT, KILLED, UNCHANGED, LATENT };

struct ScanInterval {
    BitInterval interval;
    double weight_us;
    IntervalFate fate;
};

struct FaultSpaceScan {
    std::vector<ScanInterval> intervals; // every interval of weight above 0
    std::vector<size_t> experiments;     // experiment k's interval, in experiment order
    double total_space = 0.0;            // mask bits x window, bit-microseconds
};

/// The fault space of a target over a window: its mask bits times the window's microseconds.
double fault_space_size(uint32_t target, double window_from_us, double window_to_us);

/// The scan of the golden run's intervals for the campaign's window, target and effect.
FaultSpaceScan scan_fault_space(const GoldenRecord& golden, const CampaignOptions& options);
/// The plan of experiment k: its interval's representative.
ExperimentPlan exhaustive_plan(const FaultSpaceScan& scan, uint32_t k);
/// Experiment k's row: the sampled campaign's columns, then the interval and its weight.
std::string exhaustive_row(const FaultSpaceScan& scan, const ExperimentPlan& plan,
                           const ExperimentResult& result);
/// The CSV's fault space line: per field (in word order) and class, the bit-microseconds decided without an
/// experiment, as words "field/class=weight".
std::string fault_space_words(const FaultSpaceScan& scan, const CampaignOptions& options);
/// Prints the scan's report (classes' exact shares of the fault space, per field; experiments; pruning) from
/// the fault space line and the rows, and writes the chart of the shares per field. False with a reason
/// when the chart cannot be written.
bool write_exhaustive_report(const CampaignOptions& options, const std::string& fault_space,
                             const std::map<uint32_t, std::string>& rows, std::FILE* report,
                             std::string* why);
