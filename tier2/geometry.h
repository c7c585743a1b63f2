#pragma once
// Integer helpers for tile geometry. Exponents reach NL + 1 = 33 and coordinates 2^32 - 1, so
// every divisor and shifted value is formed in 64 bits; results that are coordinates again
// always fit back into 32 bits because they never exceed their (32-bit) dividend.
#include <cstdint>

namespace dravex {

// ceil(a / 2^k) for any k < 64.
inline uint32_t ceil_div_pow2(uint32_t a, uint32_t k) {
    return static_cast<uint32_t>((uint64_t(a) + (uint64_t(1) << k) - 1) >> k);
}

// floor(a / 2^k) for any k < 64.
inline uint32_t floor_div_pow2(uint32_t a, uint32_t k) {
    return static_cast<uint32_t>(uint64_t(a) >> k);
}

// ceil(a / b) for b > 0, without the 32-bit wrap of a + b - 1.
inline uint32_t ceil_div_u32(uint32_t a, uint32_t b) {
    return static_cast<uint32_t>((uint64_t(a) + b - 1) / b);
}

// Bound of a subband at decomposition depth nb >= 1 with offset o (0 or 1):
// ceil((tc - 2^(nb-1) * o) / 2^nb), written so that nothing goes below zero.
inline uint32_t band_bound(uint32_t tc, uint32_t nb, uint32_t o) {
    const uint64_t full = uint64_t(1) << nb;
    const uint64_t half = o ? full >> 1 : 0;
    return static_cast<uint32_t>((uint64_t(tc) + full - half - 1) >> nb);
}

inline uint32_t clamp_u32(uint64_t v, uint32_t lo, uint32_t hi) {
    return v < lo ? lo : v > hi ? hi : static_cast<uint32_t>(v);
}

// floor(log2(v)) for v >= 1.
inline uint32_t floor_log2_u32(uint32_t v) {
    uint32_t n = 0;
    while (v >>= 1) n++;
    return n;
}

}  // namespace dravex
