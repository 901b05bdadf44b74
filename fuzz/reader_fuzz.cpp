// libFuzzer entry of one reader's fuzz program: the build names the reader (FUZZED_READER, as in
// READER_CHECKS), and an input that the reader's check refuses ends the run with what the reader did wrong.
#include "fuzz/reader_checks.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const ReaderCheck& fuzzed_reader() {
    for (size_t r = 0; r < READER_CHECK_COUNT; ++r) {
        if (std::strcmp(READER_CHECKS[r].name, FUZZED_READER) == 0) {
            return READER_CHECKS[r];
        }
    }
    std::fprintf(stderr, "no reader check named %s\n", FUZZED_READER);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ReaderCheck& reader = fuzzed_reader();
    const std::string fault = reader.check(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "reader check failed: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
