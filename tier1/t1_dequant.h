#pragma once
// Turns a decoded magnitude into a coefficient magnitude in the tile-component's fixed-point
// format: region-of-interest de-scaling, mid-point reconstruction of the undecoded planes,
// then x4 (reversible) or the step size x65536 (irreversible).
#include <cstdint>

#include "tier1/t1_inline.h"

namespace dravex {

constexpr uint32_t kT1Saturated = 0x7FFFFFFF;

struct T1Dequant {
    uint32_t h;          // magnitude bit-planes of the band
    uint32_t roi_shift;  // 0 without a region of interest
    uint32_t reversible;
    uint32_t mantissa;   // step size split as mantissa x 2^(exponent - 16) / 2^16
    int32_t exponent;
    uint64_t q_limit;    // largest index whose product with the mantissa fits 64 bits
};

inline T1Dequant t1_dequant_params(uint32_t h, uint32_t roi_shift, uint32_t reversible,
                                   uint32_t mantissa, int32_t exponent) {
    T1Dequant p{h, roi_shift, reversible, mantissa, exponent, UINT64_MAX};
    if (mantissa != 0) p.q_limit = UINT64_MAX / mantissa;
    return p;
}

// q x the step in the fixed point, for q in steps at `exponent` (the band's exponent, or
// one less for half steps); saturates.
inline uint32_t t1_scale_steps(uint64_t q, int32_t exponent, const T1Dequant& p) {
    uint64_t v;
    if (exponent >= 16) {
        if (q > p.q_limit) return kT1Saturated;
        v = q * p.mantissa;
        const uint32_t k = uint32_t(exponent - 16);
        if (k >= 32 || v > (uint64_t(kT1Saturated) >> k)) return v ? kT1Saturated : 0;
        v <<= k;
    } else {
        // Steps below one unit: the product loses bits, rounded to nearest so that the
        // dropped fraction does not pull every coefficient towards zero.
        const uint32_t k = uint32_t(16 - exponent);
        if (k < 64 && q <= p.q_limit) {
            v = q * p.mantissa;
            v = (v >> k) + ((v >> (k - 1)) & 1);
        } else {
            // Indices too long for the product: drop their low bits first.
            const uint64_t drop = uint64_t(k) - 16;
            q = drop >= 64 ? 0 : q >> drop;
            if (q > p.q_limit) return kT1Saturated;
            v = (q * p.mantissa) >> 16;
        }
    }
    return v > kT1Saturated ? kT1Saturated : uint32_t(v);
}

inline uint32_t t1_scale_half_steps(uint64_t q, const T1Dequant& p) {
    return t1_scale_steps(q, p.exponent - 1, p);
}

// d: the magnitude bits decoded for a sample, most significant first; g: the bit-planes they
// span from the top of the band (visit count + zero bit-planes). Results that would not fit
// an int32 saturate, so damaged or very deep streams cannot wrap into the opposite sign.
//
// With a region of interest the band is coded over h + s planes: region samples were scaled
// up by s, so some bit of theirs is set in the top h planes, while background samples were
// coded as they are, in the planes below. A region sample whose top h planes are all decoded
// has its index; planes decoded below those hold only its fraction, whose first plane gives
// the half step of the reconstruction and the rest nothing (the established decoders keep
// that one fraction bit). A background sample is never scaled: the planes still missing are
// counted from the bottom of all h + s.
inline uint32_t t1_dequantise(uint32_t d, uint32_t g, const T1Dequant& p) {
    const uint32_t h = p.h;
    int64_t missing = int64_t(h) - g;  // planes not decoded; negative: decoded past the band
    if (p.roi_shift != 0 && g >= h) {
        const uint32_t k = g - h;
        const uint32_t t = k >= 32 ? 0 : d >> k;
        if (t != 0 && k > 0) {
            // In half steps: the index and the first fraction plane.
            if (p.reversible) return t > (kT1Saturated >> 2) ? kT1Saturated : t << 2;
            return t1_scale_half_steps(uint64_t(d >> (k - 1)), p);
        }
        if (t == 0) missing += p.roi_shift;
    }
    if (d == 0) return 0;
    uint64_t q;
    if (missing > 0) {
        // Half of the first undecoded plane: the middle of the remaining interval.
        if (missing > 32) return kT1Saturated;
        const uint32_t k = uint32_t(missing);
        q = (uint64_t(d) << k) | (uint64_t(1) << (k - 1));
    } else {
        // Planes past the band's depth (an encoder's slip) fall below the step: they are
        // dropped, and an index that only they made nonzero is zero, not half a step.
        if (-missing >= 32) return 0;
        q = d >> uint32_t(-missing);
        if (q == 0) return 0;
    }
    if (p.reversible) return q > (kT1Saturated >> 2) ? kT1Saturated : uint32_t(q << 2);
    // Irreversible indices are reconstructed at the middle of their step even when every
    // plane was decoded (the reversible path must stay exact, so it never adds the half):
    // work in half steps, 2q + 1.
    if (missing <= 0) return t1_scale_half_steps(2 * q + 1, p);
    return t1_scale_steps(q, p.exponent, p);
}

// The irreversible dequantiser for a whole block at one bit-plane count g, without a region
// of interest: every nonzero index is reconstructed at the middle of its remaining interval,
// (2 (d >> right) + 1) x the step, rounded to the fixed point; t1_dequantise gives the same
// values. Blocks whose products could leave 64 bits take the general path.
struct T1IrreversibleScale {
    uint32_t right;        // index bits dropped (planes decoded beyond the band's depth)
    uint32_t shift, left;  // the product's shift: right by shift (rounded), or left by left
    uint64_t mult, round;
};

inline bool t1_irreversible_scale(uint32_t g, const T1Dequant& q, T1IrreversibleScale* s) {
    int64_t exponent = q.exponent;
    uint32_t right = 0;
    if (g < q.h) {
        // (d << k) | half is 2^(k-1) (2d + 1); up to 15 missing planes the general path's
        // product of that with the mantissa (below 2^17) cannot leave 64 bits either.
        const uint32_t k = q.h - g;
        if (k > 15) return false;
        exponent += int64_t(k) - 1;
    } else {
        right = g - q.h;
        if (right >= 32) return false;
        exponent -= 1;  // half steps: 2q + 1
    }
    if (q.mantissa == 0 || exponent > 16 + 63 || exponent < 16 - 63) return false;
    const int64_t shift = 16 - exponent;
    if (shift > 0)
        *s = T1IrreversibleScale{right, uint32_t(shift), 0, q.mantissa, uint64_t(1) << (shift - 1)};
    else
        *s = T1IrreversibleScale{right, 0, uint32_t(-shift), q.mantissa, 0};
    return true;
}

inline int32_t t1_irreversible_value(uint32_t d, const T1IrreversibleScale& s) {
    const uint32_t q = d >> s.right;
    if (q == 0) return 0;
    const uint64_t v = ((2 * uint64_t(q) + 1) * s.mult + s.round) >> s.shift;
    if (s.left >= 32 || v > (uint64_t(kT1Saturated) >> s.left)) return int32_t(kT1Saturated);
    return int32_t(v << s.left);
}

// Reversible magnitudes without a region of interest, for one visit count g: the decoded
// bits d become ((d << left) >> right) | half, times 4. Only built when both counts of a
// block keep the shifts small; other blocks go through t1_dequantise.
struct ReversibleScale {
    uint32_t left, right;
    uint64_t half;
};

inline bool reversible_scale(uint32_t g, const T1Dequant& q, ReversibleScale* s) {
    if (g < q.h) {
        const uint32_t k = q.h - g;
        if (k > 32) return false;
        *s = ReversibleScale{k, 0, uint64_t(1) << (k - 1)};
    } else {
        const uint32_t k = g - q.h;
        *s = ReversibleScale{0, k >= 32 ? 63u : k, 0};
    }
    return true;
}

T1_INLINE int32_t reversible_value(uint32_t d, const ReversibleScale& s) {
    if (d == 0) return 0;
    const uint64_t v = ((uint64_t(d) << s.left) >> s.right) | s.half;
    return v > (kT1Saturated >> 2) ? int32_t(kT1Saturated) : int32_t(v << 2);
}

}  // namespace dravex
