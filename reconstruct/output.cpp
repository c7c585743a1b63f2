// Row conversion: the inverse component transforms, fixed point to integer samples with DC
// level shift and clamping, and the stores of the low 8 bits into output pixels.
#include <cstring>

#include "reconstruct/recon_internal.h"

namespace dravex {

namespace {

REC_VECTOR_LOOP void convert_reversible(int32_t* v, uint32_t n, int32_t shift, int32_t lo,
                                        int32_t hi) {
    for (uint32_t i = 0; i < n; i++) {
        int32_t x = (v[i] >> 2) + shift;
        x = x < lo ? lo : x;
        v[i] = x > hi ? hi : x;
    }
}

// Nearest integer, exact halves to the even neighbour: the fraction is rounded up by a half
// less one unit, plus that unit when the integer part is odd, without leaving 32 bits.
// Halves are common: without transform levels every irreversible sample sits in the middle
// of its quantisation step, which on unit steps is exactly half-way between two integers, and
// rounding them all one way would bias the whole image by half a level.
REC_VECTOR_LOOP void convert_irreversible(int32_t* v, uint32_t n, uint32_t frac, int32_t shift,
                                          int32_t lo, int32_t hi) {
    const int32_t mask = int32_t((1u << frac) - 1), half_less = int32_t(1u << (frac - 1)) - 1;
    for (uint32_t i = 0; i < n; i++) {
        const int32_t s = v[i];
        const int32_t whole = s >> frac;
        int32_t x = whole + (((s & mask) + half_less + (whole & 1)) >> frac) + shift;
        x = x < lo ? lo : x;
        v[i] = x > hi ? hi : x;
    }
}

}  // namespace

void store_bytes(uint8_t* out, uint32_t stride, const int32_t* v, uint32_t n) {
    for (uint32_t i = 0; i < n; i++, out += stride) *out = static_cast<uint8_t>(v[i] & 0xFF);
}

void store_pixels3(uint8_t* out, const uint32_t offset[3], const int32_t* c0, const int32_t* c1,
                   const int32_t* c2, uint32_t n) {
    if (offset[0] == 2 && offset[1] == 1 && offset[2] == 0) {  // BGR from RGB
        for (uint32_t i = 0; i < n; i++, out += 3) {
            out[0] = static_cast<uint8_t>(c2[i] & 0xFF);
            out[1] = static_cast<uint8_t>(c1[i] & 0xFF);
            out[2] = static_cast<uint8_t>(c0[i] & 0xFF);
        }
        return;
    }
    // In component order, so that of two components sharing an offset the later one stays.
    for (uint32_t i = 0; i < n; i++, out += 3) {
        out[offset[0]] = static_cast<uint8_t>(c0[i] & 0xFF);
        out[offset[1]] = static_cast<uint8_t>(c1[i] & 0xFF);
        out[offset[2]] = static_cast<uint8_t>(c2[i] & 0xFF);
    }
}

// The cloned loops stay inside this file: a caller in another file would have to repeat the
// clone attribute on its declaration for some compilers to bind the clones' resolver.
namespace {

REC_VECTOR_LOOP void rct_rows(int32_t* c0, int32_t* c1, int32_t* c2, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        const int64_t y = c0[i], u = c1[i], v = c2[i];
        const int64_t g = y - (((u + v) >> 2) & ~int64_t(3));
        c0[i] = sat_i32(v + g);
        c1[i] = sat_i32(g);
        c2[i] = sat_i32(u + g);
    }
}

REC_VECTOR_LOOP void ict_rows(int32_t* c0, int32_t* c1, int32_t* c2, uint32_t n) {
    for (uint32_t i = 0; i < n; i++) {
        const int32_t y = c0[i], u = c1[i], v = c2[i];
        c0[i] = sat_i32(y + fix_mul32(kIctRV, v));
        c1[i] = sat_i32(y - fix_mul32(kIctGU, u) - fix_mul32(kIctGV, v));
        c2[i] = sat_i32(y + fix_mul32(kIctBU, u));
    }
}

}  // namespace

void inverse_rct(int32_t* c0, int32_t* c1, int32_t* c2, uint32_t n) { rct_rows(c0, c1, c2, n); }
void inverse_ict(int32_t* c0, int32_t* c1, int32_t* c2, uint32_t n) { ict_rows(c0, c1, c2, n); }

void convert_samples(int32_t* v, uint32_t n, int reversible, uint32_t is_signed,
                     uint32_t precision, uint32_t frac_bits) {
    const uint32_t frac = frac_bits < 1 ? 1 : (frac_bits > 24 ? 24 : frac_bits);
    // Depths beyond 38 bits cannot come from a valid header; the cap keeps the shifts defined.
    const uint32_t p = precision < 1 ? 1 : (precision > 38 ? 38 : precision);
    if (p <= 30) {
        // Everything fits 32 bits: the common case, kept simple enough to vectorise.
        const int32_t half = int32_t(1) << (p - 1);
        const int32_t lo = is_signed ? -half : 0;
        const int32_t hi = is_signed ? half - 1 : 2 * half - 1;
        const int32_t shift = is_signed ? 0 : half;
        if (reversible)
            convert_reversible(v, n, shift, lo, hi);
        else
            convert_irreversible(v, n, frac, shift, lo, hi);
        return;
    }
    const int64_t half = int64_t(1) << (p - 1);
    const int64_t lo = is_signed ? -half : 0;
    const int64_t hi = is_signed ? half - 1 : 2 * half - 1;
    const int64_t shift = is_signed ? 0 : half;
    for (uint32_t i = 0; i < n; i++) {
        const int64_t s = v[i];
        int64_t x;
        if (reversible)
            x = s >> 2;
        else
            x = (s + (int64_t(1) << (frac - 1)) - 1 + ((s >> frac) & 1)) >> frac;
        x += shift;
        x = x < lo ? lo : (x > hi ? hi : x);
        v[i] = sat_i32(x);
    }
}

}  // namespace dravex
