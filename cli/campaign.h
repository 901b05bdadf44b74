// Fault-injection campaigns: many experiments, each one (or a few) injections into an otherwise fault-free
// run at random moments of a time window, compared with the golden run of the same configuration.
//
// What the comparison looks at. Every 250 us (one slot) both runs are sampled: the protocol state and the
// membership vector of each node's controller, a hash of the frames the channels delivered since the last
// sample, and the laser's hits and misses. At the horizon the whole controller state (interfaces, working
// status, registers) is hashed as well. Outcome classes, in order of precedence:
//     not-healed           at the horizon some node is not back in APPLICATION with full membership
//     application-failure  the laser scored fewer hits or more misses than in the golden run
//     detected-healed      a node left membership or froze (or was otherwise out of APPLICATION), and all
//                          were back before the horizon
//     masked               frames, states or the final state differed, but no node lost membership
//     no-effect            nothing sampled differed and the final state equals the golden run's
// Time to detection: from the injection to the first sample with a node out of membership or APPLICATION;
// time to heal: from the injection to the first sample from which the cluster stays whole again.
//
// Experiments are numbered from 0; experiment k's moments and bits come from the campaign seed and k alone,
// so any subset (a shard, a resumed campaign, another number of jobs) gives the same rows.
//
// Outputs. The configuration is read and checked before any output is touched. The CSV names the campaign
// (its parameters and a hash of the configuration) and the shard; --resume takes only rows of the same
// campaign, and runs again a last row an interruption cut short. Rows are appended to the CSV as they
// finish; the CSV in experiment order and the chart replace earlier results by renaming a temporary file.
// The summary ends with the run's wall time per experiment, to size shards by. Shards of one campaign are
// merged by campaign_merge.h. Parts: campaign_csv.h, campaign_report.h, campaign_experiments.h.
#pragma once

#include "host/cluster_config.h"
#include "host/sa1fault.h"

#include <cstdint>
#include <string>
#include <vector>

/// How experiments are run (campaign_experiments.h): from a copy of the golden run at the injection point
/// (checkpoint, the default), or each from time 0 (rerun, the reference).
enum class Engine { CHECKPOINT, RERUN };

/// What an exhaustive scan enumerates (--space): every bit of the node's target at every moment of the
/// window (campaign_exhaustive.h), or every frame of the window struck on its channels at its receivers
/// (campaign_frames.h).
enum class FaultSpace { BITS, FRAMES };
constexpr unsigned FAULT_SPACE_COUNT = 2;
inline constexpr const char* FAULT_SPACE_NAMES[FAULT_SPACE_COUNT] = {"bits", "frames"};
constexpr unsigned ENGINE_COUNT = 2;
inline constexpr const char* ENGINE_NAMES[ENGINE_COUNT] = {"checkpoint", "rerun"};

struct CampaignOptions {
    std::string directory;
    ConfigOverrides overrides; // values given instead of the files'
    uint32_t runs = 100;
    unsigned jobs = 1;
    uint32_t seed = 1;
    uint32_t target = TARGET_CNI;
    uint8_t effect = FAULT_FLIP;
    unsigned node = NODE_O1; // whose memory the bits are (a --fault names its own nodes)
    uint32_t injections = 1; // per experiment
    double window_from_us = 100000.0;
    double window_to_us = 300000.0;
    double horizon_us = 1000000.0;
    std::string out = "campaign.csv";
    std::string svg; // chart of the classes per field ("" = out with .svg)
    bool resume = false;
    uint32_t shard_index = 0;
    uint32_t shard_count = 1;
    Engine engine = Engine::CHECKPOINT;
    bool early_stop = true; // the checkpoint engine stops an experiment once it has converged
    bool exhaustive =
        false; // every bit and interval of the window (campaign_exhaustive.h) instead of samples
    FaultSpace space = FaultSpace::BITS; // of an exhaustive scan
    double upset_rate = 0.0; // upsets per bit and hour the summary gives each class's rate for; 0: none
    std::string
        fault; // a fault of the campaign's own, with open values (campaign_fault.h); "": bits of `node`
};

/// Whether each row names its fault in the text form: a fault of the campaign's own, or a scan of the frames.
inline bool described_rows(const CampaignOptions& options) {
    return !options.fault.empty() || options.space == FaultSpace::FRAMES;
}

enum class Outcome { NO_EFFECT, MASKED, DETECTED_HEALED, APPLICATION_FAILURE, NOT_HEALED, COUNT };
const char* outcome_name(Outcome outcome);

struct ExperimentResult {
    uint32_t experiment = 0;
    std::vector<InjectionRecord> injections;
    Outcome outcome = Outcome::NO_EFFECT;
    bool converged = true;
    double detection_us = -1.0; // < 0: not applicable
    double heal_us = -1.0;
    // Containment, from the samples that differ from the golden run's (campaign_observe.h).
    uint8_t left = 0;           // nodes that left membership or APPLICATION (froze, ...), bit n for node n
    bool majority_lost = false; // at some sample fewer than a majority of nodes agreed in APPLICATION
    bool cliques = false;       // at some sample nodes in APPLICATION held different membership vectors
};

/// One CSV row of an experiment (without the line end), and the header.
extern const char* const CAMPAIGN_CSV_HEADER;
std::string campaign_csv_row(const ExperimentResult& result);

/// Runs a campaign; writes the CSV and the chart, prints the summary tables and the wall time to `report`.
/// Returns an exit status of cli/exit_status.h: EXIT_DONE, or another with a message on stderr (EXIT_USAGE
/// for a window that is not 0 <= from < to <= horizon, or a shard that is not 0 <= index < count).
int run_campaign(const CampaignOptions& options, std::FILE* report);
/// One experiment with a given fault (word and bit of the target, with the campaign's effect) right after
/// the last event at or before `time_us`, classified against the golden run. False with a reason when the
/// configuration cannot be built or the bit lies outside the target's mask.
bool experiment_with(const CampaignOptions& options, double time_us, uint32_t word, uint32_t bit,
                     ExperimentResult* result, std::string* why);
