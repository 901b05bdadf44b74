#include "ui/orvik_thread.h"

#include "kernel/sim_assert.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr const char* THREAD_SOURCE = "ui\\orvik_thread";

/// The kernel's globals belong to one model at a time, so only one thread may drive it.
std::atomic<bool> kernel_in_use{false};

} // namespace

void TOrvikThread::Deleter::operator()(TOrvikThread* thread) const {
    thread->Shutdown();
    delete thread;
}

TOrvikThread::~TOrvikThread() {
    // Normally already done by Deleter while the derived object was whole; this only covers an object
    // that was made without Create and so never started.
    Shutdown();
}

void TOrvikThread::Start() {
    sim_assert(!kernel_in_use.exchange(true), "only one simulation thread at a time", THREAD_SOURCE);
    owns_kernel_ = true;
    BuildModel();
    worker_ = std::thread([this] { Execute(); });
}

void TOrvikThread::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(control_);
        terminated_ = true;
    }
    control_changed_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    if (owns_kernel_) {
        {
            std::lock_guard<std::mutex> lock(model_lock_);
            dispose_all();
        }
        owns_kernel_ = false;
        kernel_in_use = false;
    }
}

// --- Control --------------------------------------------------------------------------------------------

void TOrvikThread::Run() {
    {
        std::lock_guard<std::mutex> lock(control_);
        pause_requested_ = false;
        stop_requested_ = false;
        parked_ = false;
    }
    control_changed_.notify_all();
}

void TOrvikThread::Stop() {
    SetPaused(true);
    std::unique_lock<std::mutex> lock(control_);
    control_changed_.wait(lock, [this] { return StoppedLocked(); });
}

void TOrvikThread::TraceStep(bool wait) {
    std::unique_lock<std::mutex> lock(control_);
    pause_requested_ = true;
    stop_requested_ = false;
    // Between cycles (parked, or just past an acknowledged error) the trace asks for one more cycle; in
    // the middle of a cycle it only makes that cycle the last one, and while an error awaits
    // acknowledgement the failed cycle was the traced one.
    if (!in_cycle_ && !awaiting_ack_) {
        trace_requested_ = true;
        parked_ = false;
    }
    control_changed_.notify_all();
    if (wait) {
        control_changed_.wait(lock, [this] { return StoppedLocked(); });
    }
}

void TOrvikThread::SetPaused(bool paused) {
    {
        std::lock_guard<std::mutex> lock(control_);
        pause_requested_ = paused;
        stop_requested_ = paused;
        if (paused) {
            trace_requested_ = false; // a stop overrides a trace that has not started yet
        } else {
            parked_ = false;
        }
    }
    control_changed_.notify_all();
}

bool TOrvikThread::GetPaused() const {
    return pause_requested_.load();
}

bool TOrvikThread::WaitStopped(std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(control_);
    return control_changed_.wait_for(lock, timeout, [this] { return StoppedLocked(); });
}

bool TOrvikThread::IsParked() const {
    std::lock_guard<std::mutex> lock(control_);
    return parked_;
}

double TOrvikThread::GetSimTime() {
    std::lock_guard<std::mutex> lock(model_lock_);
    return sim_time();
}

// --- Pacing ---------------------------------------------------------------------------------------------

void TOrvikThread::SetSleepPerCycle(double ms) {
    if (!(ms > 0.0)) { // also catches NaN
        ms = 0.0;
    }
    sleep_per_cycle_ = std::min(ms, MAX_SLEEP_PER_CYCLE);
}

double TOrvikThread::GetSleepPerCycle() const {
    return sleep_per_cycle_.load();
}

double TOrvikThread::SleepForSliderPosition(int position) {
    // ((1000 - p) / (1000 / 1000^0.2))^5 written as (1000 - p)^5 / 10^12: the fifth power is an integer
    // below 2^53, so the slider's marks come out exact (1000 ms, 31.25 ms, 0 ms).
    const double rest = 1000.0 - std::clamp(position, 0, 1000);
    return rest * rest * rest * rest * rest / 1e12;
}

int64_t TOrvikThread::TakePacingSleep(double& accumulator, double sleep_per_cycle) {
    accumulator += sleep_per_cycle;
    const auto ms = static_cast<int64_t>(std::trunc(accumulator));
    if (ms <= 0) {
        return 0;
    }
    accumulator -= static_cast<double>(ms);
    return ms;
}

// --- Stepping and kernel errors
// --------------------------------------------------------------------------------------

void TOrvikThread::ReportKernelError(uint8_t /*code*/, const char* /*message*/) {
    std::unique_lock<std::mutex> lock(control_);
    awaiting_ack_ = true;
    control_changed_.notify_all();
    control_changed_.wait(lock, [this] { return !awaiting_ack_ || terminated_; });
}

std::optional<TKernelErrorNotice> TOrvikThread::PendingError() const {
    std::lock_guard<std::mutex> lock(control_);
    return awaiting_ack_ ? pending_error_ : std::nullopt;
}

void TOrvikThread::AcknowledgeError() {
    {
        std::lock_guard<std::mutex> lock(control_);
        awaiting_ack_ = false;
    }
    control_changed_.notify_all();
}

void TOrvikThread::HandOverError(uint8_t code) {
    const char* message = sim_error_message(code);
    {
        std::lock_guard<std::mutex> lock(control_);
        in_cycle_ = false; // the error ended the cycle
        pending_error_ = TKernelErrorNotice{code, message};
    }
    ReportKernelError(code, message);
    // Acknowledged, terminated, or an override that does not wait: the error is dealt with now.
    {
        std::lock_guard<std::mutex> lock(control_);
        awaiting_ack_ = false;
        pending_error_.reset();
    }
    control_changed_.notify_all();
}

// --- The simulation thread ------------------------------------------------------------------------------

void TOrvikThread::Execute() {
    std::unique_lock<std::mutex> lock(control_);
    for (;;) {
        // Between cycles. parked_ is set only here (and at creation) and cleared by whoever resumes.
        if (pause_requested_ && !trace_requested_) {
            parked_ = true;
        }
        if (parked_) {
            control_changed_.notify_all();
            control_changed_.wait(lock, [this] { return !parked_ || terminated_; });
        }
        if (terminated_) {
            return;
        }
        trace_requested_ = false;
        in_cycle_ = true;
        lock.unlock();
        RunCycle();
        lock.lock();
        in_cycle_ = false;
        if (terminated_) {
            return;
        }
    }
}

bool TOrvikThread::PacingSleep(int64_t ms) {
    std::unique_lock<std::mutex> lock(control_);
    return !control_changed_.wait_for(lock, std::chrono::milliseconds(ms),
                                      [this] { return stop_requested_ || terminated_; });
}

void TOrvikThread::RunUnpacedCycle() {
    const auto end = std::chrono::steady_clock::now() + UNPACED_SLICE;
    int stride = UNPACED_CLOCK_STRIDE;
    for (bool cycle_over = false; !cycle_over;) {
        bool stepped = true;
        uint8_t error_code = 0;
        {
            // A batch of steps under one hold of the model lock: a step costs little more than taking it.
            std::lock_guard<std::mutex> lock(model_lock_);
            for (int batch = UNPACED_LOCK_BATCH; batch > 0 && !cycle_over; --batch) {
                const double before = sim_time();
                stepped = Step(&error_code);
                if (!stepped) {
                    CycleEnded(); // what the window shows beside the error box is up to date
                    break;
                }
                AfterStep();
                const bool advanced = sim_time() != before;
                // Where a paced cycle would end too, so a stop lands where it lands paced.
                cycle_over = terminated_ || (pause_requested_ && (advanced || pause_exact_.exchange(false)));
                if (!cycle_over && advanced && --stride == 0) {
                    stride = UNPACED_CLOCK_STRIDE;
                    cycle_over = std::chrono::steady_clock::now() >= end;
                }
            }
        }
        if (!stepped) {
            HandOverError(error_code);
            return;
        }
    }
    std::lock_guard<std::mutex> lock(model_lock_);
    CycleEnded();
}

void TOrvikThread::RunCycle() {
    if (RunsUnpaced()) {
        RunUnpacedCycle();
        return;
    }
    const int64_t ms = TakePacingSleep(sleep_accumulator_, sleep_per_cycle_.load());
    if (ms > 0 && !PacingSleep(ms)) {
        return;
    }
    double t0 = 0.0;
    {
        std::lock_guard<std::mutex> lock(model_lock_);
        t0 = sim_time();
    }
    for (int budget = STEP_BUDGET;;) {
        bool stepped = false;
        double now = 0.0;
        uint8_t error_code = 0;
        {
            std::lock_guard<std::mutex> lock(model_lock_);
            stepped = Step(&error_code);
            if (stepped) {
                AfterStep();
            }
            now = sim_time();
        }
        if (!stepped) {
            // Reported outside the model lock, so the window can still copy its snapshot meanwhile.
            HandOverError(error_code);
            return;
        }
        if (terminated_ || now != t0 || --budget == 0) {
            return;
        }
    }
}
