// The campaign's CSV: two comment lines naming the campaign, the column header, then one row per experiment.
//
//     # pelorin-sim campaign: seed=5 runs=40 target=CNI effect=flip injections=1 window_us=100000:200000 ...
//     # shard: 1/4
//     experiment,time_us,step,target,controller,word,field,bit,effect,before,after,injections,class,...
//     1,164490.22751251291,15012,CNI,O1,193,controller_await,7,flip,0x00000000,0x00000080,1,masked,no,,
//
// The campaign line holds the parameters that decide the rows, as key=value words in this order: seed, runs,
// target, effect, node (only when it is not O1), injections, window_us (FROM:TO), horizon_us, and
// configuration (cluster_config_hash of the configuration read, drift overrides included, in 16 hex digits).
// Numbers are written in the shortest form that reads back exactly. Two files with the same campaign line
// hold rows of the same campaign: --resume and merge refuse rows of another. The shard line says which
// experiments the run that wrote the file was to hold (I, I+N, I+2N, ...); a whole campaign, and a merge, is
// shard 0/1. Lines that start with '#' are comments to pandas (read_csv(path, comment='#')) and hold no
// commas, so a spreadsheet shows each in one cell; a reader skips comment lines it does not know.
//
// Columns: experiment, then the first injection's columns of the injection log without its source (time_us,
// step, target, controller, word, field, bit, effect, before, after; empty when nothing was injected), then
// injections (how many), class (the outcome's name), converged (yes/no), detection_us and heal_us (%.1f,
// empty when not applicable). Cells hold no commas.
//
// An exhaustive scan (campaign_exhaustive.h) writes its own campaign line, without seed and injections and
// ending in scan=exhaustive:
//
//     # pelorin-sim campaign: runs=1292 target=CNI effect=flip window_us=200000:202000 ... scan=exhaustive
//     # shard: 0/1
//     # fault space: spare_word/no-effect=32000 ... timer2/masked=32000
//     experiment,time_us, ... ,heal_us,interval_from_us,interval_to_us,weight_us
//
// runs is the number of its experiments. The fault space line gives, per field and class, the bit-
// microseconds decided without an experiment (the same in every shard of the scan); the rows add three
// columns: the interval the experiment stands for and its weight in bit-microseconds, exactly (the shortest
// text that reads back as the number).
//
// A scan of the frames (--exhaustive --space frames, campaign_frames.h) writes a campaign line with runs,
// space=frames, the window, the horizon, the configuration and scan=exhaustive, and the rows of a campaign
// with a fault of its own (below), each with the fault it made.
//
// A campaign with a fault of its own (--fault, campaign_fault.h) ends its campaign line in fault= and the
// fault as given (the rest of the line, blanks included); its rows add the containment columns and the fault
// the experiment drew, in its text form (format_fault):
//
//     # pelorin-sim campaign: seed=5 ... configuration=... fault=crash node=any duration_us=1000..5000
//     experiment,time_us, ... ,heal_us,left,spread,majority_lost,cliques,fault
//     0,150000.5,13642,,O2,,,,,,,3,detected-healed,no,1250.0,4750.0,O2,no,no,no,crash node=O2 ...
//
// Of the injection columns, time_us and step say where the fault was added and controller names the nodes
// it strikes. left is the set of nodes that left membership or APPLICATION where the golden run had them in
// (empty: none); spread says whether it holds a node the fault does not strike (any node, for a channel's
// fault); majority_lost and cliques as classify (campaign_observe.h) finds them.
//
// While a campaign runs, rows are appended as experiments finish, in any order; the finished file lists
// them in experiment order. Every line ends with a line end: a last line without one is a row an
// interruption cut short, never a finished row.
#pragma once

#include "cli/campaign.h"
#include "host/fault_spec.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

constexpr unsigned CAMPAIGN_CSV_COLUMNS = 16;
constexpr unsigned CAMPAIGN_CSV_TIME_COLUMN = 1;
constexpr unsigned CAMPAIGN_CSV_FIELD_COLUMN = 6;
constexpr unsigned CAMPAIGN_CSV_BIT_COLUMN = 7;
constexpr unsigned CAMPAIGN_CSV_INJECTIONS_COLUMN = 11;
constexpr unsigned CAMPAIGN_CSV_CLASS_COLUMN = 12;
constexpr unsigned CAMPAIGN_CSV_CONVERGED_COLUMN = 13;
/// An exhaustive scan's rows: the sampled columns, then the interval and its weight.
extern const char* const EXHAUSTIVE_CSV_HEADER;
constexpr unsigned EXHAUSTIVE_CSV_COLUMNS = CAMPAIGN_CSV_COLUMNS + 3;
constexpr unsigned EXHAUSTIVE_CSV_FROM_COLUMN = CAMPAIGN_CSV_COLUMNS;
constexpr unsigned EXHAUSTIVE_CSV_TO_COLUMN = CAMPAIGN_CSV_COLUMNS + 1;
constexpr unsigned EXHAUSTIVE_CSV_WEIGHT_COLUMN = CAMPAIGN_CSV_COLUMNS + 2;

/// A campaign with a fault of its own (--fault): the sampled columns, the containment columns, then the fault
/// each row drew.
extern const char* const DESCRIBED_CSV_HEADER;
constexpr unsigned DESCRIBED_CSV_LEFT_COLUMN = CAMPAIGN_CSV_COLUMNS;
constexpr unsigned DESCRIBED_CSV_SPREAD_COLUMN = CAMPAIGN_CSV_COLUMNS + 1;
constexpr unsigned DESCRIBED_CSV_MAJORITY_COLUMN = CAMPAIGN_CSV_COLUMNS + 2;
constexpr unsigned DESCRIBED_CSV_CLIQUES_COLUMN = CAMPAIGN_CSV_COLUMNS + 3;
constexpr unsigned DESCRIBED_CSV_FAULT_COLUMN = CAMPAIGN_CSV_COLUMNS + 4;
constexpr unsigned DESCRIBED_CSV_COLUMNS = CAMPAIGN_CSV_COLUMNS + 5;

/// The outcome classes' names, indexed by Outcome: what the class column says.
constexpr unsigned OUTCOMES = static_cast<unsigned>(Outcome::COUNT);
inline constexpr const char* OUTCOME_NAMES[OUTCOMES] = {"no-effect", "masked", "detected-healed",
                                                        "application-failure", "not-healed"};
/// The class a class column names (exactly, as written); false when it names none.
bool outcome_by_name(const std::string& name, unsigned* outcome);

/// The row of an experiment with described faults: experiment, then the time and step at which the first
/// fault was added and the nodes the faults strike (the other injection columns are empty), the columns
/// after them as campaign_csv_row writes them, and the faults' text forms ("A; B" for several).
std::string described_csv_row(const std::vector<FaultSpec>& faults, const ExperimentResult& result);
/// The nodes the faults strike (none for faults of the channels).
NodeSet struck_nodes(const std::vector<FaultSpec>& faults);
/// Whether nodes beyond those the faults strike left (any node, for faults that strike only channels).
bool spread_beyond(const std::vector<FaultSpec>& faults, uint8_t left);
/// The fault of a campaign line that ends in fault=... ("" when it has none).
std::string campaign_fault_text(const std::string& parameters);

/// The comment lines above the column header.
struct CampaignCsvHead {
    std::string parameters;  // the campaign line's words ("" when the file has none)
    std::string fault_space; // an exhaustive scan's fault space line's words ("" for a sampled campaign)
    uint32_t shard_index = 0;
    uint32_t shard_count = 1;
};

/// A campaign CSV as read.
struct CampaignCsv {
    CampaignCsvHead head;
    std::map<uint32_t, std::string> rows; // experiment number -> row
    unsigned unfinished_line = 0;         // a last line cut short, left out of rows (0: none)
};

/// The campaign line's words for `options` run on the configuration whose hash is `configuration_hash`; for
/// an exhaustive scan, `options.runs` is its number of experiments.
std::string campaign_parameters(const CampaignOptions& options, uint64_t configuration_hash);

/// Reads back from the campaign line's words what a merge needs to report on the rows: the number of
/// experiments, the target and the effect, whether it is an exhaustive scan, the window and the injections
/// per experiment (0 when the line does not give both). False with a reason when a word is missing or
/// unreadable (the window of an exhaustive scan included).
bool parse_campaign_parameters(const std::string& parameters, CampaignOptions* options, std::string* why);
/// The node whose memory a campaign of bits changes: the campaign line's node=, O1 when it has none (every
/// campaign before others could be chosen); false when it names no node.
bool campaign_node(const std::string& parameters, unsigned* node);
/// The injection window the campaign line's window_us=FROM:TO names; false when it names none (a line of an
/// older campaign may not).
bool campaign_window(const std::string& parameters, double* from_us, double* to_us);

/// An exhaustive scan's row: `row` (campaign_csv_row) with the interval [from_us, to_us) and its weight.
std::string exhaustive_csv_row(const std::string& row, double from_us, double to_us, double weight);
/// A number of the fault space line or a weight column, read back exactly; false when `text` is none.
bool read_exact_number(const std::string& text, double* value);
/// The shortest fixed-point text that reads back as exactly `value`.
std::string exact_number(double value);

/// How the campaign line `found` differs from `expected`: the first word that differs in each ("(none)" for
/// a word one of them lacks); two empty texts when they are the same.
std::pair<std::string, std::string> parameters_difference(const std::string& found,
                                                          const std::string& expected);

/// The whole file: the head, the column header and the rows in experiment order.
std::string campaign_csv_text(const CampaignCsvHead& head, const std::map<uint32_t, std::string>& rows);

/// The columns of a row under `head`: CAMPAIGN_CSV_COLUMNS, EXHAUSTIVE_CSV_COLUMNS for an exhaustive scan or
/// DESCRIBED_CSV_COLUMNS for a campaign with a fault of its own.
size_t campaign_csv_columns(const CampaignCsvHead& head);

/// The cells of a row.
std::vector<std::string> campaign_csv_cells(const std::string& row);

/// Reads the campaign CSV at `path`. An empty file has no head and no rows. False with the file and line
/// when a line belongs to no campaign CSV: a line before the header that is not a comment, a missing header,
/// a row without the columns, with an experiment number outside the campaign's or an unknown class, or an
/// experiment a second time. An unfinished last line is not an error: it is left out and its line noted.
bool read_campaign_csv(const std::string& path, CampaignCsv* csv, std::string* why);
/// The same for the text of a file, named `path` in messages.
bool parse_campaign_csv(const std::string& text, const std::string& path, CampaignCsv* csv, std::string* why);
/// A campaign CSV is refused beyond this size: several million rows, more than a campaign writes.
constexpr size_t CAMPAIGN_CSV_MAX_BYTES = size_t{1} << 30;

/// Writes `content` to `path` through "<path>.tmp" in the same directory, renamed over the old file: a reader
/// sees the old or the new content, and a failed write leaves the old one. False with a reason when it
/// cannot. Every campaign output that replaces earlier results (the CSV, the chart) is written so.
bool write_file_atomically(const std::string& path, const std::string& content, std::string* why);
