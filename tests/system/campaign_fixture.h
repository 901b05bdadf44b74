// A scratch directory per test and a small campaign on the default configuration, for the campaign tests.
#pragma once

#include "cli/campaign.h"
#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

class CampaignTest : public ::testing::Test {
  protected:
    std::filesystem::path directory;
    void SetUp() override { directory = make_scratch_directory("pelorin-campaign"); }
    void TearDown() override { std::filesystem::remove_all(directory); }
    std::string path(const char* name) const { return (directory / name).string(); }
    static std::string read(const std::string& file) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    CampaignOptions campaign(uint32_t runs) const {
        CampaignOptions options;
        options.directory = PELORIN_DEFAULT_DATA_DIR;
        options.runs = runs;
        options.seed = 5;
        options.window_from_us = 100000;
        options.window_to_us = 200000;
        options.horizon_us = 300000;
        options.out = path("campaign.csv");
        return options;
    }
    int run(const CampaignOptions& options) {
        std::FILE* report = std::fopen(path("report.txt").c_str(), "w");
        int status = run_campaign(options, report);
        std::fclose(report);
        return status;
    }
};
