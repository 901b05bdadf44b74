#include "ttpc/fp1frame.h"

#include "kernel/access_recorder.h"
#include "kernel/sim_assert.h"

#include <algorithm>

namespace {

constexpr const char* SOURCE = "ttpc\\fp1frame";

constexpr unsigned MCR_IMMEDIATE = 0;
constexpr unsigned MCR_MODE_LOW = 1;
constexpr unsigned MCR_MODE_HIGH = 2;

/// The header spare bits fed after frame_type and the mode change request.

/// The c_state_length an I-frame is measured with: the stored value brought into 2..6.
unsigned i_frame_length_units(const Frame& frame) {
    return std::clamp(get_c_state_length(frame), CSTATE_MIN_LENGTH, CSTATE_MAX_LENGTH);
}

bool is_valid_c_state_length(uint32_t L) {
    return L >= CSTATE_MIN_LENGTH && L <= CSTATE_MAX_LENGTH;
}

bool is_valid_data_length(uint32_t length) {
    return length >= 1 && length <= FRAME_MAX_DATA;
}

/// Bits the significant C-state of L contributes: the four fields and the significant flags.
unsigned cstate_bits(unsigned L) {
    return CSTATE_FIELD_BITS + significant_membership_count(L);
}

void feed_header(const Frame& frame, uint16_t* crc_register, uint16_t generator) {
    // frame_type and the three mcr bits, one after the other, then the spare bits: one byte. The four reads
    // are reported at once, so the CRC pays one test when no recorder listens.
    constexpr uint32_t FLAG = bit_mask(FRAME_FLAG_WIDTH);
    if (access_recording()) {
        access_read(&frame.frame_type, FLAG);
        for (const uint32_t& bit : frame.mcr) {
            access_read(&bit, FLAG);
        }
    }
    uint32_t header = frame.frame_type & FLAG;
    for (unsigned i = 0; i < FRAME_MCR_COUNT; ++i) {
        header |= (frame.mcr[i] & FLAG) << (1 + i);
    }
    crc_feed_bits(crc_register, header, FRAME_HEADER_BITS, generator);
}

} // namespace

uint32_t get_noise(const Frame& frame) {
    return recorded_read(frame.noise, bit_mask(FRAME_FLAG_WIDTH));
}

void set_noise(Frame& frame, uint32_t value) {
    check_width(value, FRAME_FLAG_WIDTH, SOURCE);
    recorded_store(frame.noise, value);
}

uint32_t get_frame_type(const Frame& frame) {
    return recorded_read(frame.frame_type, bit_mask(FRAME_FLAG_WIDTH));
}

void set_frame_type(Frame& frame, uint32_t value) {
    check_width(value, FRAME_FLAG_WIDTH, SOURCE);
    recorded_store(frame.frame_type, value);
}

uint32_t get_mcr(const Frame& frame, unsigned i) {
    sim_assert(i < FRAME_MCR_COUNT, "i < FRAME_MCR_COUNT", SOURCE);
    return recorded_read(frame.mcr[i], bit_mask(FRAME_FLAG_WIDTH));
}

void set_mcr(Frame& frame, unsigned i, uint32_t value) {
    sim_assert(i < FRAME_MCR_COUNT, "i < FRAME_MCR_COUNT", SOURCE);
    check_width(value, FRAME_FLAG_WIDTH, SOURCE);
    recorded_store(frame.mcr[i], value);
}

uint32_t get_mcr_mode(const Frame& frame) {
    return (get_mcr(frame, MCR_MODE_HIGH) << 1) | get_mcr(frame, MCR_MODE_LOW);
}

void set_mcr_mode(Frame& frame, uint32_t mode) {
    check_width(mode, FRAME_MCR_MODE_WIDTH, SOURCE);
    set_mcr(frame, MCR_MODE_LOW, mode & 1u);
    set_mcr(frame, MCR_MODE_HIGH, (mode >> 1) & 1u);
}

uint32_t get_mcr_immediate(const Frame& frame) {
    return get_mcr(frame, MCR_IMMEDIATE);
}

void set_mcr_immediate(Frame& frame, uint32_t value) {
    set_mcr(frame, MCR_IMMEDIATE, value);
}

uint32_t get_i_crc(const Frame& frame) {
    return recorded_read(frame.body.i.crc, bit_mask(FRAME_CRC_WIDTH));
}

void set_i_crc(Frame& frame, uint32_t value) {
    check_width(value, FRAME_CRC_WIDTH, SOURCE);
    recorded_store(frame.body.i.crc, value);
}

uint32_t get_c_state_length(const Frame& frame) {
    return recorded_read(frame.body.i.c_state_length, bit_mask(FRAME_C_STATE_LENGTH_WIDTH));
}

void set_c_state_length(Frame& frame, uint32_t value) {
    check_width(value, FRAME_C_STATE_LENGTH_WIDTH, SOURCE);
    recorded_store(frame.body.i.c_state_length, value);
}

CState& frame_cstate(Frame& frame) {
    return frame.body.i.cstate;
}

const CState& frame_cstate(const Frame& frame) {
    return frame.body.i.cstate;
}

uint32_t get_n_crc(const Frame& frame) {
    return recorded_read(frame.body.n.crc, bit_mask(FRAME_CRC_WIDTH));
}

void set_n_crc(Frame& frame, uint32_t value) {
    check_width(value, FRAME_CRC_WIDTH, SOURCE);
    recorded_store(frame.body.n.crc, value);
}

uint32_t get_data_byte(const Frame& frame, unsigned i) {
    sim_assert(i < FRAME_MAX_DATA, "i < FRAME_MAX_DATA", SOURCE);
    access_byte(&frame.body.n.data[i], bit_mask(FRAME_DATA_BYTE_WIDTH), ACCESS_READ);
    return frame.body.n.data[i];
}

void set_data_byte(Frame& frame, unsigned i, uint32_t value) {
    sim_assert(i < FRAME_MAX_DATA, "i < FRAME_MAX_DATA", SOURCE);
    check_width(value, FRAME_DATA_BYTE_WIDTH, SOURCE);
    access_byte(&frame.body.n.data[i], bit_mask(FRAME_DATA_BYTE_WIDTH), ACCESS_WRITE);
    frame.body.n.data[i] = static_cast<uint8_t>(value);
}

uint32_t get_data_length(const Frame& frame) {
    return recorded_read(frame.body.n.data_length, bit_mask(FRAME_DATA_LENGTH_WIDTH));
}

void set_data_length(Frame& frame, uint32_t value) {
    check_width(value, FRAME_DATA_LENGTH_WIDTH, SOURCE);
    recorded_store(frame.body.n.data_length, value);
}

unsigned n_frame_data_count(const Frame& frame) {
    return std::min(get_data_length(frame), FRAME_MAX_DATA);
}

unsigned frame_bits(const Frame& frame) {
    switch (frame.kind) {
    case FRAME_KIND_N:
        return FRAME_DATA_BYTE_WIDTH * n_frame_data_count(frame) + FRAME_OVERHEAD_BITS;
    case FRAME_KIND_I:
        return CSTATE_UNIT_BITS * i_frame_length_units(frame) + FRAME_OVERHEAD_BITS;
    default:
        return 0;
    }
}

uint16_t crc_generator(unsigned bits_fed) {
    return bits_fed < CRC_LONG_FROM_BITS ? CRC_GENERATOR_SHORT : CRC_GENERATOR_LONG;
}

uint16_t i_frame_crc(const Frame& frame) {
    const unsigned L = get_c_state_length(frame);
    const uint16_t generator = crc_generator(FRAME_HEADER_BITS + cstate_bits(L));
    uint16_t crc = CRC_INITIAL_VALUE;
    feed_header(frame, &crc, generator);
    cstate_crc(frame_cstate(frame), &crc, generator, L);
    crc_feed_bits(&crc, 0, CRC_WIDTH, generator);
    return crc;
}

uint16_t n_frame_crc(const Frame& frame, const CState& cstate, unsigned L) {
    const unsigned count = n_frame_data_count(frame);
    const uint16_t generator =
        crc_generator(FRAME_HEADER_BITS + FRAME_DATA_BYTE_WIDTH * count + cstate_bits(L));
    uint16_t crc = CRC_INITIAL_VALUE;
    feed_header(frame, &crc, generator);
    access_read_bytes(frame.body.n.data, count);
    for (unsigned i = 0; i < count; ++i) {
        crc_feed_bits(&crc, frame.body.n.data[i], FRAME_DATA_BYTE_WIDTH, generator);
    }
    cstate_crc(cstate, &crc, generator, L);
    crc_feed_bits(&crc, 0, CRC_WIDTH, generator);
    return crc;
}

bool valid_i_frame(const Frame& frame) {
    return frame.kind == FRAME_KIND_I && frame.status == FRAME_STATUS_COMPLETE &&
           is_valid_c_state_length(get_c_state_length(frame)) && get_i_crc(frame) == i_frame_crc(frame);
}

bool frame_check(const Frame& frame, const CState& cstate, unsigned L) {
    switch (frame.kind) {
    case FRAME_KIND_N:
        return frame.status == FRAME_STATUS_COMPLETE && is_valid_data_length(get_data_length(frame)) &&
               get_n_crc(frame) == n_frame_crc(frame, cstate, L);
    case FRAME_KIND_I:
        return valid_i_frame(frame) && cstate_equal(frame_cstate(frame), cstate, L);
    default:
        return false;
    }
}

uint32_t frame_verdict(const Frame& frame, const CState& receiver, unsigned L) {
    uint32_t verdict;
    switch (frame.status) {
    case FRAME_STATUS_EMPTY:
        verdict = VERDICT_NULL;
        break;
    case FRAME_STATUS_COMPLETE:
        verdict = frame_check(frame, receiver, L) ? VERDICT_CORRECT : VERDICT_INCORRECT;
        break;
    default:
        verdict = VERDICT_INVALID;
        break;
    }
    if (get_noise(frame) != 0) {
        verdict += VERDICT_NOISE;
    }
    return verdict;
}
