#include "ttpc/fp1cstat.h"

#include <array>

#include "kernel/access_recorder.h"
#include "kernel/sim_assert.h"

namespace {

constexpr const char* SOURCE = "ttpc\\fp1cstat";

unsigned membership_index(unsigned position) {
    return position & bit_mask(CSTATE_MEMBERSHIP_POSITION_WIDTH);
}

/// A field's value without reporting the read: for the whole-C-state readers, which report once.
uint32_t unreported(uint32_t word, unsigned width) {
    return word & bit_mask(width);
}

/// The four fields and the first `count` membership flags are about to be read (a comparison, a CRC). They
/// are reported at once, so the readers' loops pay nothing when no recorder listens. A comparison that stops
/// at its first difference is reported whole: a read reported that did not happen can only split an interval
/// of the fault space that need not be split.
void report_significant_reads(const CState& cstate, unsigned count) {
    if (!access_recording()) {
        return;
    }
    access_read(&cstate.global_time, bit_mask(CSTATE_GLOBAL_TIME_WIDTH));
    access_read(&cstate.medl_position, bit_mask(CSTATE_MEDL_POSITION_WIDTH));
    access_read(&cstate.cluster_mode, bit_mask(CSTATE_CLUSTER_MODE_WIDTH));
    access_read(&cstate.dmc, bit_mask(CSTATE_DMC_WIDTH));
    for (unsigned position = 0; position < count; ++position) {
        access_read(&cstate.membership[position], bit_mask(CSTATE_MEMBERSHIP_WIDTH));
    }
}

} // namespace

uint32_t get_global_time(const CState& cstate) {
    return recorded_read(cstate.global_time, bit_mask(CSTATE_GLOBAL_TIME_WIDTH));
}

void set_global_time(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_GLOBAL_TIME_WIDTH, SOURCE);
    recorded_store(cstate.global_time, value);
}

uint32_t get_medl_position(const CState& cstate) {
    return recorded_read(cstate.medl_position, bit_mask(CSTATE_MEDL_POSITION_WIDTH));
}

void set_medl_position(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_MEDL_POSITION_WIDTH, SOURCE);
    recorded_store(cstate.medl_position, value);
}

uint32_t get_cluster_mode(const CState& cstate) {
    return recorded_read(cstate.cluster_mode, bit_mask(CSTATE_CLUSTER_MODE_WIDTH));
}

void set_cluster_mode(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_CLUSTER_MODE_WIDTH, SOURCE);
    recorded_store(cstate.cluster_mode, value);
}

uint32_t get_dmc(const CState& cstate) {
    return recorded_read(cstate.dmc, bit_mask(CSTATE_DMC_WIDTH));
}

void set_dmc(CState& cstate, uint32_t value) {
    check_width(value, CSTATE_DMC_WIDTH, SOURCE);
    recorded_store(cstate.dmc, value);
}

uint32_t get_membership(const CState& cstate, unsigned position) {
    return recorded_read(cstate.membership[membership_index(position)], bit_mask(CSTATE_MEMBERSHIP_WIDTH));
}

void set_membership(CState& cstate, unsigned position, uint32_t value) {
    check_width(value, CSTATE_MEMBERSHIP_WIDTH, SOURCE);
    recorded_store(cstate.membership[membership_index(position)], value);
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
    const unsigned count = significant_membership_count(L);
    report_significant_reads(a, count);
    report_significant_reads(b, count);
    if (unreported(a.global_time, CSTATE_GLOBAL_TIME_WIDTH) !=
            unreported(b.global_time, CSTATE_GLOBAL_TIME_WIDTH) ||
        unreported(a.medl_position, CSTATE_MEDL_POSITION_WIDTH) !=
            unreported(b.medl_position, CSTATE_MEDL_POSITION_WIDTH) ||
        unreported(a.cluster_mode, CSTATE_CLUSTER_MODE_WIDTH) !=
            unreported(b.cluster_mode, CSTATE_CLUSTER_MODE_WIDTH) ||
        unreported(a.dmc, CSTATE_DMC_WIDTH) != unreported(b.dmc, CSTATE_DMC_WIDTH)) {
        return false;
    }
    for (unsigned position = 0; position < count; ++position) {
        if (unreported(a.membership[position], CSTATE_MEMBERSHIP_WIDTH) !=
            unreported(b.membership[position], CSTATE_MEMBERSHIP_WIDTH)) {
            return false;
        }
    }
    return true;
}

void cstate_crc(const CState& cstate, uint16_t* crc_register, uint16_t generator, unsigned L) {
    const unsigned count = significant_membership_count(L);
    report_significant_reads(cstate, count);
    // medl_position, cluster_mode and dmc follow one another bit by bit: 16 bits in all.
    const uint32_t fields =
        unreported(cstate.medl_position, CSTATE_MEDL_POSITION_WIDTH) |
        unreported(cstate.cluster_mode, CSTATE_CLUSTER_MODE_WIDTH) << CSTATE_MEDL_POSITION_WIDTH |
        unreported(cstate.dmc, CSTATE_DMC_WIDTH) << (CSTATE_MEDL_POSITION_WIDTH + CSTATE_CLUSTER_MODE_WIDTH);
    // The whole significant C-state as bytes in feeding order: two of global_time, two of the fields, then
    // the membership flags eight at a time (L - 2 is a whole number of bytes' worth: 16 flags per unit).
    constexpr unsigned BYTE_BITS = crc_detail::BYTE_BITS;
    constexpr unsigned MAX_BYTES = 4 + CSTATE_MEMBERSHIP_COUNT / BYTE_BITS;
    uint8_t bytes[MAX_BYTES];
    const uint32_t global_time = unreported(cstate.global_time, CSTATE_GLOBAL_TIME_WIDTH);
    unsigned n = 0;
    bytes[n++] = static_cast<uint8_t>(global_time);
    bytes[n++] = static_cast<uint8_t>(global_time >> BYTE_BITS);
    bytes[n++] = static_cast<uint8_t>(fields);
    bytes[n++] = static_cast<uint8_t>(fields >> BYTE_BITS);
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
