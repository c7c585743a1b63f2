// Reconstruction: the wavelet synthesis against a whole-array reference (mirrored indexing,
// each column lifted in one go), the sample conversions and component transforms as tables,
// small fixtures against expected decodings, and the output set-up's limits and memory.
#include <gtest/gtest.h>

#include <random>

#include "codestream/jpcdec.h"
#include "reconstruct/recon_internal.h"
#include "support/app_tool.h"
#include "support/reconstruct_images.h"
#include "tier2/tile.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

using rec_test::Plane;

int64_t floor_div(int64_t a, int64_t b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }
int64_t mul(int64_t c, int64_t v) { return (c * v + kConstHalf) >> kConstBits; }

// One-dimensional synthesis of samples i0 .. i1-1, extended by mirrored indexing: the integer
// 5/3 (plain integers) or the 9/7 in the decoder's fixed point with its constants.
std::vector<int64_t> reference(const std::vector<int64_t>& y, int64_t i0, int64_t i1, bool rev) {
    if (i1 - i0 == 1) return {(i0 & 1) ? floor_div(y[0], 2) : y[0]};
    const int64_t lo = i0 - 6, period = 2 * (i1 - i0 - 1);
    std::vector<int64_t> x(size_t(i1 - i0 + 12));
    auto at = [&](int64_t i) -> int64_t& { return x[size_t(i - lo)]; };
    for (int64_t i = lo; i < i1 + 6; i++) {
        const int64_t k = ((i - i0) % period + period) % period;
        at(i) = y[size_t(std::min(k, period - k))];
    }
    const int64_t a = floor_div(i0, 2), b = floor_div(i1, 2);
    if (rev) {
        for (int64_t m = a; m <= b; m++) at(2 * m) -= floor_div(at(2 * m - 1) + at(2 * m + 1) + 2, 4);
        for (int64_t m = a; m < b; m++) at(2 * m + 1) += floor_div(at(2 * m) + at(2 * m + 2), 2);
    } else {
        for (int64_t m = a - 1; m <= b + 1; m++) at(2 * m) = mul(kLiftK, at(2 * m));
        for (int64_t m = a - 2; m <= b + 1; m++) at(2 * m + 1) = mul(kLiftInvK, at(2 * m + 1));
        for (int64_t m = a - 1; m <= b + 1; m++) at(2 * m) -= mul(kLiftDelta, at(2 * m - 1) + at(2 * m + 1));
        for (int64_t m = a - 1; m <= b; m++) at(2 * m + 1) -= mul(kLiftGamma, at(2 * m) + at(2 * m + 2));
        for (int64_t m = a; m <= b; m++) at(2 * m) -= mul(kLiftBeta, at(2 * m - 1) + at(2 * m + 1));
        for (int64_t m = a; m < b; m++) at(2 * m + 1) -= mul(kLiftAlpha, at(2 * m) + at(2 * m + 2));
    }
    return std::vector<int64_t>(x.begin() + (i0 - lo), x.begin() + (i1 - lo));
}

// An interleaved level: w x h coefficients at (x0 + i, y0 + j), row-major.
struct Level { uint32_t x0, y0, w, h; bool rev; std::vector<int32_t> c; };

// The decoder's row filter on row y, fed its low and high halves (4 spare samples each side).
void pull_row(void* p, uint32_t y, int32_t* line) {
    auto* lv = static_cast<Level*>(p);
    std::vector<int32_t> half[2] = {std::vector<int32_t>(4), std::vector<int32_t>(4)};
    for (uint32_t i = 0; i < lv->w; i++) half[(lv->x0 + i) & 1].push_back(lv->c[(y - lv->y0) * lv->w + i]);
    for (auto& v : half) v.resize(v.size() + 4);
    if (lv->rev) synth_53_row(line, &half[0][4], &half[1][4], lv->x0, lv->x0 + lv->w);
    else lift_97_split(&half[0][4], &half[1][4], lv->x0, lv->x0 + lv->w, line);
}

// The decoder's line-based vertical synthesis, 3 calls past the last row (which give zeros).
std::vector<int32_t> synthesise(Level& lv, bool narrow = false) {
    MemOps* ops = memops_create();
    LevelRows res{};
    res.narrow53 = narrow;
    res.x0 = lv.x0, res.x1 = lv.x0 + lv.w, res.y0 = lv.y0, res.y1 = lv.y0 + lv.h;
    const uint32_t low_width = (res.x1 + 1) / 2 - (res.x0 + 1) / 2;
    EXPECT_EQ(recon_level_alloc(ops, &res, low_width, lv.rev ? 1 : 0), 1);
    std::vector<int32_t> out(size_t(lv.w) * (lv.h + 3), -7);
    for (uint32_t r = 0; r < lv.h + 3; r++)
        (lv.rev ? vertical_53_next : vertical_97_next)(&res, pull_row, &lv, &out[r * lv.w]);
    recon_level_free(ops, &res);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
    return out;
}

TEST(ReconstructLifting, LevelsMatchTheReference) {
    std::mt19937 rng(1234);
    std::uniform_int_distribution<int32_t> dist(-300, 300);
    std::vector<Level> levels;
    for (bool rev : {false, true}) {
        for (uint32_t x0 : {10u, 11u})
            for (uint32_t y0 : {4u, 7u})
                for (uint32_t w = 1; w <= 8; w++)
                    for (uint32_t h = 1; h <= 8; h++) levels.push_back({x0, y0, w, h, rev, {}});
        for (uint32_t y0 : {0u, 1u, 2u, 3u})  // the rings' steady state and both endings
            for (uint32_t h : {9u, 10u, 11u, 12u, 31u, 32u}) levels.push_back({3, y0, 5, h, rev, {}});
        for (uint32_t x0 : {0u, 1u, 6u, 7u})  // single rows: the row filters' edges
            for (uint32_t w = 9; w <= 41; w++) levels.push_back({x0, 0, w, 1, rev, {}});
    }
    for (Level& lv : levels) {
        // A lone odd column keeps its half in the fraction bits, which integers cannot hold.
        if (lv.rev && lv.w == 1 && (lv.x0 & 1) && lv.h > 1) continue;
        SCOPED_TRACE(testing::Message() << (lv.rev ? "5/3" : "9/7") << " x0=" << lv.x0 << " y0="
                                        << lv.y0 << " w=" << lv.w << " h=" << lv.h);
        lv.c.resize(size_t(lv.w) * lv.h);
        for (auto& v : lv.c) v = lv.rev ? dist(rng) * 4 : dist(rng) * 65536 + dist(rng) * 200;
        std::vector<int64_t> a(lv.c.begin(), lv.c.end());
        for (auto& v : a) v = lv.rev ? v / 4 : v;
        for (uint32_t r = 0; r < lv.h; r++) {
            const auto row = reference({a.begin() + r * lv.w, a.begin() + (r + 1) * lv.w}, lv.x0, lv.x0 + lv.w, lv.rev);
            std::copy(row.begin(), row.end(), a.begin() + r * lv.w);
        }
        for (uint32_t i = 0; i < lv.w; i++) {
            std::vector<int64_t> col(lv.h);
            for (uint32_t r = 0; r < lv.h; r++) col[r] = a[r * lv.w + i];
            col = reference(col, lv.y0, lv.y0 + lv.h, lv.rev);
            for (uint32_t r = 0; r < lv.h; r++) a[r * lv.w + i] = lv.rev ? col[r] * 4 : col[r];
        }
        const std::vector<int32_t> got = synthesise(lv);
        if (lv.rev) {
            ASSERT_EQ(synthesise(lv, true), got) << "32-bit sums";
        }
        // Columns of more than 5 rows split some 9/7 updates into two rounded products.
        const int64_t tolerance = lv.rev || lv.h <= 5 ? 0 : 8;
        for (uint32_t i = 0; i < lv.w * lv.h; i++)
            ASSERT_LE(std::llabs((lv.rev ? got[i] & ~3 : got[i]) - a[i]), tolerance) << "sample " << i;
        for (uint32_t i = lv.w * lv.h; i < got.size(); i++) ASSERT_EQ(got[i], 0) << "past the last row";
    }
}

// Values near the int32 edges saturate instead of wrapping; a flat low band keeps its level
// (unit gain at zero frequency, which coarse constants miss by ~1e-5 per pass).
TEST(ReconstructLifting, SaturationAndFlatLowBand) {
    for (uint32_t h : {1u, 4u, 9u}) {
        Level lv{0, 0, 6, h, false, std::vector<int32_t>(size_t(6) * h, 0)};
        for (uint32_t y = 0; y < h; y += 2)
            for (uint32_t x = 0; x < 6; x += 2) lv.c[y * 6 + x] = INT32_MAX - 5;
        for (int32_t v : synthesise(lv)) EXPECT_TRUE(v > INT32_MAX / 2 || v == 0);
        for (auto& v : lv.c) v = v ? INT32_MIN + 3 : 0;
        for (int32_t v : synthesise(lv)) EXPECT_TRUE(v < INT32_MIN / 2 || v == 0);
    }
    for (uint32_t x0 : {0u, 1u})
        for (uint32_t y0 : {0u, 1u}) {
            Level lv{x0, y0, 24, 24, false, std::vector<int32_t>(24 * 24, 0)};
            for (uint32_t y = 0; y < 24; y++)
                for (uint32_t x = 0; x < 24; x++)
                    if (((x0 + x) & 1) == 0 && ((y0 + y) & 1) == 0) lv.c[y * 24 + x] = 1000 * 65536;
            const std::vector<int32_t> got = synthesise(lv);
            for (uint32_t i = 0; i < 24 * 24; i++) ASSERT_LE(std::llabs(got[i] - 1000 * 65536), 16) << i;
        }
}

TEST(ReconstructOutput, ConversionsRoundShiftAndClamp) {
    const struct { const char* name; int reversible; uint32_t is_signed, precision, frac; int32_t in, want; } cases[] = {
        {"u8 zero is mid-grey", 1, 0, 8, 16, 0, 128}, {"u8 -128 is black", 1, 0, 8, 16, -512, 0},
        {"u8 127 is white", 1, 0, 8, 16, 508, 255}, {"u8 200 clamps", 1, 0, 8, 16, 800, 255},
        {"u8 -300 clamps", 1, 0, 8, 16, -1200, 0}, {"irreversible 0", 0, 1, 8, 16, 0, 0},
        {"-0.5 to even", 0, 1, 8, 16, -32768, 0}, {"+0.5 to even", 0, 1, 8, 16, 32768, 0}, {"+1.5 to even", 0, 1, 8, 16, 98304, 2},
        {"-1.5 to even", 0, 1, 8, 16, -98304, -2}, {"+2.5 to even", 0, 1, 8, 16, 163840, 2}, {"-2.5 to even", 0, 1, 8, 16, -163840, -2},
        {"just above a half", 0, 1, 8, 16, 32769, 1}, {"just below a half", 0, 1, 8, 16, 32767, 0},
        {"-1.5 in 12 fraction bits", 0, 1, 8, 12, -6144, -2}, {"-0.5, 38 bits", 0, 1, 38, 16, -32768, 0},
        {"2.5, 38 bits", 0, 1, 38, 16, 163840, 2}, {"reversible -4", 1, 1, 8, 16, -4, -1},
        {"reversible a half floors", 1, 1, 8, 16, 2, 0}, {"reversible minus a half", 1, 1, 8, 16, -2, -1},
        {"s12 clamps high", 1, 1, 12, 16, 20000, 2047}, {"s12 clamps low", 1, 1, 12, 16, -20000, -2048},
        {"u1", 1, 0, 1, 16, 0, 1}, {"u10 level", 1, 0, 10, 16, 752, 700},
        {"extreme negative", 0, 1, 16, 16, INT32_MIN, -32768}, {"extreme positive", 0, 0, 16, 16, INT32_MAX, 65535},
        {"38-bit depth stays defined", 1, 0, 38, 16, 0, INT32_MAX}, {"38-bit signed keeps the value", 1, 1, 38, 16, -400, -100},
    };
    for (const auto& c : cases) {
        int32_t v = c.in;
        convert_samples(&v, 1, c.reversible, c.is_signed, c.precision, c.frac);
        EXPECT_EQ(v, c.want) << c.name;
    }
}

TEST(ReconstructOutput, ComponentTransforms) {
    // RCT, x4: (Y, U, V) = (100, 10, -6) gives G = 99, R = 93, B = 109; (0, -1, -2) gives
    // G = 1, R = -1, B = 0.
    int32_t y[2] = {400, 0}, u[2] = {40, -4}, v[2] = {-24, -8};
    inverse_rct(y, u, v, 2);
    EXPECT_EQ(std::vector<int32_t>({y[0], u[0], v[0], y[1], u[1], v[1]}),
              std::vector<int32_t>({372, 396, 436, -4, 4, 0}));
    // ICT in 16.16: grey passes; a unit of U or V gives the constants, rounded.
    const int32_t one = 65536;
    int32_t iy[4] = {100 * one, 0, 0, INT32_MAX - 10}, iu[4] = {0, one, 0, INT32_MAX - 10},
            iv[4] = {0, 0, one, INT32_MAX - 10};
    inverse_ict(iy, iu, iv, 4);
    EXPECT_EQ(std::vector<int32_t>({iy[0], iu[0], iv[0], iy[1], iu[1], iv[1], iy[2], iu[2], iv[2]}),
              std::vector<int32_t>({100 * one, 100 * one, 100 * one, 0, -22553, 116130, 91881, -46802, 0}));
    EXPECT_TRUE(iy[3] == INT32_MAX && iv[3] == INT32_MAX && iu[3] < 0);  // deep samples saturate
}

std::vector<uint8_t> fixture(const std::string& name) {
    std::vector<uint8_t> b;
    EXPECT_TRUE(rec_test::read_file(app_test::data_path(name), &b)) << name;
    return b;
}

// Fixtures (made by make-*-fixtures) against their source or what both black-box decoders
// give, within a peak error and mean squared error; the t1_ ones after each of three layers
// (the expected images stack them), so that blocks stop after every kind of pass.
TEST(ReconstructFixtures, StreamsMatchTheirExpectedDecoding) {
    const struct {
        const char *stream, *expected; int32_t peak; double mse;
        uint32_t layers = 0;  // 0: all; else the decodes after 1 .. layers, stacked
    } cases[] = {
        {"rec_tiles_rgb_45x30.j2c", "rec_tiles_rgb_45x30.ppm", 0, 0}, {"rec_deep16_19x11.j2c", "rec_deep16_19x11.pgm", 0, 0},
        {"rec_offset_grey_37x23.j2c", "rec_offset_grey_37x23.pgm", 0, 0}, {"rec_blocks_64x48.j2c", "rec_blocks_64x48.pgm", 0, 0},
        {"rec_blocks_dwt_64x48.j2c", "rec_blocks_64x48.pgm", 0, 0}, {"rec_irr16_48x40.j2c", "rec_irr16_48x40.pgm", 3, 0.5},
        {"rec_irr12_24x20.j2c", "rec_irr12_24x20.expected.pgm", 1, 0.1},
        {"peer_guard0_rgb_32x24.j2c", "peer_guard0_rgb_32x24.ppm", 0, 0}, {"peer_guard0_ict_32x24.j2c", "peer_guard0_ict_32x24.ppm", 0, 0},
        {"peer_flat_grey_32x24.j2c", "peer_flat_grey_32x24.pgm", 0, 0}, {"peer_flat_deep16_24x16.j2c", "peer_flat_deep16_24x16.pgm", 0, 0},
        {"peer_flat_s12_24x16.j2c", "peer_flat_s12_24x16.pgx", 0, 0}, {"peer_damaged_tile_64x48.j2c", "peer_damaged_tile_64x48.pgm", 0, 0},
        {"t1_plain.j2c", "t1_plain.pgm", 0, 0, 3}, {"t1_bypass.j2c", "t1_bypass.pgm", 0, 0, 3},
        {"t1_reset_segmark.j2c", "t1_reset_segmark.pgm", 0, 0, 3}, {"t1_vsc.j2c", "t1_vsc.pgm", 0, 0, 3},
        {"t1_restart_erterm.j2c", "t1_restart_erterm.pgm", 0, 0, 3}, {"t1_all.j2c", "t1_all.pgm", 0, 0, 3},
        {"t1_roi.j2c", "t1_roi.pgm", 0, 0, 3},
        {"t1_irreversible_all.j2c", "t1_irreversible_all.pgm", 1, 0.01, 3},  // floating point there
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        std::vector<Plane> want;
        ASSERT_TRUE(rec_test::read_image(app_test::data_path(c.expected), &want));
        for (uint32_t l = 1; l <= std::max(c.layers, 1u); l++) {
            rec_test::Decoded dec;
            ASSERT_TRUE(rec_test::decode(fixture(c.stream), 32, &dec, c.layers ? l : 0));
            ASSERT_EQ(dec.components.size(), want.size());
            for (size_t k = 0; k < want.size(); k++) {
                const Plane& got = dec.components[k];
                ASSERT_EQ(got.width, want[k].width);
                ASSERT_EQ(got.height * std::max(c.layers, 1u), want[k].height);
                int32_t peak = 0;
                double sum = 0;
                for (size_t i = 0; i < got.samples.size(); i++) {
                    const int32_t e = std::abs(got.samples[i] - want[k].samples[(l - 1) * got.samples.size() + i]);
                    peak = std::max(peak, e);
                    sum += double(e) * e;
                }
                EXPECT_LE(peak, c.peak) << "component " << k << ", layers " << l;
                EXPECT_LE(sum / double(got.samples.size()), c.mse) << "component " << k << ", layers " << l;
            }
        }
    }
}

// A decoder over bytes the test owns, with its errors counted.
struct Parsed {
    explicit Parsed(std::vector<uint8_t> b) : bytes(std::move(b)), ops(memops_create()) {
        d = jpcdec_create(ops, s = memory_stream_create(ops, bytes.data(), uint32_t(bytes.size())));
        errors = 0;
        jpcdec_set_hooks(d, [](const char*) { errors++; }, nullptr);
        ok = jpcdec_parse(d);
    }
    ~Parsed() {
        jpcdec_destroy(d);
        s->close(s);
        EXPECT_EQ(memops_in_use(ops), 0u);
        ops->release(ops);
    }
    static inline int errors = 0;
    std::vector<uint8_t> bytes;
    MemOps* ops;
    Stream* s;
    jpcdec* d;
    int ok;
};

// Damage inside one code-block's bytes (read again at output time) is reported and changes
// only the pixels its coefficients reach: without transform levels the block's own square
// (16..32, 16..32); with two, twice the finest HL block (band 16..32 x 0..16) widened by the
// 5/3's reach.
TEST(ReconstructFixtures, DamagedCodeBlockStaysLocal) {
    std::vector<Plane> src;
    ASSERT_TRUE(rec_test::read_pnm(app_test::data_path("rec_blocks_64x48.pgm"), &src));
    const struct { const char* stream; uint32_t at; int64_t x0, y0, x1, y1; } cases[] = {  // at: 4 bytes
        {"rec_blocks_64x48.j2c", 1451, 16, 16, 32, 32}, {"rec_blocks_dwt_64x48.j2c", 1237, 29, -3, 67, 35}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        Parsed p(fixture(c.stream));
        ASSERT_TRUE(p.ok);
        for (uint32_t i = c.at; i < c.at + 4; i++) p.bytes[i] ^= 0x5A;
        ASSERT_EQ(jpcdec_set_output(p.d, 1, nullptr, 1), 1);
        uint32_t inside = 0, outside = 0;
        std::vector<uint8_t> row(64);
        for (uint32_t y = 0; y < 48; y++) {
            ASSERT_EQ(jpcdec_decode_row(p.d, row.data()), 1);
            for (uint32_t x = 0; x < 64; x++) {
                const bool in = x >= c.x0 && x < c.x1 && y >= c.y0 && y < c.y1;
                (in ? inside : outside) += row[x] != src[0].at(x, y);
            }
        }
        EXPECT_TRUE(Parsed::errors >= 1 && inside > 0) << Parsed::errors << " errors, " << inside << " inside";
        EXPECT_EQ(outside, 0u);
    }
}

// Output set-up: offsets inside the pixel, a component transform that needs three components
// when one is output, buffers of a tile row that exist only while it is delivered, at most 32
// components output, and tile buffers that cannot be had (zero coefficients: mid-grey).
TEST(ReconstructOutput, SetUpLimitsAndMemory) {
    {
        Parsed p(fixture("rec_tiles_rgb_45x30.j2c"));
        const uint32_t outside[2] = {0, 3};
        EXPECT_EQ(jpcdec_set_output(p.d, 2, outside, 3), 0);
        std::vector<uint8_t> row(45 * 3);
        EXPECT_EQ(jpcdec_decode_row(p.d, row.data()), 0);
        ASSERT_EQ(jpcdec_set_output(p.d, 1, nullptr, 1), 1);
        std::vector<uint64_t> in_use;
        for (uint32_t y = 0; y < 30; y++) {
            ASSERT_EQ(jpcdec_decode_row(p.d, row.data()), 1);
            in_use.push_back(memops_in_use(p.ops));
        }
        // Tile rows of 16 and 14: rows 15 and 29 end them.
        EXPECT_TRUE(in_use[15] == in_use[29] && in_use[15] < in_use[0] && in_use[15] < in_use[16]);
    }
    std::vector<uint8_t> many;  // 257 components: at most 32 are output, the rest untouched
    if (rec_test::read_file(rec_test::corpus_dir() + "/conformance/p0_13.j2k", &many)) {
        Parsed p(many);
        ASSERT_EQ(jpcdec_set_output(p.d, 40, nullptr, 40), 1);
        std::vector<uint8_t> row(40 * 1024, 0xEE);
        ASSERT_EQ(jpcdec_decode_row(p.d, row.data()), 1);
        for (uint32_t j = 32; j < 40; j++) EXPECT_EQ(row[j], 0xEE) << j;
    }
    Parsed p(fixture("rec_blocks_dwt_64x48.j2c"));
    memops_set_budget(p.ops, memops_in_use(p.ops) + 64);
    EXPECT_EQ(jpcdec_set_output(p.d, 1, nullptr, 1), 0);  // not even the row buffers
    memops_set_budget(p.ops, 0);
    ASSERT_EQ(jpcdec_set_output(p.d, 1, nullptr, 1), 1);
    memops_set_budget(p.ops, memops_in_use(p.ops) + 64);  // but not the tile's buffers
    std::vector<uint8_t> row(64);
    for (uint32_t y = 0; y < 48; y++) {
        ASSERT_EQ(jpcdec_decode_row(p.d, row.data()), 1) << y;
        for (uint32_t x = 0; x < 64; x++) ASSERT_EQ(row[x], 128) << x << ", " << y;
    }
    EXPECT_EQ(jpcdec_decode_row(p.d, row.data()), 0);
}

}  // namespace
