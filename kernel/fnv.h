// FNV-1a, the 64-bit hash behind the trace fingerprint, a campaign's observations and the configuration hash.
// Each step is a bijection of the hash, so two inputs that differ in one byte never hash alike.
#pragma once

#include <cstddef>
#include <cstdint>

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
