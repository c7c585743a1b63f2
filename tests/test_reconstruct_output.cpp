// Scanline output: conversions, component transforms, and the output set-up's limits on
// decoders assembled by hand (zero coefficients, so every sample is the component's level).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "codestream/jpcdec_impl.h"
#include "io/mem_ops.h"
#include "reconstruct/recon_internal.h"
#include "tier2/tile.h"

namespace {

struct ConvertCase {
    const char* name;
    int reversible;
    uint32_t is_signed, precision;
    int32_t in, want;
};

TEST(ReconstructOutput, ConversionsRoundShiftAndClamp) {
    const ConvertCase cases[] = {
        {"u8 zero is mid-grey", 1, 0, 8, 0 * 4, 128},
        {"u8 -128 is black", 1, 0, 8, -128 * 4, 0},
        {"u8 127 is white", 1, 0, 8, 127 * 4, 255},
        {"u8 200 clamps", 1, 0, 8, 200 * 4, 255},
        {"u8 -300 clamps", 1, 0, 8, -300 * 4, 0},
        {"irreversible 0", 0, 1, 8, 0, 0},
        {"irreversible -0.5 to even", 0, 1, 8, -32768, 0},
        {"irreversible +0.5 to even", 0, 1, 8, 32768, 0},
        {"irreversible +1.5 to even", 0, 1, 8, 98304, 2},
        {"irreversible -1.5 to even", 0, 1, 8, -98304, -2},
        {"irreversible +2.5 to even", 0, 1, 8, 163840, 2},
        {"irreversible -2.5 to even", 0, 1, 8, -163840, -2},
        {"irreversible just above a half", 0, 1, 8, 32769, 1},
        {"irreversible just below a half", 0, 1, 8, 32767, 0},
        {"reversible -4", 1, 1, 8, -4, -1},
        {"reversible a half floors", 1, 1, 8, 2, 0},
        {"reversible minus a half floors", 1, 1, 8, -2, -1},
        {"s12 clamps high", 1, 1, 12, 5000 * 4, 2047},
        {"s12 clamps low", 1, 1, 12, -5000 * 4, -2048},
        {"u1", 1, 0, 1, 0, 1},
        {"u10 level", 1, 0, 10, 188 * 4, 700},
        {"irreversible extreme negative", 0, 1, 16, INT32_MIN, -32768},
        {"irreversible extreme positive", 0, 0, 16, INT32_MAX, 65535},
        {"38-bit depth stays defined", 1, 0, 38, 0, INT32_MAX},
        {"38-bit signed keeps the value", 1, 1, 38, -400, -100},
    };
    // Fewer fraction bits, and depths past the 32-bit path: halves still go to even.
    int32_t half = -6144;  // -1.5 with 12 fraction bits
    convert_samples(&half, 1, 0, 1, 8, 12);
    EXPECT_EQ(half, -2);
    int32_t deep[2] = {-32768, 163840};  // -0.5 and 2.5, signed 38 bits
    convert_samples(deep, 2, 0, 1, 38, 16);
    EXPECT_EQ(deep[0], 0);
    EXPECT_EQ(deep[1], 2);
    for (const ConvertCase& c : cases) {
        SCOPED_TRACE(c.name);
        int32_t v = c.in;
        convert_samples(&v, 1, c.reversible, c.is_signed, c.precision, 16);
        EXPECT_EQ(v, c.want);
    }
}

TEST(ReconstructOutput, InverseRctOnIntegers) {
    // Y = 100, U = 10, V = -6: G = 100 - floor(4 / 4) = 99, R = 93, B = 109.
    int32_t y[2] = {100 * 4, 0}, u[2] = {10 * 4, -1 * 4}, v[2] = {-6 * 4, -2 * 4};
    inverse_rct(y, u, v, 2);
    EXPECT_EQ(y[0], 93 * 4);
    EXPECT_EQ(u[0], 99 * 4);
    EXPECT_EQ(v[0], 109 * 4);
    // Y = 0, U = -1, V = -2: G = 0 - floor(-3 / 4) = 1, R = -1, B = 0.
    EXPECT_EQ(y[1], -1 * 4);
    EXPECT_EQ(u[1], 1 * 4);
    EXPECT_EQ(v[1], 0 * 4);
}

TEST(ReconstructOutput, InverseIctRoundValues) {
    const int32_t one = 65536;
    int32_t y[3] = {100 * one, 0, 0}, u[3] = {0, one, 0}, v[3] = {0, 0, one};
    inverse_ict(y, u, v, 3);
    // Grey passes unchanged; a unit of U or V gives the transform's constants, rounded to the
    // nearest 1/65536 (1.402, 0.34413, 1.772, 0.71414).
    EXPECT_EQ(y[0], 100 * one);
    EXPECT_EQ(u[0], 100 * one);
    EXPECT_EQ(v[0], 100 * one);
    EXPECT_EQ(y[1], 0);
    EXPECT_EQ(u[1], -22553);
    EXPECT_EQ(v[1], 116130);
    EXPECT_EQ(y[2], 91881);
    EXPECT_EQ(u[2], -46802);
    EXPECT_EQ(v[2], 0);
    // Deep samples saturate instead of wrapping.
    int32_t a = INT32_MAX - 10, b = INT32_MAX - 10, c = INT32_MAX - 10;
    inverse_ict(&a, &b, &c, 1);
    EXPECT_EQ(a, INT32_MAX);
    EXPECT_EQ(c, INT32_MAX);
    EXPECT_LT(b, 0);  // Y - 1.06 Y: negative, computed without overflow
}

// ---- decoders assembled by hand ----

struct CompSpec {
    uint8_t ssiz, xr, yr;
};

class HandDecoder {
public:
    // Image 0..width x 0..height, tiles tw x th from the origin.
    HandDecoder(uint32_t width, uint32_t height, uint32_t tw, uint32_t th,
                std::vector<CompSpec> comps, uint8_t mct = 0, uint64_t budget = 0)
        : comps_(comps) {
        ops_ = budget ? memops_create_with_budget(budget) : memops_create();
        std::memset(&d_, 0, sizeof d_);
        d_.ops = ops_;
        d_.Xsiz = width;
        d_.Ysiz = height;
        d_.XTsiz = tw;
        d_.YTsiz = th;
        d_.Csiz = d_.component_num = uint16_t(comps.size());
        for (const CompSpec& c : comps) {
            ssiz_.push_back(c.ssiz);
            xr_.push_back(c.xr);
            yr_.push_back(c.yr);
        }
        d_.ssiz = ssiz_.data();
        d_.xrsiz = xr_.data();
        d_.yrsiz = yr_.data();
        d_.numXtiles = (width + tw - 1) / tw;
        d_.numYtiles = (height + th - 1) / th;
        d_.tileNum = d_.numXtiles * d_.numYtiles;
        tiles_.resize(d_.tileNum);
        tcs_.resize(d_.tileNum, std::vector<TileComponent>(comps.size()));
        res_.resize(d_.tileNum, std::vector<Resolution>(comps.size()));
        for (uint32_t t = 0; t < d_.tileNum; t++) {
            Tile& tile = tiles_[t];
            std::memset(&tile, 0, sizeof tile);
            const uint32_t p = t % d_.numXtiles, q = t / d_.numXtiles;
            tile.x0 = p * tw;
            tile.y0 = q * th;
            tile.x1 = std::min(width, (p + 1) * tw);
            tile.y1 = std::min(height, (q + 1) * th);
            tile.components = tcs_[t].data();
            tile.component_count = uint16_t(comps.size());
            tile.mct = mct;
            tile.transform = 1;
            tile.built = 1;
            for (size_t j = 0; j < comps.size(); j++) {
                TileComponent& tc = tcs_[t][j];
                Resolution& res = res_[t][j];
                std::memset(&tc, 0, sizeof tc);
                std::memset(&res, 0, sizeof res);
                tc.tile = &tile;
                tc.x0 = (tile.x0 + comps[j].xr - 1) / comps[j].xr;
                tc.x1 = (tile.x1 + comps[j].xr - 1) / comps[j].xr;
                tc.y0 = (tile.y0 + comps[j].yr - 1) / comps[j].yr;
                tc.y1 = (tile.y1 + comps[j].yr - 1) / comps[j].yr;
                tc.resolution_count = 1;
                tc.resolutions = &res;
                tc.is_signed = comps[j].ssiz >> 7;
                tc.precision = uint8_t((comps[j].ssiz & 0x7F) + 1);
                tc.xrsiz = comps[j].xr;
                tc.yrsiz = comps[j].yr;
                tc.transform = 1;
                res.component = &tc;
                res.band_count = 1;
                res.x0 = tc.x0;
                res.x1 = tc.x1;
                res.y0 = tc.y0;
                res.y1 = tc.y1;
                Band& ll = res.bands[0];
                ll.x0 = tc.x0;
                ll.x1 = tc.x1;
                ll.y0 = tc.y0;
                ll.y1 = tc.y1;
                ll.band_width = tc.x1 - tc.x0;
            }
        }
        d_.tiles = tiles_.data();
    }
    ~HandDecoder() {
        jpcdec_finish_output(&d_);
        EXPECT_EQ(memops_in_use(ops_), 0u);
        ops_->release(ops_);
    }
    jpcdec* d() { return &d_; }
    Tile& tile(uint32_t t) { return tiles_[t]; }

private:
    std::vector<CompSpec> comps_;
    MemOps* ops_;
    jpcdec d_;
    std::vector<uint8_t> ssiz_, xr_, yr_;
    std::vector<Tile> tiles_;
    std::vector<std::vector<TileComponent>> tcs_;
    std::vector<std::vector<Resolution>> res_;
};

// One output component of a tile that uses the component transform: the three components
// it reads are decoded internally, only the first is stored.
TEST(ReconstructOutput, FewerOutputsThanTheTransformNeeds) {
    HandDecoder h(5, 2, 5, 2, {{0x07, 1, 1}, {0x07, 1, 1}, {0x07, 1, 1}}, 1);
    jpcdec* d = h.d();
    ASSERT_EQ(jpcdec_set_output(d, 1, nullptr, 1), 1);
    EXPECT_EQ(d->out_count, 1);
    EXPECT_GE(d->decode_count, 3);
    for (int y = 0; y < 2; y++) {
        std::vector<uint8_t> row(5, 0xEE);
        ASSERT_EQ(jpcdec_decode_row(d, row.data()), 1);
        for (uint8_t b : row) EXPECT_EQ(b, 128);
    }
}

TEST(ReconstructOutput, AtMost32ComponentsAreOutput) {
    HandDecoder h(2, 1, 2, 1, std::vector<CompSpec>(40, CompSpec{0x07, 1, 1}));
    jpcdec* d = h.d();
    ASSERT_EQ(jpcdec_set_output(d, 40, nullptr, 40), 1);
    EXPECT_EQ(d->component_num, 32);
    EXPECT_EQ(d->out_count, 32);
    std::vector<uint8_t> row(2 * 40, 0xEE);
    ASSERT_EQ(jpcdec_decode_row(d, row.data()), 1);
    for (int x = 0; x < 2; x++)
        for (int j = 0; j < 40; j++) EXPECT_EQ(row[x * 40 + j], j < 32 ? 128 : 0xEE) << j;
}

TEST(ReconstructOutput, SetOutputRefusesWhatCannotWork) {
    {
        HandDecoder h(4, 1, 4, 1, {{0x07, 1, 1}, {0x07, 1, 1}});
        const uint32_t offsets[2] = {0, 3};  // outside a 3-byte pixel
        EXPECT_EQ(jpcdec_set_output(h.d(), 2, offsets, 3), 0);
        uint8_t row[12];
        EXPECT_EQ(jpcdec_decode_row(h.d(), row), 0);
    }
    for (uint64_t limit : {29u, 30u}) {
        // The caller's pixel limit, against a 6 x 5 image.
        HandDecoder h(6, 5, 6, 5, {{0x07, 1, 1}});
        jpcdec_set_max_pixels(h.d(), limit);
        EXPECT_EQ(jpcdec_set_output(h.d(), 1, nullptr, 1), limit >= 30 ? 1 : 0) << limit;
    }
    {
        // Row buffers of a very wide image do not fit a small budget.
        HandDecoder h(1u << 20, 1, 1u << 20, 1, {{0x07, 1, 1}}, 0, 1u << 16);
        EXPECT_EQ(jpcdec_set_output(h.d(), 1, nullptr, 1), 0);
    }
}

}  // namespace
