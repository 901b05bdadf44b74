// Frames: the CRC against known answers, the generator switch, how a receiver judges a frame, and that a
// corrupted length word never takes a reader outside the record.
#include "ttpc/fp1frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace {

/// The C-state of the reference table: global_time 0x1234, medl_position 5, cluster_mode 1, dmc 0,
/// members 0..3.
CState reference_cstate() {
    CState cstate{};
    set_global_time(cstate, 0x1234);
    set_medl_position(cstate, 5);
    set_cluster_mode(cstate, 1);
    for (unsigned position = 0; position < 4; ++position) {
        set_membership(cstate, position, 1);
    }
    return cstate;
}

Frame n_frame(const std::string& data) {
    Frame frame{};
    frame.kind = FRAME_KIND_N;
    frame.status = FRAME_STATUS_COMPLETE;
    set_data_length(frame, static_cast<uint32_t>(data.size()));
    for (unsigned i = 0; i < data.size(); ++i) {
        set_data_byte(frame, i, static_cast<uint8_t>(data[i]));
    }
    return frame;
}

/// An N-frame sealed by a sender with C-state `sender` and list length L.
Frame sent_n_frame(const std::string& data, const CState& sender, unsigned L) {
    Frame frame = n_frame(data);
    set_n_crc(frame, n_frame_crc(frame, sender, L));
    return frame;
}

Frame sent_i_frame(const CState& sender, unsigned L) {
    Frame frame{};
    frame.kind = FRAME_KIND_I;
    frame.status = FRAME_STATUS_COMPLETE;
    set_frame_type(frame, 1);
    frame_cstate(frame) = sender;
    set_c_state_length(frame, L);
    set_i_crc(frame, i_frame_crc(frame));
    return frame;
}

std::string bytes_0_to_15() {
    std::string data;
    for (char c = 0; c < 16; ++c) {
        data += c;
    }
    return data;
}

} // namespace

TEST(FrameCrc, MatchesReferenceValues) {
    const CState zero{};
    const CState reference = reference_cstate();

    EXPECT_EQ(n_frame_crc(n_frame(std::string(1, '\0')), zero, 2), 0x37A2);
    EXPECT_EQ(n_frame_crc(n_frame("abc"), zero, 2), 0xCC53);
    EXPECT_EQ(i_frame_crc(sent_i_frame(reference, 3)), 0xCB28);
    EXPECT_EQ(n_frame_crc(n_frame(bytes_0_to_15()), reference, 3), 0x4CF2);
}

TEST(FrameCrc, GeneratorSwitchesAt151BitsFed) {
    EXPECT_EQ(crc_generator(150), CRC_GENERATOR_SHORT);
    EXPECT_EQ(crc_generator(151), CRC_GENERATOR_LONG);
    // The longest I-frame feeds 8 + 16 * 6 = 104 bits: I-frames always use the short generator.
    EXPECT_EQ(crc_generator(8 + 16 * CSTATE_MAX_LENGTH), CRC_GENERATOR_SHORT);
}

TEST(FrameCrc, NFrameUsesTheGeneratorOfItsBitCount) {
    // Steps 1-4 fed by hand with one generator: header (8 zero bits here), data, C-state, 16 zero bits.
    const auto crc_with = [](const Frame& frame, const CState& cstate, unsigned L, uint16_t generator) {
        uint16_t crc = CRC_INITIAL_VALUE;
        crc_feed_bits(&crc, 0, FRAME_HEADER_BITS, generator);
        for (unsigned i = 0; i < get_data_length(frame); ++i) {
            crc_feed_bits(&crc, get_data_byte(frame, i), 8, generator);
        }
        cstate_crc(cstate, &crc, generator, L);
        crc_feed_bits(&crc, 0, CRC_WIDTH, generator);
        return crc;
    };
    const CState cstate = reference_cstate();

    const Frame sixteen = n_frame(bytes_0_to_15()); // 8 + 128 + 48 = 184 bits fed
    EXPECT_EQ(n_frame_crc(sixteen, cstate, 3), crc_with(sixteen, cstate, 3, CRC_GENERATOR_LONG));
    EXPECT_NE(n_frame_crc(sixteen, cstate, 3), crc_with(sixteen, cstate, 3, CRC_GENERATOR_SHORT));

    const Frame one = n_frame("x"); // 8 + 8 + 48 = 64 bits fed
    EXPECT_EQ(n_frame_crc(one, cstate, 3), crc_with(one, cstate, 3, CRC_GENERATOR_SHORT));
    EXPECT_NE(n_frame_crc(one, cstate, 3), crc_with(one, cstate, 3, CRC_GENERATOR_LONG));
}

TEST(FrameBits, CountsHeaderPayloadAndCrc) {
    EXPECT_EQ(frame_bits(n_frame(bytes_0_to_15())), 152u);
    EXPECT_EQ(frame_bits(n_frame("a")), 32u);
    EXPECT_EQ(frame_bits(sent_i_frame(reference_cstate(), 3)), 72u);

    Frame other = n_frame("a");
    other.kind = 7;
    EXPECT_EQ(frame_bits(other), 0u);
}

TEST(FrameCheck, NFrameIsCorrectOnlyForAReceiverWithTheSendersCState) {
    const CState sender = reference_cstate();
    const Frame frame = sent_n_frame("data", sender, 3);
    EXPECT_TRUE(frame_check(frame, sender, 3));

    const std::pair<const char*, std::function<void(CState&)>> differences[] = {
        {"global_time", [](CState& c) { set_global_time(c, 0x1235); }},
        {"medl_position", [](CState& c) { set_medl_position(c, 6); }},
        {"cluster_mode", [](CState& c) { set_cluster_mode(c, 2); }},
        {"dmc", [](CState& c) { set_dmc(c, 3); }},
        {"membership[15]", [](CState& c) { set_membership(c, 15, 1); }},
    };
    for (const auto& [field, change] : differences) {
        CState receiver = sender;
        change(receiver);
        EXPECT_FALSE(frame_check(frame, receiver, 3)) << field;
        EXPECT_EQ(frame_verdict(frame, receiver, 3), VERDICT_INCORRECT) << field;
    }
}

TEST(FrameCheck, OnlySignificantMembershipFlagsCount) {
    const CState sender = reference_cstate();
    CState receiver = sender;
    set_membership(receiver, 0, 0);
    // L = 2: the C-state is the four fields only, a membership difference goes unnoticed.
    EXPECT_TRUE(frame_check(sent_n_frame("m", sender, 2), receiver, 2));

    receiver = sender;
    set_membership(receiver, 16, 1);
    EXPECT_TRUE(frame_check(sent_n_frame("m", sender, 3), receiver, 3));
    // L = 6: all 64 flags are significant, the last one included.
    receiver = sender;
    set_membership(receiver, 63, 1);
    EXPECT_FALSE(frame_check(sent_n_frame("m", sender, 6), receiver, 6));
}

TEST(FrameCheck, AnyChangedBitOnTheWayMakesTheFrameIncorrect) {
    const CState cstate = reference_cstate();
    const Frame sent = sent_n_frame("hello", cstate, 4);

    Frame flipped_type = sent;
    flipped_type.frame_type ^= 1;
    EXPECT_FALSE(frame_check(flipped_type, cstate, 4));

    Frame flipped_mcr = sent;
    set_mcr_mode(flipped_mcr, 2);
    EXPECT_FALSE(frame_check(flipped_mcr, cstate, 4));

    Frame flipped_data = sent;
    flipped_data.body.n.data[4] ^= 0x10;
    EXPECT_FALSE(frame_check(flipped_data, cstate, 4));

    Frame flipped_crc = sent;
    flipped_crc.body.n.crc ^= 0x8000;
    EXPECT_FALSE(frame_check(flipped_crc, cstate, 4));

    Frame incomplete = sent;
    incomplete.status = FRAME_STATUS_ARRIVING;
    EXPECT_FALSE(frame_check(incomplete, cstate, 4));
}

TEST(FrameCheck, IFrameWithOtherCStateIsValidForIntegrationButNotCorrect) {
    const CState sender = reference_cstate();
    const Frame frame = sent_i_frame(sender, 3);
    CState receiver = sender;
    set_medl_position(receiver, 6);

    EXPECT_TRUE(valid_i_frame(frame));
    EXPECT_TRUE(frame_check(frame, sender, 3));
    EXPECT_FALSE(frame_check(frame, receiver, 3));

    Frame damaged = frame;
    set_membership(frame_cstate(damaged), 2, 0);
    EXPECT_FALSE(valid_i_frame(damaged));
    Frame not_i = frame;
    not_i.kind = 2;
    EXPECT_FALSE(valid_i_frame(not_i));
    EXPECT_FALSE(frame_check(not_i, sender, 3));
}

TEST(FrameVerdict, CombinesReceptionStatusAndNoise) {
    const CState cstate = reference_cstate();
    Frame frame = sent_n_frame("v", cstate, 3);
    CState other = cstate;
    set_dmc(other, 1);

    EXPECT_EQ(frame_verdict(frame, cstate, 3), VERDICT_CORRECT);
    set_noise(frame, 1);
    EXPECT_EQ(frame_verdict(frame, cstate, 3), 9u);
    EXPECT_EQ(frame_verdict(frame, other, 3), 5u);
    frame.status = FRAME_STATUS_ARRIVING;
    EXPECT_EQ(frame_verdict(frame, cstate, 3), 3u);
    set_noise(frame, 0);
    EXPECT_EQ(frame_verdict(frame, cstate, 3), VERDICT_INVALID);
    frame.status = FRAME_STATUS_EMPTY;
    EXPECT_EQ(frame_verdict(frame, cstate, 3), VERDICT_NULL);
}

TEST(FrameCorruption, DataLengthOutside1To16IsIncorrectAndStaysInsideTheRecord) {
    const CState cstate = reference_cstate();
    for (const uint32_t length : {0xFFFFFFFFu, 17u, 31u, 0u}) {
        // On the heap at its exact size, so a read past the record is caught by the address sanitizer.
        auto frame = std::make_unique<Frame>(sent_n_frame(bytes_0_to_15(), cstate, 3));
        frame->body.n.data_length = length;
        // Even a CRC computed over the bytes the record holds does not make the frame correct.
        set_n_crc(*frame, n_frame_crc(*frame, cstate, 3));
        EXPECT_FALSE(frame_check(*frame, cstate, 3)) << length;
        EXPECT_EQ(frame_verdict(*frame, cstate, 3), VERDICT_INCORRECT) << length;
        EXPECT_LE(n_frame_data_count(*frame), FRAME_MAX_DATA) << length;
        EXPECT_LE(frame_bits(*frame), 152u) << length;
    }
}

TEST(FrameCorruption, UpperBitsOfTheLengthWordAreInvisible) {
    const CState cstate = reference_cstate();
    Frame frame = sent_n_frame(bytes_0_to_15(), cstate, 3);
    frame.body.n.data_length |= 0xFFFFFFE0u; // still reads 16
    EXPECT_TRUE(frame_check(frame, cstate, 3));
    EXPECT_EQ(frame_bits(frame), 152u);
}

TEST(FrameCorruption, CStateLengthOutside2To6IsNotAValidIFrame) {
    const CState cstate = reference_cstate();
    for (const uint32_t L : {0u, 1u, 7u, 15u}) {
        auto frame = std::make_unique<Frame>(sent_i_frame(cstate, 3));
        frame->body.i.c_state_length = L;
        set_i_crc(*frame, i_frame_crc(*frame));
        EXPECT_FALSE(valid_i_frame(*frame)) << L;
        EXPECT_FALSE(frame_check(*frame, cstate, 3)) << L;
        EXPECT_GE(frame_bits(*frame), 56u) << L;
        EXPECT_LE(frame_bits(*frame), 120u) << L;
    }
}

TEST(FrameCorruption, ReceiverLengthBeyond6ReadsNoMoreThan64Flags) {
    // A corrupted list length still leaves the C-state loops inside the 64 flags.
    const CState cstate = reference_cstate();
    auto heap_cstate = std::make_unique<CState>(cstate);
    const Frame frame = sent_n_frame("z", cstate, 6);
    EXPECT_TRUE(frame_check(frame, *heap_cstate, 6));
    EXPECT_EQ(n_frame_crc(frame, *heap_cstate, 15), n_frame_crc(frame, *heap_cstate, 6));
    EXPECT_TRUE(cstate_equal(*heap_cstate, cstate, 0xFFFFFFFFu));
}

TEST(FrameAccessors, ModeChangeRequestBitsInFrameOrder) {
    Frame frame{};
    set_mcr_mode(frame, 2);
    set_mcr_immediate(frame, 1);
    EXPECT_EQ(frame.mcr[0], 1u);
    EXPECT_EQ(frame.mcr[1], 0u);
    EXPECT_EQ(frame.mcr[2], 1u);
    EXPECT_EQ(get_mcr_mode(frame), 2u);
}

TEST(FrameAccessorsDeathTest, WidthChecksNameTheFrameModule) {
    Frame frame{};
    EXPECT_DEATH(set_data_length(frame, 32), "_value <= bit_mask\\(5\\), file ttpc\\\\fp1frame");
    EXPECT_DEATH(set_n_crc(frame, 0x10000), "_value <= bit_mask\\(16\\)");
    EXPECT_DEATH(set_mcr_mode(frame, 4), "_value <= bit_mask\\(2\\)");
}
