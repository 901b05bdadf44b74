// The configuration record: every refusal names the file and the line (or what to add), overrides are
// checked like the file's values and reach the assembled cluster, and doubtful values are warned about.
#include "host/cluster.h"
#include "kernel/trace.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class ConfigTest : public ::testing::Test {
  protected:
    fs::path directory;
    ClusterConfig config;
    std::string why;

    void SetUp() override {
        directory = make_scratch_directory("pelorin-config");
        fs::copy(PELORIN_DEFAULT_DATA_DIR, directory);
    }
    void TearDown() override { fs::remove_all(directory); }

    int read(const ConfigOverrides& overrides = {}) {
        why.clear();
        return read_cluster_config(directory.string(), overrides, &config, &why);
    }
    /// Appends a line to a list and returns its line number.
    unsigned append(const std::string& file, const std::string& line) {
        std::ifstream in(directory / file);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(directory / file, std::ios::app) << line << "\n";
        return static_cast<unsigned>(std::count(text.begin(), text.end(), '\n')) + 1;
    }
    std::string at(const std::string& file, unsigned line) const {
        return (directory / file).string() + ":" + std::to_string(line) + ": ";
    }
    void write_drifts(const std::string& text) { std::ofstream(directory / DRIFT_FILE) << text; }
};

TEST_F(ConfigTest, DefaultConfigurationReadsWithoutWarnings) {
    ASSERT_EQ(read(), ASSEMBLY_OK) << why;
    EXPECT_TRUE(config.warnings.empty()) << config.warnings.front();
    EXPECT_DOUBLE_EQ(config.nodes[NODE_M2].drift, -0.00004);
    EXPECT_EQ(config.nodes[NODE_M2].drift_line, 2u);
}

TEST_F(ConfigTest, DriftRefusalsNameTheLineOrWhatToAdd) {
    write_drifts("0\n0\n\nfast\n0\n");
    EXPECT_EQ(read(), ASSEMBLY_DRIFT_FAILED);
    EXPECT_NE(why.find(at(DRIFT_FILE, 4) + "drift 3 of 4 (Controller O1) is not a number ('fast')"),
              std::string::npos)
        << why;
    write_drifts("0\n0.5\n0\n0\n");
    EXPECT_EQ(read(), ASSEMBLY_DRIFT_FAILED);
    EXPECT_NE(why.find(at(DRIFT_FILE, 2) + "drift of Controller M2 must be"), std::string::npos) << why;
    write_drifts("0 0\n0\n");
    EXPECT_EQ(read(), ASSEMBLY_DRIFT_FAILED);
    EXPECT_NE(why.find("drift 4 of 4 (Controller O2) is missing"), std::string::npos) << why;
    EXPECT_NE(why.find("add the relative drift of O2"), std::string::npos) << why;
    write_drifts("0 0 0 0.00001 anything after the fourth is not read"); // one line, blanks between
    EXPECT_EQ(read(), ASSEMBLY_OK) << why;
    EXPECT_DOUBLE_EQ(config.nodes[NODE_O2].drift, 0.00001);
    fs::remove(directory / DRIFT_FILE);
    EXPECT_EQ(read(), ASSEMBLY_DRIFT_FAILED);
    EXPECT_NE(why.find("clkdrift.txt: cannot be opened"), std::string::npos) << why;
}

TEST_F(ConfigTest, ListsTheControllerCannotRunAreRefusedAtTheLineThatSetTheValue) {
    unsigned line = append("medl01.txt", "0 controller_cfg_params.micro_to_macro");
    EXPECT_EQ(read(), ASSEMBLY_MEDL_FAILED);
    EXPECT_NE(why.find(at("medl01.txt", line) + "key 'controller_cfg_params.micro_to_macro': "),
              std::string::npos)
        << why;
    fs::copy_file(PELORIN_DEFAULT_DATA_DIR "/medl01.txt", directory / "medl01.txt",
                  fs::copy_options::overwrite_existing);

    line = append("medl03.txt", "9 role_list.logical_name.slot_position"); // no slot carries this role
    EXPECT_EQ(read(), ASSEMBLY_MEDL_FAILED);
    EXPECT_NE(why.find(at("medl03.txt", line) +
                       "key 'role_list.logical_name.slot_position': no slot_control_entry"),
              std::string::npos)
        << why;
    fs::copy_file(PELORIN_DEFAULT_DATA_DIR "/medl03.txt", directory / "medl03.txt",
                  fs::copy_options::overwrite_existing);

    line = append("medl02.txt", "65536 slot_control_entry[3].sru_slot_duration"); // masked to 0
    EXPECT_EQ(read(), ASSEMBLY_MEDL_FAILED);
    EXPECT_NE(why.find(at("medl02.txt", line) + "key 'slot_control_entry[3].sru_slot_duration': "),
              std::string::npos)
        << why;
}

TEST_F(ConfigTest, SomethingMissingIsNamedWithTheLineToAdd) {
    append("medl00.txt",
           "0 slot_control_entry[7].eot"); // the cycle now runs on into slot 8, which has no length
    EXPECT_EQ(read(), ASSEMBLY_MEDL_FAILED);
    EXPECT_NE(
        why.find("medl00.txt: every slot of the cluster cycle needs an sru_slot_duration above 0; add a line "
                 "'250 slot_control_entry[8].sru_slot_duration'"),
        std::string::npos)
        << why;
    fs::remove(directory / "medl02.txt");
    EXPECT_EQ(read(), ASSEMBLY_MEDL_FAILED);
    EXPECT_NE(why.find("medl00.txt"), std::string::npos) << "node order: M1's list is read first: " << why;
    fs::copy_file(PELORIN_DEFAULT_DATA_DIR "/medl00.txt", directory / "medl00.txt",
                  fs::copy_options::overwrite_existing);
    EXPECT_EQ(read(), ASSEMBLY_MEDL_FAILED);
    EXPECT_NE(why.find("medl02.txt: cannot open"), std::string::npos) << why;
    EXPECT_NE(why.find("this one is O1's"), std::string::npos) << why;
}

TEST_F(ConfigTest, AListMustNameItsNodesSlotPosition) {
    // M1's list taking M2's role is runnable by a controller, but not by M1's host and application.
    const unsigned line = append("medl00.txt", "2 role_list.logical_name.slot_position");
    EXPECT_EQ(read(), ASSEMBLY_MEDL_FAILED);
    EXPECT_NE(why.find(at("medl00.txt", line) + "key 'role_list.logical_name.slot_position': "
                                                "role_list.logical_name.slot_position must be 1"),
              std::string::npos)
        << why;
}

TEST_F(ConfigTest, DriftOverridesAreCheckedLikeTheFileAndReachTheCluster) {
    ConfigOverrides overrides;
    EXPECT_FALSE(parse_drift_override("Q1=0.1", &overrides, &why));
    EXPECT_FALSE(parse_drift_override("O1", &overrides, &why));
    EXPECT_FALSE(parse_drift_override("O1=fast", &overrides, &why));
    EXPECT_NE(why.find("'fast' is not a number"), std::string::npos) << why;
    ASSERT_TRUE(parse_drift_override("O1=0.7", &overrides, &why));
    EXPECT_EQ(read(overrides), ASSEMBLY_DRIFT_FAILED);
    EXPECT_NE(why.find("--drift O1=0.7: drift of Controller O1 must be"), std::string::npos) << why;

    write_drifts("0 0 0.9 0\n"); // O1's drift in the file is refused, unless overridden
    EXPECT_EQ(read(), ASSEMBLY_DRIFT_FAILED);
    ASSERT_TRUE(parse_drift_override("O1=0.0002", &overrides, &why));
    ASSERT_EQ(read(overrides), ASSEMBLY_OK) << why;
    EXPECT_EQ(config.nodes[NODE_O1].drift_line, 0u);

    trace_off();
    inic_kernel();
    Cluster cluster{};
    assemble_cluster(&cluster, config);
    EXPECT_DOUBLE_EQ(cluster.controllers[NODE_O1]->drift, 0.0002);
    EXPECT_DOUBLE_EQ(cluster.controllers[NODE_M1]->drift, 0.0);
    dispose_all();
}

TEST_F(ConfigTest, DoubtfulValuesAreWarnedAboutWithFileAndLineAndStillRead) {
    const unsigned gap = append("medl01.txt", "65636 implementation_params.ifg_time");
    const unsigned window = append("medl02.txt", "60 role_list.bus_guardian.bg_slot_duration");
    append("medl03.txt", "10 bus_guardian_cold_start.bg_slot_duration"); // O2 never cold-starts: no warning
    ASSERT_EQ(read(), ASSEMBLY_OK) << why;
    ASSERT_EQ(config.warnings.size(), 2u);
    EXPECT_EQ(config.warnings[0], at("medl01.txt", gap) +
                                      "key 'implementation_params.ifg_time': 65636 is read as 100 (the field "
                                      "holds 16 bits, 0-65535)");
    // O1's longest frame is an I-frame with a C-state of 3 units: (72 + 8) bits of 0.954 us.
    EXPECT_EQ(config.warnings[1].find(at("medl02.txt", window) +
                                      "key 'role_list.bus_guardian.bg_slot_duration': the guardian window is "
                                      "open 60, shorter than the node's longest frame (76.29)"),
              0u)
        << config.warnings[1];
    const unsigned cold = append("medl00.txt", "10 bus_guardian_cold_start.bg_slot_duration"); // M1 may
    ASSERT_EQ(read(), ASSEMBLY_OK) << why;
    ASSERT_EQ(config.warnings.size(), 3u);
    EXPECT_EQ(config.warnings[0].find(at("medl00.txt", cold) +
                                      "key 'bus_guardian_cold_start.bg_slot_duration': "
                                      "the guardian window is open 10, shorter than a "
                                      "cold start frame"),
              0u)
        << config.warnings[0];
}

} // namespace
