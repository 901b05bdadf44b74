// Frames: the record that travels on a channel, its 16-bit CRC, and how a receiver judges it.
//
// Each controller holds one Frame per channel; it serves as the send buffer and as the receive buffer into
// which the channel delivers. The record is 80 words, fixed, since faults are injected into it by word.
//
//   word            field           meaning
//   0, byte 0       kind            FRAME_KIND_N or FRAME_KIND_I (cold start frames are I-frames)
//   0, byte 1       status          FRAME_STATUS_EMPTY, _ARRIVING (started, not ended, or garbled), _COMPLETE
//   0 bytes 2-3, 1  -               no use
//   2-3             send_time       double: simulated time at which the sender started the transmission
//   4               noise           1 bit: the frame was garbled on the channel
//   5               frame_type      1 bit: 1 = I-frame or cold start frame, 0 = N-frame
//   6-8             mcr[3]          1 bit each: mode change request carried, in the order immediate,
//                                   mode low bit, mode high bit
//   I-frame body:
//   9-76            cstate          a full CState copy (fp1cstat.h)
//   77              crc             16 bits
//   78              c_state_length  4 bits: the sender's L in 16-bit units, 2..6
//   N-frame body (overlapping the I-frame body):
//   9-12            data            data bytes 0..15, byte i at byte 36 + i of the record
//   13              crc             16 bits
//   14              data_length     5 bits: number of data bytes, 1..16
//   rest            -               no use
//
// Setters check widths ("_value <= bit_mask(<width>)", source "ttpc\fp1frame"); getters mask. The frame
// arrives from the channel and may carry corrupted words, so nothing read from it is trusted as an index:
// an N-frame is taken to carry min(data_length, 16) bytes and an I-frame's membership is bounded by 64
// flags. A data_length outside 1..16 or a c_state_length outside 2..6 makes the frame incorrect.
//
// Frame CRC. The register (fp1cstat.h) starts at 0xFFFF and is fed, least significant bit first:
//   1. header: frame_type, mcr[0], mcr[1], mcr[2] (1 bit each), 4 zero bits;
//   2. N-frame only: data bytes 0 .. data_length-1, 8 bits each;
//   3. the significant C-state (cstate_crc): for an I-frame its own C-state with its own c_state_length,
//      for an N-frame the C-state passed in with that controller's L (the sender's own when building, the
//      receiver's own when checking: an N-frame carries its C-state implicitly);
//   4. 16 zero bits.
// The generator depends on the number of bits fed in steps 1-3 (8 + 8 * data bytes + 16 * L):
// CRC_GENERATOR_SHORT (polynomial 0x13613) below CRC_LONG_FROM_BITS, CRC_GENERATOR_LONG (0x11931) from
// there on. I-frames (at most 8 + 16 * 6 = 104 bits) always use the short generator.
//
// Channel verdict: what one channel delivered in one slot, a 4-bit value: VERDICT_CORRECT, _INCORRECT
// (complete, but CRC or C-state does not match), _INVALID (reception started but did not complete) or
// VERDICT_NULL (nothing arrived), plus VERDICT_NOISE when the frame was garbled on the channel.
#pragma once

#include "ttpc/fp1cstat.h"

#include <cstddef>
#include <cstdint>

constexpr uint8_t FRAME_KIND_N = 0;
constexpr uint8_t FRAME_KIND_I = 1;

constexpr uint8_t FRAME_STATUS_EMPTY = 0;
constexpr uint8_t FRAME_STATUS_ARRIVING = 1;
constexpr uint8_t FRAME_STATUS_COMPLETE = 2;

constexpr unsigned FRAME_WORD_COUNT = 80;
constexpr unsigned FRAME_MAX_DATA = 16;
constexpr unsigned FRAME_MCR_COUNT = 3;
constexpr unsigned FRAME_SPARE_BODY_WORDS = 64;

constexpr unsigned FRAME_FLAG_WIDTH = 1;
constexpr unsigned FRAME_MCR_MODE_WIDTH = 2;
constexpr unsigned FRAME_CRC_WIDTH = 16;
constexpr unsigned FRAME_DATA_BYTE_WIDTH = 8;
constexpr unsigned FRAME_DATA_LENGTH_WIDTH = 5;
constexpr unsigned FRAME_C_STATE_LENGTH_WIDTH = 4;

/// Header bits fed and sent: frame_type, three mcr bits, four spare bits.
constexpr unsigned FRAME_HEADER_BITS = 8;
/// Bits of a frame's length beyond header and payload: 4 header, 4 spare header, 16 CRC.
constexpr unsigned FRAME_OVERHEAD_BITS = 24;

constexpr unsigned CRC_LONG_FROM_BITS = 151;

constexpr uint32_t VERDICT_CORRECT = 8;
constexpr uint32_t VERDICT_INCORRECT = 4;
constexpr uint32_t VERDICT_INVALID = 2;
constexpr uint32_t VERDICT_NOISE = 1;
constexpr uint32_t VERDICT_NULL = 0;

struct IFrameBody {
    CState cstate;
    uint32_t crc;
    uint32_t c_state_length;
};

struct NFrameBody {
    uint8_t data[FRAME_MAX_DATA];
    uint32_t crc;
    uint32_t data_length;
    uint32_t spare[FRAME_SPARE_BODY_WORDS];
};

/// The payload; `kind` decides which member is read.
union FrameBody {
    IFrameBody i;
    NFrameBody n;
};

struct Frame {
    uint8_t kind;
    uint8_t status;
    uint8_t spare0[2];
    uint32_t spare1;
    double send_time;
    uint32_t noise;
    uint32_t frame_type;
    uint32_t mcr[FRAME_MCR_COUNT];
    FrameBody body;
    uint32_t spare_tail;
};

static_assert(sizeof(Frame) == FRAME_WORD_COUNT * 4);
static_assert(offsetof(Frame, kind) == 0);
static_assert(offsetof(Frame, status) == 1);
static_assert(offsetof(Frame, send_time) == 2 * 4);
static_assert(offsetof(Frame, noise) == 4 * 4);
static_assert(offsetof(Frame, frame_type) == 5 * 4);
static_assert(offsetof(Frame, mcr) == 6 * 4);
static_assert(offsetof(Frame, body) == 9 * 4);
static_assert(offsetof(Frame, body) + offsetof(IFrameBody, cstate) == 9 * 4);
static_assert(offsetof(Frame, body) + offsetof(IFrameBody, crc) == 77 * 4);
static_assert(offsetof(Frame, body) + offsetof(IFrameBody, c_state_length) == 78 * 4);
static_assert(offsetof(Frame, body) + offsetof(NFrameBody, data) == 36);
static_assert(offsetof(Frame, body) + offsetof(NFrameBody, crc) == 13 * 4);
static_assert(offsetof(Frame, body) + offsetof(NFrameBody, data_length) == 14 * 4);
static_assert(offsetof(Frame, spare_tail) == 79 * 4);

// Header accessors.
uint32_t get_noise(const Frame& frame);
void set_noise(Frame& frame, uint32_t value);
uint32_t get_frame_type(const Frame& frame);
void set_frame_type(Frame& frame, uint32_t value);
/// Mode change request bit i (0 immediate, 1 mode low bit, 2 mode high bit); i < 3 is asserted.
uint32_t get_mcr(const Frame& frame, unsigned i);
void set_mcr(Frame& frame, unsigned i, uint32_t value);
/// mcr[2] * 2 + mcr[1].
uint32_t get_mcr_mode(const Frame& frame);
void set_mcr_mode(Frame& frame, uint32_t mode);
uint32_t get_mcr_immediate(const Frame& frame);
void set_mcr_immediate(Frame& frame, uint32_t value);

// I-frame body.
uint32_t get_i_crc(const Frame& frame);
void set_i_crc(Frame& frame, uint32_t value);
uint32_t get_c_state_length(const Frame& frame);
void set_c_state_length(Frame& frame, uint32_t value);
CState& frame_cstate(Frame& frame);
const CState& frame_cstate(const Frame& frame);

// N-frame body.
uint32_t get_n_crc(const Frame& frame);
void set_n_crc(Frame& frame, uint32_t value);
/// Data byte i, i < 16 asserted.
uint32_t get_data_byte(const Frame& frame, unsigned i);
void set_data_byte(Frame& frame, unsigned i, uint32_t value);
uint32_t get_data_length(const Frame& frame);
void set_data_length(Frame& frame, uint32_t value);
/// The data bytes an N-frame carries: data_length, at most 16. This is the count every reader of the
/// data uses, so a corrupted data_length never reads past the record's 16 data bytes.
unsigned n_frame_data_count(const Frame& frame);

/// Length on the channel in bits: N-frame 8 * data bytes + 24, I-frame 16 * c_state_length + 24, any other
/// kind 0. Lengths come from the same bounded counts the CRC uses: an N-frame counts n_frame_data_count
/// bytes (so 24..152 bits), an I-frame's c_state_length is taken as the nearest of 2..6 (so 56..120 bits).
unsigned frame_bits(const Frame& frame);

/// The generator for a frame of which `bits_fed` bits go through steps 1-3 of the CRC.
uint16_t crc_generator(unsigned bits_fed);

/// The CRC an I-frame should carry: header, its own C-state with its own c_state_length.
uint16_t i_frame_crc(const Frame& frame);
/// The CRC an N-frame should carry for a node with C-state `cstate` and list length L.
uint16_t n_frame_crc(const Frame& frame, const CState& cstate, unsigned L);

/// An I-frame a listening controller may integrate on: kind I, complete, c_state_length 2..6 and the
/// stored CRC equal to i_frame_crc. The receiver's C-state plays no part.
bool valid_i_frame(const Frame& frame);

/// True if the frame is correct for a receiver with C-state `cstate` and list length L:
/// an N-frame if complete, data_length 1..16 and the stored CRC equal to n_frame_crc(frame, cstate, L);
/// an I-frame if valid_i_frame and its C-state equals `cstate` (cstate_equal with L); any other kind never.
bool frame_check(const Frame& frame, const CState& cstate, unsigned L);

/// The channel verdict of a receive buffer: status empty 0, complete 8 or 4 by frame_check against the
/// receiver's C-state and L, anything else 2; plus 1 if the noise flag is set.
uint32_t frame_verdict(const Frame& frame, const CState& receiver, unsigned L);
