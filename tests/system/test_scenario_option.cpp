// pelorin-sim --scenario: the file's faults join the run before those of --fault, and a file that cannot be
// used stops the program before the run, naming the file and the line.
#include "cli/exit_status.h"
#include "run_command.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

class ScenarioOption : public ::testing::Test {
  protected:
    fs::path directory;
    void SetUp() override { directory = make_scratch_directory("pelorin-sim-scenario"); }
    void TearDown() override { fs::remove_all(directory); }

    std::string write(const std::string& name, const std::string& text) {
        const fs::path file = directory / name;
        std::ofstream(file) << text;
        return file.string();
    }
    int run(const std::string& arguments, std::string* out) {
        return run_command(std::string("--dir ") + PELORIN_DEFAULT_DATA_DIR + " --no-trace " + arguments,
                           out);
    }
    /// The detail column of the log's `added` rows, in order.
    std::vector<std::string> added_faults(const std::string& log) {
        std::ifstream in(log);
        std::vector<std::string> faults;
        for (std::string line; std::getline(in, line);) {
            const size_t added = line.find(",added,");
            if (added != std::string::npos) {
                faults.push_back(line.substr(added + 7));
            }
        }
        return faults;
    }
};

TEST_F(ScenarioOption, TheScenariosFaultsAreAddedBeforeThoseOfFault) {
    const std::string scenario = write("lesson.toml", R"(title = "A babbling idiot and its guardian"
stop_on_effect = true

[[fault]]
kind = "babbling"
node = "O1"
at_us = 20000
duration_us = 500
caption = "O1 babbles: its guardian refuses every frame outside its window."

[[fault]]
kind = "crash"
node = "M2"
at_us = 15000
)");
    const std::string log = (directory / "log.csv").string();
    std::string out;
    EXPECT_EQ(run("--until-us 30000 --scenario " + scenario + " --fault 'lose channel=A at_us=25000' " +
                      "--injection-log " + log,
                  &out),
              EXIT_DONE)
        << out;
    const std::vector<std::string> expected = {
        "babbling node=O1 duration_us=500 at_us=20000",
        "crash node=M2 at_us=15000",
        "lose channel=A at_us=25000",
    };
    EXPECT_EQ(added_faults(log), expected);
}

TEST_F(ScenarioOption, AFileThatCannotBeUsedEndsWithStatus2NamingFileAndLine) {
    const std::string bad =
        write("bad.toml", "title = \"T\"\n\n[[fault]]\nkind = \"crash\"\nnode = \"O5\"\n");
    std::string out;
    EXPECT_EQ(run("--scenario " + bad, &out), EXIT_USAGE);
    EXPECT_EQ(out, "pelorin-sim: " + bad + ":5: node: must name nodes: M1, M2, O1, O2 (M1+O2), or all\n");
    out.clear();
    EXPECT_EQ(run("--scenario " + directory.string(), &out), EXIT_USAGE);
    EXPECT_EQ(out, "pelorin-sim: " + directory.string() + ": is a directory, not a file\n");
    out.clear();
    const std::string good = write("good.toml", "title = \"T\"\n");
    EXPECT_EQ(run("--scenario " + good + " --replay " + good, &out), EXIT_USAGE);
    EXPECT_NE(out.find("--replay excludes --scenario"), std::string::npos) << out;
}

// A campaign of a fault of its own refuses the options of the bit fault instead of ignoring them.
TEST_F(ScenarioOption, ACampaignFaultRefusesTheBitFaultsNodeTargetAndEffect) {
    const fs::path csv = directory / "c.csv";
    for (const auto& [option, value] :
         {std::pair{"--target", "Reg"}, {"--effect", "set"}, {"--node", "M2"}}) {
        std::ostringstream command;
        command << "campaign --dir " << PELORIN_DEFAULT_DATA_DIR << " --runs 1 --fault 'crash node=O1' --out "
                << csv.string() << ' ' << option << ' ' << value;
        std::string out;
        EXPECT_EQ(run_command(command.str(), &out), EXIT_USAGE) << option;
        EXPECT_EQ(out, std::string("pelorin-sim: campaign --fault takes no ") + option +
                           ": the fault names its own node, target and effect\n");
        EXPECT_FALSE(fs::exists(csv));
    }
}

// A campaign's --scenario: the file's faults, without their captions, are every experiment's faults.
TEST_F(ScenarioOption, ACampaignsScenarioIsEveryExperimentsFaultsAndItsLineRecordsThem) {
    const std::string file = write("two.toml", "title = \"T\"\n[[fault]]\nkind = \"crash\"\nnode = \"O1\"\n"
                                               "caption = \"O1 falls silent.\"\n[[fault]]\nkind = \"lose\"\n"
                                               "channel = \"A\"\nat_us = 150000\n");
    const fs::path csv = directory / "c.csv";
    std::ostringstream command;
    command << "campaign --dir " << PELORIN_DEFAULT_DATA_DIR << " --runs 2 --horizon-us 300000 --scenario "
            << file << " --out " << csv.string();
    std::string out;
    ASSERT_EQ(run_command(command.str(), &out), EXIT_DONE) << out;
    std::ifstream in(csv);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line.substr(line.find("fault=")), "fault=crash node=O1; lose channel=A at_us=150000");
    out.clear();
    EXPECT_EQ(run_command(command.str() + " --fault 'crash node=M1'", &out), EXIT_USAGE);
    EXPECT_EQ(out, "pelorin-sim: campaign takes --scenario or --fault, not both\n");
}

} // namespace
