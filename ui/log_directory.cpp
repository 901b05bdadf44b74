#include "ui/log_directory.h"

#include "host/injection_log.h"

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace {

constexpr const char* STATE_SUBDIRECTORY = "pelorin";
constexpr const char* TRACE_FILE = "debug.txt";
constexpr const char* INJECTION_LOG = "injections.csv";
constexpr const char* DEFAULT_STATE_HOME = ".local/state";

constexpr const char* PREVIOUS_RUN_MARK = ".1";
constexpr double BYTE_UNIT_STEP = 1000.0;
constexpr std::array<const char*, 5> BYTE_UNITS = {"bytes", "kB", "MB", "GB", "TB"};
constexpr double TWO_DIGITS = 10.0;    // below: two decimals
constexpr double THREE_DIGITS = 100.0; // below: one decimal

bool is_absolute_path(const char* path) {
    return path != nullptr && path[0] == '/';
}

/// True when the file's first line is the injection log's header (read no further: a log can be large).
bool begins_as_injection_log(const std::string& path) {
    std::ifstream in(path);
    std::string first;
    if (!std::getline(in, first)) {
        return false;
    }
    if (!first.empty() && first.back() == '\r') {
        first.pop_back();
    }
    return first == INJECTION_LOG_FORMAT_LINE || first == INJECTION_CSV_HEADER; // either format
}

/// "name, size" of a log file; "name, not written yet" when it does not exist.
std::string file_and_size(const std::string& path) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    return path + ", " + (error ? std::string("not written yet") : format_byte_size(size));
}

} // namespace

std::string user_state_directory(const char* xdg_state_home, const char* home) {
    // A relative XDG_STATE_HOME is invalid and ignored, as the base directory convention asks.
    if (is_absolute_path(xdg_state_home)) {
        return (std::filesystem::path(xdg_state_home) / STATE_SUBDIRECTORY).string();
    }
    if (is_absolute_path(home)) {
        return (std::filesystem::path(home) / DEFAULT_STATE_HOME / STATE_SUBDIRECTORY).string();
    }
    return "";
}

std::string choose_log_directory(bool working_directory_writable, const std::string& state_directory,
                                 std::string* why) {
    if (working_directory_writable) {
        return ".";
    }
    if (state_directory.empty()) {
        if (why != nullptr) {
            *why = "the working directory is not writable and neither XDG_STATE_HOME nor HOME names a folder";
        }
        return "";
    }
    std::error_code error;
    std::filesystem::create_directories(state_directory, error);
    if (error || !is_writable_directory(state_directory.c_str())) {
        if (why != nullptr) {
            *why = "the working directory is not writable and " + state_directory +
                   (error ? " cannot be created: " + error.message() : " is not writable");
        }
        return "";
    }
    return state_directory;
}

bool is_writable_directory(const char* directory) {
    std::error_code ignored;
    return std::filesystem::is_directory(directory, ignored) && access(directory, W_OK | X_OK) == 0;
}

WindowLogFiles window_log_files(const std::string& trace_option, bool no_trace,
                                bool working_directory_writable, const std::string& state_directory) {
    WindowLogFiles files;
    std::string why;
    const std::string folder = choose_log_directory(working_directory_writable, state_directory, &why);
    if (folder.empty()) {
        files.note = why + "; running without the default trace and injection log";
    } else if (folder != ".") {
        files.note = "the working directory is not writable; logs go to " + folder;
    }
    const auto in_folder = [&folder](const char* name) -> std::string {
        if (folder.empty()) {
            return "";
        }
        return folder == "." ? name : (std::filesystem::path(folder) / name).string();
    };
    if (!no_trace) {
        files.trace_file = trace_option.empty() ? in_folder(TRACE_FILE) : trace_option;
    }
    files.injection_log = in_folder(INJECTION_LOG);
    return files;
}

std::string previous_injection_log(const std::string& path) {
    if (path.empty()) {
        return "";
    }
    const std::filesystem::path p(path);
    std::filesystem::path kept = p;
    kept.replace_filename(p.stem().string() + PREVIOUS_RUN_MARK + p.extension().string());
    return kept.string();
}

bool rotate_injection_log(const std::string& path, std::string* why) {
    std::error_code error;
    if (path.empty() || !std::filesystem::is_regular_file(path, error) || !begins_as_injection_log(path)) {
        return true; // nothing of ours to move
    }
    const std::string kept = previous_injection_log(path);
    std::filesystem::rename(path, kept, error);
    if (error) {
        if (why != nullptr) {
            *why = path + " cannot be moved to " + kept + ": " + error.message();
        }
        return false;
    }
    return true;
}

std::string format_byte_size(uint64_t bytes) {
    if (bytes < BYTE_UNIT_STEP) {
        return std::to_string(bytes) + " bytes";
    }
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= BYTE_UNIT_STEP && unit + 1 < BYTE_UNITS.size()) {
        value /= BYTE_UNIT_STEP;
        unit += 1;
    }
    char text[32];
    const int decimals = value < TWO_DIGITS ? 2 : value < THREE_DIGITS ? 1 : 0;
    std::snprintf(text, sizeof text, "%.*f %s", decimals, value, BYTE_UNITS[unit]);
    return text;
}

std::string log_sizes_text(const std::string& trace_file, const std::string& injection_log) {
    std::string text = trace_file.empty()
                           ? std::string("Trace: none")
                           : "Trace: " + file_and_size(trace_file) +
                                 " (appended by every run; pelorin --trace FILE writes it elsewhere, "
                                 "--no-trace not at all)";
    text += injection_log.empty()
                ? std::string("; injections: not logged")
                : "; injections: " + file_and_size(injection_log) + " (this run's; the previous run's is " +
                      previous_injection_log(injection_log) + ")";
    return text;
}
