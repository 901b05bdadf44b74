// The communication network interface (Cni): the memory a controller shares with its host.
//
// Every field occupies one 32-bit word of its own, value in the low bits. Setters check the width (a wider
// value is a programming error: "_value <= bit_mask(<width>)", source "ttpc\fp1cni"); getters mask, so a
// word whose upper bits were corrupted still reads as a value of the field's width. Because every field is
// a whole word, the fault injector treats the interface as a plain array of words (cni_words), and the
// controller publishes its whole status as one block copy.
//
// Cni: 4828 words (19312 bytes) in three areas:
//   words 0-187     status area: the published copy of the controller's live CniStatus
//   words 188-219   control area: written by the host (a few by the controller on its behalf)
//   words 220-4827  message area: 18432 bytes of messages, addressed in bytes
//
// Status area (CniStatus, identical layout in Cni::status):
//   word     field                       width  meaning
//   0        owner                       32     holds no pointer; kept 0; survives every reset (the
//                                               controller is found from where the interface is embedded)
//   1        spare_word                  16     no use; cleared on reset
//   2-69     cstate                      -      the C-state (fp1cstat.h)
//   70-133   null_frame[64]              1      per membership position: 1 = in the last slot of that
//                                               position nothing arrived on either channel
//   134      agreed_slots                8      slots with a correct frame since the last check
//   135      failed_slots                8      slots with an incorrect frame
//   136      invalid_slots               8      slots with an invalid frame
//   137      config_valid                8      CNI_VALID once the message descriptor list was found
//   138      membership_failures         8      membership failure counter
//   139      cold_starts                 8      cold start attempts; 0 after integration
//   140      clock_correction            8      signed (two's complement): correction term in macroticks
//   141      cstate_valid                8      CNI_VALID once the controller has adopted a C-state
//   142      protocol_state              4      ProtocolState code; 0, 11, 13-15 name no state
//   143      spare_flag_143              1      no use
//   144-153  bg_error, ack_error, clock_sync_error, membership_error, medl_crc_error, blackout_error,
//            download_completed, slot_occupied_error, mode_violation_error, nbw_error     1 each
//   154-157  spare_flags_154[4]          1      no use
//   158      frame_status_a              4      channel verdict of the last slot on channel A (fp1frame.h)
//   159      spare_word_159              -      no use
//   160-162  spare_flags_160[3]          1      no use
//   163      frame_status_b              4      channel verdict of the last slot on channel B
//   164      mtd_a                       8      measured time difference of the last sync frame, channel A
//   165      mtd_b                       8      same for channel B
//   166-169  spare_bytes_166[4]          8      no use
//   170      spare_logical_name          5      first word of the logical name; no key sets it (0)
//   171      logical_name_ps             1      the node's role, copied from its message descriptor list
//   172      logical_name_slot_position  6
//   173      logical_name_multiplex_id   4
//   174      controller_lifesign         16     controller life sign
//   175-180  spare_flags_175[6]          1      no use
//   181      local_time                  16     the controller's macrotick clock, low 16 bits
//   182      spare_flag_182              1      no use
//   183      ack_mismatch                1      acknowledgement verdicts of channels A and B differ
//   184-187  spare_flags_184[4]          1      no use
//
// Control area (Cni only):
//   188      host_lifesign               16     host life sign: complement of the published controller one
//   189      external_correction         16     signed: added to the clock synchronisation's correction
//   190      mcr_immediate               1      mode change request: 1 immediate, 0 deferred
//   191-192  mcr_mode_low, mcr_mode_high 1 each requested mode change 0..3, low bit first
//   193      controller_await            16     CNI_REQUEST sends a controller in INIT to AWAIT
//   194-195  selftest_request[2]         1 each either set sends a controller in INIT to SELFTEST
//   196      timer1                      16     user timer 1 (TI1) expiry time
//   197      timer2                      16     user timer 2 (TI2) expiry time
//   198-207  interrupt_enable[10]        1 each per HostInterrupt
//   208-217  interrupt_status[10]        1 each pending per HostInterrupt; controller sets, host clears
//   218      controller_on               16     CNI_REQUEST = switched on, anything else off
//   219      local_time_high             16     wraps of local_time past 0xFFFF, accumulated
//
// The host writes controller_on, controller_await, timer1, timer2 and the TI1/TI2 enables through the
// controller's notifying writes, which live with the controller; this module only reads those words.
//
// Messages. A message lives at byte 2 * a of the message area, a being a 14-bit address of the message
// descriptor list; CNI_NO_MESSAGE (0x3FFF) means no message. Layout:
//   byte 0, low nibble   update_count    +2 (mod 16) each time the controller writes received data
//   byte 0, high nibble  message_status  sending: MESSAGE_VALID marks the data valid to send;
//                                        receiving: the channel verdict
//   byte 1               -               no use
//   bytes 2..17          data            data bytes 0..15 (as many as the frame carries)
// message_at hands out a message only if its header and the data bytes asked for lie inside the area (the
// same rule by which the list reader accepts an address, message_fits), so no address read from a list or
// from corrupted memory can reach outside the interface.
#pragma once

#include "ttpc/fp1cstat.h"

#include <cstddef>
#include <cstdint>

struct Frame;

constexpr unsigned CNI_WORD_COUNT = 4828;
constexpr unsigned CNI_STATUS_WORD_COUNT = 188;
constexpr unsigned CNI_MESSAGE_AREA_BYTES = 18432;
constexpr unsigned CNI_NULL_FRAME_COUNT = CSTATE_MEMBERSHIP_COUNT;
constexpr unsigned CNI_SELFTEST_REQUEST_COUNT = 2;

constexpr unsigned CNI_FLAG_WIDTH = 1;
constexpr unsigned CNI_SPARE_WORD_WIDTH = 16;
constexpr unsigned CNI_COUNTER_WIDTH = 8;
constexpr unsigned CNI_VALID_WIDTH = 8;
constexpr unsigned CNI_CLOCK_CORRECTION_WIDTH = 8;
constexpr unsigned CNI_PROTOCOL_STATE_WIDTH = 4;
constexpr unsigned CNI_FRAME_STATUS_WIDTH = 4;
constexpr unsigned CNI_MTD_WIDTH = 8;
constexpr unsigned CNI_LOGICAL_NAME_PS_WIDTH = 1;
constexpr unsigned CNI_LOGICAL_NAME_SLOT_POSITION_WIDTH = 6;
constexpr unsigned CNI_LOGICAL_NAME_MULTIPLEX_ID_WIDTH = 4;
constexpr unsigned CNI_LIFESIGN_WIDTH = 16;
constexpr unsigned CNI_LOCAL_TIME_WIDTH = 16;
constexpr unsigned CNI_EXTERNAL_CORRECTION_WIDTH = 16;
constexpr unsigned CNI_MCR_MODE_WIDTH = 2;
constexpr unsigned CNI_CONTROL_WORD_WIDTH = 16;

/// config_valid and cstate_valid once set.
constexpr uint32_t CNI_VALID = 10;
/// controller_on: switched on; controller_await: go to AWAIT.
constexpr uint32_t CNI_REQUEST = 0xFFFF;

constexpr unsigned CNI_ADDRESS_WIDTH = 14;
constexpr uint32_t CNI_NO_MESSAGE = 0x3FFF;
constexpr unsigned MESSAGE_HEADER_BYTES = 2;
constexpr unsigned MESSAGE_DATA_BYTES = 16;
constexpr unsigned MESSAGE_BYTES = MESSAGE_HEADER_BYTES + MESSAGE_DATA_BYTES;
constexpr unsigned MESSAGE_NIBBLE_WIDTH = 4;
constexpr unsigned MESSAGE_BYTE_WIDTH = 8;
/// message_status bit: the host marked the data valid to send.
constexpr uint32_t MESSAGE_VALID = 8;

/// Host interrupts, in the order of the interrupt_enable and interrupt_status words.
enum HostInterrupt : unsigned {
    IRQ_BE,  // BIST error
    IRQ_PE,  // protocol error
    IRQ_HE,  // host error
    IRQ_ML,  // membership loss
    IRQ_MC,  // membership change
    IRQ_MI,  // mode change
    IRQ_UI1, // user interrupt 1
    IRQ_UI2, // user interrupt 2
    IRQ_TI1, // user timer 1
    IRQ_TI2, // user timer 2
    IRQ_COUNT
};

/// protocol_state codes.
enum ProtocolState : uint32_t {
    PS_INIT = 1,
    PS_LISTEN,
    PS_COLDSTART,
    PS_STARTUP,
    PS_APPLICATION,
    PS_READY,
    PS_PASSIVE,
    PS_AWAIT,
    PS_SELFTEST,
    PS_FREEZE,
    PS_DOWNLOAD = 12
};

struct CniStatus {
    uint32_t owner;
    uint32_t spare_word;
    CState cstate;
    uint32_t null_frame[CNI_NULL_FRAME_COUNT];
    uint32_t agreed_slots;
    uint32_t failed_slots;
    uint32_t invalid_slots;
    uint32_t config_valid;
    uint32_t membership_failures;
    uint32_t cold_starts;
    uint32_t clock_correction;
    uint32_t cstate_valid;
    uint32_t protocol_state;
    uint32_t spare_flag_143;
    uint32_t bg_error;
    uint32_t ack_error;
    uint32_t clock_sync_error;
    uint32_t membership_error;
    uint32_t medl_crc_error;
    uint32_t blackout_error;
    uint32_t download_completed;
    uint32_t slot_occupied_error;
    uint32_t mode_violation_error;
    uint32_t nbw_error;
    uint32_t spare_flags_154[4];
    uint32_t frame_status_a;
    uint32_t spare_word_159;
    uint32_t spare_flags_160[3];
    uint32_t frame_status_b;
    uint32_t mtd_a;
    uint32_t mtd_b;
    uint32_t spare_bytes_166[4];
    uint32_t spare_logical_name;
    uint32_t logical_name_ps;
    uint32_t logical_name_slot_position;
    uint32_t logical_name_multiplex_id;
    uint32_t controller_lifesign;
    uint32_t spare_flags_175[6];
    uint32_t local_time;
    uint32_t spare_flag_182;
    uint32_t ack_mismatch;
    uint32_t spare_flags_184[4];
};

struct Cni {
    CniStatus status;
    uint32_t host_lifesign;
    uint32_t external_correction;
    uint32_t mcr_immediate;
    uint32_t mcr_mode_low;
    uint32_t mcr_mode_high;
    uint32_t controller_await;
    uint32_t selftest_request[CNI_SELFTEST_REQUEST_COUNT];
    uint32_t timer1;
    uint32_t timer2;
    uint32_t interrupt_enable[IRQ_COUNT];
    uint32_t interrupt_status[IRQ_COUNT];
    uint32_t controller_on;
    uint32_t local_time_high;
    uint8_t message_area[CNI_MESSAGE_AREA_BYTES];
};

// Word positions that the fault masks and the block publication rely on.
static_assert(offsetof(CniStatus, owner) == 0 * 4);
static_assert(offsetof(CniStatus, spare_word) == 1 * 4);
static_assert(offsetof(CniStatus, cstate) == 2 * 4);
static_assert(offsetof(CniStatus, null_frame) == 70 * 4);
static_assert(offsetof(CniStatus, agreed_slots) == 134 * 4);
static_assert(offsetof(CniStatus, cold_starts) == 139 * 4);
static_assert(offsetof(CniStatus, clock_correction) == 140 * 4);
static_assert(offsetof(CniStatus, cstate_valid) == 141 * 4);
static_assert(offsetof(CniStatus, protocol_state) == 142 * 4);
static_assert(offsetof(CniStatus, spare_flag_143) == 143 * 4);
static_assert(offsetof(CniStatus, bg_error) == 144 * 4);
static_assert(offsetof(CniStatus, nbw_error) == 153 * 4);
static_assert(offsetof(CniStatus, spare_flags_154) == 154 * 4);
static_assert(offsetof(CniStatus, frame_status_a) == 158 * 4);
static_assert(offsetof(CniStatus, spare_word_159) == 159 * 4);
static_assert(offsetof(CniStatus, spare_flags_160) == 160 * 4);
static_assert(offsetof(CniStatus, frame_status_b) == 163 * 4);
static_assert(offsetof(CniStatus, mtd_a) == 164 * 4);
static_assert(offsetof(CniStatus, mtd_b) == 165 * 4);
static_assert(offsetof(CniStatus, spare_bytes_166) == 166 * 4);
static_assert(offsetof(CniStatus, spare_logical_name) == 170 * 4);
static_assert(offsetof(CniStatus, logical_name_ps) == 171 * 4);
static_assert(offsetof(CniStatus, logical_name_slot_position) == 172 * 4);
static_assert(offsetof(CniStatus, logical_name_multiplex_id) == 173 * 4);
static_assert(offsetof(CniStatus, controller_lifesign) == 174 * 4);
static_assert(offsetof(CniStatus, spare_flags_175) == 175 * 4);
static_assert(offsetof(CniStatus, local_time) == 181 * 4);
static_assert(offsetof(CniStatus, spare_flag_182) == 182 * 4);
static_assert(offsetof(CniStatus, ack_mismatch) == 183 * 4);
static_assert(offsetof(CniStatus, spare_flags_184) == 184 * 4);
static_assert(sizeof(CniStatus) == CNI_STATUS_WORD_COUNT * 4);

static_assert(offsetof(Cni, status) == 0);
static_assert(offsetof(Cni, host_lifesign) == 188 * 4);
static_assert(offsetof(Cni, external_correction) == 189 * 4);
static_assert(offsetof(Cni, mcr_immediate) == 190 * 4);
static_assert(offsetof(Cni, mcr_mode_low) == 191 * 4);
static_assert(offsetof(Cni, mcr_mode_high) == 192 * 4);
static_assert(offsetof(Cni, controller_await) == 193 * 4);
static_assert(offsetof(Cni, selftest_request) == 194 * 4);
static_assert(offsetof(Cni, timer1) == 196 * 4);
static_assert(offsetof(Cni, timer2) == 197 * 4);
static_assert(offsetof(Cni, interrupt_enable) == 198 * 4);
static_assert(offsetof(Cni, interrupt_status) == 208 * 4);
static_assert(offsetof(Cni, controller_on) == 218 * 4);
static_assert(offsetof(Cni, local_time_high) == 219 * 4);
static_assert(offsetof(Cni, message_area) == 220 * 4);
static_assert(sizeof(Cni) == CNI_WORD_COUNT * 4);
static_assert(sizeof(Cni) == 19312);

/// The interface as an array of CNI_WORD_COUNT words, word w as in the tables above (fault injection,
/// publication).
inline uint32_t* cni_words(Cni& cni) {
    return reinterpret_cast<uint32_t*>(&cni);
}
inline const uint32_t* cni_words(const Cni& cni) {
    return reinterpret_cast<const uint32_t*>(&cni);
}

/// Clears everything but owner, null_frame (words 70-133) and controller_on (word 218): the host's
/// controller_on survives a controller restart. Run at every controller initialisation.
void reset_cni(Cni& cni);
/// Clears every word of the status but owner and null_frame.
void reset_status(CniStatus& status);

// Status accessors: get masks, set checks the width, add wraps at the width and returns the new value.
uint32_t get_null_frame(const CniStatus& status, unsigned position); // position masked to 6 bits
void set_null_frame(CniStatus& status, unsigned position, uint32_t value);

uint32_t get_agreed_slots(const CniStatus& status);
void set_agreed_slots(CniStatus& status, uint32_t value);
uint32_t add_agreed_slots(CniStatus& status, uint32_t delta);
uint32_t get_failed_slots(const CniStatus& status);
void set_failed_slots(CniStatus& status, uint32_t value);
uint32_t add_failed_slots(CniStatus& status, uint32_t delta);
uint32_t get_invalid_slots(const CniStatus& status);
void set_invalid_slots(CniStatus& status, uint32_t value);
uint32_t add_invalid_slots(CniStatus& status, uint32_t delta);
uint32_t get_config_valid(const CniStatus& status);
void set_config_valid(CniStatus& status, uint32_t value);
uint32_t get_membership_failures(const CniStatus& status);
void set_membership_failures(CniStatus& status, uint32_t value);
uint32_t add_membership_failures(CniStatus& status, uint32_t delta);
uint32_t get_cold_starts(const CniStatus& status);
void set_cold_starts(CniStatus& status, uint32_t value);
uint32_t add_cold_starts(CniStatus& status, uint32_t delta);

/// Signed, 8 bits: get sign-extends; set and add keep the low 8 bits without a check (the sum wraps,
/// -128 + -1 reads 127).
int32_t get_clock_correction(const CniStatus& status);
void set_clock_correction(CniStatus& status, int32_t value);
int32_t add_clock_correction(CniStatus& status, int32_t delta);

uint32_t get_cstate_valid(const CniStatus& status);
void set_cstate_valid(CniStatus& status, uint32_t value);
uint32_t get_protocol_state(const CniStatus& status);
void set_protocol_state(CniStatus& status, uint32_t value);

// Error and status flags (1 bit each).
uint32_t get_bg_error(const CniStatus& status);
void set_bg_error(CniStatus& status, uint32_t value);
uint32_t get_ack_error(const CniStatus& status);
void set_ack_error(CniStatus& status, uint32_t value);
uint32_t get_clock_sync_error(const CniStatus& status);
void set_clock_sync_error(CniStatus& status, uint32_t value);
uint32_t get_membership_error(const CniStatus& status);
void set_membership_error(CniStatus& status, uint32_t value);
uint32_t get_medl_crc_error(const CniStatus& status);
void set_medl_crc_error(CniStatus& status, uint32_t value);
uint32_t get_blackout_error(const CniStatus& status);
void set_blackout_error(CniStatus& status, uint32_t value);
uint32_t get_download_completed(const CniStatus& status);
void set_download_completed(CniStatus& status, uint32_t value);
uint32_t get_slot_occupied_error(const CniStatus& status);
void set_slot_occupied_error(CniStatus& status, uint32_t value);
uint32_t get_mode_violation_error(const CniStatus& status);
void set_mode_violation_error(CniStatus& status, uint32_t value);
uint32_t get_nbw_error(const CniStatus& status);
void set_nbw_error(CniStatus& status, uint32_t value);
uint32_t get_ack_mismatch(const CniStatus& status);
void set_ack_mismatch(CniStatus& status, uint32_t value);

uint32_t get_frame_status_a(const CniStatus& status);
void set_frame_status_a(CniStatus& status, uint32_t value);
uint32_t get_frame_status_b(const CniStatus& status);
void set_frame_status_b(CniStatus& status, uint32_t value);
/// 8 bits; set keeps the low 8 bits without a check.
uint32_t get_mtd_a(const CniStatus& status);
void set_mtd_a(CniStatus& status, uint32_t value);
uint32_t get_mtd_b(const CniStatus& status);
void set_mtd_b(CniStatus& status, uint32_t value);

uint32_t get_logical_name_ps(const CniStatus& status);
void set_logical_name_ps(CniStatus& status, uint32_t value);
uint32_t get_logical_name_slot_position(const CniStatus& status);
void set_logical_name_slot_position(CniStatus& status, uint32_t value);
uint32_t get_logical_name_multiplex_id(const CniStatus& status);
void set_logical_name_multiplex_id(CniStatus& status, uint32_t value);

uint32_t get_controller_lifesign(const CniStatus& status);
void set_controller_lifesign(CniStatus& status, uint32_t value);
uint32_t get_local_time(const CniStatus& status);
void set_local_time(CniStatus& status, uint32_t value);

// Control area.
uint32_t get_host_lifesign(const Cni& cni);
void set_host_lifesign(Cni& cni, uint32_t value);
/// Signed, 16 bits: sign-extended.
int32_t get_external_correction(const Cni& cni);
uint32_t get_mcr_immediate(const Cni& cni);
void set_mcr_immediate(Cni& cni, uint32_t value);
/// Word 192 * 2 + word 191.
uint32_t get_mcr_mode(const Cni& cni);
void set_mcr_mode(Cni& cni, uint32_t mode);
uint32_t get_controller_await(const Cni& cni);
uint32_t get_timer1(const Cni& cni);
uint32_t get_timer2(const Cni& cni);
uint32_t get_controller_on(const Cni& cni);
uint32_t get_local_time_high(const Cni& cni);
void set_local_time_high(Cni& cni, uint32_t value);
/// local_time_high := (local_time_high + delta) mod 65536; returns the new value. Like add_update_count, a
/// carry: the model never acts on the value returned.
uint32_t add_local_time_high(Cni& cni, uint32_t delta);

/// Indexed control flags; i < 2 (selftest_request) and i < IRQ_COUNT (interrupts) are asserted.
uint32_t get_selftest_request(const Cni& cni, unsigned i);
void set_selftest_request(Cni& cni, unsigned i, uint32_t value);
uint32_t get_interrupt_enable(const Cni& cni, unsigned i);
void set_interrupt_enable(Cni& cni, unsigned i, uint32_t value);
uint32_t get_interrupt_status(const Cni& cni, unsigned i);
void set_interrupt_status(Cni& cni, unsigned i, uint32_t value);

// Messages.
/// Does a message at `address` carrying `data_bytes` data bytes lie wholly inside the message area, that is
/// 2 * address + 2 + data_bytes <= 18432? CNI_NO_MESSAGE names no message and never fits.
bool message_fits(uint32_t address, uint32_t data_bytes);
/// The message at `address`, or nullptr when it does not fit with `data_bytes` data bytes (message_fits).
/// Only data bytes 0 .. data_bytes-1 of the message handed out may be used.
uint8_t* message_at(Cni& cni, uint32_t address, uint32_t data_bytes = MESSAGE_DATA_BYTES);
const uint8_t* message_at(const Cni& cni, uint32_t address, uint32_t data_bytes = MESSAGE_DATA_BYTES);

/// Writes into the message areas of the interfaces since the program started: each call of the message
/// operations below that writes (a header nibble, data bytes), each reset_cni, and each write of a fault
/// into a controller's memory, wherever in it the fault lands (the fault code counts its own by
/// note_message_write). Nothing in the model reads it, so it is not model state: an observer that looked at
/// the messages after a step need not look again while the count stands still.
extern uint64_t message_writes;
inline void note_message_write() {
    ++message_writes;
}

// The operations below take a message handed out by message_at (never nullptr).
uint32_t get_update_count(const uint8_t* message);
/// Checks 4 bits; keeps message_status.
void set_update_count(uint8_t* message, uint32_t value);
/// update_count := (update_count + delta) mod 16; returns the new value. Nothing in the model reads the count
/// but this update, which the access recorder sees as a carry (kernel/access_recorder.h); a caller that acted
/// on the value returned would be a use it does not see.
uint32_t add_update_count(uint8_t* message, uint32_t delta);
uint32_t get_message_status(const uint8_t* message);
/// Checks 4 bits; keeps update_count.
void set_message_status(uint8_t* message, uint32_t value);
/// Data byte i (message byte 2 + i), i < 16 asserted.
uint32_t get_message_byte(const uint8_t* message, unsigned i);
void set_message_byte(uint8_t* message, unsigned i, uint32_t value);
/// Copies data bytes 0 .. count-1 of an N-frame into the message's data bytes. The count is clamped to
/// the bytes the frame carries (n_frame_data_count, at most 16), so bytes past the frame's data never
/// reach the message; returns the number of bytes copied.
unsigned copy_message_data(uint8_t* message, const Frame& frame, unsigned count);
