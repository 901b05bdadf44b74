// The observer window under a stream of faults, offscreen: the main window at full speed (slider 1000), the
// observer open, periodic flips into O1's interface at each rate given. Prints, per rate:
//
//     refresh   what one observer refresh costs: bringing its copy up to date and showing it, then the
//               painting it asked for (mean and largest over REFRESH_PHASE of refreshes, one every 200 ms),
//               in wall-clock time and in the window thread's processor time (on a loaded machine the first
//               also holds the waits for a core and for the model lock)
//     stop      from a click on Stop, queued behind whatever the window has to do, to the handler's return,
//               with both windows refreshing on their own timers (the largest of STOP_SAMPLES clicks, each
//               after NATURAL_PHASE of running)
//     idle cpu  the process's processor time per wall-clock second over IDLE_PHASE, SETTLE_PHASE after the
//               last stop, with both
//               windows open and refreshing (what a stopped window costs)
//
// No trace and no injection log are written (at full speed they would fill a disk); the figures are the
// window's own. Nothing is judged: the figures are for the README and for comparing changes.
//
//     observer_load [RATE ...]      faults per second; default 10 and MAX_FAULT_RATE_PER_S
#include "ui/main_form.h"
#include "ui/observer_form.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

constexpr int FULL_SPEED = 1000;
constexpr uint32_t SETTLED_CYCLES = 20; // the cluster runs in its application mode
constexpr auto REFRESH_PHASE = 5s;
constexpr auto NATURAL_PHASE = 1s;   // both windows on their own timers before the click on Stop
constexpr auto CLICK_STAGGER = 37ms; // each click lands at another point of the refresh cycle
constexpr int STOP_SAMPLES = 5;
constexpr auto SETTLE_PHASE = 1s;
constexpr auto IDLE_PHASE = 2s;
constexpr auto SETTLE_LIMIT = 60s;
constexpr int64_t POLL_MS = 1; // how often a wait looks at its condition

double now_ms(const QElapsedTimer& clock) {
    return static_cast<double>(clock.nsecsElapsed()) / 1e6;
}

/// The processor time of the calling thread, milliseconds.
double thread_cpu_ms() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

/// Processes the window's events for `ms` milliseconds, asleep while there are none (a loop that only
/// polled would itself keep a core busy).
void wait_events(int64_t ms) {
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(ms), &loop, &QEventLoop::quit);
    loop.exec();
}

/// Processes the window's events for `span`.
void process_for(std::chrono::milliseconds span) {
    wait_events(span.count());
}

uint32_t cluster_cycles(TMainForm& form) {
    SineSnapshot s;
    form.Thread()->ReadSnapshot(&s);
    return s.cluster_cycles;
}

bool measure(double rate) {
    SineThreadOptions options;
    options.directory = PELORIN_DEFAULT_DATA_DIR;
    options.trace_file = "";
    options.injection_log = "";
    auto thread = TOrvikThread::Create<TSineWaveThread>(options);
    if (thread->BuildFailed()) {
        std::fprintf(stderr, "observer_load: %s\n", thread->BuildError().c_str());
        return false;
    }
    TMainForm form(options, std::move(thread));
    form.show();
    form.findChild<QSlider*>("SlowTrackBar")->setValue(FULL_SPEED);
    form.ObserverClick();
    TObserverForm* observer = form.Observer();
    QTimer* observer_timer = observer->findChild<QTimer*>();

    form.RunButtonClick();
    QElapsedTimer clock;
    clock.start();
    while (cluster_cycles(form) < SETTLED_CYCLES) {
        if (clock.elapsed() > std::chrono::milliseconds(SETTLE_LIMIT).count()) {
            std::fprintf(stderr, "observer_load: the cluster did not settle\n");
            return false;
        }
        wait_events(POLL_MS);
    }
    form.findChild<QRadioButton*>("RadioButton3")->click(); // flip
    form.findChild<QRadioButton*>("RadioButton4")->click(); // CNI
    form.findChild<QLineEdit*>("Edit3")->setText(QString::number(rate, 'f', 0));

    // Refreshes driven here, each timed with its painting; the main window keeps its own timer.
    observer_timer->stop();
    std::vector<double> costs;     // wall-clock time
    std::vector<double> cpu_costs; // the window thread's processor time
    clock.restart();
    double next = 0.0;
    while (clock.elapsed() < std::chrono::milliseconds(REFRESH_PHASE).count()) {
        if (now_ms(clock) >= next) {
            const double start = now_ms(clock);
            const double cpu_start = thread_cpu_ms();
            observer->Refresh();
            // The painting the refresh asked for (what changed), done now rather than later in the loop.
            QCoreApplication::sendPostedEvents(observer, QEvent::UpdateRequest);
            costs.push_back(now_ms(clock) - start);
            cpu_costs.push_back(thread_cpu_ms() - cpu_start);
            next = start + TObserverForm::REFRESH_MS;
        }
        wait_events(POLL_MS);
    }
    const uint64_t injections = observer->Events().injections.total;

    // Both windows on their own timers. A click on Stop comes from outside at a moment of its own, as a
    // user's does, and waits its turn behind whatever the window is doing; it is timed from that moment.
    observer_timer->start();
    std::vector<double> stops;
    for (int sample = 0; sample < STOP_SAMPLES; ++sample) {
        form.RunButtonClick();
        std::atomic<bool> stopped{false};
        std::chrono::steady_clock::time_point clicked{};
        double stop_ms = 0.0;
        std::thread user([&] {
            std::this_thread::sleep_for(NATURAL_PHASE + sample * CLICK_STAGGER);
            clicked = std::chrono::steady_clock::now();
            QMetaObject::invokeMethod(
                &form,
                [&] {
                    form.StopButtonClick();
                    stop_ms =
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - clicked)
                            .count();
                    stopped = true;
                },
                Qt::QueuedConnection);
        });
        while (!stopped) {
            wait_events(POLL_MS);
        }
        user.join();
        stops.push_back(stop_ms);
    }

    process_for(SETTLE_PHASE); // what the run left queued is done
    const double cpu_before = cpu_seconds();
    const double wall_before = now_ms(clock);
    process_for(IDLE_PHASE);
    const double idle_cpu = (cpu_seconds() - cpu_before) / ((now_ms(clock) - wall_before) / 1e3);

    const auto mean = [](const std::vector<double>& v) {
        double sum = 0.0;
        for (double x : v) {
            sum += x;
        }
        return sum / static_cast<double>(v.size());
    };
    const auto largest = [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); };
    std::printf("rate %9.0f/s  refresh mean %8.2f ms  max %8.2f ms  (processor %6.2f / %6.2f ms; %zu "
                "refreshes, %llu injections)  stop max %8.2f ms  idle cpu %5.1f%%\n",
                rate, mean(costs), largest(costs), mean(cpu_costs), largest(cpu_costs), costs.size(),
                static_cast<unsigned long long>(injections), largest(stops), 100.0 * idle_cpu);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setStyle("Fusion");
    std::vector<double> rates;
    for (int i = 1; i < argc; ++i) {
        rates.push_back(std::strtod(argv[i], nullptr));
    }
    if (rates.empty()) {
        rates = {10.0, MAX_FAULT_RATE_PER_S};
    }
    for (double rate : rates) {
        if (!fault_rate_accepted(rate) || !measure(rate)) {
            std::fprintf(stderr, "observer_load: no figures for rate %g\n", rate);
            return 1;
        }
    }
    return 0;
}
