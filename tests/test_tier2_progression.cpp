// Progression orders and POC set-ups, checked by the exact packet sequence they emit.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/tier2_fixture.h"
#include "tier2/progression.h"

namespace {

using t2_test::Decoder;
using t2_test::Image;
using t2_test::Packet;
using t2_test::Style;
using Poc = Decoder::Poc;

constexpr uint8_t LRCP = 0, RLCP = 1, RPCL = 2, PCRL = 3, CPRL = 4;

Packet P(uint32_t l, uint32_t r, uint32_t c, uint32_t p) { return Packet{l, r, c, p}; }

Style style(uint8_t levels, std::vector<uint8_t> pp = {}) {
    Style s;
    s.levels = levels;
    s.xcb = s.ycb = 2;
    s.precincts = std::move(pp);
    return s;
}

struct Scenario {
    Image img;
    std::vector<Style> styles;
    uint16_t layers = 1;
    uint8_t order = LRCP;
    std::vector<Poc> main_poc, part_poc;
};

std::vector<Packet> run(const Scenario& s, uint32_t t = 0) {
    Decoder dec(s.img);
    Tile* tile = dec.build_tile(t, s.styles, s.layers, s.order);
    EXPECT_NE(tile, nullptr) << t2_test::Messages::last();
    if (!tile) return {};
    EXPECT_EQ(dec.setup_progression(t, s.main_poc, s.part_poc), 1);
    return t2_test::packet_sequence(tile);
}

// Tile x 3..11 on one row: resolution 0 (x 2..6, PPx 1) has precincts at x 4 and 8 of the
// grid, resolution 1 (x 3..11, PPx 2) at x 3, 4 and 8. Positions must be aligned to the
// steps, not counted from the odd tile origin.
Scenario offset_row(uint8_t order) {
    Scenario s;
    s.img.XOsiz = 3;
    s.img.Xsiz = 11;
    s.img.Ysiz = 2;
    s.img.XTsiz = s.img.YTsiz = 64;
    s.styles = {style(1, {0xF1, 0xF2})};
    s.order = order;
    return s;
}

struct SequenceCase {
    const char* name;
    Scenario setup;
    std::vector<Packet> expect;
};

std::vector<SequenceCase> order_cases() {
    std::vector<SequenceCase> cases;
    {
        Scenario s;
        s.styles = {style(1)};
        s.layers = 2;
        cases.push_back({"LRCP, 2 layers, 2 resolutions", s,
                         {P(0, 0, 0, 0), P(0, 1, 0, 0), P(1, 0, 0, 0), P(1, 1, 0, 0)}});
        s.order = RLCP;
        cases.push_back({"RLCP, 2 layers, 2 resolutions", s,
                         {P(0, 0, 0, 0), P(1, 0, 0, 0), P(0, 1, 0, 0), P(1, 1, 0, 0)}});
    }
    {
        Scenario s;
        s.img.components = {{1, 1, 8}, {1, 1, 8}};
        s.styles = {style(1), style(0)};  // component 1 has no resolution 1
        s.layers = 2;
        s.order = LRCP;
        cases.push_back({"LRCP skips missing levels", s,
                         {P(0, 0, 0, 0), P(0, 0, 1, 0), P(0, 1, 0, 0), P(1, 0, 0, 0),
                          P(1, 0, 1, 0), P(1, 1, 0, 0)}});
        s.order = RLCP;
        cases.push_back({"RLCP exhausts resolution 0 first", s,
                         {P(0, 0, 0, 0), P(0, 0, 1, 0), P(1, 0, 0, 0), P(1, 0, 1, 0),
                          P(0, 1, 0, 0), P(1, 1, 0, 0)}});
        s.order = RPCL;
        cases.push_back({"RPCL with fewer resolutions", s,
                         {P(0, 0, 0, 0), P(1, 0, 0, 0), P(0, 0, 1, 0), P(1, 0, 1, 0),
                          P(0, 1, 0, 0), P(1, 1, 0, 0)}});
        s.order = PCRL;
        cases.push_back({"PCRL with fewer resolutions", s,
                         {P(0, 0, 0, 0), P(1, 0, 0, 0), P(0, 1, 0, 0), P(1, 1, 0, 0),
                          P(0, 0, 1, 0), P(1, 0, 1, 0)}});
        s.order = CPRL;
        cases.push_back({"CPRL with fewer resolutions", s,
                         {P(0, 0, 0, 0), P(1, 0, 0, 0), P(0, 1, 0, 0), P(1, 1, 0, 0),
                          P(0, 0, 1, 0), P(1, 0, 1, 0)}});
    }
    cases.push_back({"RPCL on an offset tile", offset_row(RPCL),
                     {P(0, 0, 0, 0), P(0, 0, 0, 1), P(0, 1, 0, 0), P(0, 1, 0, 1), P(0, 1, 0, 2)}});
    cases.push_back({"PCRL on an offset tile", offset_row(PCRL),
                     {P(0, 1, 0, 0), P(0, 0, 0, 0), P(0, 1, 0, 1), P(0, 0, 0, 1), P(0, 1, 0, 2)}});
    cases.push_back({"CPRL on an offset tile", offset_row(CPRL),
                     {P(0, 1, 0, 0), P(0, 0, 0, 0), P(0, 1, 0, 1), P(0, 0, 0, 1), P(0, 1, 0, 2)}});
    {
        // Second tile of an offset grid (origin 1, tiles 8 wide): tile x 9..17.
        Scenario s;
        s.img.XTOsiz = 1;
        s.img.XOsiz = 1;
        s.img.Xsiz = 17;
        s.img.Ysiz = 1;
        s.img.XTsiz = 8;
        s.img.YTsiz = 8;
        s.styles = {style(0, {0xF2})};  // precincts 4 wide: x 9..12 | 12..16 | 16..17
        s.order = PCRL;
        cases.push_back({"PCRL, second tile of an offset grid", s,
                         {P(0, 0, 0, 0), P(0, 0, 0, 1), P(0, 0, 0, 2)}});
    }
    {
        // Two rows of precincts in y with an odd tile origin: y 1..9, PPy 2 -> rows 1..4, 4..8,
        // 8..9; x one precinct.
        Scenario s;
        s.img.YOsiz = 1;
        s.img.Xsiz = 2;
        s.img.Ysiz = 9;
        s.img.XTsiz = s.img.YTsiz = 16;
        s.styles = {style(0, {0x2F})};
        s.order = RPCL;
        cases.push_back({"RPCL, precinct rows below an odd origin", s,
                         {P(0, 0, 0, 0), P(0, 0, 0, 1), P(0, 0, 0, 2)}});
    }
    return cases;
}

std::vector<SequenceCase> poc_cases() {
    std::vector<SequenceCase> cases;
    Scenario base;
    base.img.components = {{1, 1, 8}, {1, 1, 8}};
    base.styles = {style(2)};
    base.layers = 2;
    {
        Scenario s = base;
        // Resolutions 0-1 over all layers, then 2: the second record must still read res 2.
        s.main_poc = {{0, 0, 2, 2, 2, LRCP}, {2, 0, 2, 3, 2, LRCP}};
        cases.push_back({"two LRCP records split by resolution", s,
                         {P(0, 0, 0, 0), P(0, 0, 1, 0), P(0, 1, 0, 0), P(0, 1, 1, 0),
                          P(1, 0, 0, 0), P(1, 0, 1, 0), P(1, 1, 0, 0), P(1, 1, 1, 0),
                          P(0, 2, 0, 0), P(0, 2, 1, 0), P(1, 2, 0, 0), P(1, 2, 1, 0)}});
    }
    {
        Scenario s = base;
        s.main_poc = {{1, 1, 2, 3, 2, RLCP}, {0, 0, 2, 3, 2, RLCP}};
        cases.push_back({"first record starts at its RS and CS", s,
                         {P(0, 1, 1, 0), P(1, 1, 1, 0), P(0, 2, 1, 0), P(1, 2, 1, 0),
                          P(0, 0, 0, 0), P(0, 0, 1, 0), P(1, 0, 0, 0), P(1, 0, 1, 0),
                          P(0, 1, 0, 0), P(1, 1, 0, 0), P(0, 2, 0, 0), P(1, 2, 0, 0)}});
    }
    {
        Scenario s = base;
        s.main_poc = {{0, 0, 1, 3, 0, CPRL}};  // CEpoc 0 reads as 256
        cases.push_back({"CEpoc 0 covers every component", s,
                         {P(0, 0, 0, 0), P(0, 1, 0, 0), P(0, 2, 0, 0), P(0, 0, 1, 0),
                          P(0, 1, 1, 0), P(0, 2, 1, 0)}});
    }
    {
        Scenario s = base;
        // Overlapping ranges: the second record only adds what the first did not read.
        s.main_poc = {{0, 0, 1, 2, 2, LRCP}, {0, 0, 2, 3, 1, LRCP}};
        cases.push_back({"overlapping records emit nothing twice", s,
                         {P(0, 0, 0, 0), P(0, 0, 1, 0), P(0, 1, 0, 0), P(0, 1, 1, 0),
                          P(0, 2, 0, 0), P(1, 0, 0, 0), P(1, 1, 0, 0), P(1, 2, 0, 0)}});
    }
    {
        Scenario s = base;
        s.main_poc = {{0, 0, 2, 3, 2, RLCP}, {0, 0, 2, 3, 2, LRCP}};
        s.part_poc = {{0, 1, 1, 1, 2, LRCP}};
        cases.push_back({"tile-part POC replaces the main POC", s, {P(0, 0, 1, 0)}});
    }
    {
        Scenario s = base;
        s.main_poc = {{0, 0, 2, 1, 2, LRCP}, {1, 0, 2, 3, 2, RPCL}};
        cases.push_back({"LRCP then RPCL", s,
                         {P(0, 0, 0, 0), P(0, 0, 1, 0), P(1, 0, 0, 0), P(1, 0, 1, 0),
                          P(0, 1, 0, 0), P(1, 1, 0, 0), P(0, 1, 1, 0), P(1, 1, 1, 0),
                          P(0, 2, 0, 0), P(1, 2, 0, 0), P(0, 2, 1, 0), P(1, 2, 1, 0)}});
    }
    {
        Scenario s = base;
        s.main_poc = {{0, 0, 2, 3, 2, 7}, {0, 0, 1, 1, 1, LRCP}};
        cases.push_back({"unknown order emits nothing", s, {P(0, 0, 0, 0)}});
    }
    {
        Scenario s = base;
        s.main_poc = {{0, 0, 9, 40, 9, PCRL}};  // bounds beyond the tile are clipped
        cases.push_back({"bounds clipped to the tile", s,
                         {P(0, 0, 0, 0), P(1, 0, 0, 0), P(0, 1, 0, 0), P(1, 1, 0, 0),
                          P(0, 2, 0, 0), P(1, 2, 0, 0), P(0, 0, 1, 0), P(1, 0, 1, 0),
                          P(0, 1, 1, 0), P(1, 1, 1, 0), P(0, 2, 1, 0), P(1, 2, 1, 0)}});
    }
    return cases;
}

TEST(Progression, OrdersAndPocSetupsEmitExactSequences) {
    for (const auto& cases : {order_cases(), poc_cases()})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            const auto seq = run(c.setup, c.setup.img.XTOsiz ? 1 : 0);  // offset grids: tile 1
            EXPECT_EQ(t2_test::describe(seq), t2_test::describe(c.expect));
        }
}

TEST(Progression, LaterTilePartRevivesAnExhaustedIteration) {
    Image img;
    Decoder dec(img);
    Tile* tile = dec.build_tile(0, {style(1)}, 3, LRCP);
    ASSERT_NE(tile, nullptr);
    ASSERT_EQ(dec.setup_progression(0, {{0, 0, 1, 2, 1, LRCP}}, {}), 1);
    auto seq = t2_test::packet_sequence(tile);
    EXPECT_EQ(t2_test::describe(seq), t2_test::describe({P(0, 0, 0, 0), P(0, 1, 0, 0)}));
    EXPECT_EQ(tile->progression_state->current, nullptr);
    // A later tile-part's POC: its record starts at layer 0 and reads what is still owed.
    ASSERT_EQ(dec.setup_progression(0, {}, {{0, 0, 3, 2, 1, RLCP}}), 1);
    seq = t2_test::packet_sequence(tile);
    EXPECT_EQ(t2_test::describe(seq),
              t2_test::describe({P(1, 0, 0, 0), P(2, 0, 0, 0), P(1, 1, 0, 0), P(2, 1, 0, 0)}));
    // A later tile-part without POC adds nothing.
    ASSERT_EQ(dec.setup_progression(0, {}, {}), 1);
    EXPECT_TRUE(t2_test::packet_sequence(tile).empty());
}

TEST(Progression, ResumesWhereATilePartStopped) {
    Decoder dec(Image{});
    Tile* tile = dec.build_tile(0, {style(2, {0x11, 0x22, 0x33})}, 2, PCRL);
    ASSERT_NE(tile, nullptr);
    ASSERT_EQ(dec.setup_progression(0, {}, {}), 1);
    auto part1 = t2_test::packet_sequence(tile, 7);
    auto part2 = t2_test::packet_sequence(tile);
    Decoder ref(Image{});
    Tile* tile2 = ref.build_tile(0, {style(2, {0x11, 0x22, 0x33})}, 2, PCRL);
    ASSERT_EQ(ref.setup_progression(0, {}, {}), 1);
    auto whole = t2_test::packet_sequence(tile2);
    part1.insert(part1.end(), part2.begin(), part2.end());
    EXPECT_EQ(part1, whole);
}

// The progression loops written out plainly, stepping positions one sample at a time: slow
// but obviously right.
std::vector<Packet> reference_sequence(const Tile* tile, const std::vector<Poc>& recs) {
    std::vector<Packet> out;
    std::set<std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>> seen;
    auto try_emit = [&](uint32_t l, uint32_t r, uint32_t c, uint32_t p) {
        if (seen.insert({l, r, c, p}).second) out.push_back(P(l, r, c, p));
    };
    auto locate = [&](uint32_t c, uint32_t r, uint64_t x, uint64_t y, uint32_t* p) {
        const TileComponent& tc = tile->components[c];
        if (r >= tc.resolution_count) return false;
        const Resolution& res = tc.resolutions[r];
        if (res.precinct_count == 0) return false;
        const uint32_t d = tc.levels - r;
        const uint64_t ystep = uint64_t(tc.yrsiz) << (res.PPy + d);
        const uint64_t xstep = uint64_t(tc.xrsiz) << (res.PPx + d);
        const bool y_ok = y % ystep == 0 ||
                          (y == tile->y0 && ((uint64_t(res.y0) << d) % (uint64_t(1) << (res.PPy + d))) != 0);
        const bool x_ok = x % xstep == 0 ||
                          (x == tile->x0 && ((uint64_t(res.x0) << d) % (uint64_t(1) << (res.PPx + d))) != 0);
        if (!x_ok || !y_ok) return false;
        const uint64_t uy = uint64_t(tc.yrsiz) << d, ux = uint64_t(tc.xrsiz) << d;
        const int64_t py = int64_t(((y + uy - 1) / uy) >> res.PPy) - int64_t(res.y0 >> res.PPy);
        const int64_t px = int64_t(((x + ux - 1) / ux) >> res.PPx) - int64_t(res.x0 >> res.PPx);
        if (py < 0 || px < 0 || py >= res.precincts_down || px >= res.precincts_across)
            return false;
        *p = uint32_t(py * res.precincts_across + px);
        return true;
    };
    for (const Poc& rec : recs) {
        const uint32_t CE = std::min<uint32_t>(rec.CE ? rec.CE : 256, tile->component_count);
        const uint32_t RE = std::min<uint32_t>(rec.RE, tile->max_resolutions);
        const uint32_t LE = std::min<uint32_t>(rec.LYE, tile->layers);
        // Every precinct of (r, c), or the one at (x, y), over every layer.
        auto all = [&](uint32_t l, uint32_t r, uint32_t c) {
            const TileComponent& tc = tile->components[c];
            const uint32_t np = r < tc.resolution_count ? tc.resolutions[r].precinct_count : 0u;
            for (uint32_t p = 0; p < np; p++) try_emit(l, r, c, p);
        };
        auto at = [&](uint32_t r, uint32_t c, uint64_t x, uint64_t y) {
            uint32_t p;
            if (locate(c, r, x, y, &p))
                for (uint32_t l = 0; l < LE; l++) try_emit(l, r, c, p);
        };
        switch (rec.P) {
            case LRCP:
                for (uint32_t l = 0; l < LE; l++)
                    for (uint32_t r = rec.RS; r < RE; r++)
                        for (uint32_t c = rec.CS; c < CE; c++) all(l, r, c);
                break;
            case RLCP:
                for (uint32_t r = rec.RS; r < RE; r++)
                    for (uint32_t l = 0; l < LE; l++)
                        for (uint32_t c = rec.CS; c < CE; c++) all(l, r, c);
                break;
            case RPCL:
                for (uint32_t r = rec.RS; r < RE; r++)
                    for (uint64_t y = tile->y0; y < tile->y1; y++)
                        for (uint64_t x = tile->x0; x < tile->x1; x++)
                            for (uint32_t c = rec.CS; c < CE; c++) at(r, c, x, y);
                break;
            case PCRL:
                for (uint64_t y = tile->y0; y < tile->y1; y++)
                    for (uint64_t x = tile->x0; x < tile->x1; x++)
                        for (uint32_t c = rec.CS; c < CE; c++)
                            for (uint32_t r = rec.RS; r < RE; r++) at(r, c, x, y);
                break;
            case CPRL:
                for (uint32_t c = rec.CS; c < CE; c++)
                    for (uint64_t y = tile->y0; y < tile->y1; y++)
                        for (uint64_t x = tile->x0; x < tile->x1; x++)
                            for (uint32_t r = rec.RS; r < RE; r++) at(r, c, x, y);
                break;
        }
    }
    return out;
}

// Every order on random geometries with offset images and grids, sub-sampling 1 to 3,
// mixed levels and precinct sizes: the emitted sequence equals the reference, and every
// precinct's packets of every layer are read exactly once.
TEST(Progression, MatchesReferenceOnRandomGeometries) {
    std::mt19937 rng(3);
    for (int iter = 0; iter < 400; iter++) {
        Scenario s;
        s.img.XOsiz = rng() % 20;
        s.img.YOsiz = rng() % 20;
        s.img.XTOsiz = rng() % (s.img.XOsiz + 1);
        s.img.YTOsiz = rng() % (s.img.YOsiz + 1);
        // The first tile must reach into the image area.
        s.img.XTsiz = s.img.XOsiz - s.img.XTOsiz + 1 + rng() % 40;
        s.img.YTsiz = s.img.YOsiz - s.img.YTOsiz + 1 + rng() % 40;
        s.img.Xsiz = s.img.XOsiz + 1 + rng() % 60;
        s.img.Ysiz = s.img.YOsiz + 1 + rng() % 60;
        const uint32_t ncomp = 1 + rng() % 3;
        s.img.components.clear();
        s.styles.clear();
        for (uint32_t c = 0; c < ncomp; c++) {
            s.img.components.push_back({uint8_t(1 + rng() % 3), uint8_t(1 + rng() % 3), 8});
            Style st = style(uint8_t(rng() % 4));
            if (rng() % 3) {
                for (uint32_t r = 0; r <= st.levels; r++)
                    st.precincts.push_back(uint8_t((1 + rng() % 3) | ((1 + rng() % 3) << 4)));
            }
            s.styles.push_back(st);
        }
        s.layers = uint16_t(1 + rng() % 3);
        const uint8_t order = uint8_t(rng() % 5);
        std::vector<Poc> recs;
        if (rng() % 3 == 0) {
            const uint32_t n = 1 + rng() % 3;
            for (uint32_t i = 0; i < n; i++)
                recs.push_back({uint8_t(rng() % 3), uint16_t(rng() % 2), uint16_t(1 + rng() % 3),
                                uint8_t(1 + rng() % 5), uint16_t(rng() % 4), uint8_t(rng() % 5)});
        }
        Decoder dec(s.img);
        const uint32_t tiles = dec.get()->tileNum;
        const uint32_t t = rng() % tiles;
        SCOPED_TRACE("iteration " + std::to_string(iter) + " tile " + std::to_string(t) +
                     " order " + std::to_string(order));
        Tile* tile = dec.build_tile(t, s.styles, s.layers, order);
        ASSERT_NE(tile, nullptr) << t2_test::Messages::last();
        ASSERT_EQ(dec.setup_progression(t, recs, {}), 1);
        const auto seq = t2_test::packet_sequence(tile);
        std::vector<Poc> ref_recs = recs;
        if (ref_recs.empty())
            ref_recs.push_back(Poc{0, 0, s.layers, tile->max_resolutions, tile->component_count,
                                order});
        const auto expect = reference_sequence(tile, ref_recs);
        ASSERT_EQ(t2_test::describe(seq), t2_test::describe(expect));
        if (recs.empty()) {
            // One full-range record: every precinct owes nothing afterwards.
            for (uint32_t c = 0; c < tile->component_count; c++) {
                const TileComponent& tc = tile->components[c];
                for (uint32_t r = 0; r < tc.resolution_count; r++)
                    for (uint32_t p = 0; p < tc.resolutions[r].precinct_count; p++)
                        ASSERT_EQ(tc.resolutions[r].precincts[p].packet_counter, s.layers);
            }
        }
    }
}

// 32 levels with default precincts near the top of the grid: steps reach 2^47 (never 0,
// never wrapping); every order ends at once with one packet per non-empty resolution.
TEST(Progression, DeepLevelsTerminate) {
    Image img;
    img.XOsiz = img.YOsiz = 0xFFFFFF00u;
    img.Xsiz = img.Ysiz = 0xFFFFFFFFu;
    img.XTOsiz = img.YTOsiz = 0xFFFFFE00u;
    img.XTsiz = img.YTsiz = 0x1000;
    img.components = {{1, 1, 8}, {3, 2, 8}};
    for (uint8_t order = 0; order < 5; order++) {
        SCOPED_TRACE(order);
        Decoder dec(img);
        Style s = style(32);
        s.xcb = s.ycb = 6;
        Tile* tile = dec.build_tile(0, {s}, 2, order);
        ASSERT_NE(tile, nullptr) << t2_test::Messages::last();
        ASSERT_EQ(dec.setup_progression(0, {}, {}), 1);
        const auto start = std::chrono::steady_clock::now();
        const auto seq = t2_test::packet_sequence(tile);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
        size_t expect = 0;
        for (uint32_t c = 0; c < 2; c++)
            for (uint32_t r = 0; r < 33; r++)
                expect += 2 * tile->components[c].resolutions[r].precinct_count;
        EXPECT_EQ(seq.size(), expect);
        EXPECT_GT(expect, 0u);
    }
}

// Thousands of components whose tile-components are empty (sub-sampling 255 on a tile that
// starts at x 1) and the largest layer count: the iteration must not walk them layer after
// layer, or a small hostile file keeps the parse busy for minutes.
TEST(Progression, EmptyComponentsCostNothing) {
    Image img;
    img.XOsiz = 1;
    img.Xsiz = 64;
    img.Ysiz = 64;
    img.components.assign(3000, {255, 1, 8});
    img.components[0] = {1, 1, 8};
    for (uint8_t order = 0; order < 5; order++) {
        SCOPED_TRACE(order);
        Decoder dec(img);
        Tile* tile = dec.build_tile(0, {style(2)}, 65535, order);
        ASSERT_NE(tile, nullptr) << t2_test::Messages::last();
        ASSERT_EQ(dec.setup_progression(0, {}, {}), 1);
        const auto start = std::chrono::steady_clock::now();
        const auto seq = t2_test::packet_sequence(tile, 2000000);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_EQ(seq.size(), 3u * 65535u);
        for (size_t i = 0; i < seq.size(); i += 9973) EXPECT_EQ(std::get<2>(seq[i]), 0u);
    }
}

}  // namespace
