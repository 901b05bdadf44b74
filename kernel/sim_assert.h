// Programming-error checks of the model: field widths and internal invariants.
//
// A record field of width n holds values 0 .. bit_mask(n). Writing a wider value is a bug in the caller,
// never an input error: every writer in the model keeps its values in range by construction or by masking.
// Such a bug ends the run with one line on the standard error stream,
//
//     Assertion failed: _value <= bit_mask(9), file ttpc\fp1cstat, line 41
//
// naming the expression, the source module of the record and the line of the check. Input files and
// injected faults never reach this path: readers reject bad files with messages, and getters mask.
#pragma once

#include <cstdint>

/// The mask of the low `width` bits (width 0..32).
constexpr uint32_t bit_mask(unsigned width) {
    return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1u;
}

/// Prints the assertion line and ends the run (abort). Never returns.
[[noreturn]] void assertion_failed(const char* expression, const char* source, unsigned line);

/// The check of every width-checked setter: value must fit in `width` bits, else
/// "_value <= bit_mask(<width>)" is reported for `source` at the caller's line.
void width_failed(unsigned width, const char* source, unsigned line);

// The line of the check is the caller's: __builtin_LINE() as a default argument is evaluated where the
// function is called (GCC and Clang).
inline void check_width(uint32_t value, unsigned width, const char* source,
                        unsigned line = __builtin_LINE()) {
    if (value > bit_mask(width)) {
        width_failed(width, source, line);
    }
}

/// A named invariant such as "channel->receiver_count < MAX_SRU_COUNT".
inline void sim_assert(bool holds, const char* expression, const char* source,
                       unsigned line = __builtin_LINE()) {
    if (!holds) {
        assertion_failed(expression, source, line);
    }
}
