#include "ttpc/fp1cni.h"

#include "kernel/access_recorder.h"
#include "kernel/sim_assert.h"
#include "ttpc/fp1frame.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr const char* SOURCE = "ttpc\\fp1cni";

/// Message byte 0: update_count in the low nibble, message_status in the high one.
constexpr unsigned MESSAGE_STATUS_SHIFT = MESSAGE_NIBBLE_WIDTH;
constexpr uint8_t UPDATE_COUNT_BITS = bit_mask(MESSAGE_NIBBLE_WIDTH);
constexpr uint8_t MESSAGE_STATUS_BITS = bit_mask(MESSAGE_NIBBLE_WIDTH) << MESSAGE_STATUS_SHIFT;
constexpr uint8_t MESSAGE_BYTE_BITS = bit_mask(MESSAGE_BYTE_WIDTH);

uint32_t masked(uint32_t value, unsigned width) {
    return value & bit_mask(width);
}

/// A getter's read of a field: the bits of its width.
uint32_t read(const uint32_t& word, unsigned width) {
    return recorded_read(word, bit_mask(width));
}

/// The checked store of every setter; the failure names the setter's line.
void store(uint32_t& word, uint32_t value, unsigned width, unsigned line = __builtin_LINE()) {
    check_width(value, width, SOURCE, line);
    recorded_store(word, value);
}

/// The two's complement value of the low `width` bits of a field.
int32_t read_signed(const uint32_t& word, unsigned width) {
    const uint32_t sign = 1u << (width - 1);
    return static_cast<int32_t>(read(word, width) ^ sign) - static_cast<int32_t>(sign);
}

unsigned position_index(unsigned position) {
    return position & bit_mask(CSTATE_MEMBERSHIP_POSITION_WIDTH);
}

/// Zeroes bytes [begin, end) of a record.
template <typename Record>
void clear_bytes(Record& record, std::size_t begin, std::size_t end) {
    unsigned char* first = reinterpret_cast<unsigned char*>(&record) + begin;
    access_write_bytes(first, end - begin);
    std::memset(first, 0, end - begin);
}

} // namespace

uint64_t message_writes = 0;

void reset_cni(Cni& cni) {
    note_message_write();
    clear_bytes(cni, offsetof(Cni, status.spare_word), offsetof(Cni, status.null_frame));
    clear_bytes(cni, offsetof(Cni, status.agreed_slots), offsetof(Cni, controller_on));
    clear_bytes(cni, offsetof(Cni, local_time_high), sizeof(Cni));
}

void reset_status(CniStatus& status) {
    clear_bytes(status, offsetof(CniStatus, spare_word), offsetof(CniStatus, null_frame));
    clear_bytes(status, offsetof(CniStatus, agreed_slots), sizeof(CniStatus));
}

uint32_t get_null_frame(const CniStatus& status, unsigned position) {
    return read(status.null_frame[position_index(position)], CNI_FLAG_WIDTH);
}

void set_null_frame(CniStatus& status, unsigned position, uint32_t value) {
    store(status.null_frame[position_index(position)], value, CNI_FLAG_WIDTH);
}

uint32_t get_agreed_slots(const CniStatus& status) {
    return read(status.agreed_slots, CNI_COUNTER_WIDTH);
}
void set_agreed_slots(CniStatus& status, uint32_t value) {
    store(status.agreed_slots, value, CNI_COUNTER_WIDTH);
}
uint32_t add_agreed_slots(CniStatus& status, uint32_t delta) {
    set_agreed_slots(status, masked(get_agreed_slots(status) + delta, CNI_COUNTER_WIDTH));
    return get_agreed_slots(status);
}

uint32_t get_failed_slots(const CniStatus& status) {
    return read(status.failed_slots, CNI_COUNTER_WIDTH);
}
void set_failed_slots(CniStatus& status, uint32_t value) {
    store(status.failed_slots, value, CNI_COUNTER_WIDTH);
}
uint32_t add_failed_slots(CniStatus& status, uint32_t delta) {
    set_failed_slots(status, masked(get_failed_slots(status) + delta, CNI_COUNTER_WIDTH));
    return get_failed_slots(status);
}

uint32_t get_invalid_slots(const CniStatus& status) {
    return read(status.invalid_slots, CNI_COUNTER_WIDTH);
}
void set_invalid_slots(CniStatus& status, uint32_t value) {
    store(status.invalid_slots, value, CNI_COUNTER_WIDTH);
}
uint32_t add_invalid_slots(CniStatus& status, uint32_t delta) {
    set_invalid_slots(status, masked(get_invalid_slots(status) + delta, CNI_COUNTER_WIDTH));
    return get_invalid_slots(status);
}

uint32_t get_config_valid(const CniStatus& status) {
    return read(status.config_valid, CNI_VALID_WIDTH);
}
void set_config_valid(CniStatus& status, uint32_t value) {
    store(status.config_valid, value, CNI_VALID_WIDTH);
}

uint32_t get_membership_failures(const CniStatus& status) {
    return read(status.membership_failures, CNI_COUNTER_WIDTH);
}
void set_membership_failures(CniStatus& status, uint32_t value) {
    store(status.membership_failures, value, CNI_COUNTER_WIDTH);
}
uint32_t add_membership_failures(CniStatus& status, uint32_t delta) {
    set_membership_failures(status, masked(get_membership_failures(status) + delta, CNI_COUNTER_WIDTH));
    return get_membership_failures(status);
}

uint32_t get_cold_starts(const CniStatus& status) {
    return read(status.cold_starts, CNI_COUNTER_WIDTH);
}
void set_cold_starts(CniStatus& status, uint32_t value) {
    store(status.cold_starts, value, CNI_COUNTER_WIDTH);
}
uint32_t add_cold_starts(CniStatus& status, uint32_t delta) {
    set_cold_starts(status, masked(get_cold_starts(status) + delta, CNI_COUNTER_WIDTH));
    return get_cold_starts(status);
}

int32_t get_clock_correction(const CniStatus& status) {
    return read_signed(status.clock_correction, CNI_CLOCK_CORRECTION_WIDTH);
}

void set_clock_correction(CniStatus& status, int32_t value) {
    recorded_store(status.clock_correction, masked(static_cast<uint32_t>(value), CNI_CLOCK_CORRECTION_WIDTH));
}

int32_t add_clock_correction(CniStatus& status, int32_t delta) {
    // Summed as unsigned words: wraps in 8 bits whatever the delta, never overflows.
    const uint32_t sum = static_cast<uint32_t>(get_clock_correction(status)) + static_cast<uint32_t>(delta);
    recorded_store(status.clock_correction, masked(sum, CNI_CLOCK_CORRECTION_WIDTH));
    return get_clock_correction(status);
}

uint32_t get_cstate_valid(const CniStatus& status) {
    return read(status.cstate_valid, CNI_VALID_WIDTH);
}
void set_cstate_valid(CniStatus& status, uint32_t value) {
    store(status.cstate_valid, value, CNI_VALID_WIDTH);
}

uint32_t get_protocol_state(const CniStatus& status) {
    return read(status.protocol_state, CNI_PROTOCOL_STATE_WIDTH);
}
void set_protocol_state(CniStatus& status, uint32_t value) {
    store(status.protocol_state, value, CNI_PROTOCOL_STATE_WIDTH);
}

uint32_t get_bg_error(const CniStatus& status) {
    return read(status.bg_error, CNI_FLAG_WIDTH);
}
void set_bg_error(CniStatus& status, uint32_t value) {
    store(status.bg_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_ack_error(const CniStatus& status) {
    return read(status.ack_error, CNI_FLAG_WIDTH);
}
void set_ack_error(CniStatus& status, uint32_t value) {
    store(status.ack_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_clock_sync_error(const CniStatus& status) {
    return read(status.clock_sync_error, CNI_FLAG_WIDTH);
}
void set_clock_sync_error(CniStatus& status, uint32_t value) {
    store(status.clock_sync_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_membership_error(const CniStatus& status) {
    return read(status.membership_error, CNI_FLAG_WIDTH);
}
void set_membership_error(CniStatus& status, uint32_t value) {
    store(status.membership_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_medl_crc_error(const CniStatus& status) {
    return read(status.medl_crc_error, CNI_FLAG_WIDTH);
}
void set_medl_crc_error(CniStatus& status, uint32_t value) {
    store(status.medl_crc_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_blackout_error(const CniStatus& status) {
    return read(status.blackout_error, CNI_FLAG_WIDTH);
}
void set_blackout_error(CniStatus& status, uint32_t value) {
    store(status.blackout_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_download_completed(const CniStatus& status) {
    return read(status.download_completed, CNI_FLAG_WIDTH);
}
void set_download_completed(CniStatus& status, uint32_t value) {
    store(status.download_completed, value, CNI_FLAG_WIDTH);
}
uint32_t get_slot_occupied_error(const CniStatus& status) {
    return read(status.slot_occupied_error, CNI_FLAG_WIDTH);
}
void set_slot_occupied_error(CniStatus& status, uint32_t value) {
    store(status.slot_occupied_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_mode_violation_error(const CniStatus& status) {
    return read(status.mode_violation_error, CNI_FLAG_WIDTH);
}
void set_mode_violation_error(CniStatus& status, uint32_t value) {
    store(status.mode_violation_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_nbw_error(const CniStatus& status) {
    return read(status.nbw_error, CNI_FLAG_WIDTH);
}
void set_nbw_error(CniStatus& status, uint32_t value) {
    store(status.nbw_error, value, CNI_FLAG_WIDTH);
}
uint32_t get_ack_mismatch(const CniStatus& status) {
    return read(status.ack_mismatch, CNI_FLAG_WIDTH);
}
void set_ack_mismatch(CniStatus& status, uint32_t value) {
    store(status.ack_mismatch, value, CNI_FLAG_WIDTH);
}

uint32_t get_frame_status_a(const CniStatus& status) {
    return read(status.frame_status_a, CNI_FRAME_STATUS_WIDTH);
}
void set_frame_status_a(CniStatus& status, uint32_t value) {
    store(status.frame_status_a, value, CNI_FRAME_STATUS_WIDTH);
}
uint32_t get_frame_status_b(const CniStatus& status) {
    return read(status.frame_status_b, CNI_FRAME_STATUS_WIDTH);
}
void set_frame_status_b(CniStatus& status, uint32_t value) {
    store(status.frame_status_b, value, CNI_FRAME_STATUS_WIDTH);
}

uint32_t get_mtd_a(const CniStatus& status) {
    return read(status.mtd_a, CNI_MTD_WIDTH);
}
void set_mtd_a(CniStatus& status, uint32_t value) {
    recorded_store(status.mtd_a, masked(value, CNI_MTD_WIDTH));
}
uint32_t get_mtd_b(const CniStatus& status) {
    return read(status.mtd_b, CNI_MTD_WIDTH);
}
void set_mtd_b(CniStatus& status, uint32_t value) {
    recorded_store(status.mtd_b, masked(value, CNI_MTD_WIDTH));
}

uint32_t get_logical_name_ps(const CniStatus& status) {
    return read(status.logical_name_ps, CNI_LOGICAL_NAME_PS_WIDTH);
}
void set_logical_name_ps(CniStatus& status, uint32_t value) {
    store(status.logical_name_ps, value, CNI_LOGICAL_NAME_PS_WIDTH);
}
uint32_t get_logical_name_slot_position(const CniStatus& status) {
    return read(status.logical_name_slot_position, CNI_LOGICAL_NAME_SLOT_POSITION_WIDTH);
}
void set_logical_name_slot_position(CniStatus& status, uint32_t value) {
    store(status.logical_name_slot_position, value, CNI_LOGICAL_NAME_SLOT_POSITION_WIDTH);
}
uint32_t get_logical_name_multiplex_id(const CniStatus& status) {
    return read(status.logical_name_multiplex_id, CNI_LOGICAL_NAME_MULTIPLEX_ID_WIDTH);
}
void set_logical_name_multiplex_id(CniStatus& status, uint32_t value) {
    store(status.logical_name_multiplex_id, value, CNI_LOGICAL_NAME_MULTIPLEX_ID_WIDTH);
}

uint32_t get_controller_lifesign(const CniStatus& status) {
    return read(status.controller_lifesign, CNI_LIFESIGN_WIDTH);
}
void set_controller_lifesign(CniStatus& status, uint32_t value) {
    store(status.controller_lifesign, value, CNI_LIFESIGN_WIDTH);
}
uint32_t get_local_time(const CniStatus& status) {
    return read(status.local_time, CNI_LOCAL_TIME_WIDTH);
}
void set_local_time(CniStatus& status, uint32_t value) {
    store(status.local_time, value, CNI_LOCAL_TIME_WIDTH);
}

uint32_t get_host_lifesign(const Cni& cni) {
    return read(cni.host_lifesign, CNI_LIFESIGN_WIDTH);
}
void set_host_lifesign(Cni& cni, uint32_t value) {
    store(cni.host_lifesign, value, CNI_LIFESIGN_WIDTH);
}

int32_t get_external_correction(const Cni& cni) {
    return read_signed(cni.external_correction, CNI_EXTERNAL_CORRECTION_WIDTH);
}

uint32_t get_mcr_immediate(const Cni& cni) {
    return read(cni.mcr_immediate, CNI_FLAG_WIDTH);
}
void set_mcr_immediate(Cni& cni, uint32_t value) {
    store(cni.mcr_immediate, value, CNI_FLAG_WIDTH);
}

uint32_t get_mcr_mode(const Cni& cni) {
    return (read(cni.mcr_mode_high, CNI_FLAG_WIDTH) << 1) | read(cni.mcr_mode_low, CNI_FLAG_WIDTH);
}

void set_mcr_mode(Cni& cni, uint32_t mode) {
    check_width(mode, CNI_MCR_MODE_WIDTH, SOURCE);
    recorded_store(cni.mcr_mode_low, mode & 1u);
    recorded_store(cni.mcr_mode_high, (mode >> 1) & 1u);
}

uint32_t get_controller_await(const Cni& cni) {
    return read(cni.controller_await, CNI_CONTROL_WORD_WIDTH);
}
uint32_t get_timer1(const Cni& cni) {
    return read(cni.timer1, CNI_CONTROL_WORD_WIDTH);
}
uint32_t get_timer2(const Cni& cni) {
    return read(cni.timer2, CNI_CONTROL_WORD_WIDTH);
}
uint32_t get_controller_on(const Cni& cni) {
    return read(cni.controller_on, CNI_CONTROL_WORD_WIDTH);
}

uint32_t get_local_time_high(const Cni& cni) {
    return read(cni.local_time_high, CNI_CONTROL_WORD_WIDTH);
}
void set_local_time_high(Cni& cni, uint32_t value) {
    store(cni.local_time_high, value, CNI_CONTROL_WORD_WIDTH);
}
uint32_t add_local_time_high(Cni& cni, uint32_t delta) {
    // The carry word counts wraps and nothing reads it but its own update: a carry, not a use.
    access_carry(&cni.local_time_high, bit_mask(CNI_CONTROL_WORD_WIDTH));
    cni.local_time_high =
        masked(masked(cni.local_time_high, CNI_CONTROL_WORD_WIDTH) + delta, CNI_CONTROL_WORD_WIDTH);
    return cni.local_time_high;
}

uint32_t get_selftest_request(const Cni& cni, unsigned i) {
    sim_assert(i < CNI_SELFTEST_REQUEST_COUNT, "i < CNI_SELFTEST_REQUEST_COUNT", SOURCE);
    return read(cni.selftest_request[i], CNI_FLAG_WIDTH);
}
void set_selftest_request(Cni& cni, unsigned i, uint32_t value) {
    sim_assert(i < CNI_SELFTEST_REQUEST_COUNT, "i < CNI_SELFTEST_REQUEST_COUNT", SOURCE);
    store(cni.selftest_request[i], value, CNI_FLAG_WIDTH);
}

uint32_t get_interrupt_enable(const Cni& cni, unsigned i) {
    sim_assert(i < IRQ_COUNT, "i < IRQ_COUNT", SOURCE);
    return read(cni.interrupt_enable[i], CNI_FLAG_WIDTH);
}
void set_interrupt_enable(Cni& cni, unsigned i, uint32_t value) {
    sim_assert(i < IRQ_COUNT, "i < IRQ_COUNT", SOURCE);
    store(cni.interrupt_enable[i], value, CNI_FLAG_WIDTH);
}

uint32_t get_interrupt_status(const Cni& cni, unsigned i) {
    sim_assert(i < IRQ_COUNT, "i < IRQ_COUNT", SOURCE);
    return read(cni.interrupt_status[i], CNI_FLAG_WIDTH);
}
void set_interrupt_status(Cni& cni, unsigned i, uint32_t value) {
    sim_assert(i < IRQ_COUNT, "i < IRQ_COUNT", SOURCE);
    store(cni.interrupt_status[i], value, CNI_FLAG_WIDTH);
}

bool message_fits(uint32_t address, uint32_t data_bytes) {
    const uint64_t end = uint64_t{MESSAGE_HEADER_BYTES} * address + MESSAGE_HEADER_BYTES + data_bytes;
    return address != CNI_NO_MESSAGE && end <= CNI_MESSAGE_AREA_BYTES;
}

uint8_t* message_at(Cni& cni, uint32_t address, uint32_t data_bytes) {
    return const_cast<uint8_t*>(message_at(static_cast<const Cni&>(cni), address, data_bytes));
}

const uint8_t* message_at(const Cni& cni, uint32_t address, uint32_t data_bytes) {
    return message_fits(address, data_bytes) ? cni.message_area + MESSAGE_HEADER_BYTES * address : nullptr;
}

uint32_t get_update_count(const uint8_t* message) {
    access_byte(message, UPDATE_COUNT_BITS, ACCESS_READ);
    return message[0] & UPDATE_COUNT_BITS;
}

void set_update_count(uint8_t* message, uint32_t value) {
    note_message_write();
    check_width(value, MESSAGE_NIBBLE_WIDTH, SOURCE);
    access_byte(message, UPDATE_COUNT_BITS, ACCESS_WRITE); // the status nibble is stored back as it was
    message[0] = static_cast<uint8_t>((message[0] & MESSAGE_STATUS_BITS) | value);
}

uint32_t add_update_count(uint8_t* message, uint32_t delta) {
    note_message_write();
    // Nothing reads the count but its own update: a carry, not a use.
    access_byte(message, UPDATE_COUNT_BITS, ACCESS_CARRY);
    message[0] =
        static_cast<uint8_t>((message[0] & MESSAGE_STATUS_BITS) | ((message[0] + delta) & UPDATE_COUNT_BITS));
    return message[0] & UPDATE_COUNT_BITS;
}

uint32_t get_message_status(const uint8_t* message) {
    access_byte(message, MESSAGE_STATUS_BITS, ACCESS_READ);
    return message[0] >> MESSAGE_STATUS_SHIFT;
}

void set_message_status(uint8_t* message, uint32_t value) {
    note_message_write();
    check_width(value, MESSAGE_NIBBLE_WIDTH, SOURCE);
    access_byte(message, MESSAGE_STATUS_BITS, ACCESS_WRITE); // the update count is stored back as it was
    message[0] = static_cast<uint8_t>((message[0] & UPDATE_COUNT_BITS) | (value << MESSAGE_STATUS_SHIFT));
}

uint32_t get_message_byte(const uint8_t* message, unsigned i) {
    sim_assert(i < MESSAGE_DATA_BYTES, "i < MESSAGE_DATA_BYTES", SOURCE);
    access_byte(message + MESSAGE_HEADER_BYTES + i, MESSAGE_BYTE_BITS, ACCESS_READ);
    return message[MESSAGE_HEADER_BYTES + i];
}

void set_message_byte(uint8_t* message, unsigned i, uint32_t value) {
    note_message_write();
    sim_assert(i < MESSAGE_DATA_BYTES, "i < MESSAGE_DATA_BYTES", SOURCE);
    check_width(value, MESSAGE_BYTE_WIDTH, SOURCE);
    access_byte(message + MESSAGE_HEADER_BYTES + i, MESSAGE_BYTE_BITS, ACCESS_WRITE);
    message[MESSAGE_HEADER_BYTES + i] = static_cast<uint8_t>(value);
}

unsigned copy_message_data(uint8_t* message, const Frame& frame, unsigned count) {
    note_message_write();
    const unsigned copied = std::min(count, n_frame_data_count(frame));
    access_read_bytes(frame.body.n.data, copied);
    access_write_bytes(message + MESSAGE_HEADER_BYTES, copied);
    std::memcpy(message + MESSAGE_HEADER_BYTES, frame.body.n.data, copied);
    return copied;
}
