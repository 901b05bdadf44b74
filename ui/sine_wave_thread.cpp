#include "ui/sine_wave_thread.h"

#include "host/fault_plan.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"
#include "ttpc/fp1cni.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#ifdef __linux__
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace {

/// Messages per sender in the interface: the pair at 6 * sender (channel A) and 6 * sender + 3 (B).
constexpr uint32_t SENDER_ADDRESS_STRIDE = 6;
constexpr uint32_t PAIR_ADDRESS_STRIDE = 3;
constexpr uint32_t FLOAT_EXPONENT_BITS = 0x7f800000u;
/// How much further the simulation thread is niced than the window's thread.
constexpr int SIMULATION_NICE_INCREMENT = 4;

/// Numbers the models the threads build, so a reader can tell a rewound model from the one before.
std::atomic<uint64_t> models_built{0};

/// A protocol state as the snapshot stores it: values the window does not name become 0.
uint8_t snapshot_protocol_state(uint32_t state) {
    return state > SNAPSHOT_MAX_PROTOCOL_STATE ? 0 : static_cast<uint8_t>(state);
}

} // namespace

double slot_offset_of(double action_time, double reference_action_time) {
    double offset = action_time - reference_action_time;
    if (offset > SLOT_OFFSET_FOLD / 2) {
        offset -= SLOT_OFFSET_FOLD;
    } else if (offset < -SLOT_OFFSET_FOLD / 2) {
        offset += SLOT_OFFSET_FOLD;
    }
    return offset * SLOT_OFFSET_SCALE;
}

TSineWaveThread::TSineWaveThread(SineThreadOptions options)
    : options_(std::move(options)), model_number_(++models_built) {}

TSineWaveThread::~TSineWaveThread() {
    // The model is gone already (disposed of before any destructor runs); the trace belonged to it.
    trace_off();
}

// --- Building -------------------------------------------------------------------------------------------

void TSineWaveThread::BuildModel() {
    ClusterConfig config;
    build_result_ = read_cluster_config(options_.directory, ConfigOverrides{}, &config, &build_error_);
    if (BuildFailed()) {
        return; // nothing is built; the thread is only destroyed
    }
    build_warnings_ = config.warnings;
    RunSettings settings;
    settings.trace = !options_.trace_file.empty();
    settings.trace_file = options_.trace_file;
    settings.replay = options_.replay;
    settings.replay_goes_on = true; // the window's run goes on after a log it replays
    settings.faults = options_.lesson.faults;
    RunHooks hooks;
    hooks.on_injection = [this](ClusterRun&, const InjectionRecord& record) {
        if (!run_rows_dropped_ && run_rows_.size() < MAX_RUN_ROWS) {
            run_rows_.push_back(record);
        } else if (!run_rows_dropped_) {
            run_rows_dropped_ = true;
            std::vector<InjectionRecord>().swap(run_rows_); // Back is no longer possible; the memory goes
        }
        LogInjection(record);
        KeepCaption(record);
        slot_recorder_injection(&recorder_, record);
    };
    start_run(&run_, config, std::move(settings), std::move(hooks));
    attach_slot_recorder(&recorder_, &run_.cluster);
    FindNodeData();
    snapshot_ = SineSnapshot{};
    for (auto& s : switches_) {
        s = 1;
    }
    Gather();             // the first snapshot exists before the first event
    RestartWorstStates(); // the states it was built in
    replayed_rows_ = options_.replay.size();
    rows_are_own_ = options_.replay_is_own;
    stop_after_slots_ = options_.stop_after_slots;
    stop_before_step_ = options_.stop_before_step;
    asked_stop_due_ = stop_after_slots_.value_or(0) > 0 || stop_before_step_.value_or(0) > 0;
    SetCatchingUp(asked_stop_due_);
}

void TSineWaveThread::StopWhereAsked() {
    if (!asked_stop_due_) {
        return;
    }
    const bool slots_done = !stop_after_slots_ || recorder_.columns.total >= *stop_after_slots_;
    const bool step_done = !stop_before_step_ || step_count() + run_.replay_standins >= *stop_before_step_;
    if (slots_done && step_done) {
        asked_stop_due_ = false;
        SetCatchingUp(false);
        PauseAfterThisStep(); // before the next step, whose row may be the injection
    }
}

bool TSineWaveThread::Step(uint8_t* error_code) {
    // A stall does not end the window's run: the user sees the clock stand still and may rewind.
    const StepResult result = run_step(&run_);
    if (!trace_failure_said_ && !trace_failure().empty()) {
        trace_failure_said_ = true; // said once; lines are dropped and the simulation goes on, as it did
        std::fprintf(stderr, "pelorin: %s; the simulation goes on without it\n", trace_failure().c_str());
    }
    if (result == StepResult::KERNEL_ERROR) {
        *error_code = run_.last_error;
        return false;
    }
    if (result == StepResult::ENDED && run_.end == RunEnd::REPLAY_DIVERGED && replay_failure_.empty()) {
        // The model left its log: going on would apply nothing more, and in silence.
        replay_failure_ = run_.message;
        std::fprintf(stderr, "pelorin: %s\n", replay_failure_.c_str());
        SetCatchingUp(false);
        asked_stop_due_ = false;
        SetPaused(true);
    }
    return true;
}

// --- Gathering the snapshot -----------------------------------------------------------------------------

void TSineWaveThread::AfterStep() {
    LowerPriorityOnce();
    if (RunsUnpaced()) {
        // The window sees the snapshot only every refresh: gathered at the end of the cycle. The repair
        // of the interfaces changes the model, so it is made wherever a paced run's would change
        // something: after every step that wrote into a message area. After any other step every value
        // is still as the last repair left it, finite.
        if (GetSwitch(SWITCH_NODE_DATA) && node_data_looked_at_ != message_writes) {
            RepairNodeData();
        }
    } else {
        Gather();
    }
    if (recorder_.effect_column != 0) {
        if (lesson_effect_armed_) {
            lesson_effect_armed_ = false; // the lesson's own stop is made once
            lesson_effect_done_ = true;
            recorder_.stop_on_effect = window_stop_on_effect_;
        }
        effect_stops_ += 1;
        effect_column_ = recorder_.effect_column;
        recorder_.effect_column = 0;
        SetPaused(true); // parks after this cycle, the end of the slot with the effect
    }
    if (step_goal_ != 0 && recorder_.columns.total >= step_goal_) {
        step_goal_ = 0;
        SetPaused(true); // the slots asked for have closed
    }
    StopWhereAsked();
    const std::optional<double>& stop_at = options_.lesson.stop_at_us;
    if (stop_at && !lesson_time_stop_ && next_event_time() > *stop_at) {
        lesson_time_stop_ = true;
        SetPaused(true); // the lesson ends here; Run goes on past it
    }
    KeepBackPoint();
}

void TSineWaveThread::Gather() {
    if (BuildFailed()) {
        return;
    }
    snapshot_.laser_hits = run_.cluster.laser->hits;
    snapshot_.laser_misses = run_.cluster.laser->misses;
    snapshot_.shoot_time = run_.cluster.apps[NODE_O2].received_c;
    snapshot_.sim_time = sim_time();
    if (GetSwitch(SWITCH_NODE_DATA)) {
        GatherNodeData();
    }
    if (GetSwitch(SWITCH_RESULTS)) {
        snapshot_.vote_o2 = run_.cluster.vote_slot[0];
    }
    const bool node_state_on = GetSwitch(SWITCH_NODE_STATE);
    if (node_state_on) {
        GatherNodeState();
    }
    GatherWorstStates(node_state_on);
    if (GetSwitch(SWITCH_MEMBERSHIP)) {
        GatherMembership();
    }
    snapshot_.cluster_cycles = run_.cluster.apps[NODE_O2].os->cycle_count;
}

void TSineWaveThread::CycleEnded() {
    Gather();
}

void TSineWaveThread::FindNodeData() {
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        Cni& cni = run_.cluster.controllers[node]->cni;
        for (uint32_t sender = 0; sender < NODE_COUNT; ++sender) {
            for (uint32_t k = 0; k < 2; ++k) {
                uint8_t* message = message_at(cni, SENDER_ADDRESS_STRIDE * sender + PAIR_ADDRESS_STRIDE * k);
                message_data_[node][sender][k] = message + MESSAGE_HEADER_BYTES;
            }
        }
    }
}

void TSineWaveThread::RepairNodeData() {
    for (const auto& node : message_data_) {
        for (const auto& sender : node) {
            for (uint8_t* data : sender) {
                uint32_t bits = 0;
                std::memcpy(&bits, data, sizeof bits);
                if ((bits & FLOAT_EXPONENT_BITS) == FLOAT_EXPONENT_BITS) {
                    bits &= NON_FINITE_REPAIR_MASK;
                    std::memcpy(data, &bits, sizeof bits);
                }
            }
        }
    }
    node_data_looked_at_ = message_writes;
}

void TSineWaveThread::GatherNodeData() {
    snapshot_.motor_angle = motor_angle(&run_.cluster);
    RepairNodeData();
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        for (uint32_t sender = 0; sender < NODE_COUNT; ++sender) {
            for (uint32_t k = 0; k < 2; ++k) {
                std::memcpy(&snapshot_.message_values[node][sender][k], message_data_[node][sender][k],
                            sizeof(float));
            }
        }
    }
}

void TSineWaveThread::GatherNodeState() {
    const double reference = run_.cluster.controllers[NODE_O2]->action_time;
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        const TtpController* c = run_.cluster.controllers[node];
        snapshot_.protocol_state[node] = snapshot_protocol_state(get_protocol_state(c->cni.status));
        snapshot_.slot_offset[node] = node == NODE_O2 ? 0.0 : slot_offset_of(c->action_time, reference);
        snapshot_.bus_guardian_state[node] = c->bus_guardian->bg_state;
    }
}

void TSineWaveThread::GatherWorstStates(bool node_state_on) {
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        const uint8_t written = take_worst_state(&recorder_, node);
        const BusGuardian* guardian = run_.cluster.controllers[node]->bus_guardian;
        const bool failed = guardian->failure_count != guardian_failures_seen_[node];
        guardian_failures_seen_[node] = guardian->failure_count;
        if (!node_state_on) {
            continue;
        }
        if (!worst_gathered_) {
            // Node state was off: what the worst states hold is older than the last read.
            snapshot_.worst_protocol_state[node] = snapshot_.protocol_state[node];
            snapshot_.worst_bus_guardian_state[node] = snapshot_.bus_guardian_state[node];
        }
        uint8_t& state = snapshot_.worst_protocol_state[node];
        state = worse_state(worse_state(state, snapshot_.protocol_state[node]),
                            written == STATE_NONE ? STATE_NONE : snapshot_protocol_state(written));
        uint32_t& bg = snapshot_.worst_bus_guardian_state[node];
        bg = worse_guardian_state(worse_guardian_state(bg, snapshot_.bus_guardian_state[node]),
                                  failed ? uint32_t{BG_NODE_FAILURE} : snapshot_.bus_guardian_state[node]);
    }
    worst_gathered_ = node_state_on;
}

void TSineWaveThread::RestartWorstStates() {
    std::copy(std::begin(snapshot_.protocol_state), std::end(snapshot_.protocol_state),
              std::begin(snapshot_.worst_protocol_state));
    std::copy(std::begin(snapshot_.bus_guardian_state), std::end(snapshot_.bus_guardian_state),
              std::begin(snapshot_.worst_bus_guardian_state));
}

void TSineWaveThread::GatherMembership() {
    for (unsigned node = 0; node < NODE_COUNT; ++node) {
        const CniStatus& status = run_.cluster.controllers[node]->cni.status;
        for (unsigned position = 0; position < NODE_COUNT; ++position) {
            snapshot_.membership[node][position] = get_membership(status.cstate, position);
            snapshot_.null_frame[node][position] = get_null_frame(status, position);
        }
    }
}

void TSineWaveThread::ReadSnapshot(SineSnapshot* destination) {
    auto lock = LockModel();
    *destination = snapshot_;
    RestartWorstStates();
}

void TSineWaveThread::LowerPriorityOnce() {
    if (priority_lowered_) {
        return;
    }
    priority_lowered_ = true;
#ifdef __linux__
    // Below the window's thread, so the window stays responsive at full speed. On Linux the nice value
    // of one thread is set through its thread id. The very first gathering runs on the creating thread,
    // inside BuildModel, which does not come here.
    const auto tid = static_cast<id_t>(gettid());
    const int nice_now = getpriority(PRIO_PROCESS, tid);
    (void)setpriority(PRIO_PROCESS, tid, nice_now + SIMULATION_NICE_INCREMENT); // best effort
#endif
}

// --- Slot events ----------------------------------------------------------------------------------------

void TSineWaveThread::ReadSlotEvents(SlotEventsCopy* copy) {
    if (BuildFailed()) {
        if (copy->model != model_number_) {
            *copy = SlotEventsCopy{};
            copy->model = model_number_;
        }
        return;
    }
    WithModelLocked([&] {
        if (copy->model != model_number_) {
            *copy = SlotEventsCopy{};
            copy->model = model_number_;
        }
        slot_recorder_catch_up(&recorder_);
        copy->sim_time = sim_time();
        copy->columns.catch_up_with(recorder_.columns);
        copy->injections.catch_up_with(recorder_.injections);
        copy->reasons.catch_up_with(recorder_.reasons);
        std::copy(std::begin(recorder_.counters), std::end(recorder_.counters), std::begin(copy->counters));
        copy->effect_stops = effect_stops_;
        copy->effect_column = effect_column_;
        copy->captions.insert(copy->captions.end(),
                              captions_.begin() + std::min(copy->captions.size(), captions_.size()),
                              captions_.end());
        copy->lesson_time_stop = lesson_time_stop_;
    });
}

void TSineWaveThread::SetStopOnEffect(bool on) {
    OnModel([&] {
        window_stop_on_effect_ = on;
        recorder_.stop_on_effect = on || lesson_effect_armed_;
        recorder_.effect_column = 0;
    });
}

void TSineWaveThread::StepSlots(uint32_t count) {
    if (count == 0 || BuildFailed()) {
        return;
    }
    WithModelLocked([&] { step_goal_ = recorder_.columns.total + count; });
    Run();
}

void TSineWaveThread::CancelStep() {
    OnModel([this] { step_goal_ = 0; });
}

void TSineWaveThread::ResetSlotCounters() {
    OnModel([this] { reset_slot_counters(&recorder_); });
}

// --- Commands from the window ---------------------------------------------------------------------------

std::vector<InjectionRecord> TSineWaveThread::RunRows() {
    std::vector<InjectionRecord> rows;
    OnModel([&] { rows = run_rows_; });
    return rows;
}

bool TSineWaveThread::CanGoBack() {
    bool whole = false;
    OnModel([&] { whole = !run_rows_dropped_; });
    return whole;
}

std::string TSineWaveThread::ReplayFailure() {
    std::string why;
    OnModel([&] { why = replay_failure_; });
    return why;
}

// --- Back points ----------------------------------------------------------------------------------------

void TSineWaveThread::KeepBackPoint() {
    if (run_rows_dropped_ || recorder_.columns.total < next_back_point_ || !run_.running || run_.ending) {
        return;
    }
    const uint8_t injector = run_.cluster.fault_injector->state;
    if (injector == PLANNED || injector == NEW_PLANNED) {
        return; // periodic injection is under way: tried again after the next step
    }
    BackPoint point;
    if (!take_run_checkpoint(run_, &point.run)) {
        next_back_point_ = UINT64_MAX; // a model that cannot be copied: Back replays from time 0
        return;
    }
    point.recorder = slot_recorder_mark(recorder_);
    point.closed = recorder_.columns.total;
    point.rows = run_rows_.size();
    point.captions = captions_.size();
    point.effect_stops = effect_stops_;
    point.effect_column = effect_column_;
    point.lesson_time_stop = lesson_time_stop_;
    point.lesson_effect_armed = lesson_effect_armed_;
    point.lesson_effect_done = lesson_effect_done_;
    std::copy(std::begin(guardian_failures_seen_), std::end(guardian_failures_seen_),
              std::begin(point.guardian_failures_seen));
    back_points_.push_back(std::move(point));
    if (back_points_.size() > MAX_BACK_POINTS) {
        // Every second point goes (the later of each pair stays, so the points keep an even spacing).
        size_t kept = 0;
        for (size_t k = 1; k < back_points_.size(); k += 2) {
            back_points_[kept++] = std::move(back_points_[k]);
        }
        back_points_.resize(kept);
        back_point_spacing_ *= 2;
    }
    next_back_point_ = back_points_.back().closed + back_point_spacing_;
}

bool TSineWaveThread::GoBackInPlace(uint64_t slot) {
    if (BuildFailed() || slot == 0 || PendingError()) {
        return false;
    }
    bool done = false;
    WithModelLocked([&] {
        const uint64_t goal = slot - 1; // slot begins once the ones before it have closed
        if (run_rows_dropped_ || goal < SLOT_HISTORY) {
            return; // no rows to replay; or a goal so early that time 0 is as near
        }
        const auto found =
            std::find_if(back_points_.rbegin(), back_points_.rend(), [goal](const BackPoint& p) {
                return p.closed + SLOT_HISTORY <=
                       goal; // the recorder's whole history before the goal is replayed
            });
        if (found == back_points_.rend()) {
            return;
        }
        const BackPoint& point = *found;
        if (!restore_run_checkpoint(&run_, point.run)) {
            back_points_.clear(); // of a model this one no longer is
            next_back_point_ = recorder_.columns.total + back_point_spacing_;
            return;
        }
        run_.settings.replay = run_rows_; // every row of the run, those after the point still to come
        run_.settings.replay_goes_on = true;
        run_.replay_next = point.rows;
        run_rows_.resize(point.rows);
        replayed_rows_ = run_.settings.replay.size();
        rows_are_own_ = true;
        captions_.resize(point.captions);
        effect_stops_ = point.effect_stops;
        effect_column_ = point.effect_column;
        lesson_time_stop_ = point.lesson_time_stop;
        lesson_effect_armed_ = point.lesson_effect_armed;
        lesson_effect_done_ = point.lesson_effect_done;
        std::copy(std::begin(point.guardian_failures_seen), std::end(point.guardian_failures_seen),
                  std::begin(guardian_failures_seen_));
        slot_recorder_rewind(&recorder_, point.recorder);
        recorder_.stop_on_effect = window_stop_on_effect_ || lesson_effect_armed_;
        step_goal_ = 0;
        replay_failure_.clear();
        stop_after_slots_ = goal;
        stop_before_step_.reset();
        asked_stop_due_ = true;
        SetCatchingUp(true);
        model_number_ = ++models_built; // readers start their copies afresh, as for a new model
        node_data_looked_at_.reset();
        next_back_point_ = point.closed + back_point_spacing_;
        back_points_.erase(found.base(), back_points_.end()); // the run may take another way from here
        Gather();
        RestartWorstStates();
        done = true;
    });
    return done;
}

std::vector<uint64_t> TSineWaveThread::BackPointSlots() {
    std::vector<uint64_t> closed;
    OnModel([&] {
        for (const BackPoint& point : back_points_) {
            closed.push_back(point.closed);
        }
    });
    return closed;
}

void TSineWaveThread::LeaveReplay() {
    if (run_replay_pending(run_)) {
        run_drop_pending_replay(&run_);
        replayed_rows_ = run_.settings.replay.size(); // one row of the run for each row applied
    }
}

void TSineWaveThread::InjectNow() {
    OnModel([this] {
        LeaveReplay();
        inject(run_.cluster.fault_injector);
        Gather();
    });
}

uint32_t TSineWaveThread::AddFault(const FaultSpec& fault) {
    uint32_t number = 0;
    OnModel([&] {
        LeaveReplay();
        number = run_add_fault(&run_, fault);
    });
    return number;
}

void TSineWaveThread::SetFaultEffect(uint8_t effect) {
    OnModel([&] { set_run_fault_effect(&run_, effect); });
}

void TSineWaveThread::SetFaultRate(double rate) {
    if (fault_rate_accepted(rate)) {
        OnModel([&] {
            if (rate > 0.0) {
                LeaveReplay(); // its draws are not the log's
            }
            set_run_fault_rate(&run_, rate);
        });
    }
}

void TSineWaveThread::SetFaultTarget(uint32_t target) {
    OnModel([&] { set_run_fault_target(&run_, target); });
}

void TSineWaveThread::LogInjection(const InjectionRecord& record) {
    if (options_.injection_log.empty() || injection_log_failed_) {
        return;
    }
    if (rows_are_own_ && run_rows_.size() <= replayed_rows_) {
        return; // written by the model this one goes back in
    }
    if (!injection_log_.is_open()) {
        std::string why;
        if (!injection_log_.open(options_.injection_log, LogOpening::APPEND, &why)) {
            injection_log_failed_ = true; // said once; the simulation goes on without the log
            std::fprintf(stderr, "pelorin: injections are not logged: %s\n", why.c_str());
            return;
        }
    }
    (void)injection_log_.append(record); // best effort, like the trace
}

void TSineWaveThread::KeepCaption(const InjectionRecord& record) {
    const std::vector<FaultSpec>& faults = options_.lesson.faults;
    if (record.fault == 0 || record.fault > faults.size() || record.action == ROW_ADDED) {
        return; // not a lesson fault, or one that has not fired yet
    }
    if (options_.lesson.stop_on_effect && !lesson_effect_armed_ && !lesson_effect_done_) {
        lesson_effect_armed_ = true; // from now on what the lesson's faults do stops the run
        recorder_.stop_on_effect = true;
    }
    if (faults[record.fault - 1].caption.empty()) {
        return;
    }
    const auto kind = static_cast<FaultKind>(record.kind);
    const bool fired = record.action == ROW_START ||
                       (record.action == ROW_BIT && (kind == FaultKind::MEMORY || kind == FaultKind::STUCK));
    if (!fired) {
        return;
    }
    for (auto it = captions_.rbegin(); it != captions_.rend() && it->time_us == record.time; ++it) {
        if (it->fault == record.fault) {
            return; // another bit or node of the same firing
        }
    }
    captions_.push_back({record.time, record.fault, faults[record.fault - 1].caption});
}

// --- Kernel errors --------------------------------------------------------------------------------------

void TSineWaveThread::SetErrorListener(ErrorListener listener) {
    std::lock_guard<std::mutex> lock(listener_lock_);
    error_listener_ = std::move(listener);
}

void TSineWaveThread::ReportKernelError(uint8_t code, const char* message) {
    ErrorListener listener;
    {
        std::lock_guard<std::mutex> lock(listener_lock_);
        listener = error_listener_;
    }
    if (listener) {
        listener(code, message);
    }
    TOrvikThread::ReportKernelError(code, message); // waits for the acknowledgement or termination
}

bool TSineWaveThread::AcknowledgeKernelError() {
    if (!PendingError()) {
        return false;
    }
    AcknowledgeError();
    return true;
}
