#include "kernel/trace.h"

#include "kernel/fnv.h"
#include "kernel/kernel_state.h"

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* DEFAULT_TRACE_FILE = "debug.txt";
constexpr size_t LINE_BUFFER_BYTES = 2048;

/// Set by the directory change notification; tells the next line to check that its file still exists.
volatile sig_atomic_t directory_changed = 0;

void on_directory_change(int) {
    directory_changed = 1;
}

struct TraceSink {
    std::string path = DEFAULT_TRACE_FILE;
    bool to_file = true;
    int fd = -1;           // the open trace file; -1 until the first line or after a failure
    int directory_fd = -1; // the file's directory, watched for removals and renames
    bool watched = false;  // directory notifications are armed; otherwise every line checks the file
    bool hashing = false;
    uint64_t hash = FNV_OFFSET;
    uint64_t lines = 0;
    std::string failure; // the first open or write that failed since the sink was set
    char line[LINE_BUFFER_BYTES];
    char stamp[64]; // "%10.4f: " of stamp_time
    size_t stamp_length = 0;
    double stamp_time = 0.0;
};

TraceSink sink;

int notification_signal() {
    return SIGRTMIN + 4;
}

void close_sink() {
    if (sink.fd >= 0) {
        close(sink.fd);
        sink.fd = -1;
    }
    if (sink.directory_fd >= 0) {
        close(sink.directory_fd);
        sink.directory_fd = -1;
    }
    sink.watched = false;
}

/// Arms a change notification on the directory of the trace file (deletions and renames).
void watch_directory() {
    static bool handler_installed = false;
    if (!handler_installed) {
        struct sigaction action = {};
        action.sa_handler = on_directory_change;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        handler_installed = sigaction(notification_signal(), &action, nullptr) == 0;
        if (!handler_installed) {
            return;
        }
    }
    std::string directory = ".";
    size_t slash = sink.path.rfind('/');
    if (slash != std::string::npos) {
        directory = slash == 0 ? "/" : sink.path.substr(0, slash);
    }
    sink.directory_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (sink.directory_fd < 0) {
        return;
    }
    sink.watched = fcntl(sink.directory_fd, F_SETSIG, notification_signal()) == 0 &&
                   fcntl(sink.directory_fd, F_NOTIFY, DN_DELETE | DN_RENAME | DN_MULTISHOT) == 0;
}

/// Keeps the first failure of the sink, with the system's reason.
void note_failure(const char* what) {
    if (sink.failure.empty()) {
        sink.failure = sink.path + ": " + what + " (" + std::strerror(errno) + ")";
    }
}

void open_sink() {
    close_sink();
    sink.fd = open(sink.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (sink.fd >= 0) {
        directory_changed = 0;
        watch_directory();
    } else {
        note_failure("the trace cannot be opened for appending");
    }
}

/// True while the open descriptor still names the file at the trace path.
bool file_still_there() {
    struct stat open_file;
    if (fstat(sink.fd, &open_file) != 0 || open_file.st_nlink == 0) {
        return false;
    }
    if (!sink.watched) {
        return true; // without notifications only a removal is noticed
    }
    struct stat named;
    return stat(sink.path.c_str(), &named) == 0 && named.st_ino == open_file.st_ino &&
           named.st_dev == open_file.st_dev;
}

void emit(const char* bytes, size_t length) {
    if (sink.hashing) {
        sink.hash = fnv1a(sink.hash, bytes, length);
    }
    if (!sink.to_file) {
        return;
    }
    if (sink.fd < 0) {
        open_sink();
    } else if (!sink.watched || directory_changed) {
        directory_changed = 0;
        if (!file_still_there()) {
            open_sink();
        }
    }
    if (sink.fd < 0) {
        return; // the file cannot be opened: the line is dropped and the simulation goes on
    }
    while (length > 0) {
        ssize_t written = write(sink.fd, bytes, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            note_failure("the trace cannot be written");
            return;
        }
        bytes += written;
        length -= static_cast<size_t>(written);
    }
}

/// Formats prefix (may be empty) plus format into one buffer and emits it as one write.
void emit_formatted(size_t prefix_length, const char* format, va_list arguments) {
    va_list again;
    va_copy(again, arguments);
    size_t room = sizeof sink.line - prefix_length;
    int body = std::vsnprintf(sink.line + prefix_length, room, format, arguments);
    if (body < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(body) < room) {
        emit(sink.line, prefix_length + static_cast<size_t>(body));
    } else {
        std::string long_line(sink.line, prefix_length);
        long_line.resize(prefix_length + static_cast<size_t>(body) + 1);
        std::vsnprintf(long_line.data() + prefix_length, static_cast<size_t>(body) + 1, format, again);
        emit(long_line.data(), prefix_length + static_cast<size_t>(body));
    }
    va_end(again);
    sink.lines += 1;
}

const char* object_name(const SimObject* object) {
    return object != nullptr && object->name != nullptr ? object->name : "UNDEFINED";
}

} // namespace

bool trace_lines_wanted = true;

bool trace_active() {
    return trace_lines_wanted;
}

namespace {

void update_wanted() {
    trace_lines_wanted = sink.to_file || sink.hashing;
}

void write_line(const SimObject* object, const char* format, va_list arguments) {
    if (!trace_lines_wanted || kernel.time < 0.0) {
        return;
    }
    // Many lines share one simulated time: its text is formatted once and reused.
    if (kernel.time != sink.stamp_time || sink.stamp_length == 0) {
        int length = std::snprintf(sink.stamp, sizeof sink.stamp, "%10.4f: ", kernel.time);
        if (length < 0 || static_cast<size_t>(length) >= sizeof sink.stamp) {
            return;
        }
        sink.stamp_time = kernel.time;
        sink.stamp_length = static_cast<size_t>(length);
    }
    const char* name = object_name(object);
    size_t name_length = std::strlen(name);
    if (sink.stamp_length + name_length + 2 >= sizeof sink.line / 2) {
        return;
    }
    std::memcpy(sink.line, sink.stamp, sink.stamp_length);
    std::memcpy(sink.line + sink.stamp_length, name, name_length);
    size_t prefix = sink.stamp_length + name_length;
    sink.line[prefix++] = ':';
    sink.line[prefix++] = ' ';
    emit_formatted(prefix, format, arguments);
}

} // namespace

void trace_line(const SimObject* object, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_line(object, format, arguments);
    va_end(arguments);
}

#if !(defined(__GNUC__) && !defined(__clang__))
void trace(const SimObject* object, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    write_line(object, format, arguments);
    va_end(arguments);
}
#endif

void trace_raw(const char* format, ...) {
    if (!trace_active() || kernel.time < 0.0) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    emit_formatted(0, format, arguments);
    va_end(arguments);
}

void trace_to_file(const char* path) {
    close_sink();
    sink.failure.clear();
    sink.path = path;
    sink.to_file = true;
    update_wanted();
}

void trace_off() {
    close_sink();
    sink.failure.clear();
    sink.to_file = false;
    update_wanted();
}

void trace_fingerprint_start() {
    sink.hashing = true;
    sink.hash = FNV_OFFSET;
    sink.lines = 0;
    update_wanted();
}

void trace_fingerprint_stop() {
    sink.hashing = false;
    update_wanted();
}
uint64_t trace_fingerprint() {
    return sink.hash;
}
uint64_t trace_fingerprint_lines() {
    return sink.lines;
}
void trace_fingerprint_resume(uint64_t hash, uint64_t lines) {
    if (sink.hashing) {
        sink.hash = hash;
        sink.lines = lines;
    }
}

const std::string& trace_failure() {
    return sink.failure;
}

// --- State names -----------------------------------------------------------------------------------------

const char* ack_state_name(unsigned value) {
    static const char* const names[] = {"OK         ", "SEND       ", "CHECK1     ",
                                        "CHECK2     ", "ERROR      ", "DBL_FAILURE"};
    return value < sizeof names / sizeof names[0] ? names[value] : "Unknown!";
}

const char* ctrl_state_name(unsigned value) {
    static const char* const names[] = {nullptr,       "INIT       ", "LISTEN     ", "COLDSTART  ",
                                        "STARTUP    ", "APPLICATION", "READY      ", "PASSIVE    ",
                                        "AWAIT      ", "SELFTEST   ", "FREEZE     ", nullptr,
                                        "DOWNLOAD   "};
    if (value < sizeof names / sizeof names[0] && names[value] != nullptr) {
        return names[value];
    }
    return "Unknown!";
}

// --- Object views ----------------------------------------------------------------------------------------

namespace {

/// One reference line in the view's three forms: null, with the neighbour's name, or the address alone.
void view_reference(std::FILE* out, const char* field, const SimObject* target) {
    if (target == nullptr) {
        std::fprintf(out, "%s : %s \n", field, "NULL");
    } else if (target->name != nullptr) {
        std::fprintf(out, "%s : %p - (%s)\n", field, static_cast<const void*>(target), target->name);
    } else {
        std::fprintf(out, "%s : %p \n", field, static_cast<const void*>(target));
    }
}

const char* kind_name(char tag) {
    switch (tag) {
    case KIND_HEAD:
        return "HEAD";
    case KIND_LINK:
        return "LINK";
    case KIND_PROCESS:
        return "PROCESS";
    default:
        return "DYN_MEM";
    }
}

bool is_standard_view(SimView routine) {
    return routine == view_dyn_mem || routine == view_link || routine == view_head || routine == view_process;
}

const char* process_state_name(uint8_t value) {
    static const char* const names[] = {"NEW_PASSIVE", "NEW_PLANNED", "PLANNED",
                                        "ACTIVE",      "PASSIVE",     "TERMINATED"};
    return value < sizeof names / sizeof names[0] ? names[value] : "UNKNOWN";
}

} // namespace

void view(const SimObject* object) {
    view_to(object, stdout);
}

void view_to(const SimObject* object, std::FILE* out) {
    if (object != nullptr && object->view != nullptr) {
        object->view(object, out);
    }
}

void view_dyn_mem(const SimObject* object, std::FILE* out) {
    std::fprintf(out, "name : %s \n", object->name != nullptr ? object->name : "UNDEFINED");
    std::fprintf(out, "type : %s \n", kind_name(object->type));
    std::fprintf(out, "destructor : %s \n", object->destructor != nullptr ? "YES" : "NO");
    std::fprintf(out, "view : %s \n",
                 object->view == nullptr          ? "NO"
                 : is_standard_view(object->view) ? "STANDARD"
                                                  : "USERS");
}

void view_link(const SimObject* object, std::FILE* out) {
    view_dyn_mem(object, out);
    const auto* link = static_cast<const SimLink*>(object);
    view_reference(out, "suc", link->suc);
    view_reference(out, "pred", link->pred);
    view_reference(out, "head", link->head);
}

void view_head(const SimObject* object, std::FILE* out) {
    view_link(object, out);
    const auto* head = static_cast<const SimHead*>(object);
    view_reference(out, "p_first", head->p_first);
    view_reference(out, "p_last", head->p_last);
    std::fprintf(out, "lq : %u \n", head->lq);
    std::fprintf(out, "statistics : %s \n", head->statistics == 1 ? "TRUE" : "FALSE");
}

void view_process(const SimObject* object, std::FILE* out) {
    view_link(object, out);
    const auto* process = static_cast<const SimProcess*>(object);
    view_reference(out, "suc_in_sqs", process->suc_in_sqs);
    view_reference(out, "pred_in_sqs", process->pred_in_sqs);
    std::fprintf(out, "state : %s \n", process_state_name(process->state));
    std::fprintf(out, "evtime : %f \n", process->evtime);
    std::fprintf(out, "statistics : %s \n", process->statistics == 1 ? "TRUE" : "FALSE");
}
