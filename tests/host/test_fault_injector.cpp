// The fault injector: masks, the rank draw, areas, effects and periodic injection.
#include "host_fixture.h"

#include "ttpc/fp1cni.h"
#include "ttpc/sl1func.h"

#include <bit>
#include <map>
#include <vector>

namespace {

using FaultInjectorTest = HostTest;

unsigned mask_bits(const uint32_t* mask, unsigned words) {
    unsigned bits = 0;
    for (unsigned w = 0; w < words; ++w) {
        bits += static_cast<unsigned>(std::popcount(mask[w]));
    }
    return bits;
}

TEST(FaultMasks, FollowTheFieldWidths) {
    const uint32_t* cni = cni_fault_mask();
    EXPECT_EQ(cni[0], 0u);        // owner
    EXPECT_EQ(cni[2], 0xFFFFu);   // global_time
    EXPECT_EQ(cni[3], 0x1FFu);    // medl_position
    EXPECT_EQ(cni[140], 0u);      // clock_correction
    EXPECT_EQ(cni[142], 0xFu);    // protocol_state
    EXPECT_EQ(cni[170], 0x1Fu);   // unnamed logical name word
    EXPECT_EQ(cni[196], 0u);      // timer1
    EXPECT_EQ(cni[197], 0xFFFFu); // timer2
    EXPECT_EQ(cni[218], 0xFFFFu); // controller_on
    EXPECT_EQ(cni[220], 0xFFFFFFFFu);
    EXPECT_EQ(cni[231], 0xFFFFFFFFu);
    EXPECT_EQ(cni[232], 0u);
    EXPECT_EQ(mask_bits(cni, CNI_MASK_WORDS), 875u); // 491 bits of fields and flags, 384 of messages

    const uint32_t* reg = register_fault_mask();
    for (unsigned buffer : {0u, 80u}) {
        EXPECT_EQ(reg[buffer + 4], 1u);          // noise
        EXPECT_EQ(reg[buffer + 9], 0xFFFFFFFFu); // data
        EXPECT_EQ(reg[buffer + 13], 0xFFFFu);    // N-frame crc
        EXPECT_EQ(reg[buffer + 14], 0xFu);       // data_length
        EXPECT_EQ(reg[buffer + 2], 0u);          // send_time
    }
    EXPECT_EQ(reg[163], 0xFFFFu); // csa_stack[0]
    EXPECT_EQ(reg[167], 3u);      // csa_index
    EXPECT_EQ(reg[168], 0u);      // action_time
    EXPECT_EQ(reg[183], 0xFFFFu); // mtd[1]
    EXPECT_EQ(mask_bits(reg, REG_MASK_WORDS), 2 * (1 + 1 + 3 + 128 + 16 + 4) + 4 * 16 + 2 + 1 + 1 + 2 * 16);
}

TEST_F(FaultInjectorTest, OnlyTheEnabledAreaOfO1Changes) {
    FaultInjector* fi = cluster->fault_injector;
    std::vector<uint32_t> m1(cni_words(cluster->controllers[NODE_M1]->cni),
                             cni_words(cluster->controllers[NODE_M1]->cni) + CNI_MASK_WORDS);
    std::vector<uint32_t> o1(cni_words(cluster->controllers[NODE_O1]->cni),
                             cni_words(cluster->controllers[NODE_O1]->cni) + CNI_MASK_WORDS);
    for (int i = 0; i < 50; ++i) {
        inject(fi);
    }
    EXPECT_EQ(fi->injections, 50u);
    const uint32_t* m1_now = cni_words(cluster->controllers[NODE_M1]->cni);
    const uint32_t* o1_now = cni_words(cluster->controllers[NODE_O1]->cni);
    EXPECT_TRUE(std::equal(m1.begin(), m1.end(), m1_now));
    unsigned changed_outside_mask = 0;
    unsigned changed = 0;
    for (unsigned w = 0; w < CNI_MASK_WORDS; ++w) {
        uint32_t diff = o1[w] ^ o1_now[w];
        changed += diff != 0;
        changed_outside_mask += (diff & ~cni_fault_mask()[w]) != 0;
    }
    EXPECT_GT(changed, 0u);
    EXPECT_EQ(changed_outside_mask, 0u);
}

class SingleBitTest : public FaultInjectorTest {
  protected:
    uint32_t mask[4] = {0, 0, 1u << 5, 0};
    uint32_t area[4] = {0, 0, 0, 0};
    FaultInjector* fi = nullptr;
    void SetUp() override {
        FaultInjectorTest::SetUp();
        fi = cluster->fault_injector;
        set_injection_mask(fi, sizeof mask, mask);
        clear_areas(fi);
        enable_area(fi, add_area(fi, area), 1);
    }
};

TEST_F(SingleBitTest, EveryEffectHitsTheOneBit) {
    const uint64_t writes = message_writes;
    inject(fi); // flip
    EXPECT_EQ(area[2], 1u << 5);
    inject(fi);
    EXPECT_EQ(area[2], 0u); // two flips restore the word
    set_fault_effect(fi, FAULT_RESET);
    inject(fi);
    EXPECT_EQ(area[2], 0u); // already 0: nothing changes, still an injection
    set_fault_effect(fi, FAULT_SET);
    inject(fi);
    inject(fi);
    EXPECT_EQ(area[2], 1u << 5);
    EXPECT_EQ(fi->injections, 5u);
    EXPECT_EQ(area[0] | area[1] | area[3], 0u);
    EXPECT_EQ(message_writes - writes, 5u) << "each write counted: the word may be one of a message";
}

TEST_F(SingleBitTest, NoMaskMeansNoInjection) {
    uint32_t empty[2] = {0, 0};
    set_injection_mask(fi, sizeof empty, empty);
    inject(fi);
    EXPECT_EQ(fi->injections, 0u);
    EXPECT_TRUE(traced("Fault Injector", "Injektuji chyby."));
}

TEST_F(SingleBitTest, InjectionRecordNamesWordBitAndValues) {
    static std::vector<InjectionRecord> records;
    records.clear();
    fi->listener = [](void*, const InjectionRecord& r) { records.push_back(r); };
    inject(fi);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].word, 2u);
    EXPECT_EQ(records[0].bit, 5u);
    EXPECT_EQ(records[0].before, 0u);
    EXPECT_EQ(records[0].after, 1u << 5);
    char name[64];
    EXPECT_STREQ(fault_word_name(TARGET_CNI, 8, name, sizeof name), "membership[2]");
    EXPECT_STREQ(fault_word_name(TARGET_REG, 80 + 13, name, sizeof name), "frame_buffer[1].crc");
    EXPECT_STREQ(fault_word_name(TARGET_REG, 164, name, sizeof name), "csa_stack[1]");
}

TEST_F(FaultInjectorTest, RankDrawGivesTheEndRanksHalfWeight) {
    FaultInjector* fi = cluster->fault_injector;
    uint32_t mask[3] = {0x3, 0x0, 0x3}; // four bits over two words
    uint32_t area[3] = {0, 0, 0};
    set_injection_mask(fi, sizeof mask, mask);
    clear_areas(fi);
    enable_area(fi, add_area(fi, area), 1);
    static std::map<uint32_t, int> hits;
    hits.clear();
    fi->listener = [](void*, const InjectionRecord& r) { hits[r.word * 32 + r.bit] += 1; };
    const int draws = 60000;
    for (int i = 0; i < draws; ++i) {
        inject(fi);
    }
    // Ranks 1 and 4 get 1/6 each, ranks 2 and 3 get 2/6 each.
    EXPECT_NEAR(hits[0] / double(draws), 1.0 / 6, 0.01);
    EXPECT_NEAR(hits[1] / double(draws), 2.0 / 6, 0.01);
    EXPECT_NEAR(hits[64] / double(draws), 2.0 / 6, 0.01);
    EXPECT_NEAR(hits[65] / double(draws), 1.0 / 6, 0.01);
}

TEST_F(FaultInjectorTest, RegisterTargetHitsTheFrameBuffersAndRegisters) {
    set_fault_target(cluster.get(), TARGET_REG);
    FaultInjector* fi = cluster->fault_injector;
    ASSERT_EQ(fi->areas.size(), 2u);
    EXPECT_EQ(fi->areas[0], controller_register_words(cluster->controllers[NODE_O1]));
    EXPECT_EQ(fi->enabled[1], 0u);
    set_fault_target(cluster.get(), 7); // unknown target: only recorded
    EXPECT_EQ(cluster->fault_target, 7u);
    EXPECT_EQ(fi->areas[0], controller_register_words(cluster->controllers[NODE_O1]));
}

TEST_F(FaultInjectorTest, PeriodicInjectionFollowsTheRate) {
    FaultInjector* fi = cluster->fault_injector;
    EXPECT_FALSE(armed(fi));
    set_fault_rate(fi, -1.0);
    set_fault_rate(fi, NAN);
    EXPECT_EQ(fi->rate, 0.0);
    set_fault_rate(fi, 1000.0); // a fault per millisecond on average
    EXPECT_TRUE(is_planned(fi));
    run_until(100000);
    EXPECT_NEAR(fi->injections, 100.0, 35.0);
    set_fault_rate(fi, 0.0);
    uint32_t before = fi->injections;
    run_until(200000);
    EXPECT_LE(fi->injections, before + 1); // at most the one already planned
    EXPECT_FALSE(is_planned(fi));
}

} // namespace
