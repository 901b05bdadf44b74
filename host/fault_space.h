// The fault space of a target as the golden run uses it: when each bit a fault may hit (a set bit of the
// target's fault mask, in O1's area) is read and when it is written.
//
// A FaultSpaceLog is an access recorder (kernel/access_recorder.h) for one area: it keeps, per bit,
//   - the kernel step of its last use (a read or a write; a counter's carry is neither): after that step a
//     difference in the bit changes nothing but the bit itself (and, through carries, the rest of its
//     counter), so an experiment whose state differs from the golden one only there ends as the golden run
//     does, with that difference in its final state (the campaigns' early stop uses it);
//   - the counter fields it was carried in (the bits a difference in it can spread to);
//   - from a window's start on (start_intervals), its intervals between accesses: [from, to) up to the time
//   of
//     the next step that accesses the bit, with how that step's first access uses it (read or write) and the
//     bit's value in the interval. A bit's intervals cover the window without gaps; the last one runs past
//     the window's end to the bit's next access, or to the horizon when nothing touches it again (end NONE).
//
// Why an interval stands for all its faults. A fault at time x is injected after every event at or before x,
// that is before the first step later than x. For x in [from, to) that step lies after the step that opened
// the interval and no later than the step that closes it, and no step in between touches the bit: every
// such fault leaves the run exactly as the golden run until the closing step, with the bit changed, so all
// of them behave as one injection just before the closing step (the interval's representative). If that
// step's first access writes the bit, the fault vanishes (no effect); if it reads or carries it, one
// experiment tells the outcome of the whole interval; if nothing touches the bit before the horizon, the
// fault stays latent (masked: the final state differs, nothing else does). Only the first access of a step
// counts: nothing can be injected between two accesses of the same step.
//
// Accesses are attributed to the step in progress, or, between steps, to the step just run (the driver's
// sampling hooks read between steps, before any injection at that point). The value of a bit is the one the
// first access of the closing step finds (the recorder is called before the access).
#pragma once

#include "kernel/access_recorder.h"

#include <cstddef>
#include <cstdint>
#include <vector>

enum class IntervalEnd : uint8_t { READ, WRITE, CARRY, NONE };

/// One interval of one bit between two accesses of the golden run.
struct BitInterval {
    uint32_t word;
    uint32_t bit;
    double from_us;  // start: the time of the step that opened it, or the window's start
    double to_us;    // end: the time of the step that closes it, or the horizon (end NONE)
    uint64_t step;   // the closing step (kernel step number, 1-based); 0 for end NONE
    IntervalEnd end; // how the closing step first accesses the bit
    uint8_t value;   // the bit's golden value in the interval
};

constexpr unsigned WORD_BITS = 32;

struct FaultSpaceLog : AccessRecorder {
    const uint8_t* base = nullptr;     // the area
    size_t size = 0;                   // its bytes
    const uint32_t* mask;              // per word: the bits a fault may hit
    uint32_t word_count;               //
    std::vector<uint64_t> last_use;    // per word * 32 + bit: the step of its last read or write; 0: none yet
    std::vector<uint32_t> carry_field; // per word * 32 + bit: the bits of its word it was carried with
    // Intervals, from start_intervals on.
    bool recording_intervals;
    double window_from_us;
    double window_to_us;
    std::vector<uint64_t> open_step; // per bit: the step that opened its present interval (UINT64_MAX: none)
    std::vector<double> open_from;   // per bit: the present interval's start
    std::vector<uint8_t> open;       // per bit: its intervals are still being recorded
    std::vector<BitInterval> intervals;
};

/// A watch of bits from chosen points of a run on: how the first access to each bit after its point uses it.
/// A fault injected into the bit at that point vanishes when that access writes the bit (it is overwritten
/// before anything reads it: the run goes on as the golden run); a read or carry uses it; with no access
/// before the horizon it stays latent. Only the first access counts, whichever step makes it.
struct BitWatch : AccessRecorder {
    const uint8_t* base = nullptr;              // the area
    size_t size = 0;                            // its bytes
    std::vector<uint32_t> watched;              // per word: the bits some watcher waits on
    std::vector<std::vector<uint32_t>> waiting; // per word * 32 + bit: the watchers waiting on it
    std::vector<IntervalEnd> first_access;      // per watcher: READ, WRITE, CARRY, or NONE (none yet)
};

/// Prepares a watch of the area of `word_count` words at `base`; it records once access_recorder points at
/// it.
void start_bit_watch(BitWatch* watch, const uint32_t* base, uint32_t word_count);
/// Watches bit `bit` of word `word` from now on (between steps); returns the watcher's number.
uint32_t watch_bit(BitWatch* watch, uint32_t word, uint32_t bit);

/// Prepares a log of the area of `word_count` words at `base` with `mask`; it records once access_recorder
/// points at it.
void start_fault_space_log(FaultSpaceLog* log, const uint32_t* base, const uint32_t* mask,
                           uint32_t word_count);
/// From now on (between steps: after the last event at or before window_from_us) records every mask bit's
/// intervals, the first starting at window_from_us, until its first access at or after `window_to_us`.
void start_intervals(FaultSpaceLog* log, double window_from_us, double window_to_us);
/// At the horizon: every bit still open gets its last interval, latent (end NONE), up to `horizon_us`.
void finish_intervals(FaultSpaceLog* log, double horizon_us);
/// The part of an interval inside the window, in microseconds.
double interval_weight(const BitInterval& interval, double window_from_us, double window_to_us);
/// Whether a difference in bits `bits` of word `word`, present after step `step`, stays in that word and goes
/// nowhere else until the horizon: the bits, with every bit of the counters they are carried in, are mask
/// bits that nothing reads or writes after `step`. `last_use` and `carry_field` are a log's tables.
bool difference_stays(const std::vector<uint64_t>& last_use, const std::vector<uint32_t>& carry_field,
                      const uint32_t* mask, uint32_t word, uint32_t bits, uint64_t step);
