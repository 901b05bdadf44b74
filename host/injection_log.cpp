#include "host/injection_log.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

constexpr unsigned CSV_COLUMNS = 11;
constexpr const char* SOURCE_NAMES[] = {"now", "periodic"};
constexpr unsigned FIELD_NAME_BYTES = 64;

bool parse_unsigned(const std::string& text, uint64_t* value, int base = 10) {
    if (text.empty()) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    unsigned long long parsed = std::strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || text[0] == '-') {
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

} // namespace

std::string injection_csv_row(const InjectionRecord& r, const char* controller) {
    char field[FIELD_NAME_BYTES];
    fault_word_name(r.target, r.word, field, sizeof field);
    char row[256];
    std::snprintf(row, sizeof row, "%.17g,%" PRIu64 ",%s,%s,%u,%s,%u,%s,0x%08x,0x%08x,%s", r.time, r.step,
                  fault_target_name(r.target), controller, r.word, field, r.bit, fault_effect_name(r.effect),
                  r.before, r.after, SOURCE_NAMES[r.source == SOURCE_PERIODIC ? 1 : 0]);
    return row;
}

bool InjectionCsvWriter::open(const std::string& path, std::string* why) {
    close();
    file_ = std::fopen(path.c_str(), "a");
    if (file_ == nullptr) {
        if (why != nullptr) {
            *why = path + ": cannot be opened for writing (" + std::strerror(errno) + ")";
        }
        return false;
    }
    std::fseek(file_, 0, SEEK_END);
    if (std::ftell(file_) == 0) {
        std::fprintf(file_, "%s\n", INJECTION_CSV_HEADER);
        std::fflush(file_);
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
    std::ifstream in(path);
    auto refuse = [&](unsigned line, const std::string& what) {
        if (why != nullptr) {
            *why = path + (line > 0 ? ":" + std::to_string(line) : std::string()) + ": " + what;
        }
        return false;
    };
    if (!in) {
        return refuse(0, std::string("cannot be opened (") + std::strerror(errno) + ")");
    }
    std::string text;
    unsigned line = 0;
    uint64_t last_step = 0;
    while (std::getline(in, text)) {
        line += 1;
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (text.empty()) {
            continue;
        }
        if (text == INJECTION_CSV_HEADER) {
            continue;
        }
        std::vector<std::string> cells;
        std::stringstream row(text);
        std::string cell;
        while (std::getline(row, cell, ',')) {
            cells.push_back(cell);
        }
        if (cells.size() != CSV_COLUMNS) {
            return refuse(line, "expected " + std::to_string(CSV_COLUMNS) + " columns (" +
                                    INJECTION_CSV_HEADER + "), found " + std::to_string(cells.size()));
        }
        InjectionRecord r{};
        uint64_t step = 0;
        uint64_t word = 0;
        uint64_t bit = 0;
        uint64_t before = 0;
        uint64_t after = 0;
        char* end = nullptr;
        r.time = std::strtod(cells[0].c_str(), &end);
        uint32_t target = 0;
        uint8_t effect = 0;
        const bool target_named = fault_target_by_name(cells[2], &target);
        const bool effect_named = fault_effect_by_name(cells[7], &effect);
        const int source = index_of(SOURCE_NAMES, 2, cells[10]);
        if (end == cells[0].c_str() || *end != '\0' || !(r.time >= 0)) {
            return refuse(line, "time_us '" + cells[0] + "' is not a time");
        }
        if (!parse_unsigned(cells[1], &step)) {
            return refuse(line, "step '" + cells[1] + "' is not a step number");
        }
        if (step < last_step) {
            return refuse(line, "steps must not decrease (" + cells[1] + " after " +
                                    std::to_string(last_step) + ")");
        }
        if (!target_named) {
            return refuse(line, "target '" + cells[2] + "' is neither CNI nor Reg");
        }
        if (!parse_unsigned(cells[4], &word) ||
            word >= (target == TARGET_CNI ? CNI_MASK_WORDS : REG_MASK_WORDS)) {
            return refuse(line, "word '" + cells[4] + "' is outside the target area");
        }
        if (!parse_unsigned(cells[6], &bit) || bit > 31) {
            return refuse(line, "bit '" + cells[6] + "' is not 0-31");
        }
        if (!effect_named) {
            return refuse(line, "effect '" + cells[7] + "' is not set, reset or flip");
        }
        if (!parse_unsigned(cells[8], &before, 16) || !parse_unsigned(cells[9], &after, 16) ||
            before > UINT32_MAX || after > UINT32_MAX) {
            return refuse(line, "before/after must be 32-bit hexadecimal values");
        }
        if (source < 0) {
            return refuse(line, "source '" + cells[10] + "' is neither now nor periodic");
        }
        last_step = step;
        r.source = static_cast<uint8_t>(source);
        r.step = step;
        r.target = target;
        r.word = static_cast<uint32_t>(word);
        r.bit = static_cast<uint32_t>(bit);
        r.effect = effect;
        r.before = static_cast<uint32_t>(before);
        r.after = static_cast<uint32_t>(after);
        records->push_back(r);
    }
    return true;
}
