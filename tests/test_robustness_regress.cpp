// Inputs that once cost too much time or memory, or broke a property, kept as named cases.
#include <gtest/gtest.h>

#include <chrono>

#include "support/codestream_fixtures.h"

using cs_test::Bytes;
using cs_test::Decoder;
using cs_test::Messages;

namespace {

// Main header, one tile-part for tile 0 (an empty packet), EOC.
std::vector<uint8_t> one_tile_part_stream(const cs_test::SizParams& siz,
                                          const cs_test::CodParams& cod = {}) {
    Bytes b = cs_test::main_header(siz, cod);
    Bytes body;
    body.u8(0x00);  // one empty packet
    b.add(cs_test::sot(0, 12 + 2 + 1, 0, 1)).add(cs_test::marker(0xFF93)).add(body);
    b.add(cs_test::marker(0xFFD9));
    return b.v;
}

// One tile-part of a 64 x 64 image whose tiles are claimed by the header:
// - 4096 tiles of 1 x 1 announced by a stream of a few dozen bytes: filling every missing
//   tile in would make thousands of tile structures out of nothing;
// - four tiles, only the first announced: the stream is long enough to have held them all,
//   so the missing ones are filled in and the parse succeeds.
TEST(RobustnessRegression, MissingTilesAreFilledOnlyWhenTheStreamCouldHoldThem) {
    const struct {
        uint32_t tile;
        const char* error;  // nullptr: the parse succeeds
    } cases[] = {
        {1, "The codestream is too short to hold a tile-part for each of its tiles."},
        {32, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tile);
        cs_test::SizParams siz;
        siz.XTsiz = siz.YTsiz = c.tile;
        Decoder dec(one_tile_part_stream(siz));
        EXPECT_EQ(jpcdec_parse(dec.get()), c.error ? 0 : 1);
        if (c.error) {
            ASSERT_FALSE(Messages::errors.empty());
            EXPECT_EQ(Messages::errors.back(), c.error);
        }
    }
}

// Short streams whose headers declare vast grids of precincts and code-blocks: refused before
// the grids are allocated, quickly and with little memory, while a large image of ordinary
// code-block size in an equally short stream still parses (its missing packets are empty).
struct ClaimCase {
    const char* name;
    uint32_t size, tile;
    uint8_t levels, cb_exponent;      // code-block exponent as coded (size 2^(x + 2))
    std::vector<uint8_t> precincts;   // PPx | PPy << 4 per resolution, empty for the default
    bool refused;
};

void PrintTo(const ClaimCase& c, std::ostream* os) { *os << c.name; }

class LargeClaims : public ::testing::TestWithParam<ClaimCase> {};

TEST_P(LargeClaims, RefusedFastOrParsed) {
    const ClaimCase& c = GetParam();
    cs_test::SizParams siz;
    siz.Xsiz = siz.Ysiz = c.size;
    siz.XTsiz = siz.YTsiz = c.tile;
    cs_test::CodParams cod;
    cod.levels = c.levels;
    cod.xcb = cod.ycb = c.cb_exponent;
    cod.precincts = c.precincts;
    cod.Scod = c.precincts.empty() ? 0 : 1;
    const std::vector<uint8_t> bytes = one_tile_part_stream(siz, cod);
    ASSERT_LT(bytes.size(), 200u);
    Decoder dec(bytes);
    const auto t0 = std::chrono::steady_clock::now();
    const int ok = jpcdec_parse(dec.get());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (!c.refused) {
        EXPECT_EQ(ok, 1);
        return;
    }
    EXPECT_EQ(ok, 0);
    ASSERT_FALSE(Messages::errors.empty());
    EXPECT_EQ(Messages::errors.back(),
              "The codestream is too short for the precincts and code-blocks its headers declare.");
    EXPECT_LT(seconds, 0.5);
    EXPECT_LT(memops_peak(dec.ops()), uint64_t(1) << 20) << "bytes allocated before refusing";
}

std::string claim_name(const ::testing::TestParamInfo<ClaimCase>& p) { return p.param.name; }

const std::vector<uint8_t> kTinyPrecincts = {0x00, 0x11, 0x11, 0x11, 0x11, 0x11};

INSTANTIATE_TEST_SUITE_P(
    Robustness, LargeClaims,
    ::testing::Values(
        ClaimCase{"Blocks4x4", 60000, 60000, 0, 0, {}, true},
        ClaimCase{"Blocks1x1InTinyPrecincts", 60000, 60000, 5, 0, kTinyPrecincts, true},
        ClaimCase{"Blocks1x1Tiled", 60000, 8192, 5, 4, kTinyPrecincts, true},
        ClaimCase{"Blocks4x4Tiled", 60000, 8192, 0, 0, {}, true},
        ClaimCase{"Ordinary16000", 16000, 16000, 5, 4, {}, false},
        ClaimCase{"Ordinary40000", 40000, 40000, 5, 4, {}, false}),
    claim_name);

TEST(RobustnessRegression, ManyComponentsAreRefusedBeforeAnyIsBuilt) {
    // 16384 components of 1024 x 1024 over 32 levels: the whole tile is weighed before its
    // first component allocates resolutions, so the refusal costs little more than the SIZ.
    cs_test::SizParams siz;
    siz.Xsiz = siz.Ysiz = siz.XTsiz = siz.YTsiz = 1024;
    siz.components.assign(16384, cs_test::SizComponent{7, 1, 1});
    cs_test::CodParams cod;
    cod.levels = 32;
    Decoder dec(one_tile_part_stream(siz, cod));
    EXPECT_EQ(jpcdec_parse(dec.get()), 0);
    ASSERT_FALSE(Messages::errors.empty());
    EXPECT_EQ(Messages::errors.back(),
              "The codestream is too short for the precincts and code-blocks its headers declare.");
    EXPECT_LT(memops_peak(dec.ops()), uint64_t(4) << 20);
}

TEST(RobustnessRegression, ManyLayersOverAVastPrecinctAreCutShort) {
    // 65536 code-blocks of 4 x 4 in one precinct and 600 layers, each packet a single byte
    // that says "non-empty, nothing new included": every header would walk all the blocks,
    // some 39 million visits for 700 bytes. The walk is cut short with a report.
    cs_test::SizParams siz;
    siz.Xsiz = siz.Ysiz = siz.XTsiz = siz.YTsiz = 1024;
    cs_test::CodParams cod;
    cod.layers = 600;
    cod.xcb = cod.ycb = 0;
    Bytes b = cs_test::main_header(siz, cod);
    Bytes body;
    for (int i = 0; i < cod.layers; i++) body.u8(0x80);
    b.add(cs_test::sot(0, uint32_t(12 + 2 + body.size()), 0, 1)).add(cs_test::marker(0xFF93));
    b.add(body).add(cs_test::marker(0xFFD9));
    Decoder dec(b.v);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(jpcdec_parse(dec.get()), 0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_FALSE(Messages::errors.empty());
    EXPECT_EQ(Messages::errors.back(),
              "Packet headers pass over more code-blocks than the codestream's length can justify.");
    EXPECT_LT(seconds, 10.0);
}

}  // namespace
