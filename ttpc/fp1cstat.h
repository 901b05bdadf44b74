// The controller state (C-state) that every node of the cluster keeps and that the cluster must agree on.
//
// CState: 68 words, one field per 32-bit word, value in the low bits. Setters check the width (a wider
// value is a programming error: "_value <= bit_mask(<width>)", source "ttpc\fp1cstat"); getters mask,
// so a word whose upper bits were corrupted still reads as a value of the field's width.
//
//   word  field           width  meaning
//   0     global_time     16     global time in macroticks; wraps modulo 65536
//   1     medl_position   9      index of the current slot in the message descriptor list, 0..511
//   2     cluster_mode    5      current cluster mode; 0 is not a valid mode
//   3     dmc             2      deferred mode change pending: requested mode change 1..3, 0 = none
//   4-67  membership[64]  1 each indexed by membership position: 1 = that node is a member
//
// The C-state lies at words 2..69 of the interface status area (fp1cni.h) and inside I-frames (fp1frame.h).
//
// Significant C-state. A list's c_state_length L counts 16-bit units: the four fields (16+9+5+2 bits)
// count as two units, each further unit adds 16 membership flags. The significant C-state is the four
// fields plus membership[0 .. (L-2)*16 - 1]. Lists use 2 <= L <= 6; for any other L the number of
// significant flags is clamped to 0..64, so a corrupted L never takes a loop past membership[63].
#pragma once

#include <array>
#include <cstdint>

constexpr unsigned CSTATE_GLOBAL_TIME_WIDTH = 16;
constexpr unsigned CSTATE_MEDL_POSITION_WIDTH = 9;
constexpr unsigned CSTATE_CLUSTER_MODE_WIDTH = 5;
constexpr unsigned CSTATE_DMC_WIDTH = 2;
constexpr unsigned CSTATE_MEMBERSHIP_WIDTH = 1;
/// Membership positions: 64, so a position is masked to 6 bits.
constexpr unsigned CSTATE_MEMBERSHIP_COUNT = 64;
constexpr unsigned CSTATE_MEMBERSHIP_POSITION_WIDTH = 6;
constexpr unsigned CSTATE_WORD_COUNT = 68;

/// c_state_length: 16 bits per unit; the four fields take the first two units.
constexpr unsigned CSTATE_UNIT_BITS = 16;
constexpr unsigned CSTATE_FIELD_UNITS = 2;
constexpr unsigned CSTATE_MIN_LENGTH = 2;
constexpr unsigned CSTATE_MAX_LENGTH = 6;
/// Bits the four fields contribute to a CRC: 16 + 9 + 5 + 2.
constexpr unsigned CSTATE_FIELD_BITS =
    CSTATE_GLOBAL_TIME_WIDTH + CSTATE_MEDL_POSITION_WIDTH + CSTATE_CLUSTER_MODE_WIDTH + CSTATE_DMC_WIDTH;

struct CState {
    uint32_t global_time;
    uint32_t medl_position;
    uint32_t cluster_mode;
    uint32_t dmc;
    uint32_t membership[CSTATE_MEMBERSHIP_COUNT];
};
static_assert(sizeof(CState) == CSTATE_WORD_COUNT * 4);

// Field accessors: get masks, set checks the width.
uint32_t get_global_time(const CState& cstate);
void set_global_time(CState& cstate, uint32_t value);
uint32_t get_medl_position(const CState& cstate);
void set_medl_position(CState& cstate, uint32_t value);
uint32_t get_cluster_mode(const CState& cstate);
void set_cluster_mode(CState& cstate, uint32_t value);
uint32_t get_dmc(const CState& cstate);
void set_dmc(CState& cstate, uint32_t value);

/// One membership flag. The position is masked to 6 bits, so every position names one of the 64 flags.
uint32_t get_membership(const CState& cstate, unsigned position);
void set_membership(CState& cstate, unsigned position, uint32_t value);

/// medl_position := (medl_position + delta) mod 512; returns the new value. A negative delta passed as
/// its two's complement steps backwards.
uint32_t add_medl_position(CState& cstate, uint32_t delta);
/// global_time := (global_time + delta) mod 65536; returns the new value.
uint32_t add_global_time(CState& cstate, uint32_t delta);

/// Number of significant membership flags for c_state_length L: (L-2)*16, clamped to 0..64.
unsigned significant_membership_count(unsigned L);

/// True if global_time, medl_position, cluster_mode and dmc are equal and the significant membership
/// flags of L are equal, compared in that order, stopping at the first difference.
bool cstate_equal(const CState& a, const CState& b, unsigned L);

// Frame CRC register. The register starts at CRC_INITIAL_VALUE; for each bit b fed: f = bit 15 XOR b,
// shift left keeping 16 bits, and if f is 1 XOR the generator in. Fields go in least significant bit
// first. The generator is chosen per frame (crc_generator, fp1frame.h).
constexpr uint16_t CRC_INITIAL_VALUE = 0xFFFF;
constexpr unsigned CRC_WIDTH = 16;

/// The two generators of the frame CRC (polynomials 0x13613 and 0x11931, x^16 implied).
constexpr uint16_t CRC_GENERATOR_SHORT = 0x3613;
constexpr uint16_t CRC_GENERATOR_LONG = 0x1931;

namespace crc_detail {

constexpr unsigned BYTE_BITS = 8;
constexpr unsigned TABLE_SIZE = 256;
constexpr uint16_t TOP_BIT = 0x8000;

/// One table step of a byte: the register after feeding the 8 bits of index, most significant first,
/// into a register whose high byte was zero (its low byte is combined by the caller).
constexpr std::array<uint16_t, TABLE_SIZE> make_table(uint16_t generator) {
    std::array<uint16_t, TABLE_SIZE> table{};
    for (unsigned index = 0; index < TABLE_SIZE; ++index) {
        auto r = static_cast<uint16_t>(index << BYTE_BITS);
        for (unsigned bit = 0; bit < BYTE_BITS; ++bit) {
            const bool top = (r & TOP_BIT) != 0;
            r = static_cast<uint16_t>(r << 1);
            if (top) {
                r ^= generator;
            }
        }
        table[index] = r;
    }
    return table;
}

/// Bits of a byte in reverse order: a byte fed least significant bit first indexes the table reversed.
constexpr std::array<uint8_t, TABLE_SIZE> make_reversed() {
    std::array<uint8_t, TABLE_SIZE> reversed{};
    for (unsigned value = 0; value < TABLE_SIZE; ++value) {
        unsigned r = 0;
        for (unsigned bit = 0; bit < BYTE_BITS; ++bit) {
            r |= ((value >> bit) & 1u) << (BYTE_BITS - 1 - bit);
        }
        reversed[value] = static_cast<uint8_t>(r);
    }
    return reversed;
}

inline constexpr std::array<uint16_t, TABLE_SIZE> SHORT_TABLE = make_table(CRC_GENERATOR_SHORT);
inline constexpr std::array<uint16_t, TABLE_SIZE> LONG_TABLE = make_table(CRC_GENERATOR_LONG);
inline constexpr std::array<uint8_t, TABLE_SIZE> REVERSED = make_reversed();

inline uint16_t feed_one_by_one(uint16_t r, uint32_t value, unsigned bit_count, uint16_t generator) {
    for (unsigned i = 0; i < bit_count; ++i) {
        const unsigned f = ((r >> (CRC_WIDTH - 1)) ^ (value >> i)) & 1u;
        r = static_cast<uint16_t>(r << 1);
        if (f != 0) {
            r ^= generator;
        }
    }
    return r;
}

} // namespace crc_detail

/// Feeds the low `bit_count` bits of value (at most 32), least significant first. Whole bytes go through a
/// table of the generator (for the two frame generators), the rest bit by bit; the result is the same.
inline void crc_feed_bits(uint16_t* crc_register, uint32_t value, unsigned bit_count, uint16_t generator) {
    using namespace crc_detail;
    const uint16_t* table = generator == CRC_GENERATOR_SHORT  ? SHORT_TABLE.data()
                            : generator == CRC_GENERATOR_LONG ? LONG_TABLE.data()
                                                              : nullptr;
    uint16_t r = *crc_register;
    if (table != nullptr) {
        for (; bit_count >= BYTE_BITS; bit_count -= BYTE_BITS, value >>= BYTE_BITS) {
            const unsigned index = ((r >> BYTE_BITS) ^ REVERSED[value & 0xFFu]) & 0xFFu;
            r = static_cast<uint16_t>((r << BYTE_BITS) ^ table[index]);
        }
    }
    *crc_register = feed_one_by_one(r, value, bit_count, generator);
}

/// Feeds the significant C-state of L: global_time (16 bits), medl_position (9), cluster_mode (5),
/// dmc (2), then the significant membership flags, one bit each. Every field is read masked.
void cstate_crc(const CState& cstate, uint16_t* crc_register, uint16_t generator, unsigned L);
