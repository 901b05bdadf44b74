// A fresh scratch directory per test: named after the test and the process, so two builds (or two
// developers) running the same suite on one machine never share or remove each other's files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

/// temp/<prefix>-<suite>-<test>-<pid>, emptied and created.
inline std::filesystem::path make_scratch_directory(const std::string& prefix) {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() /
        (prefix + "-" + info->test_suite_name() + "-" + info->name() + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(directory);
    std::filesystem::create_directories(directory);
    return directory;
}
