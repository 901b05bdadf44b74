// Accesses to the model's memory, seen by a recorder: how a campaign learns from the golden run when each bit
// of a fault target is read and when it is written (the exhaustive scan's pruning of the fault space, and the
// early stop of an experiment whose fault lies in a bit that nothing reads again).
//
// The model calls access_read / access_write at every place that reads or writes a word of an area faults can
// reach (a controller's interface, its frame buffers and its registers), just before the access, naming the
// bits the access uses; the recorder sees the value the access finds. With no recorder (access_recorder null,
// the normal case) every such place costs one test of a global pointer. The recorder decides which addresses
// it cares about: the model reports accesses to every controller's words alike.
//
// How accesses are counted:
//   - a getter reads the bits of its field's width (it masks the word); a setter writes the whole word (it
//     stores all 32 bits); an add reads the field's bits, then writes the word;
//   - a byte of the message area or of a frame's data is its 8 bits of the word that holds it, a nibble of a
//     message's first byte its 4 bits;
//   - a copy (a struct assignment, memcpy, memset) reads every bit of its source and writes every bit of its
//     destination, at the moment of the copy: a frame handed to a channel reads the sender's whole buffer, a
//     delivery writes the receiver's whole buffer, a C-state taken from a frame reads the frame's C-state
//     words, publishing the status writes all 188 status words of the interface, a reset writes what it
//     clears; the copy's later use reads the copy, not the source;
//   - bits that an update stores back unchanged (the other nibble of a message's first byte) are not
//     accessed: a fault there stays as it was;
//   - a carry (ACCESS_CARRY) is a counter's own update, whose old value goes nowhere but into its new one, by
//     a function that maps different old values to different new ones (a message's update_count + 2, the
//     interface's local_time_high + wraps): the field's bits are neither used nor overwritten, a difference
//     in them stays a difference in the same field.
// Reads whose value only goes to the trace, which campaigns switch off, are counted where they go through a
// getter: such a read only makes the recorder see a use that is not one.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

static_assert(std::endian::native == std::endian::little, "byte accesses are mapped to word bits");

enum AccessKind : uint8_t { ACCESS_READ, ACCESS_WRITE, ACCESS_CARRY };

struct AccessRecorder {
    /// `bits` of the 32-bit word at `word` (4-byte aligned) are read or written.
    void (*bits)(AccessRecorder* recorder, const void* word, uint32_t bits, AccessKind kind);
    /// Every bit of [begin, begin + size) is read or written.
    void (*bytes)(AccessRecorder* recorder, const void* begin, size_t size, AccessKind kind);
};

/// The recorder the model reports to; null: none (no access is recorded).
extern AccessRecorder* access_recorder;

constexpr uint32_t ALL_WORD_BITS = 0xFFFFFFFFu;

inline bool access_recording() {
    return __builtin_expect(access_recorder != nullptr, 0);
}

/// `bits` of the word at `word` are about to be read.
inline void access_read(const void* word, uint32_t bits) {
    if (access_recording()) {
        access_recorder->bits(access_recorder, word, bits, ACCESS_READ);
    }
}

/// The whole word at `word` is about to be written.
inline void access_write(const void* word) {
    if (access_recording()) {
        access_recorder->bits(access_recorder, word, ALL_WORD_BITS, ACCESS_WRITE);
    }
}

/// `bits` of the byte at `byte` are about to be read or written.
inline void access_byte(const void* byte, uint32_t bits, AccessKind kind) {
    if (access_recording()) {
        constexpr uintptr_t WORD_BYTES = 4;
        constexpr unsigned BYTE_BITS = 8;
        const auto address = reinterpret_cast<uintptr_t>(byte);
        const uintptr_t offset = address % WORD_BYTES;
        access_recorder->bits(access_recorder, reinterpret_cast<const void*>(address - offset),
                              bits << (BYTE_BITS * offset), kind);
    }
}

/// The counter field `field_bits` of the word at `word` is about to be carried into its own new value.
inline void access_carry(const void* word, uint32_t field_bits) {
    if (access_recording()) {
        access_recorder->bits(access_recorder, word, field_bits, ACCESS_CARRY);
    }
}

/// Every bit of [begin, begin + size) is about to be read (the source of a copy).
inline void access_read_bytes(const void* begin, size_t size) {
    if (access_recording()) {
        access_recorder->bytes(access_recorder, begin, size, ACCESS_READ);
    }
}

/// Every bit of [begin, begin + size) is about to be written (the destination of a copy, a clear).
inline void access_write_bytes(const void* begin, size_t size) {
    if (access_recording()) {
        access_recorder->bytes(access_recorder, begin, size, ACCESS_WRITE);
    }
}

/// A field's read: the bits of `mask` of `word`, as a getter masks them.
inline uint32_t recorded_read(const uint32_t& word, uint32_t mask) {
    access_read(&word, mask);
    return word & mask;
}

/// A whole word's store.
inline void recorded_store(uint32_t& word, uint32_t value) {
    access_write(&word);
    word = value;
}
