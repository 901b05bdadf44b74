// The configuration of a cluster: the four message descriptor lists, the four clock drifts and where each
// value came from, read and checked in one place before anything is built.
//
// Input files, all in one configuration directory: "clkdrift.txt" (four relative clock drifts, M1 to O2,
// separated by any white space; text after the fourth is not read) and "medl00.txt" .. "medl03.txt" (one
// message descriptor list per node, node order of host/nodes.h).
//
// Reading. read_cluster_config reads node by node: drift n, then list n, so the first problem in that order
// is the one reported. Every value is checked before it is accepted:
//   - a drift must be a number with -0.5 < d < 0.5 (a relative rate; -1 would stop a clock);
//   - a list must read without error (ttpc/medl.h), be runnable by a controller (medl_runnable), and name
//     the node's own slot position as the node index plus one (what the host and application assume).
// A refusal is one line naming the file, the line and what to fix; where something is missing it names the
// file and says what to add.
//
// Overrides. A drift can be given instead of the file's (the command line's --drift NODE=VALUE); it is
// checked like a drift from the file, and a refusal names the override.
//
// Warnings. Some values are legal but probably not meant; they do not stop the run (a teacher may want to
// show a guardian at work), and each names the file and the line:
//   - a bus guardian window (bg_slot_duration) shorter than the longest frame it must let through: the
//     node's own frames for the normal and the synchronisation windows, a cold start I-frame for the two
//     cold start windows;
//   - a 16-bit value of a list outside 0..65535, which the controller reads modulo 65536 (65686 reads 150).
//
// A ClusterConfig is read once and may be assembled any number of times (assemble_cluster in
// host/cluster.h): every run of a campaign and every Rewind of the window builds from the same record.
#pragma once

#include "host/nodes.h"
#include "ttpc/medl.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

constexpr const char* DRIFT_FILE = "clkdrift.txt";
/// The open range of accepted drifts: a relative drift of -1 or less would stop or reverse a clock.
constexpr double LOWEST_DRIFT = -0.5;
constexpr double HIGHEST_DRIFT = 0.5;

/// Result codes of read_cluster_config (the assembly's codes of old: the caller shows one message for both).
constexpr int ASSEMBLY_OK = 0;
constexpr int ASSEMBLY_MEDL_FAILED = 1;  // a message descriptor list cannot be loaded or run
constexpr int ASSEMBLY_DRIFT_FAILED = 2; // "clkdrift.txt" cannot be opened, ends early, or holds a bad drift

/// A drift file holds four numbers; anything much longer is not one (and /dev/zero never ends).
constexpr size_t DRIFT_FILE_MAX_BYTES = 1 << 16;

/// A drift file's text, read number by number like fscanf("%lf\n"): any white space between numbers, text
/// after the fourth never looked at. The line of each number is kept for the messages.
struct DriftText {
    std::string path; // as named in messages
    std::string text;
    size_t at = 0;     // the next character to read
    unsigned line = 1; // the line of `at`
};

/// Reads the drift file at `path` (a regular file of at most DRIFT_FILE_MAX_BYTES); false with a reason
/// naming the file and what the directory needs.
bool open_drift_text(const std::string& path, DriftText* drifts, std::string* why);
/// The next number, for `node` (named in messages), with its line; false with a reason naming the file and
/// the line when the text ends or holds something else there. The range is not checked: drift_in_range.
bool next_drift(DriftText* drifts, unsigned node, double* value, unsigned* line, std::string* why);
/// LOWEST_DRIFT < drift < HIGHEST_DRIFT, and a number.
bool drift_in_range(double drift);

/// Values given instead of the files' (by node index).
struct ConfigOverrides {
    std::array<std::optional<double>, NODE_COUNT> drift;
};

struct NodeConfig {
    std::unique_ptr<Medl> medl; // the list as read (about 1 MB)
    MedlLines lines;            // where the file set each field
    std::string medl_path;      // the file, as named in messages
    double drift = 0.0;
    unsigned drift_line = 0; // line of the drift in the drift file; 0 when it was overridden
};

struct ClusterConfig {
    std::string directory; // "" = the working directory
    std::string drift_path;
    std::array<NodeConfig, NODE_COUNT> nodes;
    std::vector<std::string> warnings; // "file:line: ..." each
};

/// Reads and checks the configuration in `directory` ("" = the working directory) with `overrides` applied.
/// ASSEMBLY_OK, or a failure code with `why` (if given) holding one line naming the file, the line and what
/// to fix; `config` is then incomplete and must not be assembled.
int read_cluster_config(const std::string& directory, const ConfigOverrides& overrides, ClusterConfig* config,
                        std::string* why = nullptr);

/// A 64-bit hash (FNV-1a) of what the runs are built from: the four lists as read (every field of the record,
/// which the reader clears before it fills it) and the four drifts, overrides applied. The same values give
/// the same hash whatever the files' comments, line order or directory; a changed value changes it. A
/// campaign's CSV records it, so that rows of one configuration are never taken for another's.
uint64_t cluster_config_hash(const ClusterConfig& config);

/// Parses one override "NODE=VALUE" (node by name, M1 .. O2; the value a relative drift) into `overrides`;
/// false with a reason for another form. The range is checked when the configuration is read.
bool parse_drift_override(const std::string& text, ConfigOverrides* overrides, std::string* why);

/// The directory holding the input files: `explicit_directory` when given; else the working directory,
/// the directory of the executable, its ../share/pelorin, then the installed data directory, whichever holds
/// "medl00.txt". The executable is the running program's file (`executable_path`, argv[0], only where the
/// system cannot tell).
std::string find_configuration_directory(const char* explicit_directory, const char* executable_path);
