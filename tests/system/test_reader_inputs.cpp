// Every seed of the readers' fuzzing and every input that once made a reader fail goes through the reader's
// check (fuzz/reader_checks.h) in the ordinary suite, so what the fuzzer found once is never lost.
#include "fuzz/reader_checks.h"

#include "cli/campaign_csv.h"
#include "host/injection_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

std::vector<fs::path> inputs_of(const std::string& reader) {
    std::vector<fs::path> files;
    for (const char* folder : {"corpus", "regressions"}) {
        const fs::path directory = fs::path(PELORIN_FUZZ_DIR) / folder / reader;
        if (fs::is_directory(directory)) {
            for (const auto& entry : fs::directory_iterator(directory)) {
                files.push_back(entry.path());
            }
        }
    }
    return files;
}

TEST(ReaderInputs, EverySeedAndEveryOnceFailingInputPassesItsReadersCheck) {
    for (size_t r = 0; r < READER_CHECK_COUNT; ++r) {
        const ReaderCheck& reader = READER_CHECKS[r];
        const std::vector<fs::path> files = inputs_of(reader.name);
        EXPECT_GE(files.size(), 3u) << reader.name << " has hardly any seeds";
        for (const fs::path& file : files) {
            std::ifstream in(file, std::ios::binary);
            const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(reader.check(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), "") << file;
        }
    }
}

constexpr const char* CAMPAIGN_HEAD =
    "# pelorin-sim campaign: seed=7 runs=8 target=CNI effect=flip injections=1 window_us=5000:20000 "
    "horizon_us=40000 configuration=621f814e30266b85\n# shard: 0/1\n";
constexpr const char* CAMPAIGN_ROW =
    "1,18500.103507552718,1577,CNI,O1,93,null_frame[23],0,flip,0x00000001,0x00000000,1,no-effect,yes,,";

/// parse_campaign_csv of the head, the column header and `row`: "" when accepted, else the reason.
std::string campaign_refusal(const std::string& row) {
    CampaignCsv csv;
    std::string why;
    const std::string text = std::string(CAMPAIGN_HEAD) + CAMPAIGN_CSV_HEADER + "\n" + row + "\n";
    return parse_campaign_csv(text, "c.csv", &csv, &why) ? "" : why;
}

TEST(ReaderInputs, CampaignRowsAreTakenOnlyAsTheCampaignWritesThem) {
    ASSERT_EQ(campaign_refusal(CAMPAIGN_ROW), "");
    const std::string row = CAMPAIGN_ROW;
    struct Edit {
        std::string row;
        const char* reason;
    };
    const Edit edits[] = {
        {"0" + row, "experiment '01' is not an experiment number"}, // 01 would be taken as experiment 1
        {row.substr(0, row.find(",0,flip")) + ",1,flip" + row.substr(row.find(",0x00000001")),
         "the injection columns are no injection"}, // a bit edited: the values no longer fit
        {"1,,,,,,,,,,,1,no-effect,yes,,", "injections '1' does not fit the injection columns"},
        {row.substr(0, row.rfind(",yes")) + ",maybe,,", "converged 'maybe' is neither yes nor no"},
        {row + "12.5x", "'12.5x' is not a time in microseconds"},
        {row.substr(0, row.find(",no-effect")) + ",lucky" + row.substr(row.find(",yes")),
         "class 'lucky' is no outcome class"},
    };
    for (const Edit& edit : edits) {
        const std::string why = campaign_refusal(edit.row);
        EXPECT_NE(why.find(std::string("c.csv:4: not a row of a campaign's CSV: ") + edit.reason),
                  std::string::npos)
            << edit.row << "\n"
            << why;
    }
    // A file's rows are distinct experiments of its campaign (runs=8: experiments 0 to 7).
    EXPECT_NE(campaign_refusal("8" + row.substr(1)).find("c.csv:4: experiment 8 is outside the campaign's 8"),
              std::string::npos);
    EXPECT_NE(
        campaign_refusal(row + "\n" + row).find("c.csv:5: experiment 1 a second time (first on line 4)"),
        std::string::npos);
}

TEST(ReaderInputs, RefusalsQuoteWhatTheyReadAsOnePrintableLine) {
    // A carriage return inside a cell once made a refusal of two lines.
    const std::string row = std::string(CAMPAIGN_ROW).replace(2, 5, "18\r00");
    EXPECT_NE(campaign_refusal(row).find("\\x0d"), std::string::npos) << campaign_refusal(row);
    std::vector<InjectionRecord> rows;
    std::string why;
    EXPECT_FALSE(parse_injection_csv(
        "4198.6\r7,3,CNI,O1,218,controller_on,0,flip,0x0000ffff,0x0000fffe,now\n", "log.csv", &rows, &why));
    EXPECT_EQ(why.find('\r'), std::string::npos) << why;
    EXPECT_NE(why.find("log.csv:1: time_us '4198.6\\x0d7'"), std::string::npos) << why;
}

} // namespace
