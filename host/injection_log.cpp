#include "host/injection_log.h"

#include "kernel/input_file.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr unsigned CSV_COLUMNS = 11;
constexpr const char* SOURCE_NAMES[] = {"now", "periodic"};
constexpr unsigned FIELD_NAME_BYTES = 64;
constexpr uint32_t WORD_BITS = 32;
constexpr size_t READ_CHUNK_BYTES = 64 * 1024;

enum Column { TIME, STEP, TARGET, CONTROLLER, WORD, FIELD, BIT, EFFECT, BEFORE, AFTER, SOURCE };

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

bool parse_injection_row(const std::string& text, InjectionRecord* r, std::string* problem) {
    const std::vector<std::string> cells = csv_cells(text);
    if (cells.size() != CSV_COLUMNS) {
        *problem = "expected " + std::to_string(CSV_COLUMNS) + " columns (" + INJECTION_CSV_HEADER +
                   "), found " + std::to_string(cells.size());
        return false;
    }
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
    if (!fault_target_by_name(cells[TARGET], &r->target)) {
        *problem = "target '" + cells[TARGET] + "' is neither CNI nor Reg";
        return false;
    }
    const char* injected = fault_area_node_name(FAULT_ENABLED_AREA);
    if (cells[CONTROLLER] != injected) {
        *problem =
            "controller '" + cells[CONTROLLER] + "' is not " + injected + ", whose memory faults change";
        return false;
    }
    r->area = FAULT_ENABLED_AREA;
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
    const int source = index_of(SOURCE_NAMES, 2, cells[SOURCE]);
    if (source < 0) {
        *problem = "source '" + cells[SOURCE] + "' is neither now nor periodic";
        return false;
    }
    r->source = static_cast<uint8_t>(source);
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
    if (text.empty() || text == INJECTION_CSV_HEADER) {
        return true;
    }
    InjectionRecord r{};
    std::string problem;
    if (!parse_injection_row(text, &r, &problem)) {
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
/// must not decrease.
bool scan_log(const std::string& path, bool one_run, std::vector<InjectionRecord>* records,
              std::string* why) {
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
    if (opening == LogOpening::APPEND && stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_size > 0) {
        std::string not_a_log;
        if (!is_injection_log(path, &not_a_log)) {
            return refuse("has lines that are not rows of an injection log, so nothing is appended (" +
                          not_a_log + ")");
        }
    }
    file_ = std::fopen(path.c_str(), opening == LogOpening::APPEND ? "a" : "w");
    if (file_ == nullptr) {
        return refuse(std::string("cannot be opened for writing (") + std::strerror(errno) + ")");
    }
    std::fseek(file_, 0, SEEK_END);
    if (std::ftell(file_) <= 0 &&
        (std::fprintf(file_, "%s\n", INJECTION_CSV_HEADER) < 0 || std::fflush(file_) != 0)) {
        return refuse(std::string("cannot be written (") + std::strerror(errno) + ")");
    }
    return true;
}

bool InjectionCsvWriter::append(const InjectionRecord& record, const char* controller) {
    if (file_ == nullptr) {
        return false;
    }
    std::string row = injection_csv_row(record, controller);
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
