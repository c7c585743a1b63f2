// 1-D lifting of the 5/3 and 9/7 filters: horizontally on one interleaved row, vertically over
// a ring of lines whose updates are spread over successive calls.
#include <cstring>

#include "reconstruct/recon_internal.h"
#include "tier2/tile.h"

namespace dravex {

namespace {

constexpr int64_t kClear2 = ~int64_t(3);  // drops the two fraction bits of a x4 sample

// ---- line operations of the vertical 5/3 (w samples each) ----
// W is the width of the arithmetic: int64_t with every result saturated into 32 bits, or
// int32_t on levels whose bounds keep every sum inside 32 bits (LevelRows::narrow53), where
// the results are the same and a vector holds twice the samples.

inline int32_t fit(int64_t v) { return sat_i32(v); }
inline int32_t fit(int32_t v) { return v; }

// L -= ((A + B + 8) >> 2) with the fraction bits cleared: the complete low-pass update.
template <class W>
REC_VECTOR_TEMPLATE void v53_sub_full(int32_t* __restrict L, const int32_t* A, const int32_t* B,
                                      uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = fit(L[i] - (((W(A[i]) + B[i] + 8) >> 2) & W(kClear2)));
}
// First half of a low-pass update: the upper neighbour only, nothing cleared.
template <class W>
REC_VECTOR_TEMPLATE void v53_sub_first(int32_t* __restrict L, const int32_t* __restrict A, uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = fit(L[i] - ((W(A[i]) + 8) >> 2));
}
// Second half: the +3 and the clearing make the two halves equal the floor of the sum.
template <class W>
REC_VECTOR_TEMPLATE void v53_sub_second(int32_t* __restrict L, const int32_t* __restrict B, uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = fit((W(L[i]) - (B[i] >> 2) + 3) & W(kClear2));
}
// L += ((A + B) >> 1) with the fraction bits cleared: the complete high-pass update.
template <class W>
REC_VECTOR_TEMPLATE void v53_add_full(int32_t* __restrict L, const int32_t* A, const int32_t* B,
                                      uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = fit(L[i] + (((W(A[i]) + B[i]) >> 1) & W(kClear2)));
}
template <class W>
REC_VECTOR_TEMPLATE void v53_add_first(int32_t* __restrict L, const int32_t* __restrict A, uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = fit(W(L[i]) + (A[i] >> 1));
}
template <class W>
REC_VECTOR_TEMPLATE void v53_add_second(int32_t* __restrict L, const int32_t* __restrict B, uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = fit((W(L[i]) + (B[i] >> 1)) & W(kClear2));
}
// High-pass sample at the edge: its mirrored neighbour pair is twice the one neighbour.
template <class W>
REC_VECTOR_TEMPLATE void v53_add_mirror(int32_t* __restrict L, const int32_t* __restrict A, uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = fit(W(L[i]) + A[i]);
}

// ---- line operations of the vertical 9/7 ----

REC_VECTOR_LOOP void v97_scale_k(int32_t* L, uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = sat_i32(fix_mul32(kLiftK, L[i]));
}
REC_VECTOR_LOOP void v97_scale_inv_k(int32_t* L, uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = sat_i32(fix_mul32(kLiftInvK, L[i]));
}
// L -= c x A: one neighbour's share of an update (or the whole of a doubled edge neighbour
// when A has been summed by the caller).
REC_VECTOR_LOOP void v97_lift1(int32_t* __restrict L, int32_t c, const int32_t* __restrict A,
                               uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = sat_i32(L[i] - fix_mul32(c, A[i]));
}
// L -= c x (A + B), the pair summed before the product.
REC_VECTOR_LOOP void v97_lift2(int32_t* __restrict L, int32_t c, const int32_t* A, const int32_t* B,
                               uint32_t w) {
    for (uint32_t i = 0; i < w; i++) L[i] = sat_i32(L[i] - fix_mul_pair(c, A[i], B[i]));
}

// Steady state of the 9/7 column, fused into one pass per call: the updates of one call touch
// each column independently, so they run sample by sample in their listed order. The row
// leaving the ring goes straight to dst.
REC_VECTOR_LOOP void v97_steady_odd_lift(int32_t* const* L, int32_t* __restrict dst, uint32_t w) {
    int32_t *__restrict L0 = L[0], *__restrict L1 = L[1], *__restrict L2 = L[2];
    int32_t *__restrict L3 = L[3];
    const int32_t* __restrict L4 = L[4];
    for (uint32_t i = 0; i < w; i++) {
        const int32_t a3 = sat_i32(L3[i] - fix_mul32(kLiftDelta, L4[i]));
        const int32_t a2 = sat_i32(L2[i] - fix_mul32(kLiftGamma, a3));
        const int32_t a1 = sat_i32(L1[i] - fix_mul32(kLiftBeta, a2));
        L3[i] = a3;
        L2[i] = a2;
        L1[i] = a1;
        dst[i] = sat_i32(L0[i] - fix_mul32(kLiftAlpha, a1));
    }
}

// The division by K does not vectorise; it runs on its own before the fused updates.
void v97_steady_odd(int32_t* const* L, int32_t* dst, uint32_t w) {
    v97_scale_inv_k(L[4], w);
    v97_steady_odd_lift(L, dst, w);
}

REC_VECTOR_LOOP void v97_steady_even(int32_t* const* L, int32_t* __restrict dst, uint32_t w) {
    int32_t *__restrict L0 = L[0], *__restrict L1 = L[1], *__restrict L2 = L[2];
    int32_t *__restrict L3 = L[3], *__restrict L4 = L[4];
    for (uint32_t i = 0; i < w; i++) {
        const int32_t l0 = L0[i], l1 = L1[i], l2 = L2[i], l3 = L3[i];
        const int32_t k4 = sat_i32(fix_mul32(kLiftK, L4[i]));
        L4[i] = sat_i32(k4 - fix_mul32(kLiftDelta, l3));
        L3[i] = sat_i32(l3 - fix_mul32(kLiftGamma, l2));
        L2[i] = sat_i32(l2 - fix_mul32(kLiftBeta, l1));
        L1[i] = sat_i32(l1 - fix_mul32(kLiftAlpha, l0));
        dst[i] = l0;
    }
}

// Steady state of the 5/3 column, likewise fused.
template <class W>
REC_VECTOR_TEMPLATE void v53_steady_odd(int32_t* const* L, int32_t* __restrict dst, uint32_t w) {
    int32_t *__restrict L0 = L[0], *__restrict L1 = L[1], *__restrict L2 = L[2];
    for (uint32_t i = 0; i < w; i++) {
        const int32_t a1 = fit((W(L1[i]) - (L2[i] >> 2) + 3) & W(kClear2));
        L1[i] = a1;
        dst[i] = fit((W(L0[i]) + (a1 >> 1)) & W(kClear2));
    }
}

template <class W>
REC_VECTOR_TEMPLATE void v53_steady_even(int32_t* const* L, int32_t* __restrict dst, uint32_t w) {
    int32_t *__restrict L0 = L[0], *__restrict L1 = L[1], *__restrict L2 = L[2];
    for (uint32_t i = 0; i < w; i++) {
        const int32_t l0 = L0[i], l1 = L1[i];
        L2[i] = fit(L2[i] - ((W(l1) + 8) >> 2));
        L1[i] = fit(W(l1) + (l0 >> 1));
        dst[i] = l0;
    }
}

void copy_or_zero(int32_t* dst, const int32_t* src, uint32_t w, bool valid) {
    if (w == 0) return;
    if (valid)
        std::memcpy(dst, src, size_t(w) * sizeof(int32_t));
    else
        std::memset(dst, 0, size_t(w) * sizeof(int32_t));
}

void advance_rings(LevelRows* res) {
    res->ring_base.current = res->ring_base.current->next;
    res->ring_line.current = res->ring_line.current->next;
    res->ring_high.current = res->ring_high.current->next;
}

// Lines L(c) .. L(c + n - 1) of the ring, current first.
void ring_lines(const LevelRows* res, int32_t** L, uint32_t n) {
    const LineRingEntry* e = res->ring_line.current;
    for (uint32_t k = 0; k < n; k++, e = e->next) L[k] = e->line;
}

// A whole column of at most 3 (5/3) rows: every update at once, edges mirrored.
template <class W>
void small_column_53(int32_t** L, uint32_t h, uint32_t y0, uint32_t w) {
    if (h == 1) {
        if (y0 & 1)
            for (uint32_t i = 0; i < w; i++) L[0][i] = int32_t(int64_t(L[0][i] >> 1) & kClear2);
        return;
    }
    for (uint32_t k = (y0 & 1); k < h; k += 2) {  // low-pass rows first
        const int32_t* a = k > 0 ? L[k - 1] : L[k + 1];
        const int32_t* b = k + 1 < h ? L[k + 1] : L[k - 1];
        v53_sub_full<W>(L[k], a, b, w);
    }
    for (uint32_t k = 1 - (y0 & 1); k < h; k += 2) {
        if (k > 0 && k + 1 < h)
            v53_add_full<W>(L[k], L[k - 1], L[k + 1], w);
        else
            v53_add_mirror<W>(L[k], k > 0 ? L[k - 1] : L[k + 1], w);
    }
}

// A whole column of 2 to 5 (9/7) rows: scaling, then the four steps, edges mirrored.
void small_column_97(int32_t** L, uint32_t h, uint32_t y0, uint32_t w) {
    if (h == 1) {
        if (y0 & 1)
            for (uint32_t i = 0; i < w; i++) L[0][i] >>= 1;
        return;
    }
    for (uint32_t k = 0; k < h; k++) {
        if (((y0 + k) & 1) == 0)
            v97_scale_k(L[k], w);
        else
            v97_scale_inv_k(L[k], w);
    }
    static constexpr int32_t kSteps[4] = {kLiftDelta, kLiftGamma, kLiftBeta, kLiftAlpha};
    for (uint32_t s = 0; s < 4; s++) {
        const uint32_t parity = s & 1;  // delta, beta on low-pass rows; gamma, alpha on high
        for (uint32_t k = 0; k < h; k++) {
            if (((y0 + k) & 1) != parity) continue;
            const int32_t* a = k > 0 ? L[k - 1] : L[k + 1];
            const int32_t* b = k + 1 < h ? L[k + 1] : L[k - 1];
            v97_lift2(L[k], kSteps[s], a, b, w);
        }
    }
}

// The same steps on separate low and high halves: contiguous loops that vectorise fully.
REC_VECTOR_LOOP void split_scale(int32_t* __restrict x, int32_t c, int32_t count) {
    for (int32_t i = 0; i < count; i++) x[i] = sat_i32(fix_mul32(c, x[i]));
}
// x[i] -= c x (y[i] + y[i + 1]) for i < count.
REC_VECTOR_LOOP void split_step(int32_t* __restrict x, int32_t c, const int32_t* __restrict y,
                                int32_t count) {
    for (int32_t i = 0; i < count; i++) x[i] = sat_i32(x[i] - fix_mul_pair(c, y[i], y[i + 1]));
}

// Position p of the row i0 .. i0 + n - 1 (n >= 2) folded back by symmetric extension.
inline int64_t fold(int64_t p, int64_t i0, int64_t n) {
    const int64_t period = 2 * (n - 1);
    int64_t k = (p - i0) % period;
    if (k < 0) k += period;
    return i0 + (k < n ? k : period - k);
}

}  // namespace

void interleave_row(int32_t* dst, const int32_t* low, const int32_t* high, uint32_t count,
                    uint32_t origin) {
    const int32_t* first = (origin & 1) ? high : low;
    const int32_t* second = (origin & 1) ? low : high;
    const uint32_t pairs = count / 2;
    zip_pairs(dst, first, second, pairs);
    if (count & 1) dst[count - 1] = first[pairs];
}

namespace {

// A row of at most one sample, for both filters: a lone low-pass sample is the signal, a lone
// high-pass one is its double (its half kept in the fraction bits).
void synth_short_row(int32_t* line, const int32_t* lo, const int32_t* hi, uint32_t i0, uint32_t i1) {
    if (i1 <= i0) return;
    line[0] = (i0 & 1) ? hi[0] >> 1 : lo[0];
}

template <class W>
void synth_53(int32_t* line, int32_t* lo, int32_t* hi, uint32_t i0, uint32_t i1) {
    const uint32_t n = i1 - i0;
    if (n < 2) {
        synth_short_row(line, lo, hi, i0, i1);
        return;
    }
    // The two lifting steps on the separate halves, where each is a contiguous vector loop;
    // only the ends, whose neighbours are mirrored, are done one by one.
    const uint32_t s = i0 & 1;  // 1: the row starts with a high-pass sample
    const uint32_t nh = s ? (n + 1) / 2 : n / 2;
    const uint32_t nl = n - nh;
    auto high_at = [&](int64_t j) { return int64_t(hi[j < 0 ? 0 : (j >= nh ? nh - 1 : j)]); };
    auto low_at = [&](int64_t j) { return int64_t(lo[j < 0 ? 0 : (j >= nl ? nl - 1 : j)]); };
    auto update_low = [&](uint32_t j) {
        lo[j] = sat_i32(lo[j] - (((high_at(int64_t(j) - 1 + s) + high_at(j + s) + 8) >> 2) & kClear2));
    };
    auto update_high = [&](uint32_t j) {
        hi[j] = sat_i32(hi[j] + (((low_at(int64_t(j) - s) + low_at(int64_t(j) + 1 - s)) >> 1) & kClear2));
    };
    // Low-pass sample j has high-pass neighbours j - 1 + s and j + s.
    const uint32_t a = 1 - s;
    uint32_t b = nh - s < nl ? nh - s : nl;
    if (b < a) b = a;
    for (uint32_t j = 0; j < a && j < nl; j++) update_low(j);
    if (b > a) v53_sub_full<W>(lo + a, hi + a - 1 + s, hi + a + s, b - a);
    for (uint32_t j = b; j < nl; j++) update_low(j);
    // High-pass sample j has low-pass neighbours j - s and j + 1 - s.
    const uint32_t a2 = s;
    uint32_t b2 = nl - 1 + s < nh ? nl - 1 + s : nh;
    if (b2 < a2) b2 = a2;
    for (uint32_t j = 0; j < a2 && j < nh; j++) update_high(j);
    if (b2 > a2) v53_add_full<W>(hi + a2, lo + a2 - s, lo + a2 + 1 - s, b2 - a2);
    for (uint32_t j = b2; j < nh; j++) update_high(j);
    interleave_row(line, lo, hi, n, i0);
}

}  // namespace

void synth_53_row(int32_t* line, int32_t* lo, int32_t* hi, uint32_t i0, uint32_t i1, bool narrow) {
    if (i1 <= i0) return;
    if (narrow)
        synth_53<int32_t>(line, lo, hi, i0, i1);
    else
        synth_53<int64_t>(line, lo, hi, i0, i1);
}

void lift_97_split(int32_t* low, int32_t* high, uint32_t i0, uint32_t i1, int32_t* out) {
    if (i1 <= i0 + 1) {
        synth_short_row(out, low, high, i0, i1);
        return;
    }
    // Sample 2m of the row is low[m - lo0], sample 2m + 1 is high[m - a]; both halves get the
    // extension the steps read: m from a - 2 to b + 1 (no more than two past either end).
    const int64_t n = int64_t(i1) - i0;
    const int64_t a = i0 / 2, b = i1 / 2, lo0 = (int64_t(i0) + 1) / 2;
    const int64_t nl = (int64_t(i1) + 1) / 2 - lo0, nh = b - a;
    for (int64_t m = a - 2; m < lo0; m++) low[m - lo0] = low[fold(2 * m, i0, n) / 2 - lo0];
    for (int64_t m = lo0 + nl; m <= b + 1; m++) low[m - lo0] = low[fold(2 * m, i0, n) / 2 - lo0];
    for (int64_t m = a - 2; m < a; m++) high[m - a] = high[(fold(2 * m + 1, i0, n) - 1) / 2 - a];
    for (int64_t m = a + nh; m <= b + 1; m++)
        high[m - a] = high[(fold(2 * m + 1, i0, n) - 1) / 2 - a];
    int32_t* L = low + (a - lo0);  // L[m - a] is sample 2m
    int32_t* H = high;             // H[m - a] is sample 2m + 1
    const int32_t span = static_cast<int32_t>(b - a);
    split_scale(L - 1, kLiftK, span + 3);
    split_scale(H - 2, kLiftInvK, span + 4);
    split_step(L - 1, kLiftDelta, H - 2, span + 3);
    split_step(H - 1, kLiftGamma, L - 1, span + 2);
    split_step(L, kLiftBeta, H - 1, span + 1);
    split_step(H, kLiftAlpha, L, span);
    interleave_row(out, low, high, uint32_t(n), i0);
}

namespace {

template <class W>
void vertical_53(LevelRows* res, RecRowSource pull, void* ctx, int32_t* dst) {
    const uint32_t w = res->x1 - res->x0;
    const uint32_t y0 = res->y0, y1 = res->y1;
    const uint32_t h = y1 - y0;
    const uint32_t c = res->next_out_row;
    int32_t* L[3];
    ring_lines(res, L, 3);
    if (c == y0) {
        const uint32_t first = h < 3 ? h : 3;
        for (uint32_t k = 0; k < first; k++) pull(ctx, y0 + k, L[k]);
        if (h <= 3) {
            small_column_53<W>(L, h, y0, w);
        } else if (y0 & 1) {
            v53_sub_full<W>(L[1], L[0], L[2], w);
            v53_add_mirror<W>(L[0], L[1], w);
        } else {
            v53_sub_full<W>(L[0], L[1], L[1], w);
            v53_sub_first<W>(L[2], L[1], w);
            v53_add_first<W>(L[1], L[0], w);
        }
    } else if (h > 3 && uint64_t(c) + 3 <= y1) {
        pull(ctx, c + 2, L[2]);  // into the entry that held row c - 1
        const bool last = uint64_t(c) + 3 == y1;
        if (!last) {
            if (c & 1)
                v53_steady_odd<W>(L, dst, w);
            else
                v53_steady_even<W>(L, dst, w);
            res->next_out_row = c + 1;
            advance_rings(res);
            return;
        }
        // The last row comes in: finish the column, its edge mirrored.
        if (c & 1) {
            v53_sub_second<W>(L[1], L[2], w);
            v53_add_second<W>(L[0], L[1], w);
            v53_add_mirror<W>(L[2], L[1], w);
        } else {
            // Last row even: both halves at once, the second from the mirrored neighbour.
            for (uint32_t i = 0; i < w; i++)
                L[2][i] = sat_i32((int64_t(L[2][i]) - ((int64_t(L[1][i]) + 8) >> 2) -
                                   (L[1][i] >> 2) + 3) & kClear2);
            v53_add_full<W>(L[1], L[0], L[2], w);
        }
    }
    copy_or_zero(dst, L[0], w, c < y1);
    res->next_out_row = c + 1;
    advance_rings(res);
}

}  // namespace

void vertical_53_next(LevelRows* res, RecRowSource pull, void* ctx, int32_t* dst) {
    if (res->narrow53)
        vertical_53<int32_t>(res, pull, ctx, dst);
    else
        vertical_53<int64_t>(res, pull, ctx, dst);
}

void vertical_97_next(LevelRows* res, RecRowSource pull, void* ctx, int32_t* dst) {
    const uint32_t w = res->x1 - res->x0;
    const uint32_t y0 = res->y0, y1 = res->y1;
    const uint32_t h = y1 - y0;
    const uint32_t c = res->next_out_row;
    int32_t* L[5];
    ring_lines(res, L, 5);
    if (c == y0) {
        const uint32_t first = h < 5 ? h : 5;
        for (uint32_t k = 0; k < first; k++) pull(ctx, y0 + k, L[k]);
        if (h <= 5) {
            small_column_97(L, h, y0, w);
        } else {
            for (uint32_t k = 0; k < 5; k++) {
                if (((y0 + k) & 1) == 0)
                    v97_scale_k(L[k], w);
                else
                    v97_scale_inv_k(L[k], w);
            }
            if (y0 & 1) {
                v97_lift2(L[1], kLiftDelta, L[0], L[2], w);
                v97_lift2(L[3], kLiftDelta, L[2], L[4], w);
                v97_lift2(L[0], kLiftGamma, L[1], L[1], w);
                v97_lift2(L[2], kLiftGamma, L[1], L[3], w);
                v97_lift2(L[1], kLiftBeta, L[0], L[2], w);
                v97_lift2(L[0], kLiftAlpha, L[1], L[1], w);
            } else {
                v97_lift2(L[0], kLiftDelta, L[1], L[1], w);
                v97_lift2(L[2], kLiftDelta, L[1], L[3], w);
                v97_lift1(L[4], kLiftDelta, L[3], w);
                v97_lift2(L[1], kLiftGamma, L[0], L[2], w);
                v97_lift1(L[3], kLiftGamma, L[2], w);
                v97_lift2(L[0], kLiftBeta, L[1], L[1], w);
                v97_lift1(L[2], kLiftBeta, L[1], w);
                v97_lift1(L[1], kLiftAlpha, L[0], w);
            }
        }
    } else if (h > 5 && uint64_t(c) + 5 <= y1) {
        pull(ctx, c + 4, L[4]);  // into the entry that held row c - 1
        const bool last = uint64_t(c) + 5 == y1;
        if (!last) {
            if (c & 1)
                v97_steady_odd(L, dst, w);
            else
                v97_steady_even(L, dst, w);
            res->next_out_row = c + 1;
            advance_rings(res);
            return;
        }
        // The last row comes in: finish the column, its edge mirrored.
        if (c & 1) {
            v97_scale_inv_k(L[4], w);
            v97_lift1(L[3], kLiftDelta, L[4], w);
            v97_lift1(L[2], kLiftGamma, L[3], w);
            v97_lift1(L[1], kLiftBeta, L[2], w);
            v97_lift1(L[0], kLiftAlpha, L[1], w);
            v97_lift2(L[4], kLiftGamma, L[3], L[3], w);
            v97_lift2(L[3], kLiftBeta, L[2], L[4], w);
            v97_lift2(L[2], kLiftAlpha, L[1], L[3], w);
            v97_lift2(L[4], kLiftAlpha, L[3], L[3], w);
        } else {
            v97_scale_k(L[4], w);
            v97_lift2(L[4], kLiftDelta, L[3], L[3], w);
            v97_lift2(L[3], kLiftGamma, L[2], L[4], w);
            v97_lift2(L[2], kLiftBeta, L[1], L[3], w);
            v97_lift2(L[1], kLiftAlpha, L[0], L[2], w);
            v97_lift2(L[4], kLiftBeta, L[3], L[3], w);
            v97_lift2(L[3], kLiftAlpha, L[2], L[4], w);
        }
    }
    copy_or_zero(dst, L[0], w, c < y1);
    res->next_out_row = c + 1;
    advance_rings(res);
}

}  // namespace dravex
