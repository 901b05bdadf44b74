#include "kernel/random_stream.h"

#include <cmath>

namespace {

constexpr unsigned MT_MIDDLE = 397;
constexpr uint32_t MT_MATRIX = 0x9908b0dfu;
constexpr uint32_t MT_UPPER = 0x80000000u;
constexpr uint32_t MT_LOWER = 0x7fffffffu;
constexpr uint32_t SEED_MULTIPLIER = 69069u;
constexpr double OUTPUT_RANGE = 4294967295.0; // 2^32 - 1

void regenerate(RandomStream* stream) {
    uint32_t* w = stream->word;
    for (unsigned i = 0; i < MT_STATE_WORDS; ++i) {
        uint32_t y = (w[i] & MT_UPPER) | (w[(i + 1) % MT_STATE_WORDS] & MT_LOWER);
        w[i] = w[(i + MT_MIDDLE) % MT_STATE_WORDS] ^ (y >> 1) ^ ((y & 1u) != 0 ? MT_MATRIX : 0u);
    }
    stream->index = 0;
}

} // namespace

RandomStream* inic_random(uint32_t seed) {
    auto* stream = sim_new<RandomStream>();
    inic_dyn_mem(stream);
    seed_random(stream, seed);
    return stream;
}

void seed_random(RandomStream* stream, uint32_t seed) {
    stream->word[0] = seed;
    for (unsigned i = 1; i < MT_STATE_WORDS; ++i) {
        stream->word[i] = SEED_MULTIPLIER * stream->word[i - 1];
    }
    stream->index = MT_STATE_WORDS;
}

uint32_t random_next(RandomStream* stream) {
    if (stream->index >= MT_STATE_WORDS) {
        regenerate(stream);
    }
    uint32_t y = stream->word[stream->index++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9d2c5680u;
    y ^= (y << 15) & 0xefc60000u;
    y ^= y >> 18;
    return y;
}

double random_exponential(RandomStream* stream, double rate) {
    uint32_t output = random_next(stream);
    for (unsigned redraw = 0; output == 0 && redraw < EXPONENTIAL_REDRAWS; ++redraw) {
        output = random_next(stream);
    }
    // Only a generator stuck at zero still draws 0 here; the smallest positive u keeps the delay finite.
    const double u = (output == 0 ? 1u : output) / OUTPUT_RANGE;
    return -std::log(u) / rate;
}

double random_uniform(RandomStream* stream, double a, double b) {
    double u = random_next(stream) / OUTPUT_RANGE;
    return a + u * (b - a);
}

void dispose_random(RandomStream* stream) {
    dispose_dyn_mem(stream);
}
