// The interface memory and the C-state: widths, wrap-around and sign extension, what a reset keeps,
// the word view the fault injector uses, and message bounds.
#include "ttpc/fp1cni.h"
#include "ttpc/fp1cstat.h"
#include "ttpc/fp1frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

/// A Cni on the heap at its exact size, so the address sanitizer sees any access outside it.
std::unique_ptr<Cni> make_cni() {
    return std::make_unique<Cni>();
}

} // namespace

TEST(CStateWidths, CountersWrapAtTheirWidth) {
    CState cstate{};
    set_medl_position(cstate, 511);
    EXPECT_EQ(add_medl_position(cstate, 1), 0u);
    EXPECT_EQ(add_medl_position(cstate, static_cast<uint32_t>(-1)), 511u);
    set_global_time(cstate, 0xFFFF);
    EXPECT_EQ(add_global_time(cstate, 3), 2u);
}

TEST(CStateWidths, CorruptedUpperBitsAreInvisible) {
    CState cstate{};
    cstate.medl_position = 0xFFFFFE05; // bit 9 upward set
    cstate.membership[7] = 0xFFFFFFFE; // value bit clear
    EXPECT_EQ(get_medl_position(cstate), 5u);
    EXPECT_EQ(get_membership(cstate, 7), 0u);
}

TEST(CStateWidths, MembershipPositionNeverIndexesOutside) {
    auto cstate = std::make_unique<CState>();
    set_membership(*cstate, 64 + 3, 1);
    EXPECT_EQ(cstate->membership[3], 1u);
    EXPECT_EQ(get_membership(*cstate, 0xFFFFFFC3u), 1u);
}

TEST(CStateDeathTest, TooWideValuesEndTheRun) {
    CState cstate{};
    set_medl_position(cstate, 511);
    EXPECT_EQ(get_medl_position(cstate), 511u);
    EXPECT_DEATH(set_medl_position(cstate, 512), "_value <= bit_mask\\(9\\), file ttpc\\\\fp1cstat, line");
    EXPECT_DEATH(set_cluster_mode(cstate, 32), "_value <= bit_mask\\(5\\)");
    EXPECT_DEATH(set_membership(cstate, 0, 2), "_value <= bit_mask\\(1\\)");
}

TEST(CniCounters, WrapAndSignExtend) {
    CniStatus status{};
    set_agreed_slots(status, 255);
    EXPECT_EQ(add_agreed_slots(status, 1), 0u);
    set_cold_starts(status, 254);
    EXPECT_EQ(add_cold_starts(status, 3), 1u);

    set_clock_correction(status, -128);
    EXPECT_EQ(add_clock_correction(status, -1), 127);
    EXPECT_EQ(add_clock_correction(status, 1), -128);
    status.clock_correction = 0x80;
    EXPECT_EQ(get_clock_correction(status), -128);
    status.clock_correction = 0xFFFFFF7F; // corrupted upper bits
    EXPECT_EQ(get_clock_correction(status), 127);

    set_mtd_a(status, 0x1FE); // truncates, no check
    EXPECT_EQ(get_mtd_a(status), 0xFEu);

    auto cni = make_cni();
    cni->external_correction = 0xFFFF;
    EXPECT_EQ(get_external_correction(*cni), -1);
    cni->external_correction = 0x8000;
    EXPECT_EQ(get_external_correction(*cni), -32768);
    cni->external_correction = 0x7FFF;
    EXPECT_EQ(get_external_correction(*cni), 32767);

    cni->local_time_high = 0xFFFE;
    EXPECT_EQ(add_local_time_high(*cni, 3), 1u);
}

TEST(CniFlags, CorruptedUpperBitsOfAFlagReadZero) {
    CniStatus status{};
    status.nbw_error = 0xFFFFFFFE;
    status.null_frame[5] = 0xFFFFFFFE;
    status.protocol_state = 0xFFFFFFF5;
    EXPECT_EQ(get_nbw_error(status), 0u);
    EXPECT_EQ(get_null_frame(status, 5), 0u);
    EXPECT_EQ(get_protocol_state(status), uint32_t{PS_APPLICATION});
}

TEST(CniDeathTest, WidthChecksNameTheInterfaceModule) {
    auto cni = make_cni();
    EXPECT_DEATH(set_protocol_state(cni->status, 16), "_value <= bit_mask\\(4\\), file ttpc\\\\fp1cni, line");
    EXPECT_DEATH(set_host_lifesign(*cni, 0x10000), "_value <= bit_mask\\(16\\)");
    EXPECT_DEATH(set_ack_error(cni->status, 2), "_value <= bit_mask\\(1\\)");
    EXPECT_DEATH(set_interrupt_status(*cni, IRQ_COUNT, 1), "i < IRQ_COUNT");
}

TEST(CniModeChangeRequest, ModeSpansTwoWords) {
    auto cni = make_cni();
    set_mcr_mode(*cni, 3);
    EXPECT_EQ(cni_words(*cni)[191], 1u);
    EXPECT_EQ(cni_words(*cni)[192], 1u);
    EXPECT_EQ(get_mcr_mode(*cni), 3u);
    set_mcr_mode(*cni, 2);
    EXPECT_EQ(cni_words(*cni)[191], 0u);
    EXPECT_EQ(get_mcr_mode(*cni), 2u);
}

TEST(CniWords, WordIndicesReachTheNamedFields) {
    // The fault injector and the publication address the interface by word.
    auto cni = make_cni();
    uint32_t* words = cni_words(*cni);
    words[2 + 1] = 300; // C-state medl_position
    words[6 + 63] = 1;  // membership[63]
    words[70 + 63] = 1; // null_frame[63]
    words[142] = PS_FREEZE;
    words[158] = VERDICT_CORRECT;
    words[181] = 0xBEEF;
    words[198 + IRQ_TI2] = 1;
    words[208 + IRQ_BE] = 1;
    words[218] = CNI_REQUEST;
    words[220] = 0x04030201;
    EXPECT_EQ(get_medl_position(cni->status.cstate), 300u);
    EXPECT_EQ(get_membership(cni->status.cstate, 63), 1u);
    EXPECT_EQ(get_null_frame(cni->status, 63), 1u);
    EXPECT_EQ(get_protocol_state(cni->status), uint32_t{PS_FREEZE});
    EXPECT_EQ(get_frame_status_a(cni->status), VERDICT_CORRECT);
    EXPECT_EQ(get_local_time(cni->status), 0xBEEFu);
    EXPECT_EQ(get_interrupt_enable(*cni, IRQ_TI2), 1u);
    EXPECT_EQ(get_interrupt_status(*cni, IRQ_BE), 1u);
    EXPECT_EQ(get_controller_on(*cni), CNI_REQUEST);
    EXPECT_EQ(cni->message_area[0], 0x01);
    EXPECT_EQ(&cni_words(*cni)[CNI_WORD_COUNT - 1] + 1,
              reinterpret_cast<const uint32_t*>(cni->message_area + CNI_MESSAGE_AREA_BYTES));
}

TEST(CniReset, KeepsOwnerNullFramesAndControllerOn) {
    auto cni = make_cni();
    uint32_t* words = cni_words(*cni);
    for (unsigned w = 0; w < CNI_WORD_COUNT; ++w) {
        words[w] = 0xA5A5A5A5u;
    }
    reset_cni(*cni);

    for (unsigned w = 0; w < CNI_WORD_COUNT; ++w) {
        const bool kept = w == 0 || (w >= 70 && w <= 133) || w == 218;
        EXPECT_EQ(words[w], kept ? 0xA5A5A5A5u : 0u) << "word " << w;
    }
    EXPECT_EQ(get_mcr_mode(*cni), 0u);
    EXPECT_EQ(get_mcr_immediate(*cni), 0u);
}

TEST(CniReset, ControllerOnSurvivesARestart) {
    auto cni = make_cni();
    cni->controller_on = CNI_REQUEST;
    set_mcr_mode(*cni, 3);
    set_mcr_immediate(*cni, 1);
    reset_cni(*cni);
    EXPECT_EQ(get_controller_on(*cni), CNI_REQUEST);
    EXPECT_EQ(get_mcr_mode(*cni), 0u);
    EXPECT_EQ(get_mcr_immediate(*cni), 0u);
}

TEST(CniReset, StatusResetKeepsOwnerAndNullFramesOnly) {
    CniStatus status;
    std::memset(&status, 0x5A, sizeof status);
    reset_status(status);
    const auto* words = reinterpret_cast<const uint32_t*>(&status);
    for (unsigned w = 0; w < CNI_STATUS_WORD_COUNT; ++w) {
        const bool kept = w == 0 || (w >= 70 && w <= 133);
        EXPECT_EQ(words[w], kept ? 0x5A5A5A5Au : 0u) << "word " << w;
    }
}

TEST(CniMessages, OnlyMessagesThatFitInsideTheAreaAreHandedOut) {
    auto cni = make_cni();
    EXPECT_EQ(message_at(*cni, 0), cni->message_area);
    EXPECT_EQ(message_at(*cni, 23), cni->message_area + 46);
    // The last message whose 18 bytes end exactly at the end of the area.
    const uint32_t last = (CNI_MESSAGE_AREA_BYTES - MESSAGE_BYTES) / 2;
    ASSERT_NE(message_at(*cni, last), nullptr);
    set_message_byte(message_at(*cni, last), 15, 0xEE);
    EXPECT_EQ(cni->message_area[CNI_MESSAGE_AREA_BYTES - 1], 0xEE);

    EXPECT_EQ(message_at(*cni, last + 1), nullptr);
    EXPECT_EQ(message_at(*cni, CNI_NO_MESSAGE), nullptr);
    EXPECT_EQ(message_at(*cni, 0x3FFE), nullptr);
    EXPECT_EQ(message_at(*cni, 0xFFFFFFFFu), nullptr);
    EXPECT_EQ(message_at(*cni, 0x80000000u), nullptr); // 2 * address would wrap in 32 bits

    // A message that carries fewer data bytes may start later: header and its data bytes must fit.
    EXPECT_TRUE(message_fits(9214, 1)); // ends at byte 18431
    EXPECT_FALSE(message_fits(9215, 1));
    EXPECT_EQ(message_at(*cni, 9214, 1), cni->message_area + 18428);
    EXPECT_EQ(message_at(*cni, 9214), nullptr); // 16 data bytes would not fit
    EXPECT_FALSE(message_fits(CNI_NO_MESSAGE, 1));
}

TEST(CniMessages, StatusAndUpdateCountShareByteZero) {
    auto cni = make_cni();
    uint8_t* message = message_at(*cni, 4);
    set_message_status(message, MESSAGE_VALID);
    set_update_count(message, 14);
    EXPECT_EQ(add_update_count(message, 2), 0u);
    EXPECT_EQ(get_message_status(message), MESSAGE_VALID);
    set_message_status(message, VERDICT_INCORRECT + VERDICT_NOISE);
    EXPECT_EQ(add_update_count(message, 2), 2u);
    EXPECT_EQ(message[0], 0x52);
}

TEST(CniMessages, CopyTakesNoMoreThanTheFrameCarries) {
    auto cni = make_cni();
    Frame frame{};
    for (unsigned i = 0; i < FRAME_MAX_DATA; ++i) {
        set_data_byte(frame, i, 0x10 + i);
    }
    uint8_t* message = message_at(*cni, 10);
    std::memset(message, 0xFF, MESSAGE_BYTES);

    set_data_length(frame, 4);
    EXPECT_EQ(copy_message_data(message, frame, 8), 4u);
    EXPECT_EQ(get_message_byte(message, 3), 0x13u);
    EXPECT_EQ(get_message_byte(message, 4), 0xFFu); // not carried by the frame: left as it was
    EXPECT_EQ(message[0], 0xFF);                    // header untouched

    // A corrupted length or an oversized count never copies past 16 bytes, even at the area's end.
    uint8_t* last = message_at(*cni, (CNI_MESSAGE_AREA_BYTES - MESSAGE_BYTES) / 2);
    frame.body.n.data_length = 0xFFFFFFFF;
    EXPECT_EQ(copy_message_data(last, frame, 1000), FRAME_MAX_DATA);
    EXPECT_EQ(get_message_byte(last, 15), 0x1Fu);
}

TEST(CniMessages, EveryWriteIntoTheMessageAreaIsCounted) {
    auto cni = make_cni();
    Frame frame{};
    set_data_length(frame, 4);
    uint8_t* message = message_at(*cni, 4);
    const auto counted = [](const auto& write) {
        const uint64_t before = message_writes;
        write();
        return message_writes != before;
    };
    EXPECT_TRUE(counted([&] { set_message_byte(message, 0, 0xFF); }));
    EXPECT_TRUE(counted([&] { (void)copy_message_data(message, frame, 4); }));
    EXPECT_TRUE(counted([&] { set_message_status(message, MESSAGE_VALID); }));
    EXPECT_TRUE(counted([&] { set_update_count(message, 2); }));
    EXPECT_TRUE(counted([&] { (void)add_update_count(message, 2); }));
    EXPECT_TRUE(counted([&] { reset_cni(*cni); }));
}
