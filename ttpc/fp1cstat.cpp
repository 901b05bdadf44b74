#include "ttpc/fp1cstat.h"

#include <array>

#include "kernel/sim_assert.h"

namespace {

constexpr const char* SOURCE = "ttpc\\fp1cstat";

unsigned membership_index(unsigned position) {
    return position & bit_mask(CSTATE_MEMBERSHIP_POSITION_WIDTH);
}

} // namespace

uint32_t get_global_time(const CState& cstate) {
    return cstate.global_time & bit_mask(CSTATE_GLOBAL_TIME_WIDTH);
}

void set_global_time(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_GLOBAL_TIME_WIDTH, SOURCE);
    cstate.global_time = value;
}

uint32_t get_medl_position(const CState& cstate) {
    return cstate.medl_position & bit_mask(CSTATE_MEDL_POSITION_WIDTH);
}

void set_medl_position(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_MEDL_POSITION_WIDTH, SOURCE);
    cstate.medl_position = value;
}

uint32_t get_cluster_mode(const CState& cstate) {
    return cstate.cluster_mode & bit_mask(CSTATE_CLUSTER_MODE_WIDTH);
}

void set_cluster_mode(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_CLUSTER_MODE_WIDTH, SOURCE);
    cstate.cluster_mode = value;
}

uint32_t get_dmc(const CState& cstate) {
    return cstate.dmc & bit_mask(CSTATE_DMC_WIDTH);
}

void set_dmc(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_DMC_WIDTH, SOURCE);
    cstate.dmc = value;
}

uint32_t get_membership(const CState& cstate, unsigned position) {
    return cstate.membership[membership_index(position)] & bit_mask(CSTATE_MEMBERSHIP_WIDTH);
}

void set_membership(CState& cstate, unsigned position, uint32_t value) {
    check_width(value, CSTATE_MEMBERSHIP_WIDTH, SOURCE);
    cstate.membership[membership_index(position)] = value;
}

uint32_t add_medl_position(CState& cstate, uint32_t delta) {
    const uint32_t value = (get_medl_position(cstate) + delta) & bit_mask(CSTATE_MEDL_POSITION_WIDTH);
    set_medl_position(cstate, value);
    return value;
}

uint32_t add_global_time(CState& cstate, uint32_t delta) {
    const uint32_t value = (get_global_time(cstate) + delta) & bit_mask(CSTATE_GLOBAL_TIME_WIDTH);
    set_global_time(cstate, value);
    return value;
}

unsigned significant_membership_count(unsigned L) {
    if (L <= CSTATE_FIELD_UNITS) {
        return 0;
    }
    if (L >= CSTATE_MAX_LENGTH) {
        return CSTATE_MEMBERSHIP_COUNT;
    }
    return (L - CSTATE_FIELD_UNITS) * CSTATE_UNIT_BITS;
}

bool cstate_equal(const CState& a, const CState& b, unsigned L) {
    if (get_global_time(a) != get_global_time(b) || get_medl_position(a) != get_medl_position(b) ||
        get_cluster_mode(a) != get_cluster_mode(b) || get_dmc(a) != get_dmc(b)) {
        return false;
    }
    const unsigned count = significant_membership_count(L);
    for (unsigned position = 0; position < count; ++position) {
        if (get_membership(a, position) != get_membership(b, position)) {
            return false;
        }
    }
    return true;
}

namespace {

constexpr unsigned BYTE_BITS = 8;
constexpr unsigned TABLE_SIZE = 256;

/// The register after feeding the 8 bits of index, most significant first, into a register whose high
/// byte was zero and whose low byte is ignored: one table step of a byte.
std::array<uint16_t, TABLE_SIZE> make_crc_table(uint16_t generator) {
    std::array<uint16_t, TABLE_SIZE> table{};
    for (unsigned index = 0; index < TABLE_SIZE; ++index) {
        auto r = static_cast<uint16_t>(index << BYTE_BITS);
        for (unsigned bit = 0; bit < BYTE_BITS; ++bit) {
            const bool top = (r & 0x8000u) != 0;
            r = static_cast<uint16_t>(r << 1);
            if (top) {
                r ^= generator;
            }
        }
        table[index] = r;
    }
    return table;
}

const std::array<uint16_t, TABLE_SIZE> SHORT_TABLE = make_crc_table(CRC_GENERATOR_SHORT);
const std::array<uint16_t, TABLE_SIZE> LONG_TABLE = make_crc_table(CRC_GENERATOR_LONG);

/// Bits of a byte in reverse order: a byte fed least significant bit first is the table's index reversed.
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

constexpr std::array<uint8_t, TABLE_SIZE> REVERSED = make_reversed();

void feed_bits_one_by_one(uint16_t* crc_register, uint32_t value, unsigned bit_count, uint16_t generator) {
    uint16_t r = *crc_register;
    for (unsigned i = 0; i < bit_count; ++i) {
        const unsigned f = ((r >> (CRC_WIDTH - 1)) ^ (value >> i)) & 1u;
        r = static_cast<uint16_t>(r << 1);
        if (f != 0) {
            r ^= generator;
        }
    }
    *crc_register = r;
}

} // namespace

void crc_feed_bits(uint16_t* crc_register, uint32_t value, unsigned bit_count, uint16_t generator) {
    const uint16_t* table = generator == CRC_GENERATOR_SHORT  ? SHORT_TABLE.data()
                            : generator == CRC_GENERATOR_LONG ? LONG_TABLE.data()
                                                              : nullptr;
    if (table == nullptr) {
        feed_bits_one_by_one(crc_register, value, bit_count, generator);
        return;
    }
    uint16_t r = *crc_register;
    for (; bit_count >= BYTE_BITS; bit_count -= BYTE_BITS, value >>= BYTE_BITS) {
        const unsigned index = ((r >> BYTE_BITS) ^ REVERSED[value & 0xFFu]) & 0xFFu;
        r = static_cast<uint16_t>((r << BYTE_BITS) ^ table[index]);
    }
    *crc_register = r;
    feed_bits_one_by_one(crc_register, value, bit_count, generator);
}

void cstate_crc(const CState& cstate, uint16_t* crc_register, uint16_t generator, unsigned L) {
    crc_feed_bits(crc_register, get_global_time(cstate), CSTATE_GLOBAL_TIME_WIDTH, generator);
    // medl_position, cluster_mode and dmc follow one another bit by bit: 16 bits in all.
    const uint32_t fields = get_medl_position(cstate) |
                            get_cluster_mode(cstate) << CSTATE_MEDL_POSITION_WIDTH |
                            get_dmc(cstate) << (CSTATE_MEDL_POSITION_WIDTH + CSTATE_CLUSTER_MODE_WIDTH);
    crc_feed_bits(crc_register, fields,
                  CSTATE_MEDL_POSITION_WIDTH + CSTATE_CLUSTER_MODE_WIDTH + CSTATE_DMC_WIDTH, generator);
    const unsigned count = significant_membership_count(L);
    for (unsigned position = 0; position < count; position += BYTE_BITS) {
        uint32_t flags = 0;
        const unsigned in_byte = count - position < BYTE_BITS ? count - position : BYTE_BITS;
        for (unsigned i = 0; i < in_byte; ++i) {
            flags |= get_membership(cstate, position + i) << i;
        }
        crc_feed_bits(crc_register, flags, in_byte, generator);
    }
}
