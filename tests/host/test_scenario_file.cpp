// Scenario files: what a good one reads as, and every refusal with the file and the line to fix.
#include "host/scenario_file.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

/// parse_scenario's refusal of `text` as "s.toml", or "" when it is taken.
std::string refusal(const std::string& text) {
    Scenario scenario;
    std::string why;
    return parse_scenario(text, "s.toml", &scenario, &why) ? "" : why;
}

TEST(ScenarioFile, AScenarioWithEveryTriggerReadsAsItsFaultsTextForms) {
    const std::string text = R"(# A lesson
title = "Every trigger"
description = """
Two lines of
description."""
stop_on_effect = true
stop_at_us = 2.5e5

[[fault]]
kind = "host-restart"
node = "O1"

[[fault]]
kind = "babbling"
node = "O1"
at_us = 200_000
duration_us = 5000.5
caption = "O1 babbles: its guardian refuses every frame outside its window."

[[fault]]
kind = "stuck"
node = "M1+O2"
field = "protocol_state"
mask = 0x3
value = 1
cycle = 3
slot = 2

[[fault]]
kind = "crash"
node = "M2"
on_state = "O1:FREEZE"
delay_us = 12.5

[[fault]]
kind = "asymmetric"
channel = "B"
receivers = "M1+M2"
effect = "lose"
on_membership = "any"
count = 2

[[fault]]
kind = "corrupt"
channel = "A"
frames = 3
on_frame = "M2:5"

[[fault]]
kind = "lose"
channel = "both"
duration_us = 2500
at_us = 1000
period_us = 1e4
count = 4
)";
    Scenario s;
    std::string why;
    ASSERT_TRUE(parse_scenario(text, "s.toml", &s, &why)) << why;
    EXPECT_EQ(s.title, "Every trigger");
    EXPECT_EQ(s.description, "Two lines of\ndescription.");
    EXPECT_TRUE(s.stop_on_effect);
    EXPECT_EQ(s.stop_at_us, 250000.0);
    const char* const expected[] = {
        "host-restart node=O1",
        "babbling node=O1 duration_us=5000.5 at_us=200000",
        "stuck node=M1+O2 field=protocol_state mask=0x3 value=1 cycle=3 slot=2",
        "crash node=M2 on_state=O1:FREEZE delay_us=12.5",
        "asymmetric channel=B receivers=M1+M2 effect=lose on_membership=any count=2",
        "corrupt channel=A frames=3 on_frame=M2:5",
        "lose channel=both duration_us=2500 at_us=1000 period_us=10000 count=4",
    };
    ASSERT_EQ(s.faults.size(), std::size(expected));
    for (size_t i = 0; i < s.faults.size(); ++i) {
        EXPECT_EQ(format_fault(s.faults[i]), expected[i]);
    }
    EXPECT_EQ(s.faults[1].caption, "O1 babbles: its guardian refuses every frame outside its window.");
    EXPECT_EQ(s.faults[0].caption, "");
}

TEST(ScenarioFile, TheOptionalKeysHaveTheirDefaultsAndFaultsMayBeInline) {
    Scenario s;
    std::string why;
    ASSERT_TRUE(parse_scenario("title = \"Quiet\"\nfault = [{ kind = \"crash\", node = \"O2\" }]\n", "s.toml",
                               &s, &why))
        << why;
    EXPECT_EQ(s.description, "");
    EXPECT_FALSE(s.stop_on_effect);
    EXPECT_FALSE(s.stop_at_us.has_value());
    ASSERT_EQ(s.faults.size(), 1u);
    EXPECT_EQ(format_fault(s.faults[0]), "crash node=O2");
    ASSERT_TRUE(parse_scenario("title = \"Fault-free\"\nstop_at_us = 300_000\n", "s.toml", &s, &why)) << why;
    EXPECT_TRUE(s.faults.empty());
    EXPECT_EQ(s.stop_at_us, 300000.0);
}

TEST(ScenarioFile, EveryRefusalNamesTheFileAndTheLineToFix) {
    const std::string head =
        "title = \"T\"\n[[fault]]\nkind = \"crash\"\nnode = \"O1\"\n[[fault]]\n"; // 5 lines
    struct Case {
        std::string text;
        const char* refusal;
    };
    const Case cases[] = {
        {"title = \"T\"\n[[fault]]\nkind = \n",
         "s.toml:3: not TOML, the format of scenario files: Error while parsing key-value pair: expected "
         "value, saw '\\n'"},
        {"title = \"T\"\n\ntitel = \"T\"\n",
         "s.toml:3: 'titel' is no key of a scenario (it takes title, description, stop_on_effect, stop_at_us "
         "and [[fault]] tables)"},
        {"\n[[fault]]\nkind = \"crash\"\nnode = \"O1\"\n",
         "s.toml:1: the scenario has no title: add a line title = \"...\" at the top"},
        {"title = \"\"\n", "s.toml:1: title must be a text in quotes that says what the scenario shows"},
        {"title = \"T\"\ndescription = [\"a\"]\n", "s.toml:2: description must be a text in quotes"},
        {"title = \"T\"\nstop_on_effect = \"yes\"\n", "s.toml:2: stop_on_effect must be true or false"},
        {"title = \"T\"\nstop_at_us = 0\n",
         "s.toml:2: stop_at_us must be a time in microseconds above 0 and at most 1e15"},
        {"title = \"T\"\nstop_at_us = \"300000\"\n",
         "s.toml:2: stop_at_us must be a time in microseconds above 0 and at most 1e15"},
        {"title = \"T\"\n[fault]\nkind = \"crash\"\n",
         "s.toml:2: fault must be a list of tables: write each fault as a [[fault]] table"},
        {head + "node = \"O1\"\n",
         "s.toml:5: the fault has no kind: add a line kind = \"...\" (memory, stuck, intermittent, corrupt, "
         "lose, asymmetric, blackout, bit-errors, crash, host-crash, host-restart, babbling, guardian-open, "
         "sos, clock)"},
        {head + "node = \"O1\"\nkind = 3\n",
         "s.toml:7: kind must be a text in quotes naming the kind of fault, such as \"babbling\""},
        {head + "node = \"O1\"\n\nkind = \"crush\"\n",
         "s.toml:8: \"crush\" is no kind of fault; the kinds: memory, stuck, intermittent, corrupt, lose, "
         "asymmetric, blackout, bit-errors, crash, host-crash, host-restart, babbling, guardian-open, sos, "
         "clock"},
        {head + "kind = \"crash\"\nnode = \"O1\"\ncolour = \"red\"\n",
         "s.toml:8: \"colour\" is no key of a fault"},
        {head + "kind = \"crash\"\nber = 0.5\nnode = \"O1\"\n", "s.toml:7: crash takes no ber"},
        {head + "kind = \"crash\"\nnode = \"O1\"\nNODE = \"O2\"\n", "s.toml:8: NODE is given twice"},
        {head + "kind = \"blackout\"\nchannel = \"A\"\n",
         "s.toml:5: duration_us: is needed: how long nothing passes"},
        {head + "kind = \"crash\"\nnode = \"O1\"\nat_us = -3\n",
         "s.toml:8: at_us: must be a number from 0 and at most 1e+15"},
        {head +
             "kind = \"crash\"\nnode = \"O1\"\nduration_us = 100\nat_us = 5\nperiod_us = 100.0\ncount = 2\n",
         "s.toml:8: duration_us: must be shorter than period_us: one occurrence ends before the next"},
        {head + "kind = \"memory\"\nnode = \"O1\"\nfield = \"protocol_state\"\nmask = 240\n",
         "s.toml:9: mask: must be a hexadecimal mask (0x00f0) or all"},
        {head + "kind = \"crash\"\nnode = true\n", "s.toml:7: node must be a number or a text in quotes, as "
                                                   "in the fault's text form, not true or false"},
        {head + "kind = \"crash\"\nnode = [\"O1\", \"O2\"]\n",
         "s.toml:7: node must be a number or a text in quotes, as in the fault's text form, not a list"},
        {head + "kind = \"crash\"\nnode = \"O1\"\nat_us = 1979-05-27\n",
         "s.toml:8: at_us must be a number or a text in quotes, as in the fault's text form, not a date or a "
         "time"},
        {head + "kind = \"crash\"\nnode = \"O1\"\n\"a\\u0007b\" = {}\n",
         "s.toml:8: \"a\\x07b\" is no key of a fault"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(refusal(c.text), c.refusal) << c.text;
    }
}

TEST(ScenarioFile, AFaultIsRefusedAsItsTextFormIs) {
    const char* const faults[][2] = {
        {"kind = \"clock\"\nnode = \"O1\"\ndrift_step = 0.001\njump = 5",
         "clock node=O1 drift_step=0.001 jump=5"},
        {"kind = \"memory\"\nnode = \"O1\"\nfield = \"protocol_state\"\nbit = 31",
         "memory node=O1 field=protocol_state bit=31"},
        {"kind = \"bit-errors\"\nchannel = \"A\"\nber = 1.5\nduration_us = 5",
         "bit-errors channel=A ber=1.5 duration_us=5"},
    };
    for (const auto& [table, text] : faults) {
        FaultSpec fault;
        std::string why;
        ASSERT_FALSE(parse_fault(text, &fault, &why)) << text;
        const std::string scenario = refusal(std::string("title = \"T\"\n[[fault]]\n") + table + "\n");
        EXPECT_EQ(scenario.substr(scenario.find(": ") + 2), why) << scenario;
    }
}

// The TOML parser (toml++ 3.3.0) reaches undefined behaviour on some characters that are not ASCII where
// it looks for whitespace; the reader keeps them from it.
TEST(ScenarioFile, TextsThatAreNotAsciiReadWhereTomlAllowsThem) {
    Scenario s;
    std::string why;
    ASSERT_TRUE(parse_scenario("title = \"Größe\" # §\n[[fault]]\nkind = \"crash\"\nnode = \"O1\"\n"
                               "caption = \"\"\"Le nœud O1 s'arrête, \\\n    §5 \\\n\n  ß.\"\"\"\n",
                               "s.toml", &s, &why))
        << why;
    EXPECT_EQ(s.title, "Größe");
    ASSERT_EQ(s.faults.size(), 1u);
    EXPECT_EQ(s.faults[0].caption, "Le nœud O1 s'arrête, §5 ß.");

    const char* const outside =
        "not TOML, the format of scenario files: a character that is not ASCII outside a text in quotes or a "
        "comment (a text is written in quotes: caption = \"...\")";
    EXPECT_EQ(refusal("title = \"T\"\n\ngröße = 1\n"), std::string("s.toml:3: ") + outside);
    EXPECT_EQ(refusal("title = \"T\"\nfault = [ § ]\n"), std::string("s.toml:2: ") + outside);
    EXPECT_EQ(refusal("title = \"\"\"a\\§\"\"\"\n"),
              "s.toml:1: not TOML, the format of scenario files: a backslash in a text must begin an escape "
              "(\\n, \\\", \\u00e9) or end the line");
    EXPECT_EQ(refusal("title = \"\"\"a\\\n\xc3\"\"\"\n"),
              "s.toml:2: not TOML, the format of scenario files: a text that is not UTF-8");
    // Literal texts (single quotes) keep their characters, quotes and backslashes as written.
    ASSERT_TRUE(parse_scenario("title = 'Přehození \"bitu\" C:\\x'\n[[fault]]\nkind = \"crash\"\n"
                               "node = \"O1\"\ncaption = \'\'\'\nUzel \"O1\" \\ žije''\'\'\'\n",
                               "s.toml", &s, &why))
        << why;
    EXPECT_EQ(s.title, "Přehození \"bitu\" C:\\x");
    EXPECT_EQ(s.faults[0].caption, "Uzel \"O1\" \\ žije''");
    // A quote inside a bare value opens no text for the parser: what follows is refused, not parsed.
    EXPECT_EQ(
        refusal("title = [76SELF\"xȿ[[ #[\n"),
        "s.toml:1: not TOML, the format of scenario files: Error while parsing floating-point: expected "
        "decimal digit, saw 'S'");
    EXPECT_EQ(refusal("title = \"T\" # \xc3 ok\nx = 'a\xff'\n"),
              "s.toml:2: not TOML, the format of scenario files: a text that is not UTF-8");
    // A mistake before such a character is the one reported.
    EXPECT_EQ(
        refusal("title = \n\ngröße = 1\n"),
        "s.toml:1: not TOML, the format of scenario files: Error while parsing key-value pair: expected "
        "value, saw '\\n'");
}

class ScenarioFileOnDisk : public ::testing::Test {
  protected:
    fs::path directory;
    void SetUp() override { directory = make_scratch_directory("pelorin-scenario"); }
    void TearDown() override { fs::remove_all(directory); }
};

TEST_F(ScenarioFileOnDisk, OnlyARegularFileWithinTheCapIsRead) {
    const fs::path file = directory / "lesson.toml";
    std::ofstream(file) << "title = \"On disk\"\n[[fault]]\nkind = \"crash\"\nnode = \"O1\"\n";
    Scenario s;
    std::string why;
    ASSERT_TRUE(read_scenario(file.string(), &s, &why)) << why;
    EXPECT_EQ(s.title, "On disk");
    ASSERT_EQ(s.faults.size(), 1u);

    EXPECT_FALSE(read_scenario(directory.string(), &s, &why));
    EXPECT_EQ(why, directory.string() + ": is a directory, not a file");
    EXPECT_FALSE(read_scenario("/dev/zero", &s, &why));
    EXPECT_EQ(why, "/dev/zero: is not a regular file (a device or a pipe cannot be read as one)");
    {
        std::ofstream big(file, std::ios::app);
        big << std::string(SCENARIO_FILE_MAX_BYTES - fs::file_size(file), '#');
    }
    EXPECT_TRUE(read_scenario(file.string(), &s, &why)) << why; // a comment to the last byte
    std::ofstream(file, std::ios::app) << "\n";
    EXPECT_FALSE(read_scenario(file.string(), &s, &why));
    EXPECT_EQ(why, file.string() + ": is larger than 1048576 bytes, more than such a file ever holds");
    EXPECT_EQ(s.title, "On disk"); // a refusal changes nothing
}

} // namespace
