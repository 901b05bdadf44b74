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

/// Feeds the low `bit_count` bits of value (at most 32), least significant first. Whole bytes go through a
/// table of the generator (for the two frame generators), the rest bit by bit; the result is the same.
void crc_feed_bits(uint16_t* crc_register, uint32_t value, unsigned bit_count, uint16_t generator);

/// Feeds the significant C-state of L: global_time (16 bits), medl_position (9), cluster_mode (5),
/// dmc (2), then the significant membership flags, one bit each. Every field is read masked.
void cstate_crc(const CState& cstate, uint16_t* crc_register, uint16_t generator, unsigned L);
