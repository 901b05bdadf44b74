// Every kernel test starts from a fresh kernel and proves at its end that disposing of the run leaves
// nothing behind (leaks would show under AddressSanitizer as well).
#pragma once

#include "kernel/sim_process.h"
#include "kernel/trace.h"

#include <gtest/gtest.h>

class KernelTest : public ::testing::Test {
  protected:
    void SetUp() override {
        trace_off();
        inic_kernel();
    }
    void TearDown() override {
        dispose_all();
        EXPECT_EQ(heap(), nullptr);
        EXPECT_EQ(memory_count(), 0u);
    }
    /// The code of the last error, clearing it; -1 when no error was reported.
    static int last_error() {
        SimErrorRecord record{};
        return get_error(&record) ? record.code : -1;
    }
};
