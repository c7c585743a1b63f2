// Tier-1: the MQ decoder against a model written from the decoding procedure with its own
// probability table; dequantisation against a reference in half steps; code-blocks made by
// hand for the checks encoders never trip (raw termination, segmentation symbols, bit-plane
// and size limits). Whole streams with every code-block style are in test_reconstruct.
#include <gtest/gtest.h>

#include <random>

#include "tier1/mq_decoder.h"
#include "tier1/t1.h"
#include "tier1/t1_dequant.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

// ---- MQ: the model keeps Qe, the next states and the switch flag in its own table ----
const uint16_t kQe[47] = {
    0x5601, 0x3401, 0x1801, 0x0AC1, 0x0521, 0x0221, 0x5601, 0x5401, 0x4801, 0x3801, 0x3001, 0x2401,
    0x1C01, 0x1601, 0x5601, 0x5401, 0x5101, 0x4801, 0x3801, 0x3401, 0x3001, 0x2801, 0x2401, 0x2201,
    0x1C01, 0x1801, 0x1601, 0x1401, 0x1201, 0x1101, 0x0AC1, 0x09C1, 0x08A1, 0x0521, 0x0441, 0x02A1,
    0x0221, 0x0141, 0x0111, 0x0085, 0x0049, 0x0025, 0x0015, 0x0009, 0x0005, 0x0001, 0x5601};
const uint8_t kNmps[47] = {1,  2,  3,  4,  5,  38, 7,  8,  9,  10, 11, 12, 13, 29, 15, 16,
                           17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32,
                           33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 44, 45, 45, 46};
const uint8_t kNlps[47] = {1,  6,  9,  12, 29, 33, 6,  14, 14, 14, 17, 18, 20, 21, 14, 14,
                           15, 16, 17, 18, 19, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29,
                           30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43, 46};

struct Model {
    const std::vector<uint8_t>& data;
    size_t pos = 0;
    uint32_t B, C, A = 0x8000;
    int CT = 0;
    int I[19] = {4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 46}, MPS[19] = {};

    explicit Model(const std::vector<uint8_t>& d) : data(d), B(d.empty() ? 0xFF : d[pos++]), C(B << 16) {
        byte_in();
        C <<= 7, CT -= 7;
    }
    void byte_in() {  // past the end every byte reads as 0xFF (and 0xFF as a marker's start)
        const uint32_t b = pos < data.size() ? data[pos++] : 0xFF;
        if (B == 0xFF && b > 0x8F) {
            C += 0xFF00, CT = 8;
        } else {
            C += B == 0xFF ? b << 9 : b << 8;
            CT = B == 0xFF ? 7 : 8;
        }
        B = b;
    }
    int decode(int cx) {
        const uint32_t qe = kQe[I[cx]];
        int d = MPS[cx];
        A -= qe;
        const bool lower = (C >> 16) < qe;
        if (!lower) C -= qe << 16;
        if (lower || !(A & 0x8000)) {
            const bool lps = lower ? A >= qe : A < qe;  // with the exchange folded in
            if (lower) A = qe;
            if (lps) {
                d = 1 - d;
                if (I[cx] == 0 || I[cx] == 6 || I[cx] == 14) MPS[cx] = 1 - MPS[cx];
                I[cx] = kNlps[I[cx]];
            } else {
                I[cx] = kNmps[I[cx]];
            }
            do {
                if (CT == 0) byte_in();
                A <<= 1, C <<= 1, CT--;
            } while (!(A & 0x8000));
        }
        return d;
    }
};

// Both decisions (branching and branch-free, at random) of the passes' padded coder agree
// with the model, decision by decision and register by register, on any bytes: 0xFF pairs,
// 0xFF followed by 0x80..0x8F, and the end of data.
TEST(Tier1Mq, FastDecoderMatchesTheModel) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 1000; ++trial) {
        SCOPED_TRACE(trial);
        std::vector<uint8_t> bytes(rng() % 40);
        for (size_t k = 0; k < bytes.size(); k++) {  // often 0xFF, then often a carrying byte
            const uint32_t pick = rng() % 6;
            bytes[k] = uint8_t(pick == 0 ? 0xFF : pick < 3 && k && bytes[k - 1] == 0xFF ? 0x80 + rng() % 16 : rng());
        }
        if (trial < 2) bytes = trial ? std::vector<uint8_t>{} : std::vector<uint8_t>{0x12, 0xFF, 0x8F, 0xFF, 0x90, 0x34};
        Model model(bytes);
        const int n = trial == 1 ? 6000 : 600;
        std::vector<uint8_t> padded(bytes);  // a decision reads at most 3 bytes
        padded.resize(bytes.size() + n * 3 + 16, 0xFF);
        MqPaddedCoder mp;
        mq_init_padded(&mp, padded.data());
        uint32_t words[kMqContextCount];
        mq_reset_context_words(words);
        for (int cx = 0; cx < kMqContextCount; ++cx) ASSERT_EQ(words[cx], kMqContextWord[model.I[cx] << 1]) << cx;
        for (int i = 0; i < n; ++i) {
            const int cx = trial == 1 ? 0 : int(rng() % kMqContextCount);  // 1: down the table, to state 40
            const bool even = rng() & 1;
            const int want = model.decode(cx);
            ASSERT_EQ(even ? mq_decode_even(mp, &words[cx]) : mq_decode(mp, &words[cx]), want) << i;
            ASSERT_EQ(words[cx], kMqContextWord[(model.I[cx] << 1) | model.MPS[cx]]);
            ASSERT_EQ(std::vector<uint64_t>({mp.a >> MqPaddedCoder::kAShift, mp.c >> 48}),
                      std::vector<uint64_t>({model.A, model.C >> 16}));
        }
        EXPECT_TRUE(trial != 1 || model.I[0] >= 40) << model.I[0];
    }
}

// ---- Dequantisation ----

// The reconstruction in half steps: 2 x (index + the middle of what is not decoded), times
// the mantissa x 2^(exponent - 17), to the nearest unit; x4 on the reversible path.
int64_t reference_dequantise(int64_t d, uint32_t g, uint32_t h, uint32_t roi, bool reversible,
                             uint32_t mantissa, int32_t exponent) {
    int64_t half_steps, missing = int64_t(h) - g;
    const int64_t region = roi != 0 && g >= h ? d >> (g - h) : 0;
    if (region != 0 && g > h) {
        half_steps = d >> (g - h - 1);  // a region sample: its first fraction plane only
        if (reversible) return (half_steps >> 1) * 4;
    } else {
        if (roi != 0 && g >= h && region == 0) missing += roi;  // a background sample
        if (d == 0) return 0;
        if (missing > 0) {
            half_steps = (2 * d + 1) << missing;
            if (reversible) return (half_steps >> 1) * 4;
        } else {
            const int64_t q = d >> -missing;
            if (q == 0) return 0;  // only bits below the step were decoded
            if (reversible) return q * 4;
            half_steps = 2 * q + 1;
        }
    }
    const int64_t v = half_steps * int64_t(mantissa);
    if (exponent >= 17) return v << (exponent - 17);
    const int k = 17 - exponent;
    return (v + (int64_t(1) << (k - 1))) >> k;
}

// Named cases outside the reference's ranges (saturation, far exponents), the reference, and
// the block shortcut against the general path.
TEST(Tier1Dequant, NamedCasesReferenceAndShortcut) {
    const struct { const char* name; uint32_t d, g, h, roi; bool reversible; uint32_t mantissa; int32_t exponent; uint32_t want; } cases[] = {
        {"far negative exponent", 7, 8, 8, 0, false, 3u << 16, -100, 0},
        {"shift past 32 saturates", 1, 1, 255, 0, true, 0, 0, kT1Saturated},
        {"far past the band", 1, 200, 8, 0, true, 0, 0, 0},
        {"huge exponent saturates", 1, 8, 8, 0, false, 1u << 16, 200, kT1Saturated},
        {"reversible saturates", 0x7FFFFFFF, 31, 31, 0, true, 0, 0, kT1Saturated},
        {"zero mantissa", 9, 8, 8, 0, false, 0, 40, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(t1_dequantise(c.d, c.g, t1_dequant_params(c.h, c.roi, c.reversible, c.mantissa, c.exponent)),
                  c.want) << c.name;
    std::mt19937 rng(17);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t h = rng() % 20, g = rng() % 22, roi = rng() % 3 == 0 ? rng() % 10 : 0;
        const uint32_t d = g == 0 ? 0 : uint32_t(rng() & ((1u << (g > 20 ? 20 : g)) - 1));
        const bool rev = rng() & 1;
        const uint32_t mant = (2048 + rng() % 2048) * 32;
        const int32_t ex = int32_t(rng() % 24) - 4;
        const int64_t want = std::min<int64_t>(kT1Saturated, reference_dequantise(d, g, h, roi, rev, mant, ex));
        ASSERT_EQ(int64_t(t1_dequantise(d, g, t1_dequant_params(h, roi, rev, mant, ex))), want)
            << "d " << d << " g " << g << " h " << h << " roi " << roi << " rev " << rev << " exp " << ex;
    }
    // The per-block irreversible shortcut gives the general path's values wherever it applies.
    uint64_t taken = 0;
    for (int i = 0; i < 200000; ++i) {
        const uint32_t h = rng() % 34, g = rng() % 36, d = 1 + (rng() >> (rng() % 32));
        const T1Dequant p = t1_dequant_params(h, 0, false, (2048 + rng() % 2048) * 32, int32_t(rng() % 50) - 20);
        T1IrreversibleScale s;
        if (!t1_irreversible_scale(g, p, &s)) continue;
        taken++;
        ASSERT_EQ(t1_irreversible_value(d, s), int32_t(t1_dequantise(d, g, p))) << d << " " << g << " " << h;
    }
    EXPECT_GT(taken, 50000u);
}

// ---- Code-blocks made by hand ----

struct Seg { bool mq; uint32_t passes; std::vector<uint8_t> bytes; };

std::vector<std::string>* g_errors = nullptr;

struct BlockResult {
    int ok = 0;
    std::vector<int32_t> values;
    std::vector<std::string> errors;
    bool outside_untouched = true;  // the guard samples around the block kept their value
};

// Decodes a reversible w x h block into the middle of a stripe of guard values.
BlockResult decode_block(uint8_t style, uint32_t w, uint32_t h, uint8_t magnitude_bits,
                         std::vector<Seg> segs, uint32_t zero_bitplanes = 0, uint8_t roi = 0) {
    MemOps* ops = memops_create();
    DecodeContext ctx{ops, [](const char* m) { g_errors->push_back(m); }, nullptr, {}};
    T1Scratch* scratch = t1_scratch_create(ops);
    T1BandStyle band{};
    band.cblk_style = style, band.roi_shift = roi, band.reversible = 1;
    band.magnitude_bits = magnitude_bits;
    CodeBlock cb{64, 128, 64 + w, 128 + h, zero_bitplanes, {}};
    std::vector<CodedSegment> records(segs.size());
    for (size_t i = 0; i < segs.size(); ++i) {
        CodedSegment& r = records[i];
        r.is_mq = segs[i].mq, r.total_len = r.new_len = uint32_t(segs[i].bytes.size());
        r.data = segs[i].bytes.empty() ? nullptr : segs[i].bytes.data();
        r.npasses = r.max_passes = segs[i].passes;
        r.next = i + 1 < segs.size() ? &records[i + 1] : nullptr;
    }
    cb.segments.head = records.empty() ? nullptr : &records[0];
    const uint32_t stride = w + 6;
    std::vector<int32_t> stripe(size_t(stride) * (h + 6), 0x5A5A5A5A);
    BlockResult res;
    g_errors = &res.errors;
    res.ok = t1_decode_codeblock(&ctx, scratch, &band, &cb, &stripe[3 * stride + 3], stride);
    for (uint32_t y = 0; y < h + 6; y++)
        for (uint32_t x = 0; x < stride; x++) {
            const int32_t v = stripe[size_t(y) * stride + x];
            if (x >= 3 && x < w + 3 && y >= 3 && y < h + 3) res.values.push_back(v);
            else res.outside_untouched &= v == 0x5A5A5A5A;
        }
    t1_scratch_destroy(ops, scratch);
    ops->release(ops);
    return res;
}

const char kTooDeep[] = "Code-block has more bit-planes than a sample can hold.";
const char kTooBig[] = "Code-block is larger than 4096 samples.";

// A cleanup pass (MQ) makes every sample of a one-row block significant at magnitude 1; a raw
// significance + refinement segment then reads one refinement bit per sample, and with
// predictable termination (0x10) the check looks at what is left of the raw bytes.
TEST(Tier1Block, RawSegmentTermination) {
    // want empty: 4 x (2 + the refinement bit from raw)
    const struct { const char* name; uint32_t width; std::vector<uint8_t> raw; uint8_t style; int ok; int32_t sign; std::vector<int32_t> want; } cases[] = {
        {"3 bits left, 010", 5, {0xB2}, 0x10, 1, 1, {}}, {"3 bits left, 011", 5, {0xB3}, 0x10, 0, 1, {}},
        {"no check without the style", 5, {0xB3}, 0x00, 1, 1, {}},
        {"7 bits left, 0101010", 1, {0xAA}, 0x10, 1, 1, {}}, {"7 bits left, 0101011", 1, {0xAB}, 0x10, 0, 1, {}},
        {"byte used up, not FF", 8, {0xAA}, 0x10, 1, 1, {}}, {"later bytes ignored", 8, {0xAA, 0x00, 0x13}, 0x10, 1, 1, {}},
        {"FF used up, then 2A", 8, {0xFF, 0x2A}, 0x10, 1, 1, {}}, {"FF used up, then 2B", 8, {0xFF, 0x2B}, 0x10, 0, 1, {}},
        {"FF used up, then nothing", 8, {0xFF}, 0x10, 0, 1, {}}, {"past the end: 1-bits", 5, {}, 0x10, 0, 1, {12, 12, 12, 12, 12}},
        // The byte after 0xFF carries seven data bits: 0, then 0111111.
        {"seven bits after FF", 9, {0xFF, 0x3F}, 0x00, 1, -1, {-12, -12, -12, -12, -12, -12, -12, -12, -8}},
        // An encoder may drop a final 0xFF: the missing bits come back as ones.
        {"final FF present", 12, {0xFF}, 0x00, 1, 1, std::vector<int32_t>(12, 12)}, {"final FF dropped", 12, {}, 0x00, 1, 1, std::vector<int32_t>(12, 12)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // The cleanup pass's codeword for this width and sign.
        const std::vector<uint8_t> cleanup =
            c.width == 1 ? std::vector<uint8_t>{0x03} : c.sign > 0 ? std::vector<uint8_t>{0x02, uint8_t(c.width == 5 ? 0x7F : 0x9F)}
                                                                   : std::vector<uint8_t>{0x09, 0x5F};
        const BlockResult r = decode_block(c.style, c.width, 1, 2, {{true, 1, cleanup}, {false, 2, c.raw}});
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.errors, c.ok ? std::vector<std::string>{}
                                 : std::vector<std::string>{"Code-block stream predictable termination check failed."});
        std::vector<int32_t> want = c.want;
        for (uint32_t x = 0; want.empty() || want.size() < c.width; x++)  // refinement bits stay
            want.push_back(4 * (2 + ((c.raw[x / 8] >> (7 - x % 8)) & 1)));
        EXPECT_EQ(r.values, want);
    }
}

// Segmentation symbols after each cleanup pass (style 0x20) of a 2 x 2 block {5, -3, 0, 6}:
// a wrong one fails the block, keeping the first cleanup pass's samples.
TEST(Tier1Block, SegmentationSymbol) {
    const struct { std::vector<uint8_t> bytes; int ok; std::vector<int32_t> want; } cases[] = {
        {{0x04, 0x59, 0xCC, 0x0C, 0x7F}, 1, {20, -12, 0, 24}},  // 0x0A
        {{0x04, 0x97, 0xD2, 0x33}, 0, {24, 0, 0, 24}},          // 0x05
        {{0x04, 0x54, 0x6B, 0x4F}, 0, {24, 0, 0, 24}},          // 0x0B
        {{0x04, 0x8D, 0x18, 0x2D}, 0, {24, 0, 0, 24}},          // 0x00
    };
    for (const auto& c : cases) {
        const BlockResult r = decode_block(0x20, 2, 2, 3, {{true, 7, c.bytes}});
        EXPECT_EQ(r.ok, c.ok);
        EXPECT_EQ(r.errors, c.ok ? std::vector<std::string>{}
                                 : std::vector<std::string>{"Error resilience segmentation symbol is not 0x0a."});
        EXPECT_EQ(r.values, c.want);
    }
}

TEST(Tier1Block, BitPlaneAndSizeLimits) {
    const struct {
        const char* name; uint32_t w, h, zero_bitplanes; std::vector<uint32_t> passes;  // one MQ segment each
        uint8_t magnitude_bits, roi; const char* error;
    } cases[] = {
        {"22 passes fill 8 planes", 8, 8, 0, {22}, 8, 0, nullptr}, {"a ninth plane decodes", 8, 8, 0, {23}, 8, 0, nullptr},
        {"zero planes fill 31 bits", 8, 8, 30, {1}, 8, 0, nullptr}, {"zero planes past 31", 8, 8, 31, {1}, 8, 0, kTooDeep},
        {"ROI shift adds room", 8, 8, 5, {13}, 5, 5, nullptr}, {"ROI cannot pass 31", 8, 8, 20, {34}, 30, 10, kTooDeep},
        {"31 bits at most", 8, 8, 0, {91}, 40, 0, nullptr}, {"32 bits refused", 8, 8, 0, {92}, 40, 0, kTooDeep},
        {"huge zero planes", 8, 8, 0xFFFFFFFFu, {1}, 255, 255, kTooDeep},
        {"huge pass count", 8, 8, 0, {0xFFFFFFFFu, 0xFFFFFFFFu}, 255, 0, kTooDeep},
        {"spread over segments", 8, 8, 23, {10, 2, 1, 2, 1, 2, 1, 2, 1}, 8, 0, nullptr},
        {"spread, one too many", 8, 8, 23, {10, 2, 1, 2, 1, 2, 1, 2, 1, 1}, 8, 0, kTooDeep},
        {"no passes: zeros, planes unread", 16, 16, 0xFFFFFFFFu, {0}, 8, 0, nullptr},
        {"no segments", 16, 16, 0xFFFFFFFFu, {}, 8, 0, nullptr},
        {"1024 x 4", 1024, 4, 0, {4}, 8, 0, nullptr}, {"4 x 1024", 4, 1024, 0, {4}, 8, 0, nullptr},
        {"2048 x 1", 2048, 1, 0, {4}, 8, 0, kTooBig}, {"1 x 2048", 1, 2048, 0, {4}, 8, 0, kTooBig},
        {"65 x 64", 65, 64, 0, {4}, 8, 0, kTooBig},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Seg> segs;
        for (uint32_t p : c.passes) segs.push_back({true, p, {0x12, 0x34, 0x56}});
        const BlockResult r = decode_block(0, c.w, c.h, c.magnitude_bits, segs, c.zero_bitplanes, c.roi);
        EXPECT_EQ(r.ok, c.error ? 0 : 1);
        EXPECT_EQ(r.errors, c.error ? std::vector<std::string>{c.error} : std::vector<std::string>{});
        EXPECT_TRUE(r.outside_untouched);
        const bool zeros = c.error == kTooDeep || c.passes.empty() || c.passes[0] == 0;
        for (int32_t v : r.values) ASSERT_TRUE(!zeros || v == 0);
    }
}

}  // namespace
