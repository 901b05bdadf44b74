#include "kernel/sim_state.h"

#include "kernel/kernel_state.h"
#include "kernel/sim_assert.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr const char* SOURCE = "kernel\\sim_state";

__extension__ typedef unsigned __int128 Wide;

/// The field of the digest: p = 2^61 - 1.
constexpr unsigned PRIME_BITS = 61;
constexpr uint64_t PRIME = (uint64_t{1} << PRIME_BITS) - 1;
/// The two keys: drawn once at random below p, fixed independently of the model.
constexpr uint64_t KEYS[STATE_KEYS] = {0x1be3062f705b9b70ull, 0x17cf62ececfdff52ull};
constexpr uint64_t COEFFICIENT_MASK = (uint64_t{1} << (8 * STATE_COEFFICIENT_BYTES)) - 1;
/// Coefficients absorbed together in the bulk loop; the loop reads 8 bytes at the last coefficient's start,
/// so it runs while a whole block and one byte more remain.
constexpr unsigned BLOCK_COEFFICIENTS = 8;
constexpr size_t BLOCK_BYTES = BLOCK_COEFFICIENTS * STATE_COEFFICIENT_BYTES;
/// Powers k^(8 * 2^j) kept for runs of zero blocks: runs up to 2^40 blocks.
constexpr unsigned ZERO_RUN_POWERS = 40;
constexpr size_t MAX_GAPS = 8;
static_assert(STATE_KEYS == 2, "the bulk loop digests with both keys at once");
static_assert(BLOCK_BYTES % sizeof(uint64_t) == 0, "a block is tested for zero in whole words");
static_assert(BLOCK_COEFFICIENTS == 8, "block_step spells out the eight terms");

/// x mod p for x < 2^124.
constexpr uint64_t reduce(Wide x) {
    uint64_t r = (static_cast<uint64_t>(x) & PRIME) + static_cast<uint64_t>(x >> PRIME_BITS);
    r = (r & PRIME) + (r >> PRIME_BITS);
    return r >= PRIME ? r - PRIME : r;
}

constexpr uint64_t multiply(uint64_t a, uint64_t b) {
    return reduce(static_cast<Wide>(a) * b); // below 2^122 for a, b below p
}

constexpr uint64_t power(uint64_t base, uint64_t exponent) {
    uint64_t result = 1;
    for (; exponent != 0; exponent >>= 1) {
        if ((exponent & 1) != 0) {
            result = multiply(result, base);
        }
        base = multiply(base, base);
    }
    return result;
}

/// k^1 .. k^8 of a key, and k^(8 * 2^j) for runs of zero blocks.
struct KeyPowers {
    uint64_t k[BLOCK_COEFFICIENTS + 1];  // k[e] = k^e
    uint64_t zero_runs[ZERO_RUN_POWERS]; // zero_runs[j] = k^(8 * 2^j)
};

constexpr KeyPowers key_powers(uint64_t key) {
    KeyPowers p{};
    for (unsigned e = 0; e <= BLOCK_COEFFICIENTS; ++e) {
        p.k[e] = power(key, e);
    }
    for (unsigned j = 0; j < ZERO_RUN_POWERS; ++j) {
        p.zero_runs[j] = power(key, uint64_t{BLOCK_COEFFICIENTS} << j);
    }
    return p;
}

constexpr KeyPowers POWERS[STATE_KEYS] = {key_powers(KEYS[0]), key_powers(KEYS[1])};

uint64_t load_coefficient(const uint8_t* bytes) {
    uint64_t c = 0;
    std::memcpy(&c, bytes, STATE_COEFFICIENT_BYTES);
    return c;
}

/// h := h k + c.
void absorb_one(StateHash* hash, uint64_t c) {
    for (unsigned key = 0; key < STATE_KEYS; ++key) {
        hash->h[key] = reduce(static_cast<Wide>(hash->h[key]) * POWERS[key].k[1] + c);
    }
    hash->coefficients += 1;
}

/// h k^8 + c0 k^7 + ... + c6 k + c7: every term is below 2^122 and the sum below 2^124, so one reduction per
/// block suffices; the products, summed in two halves, do not wait for one another.
uint64_t block_step(uint64_t h, const KeyPowers& p, const uint64_t (&c)[BLOCK_COEFFICIENTS]) {
    const uint64_t* k = p.k;
    const Wide high = static_cast<Wide>(h) * k[8] + static_cast<Wide>(c[0]) * k[7] +
                      static_cast<Wide>(c[1]) * k[6] + static_cast<Wide>(c[2]) * k[5];
    const Wide low = static_cast<Wide>(c[3]) * k[4] + static_cast<Wide>(c[4]) * k[3] +
                     static_cast<Wide>(c[5]) * k[2] + static_cast<Wide>(c[6]) * k[1] + c[7];
    return reduce(high + low);
}

/// h k^(8 r): r blocks of zero coefficients.
uint64_t skip_zero_blocks(uint64_t h, const KeyPowers& p, uint64_t r) {
    for (unsigned j = 0; r != 0; ++j, r >>= 1) {
        if ((r & 1) != 0) {
            h = multiply(h, p.zero_runs[j]);
        }
    }
    return h;
}

bool zero_block(const uint8_t* p) {
    uint64_t any = 0;
    for (size_t at = 0; at < BLOCK_BYTES; at += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, p + at, sizeof word);
        any |= word;
    }
    return any == 0;
}

/// Whole blocks while more than a block remains (the last coefficient is read as 8 bytes); returns the bytes
/// taken. A run of zero blocks (much of the interfaces' message areas) costs a few multiplications in all.
size_t absorb_blocks(StateHash* hash, const uint8_t* bytes, size_t size) {
    uint64_t h0 = hash->h[0];
    uint64_t h1 = hash->h[1];
    size_t taken = 0;
    while (size - taken > BLOCK_BYTES) {
        const uint8_t* p = bytes + taken;
        if (zero_block(p)) {
            uint64_t run = 1;
            while (size - taken - run * BLOCK_BYTES > BLOCK_BYTES && zero_block(p + run * BLOCK_BYTES)) {
                run += 1;
            }
            h0 = skip_zero_blocks(h0, POWERS[0], run);
            h1 = skip_zero_blocks(h1, POWERS[1], run);
            taken += run * BLOCK_BYTES;
            continue;
        }
        uint64_t c[BLOCK_COEFFICIENTS];
        for (unsigned i = 0; i < BLOCK_COEFFICIENTS;
             ++i) { // 8 bytes read, 7 kept: the byte after is readable
            uint64_t word;
            std::memcpy(&word, p + i * STATE_COEFFICIENT_BYTES, sizeof word);
            c[i] = word & COEFFICIENT_MASK;
        }
        h0 = block_step(h0, POWERS[0], c);
        h1 = block_step(h1, POWERS[1], c);
        taken += BLOCK_BYTES;
    }
    hash->h[0] = h0;
    hash->h[1] = h1;
    hash->coefficients += taken / STATE_COEFFICIENT_BYTES;
    return taken;
}

void absorb_bytes(StateHash* hash, const uint8_t* bytes, size_t size) {
    if (size == 0) {
        return; // nothing to absorb, and an empty record's bytes may be no pointer at all
    }
    hash->position += size;
    if (hash->pending_size > 0) {
        const size_t fill = std::min<size_t>(STATE_COEFFICIENT_BYTES - hash->pending_size, size);
        std::memcpy(hash->pending + hash->pending_size, bytes, fill);
        hash->pending_size += static_cast<uint32_t>(fill);
        bytes += fill;
        size -= fill;
        if (hash->pending_size < STATE_COEFFICIENT_BYTES) {
            return;
        }
        absorb_one(hash, load_coefficient(hash->pending));
        hash->pending_size = 0;
    }
    const size_t taken = absorb_blocks(hash, bytes, size);
    bytes += taken;
    size -= taken;
    for (; size >= STATE_COEFFICIENT_BYTES;
         bytes += STATE_COEFFICIENT_BYTES, size -= STATE_COEFFICIENT_BYTES) {
        absorb_one(hash, load_coefficient(bytes));
    }
    std::memcpy(hash->pending, bytes, size);
    hash->pending_size = static_cast<uint32_t>(size);
}

void hash_take(StateSink* sink, const void* bytes, size_t size) {
    auto* hash = static_cast<StateHash*>(sink);
    const uint64_t length = size;
    absorb_bytes(hash, reinterpret_cast<const uint8_t*>(&length), sizeof length);
    const auto* begin = static_cast<const uint8_t*>(bytes);
    if (hash->watched != nullptr && hash->watched >= begin &&
        hash->watched + sizeof(uint32_t) <= begin + size) {
        hash->watched_position = hash->position + static_cast<uint64_t>(hash->watched - begin);
        std::memcpy(hash->watched_bytes, hash->watched, sizeof hash->watched_bytes);
    }
    absorb_bytes(hash, begin, size);
}

/// The bytes of a kernel object's record when its creator did not record them: its kind's kernel part.
size_t kind_size(const SimObject* object) {
    switch (object->type) {
    case KIND_LINK:
        return sizeof(SimLink);
    case KIND_HEAD:
        return sizeof(SimHead);
    case KIND_PROCESS:
        return sizeof(SimProcess);
    default:
        return sizeof(SimObject);
    }
}

void feed_around(StateSink* sink, const void* record, size_t size, StateGap* gaps, size_t count) {
    std::sort(gaps, gaps + count, [](const StateGap& a, const StateGap& b) { return a.offset < b.offset; });
    const auto* bytes = static_cast<const uint8_t*>(record);
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        sim_assert(gaps[i].offset >= at && gaps[i].offset + gaps[i].size <= size,
                   "state gaps lie inside the record and do not overlap", SOURCE);
        if (gaps[i].offset > at) {
            state_feed(sink, bytes + at, gaps[i].offset - at);
        }
        at = gaps[i].offset + gaps[i].size;
    }
    if (size > at) {
        state_feed(sink, bytes + at, size - at);
    }
}

} // namespace

void state_feed_record(StateSink* sink, const void* record, size_t size,
                       std::initializer_list<StateGap> gaps) {
    sim_assert(gaps.size() <= MAX_GAPS, "gaps.size() <= MAX_GAPS", SOURCE);
    StateGap sorted[MAX_GAPS];
    std::copy(gaps.begin(), gaps.end(), sorted);
    feed_around(sink, record, size, sorted, gaps.size());
}

void state_feed_object(StateSink* sink, const SimObject* object, std::initializer_list<StateGap> gaps) {
    sim_assert(gaps.size() < MAX_GAPS, "gaps.size() < MAX_GAPS", SOURCE);
    StateGap all[MAX_GAPS];
    std::copy(gaps.begin(), gaps.end(), all);
    size_t count = gaps.size();
    if (object->type == KIND_PROCESS) {
        const auto* process = static_cast<const SimProcess*>(object);
        all[count++] = state_gap(process, &process->sqs_sequence);
    }
    feed_around(sink, object, object->size != 0 ? object->size : kind_size(object), all, count);
}

void model_state(StateSink* sink) {
    struct Globals {
        double time;
        const SimProcess* current;
        const SimProcess* first_planned;
        const SimProcess* last_planned;
        const SimProcess* skip[SQS_LEVELS];
        uint32_t sqs_count;
        uint32_t sqs_top_level;
        uint32_t level_seed;
        uint32_t memory_count;
        uint8_t error_flag;
        uint8_t body_running;
        uint8_t statistics;
    } globals;
    std::memset(&globals, 0, sizeof globals); // padding included
    globals.time = kernel.time;
    globals.current = kernel.current;
    if (kernel.calendar != nullptr) {
        globals.first_planned = kernel.calendar->suc_in_sqs;
        globals.last_planned = kernel.calendar->pred_in_sqs;
    }
    std::copy(std::begin(kernel.sqs_skip), std::end(kernel.sqs_skip), globals.skip);
    globals.sqs_count = kernel.sqs_count;
    globals.sqs_top_level = kernel.sqs_top_level;
    globals.level_seed = kernel.level_seed;
    globals.memory_count = kernel.memory_count;
    globals.error_flag = kernel.error_flag ? 1 : 0;
    globals.body_running = kernel.body_running ? 1 : 0;
    globals.statistics = kernel.statistics ? 1 : 0;
    state_feed(sink, &globals, sizeof globals);

    const SimObject* first_object = kernel.heap != nullptr ? kernel.heap->memory_suc : nullptr;
    for (const SimObject* o = first_object; o != nullptr;
         o = o->memory_suc == first_object ? nullptr : o->memory_suc) {
        if (o->feed_state != nullptr) {
            o->feed_state(o, sink);
        } else {
            state_feed_object(sink, o);
        }
    }
}

// --- Digests ---------------------------------------------------------------------------------------------

void state_hash_start(StateHash* hash, const void* watched) {
    *hash = StateHash{};
    hash->take = hash_take;
    hash->watched = static_cast<const uint8_t*>(watched);
    hash->watched_position = UINT64_MAX;
}

StateDigest state_hash_finish(StateHash* hash) {
    if (hash->pending_size > 0) {
        std::memset(hash->pending + hash->pending_size, 0, STATE_COEFFICIENT_BYTES - hash->pending_size);
        absorb_one(hash, load_coefficient(hash->pending));
        hash->pending_size = 0;
    }
    return {hash->coefficients, {hash->h[0], hash->h[1]}};
}

bool state_digest_replaced(const StateHash& hash, const StateDigest& digest, uint32_t value,
                           StateDigest* out) {
    constexpr unsigned BYTE_BITS = 8;
    if (hash.watched_position == UINT64_MAX) {
        return false;
    }
    uint8_t bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    *out = digest;
    for (unsigned j = 0; j < sizeof value; ++j) {
        // Byte j lies in coefficient `index` at `shift`; its change moves the coefficient by the difference.
        const uint64_t position = hash.watched_position + j;
        const uint64_t index = position / STATE_COEFFICIENT_BYTES;
        const unsigned shift = BYTE_BITS * static_cast<unsigned>(position % STATE_COEFFICIENT_BYTES);
        const uint64_t up = uint64_t{bytes[j]} << shift;
        const uint64_t down = uint64_t{hash.watched_bytes[j]} << shift;
        const uint64_t delta = up >= down ? up - down : PRIME - (down - up);
        for (unsigned key = 0; key < STATE_KEYS; ++key) {
            const uint64_t weight = power(KEYS[key], digest.length - 1 - index);
            out->value[key] = reduce(static_cast<Wide>(out->value[key]) + static_cast<Wide>(delta) * weight);
        }
    }
    return true;
}

StateDigest model_state_digest() {
    StateHash hash;
    state_hash_start(&hash);
    model_state(&hash);
    return state_hash_finish(&hash);
}
