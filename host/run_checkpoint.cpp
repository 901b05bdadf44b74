#include "host/run_checkpoint.h"

#include "kernel/sim_process.h"
#include "kernel/trace.h"

#include <utility>

bool take_run_checkpoint(const ClusterRun& run, RunCheckpoint* checkpoint) {
    if (!run.running || !sim_checkpoint_take(&checkpoint->model)) {
        return false;
    }
    checkpoint->cluster = run.cluster;
    checkpoint->progress = run;
    checkpoint->settings = run.settings;
    checkpoint->settings.replay.clear();
    checkpoint->settings.replay.shrink_to_fit();
    checkpoint->fingerprint = trace_fingerprint();
    checkpoint->fingerprint_lines = trace_fingerprint_lines();
    checkpoint->time_us = sim_time();
    checkpoint->steps = step_count();
    return true;
}

bool restore_run_checkpoint(ClusterRun* run, const RunCheckpoint& checkpoint) {
    if (!run->running || !sim_checkpoint_restore(checkpoint.model)) {
        return false;
    }
    run->cluster = checkpoint.cluster;
    static_cast<RunProgress&>(*run) = checkpoint.progress;
    std::vector<InjectionRecord> replay = std::move(run->settings.replay);
    run->settings = checkpoint.settings;
    run->settings.replay = std::move(replay);
    trace_fingerprint_resume(checkpoint.fingerprint, checkpoint.fingerprint_lines);
    return true;
}
