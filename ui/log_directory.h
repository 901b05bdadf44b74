// Where the window writes its trace ("debug.txt") and its injection log ("injections.csv") when the command
// line names no other file.
//
// The working directory when the user may create files there, as a program started from a terminal always
// has. Started from the desktop's menu, the working directory can be one the user cannot write (the root
// directory, a folder of the installation); the logs then go to the user's state folder for Pelorin,
// $XDG_STATE_HOME/pelorin, or ~/.local/state/pelorin when XDG_STATE_HOME is unset or not an absolute path,
// created when missing. No Qt, so it is tested without a display.
//
// Their growth. The trace is appended by every run, as it always was; the window says how large it has
// grown (log_sizes_text). The injection log starts fresh with every start of the program, like the
// runner's: the log of the run before is kept beside it as "injections.1.csv", replacing an older one, so
// a day of runs leaves two runs' logs at most, and the newest log holds one run (pelorin-sim --replay
// takes it). Rewind within one run of the program appends to the same log.
#pragma once

#include <cstdint>
#include <string>

/// The user's state folder for Pelorin: `xdg_state_home`/pelorin when that is an absolute path, else
/// `home`/.local/state/pelorin when `home` is an absolute path, else "" (no such folder).
std::string user_state_directory(const char* xdg_state_home, const char* home);

/// The folder for the window's logs: "." when `working_directory_writable`; otherwise `state_directory`,
/// created with its parents when missing. "" when neither can take the logs, and `why` (if given) then
/// names the folder tried and the reason.
std::string choose_log_directory(bool working_directory_writable, const std::string& state_directory,
                                 std::string* why = nullptr);

/// True when this process may create files in `directory` (a read-only file system counts as not).
bool is_writable_directory(const char* directory);

/// The window's two log files.
struct WindowLogFiles {
    std::string trace_file;    // "" = no trace
    std::string injection_log; // "" = no injection log
    std::string note;          // for the user when the logs are not in the working directory; "" otherwise
};

/// The window's log files: the trace is `trace_option` when that names a file, none when `no_trace`, else
/// "debug.txt" in the log folder (choose_log_directory); the injection log is "injections.csv" in the log
/// folder. Without a log folder there is neither default file, and `note` says why.
WindowLogFiles window_log_files(const std::string& trace_option, bool no_trace,
                                bool working_directory_writable, const std::string& state_directory);

/// Where the injection log `path` keeps the log of the program's previous run: ".1" before its ending
/// ("injections.csv" -> "injections.1.csv"); "" for "".
std::string previous_injection_log(const std::string& path);

/// At the program's start: moves the injection log at `path`, if there is one, to
/// previous_injection_log(path), replacing what was there, so this run's log starts fresh. A file there that
/// does not begin as an injection log (with the log's header) is left alone, as is a missing one. False
/// with the reason when the move failed.
bool rotate_injection_log(const std::string& path, std::string* why);

/// A file size for people: "0 bytes", "512 bytes", "12.3 kB", "1.25 GB" (decimal units, three digits).
std::string format_byte_size(uint64_t bytes);

/// One line on the window's logs and their sizes now, for a tooltip or a status line: the trace (appended
/// by every run, or none) and this run's injection log with where the previous run's is kept.
std::string log_sizes_text(const std::string& trace_file, const std::string& injection_log);
