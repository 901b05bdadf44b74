// Where the window's logs go when the command line names no file: the working directory when writable,
// else the user's state folder, which is created; a relative XDG_STATE_HOME is not a state folder. The
// injection log of the previous start kept aside, never a file that is no log.
#include "ui/log_directory.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

class LogDirectoryTest : public ::testing::Test {
  protected:
    fs::path scratch;

    void SetUp() override { scratch = make_scratch_directory("pelorin-log-directory"); }
    void TearDown() override { fs::remove_all(scratch); }
};

TEST(UserStateDirectory, PrefersAnAbsoluteXdgStateHomeThenFallsBackToHome) {
    EXPECT_EQ(user_state_directory("/srv/state", "/home/ada"), "/srv/state/pelorin");
    EXPECT_EQ(user_state_directory(nullptr, "/home/ada"), "/home/ada/.local/state/pelorin");
    EXPECT_EQ(user_state_directory("", "/home/ada"), "/home/ada/.local/state/pelorin");
    EXPECT_EQ(user_state_directory("state", "/home/ada"), "/home/ada/.local/state/pelorin");
}

TEST(UserStateDirectory, IsNoneWithoutAnAbsoluteFolder) {
    EXPECT_EQ(user_state_directory(nullptr, nullptr), "");
    EXPECT_EQ(user_state_directory("state", "home/ada"), "");
}

TEST_F(LogDirectoryTest, AWritableWorkingDirectoryKeepsTheLogsAndCreatesNoStateFolder) {
    const fs::path state = scratch / "state" / "pelorin";
    EXPECT_EQ(choose_log_directory(true, state.string()), ".");
    EXPECT_FALSE(fs::exists(state));
}

TEST_F(LogDirectoryTest, AnUnwritableWorkingDirectorySendsTheLogsToTheCreatedStateFolder) {
    const fs::path state = scratch / "home" / ".local" / "state" / "pelorin";
    std::string why;
    EXPECT_EQ(choose_log_directory(false, state.string(), &why), state.string());
    EXPECT_TRUE(fs::is_directory(state));
    EXPECT_TRUE(why.empty());
    // A second start finds the folder in place.
    EXPECT_EQ(choose_log_directory(false, state.string(), &why), state.string());
}

TEST_F(LogDirectoryTest, WithoutAUsableStateFolderThereIsNoLogFolderAndTheReasonNamesIt) {
    std::string why;
    EXPECT_EQ(choose_log_directory(false, "", &why), "");
    EXPECT_NE(why.find("HOME"), std::string::npos) << why;

    const fs::path file = scratch / "a-file";
    std::ofstream(file) << "not a folder\n";
    const fs::path state = file / "pelorin";
    why.clear();
    EXPECT_EQ(choose_log_directory(false, state.string(), &why), "");
    EXPECT_NE(why.find(state.string()), std::string::npos) << why;
}

TEST_F(LogDirectoryTest, OnlyAnExistingFolderIsAWritableDirectory) {
    EXPECT_TRUE(is_writable_directory(scratch.c_str()));
    EXPECT_FALSE(is_writable_directory((scratch / "missing").c_str()));
    const fs::path file = scratch / "a-file";
    std::ofstream(file) << "x\n";
    EXPECT_FALSE(is_writable_directory(file.c_str()));
}

TEST_F(LogDirectoryTest, TheWindowsLogFilesFollowTraceNoTraceAndTheLogFolder) {
    const std::string state = (scratch / "state" / "pelorin").string();

    WindowLogFiles files = window_log_files("", false, true, state);
    EXPECT_EQ(files.trace_file, "debug.txt");
    EXPECT_EQ(files.injection_log, "injections.csv");
    EXPECT_EQ(files.note, "");

    files = window_log_files("/tmp/lesson.txt", false, true, state);
    EXPECT_EQ(files.trace_file, "/tmp/lesson.txt");
    EXPECT_EQ(files.injection_log, "injections.csv");

    files = window_log_files("", true, false, state);
    EXPECT_EQ(files.trace_file, "");
    EXPECT_EQ(files.injection_log, state + "/injections.csv");
    EXPECT_NE(files.note.find(state), std::string::npos) << files.note;

    files = window_log_files("", false, false, state);
    EXPECT_EQ(files.trace_file, state + "/debug.txt");
}

TEST_F(LogDirectoryTest, WithoutALogFolderOnlyANamedTraceFileIsWritten) {
    WindowLogFiles files = window_log_files("", false, false, "");
    EXPECT_EQ(files.trace_file, "");
    EXPECT_EQ(files.injection_log, "");
    EXPECT_NE(files.note.find("running without"), std::string::npos) << files.note;

    files = window_log_files("run.txt", false, false, "");
    EXPECT_EQ(files.trace_file, "run.txt");
    EXPECT_EQ(files.injection_log, "");
}

TEST_F(LogDirectoryTest, OnlyAnInjectionLogIsMovedAsideForTheNextRun) {
    const fs::path log = scratch / "injections.csv";
    EXPECT_EQ(previous_injection_log(log.string()), (scratch / "injections.1.csv").string());
    EXPECT_EQ(previous_injection_log("trace"), "trace.1");
    std::string why;
    EXPECT_TRUE(rotate_injection_log(log.string(), &why)) << "none yet: nothing to move";
    EXPECT_FALSE(fs::exists(scratch / "injections.1.csv"));

    std::ofstream(log) << "my own notes, not a log\n";
    EXPECT_TRUE(rotate_injection_log(log.string(), &why));
    EXPECT_TRUE(fs::exists(log)) << "a file that is no injection log is left alone";
    EXPECT_FALSE(fs::exists(scratch / "injections.1.csv"));
}

} // namespace
