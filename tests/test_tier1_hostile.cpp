// Damaged and hostile code-blocks: random segment bytes, empty segments, absurd bit-plane
// counts and block sizes. Nothing may read or write outside the segment or the block; refused
// blocks leave the destination zero; saturation keeps the fixed point from wrapping.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "support/t1_encoder.h"
#include "support/t1_harness.h"
#include "tier1/t1_dequant.h"

namespace {

using t1_test::BandSetup;
using t1_test::DecodeResult;
using t1_test::Harness;
using t1_test::Segment;

const char kTooDeep[] = "Code-block has more bit-planes than a sample can hold.";

Segment segment(bool mq, uint32_t passes, std::vector<uint8_t> bytes) {
    Segment s;
    s.is_mq = mq;
    s.npasses = passes;
    s.bytes = std::move(bytes);
    return s;
}

TEST(Tier1Hostile, RandomSegmentsNeverEscapeTheBlock) {
    std::mt19937 rng(2024);
    Harness hn;
    for (int trial = 0; trial < 1500; ++trial) {
        SCOPED_TRACE(trial);
        const uint32_t w = 1 + rng() % 70, h = 1 + rng() % (4096 / w < 70 ? 4096 / w : 70);
        BandSetup bs;
        bs.style = static_cast<uint8_t>(rng() % 64);
        bs.resolution = rng() % 3;
        bs.band = rng() % 3;
        bs.magnitude_bits = static_cast<uint8_t>(rng() % 40);
        bs.zero_bitplanes = rng() % 12;
        bs.roi_shift = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 40 : 0);
        bs.quant_style = static_cast<uint8_t>(rng() % 2 ? 2 : 0);
        bs.mantissa = rng() % (1u << 18);
        bs.exponent = static_cast<int32_t>(rng() % 80) - 30;
        std::vector<Segment> segs;
        const uint32_t nseg = rng() % 6;
        for (uint32_t i = 0; i < nseg; ++i) {
            std::vector<uint8_t> bytes(rng() % 300);
            for (auto& b : bytes) b = rng() % 4 == 0 ? 0xFF : static_cast<uint8_t>(rng());
            segs.push_back(segment(rng() % 3 != 0, 1 + rng() % 12, bytes));
        }
        const DecodeResult r = hn.decode(bs, w, h, segs);
        EXPECT_TRUE(r.outside_untouched);
        EXPECT_LE(r.errors.size(), 1u);
        if (r.ok) {
            EXPECT_TRUE(r.errors.empty());
        }
        if (!r.errors.empty() && r.errors[0] == kTooDeep) {
            for (int32_t v : r.values) ASSERT_EQ(v, 0);
        }
    }
}

TEST(Tier1Hostile, EmptySegmentsDecodeOnFills) {
    Harness hn;
    BandSetup bs;
    bs.magnitude_bits = 20;
    for (uint8_t style : {uint8_t(0x00), uint8_t(0x04), uint8_t(0x11), uint8_t(0x3F)}) {
        SCOPED_TRACE(int(style));
        bs.style = style;
        std::vector<Segment> segs;
        for (uint32_t i = 0; i < 14; ++i) segs.push_back(segment(i % 3 != 1, 1, {}));
        const DecodeResult a = hn.decode(bs, 64, 64, segs);
        const DecodeResult b = hn.decode(bs, 64, 64, segs);
        EXPECT_TRUE(a.outside_untouched);
        EXPECT_EQ(a.values, b.values) << "fills must decode the same way every time";
    }
}

struct DepthCase {
    const char* name;
    uint32_t zero_bitplanes;
    std::vector<uint32_t> passes;  // one segment each
    uint8_t magnitude_bits, roi_shift;
    bool refused;
};

TEST(Tier1Hostile, BitPlaneLimits) {
    const DepthCase cases[] = {
        {"22 passes fill 8 planes", 0, {22}, 8, 0, false},
        {"a ninth plane past the band decodes", 0, {23}, 8, 0, false},
        {"zero planes count", 7, {1}, 8, 0, false},
        {"zero planes fill 31 bits", 30, {1}, 8, 0, false},
        {"zero planes past 31 bits", 31, {1}, 8, 0, true},
        {"ROI shift adds room", 5, {13}, 5, 5, false},
        {"31 bits at most", 0, {91}, 40, 0, false},
        {"32 bits refused", 0, {92}, 40, 0, true},
        {"ROI cannot pass 31", 20, {34}, 30, 10, true},
        {"huge zero planes", 0xFFFFFFFFu, {1}, 255, 255, true},
        {"huge pass count", 0, {0xFFFFFFFFu, 0xFFFFFFFFu}, 255, 0, true},
        {"spread over segments", 23, {10, 2, 1, 2, 1, 2, 1, 2, 1}, 8, 0, false},
        {"spread, one too many", 23, {10, 2, 1, 2, 1, 2, 1, 2, 1, 1}, 8, 0, true},
    };
    Harness hn;
    for (const DepthCase& c : cases) {
        SCOPED_TRACE(c.name);
        BandSetup bs;
        bs.magnitude_bits = c.magnitude_bits;
        bs.roi_shift = c.roi_shift;
        bs.zero_bitplanes = c.zero_bitplanes;
        std::vector<Segment> segs;
        for (uint32_t p : c.passes) segs.push_back(segment(true, p, {0x12, 0x34, 0x56}));
        const DecodeResult r = hn.decode(bs, 8, 8, segs);
        EXPECT_TRUE(r.outside_untouched);
        if (c.refused) {
            EXPECT_EQ(r.ok, 0);
            ASSERT_EQ(r.errors.size(), 1u);
            EXPECT_EQ(r.errors[0], kTooDeep);
            for (int32_t v : r.values) EXPECT_EQ(v, 0);
        } else {
            EXPECT_EQ(r.ok, 1);
            EXPECT_TRUE(r.errors.empty());
        }
    }
}

TEST(Tier1Hostile, BlockSizes) {
    struct Case {
        uint32_t w, h;
        int ok;
    };
    const Case cases[] = {{1024, 4, 1}, {4, 1024, 1}, {64, 64, 1}, {2048, 1, 0},
                          {1, 2048, 0}, {65, 64, 0}, {1, 1, 1}};
    Harness hn;
    BandSetup bs;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        const DecodeResult r = hn.decode(bs, c.w, c.h, {segment(true, 4, {0xAB, 0xCD})});
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_TRUE(r.outside_untouched);
        if (!c.ok) {
            ASSERT_EQ(r.errors.size(), 1u);
            EXPECT_EQ(r.errors[0], "Code-block is larger than 4096 samples.");
        }
    }
}

TEST(Tier1Hostile, NoSegmentsOrNoPassesLeaveZeros) {
    Harness hn;
    BandSetup bs;
    bs.zero_bitplanes = 0xFFFFFFFFu;  // never looked at without passes
    DecodeResult r = hn.decode(bs, 16, 16, {});
    EXPECT_EQ(r.ok, 1);
    r = hn.decode(bs, 16, 16, {segment(true, 0, {1, 2, 3})});
    EXPECT_EQ(r.ok, 1);
    for (int32_t v : r.values) EXPECT_EQ(v, 0);
}

// Deep irreversible components: the product of the index and the step exceeds 32 bits; the
// result saturates with the right sign instead of wrapping.
TEST(Tier1Hostile, DeepIrreversibleSaturates) {
    t1_test::BlockParams bp;
    bp.w = 4;
    bp.h = 4;
    bp.planes = 20;
    std::vector<int32_t> coeffs(16, 0);
    coeffs[0] = (1 << 20) - 1;
    coeffs[5] = -((1 << 20) - 1);
    coeffs[10] = 1;
    const auto e = t1_test::encode_block(coeffs, bp);
    BandSetup bs;
    bs.magnitude_bits = 20;
    bs.quant_style = 2;
    bs.mantissa = 4095u * 32u;
    bs.exponent = 29;
    Harness hn;
    const DecodeResult r = hn.decode(bs, 4, 4, e.segments);
    EXPECT_EQ(r.ok, 1);
    EXPECT_EQ(r.values[0], INT32_MAX);
    EXPECT_EQ(r.values[5], -INT32_MAX);
    EXPECT_EQ(r.values[10], int32_t((uint64_t(3 * 4095u * 32u) << 12)));  // 1.5 steps
    EXPECT_EQ(r.values[1], 0);
}

struct DequantCase {
    const char* name;
    uint32_t d, g, h, roi;
    bool reversible;
    uint32_t mantissa;
    int32_t exponent;
    uint32_t want;
};

TEST(Tier1Dequant, NamedCases) {
    const DequantCase cases[] = {
        {"one plane short", 5, 7, 8, 0, true, 0, 0, 44},
        {"all planes", 5, 8, 8, 0, true, 0, 0, 20},
        {"one plane past", 5, 9, 8, 0, true, 0, 0, 8},
        {"region sample", 768, 10, 8, 5, true, 0, 0, 768},
        {"background sample", 3, 10, 8, 5, true, 0, 0, 112},
        {"background, shift taken off", 3, 7, 4, 5, true, 0, 0, 56},
        {"background, g within shift", 1, 4, 2, 5, true, 0, 0, 48},
        {"region sample, one fraction plane", 0b1110, 4, 2, 5, false, 1u << 16, 16, 7u << 15},
        {"region sample, two fraction planes", 0b11011, 5, 2, 5, false, 1u << 16, 16, 3u << 16},
        {"zero stays zero", 0, 1, 8, 0, false, 1u << 16, 16, 0},
        {"unit step, middle of the step", 3, 8, 8, 0, false, 1u << 16, 16, 7u << 15},
        {"a plane past the band is dropped", 5, 9, 8, 0, false, 1u << 16, 16, 5u << 15},
        {"only a plane past the band: zero", 1, 9, 8, 0, false, 1u << 16, 16, 0},
        {"step 2^-4", 3, 8, 8, 0, false, 1u << 16, 12, 7u << 11},
        {"exponent 0: 3.5 units round up", 3, 8, 8, 0, false, 1u << 16, 0, 4},
        {"negative exponent: 11.25 units round down", 7, 8, 8, 0, false, 3u << 16, -1, 11},
        {"far negative exponent", 7, 8, 8, 0, false, 3u << 16, -100, 0},
        {"shift past 32 saturates", 1, 1, 255, 0, true, 0, 0, kT1Saturated},
        {"far past the band", 1, 200, 8, 0, true, 0, 0, 0},
        {"huge exponent saturates", 1, 8, 8, 0, false, 1u << 16, 200, kT1Saturated},
        {"reversible saturates", 0x7FFFFFFF, 31, 31, 0, true, 0, 0, kT1Saturated},
        {"zero mantissa", 9, 8, 8, 0, false, 0, 40, 0},
    };
    for (const DequantCase& c : cases) {
        SCOPED_TRACE(c.name);
        const T1Dequant p = t1_dequant_params(c.h, c.roi, c.reversible, c.mantissa, c.exponent);
        EXPECT_EQ(t1_dequantise(c.d, c.g, p), c.want);
    }
}

TEST(Tier1Dequant, MatchesReferenceWhereNothingOverflows) {
    std::mt19937 rng(17);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t h = rng() % 20, g = rng() % 22, roi = rng() % 3 == 0 ? rng() % 10 : 0;
        const uint32_t d = g == 0 ? 0 : static_cast<uint32_t>(rng() & ((1u << (g > 20 ? 20 : g)) - 1));
        const bool rev = rng() & 1;
        const uint32_t mant = (2048 + rng() % 2048) * 32;
        const int32_t ex = static_cast<int32_t>(rng() % 24) - 4;
        int64_t want = t1_test::reference_dequantise(d, g, h, roi, rev, mant, ex);
        if (want > kT1Saturated) want = kT1Saturated;
        const T1Dequant p = t1_dequant_params(h, roi, rev, mant, ex);
        ASSERT_EQ(int64_t(t1_dequantise(d, g, p)), want)
            << "d " << d << " g " << g << " h " << h << " roi " << roi << " rev " << rev
            << " mant " << mant << " exp " << ex;
    }
}

// The per-block irreversible shortcut gives the general dequantiser's values wherever it
// accepts a block.
TEST(Tier1Dequant, BlockShortcutMatchesGeneralPath) {
    std::mt19937 rng(29);
    uint64_t taken = 0;
    for (int i = 0; i < 200000; ++i) {
        const uint32_t h = rng() % 34, g = rng() % 36;
        const uint32_t d = 1 + (rng() >> (rng() % 32));
        const uint32_t mant = (2048 + rng() % 2048) * 32;
        const int32_t ex = static_cast<int32_t>(rng() % 50) - 20;
        const T1Dequant p = t1_dequant_params(h, 0, false, mant, ex);
        T1IrreversibleScale s;
        if (!t1_irreversible_scale(g, p, &s)) continue;
        taken++;
        ASSERT_EQ(t1_irreversible_value(d, s), int32_t(t1_dequantise(d, g, p)))
            << "d " << d << " g " << g << " h " << h << " mant " << mant << " exp " << ex;
    }
    EXPECT_GT(taken, 50000u);
}

}  // namespace
