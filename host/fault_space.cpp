#include "host/fault_space.h"

#include "kernel/sim_process.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

constexpr size_t WORD_BYTES = sizeof(uint32_t);
constexpr unsigned BYTE_BITS = 8;

size_t bit_index(uint32_t word, uint32_t bit) {
    return size_t{word} * WORD_BITS + bit;
}

constexpr IntervalEnd INTERVAL_END[] = {IntervalEnd::READ, IntervalEnd::WRITE, IntervalEnd::CARRY};

void note_bit(FaultSpaceLog* log, uint32_t word, uint32_t bit, uint32_t bits, AccessKind kind, uint32_t value,
              uint64_t step, double now) {
    const size_t i = bit_index(word, bit);
    if (kind == ACCESS_CARRY) {
        log->carry_field[i] |= bits;
    } else {
        log->last_use[i] = step;
    }
    if (!log->recording_intervals || log->open[i] == 0 || log->open_step[i] == step) {
        return; // not recording, or not the first access of its step
    }
    log->intervals.push_back({word, bit, log->open_from[i], now, step, INTERVAL_END[kind],
                              static_cast<uint8_t>((value >> bit) & 1u)});
    log->open_step[i] = step;
    log->open_from[i] = now;
    if (now >= log->window_to_us) {
        log->open[i] = 0; // this interval reaches past the window: the bit's last one
    }
}

/// `bits` of word `word` of the area.
void note_word(FaultSpaceLog* log, uint32_t word, uint32_t bits, AccessKind kind) {
    uint32_t hit = bits & log->mask[word];
    if (hit == 0) {
        return;
    }
    uint32_t value;
    std::memcpy(&value, log->base + size_t{word} * WORD_BYTES, sizeof value);
    const uint64_t step = step_count();
    const double now = sim_time();
    for (uint32_t rest = hit; rest != 0; rest &= rest - 1) {
        note_bit(log, word, static_cast<uint32_t>(std::countr_zero(rest)), bits, kind, value, step, now);
    }
}

void record_bits(AccessRecorder* recorder, const void* word, uint32_t bits, AccessKind kind) {
    auto* log = static_cast<FaultSpaceLog*>(recorder);
    const auto* at = static_cast<const uint8_t*>(word);
    if (at < log->base || at >= log->base + log->size) {
        return;
    }
    note_word(log, static_cast<uint32_t>((at - log->base) / WORD_BYTES), bits, kind);
}

/// Calls `note(word, bits)` for every word of the area [base, base + area_size) that [begin, begin + size)
/// covers, with the bits it covers.
template <class Note>
void for_area_words(const uint8_t* base, size_t area_size, const void* begin, size_t size, Note note) {
    const auto* first = std::max(static_cast<const uint8_t*>(begin), base);
    const auto* end = std::min(static_cast<const uint8_t*>(begin) + size, base + area_size);
    for (const uint8_t* at = first; at < end;) {
        const size_t offset = static_cast<size_t>(at - base);
        const size_t in_word = offset % WORD_BYTES;
        const size_t bytes = std::min<size_t>(WORD_BYTES - in_word, static_cast<size_t>(end - at));
        const uint32_t bits = (bytes == WORD_BYTES ? ALL_WORD_BITS : (1u << (BYTE_BITS * bytes)) - 1u)
                              << (BYTE_BITS * in_word);
        note(static_cast<uint32_t>(offset / WORD_BYTES), bits);
        at += bytes;
    }
}

void record_bytes(AccessRecorder* recorder, const void* begin, size_t size, AccessKind kind) {
    auto* log = static_cast<FaultSpaceLog*>(recorder);
    for_area_words(log->base, log->size, begin, size,
                   [log, kind](uint32_t word, uint32_t bits) { note_word(log, word, bits, kind); });
}

/// The first access to watched bits of `word` since they were watched settles their watchers.
void settle_watched(BitWatch* watch, uint32_t word, uint32_t bits, AccessKind kind) {
    const uint32_t hit = bits & watch->watched[word];
    if (hit == 0) {
        return;
    }
    watch->watched[word] &= ~hit;
    for (uint32_t rest = hit; rest != 0; rest &= rest - 1) {
        std::vector<uint32_t>& waiting =
            watch->waiting[bit_index(word, static_cast<uint32_t>(std::countr_zero(rest)))];
        for (uint32_t watcher : waiting) {
            watch->first_access[watcher] = INTERVAL_END[kind];
        }
        waiting.clear();
    }
}

void watch_bits(AccessRecorder* recorder, const void* word, uint32_t bits, AccessKind kind) {
    auto* watch = static_cast<BitWatch*>(recorder);
    const auto* at = static_cast<const uint8_t*>(word);
    if (at >= watch->base && at < watch->base + watch->size) {
        settle_watched(watch, static_cast<uint32_t>((at - watch->base) / WORD_BYTES), bits, kind);
    }
}

void watch_bytes(AccessRecorder* recorder, const void* begin, size_t size, AccessKind kind) {
    auto* watch = static_cast<BitWatch*>(recorder);
    for_area_words(watch->base, watch->size, begin, size,
                   [watch, kind](uint32_t word, uint32_t bits) { settle_watched(watch, word, bits, kind); });
}

} // namespace

void start_fault_space_log(FaultSpaceLog* log, const uint32_t* base, const uint32_t* mask,
                           uint32_t word_count) {
    log->bits = record_bits;
    log->bytes = record_bytes;
    log->base = reinterpret_cast<const uint8_t*>(base);
    log->size = size_t{word_count} * WORD_BYTES;
    log->mask = mask;
    log->word_count = word_count;
    log->last_use.assign(size_t{word_count} * WORD_BITS, 0);
    log->carry_field.assign(size_t{word_count} * WORD_BITS, 0);
    log->recording_intervals = false;
    log->intervals.clear();
}

void start_intervals(FaultSpaceLog* log, double window_from_us, double window_to_us) {
    const size_t bits = size_t{log->word_count} * WORD_BITS;
    log->recording_intervals = true;
    log->window_from_us = window_from_us;
    log->window_to_us = window_to_us;
    log->open_step.assign(bits, UINT64_MAX);
    log->open_from.assign(bits, window_from_us);
    log->open.assign(bits, 0);
    for (uint32_t w = 0; w < log->word_count; ++w) {
        for (uint32_t m = log->mask[w]; m != 0; m &= m - 1) {
            log->open[bit_index(w, static_cast<uint32_t>(std::countr_zero(m)))] = 1;
        }
    }
}

void finish_intervals(FaultSpaceLog* log, double horizon_us) {
    for (uint32_t w = 0; w < log->word_count; ++w) {
        uint32_t value;
        std::memcpy(&value, log->base + size_t{w} * WORD_BYTES, sizeof value);
        for (uint32_t m = log->mask[w]; m != 0; m &= m - 1) {
            const auto b = static_cast<uint32_t>(std::countr_zero(m));
            const size_t i = bit_index(w, b);
            if (log->open[i] != 0) {
                log->intervals.push_back({w, b, log->open_from[i], horizon_us, 0, IntervalEnd::NONE,
                                          static_cast<uint8_t>((value >> b) & 1u)});
                log->open[i] = 0;
            }
        }
    }
    log->recording_intervals = false;
}

double interval_weight(const BitInterval& interval, double window_from_us, double window_to_us) {
    return std::max(0.0, std::min(interval.to_us, window_to_us) - std::max(interval.from_us, window_from_us));
}

bool difference_stays(const std::vector<uint64_t>& last_use, const std::vector<uint32_t>& carry_field,
                      const uint32_t* mask, uint32_t word, uint32_t bits, uint64_t step) {
    if (bit_index(word, WORD_BITS) > last_use.size()) {
        return false;
    }
    uint32_t reach = bits; // the bits the difference may spread to through carries
    for (uint32_t seen = 0; seen != reach;) {
        seen = reach;
        for (uint32_t rest = seen; rest != 0; rest &= rest - 1) {
            reach |= carry_field[bit_index(word, static_cast<uint32_t>(std::countr_zero(rest)))];
        }
    }
    if ((reach & ~mask[word]) != 0) {
        return false; // bits the log does not follow
    }
    for (uint32_t rest = reach; rest != 0; rest &= rest - 1) {
        if (last_use[bit_index(word, static_cast<uint32_t>(std::countr_zero(rest)))] > step) {
            return false;
        }
    }
    return true;
}

void start_bit_watch(BitWatch* watch, const uint32_t* base, uint32_t word_count) {
    watch->bits = watch_bits;
    watch->bytes = watch_bytes;
    watch->base = reinterpret_cast<const uint8_t*>(base);
    watch->size = size_t{word_count} * WORD_BYTES;
    watch->watched.assign(word_count, 0);
    watch->waiting.assign(size_t{word_count} * WORD_BITS, {});
    watch->first_access.clear();
}

uint32_t watch_bit(BitWatch* watch, uint32_t word, uint32_t bit) {
    const auto watcher = static_cast<uint32_t>(watch->first_access.size());
    watch->first_access.push_back(IntervalEnd::NONE);
    if (bit_index(word, bit) < watch->waiting.size()) {
        watch->watched[word] |= 1u << bit;
        watch->waiting[bit_index(word, bit)].push_back(watcher);
    }
    return watcher;
}
