// Random streams of the simulation kernel: one MT19937 generator per stream.
//
// A RandomStream is a kernel object (kind DYN_MEM) holding the 624 state words of a Mersenne Twister and the
// index of the next word to use. Seeding uses the multiplier 69069: word 0 = seed, word i = 69069 * word i-1
// modulo 2^32, index 624 (so the first draw regenerates all words). Variates divide the 32-bit output by
// 2^32 - 1, so u lies in [0, 1]; the exponential variate redraws while u is 0 and therefore never returns an
// infinite delay.
//
// Seed 0 gives a state of zeros only, and such a generator draws 0 for ever. The exponential variate
// therefore redraws at most EXPONENTIAL_REDRAWS times (a working generator draws 0 twice in a row with a
// probability of 2^-64) and then takes the smallest u a draw can give, 1 / (2^32 - 1): no caller can spin
// on a stream, whatever its seed. Front ends that let a user choose a seed refuse 0.
#pragma once

#include "kernel/sim_object.h"

#include <cstdint>

constexpr unsigned MT_STATE_WORDS = 624;
/// Draws of 0 the exponential variate redraws before it takes the smallest positive u instead.
constexpr unsigned EXPONENTIAL_REDRAWS = 8;

struct RandomStream : SimObject {
    uint32_t word[MT_STATE_WORDS];
    uint32_t index; // next word to use; MT_STATE_WORDS: regenerate before the next output
};

/// Allocates, initialises (inic_dyn_mem) and seeds a stream.
RandomStream* inic_random(uint32_t seed);
/// Seeds an existing stream again.
void seed_random(RandomStream* stream, uint32_t seed);
/// The next 32-bit output.
uint32_t random_next(RandomStream* stream);
/// -ln(u) / rate with u = random_next / (2^32 - 1), redrawn while u is 0 (at most EXPONENTIAL_REDRAWS
/// times; then u = 1 / (2^32 - 1)).
double random_exponential(RandomStream* stream, double rate);
/// a + u * (b - a) with u = random_next / (2^32 - 1).
double random_uniform(RandomStream* stream, double a, double b);
void dispose_random(RandomStream* stream);
