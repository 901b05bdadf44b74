#include "host/injection_log.h"

#include "host/fault_plan.h"
#include "host/fault_spec.h"
#include "kernel/input_file.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned CSV_COLUMNS = 11;
constexpr unsigned LOG_COLUMNS = 15;
constexpr const char* SOURCE_NAMES[INJECTION_SOURCE_COUNT] = {"now", "periodic", "plan"};
constexpr unsigned FIELD_NAME_BYTES = 64;
constexpr uint32_t WORD_BITS = 32;
constexpr size_t READ_CHUNK_BYTES = 64 * 1024;

enum Column {
    TIME,
    STEP,
    TARGET,
    CONTROLLER,
    WORD,
    FIELD,
    BIT,
    EFFECT,
    BEFORE,
    AFTER,
    SOURCE,
    FAULT,
    KIND,
    ACTION,
    DETAIL
};

bool parse_unsigned(const std::string& text, uint64_t* value, int base = 10) {
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0') {
        return false;
    }
    *value = parsed;
    return true;
}

int index_of(const char* const* names, unsigned count, const std::string& name) {
    for (unsigned i = 0; i < count; ++i) {
        if (name == names[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", value);
    return text;
}

} // namespace

namespace {

bool parse_time_and_step(const std::vector<std::string>& cells, InjectionRecord* r, std::string* problem) {
    char* end = nullptr;
    r->time = std::strtod(cells[TIME].c_str(), &end);
    if (cells[TIME].empty() || *end != '\0' || !std::isfinite(r->time) || !(r->time >= 0)) {
        *problem = "time_us '" + cells[TIME] + "' is not a time";
        return false;
    }
    if (!parse_unsigned(cells[STEP], &r->step)) {
        *problem = "step '" + cells[STEP] + "' is not a step number";
        return false;
    }
    return true;
}

/// The columns of a changed bit: target .. after, for a change in `node`'s memory (-1: any node).
bool parse_bit_columns(const std::vector<std::string>& cells, int node, InjectionRecord* r,
                       std::string* problem) {
    if (!fault_target_by_name(cells[TARGET], &r->target)) {
        *problem = "target '" + cells[TARGET] + "' is neither CNI nor Reg";
        return false;
    }
    if (node >= 0) {
        if (cells[CONTROLLER] != CLUSTER_NODES[node].name) {
            *problem = "controller '" + cells[CONTROLLER] + "' is not " + CLUSTER_NODES[node].name +
                       ", whose memory faults change";
            return false;
        }
        r->area = FAULT_ENABLED_AREA;
    } else {
        const int named = node_by_name(cells[CONTROLLER]);
        if (named < 0) {
            *problem = "controller '" + cells[CONTROLLER] + "' is no node (M1, M2, O1, O2)";
            return false;
        }
        r->node = named;
        r->nodes = static_cast<uint8_t>(1u << named);
    }
    const bool cni = r->target == TARGET_CNI;
    uint64_t word = 0;
    if (!parse_unsigned(cells[WORD], &word) || word >= (cni ? CNI_MASK_WORDS : REG_MASK_WORDS)) {
        *problem = "word '" + cells[WORD] + "' is outside the target area";
        return false;
    }
    r->word = static_cast<uint32_t>(word);
    char field[FIELD_NAME_BYTES];
    fault_word_name(r->target, r->word, field, sizeof field);
    if (cells[FIELD] != field) {
        *problem = "field '" + cells[FIELD] + "' is not the name of word " + cells[WORD] + " (" + field + ")";
        return false;
    }
    uint64_t bit = 0;
    const uint32_t mask = (cni ? cni_fault_mask() : register_fault_mask())[r->word];
    if (!parse_unsigned(cells[BIT], &bit) || bit >= WORD_BITS || (mask >> bit & 1u) == 0) {
        *problem = "bit '" + cells[BIT] + "' is not a bit a fault may hit in " + field;
        return false;
    }
    r->bit = static_cast<uint32_t>(bit);
    if (!fault_effect_by_name(cells[EFFECT], &r->effect)) {
        *problem = "effect '" + cells[EFFECT] + "' is not set, reset or flip";
        return false;
    }
    uint64_t before = 0;
    uint64_t after = 0;
    if (!parse_unsigned(cells[BEFORE], &before, 16) || !parse_unsigned(cells[AFTER], &after, 16) ||
        before > UINT32_MAX || after > UINT32_MAX) {
        *problem = "before/after must be 32-bit hexadecimal values";
        return false;
    }
    r->before = static_cast<uint32_t>(before);
    r->after = static_cast<uint32_t>(after);
    const uint32_t expected = apply_fault_effect(r->before, 1u << r->bit, r->effect);
    if (r->after != expected) {
        *problem = std::string(fault_effect_name(r->effect)) + " of bit " + cells[BIT] + " makes " +
                   hex(r->before) + " " + hex(expected) + ", not " + hex(r->after);
        return false;
    }
    return true;
}

bool parse_source(const std::string& cell, unsigned count, InjectionRecord* r, std::string* problem) {
    const int source = index_of(SOURCE_NAMES, count, cell);
    if (source < 0) {
        *problem = "source '" + cell + "' is " +
                   (count == 2 ? "neither now nor periodic" : "not now, periodic or plan");
        return false;
    }
    r->source = static_cast<uint8_t>(source);
    return true;
}

} // namespace

bool parse_injection_row(const std::string& text, InjectionRecord* r, std::string* problem, unsigned node) {
    const std::vector<std::string> cells = csv_cells(text);
    if (cells.size() != CSV_COLUMNS) {
        *problem = "expected " + std::to_string(CSV_COLUMNS) + " columns (" + INJECTION_CSV_HEADER +
                   "), found " + std::to_string(cells.size());
        return false;
    }
    if (!parse_time_and_step(cells, r, problem) ||
        !parse_bit_columns(cells, static_cast<int>(node), r, problem) ||
        !parse_source(cells[SOURCE], 2, r, problem)) {
        return false;
    }
    r->node = node == FAULT_AREA_NODES[FAULT_ENABLED_AREA] ? -1 : static_cast<int>(node);
    return true;
}

bool parse_injection_log_row(const std::string& text, InjectionRecord* r, std::string* problem) {
    const std::vector<std::string> cells = csv_cells(text);
    if (cells.size() != LOG_COLUMNS) {
        *problem = "expected " + std::to_string(LOG_COLUMNS) + " columns (" + INJECTION_LOG_HEADER +
                   "), found " + std::to_string(cells.size());
        return false;
    }
    if (!parse_time_and_step(cells, r, problem) ||
        !parse_source(cells[SOURCE], INJECTION_SOURCE_COUNT, r, problem)) {
        return false;
    }
    FaultKind kind{};
    if (!fault_kind_by_name(cells[KIND], &kind)) {
        *problem = "kind '" + cells[KIND] + "' is no kind of fault";
        return false;
    }
    r->kind = static_cast<uint8_t>(kind);
    if (!fault_row_action_by_name(cells[ACTION], &r->action)) {
        *problem = "action '" + cells[ACTION] + "' is not bit, added, start, end or tick";
        return false;
    }
    r->detail = cells[DETAIL];
    uint64_t fault = 0;
    if (cells[FAULT].empty()) {
        // The injector's own row: a bit of O1's memory, as format 1 has it.
        if (kind != FaultKind::MEMORY || r->action != ROW_BIT || r->source == SOURCE_PLAN ||
            !r->detail.empty()) {
            *problem = "a row without a fault number is the fault injector's: a memory bit, now or periodic";
            return false;
        }
        // The injector changes O1's memory, or another node's in a campaign of that node's bits.
        if (!parse_bit_columns(cells, -1, r, problem)) {
            return false;
        }
        r->area = FAULT_ENABLED_AREA;
        r->nodes = 0;
        r->node = r->node == static_cast<int>(FAULT_AREA_NODES[FAULT_ENABLED_AREA]) ? -1 : r->node;
        return true;
    }
    if (!parse_unsigned(cells[FAULT], &fault) || fault == 0 || fault > UINT32_MAX) {
        *problem = "fault '" + cells[FAULT] + "' is not a fault number";
        return false;
    }
    r->fault = static_cast<uint32_t>(fault);
    r->effect = FAULT_EFFECT_COUNT;
    if (r->action == ROW_BIT) {
        if (!is_memory_kind(kind)) {
            *problem = "only memory faults change bits";
            return false;
        }
        return parse_bit_columns(cells, -1, r, problem);
    }
    for (unsigned c = TARGET; c <= AFTER; ++c) {
        if (c != CONTROLLER && !cells[c].empty()) {
            *problem = "a row that changes no bit has no target, word, field, bit, effect, before or after";
            return false;
        }
    }
    if (!cells[CONTROLLER].empty() && !parse_node_set(cells[CONTROLLER], &r->nodes)) {
        *problem = "controller '" + cells[CONTROLLER] + "' names no nodes";
        return false;
    }
    if (!cells[CONTROLLER].empty() && node_set_text(r->nodes) != cells[CONTROLLER]) {
        *problem = "controller '" + cells[CONTROLLER] + "' is not written as a log writes it (" +
                   node_set_text(r->nodes) + ")";
        return false;
    }
    if (std::popcount(r->nodes) == 1) {
        r->node = std::countr_zero(r->nodes);
    }
    if (r->action == ROW_ADDED) {
        FaultSpec added;
        std::string why;
        if (r->source != SOURCE_NOW || !parse_fault(r->detail, &added, &why)) {
            *problem =
                "an added row holds the fault's text form, added now: " + (why.empty() ? r->detail : why);
            return false;
        }
        if (added.kind != kind) {
            *problem =
                "the fault added is " + std::string(fault_kind_name(added.kind)) + ", not " + cells[KIND];
            return false;
        }
    }
    return true;
}

bool refuse_scan(InjectionLogScan* scan, const std::string& what, std::string* why) {
    scan->failed = true;
    if (why != nullptr) {
        // What a refusal quotes of the file is shown printable, so the message stays one readable line.
        *why = scan->name + (scan->line > 0 ? ":" + std::to_string(scan->line) : std::string()) + ": " +
               printable(what);
    }
    return false;
}

namespace {

/// Takes the line in scan->text; false when it cannot be taken.
bool take_line(InjectionLogScan* scan, std::string* why) {
    scan->line += 1;
    std::string& text = scan->text;
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    if (text.empty()) {
        return true;
    }
    if (text == INJECTION_CSV_HEADER || text == INJECTION_LOG_FORMAT_LINE || text == INJECTION_LOG_HEADER) {
        scan->format = text == INJECTION_CSV_HEADER ? 1 : 2;
        return true;
    }
    InjectionRecord r{};
    std::string problem;
    const bool parsed = scan->format == 1 ? parse_injection_row(text, &r, &problem)
                                          : parse_injection_log_row(text, &r, &problem);
    if (!parsed) {
        return refuse_scan(scan, problem, why);
    }
    if (scan->one_run && r.step < scan->last_step) {
        return refuse_scan(scan,
                           "steps must not decrease (" + std::to_string(r.step) + " after " +
                               std::to_string(scan->last_step) +
                               "): a log of several runs cannot be replayed as one",
                           why);
    }
    scan->last_step = r.step;
    if (scan->records != nullptr) {
        scan->records->push_back(r);
    }
    return true;
}

} // namespace

bool scan_log_bytes(InjectionLogScan* scan, const char* data, size_t size, std::string* why) {
    if (scan->failed) {
        return false;
    }
    const char* at = data;
    const char* const end = data + size;
    while (at < end) {
        const auto* line_end = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        const char* piece_end = line_end != nullptr ? line_end : end;
        if (scan->text.size() + static_cast<size_t>(piece_end - at) > INJECTION_CSV_LINE_LIMIT) {
            scan->line += 1;
            return refuse_scan(scan,
                               "the line is longer than " + std::to_string(INJECTION_CSV_LINE_LIMIT) +
                                   " characters: no row of an injection log is",
                               why);
        }
        scan->text.append(at, piece_end);
        at = piece_end;
        if (line_end != nullptr) {
            if (!take_line(scan, why)) {
                return false;
            }
            scan->text.clear();
            at += 1;
        }
    }
    return true;
}

bool scan_log_end(InjectionLogScan* scan, std::string* why) {
    if (scan->failed) {
        return false;
    }
    // A last line without line end is taken when it is a whole row (a cut row never is one).
    return scan->text.empty() || take_line(scan, why);
}

bool parse_injection_csv(const std::string& text, const std::string& name,
                         std::vector<InjectionRecord>* records, std::string* why) {
    InjectionLogScan scan;
    scan.name = name;
    scan.records = records;
    return scan_log_bytes(&scan, text.data(), text.size(), why) && scan_log_end(&scan, why);
}

namespace {

/// Reads every line of the log at `path`; `records` (may be null) receives the rows. With `one_run`, steps
/// must not decrease. `format` (may be null) receives the format of its last rows.
bool scan_log(const std::string& path, bool one_run, std::vector<InjectionRecord>* records, std::string* why,
              unsigned* format = nullptr) {
    InjectionLogScan scan;
    scan.name = path;
    scan.one_run = one_run;
    scan.records = records;
    // Opened without waiting: a pipe with no writer would otherwise hold the open for ever.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return refuse_scan(&scan, std::string("cannot be opened (") + std::strerror(errno) + ")", why);
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        return refuse_scan(
            &scan, "is not a regular file (a directory, a device or a pipe is no injection log)", why);
    }
    std::vector<char> chunk(READ_CHUNK_BYTES);
    for (;;) {
        const ssize_t got = read(fd, chunk.data(), chunk.size());
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            scan.line += 1;
            return refuse_scan(&scan, std::string("cannot be read (") + std::strerror(errno) + ")", why);
        }
        if (got == 0) {
            break;
        }
        if (!scan_log_bytes(&scan, chunk.data(), static_cast<size_t>(got), why)) {
            return false;
        }
    }
    if (format != nullptr) {
        *format = scan.format;
    }
    return scan_log_end(&scan, why);
}

} // namespace

std::string injection_csv_row(const InjectionRecord& r, const char* controller) {
    char field[FIELD_NAME_BYTES];
    fault_word_name(r.target, r.word, field, sizeof field);
    char row[INJECTION_CSV_LINE_LIMIT + 1];
    std::snprintf(row, sizeof row, "%.17g,%" PRIu64 ",%s,%s,%u,%s,%u,%s,0x%08x,0x%08x,%s", r.time, r.step,
                  fault_target_name(r.target), controller, r.word, field, r.bit, fault_effect_name(r.effect),
                  r.before, r.after, SOURCE_NAMES[r.source == SOURCE_PERIODIC ? 1 : 0]);
    return row;
}

std::string injection_log_row(const InjectionRecord& r) {
    const char* source = SOURCE_NAMES[r.source < INJECTION_SOURCE_COUNT ? r.source : unsigned{SOURCE_NOW}];
    char row[INJECTION_CSV_LINE_LIMIT + 1];
    std::string detail = r.detail;
    std::replace(detail.begin(), detail.end(), ',', ';'); // a cell never holds the separator
    const char* kind = fault_kind_name(static_cast<FaultKind>(r.kind));
    const char* action = fault_row_action_name(r.action);
    if (r.action == ROW_BIT) {
        char field[FIELD_NAME_BYTES];
        fault_word_name(r.target, r.word, field, sizeof field);
        const int node = injection_node(r);
        const std::string fault = r.fault != 0 ? std::to_string(r.fault) : "";
        std::snprintf(row, sizeof row, "%.17g,%" PRIu64 ",%s,%s,%u,%s,%u,%s,0x%08x,0x%08x,%s,%s,%s,%s,%s",
                      r.time, r.step, fault_target_name(r.target), node >= 0 ? CLUSTER_NODES[node].name : "?",
                      r.word, field, r.bit, fault_effect_name(r.effect), r.before, r.after, source,
                      fault.c_str(), kind, action, detail.c_str());
    } else {
        std::snprintf(row, sizeof row, "%.17g,%" PRIu64 ",,%s,,,,,,,%s,%u,%s,%s,%s", r.time, r.step,
                      node_set_text(r.nodes).c_str(), source, r.fault, kind, action, detail.c_str());
    }
    return row;
}

bool InjectionCsvWriter::open(const std::string& path, LogOpening opening, std::string* why) {
    close();
    auto refuse = [&](const std::string& what) {
        if (why != nullptr) {
            *why = path + ": " + what;
        }
        close();
        return false;
    };
    struct stat status;
    unsigned format = 2;
    if (opening == LogOpening::APPEND && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_size > 0) {
        std::string not_a_log;
        if (!scan_log(path, false, nullptr, &not_a_log, &format)) {
            return refuse("has lines that are not rows of an injection log, so nothing is appended (" +
                          not_a_log + ")");
        }
    }
    file_ = std::fopen(path.c_str(), opening == LogOpening::APPEND ? "a" : "w");
    if (file_ == nullptr) {
        return refuse(std::string("cannot be opened for writing (") + std::strerror(errno) + ")");
    }
    std::fseek(file_, 0, SEEK_END);
    // A new log, or one whose last rows are of format 1, gets the format line and the header first.
    if ((std::ftell(file_) <= 0 || format != 2) &&
        (std::fprintf(file_, "%s\n%s\n", INJECTION_LOG_FORMAT_LINE, INJECTION_LOG_HEADER) < 0 ||
         std::fflush(file_) != 0)) {
        return refuse(std::string("cannot be written (") + std::strerror(errno) + ")");
    }
    return true;
}

bool InjectionCsvWriter::append(const InjectionRecord& record) {
    if (file_ == nullptr) {
        return false;
    }
    std::string row = injection_log_row(record);
    return std::fprintf(file_, "%s\n", row.c_str()) > 0 && std::fflush(file_) == 0;
}

void InjectionCsvWriter::close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

bool read_injection_csv(const std::string& path, std::vector<InjectionRecord>* records, std::string* why) {
    return scan_log(path, true, records, why);
}

bool is_injection_log(const std::string& path, std::string* why) {
    return scan_log(path, false, nullptr, why);
}
