// The kernel's global state, shared by the kernel's own sources only. One instance per program; reset by
// inic_kernel at every build of the model.
#pragma once

#include "kernel/sim_process.h"

#include <cstdint>

struct KernelState {
    SimObject* heap = nullptr;      // "Heap": memory_suc / memory_pred are the first / last object
    SimProcess* calendar = nullptr; // "Calendar": suc_in_sqs / pred_in_sqs are the first / last process
    uint32_t memory_count = 0;      // objects in the memory list
    double time = 0.0;              // simulated time
    SimProcess* current = nullptr;  // the process whose body runs, or ran last
    SimErrorRecord error = {};      // the last error
    bool error_flag = false;
    bool body_running = false; // a process body is running (sim_error throws)
    bool statistics = false;   // global statistics flag; nothing switches it on
    // Sequencing set bookkeeping.
    uint32_t sqs_count = 0;
    uint64_t sqs_sequence = 0;             // insertion counter: equal event times keep insertion order
    uint32_t level_seed = 0;               // generator of the search index's node levels
    SimProcess* sqs_skip[SQS_LEVELS] = {}; // first process of each upper level
    uint32_t sqs_top_level = 1;            // one above the highest upper level in use (searches start there)
    uint64_t steps = 0;
};

extern KernelState kernel;

/// Statistics are on for a head or process whose statistics byte is 1, or when the global flag is set.
inline bool statistics_on(uint8_t own_flag) {
    return kernel.statistics || own_flag == 1;
}

/// Unlinks a planned process from the sequencing set (no checks); nothing when it is not planned.
void sqs_unlink(SimProcess* process);
