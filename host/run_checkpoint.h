// A run kept in the process with its model (kernel/sim_checkpoint.h), and putting it back: the kernel's
// objects, the cluster record, the driver's progress, its settings (all but the rows it replays, which the
// caller gives again: a run going back keeps every row it has had) and the trace's fingerprint, so a run put
// back goes on with the fingerprint an uninterrupted run has there. The trace file itself goes on where it
// is: what the run traces again is appended.
//
// No state digest is compared after putting a run back: a record copied by its members (a fault of the
// plan, with its strings) leaves its padding bytes as the record it is copied into had them, and the digest
// reads padding. The tests compare what the run does afterwards instead.
#pragma once

#include "host/cluster_run.h"
#include "kernel/sim_checkpoint.h"

#include <cstdint>

struct RunCheckpoint {
    SimCheckpoint model;
    Cluster cluster{};
    RunProgress progress;
    RunSettings settings;     // without the replay rows
    uint64_t fingerprint = 0; // the trace's, and its lines
    uint64_t fingerprint_lines = 0;
    double time_us = 0.0; // simulated time when kept
    uint64_t steps = 0;   // kernel steps when kept
};

/// Keeps the run as it stands between two steps; false (nothing kept) when its model cannot be copied.
bool take_run_checkpoint(const ClusterRun& run, RunCheckpoint* checkpoint);

/// Puts the run back to `checkpoint` between two steps; settings.replay stays as it is. False, with nothing
/// changed, when the model no longer fits it (sim_checkpoint_fits: another model, or objects disposed of).
bool restore_run_checkpoint(ClusterRun* run, const RunCheckpoint& checkpoint);
