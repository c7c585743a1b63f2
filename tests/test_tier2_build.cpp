// tile_build from real headers: which segment wins for each tile-component, quantisation
// into the bands, tiles no tile-part announces, and refused values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codestream/jpc_markers.h"
#include "codestream/jpcdec.h"
#include "codestream/jpcdec_impl.h"
#include "support/codestream_fixtures.h"
#include "tier2/tile.h"

namespace {

using cs_test::Bytes;
using cs_test::CodParams;
using cs_test::SizParams;

// GCC sees the default component list of SizParams as maybe uninitialised; it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
SizParams siz(uint32_t w, uint32_t h, uint32_t tw, uint32_t th, uint32_t components) {
    SizParams p;
    p.Xsiz = w;
    p.Ysiz = h;
    p.XTsiz = tw;
    p.YTsiz = th;
    p.components.assign(components, cs_test::SizComponent{7, 1, 1});
    return p;
}
#pragma GCC diagnostic pop

// A tile-part without packets: SOT, header segments, SOD.
Bytes empty_tile_part(uint16_t tile, const Bytes& header) {
    Bytes b = cs_test::sot(tile, uint32_t(12 + header.size() + 2), 0, 1);
    return b.add(header).u16(kMarkerSOD);
}

Bytes stream(const Bytes& main, const std::vector<Bytes>& parts) {
    Bytes b = main;
    for (const Bytes& p : parts) b.add(p);
    return b.u16(kMarkerEOC);
}

Bytes rgn(uint8_t component, uint8_t shift) {
    return cs_test::segment(kMarkerRGN, Bytes().u8(component).u8(0).u8(shift));
}

TEST(TileBuild, CodingStyleResolution) {
    CodParams cod;
    cod.Scod = 1;  // precinct sizes given
    cod.levels = 2;
    cod.layers = 3;
    cod.progression = 2;
    cod.precincts = {0x33, 0x44, 0x55};
    CodParams coc = cod;
    coc.Scod = 0;  // component 1: no precinct sizes
    coc.xcb = coc.ycb = 2;
    const Bytes extra = cs_test::segment(kMarkerCOC, cs_test::coc_body(1, coc)).add(rgn(1, 5));
    const Bytes main = cs_test::main_header(siz(64, 64, 64, 64, 3), cod, extra);
    cs_test::Decoder dec(stream(main, {empty_tile_part(0, {})}));
    ASSERT_EQ(jpcdec_parse(dec.get()), 1) << cs_test::Messages::errors.back();
    const Tile& t = dec.get()->tiles[0];
    ASSERT_EQ(t.built, 1u);
    EXPECT_EQ(t.layers, 3u);
    EXPECT_EQ(t.progression, 2u);
    EXPECT_EQ(t.max_resolutions, 3u);
    const TileComponent& c0 = t.components[0];
    const TileComponent& c1 = t.components[1];
    EXPECT_EQ(c0.resolutions[0].PPx, 3u);
    EXPECT_EQ(c0.resolutions[2].PPy, 5u);
    for (uint32_t r = 0; r < 3; r++) {
        EXPECT_EQ(c1.resolutions[r].PPx, 15u);  // COC without precinct sizes: 15 / 15
        EXPECT_EQ(c1.resolutions[r].PPy, 15u);
    }
    EXPECT_EQ(c0.xcb, 6u);
    EXPECT_EQ(c1.xcb, 4u);
    EXPECT_EQ(c0.roi_shift, 0u);
    EXPECT_EQ(c1.roi_shift, 5u);
    // Reversible QCD, two guard bits, exponent 8: M_b = 2 + 8 - 1 everywhere.
    for (uint32_t c = 0; c < 3; c++)
        for (uint32_t r = 0; r < 3; r++)
            for (uint32_t b = 0; b < t.components[c].resolutions[r].band_count; b++)
                EXPECT_EQ(t.components[c].resolutions[r].bands[b].magnitude_bits, 9u);
}

TEST(TileBuild, TilePartSegmentsWin) {
    CodParams cod;
    cod.levels = 1;
    CodParams coc = cod;
    coc.levels = 2;
    const Bytes extra = cs_test::segment(kMarkerCOC, cs_test::coc_body(1, coc)).add(rgn(1, 5));
    const Bytes main = cs_test::main_header(siz(64, 64, 64, 64, 2), cod, extra);
    CodParams tile_cod;
    tile_cod.levels = 3;
    tile_cod.layers = 7;
    tile_cod.progression = 4;
    const Bytes header = cs_test::segment(kMarkerCOD, cs_test::cod_body(tile_cod))
                             .add(cs_test::segment(kMarkerQCD, cs_test::qcd_body_reversible(3, 1, 9)))
                             .add(rgn(1, 3));
    cs_test::Decoder dec(stream(main, {empty_tile_part(0, header)}));
    ASSERT_EQ(jpcdec_parse(dec.get()), 1) << cs_test::Messages::errors.back();
    const Tile& t = dec.get()->tiles[0];
    EXPECT_EQ(t.layers, 7u);
    EXPECT_EQ(t.progression, 4u);
    // Tile-part COD comes before main COC.
    EXPECT_EQ(t.components[0].levels, 3u);
    EXPECT_EQ(t.components[1].levels, 3u);
    EXPECT_EQ(t.components[1].roi_shift, 3u);
    EXPECT_EQ(t.components[1].resolutions[3].bands[2].magnitude_bits, 9u);  // 1 + 9 - 1
    ASSERT_NE(t.progression_state, nullptr);
    EXPECT_EQ(t.progression_state->head->LYE, 7u);
    EXPECT_EQ(t.progression_state->head->order, 4u);
}

TEST(TileBuild, TileWithoutTilePartIsBuiltEmpty) {
    const Bytes main = cs_test::main_header(siz(128, 64, 64, 64, 1), CodParams{});
    cs_test::Decoder dec(stream(main, {empty_tile_part(0, {})}));
    ASSERT_EQ(jpcdec_parse(dec.get()), 1) << cs_test::Messages::errors.back();
    const Tile& t = dec.get()->tiles[1];
    ASSERT_EQ(t.built, 1u);
    EXPECT_EQ(t.x0, 64u);
    EXPECT_EQ(t.x1, 128u);
    EXPECT_EQ(t.progression_state, nullptr);
    // No packet reached its code-blocks, so none were made: the band is all zero.
    EXPECT_EQ(t.components[0].resolutions[0].bands[0].code_blocks, nullptr);
}

TEST(TileBuild, TooFewQuantisationValuesFail) {
    const Bytes main = cs_test::main_header(siz(64, 64, 64, 64, 1), CodParams{});
    CodParams tile_cod;
    tile_cod.levels = 3;  // needs 10 values
    Bytes qcd;
    qcd.u8(0x40).u8(0x48).u8(0x48).u8(0x48).u8(0x48);
    const Bytes header = cs_test::segment(kMarkerCOD, cs_test::cod_body(tile_cod))
                             .add(cs_test::segment(kMarkerQCD, qcd));
    cs_test::Decoder dec(stream(main, {empty_tile_part(0, header)}));
    EXPECT_EQ(jpcdec_parse(dec.get()), 0);
    EXPECT_FALSE(cs_test::Messages::errors.empty());
    const Tile& t = dec.get()->tiles[0];
    EXPECT_EQ(t.built, 0u);
    EXPECT_EQ(t.components, nullptr);  // nothing half-built is left behind
}

TEST(TileBuild, BuildingTwiceIsRefused) {
    const Bytes main = cs_test::main_header(siz(64, 64, 64, 64, 1), CodParams{});
    cs_test::Decoder dec(stream(main, {empty_tile_part(0, {})}));
    ASSERT_EQ(jpcdec_parse(dec.get()), 1);
    MarkerSet* set = marker_set_create(dec.get(), 1);
    ASSERT_NE(set, nullptr);
    EXPECT_EQ(tile_build(dec.get(), 0, set, nullptr), 0);
    EXPECT_EQ(cs_test::Messages::errors.back(), "Tile has already been built.");
    EXPECT_EQ(dec.get()->tiles[0].built, 1u);  // the first build stays intact
    EXPECT_EQ(tile_build(dec.get(), 9, set, nullptr), 0);
    marker_set_destroy(dec.get(), set);
}

}  // namespace
