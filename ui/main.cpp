// pelorin: the desktop program. Builds the cluster from the configuration directory, then shows the main
// window. When the cluster cannot be built it shows why and ends with status -1 before any window appears.
//
//     pelorin [--dir DIR] [--trace FILE | --no-trace] [--scenario FILE | --replay LOG |
//             --campaign-row FILE.csv:K] [--version]
//
// --scenario starts a lesson (a scenario file): its faults join the run, the observer window opens to show
// their captions as they fire, and the run stops where the lesson says. A file that cannot be used ends
// the program with status 2 before any window appears, naming the file and the line.
//
// --replay opens the run of an injection log, --campaign-row that of experiment K of a campaign CSV (one
// injection): the window replays it from time 0, unpaced, and stands just before the first injection, the
// observer open; Run goes on with it (ui/window_replay.h). Rewind opens it so again. A log or row that
// cannot be used ends the program with status 2 before any window appears, naming the file.
//
// The trace goes to "debug.txt", appended, and the injections to "injections.csv", fresh for each start of
// the program (the one before is kept as "injections.1.csv"), in the working directory, or in the user's
// state folder when the working directory is not writable (ui/log_directory.h).
// --help and --version need no display; anything else without one ends with status 3 and says so.
//
// Hidden options for documentation pictures: --screenshot FILE --after-cycles N runs at full speed until
// O2's host has counted N cluster cycles, stops, saves a picture of the window to FILE and ends.
// --observer-screenshot FILE does the same with the observer window open, after a burst of faults: from
// cycle N on, BURST_RATE flips a second into O1's interface for BURST_CYCLES cycles.
#include "host/cluster.h"
#include "ui/log_directory.h"
#include "ui/main_form.h"
#include "ui/observer_form.h"
#include "ui/sine_wave_thread.h"
#include "ui/window_replay.h"
#include "version/version.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string_view>
#include <system_error>

namespace {

constexpr const char* APPLICATION_NAME = "TTP/C - Pelorin";
constexpr int SCREENSHOT_POLL_MS = 20;
constexpr auto SCREENSHOT_TIME_LIMIT = std::chrono::minutes(5);
constexpr int FULL_SPEED = 1000;
constexpr const char* BURST_RATE = "4000";
constexpr uint32_t BURST_CYCLES = 6;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_NO_DISPLAY = 3;
constexpr QSize OBSERVER_PICTURE_SIZE(1000, 720);

/// True when the command line asks only for text (help or version), which needs no display.
bool asks_only_for_text(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument == "-h" || argument == "-?" || argument == "--help" || argument == "--help-all" ||
            argument == "--version") {
            return true;
        }
    }
    return false;
}

/// True when Qt has somewhere to show the window: a platform the user chose, or an X11 or Wayland display.
/// Without one, Qt's platform setup aborts the program with a core dump instead of saying what is missing.
bool has_display() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

/// Runs the simulation at full speed until O2's host has counted `cycles` cycles, then saves the window;
/// with `observer`, sets off a burst of faults at `cycles` and saves the observer window after the burst.
void take_screenshot_after(TMainForm* form, const QString& file, uint32_t cycles, bool observer) {
    form->findChild<QSlider*>("SlowTrackBar")->setValue(FULL_SPEED);
    if (observer) {
        form->ObserverClick();
        form->Observer()->resize(OBSERVER_PICTURE_SIZE);
    }
    form->RunButtonClick();
    const auto deadline = std::chrono::steady_clock::now() + SCREENSHOT_TIME_LIMIT;
    auto* poll = new QTimer(form);
    struct Goal {
        uint32_t cycles;
        bool burst_due; // the burst begins when the cycles are reached; then the picture waits for its end
    };
    auto goal = std::make_shared<Goal>(Goal{cycles, observer});
    QObject::connect(poll, &QTimer::timeout, form, [form, file, observer, deadline, poll, goal] {
        SineSnapshot snapshot;
        form->Thread()->ReadSnapshot(&snapshot);
        if (snapshot.cluster_cycles >= goal->cycles && goal->burst_due) {
            goal->burst_due = false;
            goal->cycles = snapshot.cluster_cycles + BURST_CYCLES;
            form->findChild<QRadioButton*>("RadioButton3")->click(); // flip
            form->findChild<QRadioButton*>("RadioButton4")->click(); // CNI
            form->findChild<QLineEdit*>("Edit3")->setText(BURST_RATE);
        }
        if (snapshot.cluster_cycles < goal->cycles) {
            if (std::chrono::steady_clock::now() > deadline) {
                std::fprintf(stderr, "pelorin: %u cluster cycles not reached in time\n", goal->cycles);
                QCoreApplication::exit(1);
            }
            return;
        }
        poll->stop();
        form->StopButtonClick();
        form->Refresh();
        QWidget* window = form;
        if (observer) {
            form->Observer()->Refresh();
            window = form->Observer();
        }
        const bool saved = window->grab().save(file);
        if (!saved) {
            std::fprintf(stderr, "pelorin: cannot write %s\n", qPrintable(file));
        }
        QCoreApplication::exit(saved ? 0 : 1);
    });
    poll->start(SCREENSHOT_POLL_MS);
}

int run(QApplication& app) {
    QCommandLineParser parser;
    parser.setApplicationDescription("Simulator of a four-node TTP/C cluster with fault injection.");
    parser.addHelpOption();
    const QCommandLineOption dir_option("dir", "Directory of medl00.txt .. medl03.txt and clkdrift.txt.",
                                        "DIR");
    QCommandLineOption screenshot_option("screenshot", "Save a picture of the window to FILE and end.",
                                         "FILE");
    QCommandLineOption observer_screenshot_option(
        "observer-screenshot",
        "Save a picture of the observer window after a burst of faults to FILE and end.", "FILE");
    QCommandLineOption cycles_option("after-cycles", "Cluster cycles to run before the picture.", "N", "300");
    const QCommandLineOption trace_option(
        "trace", "Append the trace to FILE instead of debug.txt in the log folder.", "FILE");
    const QCommandLineOption no_trace_option("no-trace", "Write no trace.");
    const QCommandLineOption scenario_option(
        "scenario", "Start the lesson in FILE: its faults, their captions and where it stops.", "FILE");
    const QCommandLineOption replay_option(
        "replay", "Open the run of the injection log LOG, stopped just before its first injection.", "LOG");
    const QCommandLineOption campaign_row_option(
        "campaign-row", "Open experiment K of the campaign CSV FILE, stopped just before its injection.",
        "FILE.csv:K");
    const QCommandLineOption version_option("version", "Print the version, the commit and the build date.");
    screenshot_option.setFlags(QCommandLineOption::HiddenFromHelp);
    observer_screenshot_option.setFlags(QCommandLineOption::HiddenFromHelp);
    cycles_option.setFlags(QCommandLineOption::HiddenFromHelp);
    parser.addOption(dir_option);
    parser.addOption(trace_option);
    parser.addOption(no_trace_option);
    parser.addOption(scenario_option);
    parser.addOption(replay_option);
    parser.addOption(campaign_row_option);
    parser.addOption(version_option);
    parser.addOption(screenshot_option);
    parser.addOption(observer_screenshot_option);
    parser.addOption(cycles_option);
    parser.process(app);
    if (parser.isSet(version_option)) {
        std::printf("%s\n", version_text("pelorin").c_str());
        return 0;
    }
    const std::string trace_file = parser.value(trace_option).toStdString();
    if (parser.isSet(trace_option) && (parser.isSet(no_trace_option) || trace_file.empty())) {
        std::fprintf(stderr, "pelorin: --trace wants a file name and cannot be combined with --no-trace\n");
        return EXIT_USAGE;
    }

    bool cycles_ok = false;
    const uint32_t cycles = parser.value(cycles_option).toUInt(&cycles_ok);
    if (!cycles_ok) {
        std::fprintf(stderr, "pelorin: --after-cycles wants a number of cluster cycles\n");
        return EXIT_USAGE;
    }
    const std::string explicit_dir = parser.value(dir_option).toStdString();
    const std::string executable = QCoreApplication::arguments().value(0).toStdString();

    SineThreadOptions options;
    if (parser.isSet(scenario_option)) {
        std::string why;
        if (!read_scenario(parser.value(scenario_option).toStdString(), &options.lesson, &why)) {
            std::fprintf(stderr, "pelorin: %s\n", why.c_str());
            return EXIT_USAGE;
        }
    }
    const int openings = (parser.isSet(scenario_option) ? 1 : 0) + (parser.isSet(replay_option) ? 1 : 0) +
                         (parser.isSet(campaign_row_option) ? 1 : 0);
    if (openings > 1) {
        std::fprintf(stderr, "pelorin: --scenario, --replay and --campaign-row each open a run: give one\n");
        return EXIT_USAGE;
    }
    if (parser.isSet(replay_option) || parser.isSet(campaign_row_option)) {
        WindowReplay replay;
        std::string why;
        const bool read =
            parser.isSet(replay_option)
                ? read_window_replay(parser.value(replay_option).toStdString(), &replay, &why)
                : read_campaign_row(parser.value(campaign_row_option).toStdString(), &replay, &why);
        if (!read) {
            std::fprintf(stderr, "pelorin: %s\n", why.c_str());
            return EXIT_USAGE;
        }
        options.replay = std::move(replay.rows);
        options.stop_before_step = replay.stop_before_step;
    }
    options.directory = find_configuration_directory(explicit_dir.empty() ? nullptr : explicit_dir.c_str(),
                                                     executable.c_str());
    const WindowLogFiles logs =
        window_log_files(trace_file, parser.isSet(no_trace_option), is_writable_directory("."),
                         user_state_directory(std::getenv("XDG_STATE_HOME"), std::getenv("HOME")));
    if (!logs.note.empty()) {
        std::fprintf(stderr, "pelorin: %s\n", logs.note.c_str());
    }
    options.trace_file = logs.trace_file;
    options.injection_log = logs.injection_log;
    std::string rotation_failure;
    if (!rotate_injection_log(options.injection_log, &rotation_failure)) {
        std::fprintf(stderr, "pelorin: %s; this run's injections are appended to it\n",
                     rotation_failure.c_str());
    }

    std::error_code ignored; // nothing writes it; a file left by another program is removed
    std::filesystem::remove("ttpc.out", ignored);

    auto thread = TOrvikThread::Create<TSineWaveThread>(options);
    if (thread->BuildFailed()) {
        const std::string why = thread->BuildError();
        thread.reset(); // disposes of the half-built model
        show_startup_error(nullptr, why);
        return -1;
    }
    for (const std::string& warning : thread->BuildWarnings()) {
        std::fprintf(stderr, "pelorin: warning: %s\n", warning.c_str());
    }
    TMainForm form(options, std::move(thread));
    form.show();
    if (!options.lesson.title.empty() || !options.replay.empty()) {
        form.ObserverClick(); // where the lesson's captions appear, and what the replayed run does
    }
    if (options.stop_before_step.value_or(0) > 0) {
        form.Thread()->Run(); // unpaced to just before the injection, where it stops of itself
    }
    if (parser.isSet(screenshot_option)) {
        take_screenshot_after(&form, parser.value(screenshot_option), cycles, false);
    } else if (parser.isSet(observer_screenshot_option)) {
        take_screenshot_after(&form, parser.value(observer_screenshot_option), cycles, true);
    }
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    if (asks_only_for_text(argc, argv) && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen"); // help and version also over a terminal without a display
    } else if (!has_display()) {
        std::fprintf(stderr, "pelorin: no display to show the window on (DISPLAY and WAYLAND_DISPLAY are not "
                             "set); pelorin-sim runs the cluster without a window\n");
        return EXIT_NO_DISPLAY;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(APPLICATION_NAME);
    QApplication::setStyle("Fusion");
    try {
        return run(app);
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, APPLICATION_NAME, QString::fromUtf8(e.what()));
        return 1;
    }
}
