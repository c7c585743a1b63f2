#pragma once
// Reconstruction code for every target without its own version (reconstruct/recon_x86.h): no
// clones of the line loops, and the interleave of a row's halves as a plain loop. Included
// through reconstruct/recon_internal.h.
#include <cstdint>

#define REC_VECTOR_LOOP
#define REC_VECTOR_TEMPLATE

namespace dravex {

// dst[2i] = a[i], dst[2i + 1] = b[i] for i < pairs.
inline void zip_pairs(int32_t* dst, const int32_t* a, const int32_t* b, uint32_t pairs) {
    for (uint32_t i = 0; i < pairs; i++) {
        dst[2 * i] = a[i];
        dst[2 * i + 1] = b[i];
    }
}

}  // namespace dravex
