#pragma once
// Tier-1 code for SSE2 targets (x86): the clones of the coding passes, and the reversible
// column stores of the block, four lanes at a time. tier1/t1_portable.h is the same in plain
// C++. Only tier1/t1_decode.cpp includes this.
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tier1/t1_dequant.h"
#include "tier1/t1_inline.h"
#include "tier1/t1_words.h"

// The passes are one long chain of dependent MQ decisions: on processors that have them,
// one-cycle leading-zero counts and flag-free shifts shorten every renormalisation. Their
// loops hold more live values than there are registers; scheduling with an eye on register
// pressure spills a little less (about 2 % on lossless images).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(DRAVEX_HAVE_TARGET_CLONES)
#define T1_CLONES __attribute__((target_clones("arch=x86-64-v3", "default"), optimize("schedule-insns", "sched-pressure")))
#else
#define T1_CLONES
#endif

namespace dravex {

// Reversible full columns (see reversible_lanes_fit in tier1/t1_decode.cpp).
typedef uint32_t ColumnLanes __attribute__((vector_size(16)));
typedef int32_t SignedLanes __attribute__((vector_size(16)));

// The four values of one full column. Lane i's masks come straight from the context word w:
// shifting row i's bit up to bit 31 and back arithmetically spreads it over the lane.
T1_INLINE SignedLanes reversible_column4(uint64_t w, const uint32_t* mg, const ReversibleScale s[2]) {
    ColumnLanes d;
    std::memcpy(&d, mg, sizeof d);
    const ColumnLanes v0 = ((d << s[0].left) >> s[0].right) | uint32_t(s[0].half);
    const ColumnLanes v1 = ((d << s[1].left) >> s[1].right) | uint32_t(s[1].half);
    const ColumnLanes to_top = {27, 24, 21, 18};  // 31 - the centre bits 4, 7, 10, 13
    const SignedLanes low = SignedLanes(ColumnLanes{} + uint32_t(w));
    const SignedLanes high = SignedLanes(ColumnLanes{} + uint32_t(w >> 32));
    const ColumnLanes keep = ColumnLanes((low << to_top) >> 31);
    const ColumnLanes visited = ColumnLanes((low << (to_top - kVisitedShift)) >> 31);
    const SignedLanes neg = (high << to_top) >> 31;
    const SignedLanes mag = SignedLanes(((v0 & ~visited) | (v1 & visited)) << 2);
    return ((mag ^ neg) - neg) & SignedLanes(keep);
}

T1_INLINE void store_reversible_column4(int32_t* o, size_t stride, uint64_t w,
                                        const uint32_t* mg, const ReversibleScale s[2]) {
    const SignedLanes value = reversible_column4(w, mg, s);
    o[0] = value[0];
    o[stride] = value[1];
    o[2 * stride] = value[2];
    o[3 * stride] = value[3];
}

// Four full columns at once, their values turned from columns into rows so that each row
// is one store instead of four. Columns without a significant sample come out zero by their
// masks, so no column needs a branch.
T1_INLINE void store_reversible_quad(int32_t* o, size_t stride, const uint64_t* w,
                                     const uint32_t* mg, const ReversibleScale s[2]) {
    __m128i c[4];
    for (int k = 0; k < 4; k++) {
        const SignedLanes v = reversible_column4(w[k], mg + 4 * k, s);
        std::memcpy(&c[k], &v, sizeof v);
    }
    const __m128i t0 = _mm_unpacklo_epi32(c[0], c[1]);  // rows 0, 1 of columns 0, 1
    const __m128i t1 = _mm_unpacklo_epi32(c[2], c[3]);
    const __m128i t2 = _mm_unpackhi_epi32(c[0], c[1]);  // rows 2, 3
    const __m128i t3 = _mm_unpackhi_epi32(c[2], c[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + stride), _mm_unpackhi_epi64(t0, t1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 2 * stride), _mm_unpacklo_epi64(t2, t3));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 3 * stride), _mm_unpackhi_epi64(t2, t3));
}

}  // namespace dravex
