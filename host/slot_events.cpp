#include "host/slot_events.h"

#include "kernel/trace.h"
#include "ttpc/fp1busg.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

namespace {

constexpr const char* JUDGEMENT_NAMES[JUDGEMENT_COUNT] = {"", "correct", "incorrect", "invalid", "null"};
constexpr const char* ERROR_KIND_NAMES[ERROR_KIND_COUNT] = {
    "clock synchronisation", "acknowledgement", "blackout",      "clique", "bus guardian", "NBW",
    "mode violation",        "slot occupied",   "host life sign"};

/// state_severity by protocol state code (4 bits); the codes without a name count as FREEZE.
constexpr uint8_t SEVERITY[16] = {9, 8, 5, 4, 1, 0, 2, 3, 6, 6, 9, 9, 7, 9, 9, 9};
constexpr uint8_t STATE_CODE_MASK = 0x0F;
/// guardian_severity's three levels.
constexpr unsigned GUARDIAN_GUARDING = 0;
constexpr unsigned GUARDIAN_RESET = 1;
constexpr unsigned GUARDIAN_FAILED = 2;

/// An error flag of the controller's status, the kind it counts as, and what it means in plain words.
struct ErrorFlag {
    uint32_t CniStatus::*flag;
    ErrorKind kind;
    const char* reason;
};
constexpr ErrorFlag ERROR_FLAGS[] = {
    {&CniStatus::clock_sync_error, ERROR_CLOCK_SYNC,
     "clock synchronisation error: its clock needed a correction above 0.45 macroticks"},
    {&CniStatus::membership_error, ERROR_ACKNOWLEDGEMENT, "membership error: too many membership failures"},
    {&CniStatus::ack_mismatch, ERROR_ACKNOWLEDGEMENT,
     "acknowledgement error: the two channels disagreed on its acknowledgement"},
    {&CniStatus::blackout_error, ERROR_BLACKOUT,
     "communication blackout: it heard nothing during a whole TDMA round"},
    {&CniStatus::ack_error, ERROR_CLIQUE,
     "clique error: it saw more failed and invalid slots than slots it agreed with"},
    {&CniStatus::bg_error, ERROR_BUS_GUARDIAN, "bus guardian error: its guardian failed or refused a frame"},
    {&CniStatus::nbw_error, ERROR_NBW, "NBW error: a message it had to send was not marked valid"},
    {&CniStatus::mode_violation_error, ERROR_MODE_VIOLATION,
     "mode violation: its host asked for a mode change the slot does not permit"},
    {&CniStatus::slot_occupied_error, ERROR_SLOT_OCCUPIED,
     "slot occupied: its slot was taken when it reintegrated"},
};
constexpr unsigned FLAG_COUNT = sizeof ERROR_FLAGS / sizeof ERROR_FLAGS[0];

/// The bits (as raised_flags sets them) of the host error flags, which make a node PASSIVE.
constexpr uint32_t host_error_flags() {
    uint32_t bits = 0;
    for (unsigned i = 0; i < FLAG_COUNT; ++i) {
        const ErrorKind kind = ERROR_FLAGS[i].kind;
        if (kind == ERROR_NBW || kind == ERROR_MODE_VIOLATION || kind == ERROR_SLOT_OCCUPIED) {
            bits |= 1u << i;
        }
    }
    return bits;
}
constexpr uint32_t HOST_ERROR_FLAGS = host_error_flags();

bool is_synchronised(uint8_t state) {
    return state == PS_STARTUP || state == PS_APPLICATION || state == PS_READY || state == PS_PASSIVE;
}

bool is_active(uint8_t state) {
    return state == PS_STARTUP || state == PS_APPLICATION;
}

/// Bit i: flag ERROR_FLAGS[i] is set in the controller's working status.
uint32_t raised_flags(const TtpController* c) {
    uint32_t bits = 0;
    for (unsigned i = 0; i < FLAG_COUNT; ++i) {
        bits |= (c->working_status.*ERROR_FLAGS[i].flag & 1u) << i;
    }
    return bits;
}

int node_of(const SlotRecorder* r, const TtpController* c) {
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if (r->cluster->controllers[n] == c) {
            return static_cast<int>(n);
        }
    }
    return -1;
}

/// Counts the flags raised since the node was last looked at, and its bus guardian's Node Failures.
/// Returns the flags newly raised.
uint32_t count_errors(SlotRecorder* r, unsigned n) {
    const TtpController* c = r->cluster->controllers[n];
    NodeTrack& t = r->track[n];
    NodeCounters& k = r->counters[n];
    const uint32_t flags = raised_flags(c);
    const uint32_t raised = flags & ~t.error_flags;
    t.error_flags = flags;
    for (unsigned i = 0; raised >> i != 0; ++i) {
        if ((raised >> i & 1u) != 0) {
            k.errors[ERROR_FLAGS[i].kind] += 1;
        }
    }
    t.raised_since_change |= raised;
    const uint32_t failures = c->bus_guardian->failure_count;
    k.guardian_failures += failures - t.guardian_failures_seen;
    t.guardian_failures_seen = failures;
    return raised;
}

/// The slot a reason belongs to: the open one, or the next one when none is open.
uint64_t reason_slot(const SlotRecorder* r) {
    return r->open ? r->current.number : r->columns.total + 1;
}

void keep_reason(SlotRecorder* r, unsigned n, double time_us, const std::string& why) {
    r->reasons.push(ReasonLine{time_us, reason_slot(r), static_cast<uint8_t>(n),
                               std::string(CLUSTER_NODES[n].name) + " " + why});
}

/// What the other nodes made of the closing slot's frame, for a node they no longer count as a member.
std::string membership_reason(const SlotRecorder* r, unsigned n) {
    // The worst verdict first: it is the one that tells most.
    constexpr uint8_t VERDICTS[] = {JUDGED_INVALID, JUDGED_INCORRECT, JUDGED_NULL};
    for (const uint8_t verdict : VERDICTS) {
        std::string judges;
        for (unsigned m = 0; m < NODE_COUNT; ++m) {
            if (m != n && r->current.cells[m].judgement == verdict) {
                judges += std::string(judges.empty() ? "" : ", ") + CLUSTER_NODES[m].name;
            }
        }
        if (!judges.empty()) {
            return "left the membership: " + judges +
                   (verdict == JUDGED_NULL ? " heard nothing in its slot (null frame)"
                                           : std::string(" judged its frame ") + judgement_name(verdict));
        }
    }
    return "left the membership: the other nodes no longer count it as a member";
}

/// The node's membership as the other nodes' vectors in the closing slot say; updates left/re-entered.
void judge_membership(SlotRecorder* r, unsigned n) {
    NodeTrack& t = r->track[n];
    if (t.own_position >= RECORDED_POSITIONS) {
        return; // a position the cells do not keep
    }
    unsigned judges = 0;
    unsigned votes = 0;
    for (unsigned m = 0; m < NODE_COUNT; ++m) {
        const uint8_t vector = r->current.cells[m].membership;
        if (m != n && vector != MEMBERSHIP_UNKNOWN) {
            judges += 1;
            votes += vector >> t.own_position & 1u;
        }
    }
    if (judges == 0) {
        return;
    }
    const bool member = 2 * votes > judges;
    if (member && !t.member) {
        r->counters[n].reentered += t.ever_member ? 1 : 0;
        t.ever_member = true;
    } else if (!member && t.member) {
        r->counters[n].left += 1;
        keep_reason(r, n, r->current.end_us, membership_reason(r, n));
    }
    t.member = member;
}

void close_slot(SlotRecorder* r) {
    SlotColumn& column = r->current;
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        NodeTrack& t = r->track[n];
        SlotCell& cell = column.cells[n];
        cell.state = t.state;
        cell.worst = worse_state(t.worst_since, t.state);
        const CniStatus& status = r->cluster->controllers[n]->working_status;
        if (cell.judgement == JUDGED_NOTHING) {
            cell.membership = is_synchronised(t.state) ? membership_vector(status) : MEMBERSHIP_UNKNOWN;
        }
        cell.mode =
            is_synchronised(t.state) ? static_cast<uint8_t>(get_cluster_mode(status.cstate)) : MODE_UNKNOWN;
        if (t.state_at_close == PS_APPLICATION && cell.worst != PS_APPLICATION) {
            column.flags |= COLUMN_LEFT_APPLICATION;
        }
        const uint32_t failures = r->cluster->controllers[n]->bus_guardian->failure_count;
        if (failures != t.guardian_failures_at_close) {
            cell.events |= CELL_GUARDIAN_FAILED;
            column.flags |= COLUMN_GUARDIAN_FAILED;
        }
        t.guardian_failures_at_close = failures;
        if ((cell.events & CELL_FROZE) != 0) {
            column.flags |= COLUMN_NODE_FROZE;
        }
        if (cell.membership != MEMBERSHIP_UNKNOWN && t.last_membership != MEMBERSHIP_UNKNOWN &&
            cell.membership != t.last_membership) {
            column.flags |= COLUMN_MEMBERSHIP_CHANGED;
        }
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        NodeTrack& t = r->track[n];
        judge_membership(r, n);
        t.state_at_close = t.state;
        t.worst_since = t.state;
        t.last_membership = column.cells[n].membership;
    }
    if (r->stop_on_effect && (column.flags & COLUMN_EFFECTS) != 0) {
        r->effect_column = column.number;
    }
    r->columns.push(column);
    if (r->on_column) {
        r->on_column(*r, column);
    }
    column = SlotColumn{};
    r->open = false;
}

/// Closes the open slot when `now` has reached its edge.
void close_if_ended(SlotRecorder* r, double now) {
    if (r->open && now >= r->current.end_us - SLOT_EDGE_US) {
        close_slot(r);
    }
}

void open_slot(SlotRecorder* r, const TtpController* c, double now) {
    SlotColumn& column = r->current;
    column.number = r->columns.total + 1;
    column.start_us = now;
    column.end_us = now + local_to_real(c, get_sru_slot_duration(current_slot(c)));
    column.medl_position = get_medl_position(c->working_status.cstate);
    const bool after_gap =
        r->columns.total > 0 && now > r->columns.at(r->columns.total).end_us + SLOT_EDGE_US;
    column.flags = after_gap ? COLUMN_AFTER_GAP : 0;
    r->open = true;
}

// --- What the controllers tell -------------------------------------------------------------------------

void on_state_written(void* context, const TtpController* c, uint32_t written) {
    auto* r = static_cast<SlotRecorder*>(context);
    const int node = node_of(r, c);
    if (node < 0) {
        return;
    }
    const auto n = static_cast<unsigned>(node);
    close_if_ended(r, sim_time());
    NodeTrack& t = r->track[n];
    NodeCounters& k = r->counters[n];
    const auto state = static_cast<uint8_t>(written & STATE_CODE_MASK);
    const uint8_t from = t.state;
    const uint32_t raised = count_errors(r, n);
    if (state == from) {
        return;
    }
    if (state == PS_INIT) {
        k.starts += 1;
    } else if (state == PS_FREEZE) {
        k.freezes += 1;
        r->current.cells[n].events |= CELL_FROZE; // in the open slot, or the next one after a gap
    } else if (state == PS_READY && is_active(from)) {
        k.errors[ERROR_ACKNOWLEDGEMENT] += 1; // the implicit acknowledgement failed
    } else if (state == PS_PASSIVE && (is_active(from) || from == PS_READY) &&
               (raised & HOST_ERROR_FLAGS) == 0) {
        k.errors[ERROR_HOST_LIFESIGN] += 1;
    }
    if (from == PS_APPLICATION) {
        keep_reason(r, n, sim_time(),
                    "left APPLICATION for " + state_name(state) + ": " +
                        leave_reason(from, state, t.raised_since_change));
    }
    t.raised_since_change = 0;
    t.state = state;
    t.worst_since = worse_state(t.worst_since, state);
    t.worst_since_taken = worse_state(t.worst_since_taken, state);
    k.worst = worse_state(k.worst, state);
}

void on_slot_started(void* context, const TtpController* c, bool sending) {
    auto* r = static_cast<SlotRecorder*>(context);
    const int node = node_of(r, c);
    if (node < 0) {
        return;
    }
    const double now = sim_time();
    close_if_ended(r, now);
    if (!r->open) {
        open_slot(r, c, now);
    }
    r->current.cells[node].sent |= sending ? 1 : 0;
}

void on_slot_judged(void* context, const TtpController* c) {
    auto* r = static_cast<SlotRecorder*>(context);
    const int node = node_of(r, c);
    if (node < 0) {
        return;
    }
    close_if_ended(r, sim_time());
    (void)count_errors(r, static_cast<unsigned>(node));
    if (!r->open) {
        return; // only a slot that was announced is recorded
    }
    SlotCell& cell = r->current.cells[node];
    cell.judgement =
        judge_verdicts(get_frame_status_a(c->working_status), get_frame_status_b(c->working_status));
    cell.membership = membership_vector(c->working_status);
}

} // namespace

// --- Names and orders ------------------------------------------------------------------------------------

const char* judgement_name(uint8_t judgement) {
    return judgement < JUDGEMENT_COUNT ? JUDGEMENT_NAMES[judgement] : "";
}

SlotJudgement judge_verdicts(uint32_t verdict_a, uint32_t verdict_b) {
    const uint32_t any = verdict_a | verdict_b;
    if ((any & VERDICT_CORRECT) != 0) {
        return JUDGED_CORRECT;
    }
    if ((any & VERDICT_INCORRECT) != 0) {
        return JUDGED_INCORRECT;
    }
    return (any & VERDICT_INVALID) == 0 ? JUDGED_NULL : JUDGED_INVALID;
}

const char* error_kind_name(unsigned kind) {
    return kind < ERROR_KIND_COUNT ? ERROR_KIND_NAMES[kind] : "";
}

unsigned state_severity(uint8_t state) {
    return SEVERITY[state & STATE_CODE_MASK];
}

uint8_t worse_state(uint8_t a, uint8_t b) {
    if (a == STATE_NONE) {
        return b;
    }
    if (b == STATE_NONE) {
        return a;
    }
    return state_severity(b) > state_severity(a) ? b : a;
}

unsigned guardian_severity(uint32_t state) {
    switch (state) {
    case BG_ARM:
    case BG_START_TIMER:
    case BG_ENABLE:
    case BG_DISABLE:
        return GUARDIAN_GUARDING;
    case BG_INITIALIZE:
    case BG_CONFIGURE:
        return GUARDIAN_RESET;
    default:
        return GUARDIAN_FAILED;
    }
}

uint32_t worse_guardian_state(uint32_t a, uint32_t b) {
    return guardian_severity(a) > guardian_severity(b) ? a : b;
}

uint8_t membership_vector(const CniStatus& status) {
    uint8_t bits = 0;
    for (unsigned p = 0; p < RECORDED_POSITIONS; ++p) {
        bits |= static_cast<uint8_t>(get_membership(status.cstate, p) << p);
    }
    return bits;
}

std::string membership_bits(uint8_t membership) {
    std::string bits;
    if (membership != MEMBERSHIP_UNKNOWN) {
        for (unsigned p = 0; p < RECORDED_POSITIONS; ++p) {
            bits += (membership >> p & 1u) != 0 ? '1' : '0';
        }
    }
    return bits;
}

std::string leave_reason(uint8_t from, uint8_t to, uint32_t raised_flags) {
    std::string why;
    for (unsigned i = 0; i < FLAG_COUNT; ++i) {
        if ((raised_flags >> i & 1u) != 0) {
            why += std::string(why.empty() ? "" : "; ") + ERROR_FLAGS[i].reason;
        }
    }
    if (!why.empty()) {
        return why;
    }
    if (to == PS_READY && is_active(from)) {
        return "its implicit acknowledgement failed: the next node did not count it as a member";
    }
    if (to == PS_PASSIVE) {
        return "no host life sign at its own slot";
    }
    if (to == PS_FREEZE) {
        return "frozen without a protocol error: its controller was switched off or halted";
    }
    if (to == PS_INIT) {
        return "its host restarted the controller";
    }
    return "no error raised";
}

std::string cluster_mode_text(const SlotColumn& column) {
    uint8_t agreed = MODE_UNKNOWN;
    bool differ = false;
    for (const SlotCell& cell : column.cells) {
        if (cell.mode == MODE_UNKNOWN) {
            continue;
        }
        differ = differ || (agreed != MODE_UNKNOWN && cell.mode != agreed);
        agreed = cell.mode;
    }
    if (agreed == MODE_UNKNOWN) {
        return "Cluster mode: none (no node keeps a C-state)";
    }
    if (!differ) {
        return "Cluster mode " + std::to_string(agreed);
    }
    std::string text = "Cluster mode: nodes disagree:";
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const uint8_t mode = column.cells[n].mode;
        text += std::string(n == 0 ? " " : ", ") + CLUSTER_NODES[n].name + " " +
                (mode == MODE_UNKNOWN ? std::string("-") : std::to_string(mode));
    }
    return text;
}

std::string state_name(uint8_t state) {
    if (state == STATE_NONE) {
        return "";
    }
    std::string_view name = ctrl_state_name(state);
    while (!name.empty() && name.back() == ' ') {
        name.remove_suffix(1);
    }
    return std::string(name);
}

// --- The recorder ----------------------------------------------------------------------------------------

void attach_slot_recorder(SlotRecorder* r, Cluster* cluster) {
    r->cluster = cluster;
    r->observer = ControllerObserver{r, on_state_written, on_slot_started, on_slot_judged};
    r->columns.clear();
    r->injections.clear();
    r->reasons.clear();
    r->open = false;
    r->current = SlotColumn{};
    r->effect_column = 0;
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        TtpController* c = cluster->controllers[n];
        NodeTrack& t = r->track[n];
        t = NodeTrack{};
        t.state = static_cast<uint8_t>(get_protocol_state(c) & STATE_CODE_MASK);
        t.worst_since = STATE_NONE; // the state it was built in is not one it reached
        t.state_at_close = t.state;
        t.last_membership = MEMBERSHIP_UNKNOWN;
        const uint32_t own = find_own_slot(c);
        t.own_position = own < MAX_TRANSMISSION_CYCLE_LENGTH
                             ? get_membership_pos(c->medl.slot_control_entry[own])
                             : RECORDED_POSITIONS;
        t.error_flags = raised_flags(c);
        t.guardian_failures_seen = c->bus_guardian->failure_count;
        t.guardian_failures_at_close = t.guardian_failures_seen;
        t.worst_since_taken = STATE_NONE;
        r->counters[n] = NodeCounters{};
        r->counters[n].worst = STATE_NONE;
        c->observer = &r->observer;
    }
}

void detach_slot_recorder(SlotRecorder* r) {
    if (r->cluster == nullptr) {
        return;
    }
    slot_recorder_catch_up(r);
    for (TtpController* c : r->cluster->controllers) {
        c->observer = nullptr;
    }
    r->cluster = nullptr;
}

void slot_recorder_injection(SlotRecorder* r, const InjectionRecord& record) {
    if (r->cluster == nullptr) {
        return;
    }
    close_if_ended(r, record.time);
    r->injections.push(record);
    const uint32_t number = static_cast<uint32_t>(r->injections.total);
    const uint8_t nodes = injection_nodes(record);
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        if ((nodes & (1u << n)) == 0) {
            continue;
        }
        SlotCell& cell = r->current.cells[n];
        if (cell.injections == 0) {
            cell.first_injection = number;
        }
        cell.last_injection = number;
        cell.injections += 1;
    }
}

void slot_recorder_catch_up(SlotRecorder* r) {
    if (r->cluster != nullptr) {
        close_if_ended(r, sim_time());
    }
}

void reset_slot_counters(SlotRecorder* r) {
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        r->counters[n] = NodeCounters{};
        r->counters[n].worst = r->track[n].state;
    }
}

uint8_t take_worst_state(SlotRecorder* r, unsigned node) {
    NodeTrack& t = r->track[node];
    const uint8_t worst = t.worst_since_taken;
    t.worst_since_taken = STATE_NONE;
    return worst;
}

// --- Rows of cells and slots -----------------------------------------------------------------------------

namespace {

bool consecutive(const SlotCell& cell) {
    return cell.injections > 0 && uint64_t{cell.last_injection} - cell.first_injection + 1 == cell.injections;
}

bool concerns(const InjectionHistory& rows, uint64_t number, uint8_t nodes) {
    return rows.has(number) && (injection_nodes(rows.at(number)) & nodes) != 0;
}

} // namespace

RowList cell_rows(const SlotCell& cell, unsigned node, const InjectionHistory& rows, size_t limit) {
    RowList list;
    list.count = cell.injections;
    for (uint64_t n = cell.first_injection; cell.injections > 0 && n <= cell.last_injection; ++n) {
        if (list.numbers.size() >= limit) {
            break;
        }
        if (consecutive(cell) || concerns(rows, n, static_cast<uint8_t>(1u << node))) {
            list.numbers.push_back(n);
        }
    }
    return list;
}

RowList column_rows(const SlotColumn& column, const InjectionHistory& rows, size_t limit) {
    RowList list;
    uint64_t first = UINT64_MAX;
    uint64_t last = 0;
    bool apart = true; // every cell's rows consecutive and no row in two cells: the injector's case
    for (const SlotCell& cell : column.cells) {
        if (cell.injections == 0) {
            continue;
        }
        apart = apart && consecutive(cell) && (cell.first_injection > last || first == UINT64_MAX);
        first = std::min<uint64_t>(first, cell.first_injection);
        last = std::max<uint64_t>(last, cell.last_injection);
        list.count += cell.injections;
    }
    if (first == UINT64_MAX) {
        return list;
    }
    if (!apart) {
        list.count = 0;
    }
    for (uint64_t n = first; n <= last; ++n) {
        const bool counted = apart ? std::any_of(std::begin(column.cells), std::end(column.cells),
                                                 [n](const SlotCell& c) {
                                                     return c.injections > 0 && n >= c.first_injection &&
                                                            n <= c.last_injection;
                                                 })
                                   : concerns(rows, n, ALL_NODES);
        if (!counted) {
            continue;
        }
        list.count += apart ? 0 : 1;
        if (list.numbers.size() < limit) {
            list.numbers.push_back(n);
        } else if (apart) {
            break;
        }
    }
    return list;
}

// --- CSV -------------------------------------------------------------------------------------------------

std::string slot_event_csv_rows(const SlotColumn& column, const InjectionHistory& rows_seen) {
    std::string rows;
    char start[32];
    std::snprintf(start, sizeof start, "%.4f", column.start_us);
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        const SlotCell& cell = column.cells[n];
        const std::string membership = membership_bits(cell.membership);
        std::string injections;
        for (uint64_t number : cell_rows(cell, n, rows_seen, SIZE_MAX).numbers) {
            if (!injections.empty()) {
                injections += ' ';
            }
            injections += std::to_string(number);
        }
        rows += std::string(start) + ',' + CLUSTER_NODES[n].name + ',' + state_name(cell.state) + ',' +
                state_name(cell.worst) + ',' + (cell.sent != 0 ? '1' : '0') + ',' +
                judgement_name(cell.judgement) + ',' + membership + ',' + injections + '\n';
    }
    return rows;
}

SlotRecorderMark slot_recorder_mark(const SlotRecorder& recorder) {
    SlotRecorderMark mark;
    mark.observer = recorder.observer;
    std::copy(std::begin(recorder.counters), std::end(recorder.counters), std::begin(mark.counters));
    std::copy(std::begin(recorder.track), std::end(recorder.track), std::begin(mark.track));
    mark.effect_column = recorder.effect_column;
    mark.open = recorder.open;
    mark.current = recorder.current;
    mark.columns = recorder.columns.total;
    mark.injections = recorder.injections.total;
    mark.reasons = recorder.reasons.total;
    return mark;
}

void slot_recorder_rewind(SlotRecorder* recorder, const SlotRecorderMark& mark) {
    recorder->observer = mark.observer;
    std::copy(std::begin(mark.counters), std::end(mark.counters), std::begin(recorder->counters));
    std::copy(std::begin(mark.track), std::end(mark.track), std::begin(recorder->track));
    recorder->effect_column = mark.effect_column;
    recorder->open = mark.open;
    recorder->current = mark.current;
    recorder->columns.rewind(mark.columns);
    recorder->injections.rewind(mark.injections);
    recorder->reasons.rewind(mark.reasons);
}
