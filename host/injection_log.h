// The injection log: one CSV row per injected fault and per thing a described fault did, so a run with
// faults can be studied and replayed.
//
// Format 2 (written since described faults, host/fault_spec.h, exist) starts with the line
// INJECTION_LOG_FORMAT_LINE and the header INJECTION_LOG_HEADER:
//     time_us     simulated time of the row (microseconds, exact: %.17g)
//     step        kernel steps executed before it (the point between two steps where it happened; for the
//                 injector's periodic event or the fault plan's, the steps before that event)
//     target      "CNI" or "Reg" (rows that change a bit; empty otherwise)
//     controller  the node whose memory changed ("O1"); for other rows the nodes concerned ("M1+O2", "all")
//                 or empty
//     word, bit   position in the target area; field names the word ("membership[2]", "frame_buffer[1].crc")
//     effect      "set", "reset" or "flip" (bit rows; empty otherwise)
//     before, after  the word's value, hexadecimal (0x...)
//     source      "now" (between two steps: Inject now, campaigns, a fault added), "periodic" (the
//                 injector's own event) or "plan" (the fault plan's event)
//     fault       the described fault's number (1 = the first added to the run); empty for the injector's
//     kind        the fault's kind ("memory" for the injector's rows)
//     action      "bit" (a bit changed), "added" (the fault was added: detail holds its text form),
//                 "start", "end" or "tick" (an occurrence began, ended, acted again)
//     detail      what the row did, in a few words (never a comma)
// Format 1, the logs written before, has the first eleven columns only (the injector's rows) and its header
// INJECTION_CSV_HEADER; it is still read. A file may hold runs of both formats (appending to a format 1 log
// starts the new rows with a format 2 header): rows are read by the header that comes last before them.
//
// A row is at most about 125 characters plus its detail (a fault's text form); no line of a log is longer
// than INJECTION_CSV_LINE_LIMIT.
//
// Reading a log for a replay takes exactly what it holds, or refuses it with the file, the line and the
// reason: only a regular file is read (a directory, a device or a pipe is refused without waiting for it);
// a line longer than the limit ends the reading; a read error is an error; every row must be self-consistent
// (a bit row names a node, a field that is the name of its word, a bit a fault may hit in that word, and the
// effect applied to that bit of `before` gives `after`; the injector's own rows are O1's in format 1, any
// node's in format 2 (a campaign's replayed row of another node's bit); an added row holds
// a fault of its kind), and the steps of one run never decrease.
#pragma once

#include "host/sa1fault.h"

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

/// Format 1: the injector's columns, as campaign CSVs also hold them.
constexpr const char* INJECTION_CSV_HEADER =
    "time_us,step,target,controller,word,field,bit,effect,before,after,source";
/// Format 2.
constexpr const char* INJECTION_LOG_FORMAT_LINE = "# pelorin injection log, format 2";
constexpr const char* INJECTION_LOG_HEADER =
    "time_us,step,target,controller,word,field,bit,effect,before,after,source,fault,kind,action,detail";
/// No line of a log is longer (the line end not counted).
constexpr size_t INJECTION_CSV_LINE_LIMIT = 512;

/// One format 1 row of an injection by the injector (without line end).
std::string injection_csv_row(const InjectionRecord& record, const char* controller);
/// One format 2 row (without line end).
std::string injection_log_row(const InjectionRecord& record);

/// How a log file is opened: replaced by a fresh log, or appended to (only when it is a log already).
enum class LogOpening { FRESH, APPEND };

/// Writes rows to a CSV file, the header first when the file is new or empty.
class InjectionCsvWriter {
  public:
    /// Opens `path`: FRESH replaces it with the format line and the header alone; APPEND keeps its rows when
    /// it holds a log (is_injection_log) and refuses it otherwise. False with a reason when it cannot be
    /// opened or written.
    bool open(const std::string& path, LogOpening opening, std::string* why);
    /// Appends one row (format 2) and flushes it, so the file is complete after every injection.
    bool append(const InjectionRecord& record);
    void close();
    bool is_open() const { return file_ != nullptr; }
    ~InjectionCsvWriter() { close(); }

  private:
    std::FILE* file_ = nullptr;
};

/// Reads the log of one run for a replay (see the file comment); false with the file and line of the first
/// line that cannot be taken.
bool read_injection_csv(const std::string& path, std::vector<InjectionRecord>* records, std::string* why);
/// One format 1 row (without line end), checked as a replay checks it, its bit in the memory of `node` (O1
/// unless a campaign aimed the injector at another node); false with what is wrong with it.
bool parse_injection_row(const std::string& row, InjectionRecord* record, std::string* problem,
                         unsigned node = FAULT_AREA_NODES[FAULT_ENABLED_AREA]);
/// One format 2 row, the same way.
bool parse_injection_log_row(const std::string& row, InjectionRecord* record, std::string* problem);

/// The same for a log's text, named `name` in messages.
bool parse_injection_csv(const std::string& text, const std::string& name,
                         std::vector<InjectionRecord>* records, std::string* why);

/// Reading a log's bytes as they arrive, in pieces of any size: line by line, each line taken as above.
struct InjectionLogScan {
    std::string name;                                // the file, as named in messages
    bool one_run = true;                             // steps must not decrease
    std::vector<InjectionRecord>* records = nullptr; // receives the rows (may be null)
    unsigned line = 0;                               // lines taken
    uint64_t last_step = 0;
    unsigned format = 1; // of the rows that follow: by the last header or format line
    std::string text;    // the line read so far
    bool failed = false;
};
/// Takes the lines the bytes complete; false (with the file, the line and the reason) at the first line that
/// cannot be taken, and for every piece after it.
bool scan_log_bytes(InjectionLogScan* scan, const char* data, size_t size, std::string* why);
/// Takes a last line without line end when it is a whole row; false as above.
bool scan_log_end(InjectionLogScan* scan, std::string* why);
/// Ends a scan with a refusal of the line being read.
bool refuse_scan(InjectionLogScan* scan, const std::string& what, std::string* why);

/// True when `path` holds nothing but an injection log: rows of one or more runs (their steps may start
/// again, as appending makes them), header lines and empty lines. False with the file, line and reason.
bool is_injection_log(const std::string& path, std::string* why);
