// What every reader of a user's file must do with any input whatever: end in one of its results, with a
// refusal of one readable line that names the file, never a crash, an out-of-bounds access, undefined
// behaviour, a hang or a leak; and what it accepts must read back the same when written out again.
//
// One check per reader. Each takes the bytes of a file and returns "" when the reader behaved, or what it
// did wrong. The libFuzzer harnesses (one program per reader, built with clang: scripts/fuzz.sh) call them on
// generated inputs; the ordinary test suite calls them on every seed and every input that once failed
// (fuzz/corpus/<reader>/, fuzz/regressions/<reader>/), so a fault found once stays found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

/// The message descriptor list reader.
std::string check_medl_input(const uint8_t* data, size_t size);
/// The clock drift file reader.
std::string check_drift_input(const uint8_t* data, size_t size);
/// The injection log reader (what --replay reads).
std::string check_injection_log_input(const uint8_t* data, size_t size);
/// The campaign CSV reader (what --resume and campaign merge read).
std::string check_campaign_csv_input(const uint8_t* data, size_t size);
/// The scenario file reader (what --scenario and the window's lessons read): every refusal at a line, and
/// every fault it accepts reads back the same from its text form.
std::string check_scenario_input(const uint8_t* data, size_t size);
/// The fault text form (what --fault reads, and an injection log's `added` rows): a refusal is one
/// printable line, and an accepted fault written out (format_fault) reads back the same.
std::string check_fault_text_input(const uint8_t* data, size_t size);

/// A campaign's fault with open values (what campaign --fault reads): a refusal is one printable line, an
/// accepted fault reads back as the campaign line records it, and every fault drawn from it reads back.
std::string check_campaign_fault_input(const uint8_t* data, size_t size);

/// The readers by name, as the corpus folders are named.
struct ReaderCheck {
    const char* name;
    std::string (*check)(const uint8_t* data, size_t size);
};
extern const ReaderCheck READER_CHECKS[];
extern const size_t READER_CHECK_COUNT;
