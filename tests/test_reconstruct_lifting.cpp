// Wavelet synthesis of one level, horizontal and vertical, against a whole-array reference
// that extends by mirrored indexing (not by the line code's alternating copies) and lifts each
// column in one go instead of over a ring of lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "io/mem_ops.h"
#include "reconstruct/recon_internal.h"
#include "tier2/tile.h"

namespace {

// Periodic symmetric extension of index i into [i0, i1), i1 - i0 >= 2.
int64_t mirror(int64_t i, int64_t i0, int64_t i1) {
    const int64_t period = 2 * (i1 - i0 - 1);
    int64_t k = (i - i0) % period;
    if (k < 0) k += period;
    return i0 + (k < period - k ? k : period - k);
}

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// The integer 5/3 synthesis of samples i0 .. i1-1 (plain integers, not x4).
std::vector<int64_t> ref_53(const std::vector<int64_t>& y, int64_t i0, int64_t i1) {
    const int64_t n = i1 - i0;
    if (n == 1) return {(i0 & 1) ? floor_div(y[0], 2) : y[0]};
    const int64_t lo = i0 - 4, hi = i1 + 4;
    std::vector<int64_t> x(size_t(hi - lo));
    auto at = [&](int64_t i) -> int64_t& { return x[size_t(i - lo)]; };
    for (int64_t i = lo; i < hi; i++) at(i) = y[size_t(mirror(i, i0, i1) - i0)];
    for (int64_t m = floor_div(i0, 2); m <= floor_div(i1, 2); m++)
        at(2 * m) -= floor_div(at(2 * m - 1) + at(2 * m + 1) + 2, 4);
    for (int64_t m = floor_div(i0, 2); m < floor_div(i1, 2); m++)
        at(2 * m + 1) += floor_div(at(2 * m) + at(2 * m + 2), 2);
    return std::vector<int64_t>(x.begin() + (i0 - lo), x.begin() + (i1 - lo));
}

// The 9/7 synthesis in 16.16 with the decoder's constants, each pair summed before its product.
int64_t mul(int64_t c, int64_t v) { return (c * v + kConstHalf) >> kConstBits; }
std::vector<int64_t> ref_97(const std::vector<int64_t>& y, int64_t i0, int64_t i1) {
    const int64_t n = i1 - i0;
    if (n == 1) return {(i0 & 1) ? (y[0] >> 1) : y[0]};
    const int64_t lo = i0 - 6, hi = i1 + 6;
    std::vector<int64_t> x(size_t(hi - lo));
    auto at = [&](int64_t i) -> int64_t& { return x[size_t(i - lo)]; };
    for (int64_t i = lo; i < hi; i++) at(i) = y[size_t(mirror(i, i0, i1) - i0)];
    const int64_t a = floor_div(i0, 2), b = floor_div(i1, 2);
    for (int64_t m = a - 1; m <= b + 1; m++) at(2 * m) = mul(kLiftK, at(2 * m));
    for (int64_t m = a - 2; m <= b + 1; m++) at(2 * m + 1) = mul(kLiftInvK, at(2 * m + 1));
    for (int64_t m = a - 1; m <= b + 1; m++)
        at(2 * m) -= mul(kLiftDelta, at(2 * m - 1) + at(2 * m + 1));
    for (int64_t m = a - 1; m <= b; m++)
        at(2 * m + 1) -= mul(kLiftGamma, at(2 * m) + at(2 * m + 2));
    for (int64_t m = a; m <= b; m++)
        at(2 * m) -= mul(kLiftBeta, at(2 * m - 1) + at(2 * m + 1));
    for (int64_t m = a; m < b; m++)
        at(2 * m + 1) -= mul(kLiftAlpha, at(2 * m) + at(2 * m + 2));
    return std::vector<int64_t>(x.begin() + (i0 - lo), x.begin() + (i1 - lo));
}

// One interleaved level: coefficients at their (x, y) places, row-major, w x h.
struct Level {
    uint32_t x0, y0, w, h;
    std::vector<int32_t> coeff;
};

// Whole-array synthesis: every row, then every column. Values in the decoder's fixed point.
std::vector<int64_t> reference_2d(const Level& lv, bool reversible) {
    const uint32_t w = lv.w, h = lv.h;
    std::vector<int64_t> a(lv.coeff.begin(), lv.coeff.end());
    if (reversible)
        for (auto& v : a) v /= 4;
    auto filter = [&](const std::vector<int64_t>& y, int64_t i0, int64_t i1) {
        return reversible ? ref_53(y, i0, i1) : ref_97(y, i0, i1);
    };
    for (uint32_t r = 0; r < h; r++) {
        std::vector<int64_t> row(a.begin() + r * w, a.begin() + (r + 1) * w);
        row = filter(row, lv.x0, lv.x0 + w);
        std::copy(row.begin(), row.end(), a.begin() + r * w);
    }
    for (uint32_t c = 0; c < w; c++) {
        std::vector<int64_t> col(h);
        for (uint32_t r = 0; r < h; r++) col[r] = a[r * w + c];
        col = filter(col, lv.y0, lv.y0 + h);
        for (uint32_t r = 0; r < h; r++) a[r * w + c] = col[r];
    }
    if (reversible)
        for (auto& v : a) v *= 4;
    return a;
}

struct SourceContext {
    const Level* lv;
    bool reversible;
    std::vector<uint32_t> pulled;  // rows in pull order
};

// Hands out row y the way the decoder does: low and high halves, synthesised by the same row
// filters (the 9/7 one wants four spare samples around each half).
void pull_row(void* p, uint32_t y, int32_t* line) {
    auto* ctx = static_cast<SourceContext*>(p);
    const Level& lv = *ctx->lv;
    ctx->pulled.push_back(y);
    std::vector<int32_t> low(4), high(4);
    for (uint32_t i = 0; i < lv.w; i++)
        (((lv.x0 + i) & 1) ? high : low).push_back(lv.coeff[(y - lv.y0) * lv.w + i]);
    low.resize(low.size() + 4);
    high.resize(high.size() + 4);
    if (ctx->reversible)
        synth_53_row(line, low.data() + 4, high.data() + 4, lv.x0, lv.x0 + lv.w);
    else
        lift_97_split(low.data() + 4, high.data() + 4, lv.x0, lv.x0 + lv.w, line);
}

// Runs the decoder's line-based synthesis over the level; 3 extra calls past the end.
// narrow: the 5/3 in 32-bit sums, as on levels whose bounds allow it.
std::vector<int32_t> decode_level(const Level& lv, bool reversible, std::vector<uint32_t>* order,
                                  bool narrow = false) {
    MemOps* ops = memops_create();
    Resolution res{};
    res.narrow53 = narrow;
    res.x0 = lv.x0;
    res.x1 = lv.x0 + lv.w;
    res.y0 = lv.y0;
    res.y1 = lv.y0 + lv.h;
    res.low_width = (res.x1 + 1) / 2 - (res.x0 + 1) / 2;
    EXPECT_EQ(recon_level_alloc(ops, &res, reversible ? 1 : 0), 1);
    SourceContext ctx{&lv, reversible, {}};
    std::vector<int32_t> out(size_t(lv.w) * (lv.h + 3), -7);
    for (uint32_t r = 0; r < lv.h + 3; r++) {
        if (reversible)
            vertical_53_next(&res, pull_row, &ctx, out.data() + r * lv.w);
        else
            vertical_97_next(&res, pull_row, &ctx, out.data() + r * lv.w);
    }
    recon_level_free(ops, &res);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
    if (order) *order = ctx.pulled;
    return out;
}

Level random_level(uint32_t x0, uint32_t y0, uint32_t w, uint32_t h, bool reversible,
                   std::mt19937& rng) {
    Level lv{x0, y0, w, h, std::vector<int32_t>(size_t(w) * h)};
    std::uniform_int_distribution<int32_t> dist(-300, 300);
    for (auto& v : lv.coeff) {
        if (reversible)
            v = dist(rng) * 4;
        else
            v = dist(rng) * 65536 + dist(rng) * 200;
    }
    return lv;
}

// Every size from 1 x 1 to 8 x 8 at each origin parity, including single rows and columns.
TEST(ReconstructLifting, SynthesisMatchesWholeArrayReference) {
    std::mt19937 rng(1234);
    for (int reversible = 0; reversible <= 1; reversible++)
        for (uint32_t x0 : {10u, 11u})
            for (uint32_t y0 : {4u, 7u})
                for (uint32_t w = 1; w <= 8; w++)
                    for (uint32_t h = 1; h <= 8; h++) {
                        // A lone odd column keeps its half in the fraction bits, which the
                        // integer reference cannot express once columns are lifted too.
                        if (reversible && w == 1 && (x0 & 1) && h > 1) continue;
                        SCOPED_TRACE(testing::Message() << (reversible ? "5/3" : "9/7") << " x0="
                                                        << x0 << " y0=" << y0 << " w=" << w
                                                        << " h=" << h);
                        const Level lv = random_level(x0, y0, w, h, reversible, rng);
                        std::vector<uint32_t> order;
                        const std::vector<int32_t> got = decode_level(lv, reversible, &order);
                        const std::vector<int64_t> want = reference_2d(lv, reversible);
                        if (reversible) {
                            ASSERT_EQ(decode_level(lv, true, nullptr, true), got);
                        }
                        // Columns of more than 5 rows split some 9/7 updates into two rounded
                        // products; the difference stays within a few 1/65536 units. 5/3:
                        // the integers (a lone odd sample may keep a half in its fraction
                        // bits, which the conversion floors away).
                        const int64_t tolerance = reversible || h <= 5 ? 0 : 8;
                        for (uint32_t i = 0; i < w * h; i++) {
                            if (reversible)
                                ASSERT_EQ(got[i] >> 2, want[i] >> 2) << "sample " << i;
                            else
                                ASSERT_LE(std::llabs(got[i] - want[i]), tolerance)
                                    << "sample " << i;
                        }
                        for (uint32_t i = w * h; i < got.size(); i++)
                            ASSERT_EQ(got[i], 0) << "past the last row";
                        // Each row pulled exactly once, in order.
                        ASSERT_EQ(order.size(), h);
                        for (uint32_t k = 0; k < h; k++) ASSERT_EQ(order[k], y0 + k);
                    }
}

// Longer columns reach the steady state of the rings and both ways of finishing.
TEST(ReconstructLifting, LongColumnsAtBothParities) {
    std::mt19937 rng(99);
    for (int reversible = 0; reversible <= 1; reversible++)
        for (uint32_t y0 : {0u, 1u, 2u, 3u})
            for (uint32_t h : {9u, 10u, 11u, 12u, 31u, 32u}) {
                SCOPED_TRACE(testing::Message() << reversible << " y0=" << y0 << " h=" << h);
                const Level lv = random_level(3, y0, 5, h, reversible, rng);
                const std::vector<int32_t> got = decode_level(lv, reversible, nullptr);
                const std::vector<int64_t> want = reference_2d(lv, reversible);
                if (reversible) {
                    ASSERT_EQ(decode_level(lv, true, nullptr, true), got);
                }
                const int64_t tolerance = reversible ? 0 : 8;
                for (uint32_t i = 0; i < lv.w * h; i++)
                    ASSERT_LE(std::llabs(got[i] - want[i]), tolerance) << "sample " << i;
            }
}

// Values near the int32 edges (deep components, damaged data) saturate instead of wrapping.
TEST(ReconstructLifting, DeepIrreversibleSamplesSaturate) {
    for (uint32_t h : {1u, 4u, 9u}) {
        Level lv{0, 0, 6, h, std::vector<int32_t>(size_t(6) * h, 0)};
        for (uint32_t y = 0; y < h; y += 2)
            for (uint32_t x = 0; x < 6; x += 2) lv.coeff[y * 6 + x] = INT32_MAX - 5;
        const std::vector<int32_t> got = decode_level(lv, false, nullptr);
        for (uint32_t i = 0; i < 6 * h; i++) EXPECT_GT(got[i], INT32_MAX / 2) << h << " " << i;
    }
    std::vector<int32_t> row(16, 0);
    for (int i = 4; i < 12; i += 2) row[i] = INT32_MIN + 3;
    lift_97_row(row.data() + 4, row.data() + 11, 0, 8);
    for (int i = 4; i < 12; i++) EXPECT_LT(row[i], INT32_MIN / 2) << i;
}

// A flat low band must come back flat and at the same level: the synthesis has unit gain at
// zero frequency. Constants rounded too coarsely miss it by ~1e-5 per pass, which deep
// decompositions compound into visible rounding differences on bright samples.
TEST(ReconstructLifting, FlatLowBandKeepsItsLevel) {
    for (uint32_t x0 : {0u, 1u})
        for (uint32_t y0 : {0u, 1u}) {
            const uint32_t w = 24, h = 24;
            const int32_t level = 1000 * 65536;
            Level lv{x0, y0, w, h, std::vector<int32_t>(size_t(w) * h, 0)};
            for (uint32_t y = 0; y < h; y++)
                for (uint32_t x = 0; x < w; x++)
                    if (((x0 + x) & 1) == 0 && ((y0 + y) & 1) == 0) lv.coeff[y * w + x] = level;
            const std::vector<int32_t> got = decode_level(lv, false, nullptr);
            for (uint32_t i = 0; i < w * h; i++)
                ASSERT_LE(std::llabs(int64_t(got[i]) - level), 16) << x0 << y0 << " sample " << i;
        }
}

// The row filters on split halves give exactly the interleaved filters' samples, for every
// width (edge handling) and origin parity, values from small to saturating.
TEST(ReconstructLifting, SplitHalvesMatchInterleavedRow) {
    std::mt19937 rng(4242);
    std::uniform_int_distribution<int32_t> small(-300 * 65536, 300 * 65536);
    std::uniform_int_distribution<int32_t> any(INT32_MIN, INT32_MAX);
    for (int reversible = 0; reversible <= 1; reversible++)
        for (uint32_t i0 : {0u, 1u, 6u, 7u})
            for (uint32_t n = 1; n <= 41; n++)
                for (int trial = 0; trial < 4; trial++) {
                    SCOPED_TRACE(testing::Message() << (reversible ? "5/3" : "9/7") << " i0 " << i0
                                                    << " n " << n << " trial " << trial);
                    const uint32_t i1 = i0 + n;
                    const uint32_t nl = (i1 + 1) / 2 - (i0 + 1) / 2, nh = n - nl;
                    std::vector<int32_t> low(nl + 8), high(nh + 8);
                    for (auto* half : {&low, &high})
                        for (size_t k = 4; k + 4 < half->size(); k++) {
                            const int32_t v = trial == 3 ? any(rng) : small(rng);
                            (*half)[k] = reversible ? v & ~3 : v;
                        }
                    std::vector<int32_t> want(n + 8), got(n, 0);
                    interleave_row(want.data() + 4, low.data() + 4, high.data() + 4, n, i0);
                    if (reversible) {
                        lift_53_row(want.data() + 4, want.data() + 4 + n - 1, i0, i1);
                        if (trial < 3) {  // values that keep the 5/3's sums inside 32 bits
                            std::vector<int32_t> lo2(low), hi2(high), narrow(n, 0);
                            synth_53_row(narrow.data(), lo2.data() + 4, hi2.data() + 4, i0, i1, true);
                            for (uint32_t k = 0; k < n; k++)
                                ASSERT_EQ(narrow[k], want[4 + k]) << "narrow sample " << k;
                        }
                        synth_53_row(got.data(), low.data() + 4, high.data() + 4, i0, i1);
                    } else {
                        lift_97_row(want.data() + 4, want.data() + 4 + n - 1, i0, i1);
                        lift_97_split(low.data() + 4, high.data() + 4, i0, i1, got.data());
                    }
                    for (uint32_t k = 0; k < n; k++) ASSERT_EQ(got[k], want[4 + k]) << "sample " << k;
                }
}

}  // namespace
