// The injection log: one CSV row per injected fault, so a run with faults can be studied and replayed.
//
// Columns: time_us, step, target, controller, word, field, bit, effect, before, after, source
//     time_us     simulated time of the injection (microseconds, exact: %.17g)
//     step        kernel steps executed before it (the point between two steps where it happened; for a
//                 periodic injection, the steps before the injector's own event)
//     target      "CNI" or "Reg"
//     controller  the controller whose memory changed ("O1")
//     word, bit   position in the target area; field names the word ("membership[2]", "frame_buffer[1].crc")
//     effect      "set", "reset" or "flip"
//     before, after  the word's value, hexadecimal (0x...)
//     source      "now" (between two steps: Inject now, campaigns) or "periodic" (the injector's own event)
#pragma once

#include "host/sa1fault.h"

#include <cstdio>
#include <string>
#include <vector>

constexpr const char* INJECTION_CSV_HEADER =
    "time_us,step,target,controller,word,field,bit,effect,before,after,source";

const char* fault_effect_name(uint8_t effect);
const char* fault_target_name(uint32_t target);
/// One CSV row (without line end).
std::string injection_csv_row(const InjectionRecord& record, const char* controller);

/// Appends rows to a CSV file, writing the header first when the file is new or empty.
class InjectionCsvWriter {
  public:
    /// Opens `path` for appending; false (and a reason) when it cannot be opened.
    bool open(const std::string& path, std::string* why);
    /// Appends one row and flushes it, so the file is complete after every injection.
    bool append(const InjectionRecord& record, const char* controller);
    void close();
    bool is_open() const { return file_ != nullptr; }
    ~InjectionCsvWriter() { close(); }

  private:
    std::FILE* file_ = nullptr;
};

/// Reads a log written by InjectionCsvWriter; false with the file and line of the first bad row.
bool read_injection_csv(const std::string& path, std::vector<InjectionRecord>* records, std::string* why);
