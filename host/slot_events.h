// The slot recorder: what the protocol did, TDMA slot by TDMA slot, for the observer window and for
// `pelorin-sim --slot-events`. It watches the four controllers through their observer pointer and is told
// of every injection; it never writes to the model, so a run traces the same with or without it.
//
// Slots (the timeline's columns). A slot opens when a node announces a slot start while none is open: a
// synchronised node at the start of each of its slots, a cold-starting node when it sends its cold start
// frame. It lasts that node's slot duration (sru_slot_duration of its current slot, in its own
// macroticks). The nodes' slot starts lie well within a microsecond of each other (a frame further off is
// not accepted), so the slot closes at the first thing the recorder hears of (a state written, a slot
// start, a slot judged, an injection, a catch-up) at or after SLOT_EDGE_US before its end: whatever a node
// does at its own start of the next slot belongs to the next slot. While no node runs the schedule (before
// the first cold start, a cluster that is down) no slot is open; what happens meanwhile counts for the next
// slot, which is marked as following a gap.
//
// A cell: one node in one slot.
//     state        the protocol state at the end of the slot
//     worst        the worst state the node was in since the previous slot ended (a restart within one
//                  slot, FREEZE -> INIT -> LISTEN at one instant, is not lost); see state_severity
//     sent         the node started the slot sending (its slot-start check passed, or its cold start frame)
//     judgement    how the node judged the slot's frames after its transmission phase, both channels
//                  taken together as the controller takes them: correct when a channel was correct, else
//                  incorrect when one was incorrect, else null when neither was invalid, else invalid;
//                  JUDGED_NOTHING when the node did not judge (it was not running slots)
//     membership   the node's membership vector after judging (bit p = position p, positions 0-3); for a
//                  synchronised node that did not judge, the vector at the slot's end; MEMBERSHIP_UNKNOWN
//                  for a node that keeps no C-state (INIT, LISTEN, COLDSTART, FREEZE, ...)
//     first_injection, last_injection, injections   the rows of the run's injection log that concern this
//                  node during the slot (injections into its memory, what a described fault did to it):
//                  `injections` of the numbers first_injection .. last_injection (1 = the run's first row);
//                  all of them when the rows are consecutive
//     events       CELL_FROZE when the node entered FREEZE during the slot (from whatever state),
//                  CELL_GUARDIAN_FAILED when its bus guardian entered Node Failure during the slot
//     mode         the cluster mode in the node's C-state at the slot's end; MODE_UNKNOWN for a node
//                  that keeps no C-state
//
// Reasons, in plain words, one line each, for the observer: when a node leaves APPLICATION, the error
// flags it raised since its last change of state (what each flag means), or, with none raised, what the
// state it went to tells (READY: its acknowledgement failed; PASSIVE: no host life sign; FREEZE: switched
// off or halted; INIT: restarted by its host); when the cluster stops counting a node as a member (see
// `left` below), what the other nodes made of the slot's frame (invalid, incorrect, or nothing heard).
//
// Counters, per node, since the recorder was attached (the model was built) or reset:
//     starts              times the controller entered INIT
//     freezes             times it entered FREEZE from another state
//     left, reentered     times it left and re-entered membership as the cluster sees it: a node is a
//                         member while more than half of the other nodes that hold a vector count its
//                         position; with none to judge, it stays as it was. Its first entry (start-up) is
//                         not a re-entry.
//     guardian_failures   Node Failures of its bus guardian
//     errors[kind]        each error flag the controller raised (a flag going from 0 to 1), and two
//                         protocol outcomes without a flag: an implicit acknowledgement that failed
//                         (STARTUP or APPLICATION -> READY) counts as acknowledgement, a missing host life
//                         sign at the own slot (a synchronised state -> PASSIVE without a host error flag)
//                         as host life sign
//     worst               the worst state reached since the reset (none yet: STATE_NONE)
//
// Effects: a slot in which a node that was in APPLICATION at the previous slot end was in another state,
// in which a node's membership vector differs from its vector in the previous slot (both known), in which
// a node froze (also one that had left APPLICATION before: a passive or restarting node that freezes
// again), or in which a bus guardian failed. With stop_on_effect set, the recorder notes the slot in
// effect_column when it closes; the front end stops the run there.
//
// Worst state since taken. Apart from the slots, the recorder keeps per node the worst state written since
// a reader last took it (take_worst_state): a freeze and restart within one kernel step never reaches the
// interface, so a reader that samples the interface between steps would not see it.
//
// Memory is bounded whatever the run length: the last SLOT_HISTORY slots and INJECTION_HISTORY injections.
#pragma once

#include "host/cluster.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

constexpr unsigned SLOT_HISTORY = 4096;
constexpr unsigned INJECTION_HISTORY = 8192;
/// How far before its end a slot closes (see the file comment), microseconds.
constexpr double SLOT_EDGE_US = 1.0;
/// Membership positions a cell keeps (the cluster's four nodes).
constexpr unsigned RECORDED_POSITIONS = NODE_COUNT;
constexpr uint8_t MEMBERSHIP_UNKNOWN = 0x80;
/// No state reached yet (a counter's worst state before anything happened).
constexpr uint8_t STATE_NONE = 0xFF;
/// A cell's cluster mode when the node keeps no C-state.
constexpr uint8_t MODE_UNKNOWN = 0xFF;
constexpr unsigned REASON_HISTORY = 256;

enum SlotJudgement : uint8_t {
    JUDGED_NOTHING,
    JUDGED_CORRECT,
    JUDGED_INCORRECT,
    JUDGED_INVALID,
    JUDGED_NULL
};
constexpr unsigned JUDGEMENT_COUNT = 5;
/// "", "correct", "incorrect", "invalid", "null".
const char* judgement_name(uint8_t judgement);
/// The controller's way of taking the verdicts of channels A and B together (see the file comment).
SlotJudgement judge_verdicts(uint32_t verdict_a, uint32_t verdict_b);

/// Protocol errors by kind, counted per node.
enum ErrorKind : unsigned {
    ERROR_CLOCK_SYNC,      // clock_sync_error
    ERROR_ACKNOWLEDGEMENT, // implicit acknowledgement failed; membership_error; ack_mismatch (BIST)
    ERROR_BLACKOUT,        // blackout_error
    ERROR_CLIQUE,          // ack_error: the clique check (failed + invalid not below agreed)
    ERROR_BUS_GUARDIAN,    // bg_error
    ERROR_NBW,             // nbw_error (host error)
    ERROR_MODE_VIOLATION,  // mode_violation_error (host error)
    ERROR_SLOT_OCCUPIED,   // slot_occupied_error (host error)
    ERROR_HOST_LIFESIGN,   // no host life sign at the own slot
    ERROR_KIND_COUNT
};
/// "clock synchronisation", "acknowledgement", ... for tables and legends.
const char* error_kind_name(unsigned kind);

/// How far a state is from serving the application: APPLICATION 0, STARTUP 1, READY 2, PASSIVE 3,
/// COLDSTART 4, LISTEN 5, AWAIT and SELFTEST 6, DOWNLOAD 7, INIT 8, FREEZE and the states without a name
/// (which the controller treats as FREEZE) 9.
unsigned state_severity(uint8_t state);
/// The worse of two states (a on a tie); STATE_NONE counts as better than any state.
uint8_t worse_state(uint8_t a, uint8_t b);
/// How far a bus guardian state is from guarding normally: Arm, Start Timer, Enable and Disable 0 (its
/// normal round, which it runs through in every slot: none of them is worse than another), Initialize and
/// Configure 1 (reset with its controller, not guarding yet), Node Failure and any other value 2.
unsigned guardian_severity(uint32_t state);
/// The worse of two bus guardian states by guardian_severity (b on a tie: the later of two normal states).
uint32_t worse_guardian_state(uint32_t a, uint32_t b);
/// A node's membership vector as bits (bit p: position p is a member), from its C-state.
uint8_t membership_vector(const CniStatus& status);
/// A membership vector as the CSV writes it, position 0 first ("1101"); "" for MEMBERSHIP_UNKNOWN.
std::string membership_bits(uint8_t membership);
/// The trace's name of a state without its padding ("APPLICATION", "Unknown!"); "" for STATE_NONE.
std::string state_name(uint8_t state);

struct SlotCell {
    uint8_t state;
    uint8_t worst;
    uint8_t sent;
    uint8_t judgement;  // SlotJudgement
    uint8_t membership; // bits 0-3, or MEMBERSHIP_UNKNOWN
    uint8_t events;     // SlotCellEvent bits
    uint8_t mode;       // cluster mode at the slot's end, or MODE_UNKNOWN
    uint32_t first_injection;
    uint32_t last_injection;
    uint32_t injections;
};

enum SlotCellEvent : uint8_t {
    CELL_FROZE = 1,           // the node entered FREEZE
    CELL_GUARDIAN_FAILED = 2, // its bus guardian entered Node Failure
};

enum SlotColumnFlag : uint8_t {
    COLUMN_AFTER_GAP = 1,          // no slot was open just before this one
    COLUMN_MEMBERSHIP_CHANGED = 2, // a node's vector differs from the previous slot's
    COLUMN_LEFT_APPLICATION = 4,   // a node in APPLICATION at the previous slot end was in another state
    COLUMN_NODE_FROZE = 8,         // a node entered FREEZE (a cell has CELL_FROZE)
    COLUMN_GUARDIAN_FAILED = 16,   // a bus guardian failed (a cell has CELL_GUARDIAN_FAILED)
};
/// The flags that make a slot one with an effect (stop on effect).
constexpr uint8_t COLUMN_EFFECTS =
    COLUMN_MEMBERSHIP_CHANGED | COLUMN_LEFT_APPLICATION | COLUMN_NODE_FROZE | COLUMN_GUARDIAN_FAILED;

struct SlotColumn {
    uint64_t number;        // 1 = the run's first slot
    double start_us;        // the first slot start announced
    double end_us;          // start_us + the announcing node's slot duration
    uint32_t medl_position; // the announcing node's position in the cluster cycle
    uint8_t flags;          // SlotColumnFlag
    SlotCell cells[NODE_COUNT];
};

/// The last N items of an endless sequence numbered from 1.
template <class T, unsigned N>
struct BoundedLog {
    std::vector<T> items = std::vector<T>(N);
    uint64_t total = 0;  // items ever appended; the newest is number `total`
    uint64_t oldest = 1; // no number below it is kept (the log went back past what it had overwritten)

    void push(const T& item) {
        items[total % N] = item;
        total += 1;
    }
    /// The oldest number kept (total + 1 when empty).
    uint64_t first() const { return std::max(total > N ? total - N + 1 : 1, oldest); }
    /// The log as it was when it held `number` items (not more than it holds): what it has overwritten
    /// since is not kept.
    void rewind(uint64_t number) {
        oldest = std::min(first(), number + 1);
        total = number;
    }
    bool has(uint64_t number) const { return number >= first() && number <= total; }
    const T& at(uint64_t number) const { return items[(number - 1) % N]; }
    size_t size() const { return static_cast<size_t>(total - first() + 1); }
    void clear() {
        total = 0;
        oldest = 1;
    }
    /// Appends what `source` holds beyond this log's newest item (a copy that keeps up with its source).
    void catch_up_with(const BoundedLog& source) {
        if (total < source.first() - 1) {
            total = source.first() - 1; // what fell out of the source meanwhile is skipped
        }
        for (uint64_t number = total + 1; number <= source.total; ++number) {
            push(source.at(number));
        }
    }
};

using InjectionHistory = BoundedLog<InjectionRecord, INJECTION_HISTORY>;

/// Some row numbers of a cell or a slot, and how many there are in all.
struct RowList {
    std::vector<uint64_t> numbers; // in order, at most the limit asked for
    uint64_t count = 0;
};
/// The rows of `cell` (node `node`'s): every number from first to last when they are consecutive, else
/// those of them that `rows` holds and that concern the node.
RowList cell_rows(const SlotCell& cell, unsigned node, const InjectionHistory& rows, size_t limit);
/// The rows of a slot that concern any node, each once.
RowList column_rows(const SlotColumn& column, const InjectionHistory& rows, size_t limit);

struct NodeCounters {
    uint32_t starts;
    uint32_t freezes;
    uint32_t left;
    uint32_t reentered;
    uint32_t guardian_failures;
    uint32_t errors[ERROR_KIND_COUNT];
    uint8_t worst; // STATE_NONE before any state was reached
};

/// Why a node left APPLICATION or the membership (see "Reasons" above).
struct ReasonLine {
    double time_us;   // when it left (for the membership: the end of the slot that showed it)
    uint64_t slot;    // the slot it belongs to
    uint8_t node;     // M1, M2, O1, O2
    std::string text; // one line, starting with the node's name: "O1 left APPLICATION for FREEZE: ..."
};

/// Why a node went from `from` to `to`, given the error flags it raised meanwhile (see "Reasons"): bit i
/// is the i-th of clock_sync_error, membership_error, ack_mismatch, blackout_error, ack_error, bg_error,
/// nbw_error, mode_violation_error, slot_occupied_error.
std::string leave_reason(uint8_t from, uint8_t to, uint32_t raised_flags);
/// The cluster mode of a slot: "Cluster mode 2" when the nodes that keep a C-state agree, each node's
/// when they do not, and "none" when no node keeps one.
std::string cluster_mode_text(const SlotColumn& column);

/// What the recorder follows of one node between notifications.
struct NodeTrack {
    uint8_t state;                // the protocol state last written
    uint8_t worst_since;          // worst state since the last slot closed
    uint8_t state_at_close;       // the state when the last slot closed
    uint8_t last_membership;      // the vector in the last closed slot (or MEMBERSHIP_UNKNOWN)
    uint8_t worst_since_taken;    // worst state written since take_worst_state (STATE_NONE: none)
    uint32_t own_position;        // membership position of the node's own slot
    uint32_t error_flags;         // the flags raised, as last seen (bits as leave_reason takes them)
    uint32_t raised_since_change; // flags raised since the node's state last changed (same bits)
    uint32_t guardian_failures_seen;
    uint32_t guardian_failures_at_close; // the guardian's failure count when the last slot closed
    bool member;                         // as the cluster sees it
    bool ever_member;                    //
};

struct SlotRecorder {
    Cluster* cluster = nullptr;
    ControllerObserver observer{};
    BoundedLog<SlotColumn, SLOT_HISTORY> columns;
    InjectionHistory injections;
    BoundedLog<ReasonLine, REASON_HISTORY> reasons;
    NodeCounters counters[NODE_COUNT]{};
    NodeTrack track[NODE_COUNT]{};
    bool stop_on_effect = false;
    uint64_t effect_column =
        0; // the newest slot with an effect while stop_on_effect; 0: none (the taker clears)
    /// Every slot as it closes (the runner's CSV file).
    std::function<void(const SlotRecorder&, const SlotColumn&)> on_column;

    bool open = false;    // a slot is open
    SlotColumn current{}; // the open slot, or what gathers for the next one (injections in a gap)

    SlotRecorder() = default;
    SlotRecorder(const SlotRecorder&) = delete;
    SlotRecorder& operator=(const SlotRecorder&) = delete;
};

/// What a recorder has gathered by a point of the run, but its logs (their lengths only): a run kept to go
/// back to keeps this with it (slot_recorder_rewind).
struct SlotRecorderMark {
    ControllerObserver observer{};
    NodeCounters counters[NODE_COUNT]{};
    NodeTrack track[NODE_COUNT]{};
    uint64_t effect_column = 0;
    bool open = false;
    SlotColumn current{};
    uint64_t columns = 0; // the logs' totals
    uint64_t injections = 0;
    uint64_t reasons = 0;
};
SlotRecorderMark slot_recorder_mark(const SlotRecorder& recorder);
/// The recorder as it was at `mark`, the run having gone back there: its logs keep what they held then
/// and have not overwritten since. stop_on_effect and on_column stay as they are.
void slot_recorder_rewind(SlotRecorder* recorder, const SlotRecorderMark& mark);

/// Starts watching an assembled cluster from its present state (nothing counted yet).
void attach_slot_recorder(SlotRecorder* recorder, Cluster* cluster);
/// Stops watching; the open slot is closed first when it has ended by now. Call before the model goes.
void detach_slot_recorder(SlotRecorder* recorder);
/// An injection of the run (from RunHooks::on_injection).
void slot_recorder_injection(SlotRecorder* recorder, const InjectionRecord& record);
/// Closes the open slot when it has ended by the present time (a reader's view of a stopped or quiet run).
void slot_recorder_catch_up(SlotRecorder* recorder);
/// Counters back to 0; each node's worst state becomes its present state.
void reset_slot_counters(SlotRecorder* recorder);
/// The worst state node `node` was written into since the last take (STATE_NONE when none was written),
/// and starts gathering afresh.
uint8_t take_worst_state(SlotRecorder* recorder, unsigned node);

/// The slot-event CSV: one row per node and slot.
///     slot_start_us  the slot's start, microseconds (%.4f, as the trace prints times)
///     node           M1, M2, O1, O2
///     state          the state at the slot's end (the trace's names: APPLICATION, FREEZE, ...)
///     worst_state    the worst state since the previous slot ended
///     sent           1 when the node sent in the slot, else 0
///     verdict        correct, incorrect, invalid, null; empty when the node did not judge
///     membership     the node's vector, positions 0-3 ("1101"); empty when it keeps none
///     injection      the numbers of the injections into the node's memory in the slot ("7 8"), or empty
constexpr const char* SLOT_EVENTS_CSV_HEADER =
    "slot_start_us,node,state,worst_state,sent,verdict,membership,injection";
/// The NODE_COUNT rows of a slot, each ending in a line feed; `rows` tells which rows concern which node
/// when a cell's are not consecutive (cell_rows).
std::string slot_event_csv_rows(const SlotColumn& column, const InjectionHistory& rows);
