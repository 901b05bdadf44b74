// Message descriptor list reader: result codes, line format, relative keys, values, index checks, masks,
// lookups that stay inside the tables, and the checks of values the controller cannot use.
#include "ttpc/medl.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class MedlTest : public ::testing::Test {
  protected:
    // Reads `text` as the list "medl02.txt"; a line setting a usable C-state length is added in front
    // unless `with_length` is false, so tests of other keys are not refused for lacking it.
    uint8_t read(std::string text, bool with_length = true) {
        if (with_length) {
            text = "3 controller_cfg_params.c_state_length\n" + text;
        }
        std::FILE* stream = fmemopen(text.data(), text.size(), "r");
        EXPECT_NE(stream, nullptr);
        const uint8_t code = read_medl_stream(medl.get(), stream, "medl02.txt", &why);
        std::fclose(stream);
        EXPECT_EQ(why.code, code);
        return code;
    }

    // A fresh, empty directory removed at the end of the test.
    fs::path scratch_directory() {
        scratch =
            fs::temp_directory_path() / ("pelorin_medl_" + std::to_string(::getpid()) + "_" +
                                         ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(scratch);
        fs::create_directories(scratch);
        return scratch;
    }

    void TearDown() override {
        if (!scratch.empty()) {
            fs::remove_all(scratch);
        }
    }

    std::unique_ptr<Medl> medl = std::make_unique<Medl>();
    MedlError why;
    fs::path scratch;
};

bool is_all_zero(const Medl& medl) {
    const auto zero = std::make_unique<Medl>();
    std::memset(static_cast<void*>(zero.get()), 0, sizeof(Medl));
    return std::memcmp(&medl, zero.get(), sizeof(Medl)) == 0;
}

// --- Result codes ---------------------------------------------------------------------------------------

TEST_F(MedlTest, IndexAbove99IsRefusedWithoutOpeningOrClearing) {
    medl->revision = 42;
    EXPECT_EQ(read_medl(medl.get(), 100, "/nonexistent", &why), MEDL_INDEX_TOO_HIGH);
    EXPECT_EQ(medl->revision, 42);
    // 99 still names a file: the attempt to open it is what fails.
    EXPECT_EQ(read_medl(medl.get(), 99, "/nonexistent", &why), MEDL_CANNOT_OPEN);
    EXPECT_NE(why.message.find("/nonexistent/medl99.txt: cannot open"), std::string::npos) << why.message;
    EXPECT_EQ(medl->revision, 42);
}

TEST_F(MedlTest, MissingRecordIsRefusedBeforeTheFile) {
    EXPECT_EQ(read_medl(nullptr, 0, "/nonexistent", &why), MEDL_NO_RECORD);
    EXPECT_EQ(read_medl_file(nullptr, "/nonexistent", nullptr), MEDL_NO_RECORD);
}

TEST_F(MedlTest, DirectoryDeviceOrPipeInPlaceOfTheFileIsAReadErrorAndNeverBlocks) {
    const fs::path directory = scratch_directory();
    const fs::path pipe = directory / "medl00.txt";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0); // no writer: opening it to read would wait for ever
    for (const fs::path& path : {directory, fs::path("/dev/zero"), pipe}) {
        EXPECT_EQ(read_medl_file(medl.get(), path.c_str(), &why), MEDL_READ_ERROR) << path;
        EXPECT_EQ(why.line, 1u) << path;
        EXPECT_NE(why.message.find("read error"), std::string::npos) << why.message;
    }
}

TEST_F(MedlTest, ExampleListReadsAndGivesTheNodeItsSlot) {
    ASSERT_EQ(read_medl(medl.get(), 0, PELORIN_TEST_DATA_DIR "/medl", &why), MEDL_OK) << why.message;
    EXPECT_TRUE(why.message.empty());
    EXPECT_EQ(medl->revision, 7);
    EXPECT_EQ(get_cf(*medl), 1u);
    EXPECT_EQ(get_c_state_length(*medl), 3u);
    EXPECT_EQ(get_tdma_round_length(*medl), 4000u);
    EXPECT_EQ(get_micro_to_macro(*medl), 0.25);
    EXPECT_EQ(get_bg_slot_offset(medl->role_list.bus_guardian), 20u);
    EXPECT_EQ(get_bg_remaining_round(medl->role_list.bus_guardian), 3000u);
    EXPECT_EQ(get_ifg_time(*medl), 40u);

    unsigned own = MEDL_SLOT_COUNT;
    for (unsigned s = 0; s < MEDL_SLOT_COUNT && own == MEDL_SLOT_COUNT; ++s) {
        if (same_logical_name(slot_control_entry(*medl, s).logical_name, medl->role_list.logical_name)) {
            own = s;
        }
    }
    EXPECT_EQ(own, 1u);
    EXPECT_EQ(get_ba(slot_control_entry(*medl, 1)), 1u);
    EXPECT_EQ(get_eot(slot_control_entry(*medl, 3)), 1u);
    EXPECT_EQ(get_cs(slot_control_entry(*medl, 3)), 1u);
    const ModeAddressEntry& sending = *mode_address_entry(*medl, 1, 1);
    EXPECT_EQ(get_cni_address_chb(sending), 3u);
    EXPECT_EQ(get_daflb(sending), 3u);
    EXPECT_EQ(get_mcp_i(sending, 0), 1u);
    EXPECT_EQ(get_ib(*mode_address_entry(*medl, 0, 1)), 1u);
}

TEST_F(MedlTest, UnknownKeyStopsAtItsLineAndKeepsWhatWasRead) {
    EXPECT_EQ(read("5 revision\n1 slot_control_entry[0].eot\n1 slot_control_entry[0].bogus\n6 revision\n"),
              MEDL_UNKNOWN_KEY);
    EXPECT_EQ(why.line, 4u);
    EXPECT_EQ(why.key, "slot_control_entry[0].bogus");
    EXPECT_EQ(why.message.rfind("medl02.txt:4: key 'slot_control_entry[0].bogus': 'bogus' is not a field of "
                                "slot_control_entry; expected one of logical_name, sru_slot_duration",
                                0),
              0u)
        << why.message;
    EXPECT_EQ(medl->revision, 5);
    EXPECT_EQ(get_eot(medl->slot_control_entry[0]), 1u);
}

// --- Line format ----------------------------------------------------------------------------------------

TEST_F(MedlTest, ValueComesFirstAndKeySecond) {
    EXPECT_EQ(read("2 controller_cfg_params.c_state_length\n", false), MEDL_OK);
    EXPECT_EQ(get_c_state_length(*medl), 2u);
    EXPECT_EQ(read("controller_cfg_params.c_state_length 2\n", false), MEDL_UNKNOWN_KEY);
    EXPECT_EQ(why.key, "2");
}

TEST_F(MedlTest, CommentsBlankAndOneWordLinesAreSkipped) {
    EXPECT_EQ(read("# 9 revision\n#9 revision\n\n   \t\nlonely\n", false), MEDL_OK);
    EXPECT_TRUE(is_all_zero(*medl));

    EXPECT_EQ(read("# list\n\n4 controller_cfg_params.c_state_length extra words\r\n", false), MEDL_OK);
    medl->controller_cfg_params.c_state_length = 0;
    EXPECT_TRUE(is_all_zero(*medl));
}

TEST_F(MedlTest, LongLinesAreTakenInPiecesEachReadAsALine) {
    // Piece one is a comment of 1023 characters; piece two, the rest of the same line, sets the revision.
    EXPECT_EQ(read("#" + std::string(MEDL_LINE_MAX - 1, 'x') + "5 revision\n"), MEDL_OK);
    EXPECT_EQ(medl->revision, 5);
    // A line of exactly 1023 characters is one piece (its key is whole); its newline alone is skipped and
    // not counted as another line.
    EXPECT_EQ(read(std::string(MEDL_LINE_MAX - 10, ' ') + "6 revision\n1 bogus\n"), MEDL_UNKNOWN_KEY);
    EXPECT_EQ(medl->revision, 6);
    EXPECT_EQ(why.line, 3u);
    // Errors in a later piece name the line of the file, not the piece.
    EXPECT_EQ(read("#" + std::string(MEDL_LINE_MAX - 1, 'x') + "1 bogus\n"), MEDL_UNKNOWN_KEY);
    EXPECT_EQ(why.line, 2u);
}

// --- Values ---------------------------------------------------------------------------------------------

TEST_F(MedlTest, IntegersReadLikePercentDAndTheRatioLikePercentLf) {
    EXPECT_EQ(read("0.5 controller_cfg_params.micro_to_macro\n0.5 .mmfc\n12abc .startup_timeout\n"
                   "7 .max_cold_start_entry\nseven .max_cold_start_entry\nx .micro_to_macro\n-1 .cf\n"
                   "+8 slot_control_entry[0].sru_slot_duration\n9 .sru_slot_duration\n"),
              MEDL_OK);
    EXPECT_EQ(get_micro_to_macro(*medl), 0.5);
    EXPECT_EQ(medl->controller_cfg_params.mmfc, 0);
    EXPECT_EQ(get_startup_timeout(*medl), 12u);
    EXPECT_EQ(get_max_cold_start_entry(*medl), 7u);
    EXPECT_EQ(medl->controller_cfg_params.cf, -1);
    EXPECT_EQ(get_cf(*medl), 1u);
    EXPECT_EQ(get_sru_slot_duration(medl->slot_control_entry[0]), 9u);
}

TEST_F(MedlTest, NumbersBeyondThirtyTwoBitsKeepTheirLowBits) {
    EXPECT_EQ(
        read(
            "4294967298 revision\n-4294967295 role_list.crc\n99999999999999999999 role_list.logical_name.ps\n"
            "-99999999999999999999 .slot_position\n2147483648 .multiplex_id\n"),
        MEDL_OK);
    EXPECT_EQ(medl->revision, 2);
    EXPECT_EQ(medl->role_list.crc, 1);
    EXPECT_EQ(medl->role_list.logical_name.ps, -1); // saturated to the 64-bit maximum first
    EXPECT_EQ(medl->role_list.logical_name.slot_position, 0);
    EXPECT_EQ(medl->role_list.logical_name.multiplex_id, INT32_MIN);
}

// --- Relative keys --------------------------------------------------------------------------------------

TEST_F(MedlTest, RelativeKeysReplaceTheLastComponentsOfThePath) {
    EXPECT_EQ(read("1 slot_control_entry[3].logical_name.ps\n5 .slot_position\n6 .multiplex_id\n"
                   "1 slot_control_entry[3].eot\n1 .ba\n1 role_list.logical_name.ps\n"
                   "10 .bus_guardian.bg_slot_offset\n11 .bg_slot_duration\n"),
              MEDL_OK)
        << why.message;
    const SlotControlEntry& slot = medl->slot_control_entry[3];
    EXPECT_EQ(get_slot_position(slot.logical_name), 5u);
    EXPECT_EQ(get_multiplex_id(slot.logical_name), 6u);
    EXPECT_EQ(get_ba(slot), 1u);
    EXPECT_EQ(get_bg_slot_offset(medl->role_list.bus_guardian), 10u);
    EXPECT_EQ(get_bg_slot_duration(medl->role_list.bus_guardian), 11u);
}

TEST_F(MedlTest, RelativeKeysThatCannotBeResolvedAreRefused) {
    EXPECT_EQ(read("# nothing yet\n1 .crc\n", false), MEDL_UNRESOLVED_KEY);
    EXPECT_EQ(why.line, 2u);
    EXPECT_EQ(why.key, ".crc");

    EXPECT_EQ(read("1 role_list.crc\n1 .bus_guardian.crc\n"), MEDL_UNRESOLVED_KEY);
    EXPECT_EQ(why.line, 3u);
    EXPECT_NE(why.message.find("'role_list.crc' has 1"), std::string::npos) << why.message;

    // "revision." + 1000 characters + ".z" is cut at its last dot; the key is appended there.
    const std::string path = "1 revision." + std::string(1000, 'p') + ".z\n";
    EXPECT_EQ(read(path + "2 ." + std::string(13, 'q') + "\n"), MEDL_OK); // resolves to 1023 characters
    EXPECT_EQ(medl->revision, 2);
    EXPECT_EQ(read(path + "2 ." + std::string(14, 'q') + "\n"), MEDL_UNRESOLVED_KEY); // 1024
    EXPECT_EQ(medl->revision, 1);
}

// --- Keys and indices -----------------------------------------------------------------------------------

TEST_F(MedlTest, KeywordsMatchByTheirPrefixAndIndicesUpToTheTableEnds) {
    EXPECT_EQ(
        read("3 revision.anything\n1 slot_control_entry[511].eot_flag\n1 mode_address_entry[1][7].ia\n"
             "9 mode_control_entry[30].deferred_mode[2]\n1 mode_address_entry[30][000000511].mcp_d[2]\n"),
        MEDL_OK)
        << why.message;
    EXPECT_EQ(medl->revision, 3);
    EXPECT_EQ(get_eot(medl->slot_control_entry[511]), 1u);
    EXPECT_EQ(get_ia(medl->mode_address_entry[1][7]), 1u);
    EXPECT_EQ(get_deferred_mode(medl->mode_control_entry[30], 2), 9u);
    EXPECT_EQ(get_mcp_d(medl->mode_address_entry[30][511], 2), 1u);
}

TEST_F(MedlTest, MissingMalformedAndOutOfRangeIndicesAreRefused) {
    const struct {
        const char* key;
        const char* reason;
    } cases[] = {
        {"mode_address_entry[1].ia", "mode_address_entry needs its index"},
        {"slot_control_entry.eot", "slot_control_entry needs its index"},
        {"mode_control_entry[0].deferred_mode", "deferred_mode needs its index"},
        {"slot_control_entry[].eot", "must be 1 to 9 decimal digits"},
        {"slot_control_entry[3.5].eot", "must be 1 to 9 decimal digits"},
        {"slot_control_entry[-1].eot", "must be 1 to 9 decimal digits"},
        {"slot_control_entry[0000000001].eot", "must be 1 to 9 decimal digits"},
        {"slot_control_entry[99999999999999999999].eot", "must be 1 to 9 decimal digits"},
        {"mode_address_entry[31][0].ia", "mode index 31 is outside 0-30"},
        {"mode_address_entry[0][512].ia", "slot index 512 is outside 0-511"},
        {"mode_control_entry[31].crc", "mode index 31 is outside 0-30"},
        {"mode_control_entry[0].deferred_mode[3]", "deferred_mode index 3 is outside 0-2"},
        {"mode_address_entry[0][0].mcp_i[3]", "mcp_i index 3 is outside 0-2"},
        {"mode_address_entry[1][7]", "the key ends without a field of mode_address_entry"},
        {"role_list.logical_name", "the key ends without a field of role_list.logical_name"},
        {"bus_guardian.crc", "'bus_guardian' is not a section of the list"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(std::string("1 ") + c.key + "\n"), MEDL_UNKNOWN_KEY) << c.key;
        EXPECT_EQ(why.key, c.key);
        EXPECT_NE(why.message.find(c.reason), std::string::npos) << why.message;
    }
    EXPECT_EQ(read("1 slot_control_entry[600].eot\n"), MEDL_UNKNOWN_KEY);
    EXPECT_EQ(why.message,
              "medl02.txt:2: key 'slot_control_entry[600].eot': slot index 600 is outside 0-511");
}

// --- Masks and lookups ----------------------------------------------------------------------------------

TEST_F(MedlTest, FieldsAreReadModuloTheirWidths) {
    EXPECT_EQ(read("70 slot_control_entry[0].membership_pos\n3 slot_control_entry[0].logical_name.ps\n65 "
                   ".slot_position\n"
                   "17 .multiplex_id\n32773 controller_cfg_params.tdma_round_length\n"
                   "1 role_list.logical_name.ps\n1 .slot_position\n1 .multiplex_id\n"),
              MEDL_OK);
    const SlotControlEntry& slot = medl->slot_control_entry[0];
    EXPECT_EQ(get_membership_pos(slot), 6u);
    EXPECT_EQ(get_tdma_round_length(*medl), 5u);
    EXPECT_TRUE(same_logical_name(slot.logical_name, medl->role_list.logical_name));
    medl->role_list.logical_name.slot_position = 2;
    EXPECT_FALSE(same_logical_name(slot.logical_name, medl->role_list.logical_name));
}

TEST_F(MedlTest, LookupsWithCorruptedIndicesStayInsideTheTables) {
    EXPECT_EQ(&slot_control_entry(*medl, 512 + 3), &medl->slot_control_entry[3]);
    EXPECT_EQ(&slot_control_entry(*medl, 0xFFFFFFFFu), &medl->slot_control_entry[511]);
    EXPECT_EQ(mode_address_entry(*medl, 31, 0), nullptr); // "no mode" has no addressing entry
    EXPECT_EQ(mode_address_entry(*medl, 0xFFFFFFFFu, 0), nullptr);
    EXPECT_EQ(mode_address_entry(*medl, 32 + 1, 512 + 7), &medl->mode_address_entry[1][7]);
    EXPECT_EQ(mode_control_entry(*medl, 31), nullptr);
    EXPECT_EQ(mode_control_entry(*medl, 30), &medl->mode_control_entry[30]);

    medl->mode_address_entry[0][0].mcp_i[0] = 1;
    EXPECT_EQ(get_mcp_i(medl->mode_address_entry[0][0], 3), 0u);
    EXPECT_EQ(get_deferred_mode(medl->mode_control_entry[0], 3), MEDL_NO_MODE_CHANGE);
}

// --- Values the controller cannot use -------------------------------------------------------------------

TEST_F(MedlTest, CStateLengthMustBeTwoToSix) {
    EXPECT_EQ(read("# L is missing\n1 revision\n", false), MEDL_OK); // all zero; refused before a run
    EXPECT_EQ(read("7 controller_cfg_params.c_state_length\n1 revision\n", false), MEDL_UNUSABLE_VALUE);
    EXPECT_EQ(why.line, 1u);
    EXPECT_EQ(why.message,
              "medl02.txt:1: key 'controller_cfg_params.c_state_length': C-state length 7 is outside 2-6");
    EXPECT_EQ(read("1 controller_cfg_params.c_state_length\n", false), MEDL_UNUSABLE_VALUE);
    EXPECT_EQ(read("6 controller_cfg_params.c_state_length\n", false), MEDL_OK);
    EXPECT_EQ(read("18 controller_cfg_params.c_state_length\n", false), MEDL_OK); // read as 2
}

TEST_F(MedlTest, EveryMessageMustFitTheMessageArea) {
    // 16 data bytes at address 9207 end exactly at byte 18432.
    EXPECT_EQ(read("9207 mode_address_entry[4][9].cni_address_cha\n15 .dafla\n"), MEDL_OK);
    EXPECT_EQ(read("16383 mode_address_entry[4][9].cni_address_chb\n15 .daflb\n"), MEDL_OK); // no message
    EXPECT_EQ(read("9215 mode_address_entry[4][9].cni_address_cha\n0 .dafla\n"), MEDL_UNUSABLE_VALUE);

    EXPECT_EQ(
        read(
            "9208 mode_address_entry[4][9].cni_address_chb\n1 revision\n15 mode_address_entry[4][9].daflb\n"),
        MEDL_UNUSABLE_VALUE);
    EXPECT_EQ(why.line, 2u);
    EXPECT_EQ(why.key, "mode_address_entry[4][9].cni_address_chb");
    EXPECT_EQ(why.message,
              "medl02.txt:2: key 'mode_address_entry[4][9].cni_address_chb': the message at "
              "address 9208 with 16 data bytes ends at byte 18434, beyond the 18432-byte message "
              "area; use an address up to 9207 or 16383 for no message "
              "(mode_address_entry[4][9].daflb set at line 4)");
}

} // namespace
