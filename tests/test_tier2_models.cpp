// Reference models for the tricky tier-2 computations, on tiles built by hand: the bit reader
// with stuffing, the partition into precincts and code-blocks, and the progression orders with
// POC against the loops written out plainly. (Tag trees meet the encoder's in test_tier2_packets.)
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <random>
#include <set>
#include <tuple>

#include "io/byte_reader.h"
#include "io/stream.h"
#include "support/tier2_fixture.h"
#include "tier2/packet_codes.h"
#include "tier2/progression.h"

namespace {

using t2_test::BitWriter;
using t2_test::Decoder;
using t2_test::Image;
using t2_test::Packet;
using t2_test::Style;
using t2_test::Poc;

// The bit reader over either byte source: packed headers in memory or the stream's reader.
struct Source {
    Source(std::vector<uint8_t> bytes, bool packed) : bytes_(std::move(bytes)), ops_(memops_create()) {
        memory_stream_init(&ms_, bytes_.data(), uint32_t(bytes_.size()));
        reader_ = packed ? nullptr : byte_reader_create(ops_, &ms_.base);
        if (packed) bits_init_memory(&br, bytes_.data(), uint32_t(bytes_.size()), 0);
        else bits_init_reader(&br, reader_);
    }
    ~Source() { byte_reader_destroy(ops_, reader_), ops_->release(ops_); }
    uint32_t consumed() const { return reader_ ? br_get_pos(reader_) : br.pos; }
    std::vector<uint8_t> bytes_;
    MemOps* ops_;
    MemoryStream ms_{};
    ByteReader* reader_;
    StuffedBitReader br{};
};

TEST(Tier2Models, BitReaderStuffingAndEnds) {
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        uint32_t nbits;
        std::string expect;
        bool overrun;
        uint32_t header_bytes;  // taken once the header ends after nbits (overrun: unchecked)
    } rows[] = {
        {"stuffing after FF", {0xFF, 0x7F, 0x80}, 15, "111111111111111", false, 2},
        {"stuffed bit dropped unchecked", {0xFF, 0xFF, 0x00}, 16, "1111111111111110", false, 3},
        {"plain bytes", {0xA5, 0x3C}, 16, "1010010100111100", false, 2},
        {"past the end reads 0x7F", {0x80}, 24, "100000000111111101111111", true, 0},
        {"past the end after FF", {0xFF}, 15, "111111111111111", true, 0},
        {"empty source", {}, 8, "01111111", true, 0},
        {"FF all used: the header owns the stuffing byte", {0xFF, 0x00, 0x55}, 8, "11111111", false, 2},
        {"FF partly used", {0xFF, 0x00, 0x55}, 5, "11111", false, 1},
        {"plain byte partly used", {0x80, 0x55}, 1, "1", false, 1},
        {"nothing read", {0x55}, 0, "", false, 0},
    };
    for (const auto& r : rows)
        for (bool packed : {false, true}) {
            SCOPED_TRACE(std::string(r.name) + (packed ? " (memory)" : " (reader)"));
            Source src(r.bytes, packed);
            std::string bits;
            for (uint32_t i = 0; i < r.nbits; i++) bits += bits_read_bit(&src.br) ? '1' : '0';
            EXPECT_EQ(bits, r.expect);
            EXPECT_EQ(src.br.overrun != 0, r.overrun);
            if (r.overrun) continue;
            bits_end_header(&src.br);
            EXPECT_EQ(src.consumed(), r.header_bytes);
        }
    // Every pass count through the codeword, with stuffing where the ones fill a byte.
    BitWriter bw;
    for (uint32_t m = 1; m <= 164; m++) t2_test::write_pass_count(&bw, m);
    const std::vector<uint8_t> bytes = bw.finish();
    for (bool packed : {false, true}) {
        Source src(bytes, packed);
        for (uint32_t m = 1; m <= 164; m++) ASSERT_EQ(read_pass_count(&src.br), m);
        bits_end_header(&src.br);
        EXPECT_EQ(src.consumed(), bytes.size());
    }
}

Style style(uint8_t levels, std::vector<uint8_t> pp = {}, uint8_t cb = 2) { return {levels, cb, cb, std::move(pp)}; }

// The partition of a tile built from these parameters: precincts tile each resolution, each
// precinct's blocks lie in its band part on the grid of the effective block size (halved with
// the precinct above resolution 0), and the band's grid lists every block once in raster order.
void check_partition(const Image& img, const Style& s) {
    Decoder dec(img);
    Tile* tile = dec.build_tile(0, {s});
    ASSERT_NE(tile, nullptr) << t2_test::g_last_error;
    const TileComponent& tc = tile->components[0];
    ASSERT_EQ(tc.resolution_count, s.levels + 1u);
    for (uint32_t r = 0; r < tc.resolution_count; r++) {
        const Resolution& res = tc.resolutions[r];
        uint64_t area = 0;
        for (uint32_t p = 0; p < res.precinct_count; p++)
            area += uint64_t(res.precincts[p].x1 - res.precincts[p].x0) * (res.precincts[p].y1 - res.precincts[p].y0);
        ASSERT_EQ(area, uint64_t(res.x1 - res.x0) * (res.y1 - res.y0)) << "r " << r;
        for (uint32_t b = 0; b < res.band_count; b++) {
            const Band& band = res.bands[b];
            ASSERT_EQ(band.xcb_eff, std::min<uint32_t>(s.xcb, res.PPx - (r ? 1 : 0)));
            ASSERT_EQ(band.ycb_eff, std::min<uint32_t>(s.ycb, res.PPy - (r ? 1 : 0)));
            uint64_t blocks = 0, block_area = 0;
            for (uint32_t p = 0; p < res.precinct_count; p++) {
                const PrecinctBand& pb = res.precincts[p].bands[b];
                ASSERT_EQ(pb.blocks == nullptr, pb.x0 == pb.x1 || pb.y0 == pb.y1);
                for (uint32_t i = 0; pb.blocks && i < pb.blocks_across * pb.blocks_down; i++) {
                    const CodeBlock& cb = pb.blocks[i];
                    ASSERT_TRUE(pb.x0 <= cb.x0 && cb.x0 < cb.x1 && cb.x1 <= pb.x1 && pb.y0 <= cb.y0 && cb.y0 < cb.y1 && cb.y1 <= pb.y1);
                    ASSERT_TRUE(cb.x0 == pb.x0 || cb.x0 % (1u << band.xcb_eff) == 0);
                    ASSERT_TRUE(cb.y0 == pb.y0 || cb.y0 % (1u << band.ycb_eff) == 0);
                    ASSERT_LE(cb.x1 - cb.x0, 1u << band.xcb_eff);
                    ASSERT_LE(cb.y1 - cb.y0, 1u << band.ycb_eff);
                    blocks++;
                    block_area += uint64_t(cb.x1 - cb.x0) * (cb.y1 - cb.y0);
                }
            }
            ASSERT_EQ(block_area, uint64_t(band.x1 - band.x0) * (band.y1 - band.y0));
            ASSERT_EQ(blocks, uint64_t(band.cb_across) * band.cb_down);
            for (uint32_t y = 0; band.code_blocks && y < band.cb_down; y++)
                for (uint32_t x = 0; x < band.cb_across; x++) {
                    const CodeBlock* cur = band.code_blocks[y * band.cb_across + x];
                    const CodeBlock* prev = x ? band.code_blocks[y * band.cb_across + x - 1] : nullptr;
                    ASSERT_EQ(cur->x0, prev ? prev->x1 : band.x0);
                    ASSERT_TRUE(!prev || cur->y0 == prev->y0);
                }
        }
    }
}

TEST(Tier2Models, PartitionOverRandomGeometries) {
    std::mt19937 rng(5);
    for (int iter = 0; iter < 150; iter++) {
        SCOPED_TRACE("iteration " + std::to_string(iter));
        Image img;
        img.XOsiz = rng() % 40, img.YOsiz = rng() % 40;
        img.Xsiz = img.XOsiz + 1 + rng() % 150, img.Ysiz = img.YOsiz + 1 + rng() % 150;
        img.XTOsiz = rng() % (img.XOsiz + 1), img.YTOsiz = rng() % (img.YOsiz + 1);
        img.XTsiz = img.Xsiz - img.XTOsiz, img.YTsiz = img.Ysiz - img.YTOsiz;  // one tile
        img.components = {{uint8_t(1 + rng() % 3), uint8_t(1 + rng() % 3)}};
        Style s = style(uint8_t(rng() % 4));
        s.xcb = uint8_t(2 + rng() % 4), s.ycb = uint8_t(2 + rng() % 4);
        if (rng() % 2)
            for (uint32_t r = 0; r <= s.levels; r++) s.precincts.push_back(uint8_t((1 + rng() % 5) | ((1 + rng() % 5) << 4)));
        check_partition(img, s);
    }
    Image one_wide;  // resolution 1 has no high-pass column
    one_wide.Xsiz = 1, one_wide.Ysiz = 16;
    check_partition(one_wide, style(1, {}, 4));
    Image top;  // 32 levels near the top of the grid: every shift reaches 32 or 33 bits
    top.XOsiz = 0xFFFFFF00u, top.YOsiz = 0xFFFFFFF0u;
    top.Xsiz = top.Ysiz = 0xFFFFFFFFu;
    top.XTOsiz = top.YTOsiz = 0xFFFFFE00u;
    top.XTsiz = top.YTsiz = 0x1000;
    check_partition(top, style(32, {}, 6));
    Decoder dec(top);
    const TileComponent& tc = dec.build_tile(0, {style(32, {}, 6)})->components[0];
    EXPECT_EQ(tc.resolutions[32].x0, 0xFFFFFF00u);
    EXPECT_EQ(tc.resolutions[0].x0, 1u);  // both edges round up to 1: empty
    EXPECT_EQ(tc.resolutions[0].x1, 1u);
    EXPECT_EQ(tc.resolutions[32].bands[2].x1 - tc.resolutions[32].bands[2].x0, 0x7Fu);
    const struct {
        const char* name;
        Style style;
        const char* message;  // nullptr: built
    } rows[] = {
        {"precinct exponent 0 at resolution 0", style(1, {0x00, 0x11}, 6), nullptr},
        {"code-block area 4096", Style{0, 6, 6, {}}, nullptr},
        {"code-block area above 4096", Style{0, 7, 6, {}}, "Code-block size is out of range."},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Decoder d(Image{});
        EXPECT_EQ(d.build_tile(0, {r.style}) != nullptr, r.message == nullptr);
        EXPECT_EQ(t2_test::g_last_error, r.message ? r.message : "");
        EXPECT_EQ(d.get()->tiles[0].components == nullptr, r.message != nullptr);  // nothing half-built remains
    }
}

constexpr uint8_t LRCP = 0, RLCP = 1, RPCL = 2, PCRL = 3, CPRL = 4;

// The progression loops written out plainly, stepping positions one sample at a time: slow
// but obviously right. A record emits each (layer, resolution, component, precinct) the
// records before it did not.
std::vector<Packet> reference_sequence(const Tile* tile, const std::vector<Poc>& recs) {
    std::vector<Packet> out;
    std::set<Packet> seen;
    auto emit = [&](uint32_t l, uint32_t r, uint32_t c, uint32_t p) {
        if (seen.insert({l, r, c, p}).second) out.emplace_back(l, r, c, p);
    };
    // The precinct of (c, r) that starts at (x, y) of the tile's grid, if one does.
    auto locate = [&](uint32_t c, uint32_t r, uint64_t x, uint64_t y, uint32_t* p) {
        const TileComponent& tc = tile->components[c];
        if (r >= tc.resolution_count || tc.resolutions[r].precinct_count == 0) return false;
        const Resolution& res = tc.resolutions[r];
        const uint32_t d = tc.levels - r;
        const bool y_ok = y % (uint64_t(tc.yrsiz) << (res.PPy + d)) == 0 ||
                          (y == tile->y0 && ((uint64_t(res.y0) << d) % (uint64_t(1) << (res.PPy + d))) != 0);
        const bool x_ok = x % (uint64_t(tc.xrsiz) << (res.PPx + d)) == 0 ||
                          (x == tile->x0 && ((uint64_t(res.x0) << d) % (uint64_t(1) << (res.PPx + d))) != 0);
        if (!x_ok || !y_ok) return false;
        const uint64_t uy = uint64_t(tc.yrsiz) << d, ux = uint64_t(tc.xrsiz) << d;
        const int64_t py = int64_t(((y + uy - 1) / uy) >> res.PPy) - int64_t(res.y0 >> res.PPy);
        const int64_t px = int64_t(((x + ux - 1) / ux) >> res.PPx) - int64_t(res.x0 >> res.PPx);
        if (py < 0 || px < 0 || py >= res.precincts_down || px >= res.precincts_across) return false;
        *p = uint32_t(py * res.precincts_across + px);
        return true;
    };
    for (const Poc& rec : recs) {
        const uint32_t CE = std::min<uint32_t>(rec.CE ? rec.CE : 256, tile->component_count);
        const uint32_t RE = std::min<uint32_t>(rec.RE, tile->max_resolutions);
        const uint32_t LE = std::min<uint32_t>(rec.LYE, tile->layers);
        auto all = [&](uint32_t l, uint32_t r, uint32_t c) {
            const TileComponent& tc = tile->components[c];
            for (uint32_t p = 0; r < tc.resolution_count && p < tc.resolutions[r].precinct_count; p++) emit(l, r, c, p);
        };
        auto at = [&](uint32_t r, uint32_t c, uint64_t x, uint64_t y) {
            uint32_t p;
            for (uint32_t l = 0; locate(c, r, x, y, &p) && l < LE; l++) emit(l, r, c, p);
        };
        auto positions = [&](const std::function<void(uint64_t, uint64_t)>& f) {
            for (uint64_t y = tile->y0; y < tile->y1; y++)
                for (uint64_t x = tile->x0; x < tile->x1; x++) f(x, y);
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
                    positions([&](uint64_t x, uint64_t y) { for (uint32_t c = rec.CS; c < CE; c++) at(r, c, x, y); });
                break;
            case PCRL:
                positions([&](uint64_t x, uint64_t y) {
                    for (uint32_t c = rec.CS; c < CE; c++)
                        for (uint32_t r = rec.RS; r < RE; r++) at(r, c, x, y);
                });
                break;
            case CPRL:
                for (uint32_t c = rec.CS; c < CE; c++)
                    positions([&](uint64_t x, uint64_t y) { for (uint32_t r = rec.RS; r < RE; r++) at(r, c, x, y); });
                break;
        }  // an unknown order reads nothing
    }
    return out;
}

// Every order on random geometries (offset images and grids, sub-sampling 1 to 3, mixed
// levels and precinct sizes), with no POC, a main-header POC or a tile-part POC that replaces
// it; unknown orders and CEpoc 0 (every component) included. Where the whole range is read,
// each precinct has had every layer's packet.
TEST(Tier2Models, ProgressionMatchesTheReference) {
    std::mt19937 rng(3);
    for (int iter = 0; iter < 500; iter++) {
        Image img;
        img.XOsiz = rng() % 20, img.YOsiz = rng() % 20;
        img.XTOsiz = rng() % (img.XOsiz + 1), img.YTOsiz = rng() % (img.YOsiz + 1);
        img.XTsiz = img.XOsiz - img.XTOsiz + 1 + rng() % 40;  // the first tile meets the image
        img.YTsiz = img.YOsiz - img.YTOsiz + 1 + rng() % 40;
        img.Xsiz = img.XOsiz + 1 + rng() % 60, img.Ysiz = img.YOsiz + 1 + rng() % 60;
        img.components.clear();
        std::vector<Style> styles;
        for (uint32_t c = 0, n = 1 + rng() % 3; c < n; c++) {
            img.components.push_back({uint8_t(1 + rng() % 3), uint8_t(1 + rng() % 3)});
            styles.push_back(style(uint8_t(rng() % 4)));
            if (rng() % 3)
                for (uint32_t r = 0; r <= styles.back().levels; r++)
                    styles.back().precincts.push_back(uint8_t((1 + rng() % 3) | ((1 + rng() % 3) << 4)));
        }
        const uint16_t layers = uint16_t(1 + rng() % 3);
        const uint8_t order = uint8_t(rng() % 5);
        auto random_pocs = [&] {
            std::vector<Poc> recs(1 + rng() % 3);
            for (Poc& p : recs)
                p = {uint8_t(rng() % 3), uint16_t(rng() % 2), uint16_t(1 + rng() % 3), uint8_t(1 + rng() % 5),
                     uint16_t(rng() % 4), uint8_t(rng() % 11 ? rng() % 5 : 5 + rng() % 3)};
            return recs;
        };
        const uint32_t kind = rng() % 4;  // 0, 1: none; 2: main; 3: main and tile-part
        const std::vector<Poc> main_poc = kind >= 2 ? random_pocs() : std::vector<Poc>{};
        const std::vector<Poc> part_poc = kind == 3 ? random_pocs() : std::vector<Poc>{};
        Decoder dec(img);
        const uint32_t t = rng() % dec.get()->in->image->tileNum;
        SCOPED_TRACE("iteration " + std::to_string(iter));
        Tile* tile = dec.build_tile(t, styles, layers, order);
        ASSERT_NE(tile, nullptr) << t2_test::g_last_error;
        ASSERT_EQ(dec.setup_progression(t, main_poc, part_poc), 1);
        const auto seq = t2_test::packet_sequence(tile);
        std::vector<Poc> recs = kind == 3 ? part_poc : main_poc;
        if (recs.empty()) recs.push_back(Poc{0, 0, layers, tile->max_resolutions, tile->component_count, order});
        ASSERT_EQ(seq, reference_sequence(tile, recs));
        if (kind >= 2) continue;
        for (uint32_t c = 0; c < tile->component_count; c++) {
            const TileComponent& tc = tile->components[c];
            for (uint32_t r = 0; r < tc.resolution_count; r++)
                for (uint32_t p = 0; p < tc.resolutions[r].precinct_count; p++)
                    ASSERT_EQ(tc.resolutions[r].precincts[p].packet_counter, layers);
        }
    }
}

// A tile-part stops the iteration anywhere; the next one goes on from there. A later
// tile-part's POC revives an exhausted iteration for the packets still owed.
TEST(Tier2Models, ProgressionAcrossTileParts) {
    Decoder dec(Image{}), ref(Image{});
    Tile* tile = dec.build_tile(0, {style(2, {0x11, 0x22, 0x33})}, 2, PCRL);
    Tile* whole = ref.build_tile(0, {style(2, {0x11, 0x22, 0x33})}, 2, PCRL);
    ASSERT_TRUE(tile && whole && dec.setup_progression(0, {}, {}) && ref.setup_progression(0, {}, {}));
    auto parts = t2_test::packet_sequence(tile, 7);
    const auto rest = t2_test::packet_sequence(tile);
    parts.insert(parts.end(), rest.begin(), rest.end());
    EXPECT_EQ(parts, t2_test::packet_sequence(whole));

    Decoder d2(Image{});
    tile = d2.build_tile(0, {style(1)}, 3, LRCP);
    ASSERT_EQ(d2.setup_progression(0, {{0, 0, 1, 2, 1, LRCP}}, {}), 1);
    EXPECT_EQ(t2_test::packet_sequence(tile), (std::vector<Packet>{{0, 0, 0, 0}, {0, 1, 0, 0}}));
    ASSERT_EQ(d2.setup_progression(0, {}, {{0, 0, 3, 2, 1, RLCP}}), 1);
    EXPECT_EQ(t2_test::packet_sequence(tile),
              (std::vector<Packet>{{1, 0, 0, 0}, {2, 0, 0, 0}, {1, 1, 0, 0}, {2, 1, 0, 0}}));
    ASSERT_EQ(d2.setup_progression(0, {}, {}), 1);  // without POC: nothing more
    EXPECT_TRUE(t2_test::packet_sequence(tile).empty());
}

// Hostile extremes must end quickly: 32 levels near the top of the grid (steps reach 2^47,
// never 0, never wrapping), and thousands of empty tile-components (sub-sampling 255 on a tile
// from x 1) with 65535 layers, which must not be walked layer after layer.
TEST(Tier2Models, ProgressionExtremesEndQuickly) {
    Image deep, wide;
    deep.XOsiz = deep.YOsiz = 0xFFFFFF00u;
    deep.Xsiz = deep.Ysiz = 0xFFFFFFFFu;
    deep.XTOsiz = deep.YTOsiz = 0xFFFFFE00u;
    deep.XTsiz = deep.YTsiz = 0x1000;
    deep.components = {{1, 1}, {3, 2}};
    wide.XOsiz = 1;
    wide.components.assign(3000, {255, 1});
    wide.components[0] = {1, 1};
    for (uint8_t order = 0; order < 5; order++) {
        SCOPED_TRACE(int(order));
        const auto start = std::chrono::steady_clock::now();
        Decoder d1(deep), d2(wide);
        Tile* tile = d1.build_tile(0, {style(32, {}, 6)}, 2, order);
        ASSERT_TRUE(tile && d1.setup_progression(0, {}, {})) << t2_test::g_last_error;
        size_t expect = 0;
        for (uint32_t c = 0; c < 2; c++)
            for (uint32_t r = 0; r < 33; r++) expect += 2 * tile->components[c].resolutions[r].precinct_count;
        EXPECT_EQ(t2_test::packet_sequence(tile).size(), expect);
        tile = d2.build_tile(0, {style(2)}, 65535, order);
        ASSERT_TRUE(tile && d2.setup_progression(0, {}, {})) << t2_test::g_last_error;
        const auto seq = t2_test::packet_sequence(tile, 2000000);
        EXPECT_EQ(seq.size(), 3u * 65535u);
        for (size_t i = 0; i < seq.size(); i += 9973) EXPECT_EQ(std::get<2>(seq[i]), 0u);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    }
}

}  // namespace
