#pragma once
// Tier-1 code for every target without its own version (tier1/t1_sse2.h): no clones of the
// coding passes, and the reversible column stores one sample at a time, with the same
// arithmetic as the four lanes there. Only tier1/t1_decode.cpp includes this.
#include <cstddef>
#include <cstdint>

#include "tier1/t1_dequant.h"
#include "tier1/t1_inline.h"
#include "tier1/t1_words.h"

#define T1_CLONES

namespace dravex {

// Row i of one full column, from its magnitude d and its bits in the context word w (centre
// bit p): masks stand in for branches, as which samples are significant is close to random.
T1_INLINE int32_t reversible_sample(uint64_t w, uint32_t d, uint32_t p, const ReversibleScale s[2]) {
    const uint32_t v0 = ((d << s[0].left) >> s[0].right) | static_cast<uint32_t>(s[0].half);
    const uint32_t v1 = ((d << s[1].left) >> s[1].right) | static_cast<uint32_t>(s[1].half);
    const uint32_t keep = 0u - static_cast<uint32_t>((w >> p) & 1);
    const uint32_t visited = 0u - static_cast<uint32_t>((w >> (p + kVisitedShift)) & 1);
    const uint32_t neg = 0u - static_cast<uint32_t>((w >> (p + kNegativeShift)) & 1);
    const uint32_t mag = ((v0 & ~visited) | (v1 & visited)) << 2;
    return static_cast<int32_t>(((mag ^ neg) - neg) & keep);
}

T1_INLINE void store_reversible_column4(int32_t* o, size_t stride, uint64_t w,
                                        const uint32_t* mg, const ReversibleScale s[2]) {
    for (uint32_t i = 0; i < 4; ++i) o[i * stride] = reversible_sample(w, mg[i], 4 + 3 * i, s);
}

// Four full columns side by side.
T1_INLINE void store_reversible_quad(int32_t* o, size_t stride, const uint64_t* w,
                                     const uint32_t* mg, const ReversibleScale s[2]) {
    for (int k = 0; k < 4; k++) store_reversible_column4(o + k, stride, w[k], mg + 4 * k, s);
}

}  // namespace dravex
