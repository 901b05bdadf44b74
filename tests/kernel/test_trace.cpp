// The trace log's line format and file behaviour, the state names, and the object views.
#include "kernel_fixture.h"
#include "tests/scratch_directory.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Timed : SimProcess {
    double wake_at;
};

void timed_body(SimProcess* process) {
    trace(process, "Awake at %0.1f\n", static_cast<Timed*>(process)->wake_at);
    passivate(1);
}

class TraceTest : public KernelTest {
  protected:
    std::filesystem::path directory;
    std::filesystem::path file;

    void SetUp() override {
        KernelTest::SetUp();
        directory = make_scratch_directory("pelorin-trace");
        file = directory / "debug.txt";
        trace_to_file(file.c_str());
    }
    void TearDown() override {
        trace_off();
        std::filesystem::remove_all(directory);
        KernelTest::TearDown();
    }
    /// Runs a process at time t that writes one line.
    void line_at(double t) {
        auto* p = sim_new<Timed>();
        inic_process(p, timed_body);
        p->name = "Controller M1";
        p->wake_at = t;
        reactivate_at(p, t);
        ASSERT_TRUE(next_event());
    }
};

TEST_F(TraceTest, LinePrefixIsTenCharacterTimeAndObjectName) {
    line_at(0.0);
    line_at(1234.5);
    trace_raw("%s -> %s\n", ack_state_name(1), ack_state_name(2));
    EXPECT_EQ(read_file(file), "    0.0000: Controller M1: Awake at 0.0\n"
                               " 1234.5000: Controller M1: Awake at 1234.5\n"
                               "SEND        -> CHECK1     \n");
}

TEST_F(TraceTest, FileIsAppendedNeverTruncated) {
    {
        std::ofstream earlier(file);
        earlier << "earlier run\n";
    }
    trace_to_file(file.c_str());
    line_at(2.0);
    EXPECT_EQ(read_file(file), "earlier run\n    2.0000: Controller M1: Awake at 2.0\n");
}

TEST_F(TraceTest, RemovedOrRenamedFileIsCreatedAgainForTheNextLine) {
    line_at(1.0);
    std::filesystem::remove(file);
    line_at(2.0);
    EXPECT_EQ(read_file(file), "    2.0000: Controller M1: Awake at 2.0\n");
    std::filesystem::rename(file, directory / "old.txt");
    line_at(3.0);
    EXPECT_EQ(read_file(file), "    3.0000: Controller M1: Awake at 3.0\n");
    EXPECT_EQ(read_file(directory / "old.txt"), "    2.0000: Controller M1: Awake at 2.0\n");
}

TEST_F(TraceTest, NothingIsWrittenBelowTimeZeroAndLongLinesAreWhole) {
    std::string long_text(5000, 'x');
    line_at(0.0);
    trace_raw("%s\n", long_text.c_str());
    EXPECT_EQ(read_file(file), "    0.0000: Controller M1: Awake at 0.0\n" + long_text + "\n");
}

TEST_F(TraceTest, TraceOffWritesNothingButTheFingerprintStillCounts) {
    trace_off();
    trace_fingerprint_start();
    line_at(1.0);
    uint64_t one_line = trace_fingerprint();
    EXPECT_EQ(trace_fingerprint_lines(), 1u);
    EXPECT_FALSE(std::filesystem::exists(file));
    trace_fingerprint_start();
    line_at(1.0);
    EXPECT_EQ(trace_fingerprint(), one_line); // same bytes, same hash
    line_at(2.0);
    EXPECT_NE(trace_fingerprint(), one_line);
    trace_fingerprint_stop();
}

TEST(StateNames, AreElevenCharactersOrUnknown) {
    EXPECT_STREQ(ctrl_state_name(5), "APPLICATION");
    EXPECT_STREQ(ctrl_state_name(1), "INIT       ");
    EXPECT_STREQ(ctrl_state_name(12), "DOWNLOAD   ");
    EXPECT_STREQ(ctrl_state_name(0), "Unknown!");
    EXPECT_STREQ(ctrl_state_name(11), "Unknown!");
    EXPECT_STREQ(ctrl_state_name(13), "Unknown!");
    EXPECT_STREQ(ack_state_name(0), "OK         ");
    EXPECT_STREQ(ack_state_name(5), "DBL_FAILURE");
    EXPECT_STREQ(ack_state_name(6), "Unknown!");
    for (unsigned v = 1; v <= 12; ++v) {
        if (v != 11) {
            EXPECT_EQ(std::string(ctrl_state_name(v)).size(), 11u) << v;
        }
    }
}

std::string view_text(const SimObject* object) {
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    view_to(object, out);
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    return text;
}

void user_view(const SimObject*, std::FILE*) {}

using ViewTest = KernelTest;

TEST_F(ViewTest, ProcessViewsOfNamedAndUnnamedProcesses) {
    auto* a = sim_new<Timed>();
    auto* b = sim_new<Timed>();
    inic_process(a, timed_body);
    inic_process(b, timed_body);
    a->name = "Laser";
    reactivate_at(a, 2.5);
    reactivate_at(b, 3.0);
    char b_address[32];
    std::snprintf(b_address, sizeof b_address, "%p", static_cast<void*>(b));
    EXPECT_EQ(view_text(a), "name : Laser \n"
                            "type : PROCESS \n"
                            "destructor : NO \n"
                            "view : STANDARD \n"
                            "suc : NULL \n"
                            "pred : NULL \n"
                            "head : NULL \n"
                            "suc_in_sqs : " +
                                std::string(b_address) +
                                " \n"
                                "pred_in_sqs : " +
                                std::string(b_address) +
                                " \n"
                                "state : NEW_PLANNED \n"
                                "evtime : 2.500000 \n"
                                "statistics : FALSE \n");
    std::string unnamed = view_text(b);
    EXPECT_EQ(unnamed.substr(0, unnamed.find('\n') + 1), "name : UNDEFINED \n");
    EXPECT_NE(unnamed.find("suc_in_sqs : " +
                           [&] {
                               char address[32];
                               std::snprintf(address, sizeof address, "%p", static_cast<void*>(a));
                               return std::string(address);
                           }() +
                           " - (Laser)\n"),
              std::string::npos);
    // The view line tells the kernel's standard views from a user's routine and from none.
    a->view = user_view;
    std::string text;
    {
        char* buffer = nullptr;
        size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        view_dyn_mem(a, out);
        a->view = nullptr;
        view_dyn_mem(a, out);
        std::fclose(out);
        text.assign(buffer, size);
        std::free(buffer);
    }
    EXPECT_NE(text.find("view : USERS \n"), std::string::npos);
    EXPECT_NE(text.find("view : NO \n"), std::string::npos);
    a->view = view_process;
}

TEST_F(ViewTest, HeadViewShowsItsMembersAndLength) {
    auto* head = sim_new<SimHead>();
    inic_head(head);
    head->name = "Queue";
    auto* link = sim_new<SimLink>();
    inic_link(link);
    link->name = "Frame";
    into(link, head);
    std::string text = view_text(head);
    EXPECT_NE(text.find("type : HEAD \n"), std::string::npos);
    EXPECT_NE(text.find(" - (Frame)\n"), std::string::npos);
    EXPECT_NE(text.find("lq : 1 \n"), std::string::npos);
    EXPECT_NE(text.find("statistics : FALSE \n"), std::string::npos);
}

} // namespace
