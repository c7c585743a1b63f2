// Whole code-blocks: random coefficient blocks encoded by the reference encoder with every
// code-block style, decoded by t1_decode_codeblock and compared sample by sample with the
// dequantised values the encoder's bookkeeping predicts, including truncation after any pass.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "support/t1_encoder.h"
#include "support/t1_harness.h"

namespace {

using t1_test::BandSetup;
using t1_test::BlockParams;
using t1_test::DecodeResult;
using t1_test::EncodedBlock;
using t1_test::Harness;
using t1_test::Segment;

// Quiet areas (run mode), sparse areas and busy areas with a heavy tail, random signs.
std::vector<int32_t> random_block(uint32_t w, uint32_t h, uint32_t planes, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<int32_t> c(size_t(w) * h);
    const double top = double((1u << planes) - 1);
    const uint32_t kind_seed = rng();
    for (uint32_t y = 0; y < h; ++y) {
        for (uint32_t x = 0; x < w; ++x) {
            const uint32_t cell = ((x / 5) * 7919u + (y / 6) * 104729u + kind_seed) % 10;
            double m = 0;
            if (cell >= 3 && cell < 6) m = u(rng) < 0.1 ? top * u(rng) * u(rng) : 0;
            else if (cell >= 6) m = top * u(rng) * u(rng) * u(rng);
            int32_t v = static_cast<int32_t>(m + 0.5);
            if (rng() & 1) v = -v;
            c[size_t(y) * w + x] = v;
        }
    }
    if (!c.empty()) c[0] = static_cast<int32_t>(top);  // the top plane is never empty
    return c;
}

struct Size {
    uint32_t w, h;
};
const Size kSizes[] = {{1, 1}, {3, 5}, {4, 4}, {17, 9}, {7, 11}, {64, 64}, {32, 128}, {128, 32}, {5, 1}};

void expect_decodes(Harness& hn, const std::vector<int32_t>& coeffs, const BlockParams& bp,
                    const BandSetup& bs) {
    const EncodedBlock e = t1_test::encode_block(coeffs, bp);
    const DecodeResult r = hn.decode(bs, bp.w, bp.h, e.segments);
    ASSERT_EQ(r.ok, 1) << (r.errors.empty() ? "" : r.errors[0]);
    EXPECT_TRUE(r.errors.empty());
    EXPECT_TRUE(r.outside_untouched);
    const std::vector<int32_t> want = Harness::expected(e, bs);
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(r.values[i], want[i]) << "sample " << i % bp.w << "," << i / bp.w;
}

TEST(Tier1Codeblock, EveryStyleCombinationRoundTrips) {
    Harness hn;
    for (uint32_t style = 0; style < 64; ++style) {
        for (size_t k = 0; k < std::size(kSizes); ++k) {
            const Size sz = kSizes[k];
            SCOPED_TRACE(testing::Message() << "style " << style << " size " << sz.w << "x"
                                            << sz.h);
            BlockParams bp;
            bp.w = sz.w;
            bp.h = sz.h;
            bp.planes = 9;  // 25 passes: raw passes appear with bypass
            bp.style = static_cast<uint8_t>(style);
            BandSetup bs;
            bs.style = bp.style;
            // Cycle through LL, HL, LH and HH.
            const uint32_t pick = static_cast<uint32_t>((k + style) % 4);
            bs.resolution = pick == 0 ? 0 : 1;
            bs.band = pick == 0 ? 0 : pick - 1;
            bp.orientation = pick == 1 ? t1_test::kHL : (pick == 3 ? t1_test::kHH : t1_test::kLLLH);
            bs.zero_bitplanes = 2;
            bs.magnitude_bits = static_cast<uint8_t>(11 + (style & 1));
            expect_decodes(hn, random_block(sz.w, sz.h, bp.planes, style * 31 + uint32_t(k)),
                           bp, bs);
        }
    }
}

TEST(Tier1Codeblock, TruncationAfterAnyPass) {
    const uint8_t styles[] = {0x00, 0x01, 0x02, 0x04, 0x05, 0x08, 0x11, 0x15, 0x20, 0x3F};
    const Size sizes[] = {{3, 5}, {16, 16}, {13, 7}, {64, 8}};
    Harness hn;
    for (uint8_t style : styles) {
        for (const Size sz : sizes) {
            const uint32_t planes = 6;
            const auto coeffs = random_block(sz.w, sz.h, planes, style + sz.w * 3);
            for (uint32_t passes = 1; passes <= 3 * planes - 2; ++passes) {
                SCOPED_TRACE(testing::Message() << "style " << int(style) << " size " << sz.w
                                                << "x" << sz.h << " passes " << passes);
                BlockParams bp;
                bp.w = sz.w;
                bp.h = sz.h;
                bp.planes = planes;
                bp.style = style;
                bp.max_passes = passes;
                bp.orientation = t1_test::kHH;
                BandSetup bs;
                bs.style = style;
                bs.resolution = 2;
                bs.band = 2;
                bs.magnitude_bits = 9;
                bs.zero_bitplanes = 3;
                if (passes % 2) {
                    // Irreversible: step 1.375 x 2^-3.
                    bs.quant_style = 2;
                    bs.mantissa = (2048 + 768) * 32;
                    bs.exponent = 13;
                }
                expect_decodes(hn, coeffs, bp, bs);
            }
        }
    }
}

TEST(Tier1Codeblock, RegionOfInterestShiftedSamples) {
    // Region samples scaled up by the shift sit above the band's depth; background below.
    const uint32_t w = 16, h = 12, shift = 5;
    std::vector<int32_t> coeffs(w * h);
    std::mt19937 rng(5);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const bool region = x >= 4 && x < 11 && y >= 3 && y < 9;
            int32_t v = static_cast<int32_t>(rng() % (region ? 256u : 32u));
            if (region) v <<= shift;
            coeffs[y * w + x] = (rng() & 1) ? -v : v;
        }
    coeffs[0] = 255 << shift;
    Harness hn;
    for (uint32_t passes : {1u, 5u, 13u, 22u, 37u}) {
        SCOPED_TRACE(passes);
        BlockParams bp;
        bp.w = w;
        bp.h = h;
        bp.planes = 13;
        bp.max_passes = passes;
        BandSetup bs;
        bs.magnitude_bits = 8;
        bs.roi_shift = shift;
        expect_decodes(hn, coeffs, bp, bs);
    }
}

struct NamedValue {
    const char* name;
    std::vector<int32_t> coeffs;
    uint32_t w, h, planes, passes;
    uint8_t magnitude_bits;
    uint32_t zero_bitplanes;
    std::vector<int32_t> want;
};

TEST(Tier1Codeblock, HandComputedValues) {
    const NamedValue cases[] = {
        // All planes of -3 decoded, reversible: -3 in two-fraction-bit form.
        {"negative three", {-3}, 1, 1, 2, 4, 12, 10, {-12}},
        // Cleanup, significance, refinement: 3 has two bits, count 2, g = h.
        {"two bits", {3}, 1, 1, 2, 3, 2, 0, {12}},
        // Same with two planes still missing: (3 << 2) | 2 = 14.
        {"two bits, mid-point", {3}, 1, 1, 2, 3, 4, 0, {56}},
        // One cleanup pass: significant samples are 1, one plane short: (1 << 1) | 1 = 3.
        {"one pass", {2, -3, 0, 1}, 2, 2, 2, 1, 2, 0, {12, -12, 0, 0}},
        // g = h - 1 with magnitude 5: (5 << 1) | 1 = 11.
        {"one plane short", {10, 11}, 2, 1, 4, 7, 4, 0, {44, 44}},
    };
    Harness hn;
    for (const NamedValue& c : cases) {
        SCOPED_TRACE(c.name);
        BlockParams bp;
        bp.w = c.w;
        bp.h = c.h;
        bp.planes = c.planes;
        bp.max_passes = c.passes;
        BandSetup bs;
        bs.magnitude_bits = c.magnitude_bits;
        bs.zero_bitplanes = c.zero_bitplanes;
        const EncodedBlock e = t1_test::encode_block(c.coeffs, bp);
        const DecodeResult r = hn.decode(bs, c.w, c.h, e.segments);
        EXPECT_EQ(r.ok, 1);
        EXPECT_EQ(r.values, c.want);
    }
}

TEST(Tier1Codeblock, BadSegmentationSymbolKeepsWhatWasDecoded) {
    const uint32_t w = 9, h = 6;
    const auto coeffs = random_block(w, h, 5, 77);
    BlockParams bp;
    bp.w = w;
    bp.h = h;
    bp.planes = 5;
    bp.style = 0x20;
    BandSetup bs;
    bs.style = 0x20;
    bs.magnitude_bits = 5;
    Harness hn;
    for (uint8_t bad : {uint8_t(0x05), uint8_t(0x0B), uint8_t(0x00)}) {
        SCOPED_TRACE(int(bad));
        bp.segmentation_symbol = bad;
        bp.max_passes = 0;
        const EncodedBlock e = t1_test::encode_block(coeffs, bp);
        const DecodeResult r = hn.decode(bs, w, h, e.segments);
        EXPECT_EQ(r.ok, 0);
        ASSERT_EQ(r.errors.size(), 1u);
        EXPECT_EQ(r.errors[0], "Error resilience segmentation symbol is not 0x0a.");
        // The failing symbol follows the first cleanup pass, whose samples stay.
        bp.segmentation_symbol = 0x0A;
        bp.max_passes = 1;
        EXPECT_EQ(r.values, Harness::expected(t1_test::encode_block(coeffs, bp), bs));
    }
}

// A first MQ segment (one cleanup pass) makes every sample of a one-row block significant;
// then a raw segment of significance + refinement reads one refinement bit per sample, and
// the check looks at what is left.
struct RawCase {
    const char* name;
    uint32_t width;
    std::vector<uint8_t> raw;
    uint8_t style;
    int ok;
    int32_t sign = 1;           // of every coefficient
    std::vector<int32_t> want = {};  // empty: value 2 + the refinement bit from `raw`, two planes
};

TEST(Tier1Codeblock, RawSegments) {
    const RawCase cases[] = {
        {"3 bits left, 010", 5, {0xB2}, 0x10, 1},  // 10110 then 010
        {"3 bits left, 011", 5, {0xB3}, 0x10, 0},
        {"no check without the style", 5, {0xB3}, 0x00, 1},
        {"7 bits left, 0101010", 1, {0x80 | 0x2A}, 0x10, 1},
        {"7 bits left, 0101011", 1, {0x80 | 0x2B}, 0x10, 0},
        {"byte used up, not FF", 8, {0xAA}, 0x10, 1},
        {"later bytes ignored", 8, {0xAA, 0x00, 0x13}, 0x10, 1},
        {"FF used up, then 2A", 8, {0xFF, 0x2A}, 0x10, 1},
        {"FF used up, then 2B", 8, {0xFF, 0x2B}, 0x10, 0},
        {"FF used up, then nothing", 8, {0xFF}, 0x10, 0},
        {"past the end: 1-bits", 5, {}, 0x10, 0},  // fill 0xFF: 5 bits 11111, 111 left
        // 0xFF gives eight ones; the next byte's top bit is stuffed: 0, then 0111111.
        {"bits after FF carry seven data bits", 9, {0xFF, 0x3F}, 0x00, 1, -1,
         {-12, -12, -12, -12, -12, -12, -12, -12, -8}},
        // An encoder drops a raw segment's final 0xFF; the missing bits come back as ones
        // (7-bit bytes after 0xFF: the rest is all ones too).
        {"final FF present", 12, {0xFF}, 0x00, 1, 1, std::vector<int32_t>(12, 12)},
        {"final FF dropped", 12, {}, 0x00, 1, 1, std::vector<int32_t>(12, 12)},
    };
    Harness hn;
    for (const RawCase& c : cases) {
        SCOPED_TRACE(c.name);
        BlockParams bp;
        bp.w = c.width;
        bp.h = 1;
        bp.planes = 1;
        EncodedBlock e = t1_test::encode_block(std::vector<int32_t>(c.width, c.sign), bp);
        ASSERT_EQ(e.segments.size(), 1u);
        Segment raw;
        raw.is_mq = false;
        raw.npasses = 2;
        raw.bytes = c.raw;
        e.segments.push_back(raw);
        BandSetup bs;
        bs.style = c.style;
        bs.magnitude_bits = 2;
        const DecodeResult r = hn.decode(bs, c.width, 1, e.segments);
        EXPECT_EQ(r.ok, c.ok);
        if (!c.ok) {
            ASSERT_EQ(r.errors.size(), 1u);
            EXPECT_EQ(r.errors[0], "Code-block stream predictable termination check failed.");
        }
        // Refinement bits are kept either way.
        std::vector<int32_t> want = c.want;
        if (want.empty()) {
            uint32_t bits = 0, nbits = 0;
            for (uint8_t b : c.raw) bits = (bits << 8) | b, nbits += 8;
            if (c.raw.empty()) bits = 0xFF, nbits = 8;
            for (uint32_t x = 0; x < c.width; ++x)
                want.push_back(int32_t(4 * (2 + ((bits >> (nbits - 1 - x)) & 1))));
        }
        EXPECT_EQ(r.values, want);
    }
}

TEST(Tier1Codeblock, ScratchGrowsAndIsReused) {
    Harness hn;
    T1Scratch* own = t1_scratch_create(hn.ops);
    ASSERT_NE(own, nullptr);
    const Size order[] = {{4, 4}, {64, 64}, {3, 5}, {1024, 4}, {4, 1024}, {17, 9}, {64, 64}};
    for (const Size sz : order) {
        SCOPED_TRACE(testing::Message() << sz.w << "x" << sz.h);
        BlockParams bp;
        bp.w = sz.w;
        bp.h = sz.h;
        bp.planes = 4;
        bp.style = 0x08;
        BandSetup bs;
        bs.style = 0x08;
        bs.magnitude_bits = 4;
        const EncodedBlock e = t1_test::encode_block(random_block(sz.w, sz.h, 4, sz.w), bp);
        const auto want = Harness::expected(e, bs);
        EXPECT_EQ(hn.decode(bs, sz.w, sz.h, e.segments).values, want);       // decoder's own
        EXPECT_EQ(hn.decode(bs, sz.w, sz.h, e.segments, own).values, want);  // caller's
    }
    EXPECT_NE(hn.dec.t1, nullptr);
    t1_scratch_destroy(hn.ops, own);
}

}  // namespace
