// Precinct and code-block partition, by hand and over random geometries, near the top of the
// 32-bit grid, and refused parameters.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/tier2_fixture.h"
#include "tier2/tile.h"

namespace {

using t2_test::Decoder;
using t2_test::Image;
using t2_test::Style;

struct Bounds {
    uint32_t x0, y0, x1, y1;
};

template <class T> Bounds bounds_of(const T& r) { return {r.x0, r.y0, r.x1, r.y1}; }

#define EXPECT_BOUNDS(actual, ex0, ey0, ex1, ey1)                                        \
    do {                                                                                 \
        const Bounds b_ = bounds_of(actual);                                             \
        EXPECT_EQ(b_.x0, uint32_t(ex0));                                                 \
        EXPECT_EQ(b_.y0, uint32_t(ey0));                                                 \
        EXPECT_EQ(b_.x1, uint32_t(ex1));                                                 \
        EXPECT_EQ(b_.y1, uint32_t(ey1));                                                 \
    } while (0)

// Partition cases: precinct exponents, code-block sizes, resulting counts.
struct PartitionCase {
    const char* name;
    uint32_t XOsiz, Xsiz, Ysiz;
    Style style;
    uint32_t r, b;
    uint32_t precincts_across, precincts_down;
    uint32_t cb_across, cb_down;
    uint8_t xcb_eff, ycb_eff;
    uint32_t stripe_rows;
};

Style make_style(uint8_t levels, uint8_t xcb, uint8_t ycb, std::vector<uint8_t> pp = {}) {
    Style s;
    s.levels = levels;
    s.xcb = xcb;
    s.ycb = ycb;
    s.precincts = std::move(pp);
    return s;
}

TEST(Partition, CountsAndEffectiveSizes) {
    const PartitionCase cases[] = {
        {"PP 15, 512 x 512, r 1: one precinct, 4 x 4 blocks", 0, 512, 512, make_style(1, 6, 6),
         1, 0, 1, 1, 4, 4, 6, 6, 64},
        {"PP 6 at r 1 halves the blocks to 32", 0, 512, 512,
         make_style(1, 6, 6, {0x66, 0x66}), 1, 2, 8, 8, 8, 8, 5, 5, 32},
        {"r 0 with PPx 5 and 64-wide blocks", 0, 512, 512, make_style(0, 6, 6, {0x55}), 0, 0,
         16, 16, 16, 16, 5, 5, 32},
        {"64 x 32 blocks on 100 x 70", 0, 100, 70, make_style(0, 6, 5), 0, 0, 1, 1, 2, 3, 6, 5,
         32},
        {"band shorter than a block", 0, 100, 10, make_style(0, 6, 6), 0, 0, 1, 1, 2, 1, 6, 6,
         10},
        {"resolution from x 3 with PPx 2", 3, 11, 4, make_style(0, 2, 2, {0x22}), 0, 0, 3, 1, 3,
         1, 2, 2, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Image img;
        img.XOsiz = c.XOsiz;
        img.Xsiz = c.Xsiz;
        img.Ysiz = c.Ysiz;
        img.XTsiz = img.YTsiz = 1024;
        Decoder dec(img);
        Tile* tile = dec.build_tile(0, {c.style});
        ASSERT_NE(tile, nullptr) << t2_test::Messages::last();
        const Resolution& res = tile->components[0].resolutions[c.r];
        EXPECT_EQ(res.precincts_across, c.precincts_across);
        EXPECT_EQ(res.precincts_down, c.precincts_down);
        const Band& band = res.bands[c.b];
        EXPECT_EQ(band.cb_across, c.cb_across);
        EXPECT_EQ(band.cb_down, c.cb_down);
        EXPECT_EQ(band.xcb_eff, c.xcb_eff);
        EXPECT_EQ(band.ycb_eff, c.ycb_eff);
        EXPECT_EQ(band.stripe_rows, c.stripe_rows);
        EXPECT_EQ(band.band_width, band.x1 - band.x0);
    }
}

TEST(Partition, EmptyBandHasNoBlocks) {
    // A tile one sample wide at an even x: resolution 1 has no high-pass column.
    Image img;
    img.Xsiz = 1;
    img.Ysiz = 16;
    Decoder dec(img);
    Tile* tile = dec.build_tile(0, {make_style(1, 4, 4)});
    ASSERT_NE(tile, nullptr);
    const Resolution& res = tile->components[0].resolutions[1];
    ASSERT_EQ(res.precinct_count, 1u);
    const Band& hl = res.bands[0];
    EXPECT_EQ(hl.x0, hl.x1);
    EXPECT_EQ(hl.cb_across, 0u);
    EXPECT_EQ(hl.code_blocks, nullptr);
    EXPECT_EQ(res.precincts[0].bands[0].blocks, nullptr);
    EXPECT_EQ(res.precincts[0].bands[0].inclusion_tree, nullptr);
    EXPECT_NE(res.bands[1].code_blocks, nullptr);  // LH keeps its blocks
}

// For random geometries: precincts tile the resolution, each precinct's blocks lie in its
// band part, and the band-wide grid lists every block once in raster order.
TEST(Partition, InvariantsOverRandomGeometries) {
    std::mt19937 rng(5);
    for (int iter = 0; iter < 150; iter++) {
        Image img;
        img.XOsiz = rng() % 40;
        img.YOsiz = rng() % 40;
        img.Xsiz = img.XOsiz + 1 + rng() % 150;
        img.Ysiz = img.YOsiz + 1 + rng() % 150;
        img.XTOsiz = rng() % (img.XOsiz + 1);
        img.YTOsiz = rng() % (img.YOsiz + 1);
        img.XTsiz = img.Xsiz - img.XTOsiz;  // one tile
        img.YTsiz = img.Ysiz - img.YTOsiz;
        img.components = {{uint8_t(1 + rng() % 3), uint8_t(1 + rng() % 3), 8}};
        Style s = make_style(uint8_t(rng() % 4), uint8_t(2 + rng() % 4), uint8_t(2 + rng() % 4));
        if (rng() % 2) {
            for (uint32_t r = 0; r <= s.levels; r++)
                s.precincts.push_back(uint8_t((1 + rng() % 5) | ((1 + rng() % 5) << 4)));
        }
        SCOPED_TRACE("iteration " + std::to_string(iter));
        Decoder dec(img);
        Tile* tile = dec.build_tile(0, {s});
        ASSERT_NE(tile, nullptr) << t2_test::Messages::last();
        const TileComponent& tc = tile->components[0];
        for (uint32_t r = 0; r < tc.resolution_count; r++) {
            const Resolution& res = tc.resolutions[r];
            uint64_t area = 0;
            for (uint32_t p = 0; p < res.precinct_count; p++) {
                const Precinct& prec = res.precincts[p];
                area += uint64_t(prec.x1 - prec.x0) * (prec.y1 - prec.y0);
            }
            EXPECT_EQ(area, uint64_t(res.x1 - res.x0) * (res.y1 - res.y0));
            for (uint32_t b = 0; b < res.band_count; b++) {
                const Band& band = res.bands[b];
                uint64_t blocks = 0, block_area = 0;
                for (uint32_t p = 0; p < res.precinct_count; p++) {
                    const PrecinctBand& pb = res.precincts[p].bands[b];
                    for (uint32_t i = 0; pb.blocks && i < pb.blocks_across * pb.blocks_down;
                         i++) {
                        const CodeBlock& cb = pb.blocks[i];
                        ASSERT_LE(pb.x0, cb.x0);
                        ASSERT_LE(cb.x1, pb.x1);
                        ASSERT_LE(pb.y0, cb.y0);
                        ASSERT_LE(cb.y1, pb.y1);
                        ASSERT_LE(cb.x1 - cb.x0, 1u << band.xcb_eff);
                        ASSERT_LE(cb.y1 - cb.y0, 1u << band.ycb_eff);
                        blocks++;
                        block_area += uint64_t(cb.x1 - cb.x0) * (cb.y1 - cb.y0);
                    }
                }
                const uint64_t band_area = uint64_t(band.x1 - band.x0) * (band.y1 - band.y0);
                EXPECT_EQ(block_area, band_area);
                EXPECT_EQ(blocks, uint64_t(band.cb_across) * band.cb_down);
                if (!band.code_blocks) continue;
                // Raster order: left edges grow along a row, rows start at the band's left.
                for (uint32_t y = 0; y < band.cb_down; y++) {
                    const CodeBlock* first = band.code_blocks[y * band.cb_across];
                    EXPECT_EQ(first->x0, band.x0);
                    for (uint32_t x = 1; x < band.cb_across; x++) {
                        const CodeBlock* prev = band.code_blocks[y * band.cb_across + x - 1];
                        const CodeBlock* cur = band.code_blocks[y * band.cb_across + x];
                        ASSERT_EQ(prev->x1, cur->x0);
                        ASSERT_EQ(prev->y0, cur->y0);
                    }
                }
            }
        }
    }
}

TEST(Partition, DeepLevelsNearTheTopOfTheGrid) {
    // 32 levels on coordinates just below 2^32: every shift reaches 32 or 33 bits.
    Image img;
    img.XOsiz = 0xFFFFFF00u;
    img.YOsiz = 0xFFFFFFF0u;
    img.Xsiz = img.Ysiz = 0xFFFFFFFFu;
    img.XTOsiz = 0xFFFFFE00u;
    img.YTOsiz = 0xFFFFFE00u;
    img.XTsiz = img.YTsiz = 0x1000;
    Decoder dec(img);
    Tile* tile = dec.build_tile(0, {make_style(32, 6, 6)});
    ASSERT_NE(tile, nullptr) << t2_test::Messages::last();
    const TileComponent& tc = tile->components[0];
    ASSERT_EQ(tc.resolution_count, 33u);
    EXPECT_BOUNDS(tc.resolutions[32], 0xFFFFFF00u, 0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFFFFu);
    // At r = 0 both edges round up to 1: an empty resolution with no precincts.
    EXPECT_EQ(tc.resolutions[0].x0, 1u);
    EXPECT_EQ(tc.resolutions[0].x1, 1u);
    EXPECT_EQ(tc.resolutions[0].precinct_count, 0u);
    EXPECT_EQ(tc.resolutions[32].precinct_count, 1u);
    const Band& hh = tc.resolutions[32].bands[2];
    EXPECT_EQ(hh.x1 - hh.x0, 0x7Fu);  // odd columns of 0xFFFFFF00..0xFFFFFFFE
}

TEST(Partition, RefusedParameters) {
    struct Case {
        const char* name;
        Style style;
        const char* message;
    };
    const Case cases[] = {
        {"precinct exponent 0 above resolution 0", make_style(1, 6, 6, {0x00, 0x50}),
         "Precinct size exponent 0 above resolution 0."},
        {"33 levels", make_style(33, 6, 6), "Too many decomposition levels."},
        {"code-block exponent 11", make_style(0, 11, 2), "Code-block size is out of range."},
        {"code-block area above 4096", make_style(0, 7, 7), "Code-block size is out of range."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder dec(Image{});
        EXPECT_EQ(dec.build_tile(0, {c.style}), nullptr);
        EXPECT_EQ(t2_test::Messages::last(), c.message);
        EXPECT_EQ(dec.get()->tiles[0].components, nullptr);  // nothing half-built remains
    }
    // Precinct exponent 0 is fine at resolution 0.
    Decoder dec(Image{});
    EXPECT_NE(dec.build_tile(0, {make_style(1, 6, 6, {0x00, 0x11})}), nullptr);
}

}  // namespace
