// The kernel-driving thread: runs the simulation kernel on a worker thread in pacing cycles, against the
// wall clock, with run, stop and single-cycle ("trace") control. No user interface code: the window talks to
// it through the calls below, and tests drive it without a display.
//
// Pacing cycle. The thread repeats, until it is terminated:
//
//     1. sleep: accumulator += sleep per cycle; ms = trunc(accumulator); if ms > 0: accumulator -= ms,
//        sleep ms milliseconds (cut short by Stop, SetPaused(true) and destruction);
//     2. t0 = sim_time(), budget = 1000;
//     3. repeat: one kernel step (Step) and, if it succeeded, AfterStep, both under the model lock;
//        on a failed step the error goes to ReportKernelError and the cycle ends; otherwise the cycle ends
//        when the thread is terminated, when sim_time() != t0 (exact comparison), or after the 1000th step;
//     4. if the pause request is set: park until Run, TraceStep or SetPaused(false) resumes it.
//
// So one cycle runs the remaining events at the present simulated time plus the first event that advances
// it, at most 1000 events. A cycle whose sleep is cut short by a stop request runs no step at all.
//
// Unpaced ("Fast"). With SetUnpaced(true) (or SetCatchingUp(true), for a derived class) a cycle does not
// sleep and does not end when simulated time advances: it runs steps, each with its AfterStep under the model
// lock as always (a batch of steps under one hold of it), until UNPACED_SLICE of wall-clock time has passed
// or the pause request is set, each looked at only after a step that advanced simulated time (where a paced
// cycle ends too, so a run stops at the same step paced or not), or the thread is terminated; then CycleEnded
// runs under the model lock, so a derived class that gathers its snapshot less often in this mode (the window
// refreshes every 200 ms, not at every step) brings it up to date before the window can see the thread
// stopped. Between two cycles the thread looks at the park as always, so Stop still returns within a slice.
//
// States: parked (after creation, and after a cycle that ended with the pause request set); running;
// awaiting acknowledgement of a kernel error (inside ReportKernelError, see below); terminated.
//
// Creation and destruction. A thread is made only by Create<Derived>(args...), which constructs the derived
// object, calls its BuildModel on the calling thread (a base constructor cannot reach the derived class's
// override, so the model is built once the object is complete), and then starts the worker thread parked.
// The returned Ptr destroys it in the safe order: terminate, wake the thread wherever it waits (a pacing
// sleep, the park, an unacknowledged kernel error, which termination acknowledges), join it, dispose_all()
// under the model lock, and only then run the destructors, so no step or AfterStep can ever run on a
// partly destroyed object, and a model that lives in the derived object is disposed of while it still
// exists. The kernel is one per program: only one thread may exist at a time, which Create asserts
// (Rewind destroys the old thread before it creates the new one).
//
// Kernel errors. A failed step ends its cycle and is handed to ReportKernelError(code, message) on the
// simulation thread, outside the model lock. The default awaits acknowledgement: it holds the thread until
// AcknowledgeError() (the window polls PendingError(), shows "Orvik Error" with the message and
// acknowledges when the box is closed) or until the thread is terminated. No kernel step runs before the
// hook returns, and after it returns the thread parks if the pause request is set. That is why Stop and
// TraceStep(true) also return while an error awaits acknowledgement: the model is still, and waiting for a
// box that the same window thread must close would never end. An override that does not wait returns to
// the cycle loop at once; an override that waits for the window should call the default to do so.
//
// Threads. Every public call is for the window's thread (or any one controlling thread) and may be called
// while the simulation runs. The model lock serialises each kernel step with its AfterStep and everything
// that touches the model from outside (WithModelLocked, the snapshot copy); it is never held while the
// thread sleeps, parks or reports an error. Never call WithModelLocked or GetSimTime from AfterStep or
// from inside WithModelLocked: the lock is not recursive.
#pragma once

#include "kernel/sim_process.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

/// A kernel error reported by a failed step and not yet acknowledged.
struct TKernelErrorNotice {
    uint8_t code;
    const char* message; // the kernel's message text of the code (static)
};

class TOrvikThread {
  public:
    /// Destroys a thread in the safe order (see the file comment).
    struct Deleter {
        void operator()(TOrvikThread* thread) const;
    };
    template <class T>
    using Ptr = std::unique_ptr<T, Deleter>;

    /// Events per cycle at most when simulated time does not advance.
    static constexpr int STEP_BUDGET = 1000;
    /// Longest accepted sleep per cycle, milliseconds (one hour).
    static constexpr double MAX_SLEEP_PER_CYCLE = 3.6e6;

    /// Constructs T(args...), builds its model on the calling thread and starts the worker thread parked.
    /// If BuildModel throws, whatever it built is disposed of and the exception propagates.
    template <class T, class... Args>
    static Ptr<T> Create(Args&&... args) {
        Ptr<T> thread(new T(std::forward<Args>(args)...));
        thread->Start();
        return thread;
    }

    TOrvikThread(const TOrvikThread&) = delete;
    TOrvikThread& operator=(const TOrvikThread&) = delete;
    virtual ~TOrvikThread();

    /// Clears the pause request and resumes the thread if it is parked.
    void Run();
    /// Sets the pause request, cuts a pacing sleep short, and returns when the thread is parked or awaits
    /// acknowledgement of a kernel error (it then parks as soon as the error is acknowledged, without
    /// another step). Returns at once when already parked.
    void Stop();
    /// Sets the pause request and resumes a parked thread, which runs exactly one pacing cycle (sleep
    /// included) and parks again. On a running thread the current cycle finishes and the thread parks, as
    /// with Stop. With wait, returns once the thread is parked again or awaits acknowledgement of an error
    /// raised in that cycle; while an earlier error still awaits acknowledgement it returns at once.
    /// Further traces before the traced cycle has ended add no cycle.
    void TraceStep(bool wait);
    /// Sets the pause request (true also cuts a pacing sleep short) without waiting; false also resumes a
    /// parked thread. With WaitStopped this is Stop for a window that keeps repainting while it waits.
    void SetPaused(bool paused);
    bool GetPaused() const;
    /// Waits at most `timeout` until the thread is parked or awaits acknowledgement of a kernel error, the
    /// state in which Stop returns; returns whether it is.
    bool WaitStopped(std::chrono::milliseconds timeout) const;
    /// True while the thread is parked between cycles.
    bool IsParked() const;

    /// The simulated time (taken under the model lock).
    double GetSimTime();

    /// Sets the wall-clock sleep per pacing cycle, milliseconds; values below 0 or not a number give 0,
    /// values above MAX_SLEEP_PER_CYCLE give that maximum.
    void SetSleepPerCycle(double ms);
    double GetSleepPerCycle() const;
    /// Runs unpaced (see the file comment) or, with false, paced by the sleep per cycle again.
    void SetUnpaced(bool unpaced) { unpaced_ = unpaced; }
    bool GetUnpaced() const { return unpaced_.load(); }
    /// Unpaced by the window's choice, or while the model catches up with a point it is to stop at.
    bool RunsUnpaced() const { return unpaced_.load() || catching_up_.load(); }
    /// Wall-clock time an unpaced cycle runs at most.
    static constexpr std::chrono::milliseconds UNPACED_SLICE{20};
    /// Steps between two looks at the wall clock in an unpaced cycle (a look costs more than a step's lock).
    static constexpr int UNPACED_CLOCK_STRIDE = 64;
    /// Steps an unpaced cycle runs under one hold of the model lock (some tens of microseconds), so the
    /// window's copy of the snapshot or an added fault waits at most that long.
    static constexpr int UNPACED_LOCK_BATCH = 256;
    /// Sleep per cycle for speed slider position p (0 to 1000, clamped): ((1000 - p) / (1000 / 1000^0.2))^5,
    /// which is (1000 - p)^5 / 10^12 ms: 1000 ms at 0, 31.25 ms at 500, 0 at 1000.
    static double SleepForSliderPosition(int position);
    /// Step 1 of a pacing cycle: adds sleep_per_cycle to the accumulator and takes the whole milliseconds
    /// owed out of it; returns them (0: no sleep this cycle). 0.5 ms per cycle sleeps 1 ms every second
    /// cycle.
    static int64_t TakePacingSleep(double& accumulator, double sleep_per_cycle);

    /// The kernel error the thread awaits acknowledgement of, if any.
    std::optional<TKernelErrorNotice> PendingError() const;
    /// Acknowledges the pending kernel error (the window's error box was closed); nothing when none is.
    void AcknowledgeError();

    /// Runs f() under the model lock, between two kernel steps; returns its result.
    template <class F>
    decltype(auto) WithModelLocked(F&& f) {
        std::lock_guard<std::mutex> lock(model_lock_);
        return std::forward<F>(f)();
    }

  protected:
    TOrvikThread() = default;

    /// Builds the model (starting with inic_kernel); called once, by Create, on the creating thread.
    virtual void BuildModel() = 0;
    /// One kernel step (default: the scheduler's own) on the simulation thread, under the model lock; false
    /// with the error's code when it failed. A model with a run driver of its own steps through it.
    virtual bool Step(uint8_t* error_code) { return step_or_take_error(error_code); }
    /// Called after every successful kernel step, on the simulation thread, under the model lock.
    virtual void AfterStep() {}
    /// Called at the end of every unpaced cycle that ran a step, under the model lock (also before a
    /// kernel error of that cycle is reported).
    virtual void CycleEnded() {}
    /// Called on the simulation thread, without the model lock, when a step failed. The default awaits
    /// acknowledgement: it waits until AcknowledgeError() or termination. An override that waits for
    /// anything else must also return once IsTerminated(), or destruction cannot join the thread.
    virtual void ReportKernelError(uint8_t code, const char* message);

    /// The model lock, for a derived class's snapshot copy (ReadSnapshot) and model commands.
    std::unique_lock<std::mutex> LockModel() { return std::unique_lock<std::mutex>(model_lock_); }
    bool IsTerminated() const { return terminated_.load(); }
    /// While true the thread runs unpaced whatever SetUnpaced chose (a model going back in its own run).
    void SetCatchingUp(bool on) { catching_up_ = on; }
    /// From AfterStep: the thread parks after this very step, also one that left simulated time as it was
    /// (an unpaced cycle otherwise ends only after a step that advanced it): a stop before a given step.
    void PauseAfterThisStep() {
        pause_exact_ = true;
        SetPaused(true);
    }

  private:
    void Start();
    /// Terminates, wakes and joins the worker thread, then disposes of the model. Idempotent.
    void Shutdown();
    void Execute();
    /// Steps 1 to 3 of a pacing cycle.
    void RunCycle();
    /// An unpaced cycle (see the file comment).
    void RunUnpacedCycle();
    /// Sleeps ms milliseconds unless stopped or terminated first; returns false when cut short.
    bool PacingSleep(int64_t ms);
    void HandOverError(uint8_t code);
    /// The state in which Stop returns; control_ must be held.
    bool StoppedLocked() const { return terminated_ || (!trace_requested_ && (parked_ || awaiting_ack_)); }

    std::thread worker_;
    std::mutex model_lock_;

    // Control state, guarded by control_; the atomics are also read without it.
    mutable std::mutex control_;
    mutable std::condition_variable control_changed_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> pause_requested_{false};
    bool stop_requested_ = false;  // a stop (not a trace) is pending: cuts the pacing sleep short
    bool trace_requested_ = false; // run one cycle although the pause request is set
    bool parked_ = true;           // the thread waits between cycles (created suspended)
    bool in_cycle_ = false;        // the thread is in a cycle's sleep or steps
    bool awaiting_ack_ = false;
    std::optional<TKernelErrorNotice> pending_error_;

    std::atomic<double> sleep_per_cycle_{0.0};
    std::atomic<bool> unpaced_{false};
    std::atomic<bool> catching_up_{false};
    std::atomic<bool> pause_exact_{false}; // PauseAfterThisStep: the unpaced cycle ends at once
    double sleep_accumulator_ = 0.0;       // simulation thread only
    bool owns_kernel_ = false;
};
