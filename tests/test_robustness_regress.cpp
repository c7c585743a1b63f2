// Inputs that once cost too much time or memory, or broke a property, kept as named cases.
#include <gtest/gtest.h>

#include <algorithm>
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

// Small inputs that once bought far more time or memory than they carry, decoded by the tool:
// each ends quickly and within a modest memory, refused with the tool's message or with a
// picture. Padding (comments) raises no allowance, an empty packet header costs a few steps
// whatever its precinct holds, code-blocks no packet reaches cost nothing, and components
// that are never output cost only what reading past their packets needs.
struct HostileCase {
    const char* name;
    std::vector<uint8_t> (*make)();
    bool refused;  // else a picture
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

Bytes comments(size_t total) {
    Bytes b;
    for (; total > 0; total -= std::min<size_t>(total, 65000)) {
        Bytes body;
        body.u16(1).raw(std::vector<uint8_t>(std::min<size_t>(total, 65000), 'x'));
        b.add(cs_test::segment(0xFF64, body));
    }
    return b;
}

// SOC, SIZ, COD and `qcd`, then `extra`, one tile-part holding `packets`, EOC.
std::vector<uint8_t> hostile_stream(const cs_test::SizParams& siz, const cs_test::CodParams& cod,
                                    const Bytes& qcd, const Bytes& extra, const Bytes& packets) {
    Bytes b = cs_test::marker(0xFF4F);
    b.add(cs_test::segment(0xFF51, cs_test::siz_body(siz)))
        .add(cs_test::segment(0xFF52, cs_test::cod_body(cod)))
        .add(cs_test::segment(0xFF5C, qcd))
        .add(extra);
    b.add(cs_test::sot(0, uint32_t(12 + 2 + packets.size()), 0, 1)).add(cs_test::marker(0xFF93));
    return b.add(packets).add(cs_test::marker(0xFFD9)).v;
}

Bytes repeated(uint8_t byte, size_t n) { return Bytes().raw(std::vector<uint8_t>(n, byte)); }

cs_test::SizParams square(uint32_t size, uint16_t components = 1, uint32_t height = 0) {
    cs_test::SizParams siz;
    siz.Xsiz = siz.XTsiz = size;
    siz.Ysiz = siz.YTsiz = height ? height : size;
    siz.components.assign(components, cs_test::SizComponent{7, 1, 1});
    return siz;
}

// 2048 x 2048, 262,144 code-blocks of 4 x 4 in one precinct, 8192 layers whose one-byte
// packets say "present, nothing new included", after 2 MB of comments.
std::vector<uint8_t> layers_over_a_vast_precinct() {
    cs_test::CodParams cod;
    cod.layers = 8192;
    cod.xcb = cod.ycb = 0;
    return hostile_stream(square(2048), cod, cs_test::qcd_body_reversible(0), comments(2 << 20),
                          repeated(0x80, 8192));
}

// 11585 x 11585 of 4 x 4 code-blocks and one empty packet, behind 120 KB of comments.
std::vector<uint8_t> blocks_behind_comments() {
    cs_test::CodParams cod;
    cod.xcb = cod.ycb = 0;
    return hostile_stream(square(11585), cod, cs_test::qcd_body_reversible(0),
                          comments(120 << 10), repeated(0x00, 1));
}

// 16384 components, 5-level 9/7, every packet empty (or "present, nothing included").
std::vector<uint8_t> many_components(uint32_t width, uint32_t height, const Bytes& packet) {
    cs_test::CodParams cod;
    cod.levels = 5;
    cod.transform = 0;
    Bytes packets;
    for (int i = 0; i < 16384 * 6; i++) packets.add(packet);
    return hostile_stream(square(width, 16384, height), cod, Bytes().u8(0x41).u16(10 << 11), {},
                          packets);
}
std::vector<uint8_t> components_of_2048x1024() { return many_components(2048, 1024, repeated(0, 1)); }
std::vector<uint8_t> components_of_512x512() {
    return many_components(512, 512, Bytes().u8(0x80).u8(0x00));
}

// A 5/3 filter over step-size samples, whose sums once overflowed 32 bits.
std::vector<uint8_t> filter_over_step_sizes() {
    return cs_test::read_file(app_test::data_path("fuzz-regress/53-filter-over-step-size-samples.j2c"));
}

class HostileInput : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileInput, EndsQuicklyWithinModestMemory) {
    const HostileCase& c = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    const double limit_seconds = 10;
#else
    const double limit_seconds = 2;
#endif
    app_test::ScratchDir dir;
    const std::vector<uint8_t> bytes = c.make();
    ASSERT_FALSE(bytes.empty());
    app_test::write_file(dir.file("in.j2c"), bytes);
    const auto t0 = std::chrono::steady_clock::now();
    const app_test::ToolResult r = app_test::run_tool({dir.file("in.j2c"), dir.file("out.bmp")});
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, limit_seconds);
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(r.max_rss_kb, 256 * 1024) << "peak resident kilobytes";
#endif
    if (c.refused) {
        EXPECT_EQ(r.exit_code, 255);
        EXPECT_EQ(r.out, "Parsing JPEG2000 Codestream error");
        EXPECT_FALSE(app_test::file_exists(dir.file("out.bmp")));
    } else {
        EXPECT_EQ(r.exit_code, 0) << r.out;
        EXPECT_TRUE(app_test::file_exists(dir.file("out.bmp")));
    }
}

std::string hostile_name(const ::testing::TestParamInfo<HostileCase>& p) { return p.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Robustness, HostileInput,
    ::testing::Values(HostileCase{"LayersOverAVastPrecinct", layers_over_a_vast_precinct, false},
                      HostileCase{"BlocksBehindComments", blocks_behind_comments, true},
                      HostileCase{"ComponentsOf2048x1024", components_of_2048x1024, true},
                      HostileCase{"ComponentsOf512x512", components_of_512x512, false},
                      HostileCase{"FilterOverStepSizes", filter_over_step_sizes, false}),
    hostile_name);

}  // namespace
