// The trace log, the protocol's fixed-width state names, and the kernel's object views.
//
// The model documents every protocol event, mode change, error, bus guardian action, host task and laser
// shot in a plain-text trace. A line written by trace() is
//
//     "%10.4f: %s: " with the simulated time and the object's name, then the caller's format and arguments
//
// and the caller supplies the line end. trace_raw() continues a line without the prefix. Nothing is
// written while the simulated time is below 0.
//
// The sink. By default lines are appended to "debug.txt" in the working directory; the file is never
// truncated. Every line is in the file when the call returns (one write system call per line), and a file
// that is removed or renamed between two lines is created again for the next one. The file is kept open;
// removal is noticed through a directory change notification (checked before each line at the cost of one
// flag test), with a status check per line as fallback where notifications are not available.
// trace_to_file() directs the trace to another file, trace_off() to nothing (tests, benchmarks, the headless
// runner). The optional fingerprint hashes every byte of the trace, whether or not it reaches a file, so that
// two runs can be compared cheaply.
#pragma once

#include "kernel/sim_object.h"

#include <cstdint>
#include <cstdio>
#include <string>

/// True while lines are formatted at all (a file sink or the fingerprint is active).
extern bool trace_lines_wanted;

/// Formats and writes one prefixed line; what trace() calls when lines are wanted.
void trace_line(const SimObject* object, const char* format, ...) __attribute__((format(printf, 2, 3)));

#if defined(__GNUC__) && !defined(__clang__)
/// Writes one prefixed trace line (format supplies the line end). The test of the sink is inlined into
/// every caller, so a run without a trace pays one flag test per line instead of a variadic call.
extern inline __attribute__((gnu_inline, always_inline, format(printf, 2, 3))) void
trace(const SimObject* object, const char* format, ...) {
    if (trace_lines_wanted) {
        trace_line(object, format, __builtin_va_arg_pack());
    }
}
#else
void trace(const SimObject* object, const char* format, ...) __attribute__((format(printf, 2, 3)));
#endif
/// Writes format and arguments without prefix.
void trace_raw(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Appends the trace to `path` from the next line on (the default is "debug.txt").
void trace_to_file(const char* path);
/// Writes no trace from the next line on.
void trace_off();
/// True when lines are formatted at all (trace_lines_wanted).
bool trace_active();
/// Why the trace file could not be opened or written since the sink was last set ("path: the trace cannot
/// be written (No space left on device)"); empty while every line has reached it. A line that cannot be
/// written is dropped and the next one is tried again; a front end that must not lose lines ends its run
/// when this is set.
const std::string& trace_failure();

/// Starts hashing every traced byte from now on (reset to the initial value); see trace_fingerprint.
void trace_fingerprint_start();
void trace_fingerprint_stop();
/// 64-bit FNV-1a hash of the bytes traced since trace_fingerprint_start, and the number of lines.
uint64_t trace_fingerprint();
uint64_t trace_fingerprint_lines();
/// While hashing: goes on from a hash and line count taken earlier (a run put back to a checkpoint goes on
/// with the fingerprint it had there).
void trace_fingerprint_resume(uint64_t hash, uint64_t lines);

/// Acknowledgement state names, 11 characters each ("OK         " .. "DBL_FAILURE"); other values "Unknown!".
const char* ack_state_name(unsigned value);
/// Controller state names, 11 characters each ("INIT       " .. "DOWNLOAD   "); 0, 11 and above 12
/// give "Unknown!".
const char* ctrl_state_name(unsigned value);

/// Prints an object with its view routine to the standard output stream.
void view(const SimObject* object);
/// Prints an object with its view routine to `out`.
void view_to(const SimObject* object, std::FILE* out);

/// The kernel's standard views, one field per line.
void view_dyn_mem(const SimObject* object, std::FILE* out);
void view_link(const SimObject* object, std::FILE* out);
void view_head(const SimObject* object, std::FILE* out);
void view_process(const SimObject* object, std::FILE* out);
