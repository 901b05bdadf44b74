// The whole simulated cluster: the laser, the fault injector, two channels, four controllers with their
// clock drifts and message descriptor lists, four hosts with the sine wave application, wired together.
//
// The Cluster record owns nothing itself: every object it points to is a kernel object, disposed of by the
// kernel when it is initialised again (or by dispose_all). Nodes are indexed 0-3: M1, M2, O1, O2.
//
// Input files, all in one configuration directory: "clkdrift.txt" (four relative clock drifts, M1 to O2,
// separated by any white space) and "medl00.txt" .. "medl03.txt" (one message descriptor list per node).
#pragma once

#include "host/sa1fault.h"
#include "host/sine_app.h"
#include "ttpc/fp1chan.h"
#include "ttpc/fp1ctrl.h"

#include <cstdint>
#include <string>

constexpr unsigned NODE_COUNT = 4;
constexpr unsigned NODE_M1 = 0, NODE_M2 = 1, NODE_O1 = 2, NODE_O2 = 3;

struct Cluster {
    LaserProcess* laser;
    SineApp apps[NODE_COUNT];
    TtpController* controllers[NODE_COUNT];
    TtpChannel* channels[CHANNEL_COUNT];
    FaultInjector* fault_injector;
    float vote_slot[2]; // 0: written by O2; 1: written by M1, M2 and O1
    uint32_t fault_target;
};

/// Result codes of assemble_cluster.
constexpr int ASSEMBLY_OK = 0;
constexpr int ASSEMBLY_MEDL_FAILED = 1;  // a message descriptor list cannot be loaded or run
constexpr int ASSEMBLY_DRIFT_FAILED = 2; // "clkdrift.txt" cannot be opened, or ends before four drifts

/// The front ends' message for both failure codes.
extern const char* const STARTUP_ERROR_TEXT;
extern const char* const STARTUP_ERROR_CAPTION;

/// Builds the cluster in a freshly initialised kernel from the files in `directory` (the working directory
/// when null or empty) and plans the four hosts at the present time. On failure `why` (if given) holds one
/// line naming the file, the line and what to fix.
int assemble_cluster(Cluster* cluster, const char* directory = nullptr, std::string* why = nullptr);

/// The directory holding the input files: `explicit_directory` when given; else the working directory,
/// the directory of the executable, its ../share/pelorin, then the installed data directory, whichever holds
/// "medl00.txt". The executable is the running program's file (`executable_path`, argv[0], only where the
/// system cannot tell).
std::string find_configuration_directory(const char* explicit_directory, const char* executable_path);
