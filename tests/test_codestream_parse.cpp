// The parse driver over hand-built codestreams: tile-part sequencing by Psot, the end of the
// codestream, TPsot and Isot rules, packed headers, truncation and the object's lifecycle.
// Packets are empty (one zero byte each), so the streams need no entropy-coded data.
#include <gtest/gtest.h>

#include "codestream/jpc_markers.h"
#include "support/codestream_fixtures.h"

using cs_test::Bytes;
using cs_test::CodParams;
using cs_test::Decoder;
using cs_test::Messages;
using cs_test::SizParams;

namespace {

using Strings = std::vector<std::string>;

const char* const kMissingEoc = "Missing EOC marker";
const char* const kMismatch =
    "Tile-part packets did not fill the tile-part length (Psot); resuming at its end.";
const char* const kTrailing =
    "Tile-part packets ended before the end of the tile-part; data skipped up to EOC.";

// 16 x 8 image in two 8 x 8 tiles, one component, no decomposition; `layers` empty packets
// per tile.
Bytes two_tile_header(uint16_t layers = 1, uint8_t Scod = 0, const Bytes& extra = {}) {
    SizParams siz;
    siz.Xsiz = 16, siz.Ysiz = 8, siz.XTsiz = 8, siz.YTsiz = 8;
    CodParams cod;
    cod.layers = layers;
    cod.Scod = Scod;
    return cs_test::main_header(siz, cod, extra);
}

// SOT, the header segments, SOD and the packet bytes; Psot counts them all unless given.
Bytes tile_part(uint16_t isot, uint8_t tpsot, uint8_t tnsot, const std::vector<uint8_t>& packets,
                int64_t psot = -1, const Bytes& header = {}) {
    Bytes rest = header;
    rest.add(cs_test::marker(kMarkerSOD)).raw(packets);
    const uint32_t length = psot < 0 ? static_cast<uint32_t>(12 + rest.size()) : uint32_t(psot);
    return cs_test::sot(isot, length, tpsot, tnsot).add(rest);
}

Bytes eoc() { return cs_test::marker(kMarkerEOC); }
Bytes com() { return cs_test::segment(kMarkerCOM, Bytes().u16(1).u8('x')); }
Bytes ppt(uint8_t z, const std::vector<uint8_t>& data) {
    return cs_test::segment(kMarkerPPT, Bytes().u8(z).raw(data));
}

struct ParseCase {
    const char* name;
    Bytes stream;
    int ok;
    Strings errors;
    Strings warnings;
    std::vector<uint32_t> parts_seen;  // per tile, when the parse succeeds
};

std::vector<ParseCase> parse_cases() {
    const Bytes h = two_tile_header();
    const Bytes t0 = tile_part(0, 0, 1, {0}), t1 = tile_part(1, 0, 1, {0});
    const Bytes sot_short = cs_test::segment(kMarkerSOT, Bytes().u16(1).u32(20).u8(0));
    return {
        {"both tiles", Bytes(h).add(t0).add(t1).add(eoc()), 1, {}, {}, {1, 1}},
        {"tile-parts interleaved",
         Bytes(h).add(tile_part(0, 0, 2, {0})).add(tile_part(1, 0, 2, {})).add(tile_part(0, 1, 2, {}))
             .add(tile_part(1, 1, 2, {0})).add(eoc()),
         1, {}, {}, {2, 2}},
        {"tiles in reverse order", Bytes(h).add(t1).add(t0).add(eoc()), 1, {}, {}, {1, 1}},
        {"COM instead of EOC", Bytes(h).add(t0).add(t1).add(com()), 1, {}, {kMissingEoc}, {1, 1}},
        {"ends after the last packet", Bytes(h).add(t0).add(t1), 1, {}, {kMissingEoc}, {1, 1}},
        {"EOC before tile 1: it stays empty", Bytes(h).add(t0).add(eoc()), 1, {}, {}, {1, 0}},
        {"ends before tile 1", Bytes(h).add(t0), 0,
         {"The codestream ends before every tile has been read."}, {}, {}},
        {"COM before tile 1", Bytes(h).add(t0).add(com()).add(t1), 0,
         {"Expected a tile-part (SOT marker) or EOC, found another marker."}, {}, {}},
        {"Psot past padding with marker-like bytes",
         Bytes(h).add(tile_part(0, 0, 1, {0, 0xFF, 0x12, 0x34}, 12 + 2 + 4)).add(t1).add(eoc()), 1,
         {}, {kMismatch}, {1, 1}},
        {"Psot 0 on the last tile-part", Bytes(h).add(t0).add(tile_part(1, 0, 1, {0}, 0)).add(eoc()),
         1, {}, {}, {1, 1}},
        {"Psot 0 with bytes left before EOC",
         Bytes(h).add(t0).add(tile_part(1, 0, 1, {0, 0x12, 0xFF, 0x34, 0xFF}, 0)).add(eoc()), 1, {},
         {kTrailing}, {1, 1}},
        {"Psot 0, then another tile-part", Bytes(h).add(tile_part(0, 0, 1, {0}, 0)).add(t1).add(eoc()),
         1, {}, {}, {1, 1}},
        // The packet loop needs two bytes ahead when Psot is 0, so the last byte stays unread.
        {"Psot 0 without EOC", Bytes(h).add(t0).add(tile_part(1, 0, 1, {0}, 0)), 1, {},
         {kTrailing, kMissingEoc}, {1, 1}},
        {"ends before tile 0's second tile-part", Bytes(h).add(tile_part(0, 0, 2, {0})).add(t1), 0,
         {"The codestream ends before every tile has been read."}, {}, {}},
        {"EOC before tile 0's second tile-part",
         Bytes(h).add(tile_part(0, 0, 2, {0})).add(t1).add(eoc()), 1, {}, {}, {1, 1}},
        {"TPsot 1 before the first tile-part", Bytes(h).add(tile_part(0, 1, 2, {})).add(eoc()), 0,
         {"Tile-part with TPsot > 0 for a tile whose first tile-part has not been read."}, {}, {}},
        {"second TPsot 0", Bytes(h).add(t0).add(tile_part(0, 0, 1, {})).add(eoc()), 0,
         {"Second tile-part with TPsot 0 for a tile that is already built."}, {}, {}},
        {"Isot beyond the tiles", Bytes(h).add(tile_part(2, 0, 1, {0})).add(eoc()), 0,
         {"SOT marker segment's Isot is >= tileNum."}, {}, {}},
        {"no tile-part at all", Bytes(h).add(eoc()), 0, {"Parsing SOT marker error."}, {}, {}},
        {"short Lsot after a tile-part", Bytes(h).add(t0).add(sot_short), 0,
         {"Parsing SOT marker error."}, {}, {}},
        {"TNsot 0", Bytes(h).add(tile_part(0, 0, 0, {0})).add(t1).add(eoc()), 1, {},
         {"SOT marker segment's TPsot is >= TNsot."}, {1, 1}},
        {"PPT with a PPM", Bytes(two_tile_header(1, 0, cs_test::segment(kMarkerPPM, Bytes().u8(0).u32(1).u8(0))))
             .add(tile_part(0, 0, 1, {}, -1, ppt(0, {0}))).add(eoc()),
         0, {"The codestream has both PPM and PPT marker segments; only one kind may be used."}, {}, {}},
        {"bad SOP length reaches tier-2",
         Bytes(two_tile_header(1, 0x02)).add(tile_part(0, 0, 1, {0xFF, 0x91, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00}))
             .add(t1).add(eoc()),
         0, {"Parsing SOP marker error."}, {}, {}},
        {"SOP of length 4", Bytes(two_tile_header(1, 0x02)).add(tile_part(0, 0, 1, {0xFF, 0x91, 0x00, 0x04, 0x00, 0x00, 0x00}))
             .add(t1).add(eoc()),
         1, {}, {}, {1, 1}},
    };
}

TEST(CodestreamParse, TilePartSequencingAndTheEnd) {
    for (const ParseCase& c : parse_cases()) {
        SCOPED_TRACE(c.name);
        Decoder dec(c.stream);
        EXPECT_EQ(jpcdec_parse(dec.get()), c.ok);
        EXPECT_EQ(Messages::errors, c.errors);
        if (!c.ok) continue;
        EXPECT_EQ(Messages::warnings, c.warnings);
        const jpcdec* d = dec.get();
        ASSERT_EQ(d->tileNum, c.parts_seen.size());
        for (uint32_t t = 0; t < d->tileNum; t++) {
            EXPECT_EQ(d->tiles[t].parts_seen, c.parts_seen[t]) << "tile " << t;
            EXPECT_EQ(d->tiles[t].built, 1u) << "tile " << t;  // announced or not
        }
    }
}

TEST(CodestreamParse, PptBytesAccumulateOverTheTilesTileParts) {
    // Tile 0: two layers, each tile-part's header carries one packet header (a zero byte).
    const Bytes s = Bytes(two_tile_header(2))
                        .add(tile_part(0, 0, 2, {}, -1, ppt(0, {0})))
                        .add(tile_part(1, 0, 1, {0, 0}))
                        .add(tile_part(0, 1, 2, {}, -1, ppt(1, {}).add(ppt(0, {0}))))
                        .add(eoc());
    Decoder dec(s);
    ASSERT_EQ(jpcdec_parse(dec.get()), 1) << (Messages::errors.empty() ? "" : Messages::errors[0]);
    const Tile& t0 = dec.get()->tiles[0];
    ASSERT_EQ(t0.ppt_length, 2u);
    EXPECT_EQ(std::vector<uint8_t>(t0.ppt_data, t0.ppt_data + 2), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(dec.get()->tiles[1].ppt_length, 0u);
}

// Every prefix of a valid stream: a clean result, one report on failure, nothing leaked.
TEST(CodestreamParse, EveryTruncationFailsCleanly) {
    const Bytes whole = Bytes(two_tile_header(2))
                            .add(tile_part(0, 0, 2, {0}, -1, com()))
                            .add(tile_part(1, 0, 1, {0, 0}))
                            .add(tile_part(0, 1, 2, {0}))
                            .add(eoc());
    for (size_t cut = 0; cut <= whole.size(); cut++) {
        SCOPED_TRACE(cut);
        Decoder dec(std::vector<uint8_t>(whole.v.begin(), whole.v.begin() + cut));
        const int ok = jpcdec_parse(dec.get());
        if (ok) {
            EXPECT_TRUE(Messages::errors.empty());
            EXPECT_GE(cut, whole.size() - 2);  // only the EOC may be missing
        } else {
            EXPECT_EQ(Messages::errors.size(), 1u);
        }
    }
}

// Any byte of the headers overwritten: the parse may fail but must report and free all.
TEST(CodestreamParse, CorruptedHeaderBytesFailCleanly) {
    const Bytes whole = Bytes(two_tile_header(2, 0x06))
                            .add(tile_part(0, 0, 2, {0}))
                            .add(tile_part(1, 0, 1, {0, 0}))
                            .add(tile_part(0, 1, 2, {0}))
                            .add(eoc());
    for (size_t i = 2; i < whole.size(); i++) {
        for (uint8_t value : {0x00, 0x01, 0x7F, 0xFF}) {
            Bytes b = whole;
            b.v[i] = value;
            Decoder dec(b);
            if (!jpcdec_parse(dec.get())) {
                EXPECT_FALSE(Messages::errors.empty()) << i << " = " << int(value);
            }
        }
    }
}

TEST(CodestreamParse, BorrowedReaderOutlivesTheDecoder) {
    const Bytes s = Bytes(two_tile_header()).add(tile_part(0, 0, 1, {0})).add(tile_part(1, 0, 1, {0})).add(eoc());
    MemOps* ops = memops_create();
    Stream* stream = memory_stream_create(ops, s.v.data(), static_cast<uint32_t>(s.size()));
    ByteReader* reader = byte_reader_create(ops, stream);
    ASSERT_NE(reader, nullptr);
    jpcdec* d = jpcdec_create_on_reader(ops, reader);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->reader_borrowed, 1u);
    EXPECT_EQ(jpcdec_parse(d), 1);
    uint32_t w = 0, h = 0;
    jpcdec_get_size(d, &w, &h);
    EXPECT_EQ(w, 16u);
    EXPECT_EQ(h, 8u);
    EXPECT_EQ(jpcdec_get_component_num(d), 1);
    jpcdec_destroy(d);
    EXPECT_EQ(br_get_pos(reader), s.size());  // still usable: the decoder left it alone
    byte_reader_destroy(ops, reader);
    stream->close(stream);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
}

// Allocation failures at every point of a parse: a clean failure, never a crash or a leak.
TEST(CodestreamParse, AllocationFailuresFailCleanly) {
    const Bytes s = Bytes(two_tile_header(2))
                        .add(tile_part(0, 0, 2, {}, -1, ppt(0, {0})))
                        .add(tile_part(1, 0, 1, {0, 0}))
                        .add(tile_part(0, 1, 2, {}, -1, ppt(0, {0})))
                        .add(eoc());
    bool completed = false;
    for (uint64_t budget = 64; !completed && budget < (1u << 22); budget += budget / 8 + 64) {
        SCOPED_TRACE(budget);
        Messages::clear();
        MemOps* ops = memops_create_with_budget(budget);
        Stream* stream = memory_stream_create(ops, s.v.data(), static_cast<uint32_t>(s.size()));
        jpcdec* d = stream ? jpcdec_create(ops, stream) : nullptr;
        if (d) {
            jpcdec_set_hooks(d, Messages::on_error, Messages::on_warning);
            completed = jpcdec_parse(d) == 1;
            if (!completed) {
                EXPECT_EQ(Messages::errors.size(), 1u);
            }
            jpcdec_destroy(d);
        }
        if (stream) stream->close(stream);
        EXPECT_EQ(memops_in_use(ops), 0u);
        ops->release(ops);
    }
    EXPECT_TRUE(completed);
}

}  // namespace
