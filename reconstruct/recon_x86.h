#pragma once
// Reconstruction code for x86-64: clones of the hot line loops for wider vector units, and
// the SSE2 interleave of a row's two halves. reconstruct/recon_portable.h is the same in plain
// C++. Included through reconstruct/recon_internal.h.
#include <emmintrin.h>

#include <cstdint>

// Hot line loops get AVX-512 and AVX2 clones next to the baseline one, picked once at load
// time: the 64-bit products of the 9/7 and the saturating stores vectorise only there (AVX-512
// has the 64-bit arithmetic shifts that AVX2 lacks). REC_VECTOR_TEMPLATE is the same for
// function templates, which only GCC clones.
#if defined(DRAVEX_HAVE_TARGET_CLONES) && defined(__GNUC__) && !defined(__clang__)
#define REC_VECTOR_LOOP __attribute__((target_clones("avx512f", "avx2", "default"), optimize("tree-vectorize", "vect-cost-model=dynamic")))
#define REC_VECTOR_TEMPLATE REC_VECTOR_LOOP
#elif defined(DRAVEX_HAVE_TARGET_CLONES) && defined(__clang__)
#define REC_VECTOR_LOOP __attribute__((target_clones("avx2", "default")))
#define REC_VECTOR_TEMPLATE
#else
#define REC_VECTOR_LOOP
#define REC_VECTOR_TEMPLATE
#endif

namespace dravex {

// dst[2i] = a[i], dst[2i + 1] = b[i] for i < pairs.
inline void zip_pairs(int32_t* dst, const int32_t* a, const int32_t* b, uint32_t pairs) {
    uint32_t i = 0;
    for (; i + 4 <= pairs; i += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_unpacklo_epi32(x, y));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i + 4), _mm_unpackhi_epi32(x, y));
    }
    for (; i < pairs; i++) {
        dst[2 * i] = a[i];
        dst[2 * i + 1] = b[i];
    }
}

}  // namespace dravex
