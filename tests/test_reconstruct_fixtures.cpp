// End-to-end reconstruction of small encoded fixtures (scripts/make-reconstruct-fixtures,
// scripts/make-peer-fixtures): lossless round trips over tiles across, offset grids,
// sub-sampled and 16-bit components; irreversible and odd streams against expected
// decodings; output memory per tile row; and damage inside one code-block, which must cost
// that block's samples only.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codestream/jpcdec_impl.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "support/app_tool.h"
#include "support/reconstruct_images.h"
#include "tier2/tile.h"

namespace {

using rec_test::Decoded;
using rec_test::Plane;

std::string fixture(const std::string& name) { return app_test::data_path(name); }

std::vector<uint8_t> fixture_bytes(const std::string& name) {
    std::vector<uint8_t> b;
    EXPECT_TRUE(rec_test::read_file(fixture(name), &b)) << name;
    return b;
}

// Planar 8-bit raw: component 0 at w x h, components 1 and 2 at half size rounded up.
std::vector<Plane> read_raw_420(const std::string& name, uint32_t w, uint32_t h) {
    const std::vector<uint8_t> b = fixture_bytes(name);
    std::vector<Plane> planes;
    size_t pos = 0;
    for (int c = 0; c < 3; c++) {
        Plane p;
        p.width = c ? (w + 1) / 2 : w;
        p.height = c ? (h + 1) / 2 : h;
        for (uint32_t i = 0; i < p.width * p.height && pos < b.size(); i++) p.samples.push_back(b[pos++]);
        planes.push_back(p);
    }
    EXPECT_EQ(pos, b.size());
    return planes;
}

std::vector<Plane> read_source(const std::string& name) {
    std::vector<Plane> planes;
    std::string error;
    EXPECT_TRUE(rec_test::read_pnm(fixture(name), &planes, &error)) << error;
    return planes;
}

uint32_t count_differences(const Plane& a, const Plane& b) {
    if (a.width != b.width || a.height != b.height) return UINT32_MAX;
    uint32_t n = 0;
    for (size_t i = 0; i < a.samples.size(); i++) n += a.samples[i] != b.samples[i];
    return n;
}

struct RoundTrip {
    const char* stream;
    const char* source;
};

TEST(ReconstructFixtures, LosslessRoundTrips) {
    const RoundTrip cases[] = {
        {"rec_tiles_rgb_45x30.j2c", "rec_tiles_rgb_45x30.ppm"},      // tiles 16, 16, 13 wide
        {"rec_offset_grey_37x23.j2c", "rec_offset_grey_37x23.pgm"},  // offset image and tiles
        {"rec_deep16_19x11.j2c", "rec_deep16_19x11.pgm"},            // 16-bit samples
        {"rec_blocks_64x48.j2c", "rec_blocks_64x48.pgm"},            // no transform levels
        {"rec_blocks_dwt_64x48.j2c", "rec_blocks_64x48.pgm"},
        {"rec_sub_20x14.j2c", nullptr},                              // 1x1, 2x2, 2x2
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.stream);
        const std::vector<Plane> src =
            c.source ? read_source(c.source) : read_raw_420("rec_sub_20x14.raw", 20, 14);
        Decoded dec;
        std::string error;
        ASSERT_TRUE(rec_test::decode_codestream(fixture_bytes(c.stream), 32, &dec, &error))
            << error;
        ASSERT_EQ(dec.components.size(), src.size());
        for (size_t k = 0; k < src.size(); k++)
            EXPECT_EQ(count_differences(dec.components[k], src[k]), 0u) << "component " << k;
    }
}

// Every tool bitmap byte of the tiled colour fixture is its source byte (R, G, B).
TEST(ReconstructFixtures, ToolBitmapOfTilesAcross) {
    const std::vector<Plane> src = read_source("rec_tiles_rgb_45x30.ppm");
    app_test::ScratchDir dir;
    const std::string bmp = dir.file("tiles.bmp");
    const app_test::ToolResult r = app_test::run_tool({fixture("rec_tiles_rgb_45x30.j2c"), bmp});
    ASSERT_EQ(r.exit_code, 0) << r.out;
    const std::vector<uint8_t> file = app_test::read_file(bmp);
    uint32_t wrong = 0;
    for (uint32_t y = 0; y < 30; y++)
        for (uint32_t x = 0; x < 45; x++) {
            uint8_t rgb[3];
            app_test::bmp_pixel(file, x, y, rgb);
            for (int k = 0; k < 3; k++) wrong += rgb[k] != src[k].at(x, y);
        }
    EXPECT_EQ(wrong, 0u);
}

// Streams against an expected decoding of every component, within a peak error and mean
// squared error (0 and 0: exact):
// - deep irreversible components: 12 bits, every bit-plane decoded, against the black-box
//   decoder's output; 16 bits against the source: such samples need about 18 integer bits,
//   which a fixed 16-bit fraction would saturate into garbage (the black-box decoder reaches
//   peak 3 there);
// - streams where both black-box decoders agree (scripts/make-peer-fixtures): blocks a
//   bit-plane deeper than their band; irreversible samples without transform levels, all
//   half-way between two integers; a tile whose first packet header breaks a bound, which
//   costs that tile only.
struct ExpectedCase {
    const char* stream;
    const char* expected;  // PNM (one plane per channel) or PGX (one component)
    int32_t peak;
    double mse;
};

TEST(ReconstructFixtures, StreamsMatchTheirExpectedDecoding) {
    const ExpectedCase cases[] = {
        {"rec_irr12_24x20.j2c", "rec_irr12_24x20.expected.pgm", 1, 0.1},
        {"rec_irr16_48x40.j2c", "rec_irr16_48x40.pgm", 3, 0.5},
        {"peer_guard0_rgb_32x24.j2c", "peer_guard0_rgb_32x24.ppm", 0, 0},
        {"peer_guard0_ict_32x24.j2c", "peer_guard0_ict_32x24.ppm", 0, 0},
        {"peer_flat_grey_32x24.j2c", "peer_flat_grey_32x24.pgm", 0, 0},
        {"peer_flat_deep16_24x16.j2c", "peer_flat_deep16_24x16.pgm", 0, 0},
        {"peer_flat_s12_24x16.j2c", "peer_flat_s12_24x16.pgx", 0, 0},
        {"peer_damaged_tile_64x48.j2c", "peer_damaged_tile_64x48.pgm", 0, 0},
    };
    for (const ExpectedCase& c : cases) {
        SCOPED_TRACE(c.stream);
        std::vector<Plane> want;
        if (std::string(c.expected).find(".pgx") != std::string::npos) {
            Plane p;
            std::string error;
            ASSERT_TRUE(rec_test::read_pgx(fixture(c.expected), &p, &error)) << error;
            want.push_back(p);
        } else {
            want = read_source(c.expected);
        }
        Decoded dec;
        std::string error;
        ASSERT_TRUE(rec_test::decode_codestream(fixture_bytes(c.stream), 32, &dec, &error))
            << error;
        ASSERT_EQ(dec.components.size(), want.size());
        for (size_t k = 0; k < want.size(); k++) {
            const Plane& got = dec.components[k];
            ASSERT_EQ(got.width, want[k].width);
            ASSERT_EQ(got.height, want[k].height);
            int32_t peak = 0;
            double sum_sq = 0;
            for (size_t i = 0; i < want[k].samples.size(); i++) {
                const int32_t e = std::abs(got.samples[i] - want[k].samples[i]);
                peak = std::max(peak, e);
                sum_sq += double(e) * e;
            }
            EXPECT_LE(peak, c.peak) << "component " << k;
            EXPECT_LE(sum_sq / double(want[k].samples.size()), c.mse) << "component " << k;
        }
    }
}

// A parsed decoder over bytes the test owns, so code-block data can be damaged before output.
class Parsed {
public:
    explicit Parsed(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        ops_ = memops_create();
        stream_ = memory_stream_create(ops_, bytes_.data(), uint32_t(bytes_.size()));
        d_ = jpcdec_create(ops_, stream_);
        jpcdec_set_hooks(d_, &Parsed::count_error, nullptr);
        errors() = 0;
        ok_ = d_ && jpcdec_parse(d_);
    }
    ~Parsed() {
        if (d_) jpcdec_destroy(d_);
        if (stream_) stream_->close(stream_);
        ops_->release(ops_);
    }
    bool ok() const { return ok_; }
    jpcdec* d() { return d_; }
    MemOps* ops() { return ops_; }
    // The codestream the decoder reads: code-block bytes are read from it at output time.
    std::vector<uint8_t>& input() { return bytes_; }
    static int& errors() {
        static int n = 0;
        return n;
    }
    // Decodes component 0 at full precision (single-tile fixtures), one row per call of the
    // observer, which sees the bytes in use after the row.
    template <class Observe>
    Plane decode_grey(Observe observe) {
        uint32_t w, h;
        jpcdec_get_size(d_, &w, &h);
        Plane p;
        p.width = w;
        p.height = h;
        EXPECT_EQ(jpcdec_set_output(d_, 1, nullptr, 1), 1);
        std::vector<uint8_t> row(w);
        for (uint32_t y = 0; y < h; y++) {
            EXPECT_EQ(jpcdec_decode_row(d_, row.data()), 1);
            const int32_t* s = jpcdec_row_samples(d_, 0);
            p.samples.insert(p.samples.end(), s, s + w);
            observe(y, memops_in_use(ops_));
        }
        jpcdec_finish_output(d_);
        return p;
    }
    Plane decode_grey() {
        return decode_grey([](uint32_t, uint64_t) {});
    }

private:
    static void count_error(const char*) { errors()++; }
    std::vector<uint8_t> bytes_;
    MemOps* ops_ = nullptr;
    Stream* stream_ = nullptr;
    jpcdec* d_ = nullptr;
    bool ok_ = false;
};

// Code-block `index` (raster order over the band) of band b at resolution r.
struct Damage {
    uint32_t r, b, index;
};

CodeBlock* damage_block(Parsed& p, const Damage& dm) {
    jpcdec* d = p.d();
    Band& band = d->tiles[0].components[0].resolutions[dm.r].bands[dm.b];
    if (!band.code_blocks || dm.index >= band.cb_across * band.cb_down) return nullptr;
    CodeBlock* cb = band.code_blocks[dm.index];
    CodedSegment* seg = cb->segments.head;
    if (!seg || seg->total_len < 8) return nullptr;
    // Flip bytes in the middle of the block's data: the first passes decode, the rest not.
    // The bytes stay in the input until the block is decoded, so the damage goes there.
    for (uint32_t i = seg->total_len / 3; i < seg->total_len / 3 + 4; i++) {
        const uint32_t pos = coded_byte_position(d, seg, i);
        if (pos >= p.input().size()) return nullptr;
        p.input()[pos] ^= 0x5A;
    }
    return cb;
}

// Damage in one code-block is detected and changes only the pixels its coefficients feed:
// - no transform levels: band coordinates are image coordinates, and block 5, the second of
//   the second row of 16 x 16 blocks (x 16..32, y 16..32), changes only its own rectangle
//   (blocks 4, 6 and 7 share its row);
// - three levels: a block of the finest HL band reaches twice its band rectangle, widened by
//   the 5/3 filters' reach.
TEST(ReconstructFixtures, DamagedCodeBlockStaysLocal) {
    const std::vector<Plane> src = read_source("rec_blocks_64x48.pgm");
    const struct {
        const char* stream;
        Damage damage;  // resolution = the component's levels
        int64_t scale, reach;
        uint32_t x0, y0;  // of the block in its band
    } cases[] = {
        {"rec_blocks_64x48.j2c", {0, 0, 5}, 1, 0, 16, 16},
        {"rec_blocks_dwt_64x48.j2c", {2, 0, 1}, 2, 3, 16, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stream);
        Parsed p(fixture_bytes(c.stream));
        ASSERT_TRUE(p.ok());
        ASSERT_EQ(p.d()->tiles[0].components[0].levels, c.damage.r);
        CodeBlock* cb = damage_block(p, c.damage);
        ASSERT_NE(cb, nullptr);
        EXPECT_EQ(cb->x0, c.x0);
        EXPECT_EQ(cb->y0, c.y0);
        const int64_t x0 = c.scale * cb->x0 - c.reach, x1 = c.scale * cb->x1 + c.reach;
        const int64_t y0 = c.scale * cb->y0 - c.reach, y1 = c.scale * cb->y1 + c.reach;
        const Plane got = p.decode_grey();
        EXPECT_GE(Parsed::errors(), 1) << "the damage is detected and reported";
        uint32_t inside = 0, outside = 0;
        for (uint32_t y = 0; y < got.height; y++)
            for (uint32_t x = 0; x < got.width; x++) {
                const bool in = x >= x0 && x < x1 && y >= y0 && y < y1;
                (in ? inside : outside) += got.at(x, y) != src[0].at(x, y);
            }
        EXPECT_GT(inside, 0u);
        EXPECT_EQ(outside, 0u);
    }
}

// Output buffers of a tile row exist only while that row is delivered: after the last row of
// each tile row the bytes in use fall back to the same level, below the level during a row.
TEST(ReconstructFixtures, TileRowBuffersAreFreedAtTheRowsEnd) {
    Parsed p(fixture_bytes("rec_tiles_rgb_45x30.j2c"));
    ASSERT_TRUE(p.ok());
    std::vector<uint64_t> in_use;
    const Plane got = p.decode_grey([&](uint32_t, uint64_t bytes) { in_use.push_back(bytes); });
    ASSERT_EQ(in_use.size(), 30u);
    // Tile rows are 16 and 14 high: rows 15 and 29 end them.
    EXPECT_EQ(in_use[15], in_use[29]);
    EXPECT_LT(in_use[15], in_use[0]);
    EXPECT_LT(in_use[15], in_use[16]);
    EXPECT_EQ(got.samples.size(), 45u * 30u);
}

// When a tile's buffers cannot be had, its rows come out as zero coefficients (the level
// shift), every row still arrives, and nothing leaks.
TEST(ReconstructFixtures, TileBuffersOutOfMemoryGiveZeroCoefficients) {
    const std::vector<uint8_t> bytes = fixture_bytes("rec_blocks_dwt_64x48.j2c");
    MemOps* ops = memops_create();
    Stream* s = memory_stream_create(ops, bytes.data(), uint32_t(bytes.size()));
    jpcdec* d = jpcdec_create(ops, s);
    ASSERT_TRUE(d && jpcdec_parse(d));
    ASSERT_EQ(jpcdec_set_output(d, 1, nullptr, 1), 1);
    // Everything up to here was granted; the tile buffers the first row needs are not.
    memops_set_budget(ops, memops_in_use(ops) + 64);
    std::vector<uint8_t> row(64);
    for (uint32_t y = 0; y < 48; y++) {
        ASSERT_EQ(jpcdec_decode_row(d, row.data()), 1) << y;
        for (uint32_t x = 0; x < 64; x++) ASSERT_EQ(row[x], 128) << x << ", " << y;
    }
    EXPECT_EQ(jpcdec_decode_row(d, row.data()), 0);
    jpcdec_finish_output(d);
    jpcdec_destroy(d);
    s->close(s);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
}

}  // namespace
