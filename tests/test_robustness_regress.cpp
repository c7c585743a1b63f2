// Inputs that once cost too much time or memory, or broke a property, kept as named cases.
#include <gtest/gtest.h>

#include "support/codestream_fixtures.h"

using cs_test::Bytes;
using cs_test::Decoder;
using cs_test::Messages;

namespace {

// Main header, one tile-part for tile 0 (an empty packet), EOC.
std::vector<uint8_t> one_tile_part_stream(const cs_test::SizParams& siz) {
    Bytes b = cs_test::main_header(siz);
    Bytes body;
    body.u8(0x00);  // one empty packet
    b.add(cs_test::sot(0, 12 + 2 + 1, 0, 1)).add(cs_test::marker(0xFF93)).add(body);
    b.add(cs_test::marker(0xFFD9));
    return b.v;
}

TEST(RobustnessRegression, ManyClaimedTilesWithOneTilePartAreRefused) {
    // 4096 tiles of 1 x 1 announced by a stream of a few dozen bytes: filling every missing
    // tile in would make thousands of tile structures out of nothing.
    cs_test::SizParams siz;
    siz.XTsiz = siz.YTsiz = 1;
    Decoder dec(one_tile_part_stream(siz));
    EXPECT_EQ(jpcdec_parse(dec.get()), 0);
    ASSERT_FALSE(Messages::errors.empty());
    EXPECT_EQ(Messages::errors.back(),
              "The codestream is too short to hold a tile-part for each of its tiles.");
}

TEST(RobustnessRegression, AFewMissingTilesStillDecodeAsEmpty) {
    // Four tiles, only the first announced: the stream is long enough to have held them all,
    // so the missing ones are filled in and the parse succeeds.
    cs_test::SizParams siz;
    siz.XTsiz = siz.YTsiz = 32;
    Decoder dec(one_tile_part_stream(siz));
    EXPECT_EQ(jpcdec_parse(dec.get()), 1);
}

}  // namespace
