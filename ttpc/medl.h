// Message descriptor list (MEDL) of one controller: the record, its reader and its masked accessors.
//
// Each node's controller is configured by its list: the cluster-wide parameters, the node's role, the bus
// guardian windows, and for every slot of the TDMA round and every cluster mode what is sent, by whom and
// what happens at the end of the slot. The list is read once, when the cluster is assembled, from the text
// file "medl%02d.txt" named after the node index (medl00.txt for M1 ... medl03.txt for O2).
//
// The record
// ----------
// Every value is a signed 32-bit word except `micro_to_macro`, a double. The reader clears the record before
// it reads, so a key that no line sets is 0. Sections, in record order:
//
//   revision                         revision of the list (stored only)
//   controller_cfg_params            cluster-wide controller parameters (ControllerCfgParams)
//   bus_guardian_cold_start          guardian window while cold-starting (BgParams)
//   bus_guardian_download            guardian window for download (BgParams, stored only)
//   role_list                        the node's logical name and its guardian window in normal operation
//   mode_control_entry[31]           per cluster mode 0-30: the modes entered by deferred mode changes
//   implementation_params            controller implementation constants and two more guardian windows
//   slot_control_entry[512]          per MEDL position 0-511: slot duration, sender, end-of-slot actions
//   mode_address_entry[31][512]      per cluster mode and MEDL position: frame kinds and message addresses
//
// The file stores whole integers, but the controller reads most fields through a mask: the value is taken
// modulo 2^width, with the widths named below. Fields without an accessor are stored and read by nothing.
// The record is about 1 MB: allocate it on the heap.
//
// The file
// --------
// Text lines of "<value> <key>" (whitespace separated; further words are ignored). A line whose first
// character is '#' is a comment; lines with fewer than two words are skipped. A line longer than 1023
// characters is taken in pieces of 1023 characters, each treated as a line. Keys are dotted paths such as
//
//     2      controller_cfg_params.c_state_length
//     1      mode_address_entry[1][7].ia
//     0.5    controller_cfg_params.micro_to_macro
//
// A component is recognised when it begins with a keyword of its level (extra characters after the keyword,
// or after an index, are ignored); a field may be followed by further components, which are ignored, and
// `revision` takes none. Indexed components carry a decimal index in square brackets, `mode_address_entry`
// two of them: [mode][position].
//
// Relative keys. A key beginning with '.' continues the current path (the last resolved key): with k the
// number of '.' characters in it, the current path is cut at its k-th '.' from the end and the key is
// appended there. After slot_control_entry[3].logical_name.ps the key .slot_position names
// slot_control_entry[3].logical_name.slot_position; after role_list.logical_name.ps the key
// .bus_guardian.bg_slot_offset names role_list.bus_guardian.bg_slot_offset. A relative key before any
// absolute key, one with more dots than the current path, or one resolving to 1024 characters or more
// cannot be resolved.
//
// Values. Integers are read like "%d": an optional sign and decimal digits, anything after them ignored
// ("0.5" reads 0, "12abc" reads 12). A number beyond the 32-bit range keeps its low 32 bits (two's
// complement; 4294967298 reads 2), and one beyond the 64-bit range first saturates to the 64-bit limit, so
// every input gives one defined value. `micro_to_macro` is read like "%lf" (strtod). A value that does not
// convert leaves the field as it was; this is not an error. A later line for the same key overwrites.
//
// Result codes
// ------------
//   0  the whole file was read and its values are usable
//   1  node index above 99 (no file is opened)
//   2  no record given
//   3  the file cannot be opened for reading (the record is left untouched)
//   4  a read error other than the end of the file
//   5  a relative key cannot be resolved
//   7  a key is not recognised, an indexed key lacks its index, or an index is malformed or out of range:
//      modes 0-30, MEDL positions 0-511, deferred_mode / mcp_i / mcp_d 0-2, at most 9 digits
//   8  a value the controller cannot use (checked once the whole file is read):
//      - c_state_length (masked) outside 2-6: the C-state has two field units and 64 membership flags, so
//        any other length would make frames cover flags that do not exist; a list that never sets it fails;
//      - a mode address entry whose channel A (resp. B) message, at byte 2 * cni_address_cha and
//        2 + dafla + 1 bytes long, does not fit the 18,432-byte message area (address 0x3FFF = no message).
//
// After a failure the record keeps what was read so far; the caller treats any non-zero result as a failed
// start. MedlError, if given, receives the code, the line, the key and one line of text naming the file,
// the line, the key and what to fix, e.g.
//
//     medl02.txt:57: key 'slot_control_entry[600].eot': slot index 600 is outside 0-511
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_map>

/// A bus guardian window: offset and duration of the window in the slot, and the rest of the round.
/// The three window values are 16 bits wide; `crc` is stored only.
struct BgParams {
    int32_t bg_slot_offset;
    int32_t bg_slot_duration;
    int32_t bg_remaining_round;
    int32_t crc;
};

/// A node's role, compared between the role list and every slot. `unnamed` is set by no key (always 0).
/// Widths: ps 1, slot_position 6, multiplex_id 4.
struct LogicalName {
    int32_t unnamed;
    int32_t ps;
    int32_t slot_position;
    int32_t multiplex_id;
};

/// Cluster-wide controller parameters. Used widths: cf 1 (1 = may cold-start), c_state_length 4 (L, the
/// significant C-state in 16-bit units, 2-6), tdma_round_length 15, startup_timeout 16,
/// free_running_macroticks 16, mmfc 8 (membership failure limit), max_cold_start_entry 8 (0 = unlimited);
/// micro_to_macro is microticks per macrotick. The rest is stored only.
struct ControllerCfgParams {
    int32_t physical_sru_name;
    int32_t controller_version;
    int32_t app_id;
    int32_t app_version;
    int32_t cf;
    int32_t c_state_length;
    int32_t tdma_round_length;
    int32_t startup_timeout;
    int32_t free_running_macroticks;
    int32_t mmfc;
    double micro_to_macro;
    int32_t max_cold_start_entry;
    int32_t crc;
};

/// The node's role and its guardian window in normal operation.
struct RoleList {
    LogicalName logical_name;
    BgParams bus_guardian;
    int32_t crc;
};

/// Per cluster mode: deferred_mode[k] (5 bits) is the mode entered when deferred mode change k + 1 becomes
/// due; 31 = no change.
struct ModeControlEntry {
    int32_t deferred_mode[3];
    int32_t crc;
};

/// Implementation constants. Only ifg_time (16 bits, inter-frame gap) and the two guardian windows
/// (after integration, while listening) are used.
struct ImplementationParams {
    int32_t entries;
    int32_t rom_speed;
    int32_t i_frame_time;
    int32_t ifg_time;
    int32_t listen_delay;
    int32_t watchdog_slot_length;
    int32_t listen_timeout_extension;
    int32_t listen_timeout_restart_time;
    int32_t oversampling_rate;
    int32_t sync_interval;
    int32_t crc;
    BgParams synchronization_period_params;
    BgParams listen_cold_start_period_params;
};

/// One slot of the TDMA round. Used widths: sru_slot_duration 16 (macroticks, added to global_time when
/// the slot ends), membership_pos 6 (of the sender), and the 1-bit flags ra (reintegration allowed), eot
/// (last slot of the round), cs (clock synchronisation at the end of the slot), syf (synchronisation
/// frame), ba (arm the bus guardian); logical_name names the sending role. The rest is stored only.
struct SlotControlEntry {
    int32_t sru_slot_duration;
    int32_t mo;
    int32_t membership_pos;
    int32_t medl_pos;
    int32_t mm;
    int32_t eor;
    int32_t ra;
    int32_t eot;
    int32_t cs;
    int32_t syf;
    int32_t ba;
    int32_t delay_correction;
    LogicalName logical_name;
};

/// Addressing of one slot in one cluster mode. 1-bit fields: ru1/ru2 (raise UI1/UI2 when the slot ends),
/// ia/ib (1 = I-frame, 0 = N-frame on channel A/B), mcp_i[k], mcp_d[k], mcp_c (mode change permissions).
/// cni_address_cha/chb (14 bits) address the channel's message at byte 2 * address of the message area,
/// 0x3FFF = no message; dafla/daflb (4 bits) are the N-frame data length minus one. eoc and crc are stored
/// only.
struct ModeAddressEntry {
    int32_t ru1;
    int32_t ru2;
    int32_t ia;
    int32_t ib;
    int32_t cni_address_cha;
    int32_t cni_address_chb;
    int32_t dafla;
    int32_t daflb;
    int32_t mcp_i[3];
    int32_t mcp_d[3];
    int32_t mcp_c;
    int32_t eoc;
    int32_t crc;
};

constexpr unsigned MEDL_MODE_COUNT = 31;       ///< cluster modes 0-30; mode 31 is "no mode"
constexpr unsigned MEDL_SLOT_COUNT = 512;      ///< MEDL positions 0-511
constexpr unsigned MEDL_MODE_CHANGE_COUNT = 3; ///< deferred_mode, mcp_i, mcp_d: one per mode change request

struct Medl {
    int32_t revision;
    ControllerCfgParams controller_cfg_params;
    BgParams bus_guardian_cold_start;
    BgParams bus_guardian_download;
    RoleList role_list;
    ModeControlEntry mode_control_entry[MEDL_MODE_COUNT];
    ImplementationParams implementation_params;
    SlotControlEntry slot_control_entry[MEDL_SLOT_COUNT];
    ModeAddressEntry mode_address_entry[MEDL_MODE_COUNT][MEDL_SLOT_COUNT];
};

// Used widths of the fields, in bits.
constexpr unsigned MEDL_WIDTH_FLAG = 1; ///< ps, ra, eot, cs, syf, ba, ru1, ru2, ia, ib, mcp_i, mcp_d, mcp_c
constexpr unsigned MEDL_WIDTH_CF = 1;
constexpr unsigned MEDL_WIDTH_C_STATE_LENGTH = 4;
constexpr unsigned MEDL_WIDTH_TDMA_ROUND_LENGTH = 15;
constexpr unsigned MEDL_WIDTH_STARTUP_TIMEOUT = 16;
constexpr unsigned MEDL_WIDTH_FREE_RUNNING_MACROTICKS = 16;
constexpr unsigned MEDL_WIDTH_MMFC = 8;
constexpr unsigned MEDL_WIDTH_MAX_COLD_START_ENTRY = 8;
constexpr unsigned MEDL_WIDTH_IFG_TIME = 16;
constexpr unsigned MEDL_WIDTH_BG_PARAM = 16; ///< bg_slot_offset, bg_slot_duration, bg_remaining_round
constexpr unsigned MEDL_WIDTH_SLOT_POSITION = 6;
constexpr unsigned MEDL_WIDTH_MULTIPLEX_ID = 4;
constexpr unsigned MEDL_WIDTH_DEFERRED_MODE = 5;
constexpr unsigned MEDL_WIDTH_SRU_SLOT_DURATION = 16;
constexpr unsigned MEDL_WIDTH_MEMBERSHIP_POS = 6;
constexpr unsigned MEDL_WIDTH_CNI_ADDRESS = 14;
constexpr unsigned MEDL_WIDTH_DAFL = 4;
constexpr unsigned MEDL_WIDTH_MODE = 5;     ///< a cluster mode index, as held by the C-state
constexpr unsigned MEDL_WIDTH_POSITION = 9; ///< a MEDL position, as held by the C-state

constexpr uint32_t MEDL_NO_MESSAGE = 0x3FFF;    ///< cni_address_cha/chb: the slot carries no message
constexpr uint32_t MEDL_NO_MODE_CHANGE = 31;    ///< deferred_mode: the mode stays as it is
constexpr uint32_t MESSAGE_AREA_BYTES = 18432;  ///< size of the interface's message area
constexpr uint32_t MEDL_C_STATE_LENGTH_MIN = 2; ///< the C-state fields alone
constexpr uint32_t MEDL_C_STATE_LENGTH_MAX = 6; ///< fields plus all 64 membership flags
constexpr unsigned MEDL_LINE_MAX = 1023;        ///< characters per line; longer lines are split
constexpr unsigned MEDL_INDEX_DIGITS_MAX = 9;   ///< digits of one bracketed index

// Result codes of the readers.
constexpr uint8_t MEDL_OK = 0;
constexpr uint8_t MEDL_INDEX_TOO_HIGH = 1;
constexpr uint8_t MEDL_NO_RECORD = 2;
constexpr uint8_t MEDL_CANNOT_OPEN = 3;
constexpr uint8_t MEDL_READ_ERROR = 4;
constexpr uint8_t MEDL_UNRESOLVED_KEY = 5;
constexpr uint8_t MEDL_UNKNOWN_KEY = 7;
constexpr uint8_t MEDL_UNUSABLE_VALUE = 8;

/// Why a read failed. `line` is the 1-based line of the file (0 when no line is concerned, e.g. a value
/// that no line sets); `key` is the key concerned (as resolved, or as written when it cannot be resolved);
/// `message` is one line for the user, empty after success.
struct MedlError {
    uint8_t code = MEDL_OK;
    unsigned line = 0;
    std::string key;
    std::string message;
};

/// Where the lines of a file set the fields of its list, so that a check made after reading (whether the
/// controller can run the list, warnings about masked values) can name the line to look at. A field that
/// several lines set is named by the last of them, whose value it holds.
struct MedlKeyLine {
    unsigned line;   // 1-based line of the file
    std::string key; // the key as resolved on that line
};
struct MedlLines {
    std::unordered_map<size_t, MedlKeyLine> by_field; // by the field's byte offset in the Medl record
};

/// The line that set `field`, a field of `medl` (the record the lines were read into, or a copy of it);
/// null when no line set it (the field is 0 from the clearing before the read).
const MedlKeyLine* medl_field_line(const Medl& medl, const MedlLines& lines, const void* field);

/// Reads "medl%02d.txt" for `node_index` from `directory` (the working directory when null) into `medl`.
/// Returns a result code (above); `why`, if given, receives the details; `lines`, if given, where each
/// field was set.
uint8_t read_medl(Medl* medl, unsigned node_index, const char* directory = nullptr, MedlError* why = nullptr,
                  MedlLines* lines = nullptr);

/// Reads the list at `path` (named by that path in messages).
uint8_t read_medl_file(Medl* medl, const char* path, MedlError* why = nullptr, MedlLines* lines = nullptr);

/// Reads a list from an open stream, naming it `display_name` in messages. The stream stays open.
/// A null stream gives 3.
uint8_t read_medl_stream(Medl* medl, std::FILE* stream, const char* display_name, MedlError* why = nullptr,
                         MedlLines* lines = nullptr);

/// A short text for a result code ("unknown result code" for codes that do not exist).
const char* medl_result_text(uint8_t code);

// Masked accessors: the field modulo 2^width.
uint32_t get_cf(const Medl& medl);
uint32_t get_c_state_length(const Medl& medl);
uint32_t get_tdma_round_length(const Medl& medl);
uint32_t get_startup_timeout(const Medl& medl);
uint32_t get_free_running_macroticks(const Medl& medl);
uint32_t get_mmfc(const Medl& medl);
double get_micro_to_macro(const Medl& medl);
uint32_t get_max_cold_start_entry(const Medl& medl);
uint32_t get_ifg_time(const Medl& medl);

uint32_t get_bg_slot_offset(const BgParams& bg);
uint32_t get_bg_slot_duration(const BgParams& bg);
uint32_t get_bg_remaining_round(const BgParams& bg);

uint32_t get_ps(const LogicalName& name);
uint32_t get_slot_position(const LogicalName& name);
uint32_t get_multiplex_id(const LogicalName& name);
/// True if ps, slot_position and multiplex_id are equal as masked (the unnamed word is not compared).
bool same_logical_name(const LogicalName& a, const LogicalName& b);

uint32_t get_sru_slot_duration(const SlotControlEntry& slot);
uint32_t get_membership_pos(const SlotControlEntry& slot);
uint32_t get_ra(const SlotControlEntry& slot);
uint32_t get_eot(const SlotControlEntry& slot);
uint32_t get_cs(const SlotControlEntry& slot);
uint32_t get_syf(const SlotControlEntry& slot);
uint32_t get_ba(const SlotControlEntry& slot);

uint32_t get_ru1(const ModeAddressEntry& entry);
uint32_t get_ru2(const ModeAddressEntry& entry);
uint32_t get_ia(const ModeAddressEntry& entry);
uint32_t get_ib(const ModeAddressEntry& entry);
uint32_t get_cni_address_cha(const ModeAddressEntry& entry);
uint32_t get_cni_address_chb(const ModeAddressEntry& entry);
uint32_t get_dafla(const ModeAddressEntry& entry);
uint32_t get_daflb(const ModeAddressEntry& entry);
uint32_t get_mcp_c(const ModeAddressEntry& entry);
/// Mode change permission for request k (0-2); any other k is "not permitted" (0).
uint32_t get_mcp_i(const ModeAddressEntry& entry, uint32_t k);
uint32_t get_mcp_d(const ModeAddressEntry& entry, uint32_t k);
/// The mode entered by deferred mode change k + 1 (k 0-2); any other k is "no change" (31).
uint32_t get_deferred_mode(const ModeControlEntry& entry, uint32_t k);

// Indexed lookup with indices taken from live (possibly corrupted) state: never outside the tables.
/// The slot at `position` modulo 512.
const SlotControlEntry& slot_control_entry(const Medl& medl, uint32_t position);
/// The addressing entry of `mode` modulo 32 at `position` modulo 512; null for mode 31 ("no mode").
const ModeAddressEntry* mode_address_entry(const Medl& medl, uint32_t mode, uint32_t position);
/// The mode control entry of `mode` modulo 32; null for mode 31.
const ModeControlEntry* mode_control_entry(const Medl& medl, uint32_t mode);
