#include "ui/log_directory.h"

#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace {

constexpr const char* STATE_SUBDIRECTORY = "pelorin";
constexpr const char* TRACE_FILE = "debug.txt";
constexpr const char* INJECTION_LOG = "injections.csv";
constexpr const char* DEFAULT_STATE_HOME = ".local/state";

bool is_absolute_path(const char* path) {
    return path != nullptr && path[0] == '/';
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
