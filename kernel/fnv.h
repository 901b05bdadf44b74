// FNV-1a, the 64-bit hash behind the trace fingerprint and the configuration hash, and a variant of it on
// 64-bit words for the hashes a campaign compares within one run of it (frames, final states).
// Each step is a bijection of the hash, so two inputs that differ in one byte (one word) never hash alike.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

constexpr uint64_t FNV_OFFSET = 0xcbf29ce484222325ull;
constexpr uint64_t FNV_PRIME = 0x100000001b3ull;

/// `hash` carried on over `size` bytes; start from FNV_OFFSET.
inline uint64_t fnv1a(uint64_t hash, const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) {
        hash = (hash ^ p[i]) * FNV_PRIME;
    }
    return hash;
}

/// FNV-1a's step taken on 64-bit words, each followed by a rotation that carries the high bits back down
/// (a product only moves differences upwards); the bytes after the last whole word one by one. Eight times
/// fewer dependent multiplications than fnv1a, and another value: only for hashes compared with hashes made
/// the same way (a campaign's observations), never for ones that are stored.
inline uint64_t word_hash(uint64_t hash, const void* bytes, size_t size) {
    constexpr int ROTATION = 29;
    const auto* p = static_cast<const unsigned char*>(bytes);
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= size; i += sizeof(uint64_t)) {
        uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        hash = std::rotl((hash ^ word) * FNV_PRIME, ROTATION);
    }
    return fnv1a(hash, p + i, size - i);
}
