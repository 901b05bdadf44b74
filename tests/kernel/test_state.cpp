// The model state and its digest: the digest is the polynomial its header defines, whatever the split of the
// state into ranges and however much of it is zero; a replaced word gives the digest of the state that holds
// it; the kernel's part of the state sees every piece that decides what happens next; and the word hash of a
// campaign's observations never hashes two inputs that differ in one word alike.
#include "kernel/fnv.h"
#include "kernel/random_stream.h"
#include "kernel/sim_state.h"
#include "kernel_fixture.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr uint64_t PRIME = (uint64_t{1} << 61) - 1;
constexpr uint64_t KEY_1 = 0x1be3062f705b9b70ull;
constexpr uint64_t KEY_2 = 0x17cf62ececfdff52ull;

__extension__ typedef unsigned __int128 Wide;

/// Collects what a sink is fed, as ranges.
struct CopySink : StateSink {
    std::vector<std::vector<uint8_t>> ranges;
    CopySink() {
        take = [](StateSink* sink, const void* bytes, size_t size) {
            const auto* p = static_cast<const uint8_t*>(bytes);
            static_cast<CopySink*>(sink)->ranges.emplace_back(p, p + size);
        };
    }
};

/// The digest's definition, coefficient by coefficient: each range as its length then its bytes, cut into
/// 7-byte coefficients, evaluated by Horner's rule.
StateDigest reference_digest(const std::vector<std::vector<uint8_t>>& ranges) {
    std::vector<uint8_t> encoding;
    for (const std::vector<uint8_t>& range : ranges) {
        const uint64_t length = range.size();
        const auto* l = reinterpret_cast<const uint8_t*>(&length);
        encoding.insert(encoding.end(), l, l + sizeof length);
        encoding.insert(encoding.end(), range.begin(), range.end());
    }
    while (encoding.size() % 7 != 0) {
        encoding.push_back(0);
    }
    StateDigest d{encoding.size() / 7, {0, 0}};
    const uint64_t keys[] = {KEY_1, KEY_2};
    for (size_t i = 0; i < encoding.size(); i += 7) {
        uint64_t c = 0;
        std::memcpy(&c, &encoding[i], 7);
        for (unsigned k = 0; k < 2; ++k) {
            d.value[k] = static_cast<uint64_t>((static_cast<Wide>(d.value[k]) * keys[k] + c) % PRIME);
        }
    }
    return d;
}

StateDigest digest_of(const std::vector<std::vector<uint8_t>>& ranges, const void* watched = nullptr,
                      StateHash* hash = nullptr) {
    StateHash local;
    StateHash* h = hash != nullptr ? hash : &local;
    state_hash_start(h, watched);
    for (const std::vector<uint8_t>& range : ranges) {
        state_feed(h, range.data(), range.size());
    }
    return state_hash_finish(h);
}

TEST(StateDigest, IsThePolynomialOfItsEncodingForAnySplitAndZeroRuns) {
    std::mt19937 random(7);
    for (unsigned trial = 0; trial < 60; ++trial) {
        std::vector<std::vector<uint8_t>> ranges(1 + random() % 6);
        for (std::vector<uint8_t>& range : ranges) {
            range.resize(random() % 400);
            const bool sparse = random() % 2 == 0; // long zero runs take the digest's shortcut
            for (uint8_t& byte : range) {
                byte = sparse && random() % 50 != 0 ? 0 : static_cast<uint8_t>(random());
            }
        }
        EXPECT_EQ(digest_of(ranges), reference_digest(ranges)) << "trial " << trial;
    }
    // An empty range (an empty list's bytes are no pointer) counts only its length, at the start or
    // after a part of a coefficient.
    EXPECT_EQ(digest_of({{}, {1, 2, 3}, {}, {4}}), reference_digest({{}, {1, 2, 3}, {}, {4}}));
    EXPECT_NE(digest_of({{}, {1, 2, 3}, {4}}), digest_of({{1, 2, 3}, {4}}));
    // Moving a byte from one range to the next changes the encoding, so the digest.
    EXPECT_NE(digest_of({{1, 2, 3}, {4}}), digest_of({{1, 2}, {3, 4}}));
}

TEST(StateDigest, ReplacingTheWatchedWordGivesTheDigestOfTheStateThatHoldsIt) {
    std::mt19937 random(11);
    for (unsigned offset = 0; offset < 24; ++offset) {
        std::vector<std::vector<uint8_t>> ranges = {std::vector<uint8_t>(37, 5), std::vector<uint8_t>(80)};
        for (uint8_t& byte : ranges[1]) {
            byte = static_cast<uint8_t>(random());
        }
        StateHash hash;
        const StateDigest digest = digest_of(ranges, &ranges[1][offset], &hash);
        const uint32_t value = static_cast<uint32_t>(random());
        StateDigest replaced;
        ASSERT_TRUE(state_digest_replaced(hash, digest, value, &replaced));
        std::memcpy(&ranges[1][offset], &value, sizeof value);
        EXPECT_EQ(replaced, reference_digest(ranges)) << "word at byte " << offset;
    }
    const uint32_t elsewhere = 0; // a word that is never fed
    StateHash hash;
    const StateDigest digest = digest_of({{1, 2, 3}}, &elsewhere, &hash);
    StateDigest replaced;
    EXPECT_FALSE(state_digest_replaced(hash, digest, 1, &replaced));
}

// --- The kernel's part of the model state ----------------------------------------------------------------

struct Counter : SimProcess {
    uint32_t counted;
    uint32_t report; // left out by its state function
};

void counter_body(SimProcess* process) {
    static_cast<Counter*>(process)->counted += 1;
    hold(10.0, SIM_START + 1);
}

void counter_state(const SimObject* object, StateSink* sink) {
    const auto* c = static_cast<const Counter*>(object);
    state_feed_object(sink, c, {state_gap(c, &c->report)});
}

struct Owned {
    int32_t value;
};

void idle_body(SimProcess*) {
    passivate(SIM_START + 1);
}

class ModelState : public KernelTest {
  protected:
    Counter* a = nullptr;
    Counter* b = nullptr;
    RandomStream* stream = nullptr;
    Owned* owned = nullptr;

    void SetUp() override {
        KernelTest::SetUp();
        for (Counter** c : {&a, &b}) {
            *c = sim_new<Counter>();
            inic_process(*c, counter_body);
            (*c)->feed_state = counter_state;
            reactivate_at(*c, 0.0);
        }
        stream = inic_random(5);
        owned = new Owned{3};
        (void)create_owned_process(owned, idle_body, "owner");
        ASSERT_TRUE(next_event());
        ASSERT_TRUE(next_event()); // both counters ran once and wait for time 10
    }
};

TEST_F(ModelState, SeesWhoIsPlannedWhenAndWhereEachBodyResumes) {
    const StateDigest before = model_state_digest();
    reactivate_at(a, 11.0);
    EXPECT_NE(model_state_digest(), before) << "a process planned at another time";
    reactivate_at(a, 10.0); // back at 10, but now after b: the order of equal times is state
    EXPECT_NE(model_state_digest(), before);
    reactivate_at(b, 10.0);
    EXPECT_EQ(model_state_digest(), before) << "the same order again: insertion numbers are not state";

    a->resume = SIM_START + 2;
    EXPECT_NE(model_state_digest(), before) << "where a body resumes";
    a->resume = SIM_START + 1;
    EXPECT_EQ(model_state_digest(), before);
}

TEST_F(ModelState, SeesRecordsStreamsAndOwnedRecordsButNotWhatTheyLeaveOut) {
    const StateDigest before = model_state_digest();
    a->counted += 1;
    EXPECT_NE(model_state_digest(), before) << "a field of a record sim_new sized";
    a->counted -= 1;
    a->report += 1;
    EXPECT_EQ(model_state_digest(), before) << "a field its state function leaves out";

    RandomStream saved = *stream;
    (void)random_next(stream);
    EXPECT_NE(model_state_digest(), before) << "a random stream's position";
    std::memcpy(stream->word, saved.word, sizeof saved.word);
    stream->index = saved.index;
    EXPECT_EQ(model_state_digest(), before);

    owned->value += 1;
    EXPECT_NE(model_state_digest(), before) << "the record a process owns";
    owned->value -= 1;

    ASSERT_TRUE(next_event());
    const StateDigest later = model_state_digest();
    EXPECT_NE(later, before) << "time and the step's work";
    EXPECT_EQ(model_state_digest(), later) << "the same state twice";
}

} // namespace

namespace {

// The word hash of a campaign's observations: a difference confined to one 64-bit word, or one bit of the
// bytes after the last whole word, never gives the same hash, wherever it is and whatever comes after it;
// and it is not FNV-1a, whose values are stored.
TEST(WordHash, NoDifferenceInOneWordHashesAlike) {
    std::vector<uint8_t> bytes(45);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    const uint64_t reference = word_hash(FNV_OFFSET, bytes.data(), bytes.size());
    EXPECT_NE(reference, fnv1a(FNV_OFFSET, bytes.data(), bytes.size()));
    std::mt19937 draw(7);
    for (size_t bit = 0; bit < bytes.size() * 8; ++bit) {
        std::vector<uint8_t> changed = bytes;
        changed[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_NE(word_hash(FNV_OFFSET, changed.data(), changed.size()), reference) << "bit " << bit;
        const size_t word = bit / 64 * 8; // the whole word around the bit to another value
        if (word + 8 <= bytes.size()) {
            for (size_t i = word; i < word + 8; ++i) {
                changed[i] = static_cast<uint8_t>(draw());
            }
            EXPECT_NE(word_hash(FNV_OFFSET, changed.data(), changed.size()), reference)
                << "word of bit " << bit;
        }
    }
}

} // namespace
