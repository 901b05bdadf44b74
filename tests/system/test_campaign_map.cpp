// The fault-space map: every experiment of a sampled campaign, an exhaustive scan and a campaign with a fault
// of its own is one mark in its class's colour, in the band of its field or fault; a CSV the reader refuses
// is refused with its file and line, and no map is written.
#include "campaign_fixture.h"
#include "cli/campaign_csv.h"
#include "cli/campaign_fault.h"
#include "cli/campaign_map.h"
#include "cli/campaign_report.h"
#include "cli/exit_status.h"

#include <map>
#include <regex>

namespace {

struct MapMark {
    std::string shape; // "rect" for an interval, "circle" for a dot
    std::string fill;
    std::string place; // the band's name, as the mark's title gives it
};

class MapTest : public CampaignTest {
  protected:
    /// The marks of the map of `csv`, by experiment; fails the test when two marks name one experiment.
    std::map<uint32_t, MapMark> marks_of(const std::string& svg) {
        static const std::regex mark(
            "<(rect|circle) class=\"mark\"[^>]* fill=\"([^\"]+)\"><title>experiment ([0-9]+): ([^,]*?)"
            "( bit [0-9]+)?, ");
        std::map<uint32_t, MapMark> marks;
        for (auto m = std::sregex_iterator(svg.begin(), svg.end(), mark); m != std::sregex_iterator(); ++m) {
            const auto k = static_cast<uint32_t>(std::stoul((*m)[3]));
            EXPECT_TRUE(marks.emplace(k, MapMark{(*m)[1], (*m)[2], (*m)[4]}).second) << "experiment " << k;
        }
        return marks;
    }
    int map(const std::string& csv, const std::string& out) {
        std::FILE* report = std::fopen(path("map.txt").c_str(), "w");
        const int status = map_campaign(MapOptions{csv, out}, report);
        std::fclose(report);
        return status;
    }
    /// Maps the campaign's CSV and checks each row against its mark: its colour is its class's, its band its
    /// field's (or fault's), and its shape `shape`.
    void expect_marks_match_rows(const CampaignOptions& options, const char* shape) {
        ASSERT_EQ(run(options), EXIT_DONE);
        ASSERT_EQ(map(options.out, ""), EXIT_DONE);
        CampaignCsv csv;
        std::string why;
        ASSERT_TRUE(read_campaign_csv(options.out, &csv, &why)) << why;
        const std::string svg = read(default_map_path(options.out));
        const std::map<uint32_t, MapMark> marks = marks_of(svg);
        ASSERT_EQ(marks.size(), csv.rows.size());
        std::array<unsigned, OUTCOMES> counts{};
        for (const auto& [k, row] : csv.rows) {
            const std::vector<std::string> cells = campaign_csv_cells(row);
            unsigned o = 0;
            ASSERT_TRUE(outcome_by_name(cells[CAMPAIGN_CSV_CLASS_COLUMN], &o));
            counts[o] += 1;
            const MapMark& mark = marks.at(k);
            EXPECT_EQ(mark.fill, OUTCOME_COLOURS[o]) << "experiment " << k;
            EXPECT_EQ(mark.shape, shape) << "experiment " << k;
            const std::string place = options.fault.empty() ? cells[CAMPAIGN_CSV_FIELD_COLUMN]
                                                            : fault_group(cells[DESCRIBED_CSV_FAULT_COLUMN]);
            EXPECT_EQ(mark.place, place) << "experiment " << k;
        }
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            EXPECT_NE(svg.find(std::string(OUTCOME_NAMES[o]) + " (" + std::to_string(counts[o]) + ")"),
                      std::string::npos)
                << "the legend counts " << OUTCOME_NAMES[o];
        }
    }
};

TEST_F(MapTest, EveryExperimentIsOneMarkInItsClassColour) {
    expect_marks_match_rows(campaign(12), "circle");
}

TEST_F(MapTest, AnExhaustiveScanDrawsEachRowOverItsInterval) {
    CampaignOptions options = campaign(1);
    options.exhaustive = true;
    options.window_from_us = 200000;
    options.window_to_us = 200500;
    expect_marks_match_rows(options, "rect");
}

TEST_F(MapTest, AFaultOfItsOwnIsBandedByKindAndPlace) {
    CampaignOptions options = campaign(6);
    options.fault = "crash node=any duration_us=1000..5000";
    expect_marks_match_rows(options, "circle");
}

TEST_F(MapTest, AnOlderCsvWithoutAWindowSpansItsRows) {
    const std::string csv = path("old.csv");
    std::ofstream(csv)
        << "# pelorin-sim campaign: seed=1 runs=1 target=CNI effect=flip\n"
        << "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
           "injections,class,converged,detection_us,heal_us\n"
        << "0,164490.22751251291,15012,CNI,O1,193,controller_await,7,flip,0x00000000,0x00000080,"
           "1,masked,no,,\n";
    ASSERT_EQ(map(csv, path("old.svg")), EXIT_DONE);
    const std::string svg = read(path("old.svg"));
    EXPECT_EQ(marks_of(svg).size(), 1u);
    EXPECT_EQ(svg.find("nan"), std::string::npos) << "a single time spans no axis: still placed";
}

TEST_F(MapTest, AMalformedCsvIsRefusedWithItsLineAndNothingIsWritten) {
    const std::string csv = path("bad.csv");
    std::ofstream(csv) << "# pelorin-sim campaign: seed=1 runs=2 target=CNI effect=flip\n"
                       << "experiment,time_us,step,target,controller,word,field,bit,effect,before,after,"
                          "injections,class,converged,detection_us,heal_us\n"
                       << "0,150000.5,13642,CNI,O1,7,timer,3,flip,0x0,0x8,1,exploded,no,,\n";
    for (const std::string& input : {csv, path("missing.csv")}) {
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(map(input, path("bad.svg")), EXIT_USAGE);
        const std::string message = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(message.find(input), std::string::npos) << message;
        EXPECT_FALSE(std::filesystem::exists(path("bad.svg")));
        EXPECT_FALSE(std::filesystem::exists(path("bad.svg.tmp")));
    }
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(map(csv, path("bad.svg")), EXIT_USAGE);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find(csv + ":3:"), std::string::npos);
}

TEST(MapText, NamesAreEscapedForXml) {
    EXPECT_EQ(xml_text("a<b & \"c\">"), "a&lt;b &amp; &quot;c&quot;&gt;");
}

TEST(MapPath, TheMapLiesBesideTheCsv) {
    EXPECT_EQ(default_map_path("runs/a.csv"), "runs/a.map.svg");
    EXPECT_EQ(default_map_path("runs.d/a"), "runs.d/a.map.svg");
    EXPECT_EQ(default_map_path(".hidden"), ".hidden.map.svg");
}

} // namespace
