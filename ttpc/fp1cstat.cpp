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

void cstate_crc(const CState& cstate, uint16_t* crc_register, uint16_t generator, unsigned L) {
    // medl_position, cluster_mode and dmc follow one another bit by bit: 16 bits in all.
    const uint32_t fields = get_medl_position(cstate) |
                            get_cluster_mode(cstate) << CSTATE_MEDL_POSITION_WIDTH |
                            get_dmc(cstate) << (CSTATE_MEDL_POSITION_WIDTH + CSTATE_CLUSTER_MODE_WIDTH);
    // The whole significant C-state as bytes in feeding order: two of global_time, two of the fields, then
    // the membership flags eight at a time (L - 2 is a whole number of bytes' worth: 16 flags per unit).
    constexpr unsigned BYTE_BITS = crc_detail::BYTE_BITS;
    constexpr unsigned MAX_BYTES = 4 + CSTATE_MEMBERSHIP_COUNT / BYTE_BITS;
    uint8_t bytes[MAX_BYTES];
    const uint32_t global_time = get_global_time(cstate);
    unsigned n = 0;
    bytes[n++] = static_cast<uint8_t>(global_time);
    bytes[n++] = static_cast<uint8_t>(global_time >> BYTE_BITS);
    bytes[n++] = static_cast<uint8_t>(fields);
    bytes[n++] = static_cast<uint8_t>(fields >> BYTE_BITS);
    const unsigned count = significant_membership_count(L);
    for (unsigned position = 0; position + BYTE_BITS <= count; position += BYTE_BITS) {
        const uint32_t* flag = &cstate.membership[position]; // count <= 64: inside the array
        bytes[n++] = static_cast<uint8_t>((flag[0] & 1u) | (flag[1] & 1u) << 1 | (flag[2] & 1u) << 2 |
                                          (flag[3] & 1u) << 3 | (flag[4] & 1u) << 4 | (flag[5] & 1u) << 5 |
                                          (flag[6] & 1u) << 6 | (flag[7] & 1u) << 7);
    }
    const uint16_t* table = generator == CRC_GENERATOR_SHORT  ? crc_detail::SHORT_TABLE.data()
                            : generator == CRC_GENERATOR_LONG ? crc_detail::LONG_TABLE.data()
                                                              : nullptr;
    if (table == nullptr) {
        for (unsigned i = 0; i < n; ++i) {
            crc_feed_bits(crc_register, bytes[i], BYTE_BITS, generator);
        }
        return;
    }
    uint16_t r = *crc_register;
    for (unsigned i = 0; i < n; ++i) {
        const unsigned index = ((r >> BYTE_BITS) ^ crc_detail::REVERSED[bytes[i]]) & 0xFFu;
        r = static_cast<uint16_t>((r << BYTE_BITS) ^ table[index]);
    }
    *crc_register = r;
}
