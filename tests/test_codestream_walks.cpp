// Marker reader, main and tile-part header walks, SOT and SOP bodies, and the collection of
// packed packet headers, over codestreams built as bytes.
#include <gtest/gtest.h>

#include "codestream/jpc_markers.h"
#include "codestream/jpc_params.h"
#include "support/codestream_fixtures.h"

using cs_test::Bytes;
using cs_test::CodParams;
using cs_test::Decoder;
using cs_test::Messages;
using cs_test::SizParams;

namespace {

using Strings = std::vector<std::string>;

const char* const kUnsupported = "Unsupported markers, ignored.";

Bytes com() { return cs_test::segment(kMarkerCOM, Bytes().u16(1).u8('x')); }
Bytes seg(uint16_t code, const Bytes& body) { return cs_test::segment(code, body); }
Bytes cod(const CodParams& p) { return seg(kMarkerCOD, cs_test::cod_body(p)); }
Bytes coc(uint16_t c, const CodParams& p) { return seg(kMarkerCOC, cs_test::coc_body(c, p)); }
Bytes packed(uint16_t code, uint8_t z, const std::vector<uint8_t>& data) {
    return seg(code, Bytes().u8(z).raw(data));
}

// ------------------------------------------------------------------------ marker reader

struct MarkerCase {
    std::vector<uint8_t> bytes;
    int ok;
    uint16_t code, length;
    uint32_t pos_after;
};

const MarkerCase kMarkerCases[] = {
    {{0xFF, 0x52, 0x00, 0x0C}, 1, 0xFF52, 12, 4},
    {{0x00, 0x12, 0xFF, 0x64, 0x00, 0x05}, 1, 0xFF64, 5, 6},   // stray bytes skipped
    {{0xFF, 0xFF, 0x00, 0x04}, 1, 0xFFFF, 4, 4},               // FF FF is a code, not fill
    {{0xFF, 0x4F, 0xFF}, 1, 0xFF4F, 0, 2},
    {{0xFF, 0x93}, 1, 0xFF93, 0, 2},
    {{0xFF, 0xD9}, 1, 0xFFD9, 0, 2},
    {{0xFF, 0x92}, 1, 0xFF92, 0, 2},
    {{0xFF, 0x30}, 1, 0xFF30, 0, 2},
    {{0xFF, 0x3F}, 1, 0xFF3F, 0, 2},
    {{0xFF, 0x40, 0x00, 0x02}, 1, 0xFF40, 2, 4},
    {{0xFF, 0x90, 0x00}, 0, 0, 0, 0},
    {{0x00, 0x00, 0xFF}, 0, 0, 0, 0},
    {{}, 0, 0, 0, 0},
};

TEST(CodestreamMarkers, ReadMarker) {
    for (size_t i = 0; i < std::size(kMarkerCases); i++) {
        const MarkerCase& c = kMarkerCases[i];
        SCOPED_TRACE(i);
        Decoder dec(c.bytes);
        MarkerHeader m{};
        EXPECT_EQ(jpc_read_marker(dec.get(), &m), c.ok);
        if (!c.ok) {
            EXPECT_EQ(Messages::errors, Strings{"Parsing marker header error!"});
            continue;
        }
        EXPECT_EQ(m.code, c.code);
        EXPECT_EQ(m.length, c.length);
        EXPECT_EQ(br_get_pos(dec.get()->reader), c.pos_after);
    }
}

// ------------------------------------------------------------------------ main header

struct MainCase {
    const char* name;
    Bytes bytes;
    const char* error;  // nullptr: the walk succeeds
    Strings warnings;
    bool no_tiles = false;  // the walk failed before any tile was set up
};

SizParams three_components() {
    SizParams p;
    p.components = {{7, 1, 1}, {7, 1, 1}, {7, 1, 1}};
    return p;
}

Bytes header_with(const Bytes& extra, bool with_sot = true) {
    Bytes b = cs_test::main_header(three_components(), CodParams{}, extra);
    if (with_sot) b.add(cs_test::sot(0, 0, 0, 1));
    return b;
}

std::vector<MainCase> main_cases() {
    CodParams bad;
    bad.transform = 9;  // a parse of this fails
    CodParams three;
    three.levels = 3;
    Bytes no_soc = cs_test::main_header();
    no_soc.v[1] = 0x4E;
    Bytes no_siz = cs_test::marker(kMarkerSOC).add(cod(CodParams{}));
    Bytes no_cod = cs_test::marker(kMarkerSOC).add(seg(kMarkerSIZ, cs_test::siz_body(SizParams{})));
    no_cod.add(seg(kMarkerQCD, cs_test::qcd_body_reversible(0))).add(cs_test::sot(0, 0, 0, 1));
    Bytes no_qcd = cs_test::marker(kMarkerSOC).add(seg(kMarkerSIZ, cs_test::siz_body(SizParams{})));
    no_qcd.add(cod(CodParams{})).add(cs_test::sot(0, 0, 0, 1));
    Bytes short_sot = cs_test::main_header().add(seg(kMarkerSOT, Bytes().u16(0).u32(0).u8(0)));
    Bytes cut_segment = cs_test::main_header().add(Bytes().u16(kMarkerCOM).u16(40).u8(1));
    SizParams no_tile_size;
    no_tile_size.XTsiz = 0;
    return {
        {"missing SOC", no_soc, "Missing marker of JPEG2000 codestream.", {}},
        {"missing SIZ", no_siz, "Missing SIZ marker", {}},
        {"missing COD", no_cod, "Missing COD marker.", {}},
        {"missing QCD", no_qcd, "Missing QCD marker.", {}},
        {"duplicate COD is not parsed", header_with(cod(bad)), nullptr,
         {"COD marker has been already parsed, ignored."}},
        {"duplicate QCD is not parsed", header_with(seg(kMarkerQCD, Bytes().u8(0x1F).u16(0))),
         nullptr, {"QCD marker has been already parsed, ignored."}},
        {"duplicate COC is parsed and dropped", header_with(coc(1, three).add(coc(1, CodParams{}))),
         nullptr, {"COC marker of specified component has been already parsed, ignored."}},
        {"duplicate COC that does not parse", header_with(coc(1, three).add(coc(1, bad))),
         "COC marker segment: unknown wavelet transform.", {}},
        {"duplicate QCC", header_with(seg(kMarkerQCC, Bytes().u8(2).u8(0x40).u8(0x48)).add(
                              seg(kMarkerQCC, Bytes().u8(2).u8(0x40).u8(0x50)))),
         nullptr, {"QCC marker of specified component has been already parsed, ignored."}},
        {"duplicate RGN", header_with(seg(kMarkerRGN, Bytes().u8(0).u8(0).u8(3)).add(
                              seg(kMarkerRGN, Bytes().u8(0).u8(0).u8(4)))),
         nullptr, {"RGN marker of specified component has been already parsed, ignored."}},
        {"COM, TLM, PLM and CRG warn",
         header_with(com().add(seg(kMarkerTLM, Bytes().u16(0))).add(seg(kMarkerPLM, Bytes().u8(0)))
                         .add(seg(kMarkerCRG, Bytes().u32(0)))),
         nullptr, {kUnsupported, kUnsupported, kUnsupported, kUnsupported}},
        {"PLT and PPT are skipped silently",
         header_with(seg(kMarkerPLT, Bytes().u16(0)).add(packed(kMarkerPPT, 0, {1, 2}))), nullptr, {}},
        {"EOC, SOD and SIZ again are stepped over",
         header_with(cs_test::marker(kMarkerEOC).add(cs_test::marker(kMarkerSOD))
                         .add(seg(kMarkerSIZ, Bytes().u32(0)))),
         nullptr, {}},
        {"stray bytes between segments", header_with(Bytes().raw({0x00, 0x12, 0x34})), nullptr, {}},
        {"ends after COD and QCD", header_with({}, false), nullptr, {}},
        {"hostile SIZ fails the walk", cs_test::main_header(no_tile_size).add(cs_test::sot(0, 0, 0, 1)),
         "Invalid SIZ marker segment: the tile size is 0.", {}, true},
        {"Lsot below 10", short_sot, "Parsing SOT marker error.", {}},
        {"COC index beyond the components", header_with(coc(3, CodParams{})),
         "COC component index is >= componentNum.", {}},
        {"segment running past the data ends the walk", cut_segment, nullptr, {kUnsupported}},
        {"marker cut by the end of data", cs_test::main_header().add(Bytes().u16(kMarkerCOM).u8(0)),
         "Parsing marker header error!", {}},
    };
}

TEST(CodestreamMainHeader, RulesForEachMarker) {
    for (const MainCase& c : main_cases()) {
        SCOPED_TRACE(c.name);
        Decoder dec(c.bytes);
        MarkerSet* main = jpc_parse_main_header(dec.get());
        EXPECT_EQ(main != nullptr, c.error == nullptr);
        EXPECT_EQ(Messages::errors, c.error ? Strings{c.error} : Strings{});
        EXPECT_EQ(Messages::warnings, c.warnings);
        if (c.no_tiles) {
            EXPECT_EQ(dec.get()->tiles, nullptr);
        }
        marker_set_destroy(dec.get(), main);
    }
}

TEST(CodestreamMainHeader, FirstSegmentOfEachKindWins) {
    CodParams five, three, one;
    five.levels = 5, three.levels = 3, one.levels = 1;
    Bytes extra = cod(one).add(coc(1, three)).add(coc(1, one)).add(coc(2, five));
    extra.add(seg(kMarkerRGN, Bytes().u8(1).u8(0).u8(7)));
    extra.add(seg(kMarkerPOC, Bytes().raw({0, 0, 0, 1, 2, 3, 1})));
    extra.add(seg(kMarkerPOC, Bytes().raw({1, 0, 0, 2, 3, 3, 4})));
    Decoder dec(header_with(extra));
    MarkerSet* main = jpc_parse_main_header(dec.get());
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->cod->part.levels, 0);  // the COD of main_header came first
    ASSERT_NE(main->coc[1], nullptr);
    EXPECT_EQ(main->coc[1]->part.levels, 3);
    ASSERT_NE(main->coc[2], nullptr);
    EXPECT_EQ(main->coc[2]->part.levels, 5);
    EXPECT_EQ(main->coc[0], nullptr);
    ASSERT_NE(main->rgn[1], nullptr);
    EXPECT_EQ(main->rgn[1]->SPrgn, 7);
    ASSERT_NE(main->poc, nullptr);
    EXPECT_EQ(main->poc->Ppoc[0], 1);
    ASSERT_NE(main->poc->next, nullptr);
    EXPECT_EQ(main->poc->next->Ppoc[0], 4);
    EXPECT_EQ(main->poc->next->next, nullptr);
    EXPECT_EQ(Messages::warnings,
              (Strings{"COD marker has been already parsed, ignored.",
                       "COC marker of specified component has been already parsed, ignored."}));
    marker_set_destroy(dec.get(), main);
}

// ---------------------------------------------------------------------------- PPM

TEST(CodestreamPackedHeaders, PpmSegmentsJoinInZOrder) {
    Bytes many;  // 3000 segments must join in linear time
    std::vector<uint8_t> many_joined;
    for (int i = 0; i < 3000; i++) {
        many.add(packed(kMarkerPPM, static_cast<uint8_t>(i * 256 / 3000), {uint8_t(i), uint8_t(i >> 8)}));
        many_joined.push_back(uint8_t(i));
        many_joined.push_back(uint8_t(i >> 8));
    }
    struct Case {
        const char* name;
        Bytes extra;
        std::vector<uint8_t> expected;
        const char* error;
    };
    const Case cases[] = {
        {"two segments, a run split across them",
         packed(kMarkerPPM, 0, {0, 0, 0, 3, 0xA0}).add(packed(kMarkerPPM, 1, {0xA1, 0xA2})),
         {0, 0, 0, 3, 0xA0, 0xA1, 0xA2}, nullptr},
        {"out of order",
         packed(kMarkerPPM, 2, {0xC0}).add(packed(kMarkerPPM, 0, {0xA0, 0xA1}))
             .add(packed(kMarkerPPM, 1, {0xB0})).add(packed(kMarkerPPM, 0, {0xA2})),
         {0xA0, 0xA1, 0xA2, 0xB0, 0xC0}, nullptr},
        {"empty body", packed(kMarkerPPM, 0, {}), {}, nullptr},
        {"3000 segments", many, many_joined, nullptr},
        {"no Zppm", seg(kMarkerPPM, Bytes()), {}, "PPM marker segment is too short."},
        {"body past the data", Bytes().u16(kMarkerPPM).u16(200).u8(0).u8(1), {},
         "Parsing PPM marker segment error."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder dec(header_with(c.extra, c.error == nullptr));
        MarkerSet* main = jpc_parse_main_header(dec.get());
        EXPECT_EQ(Messages::errors, c.error ? Strings{c.error} : Strings{});
        if (c.error) {
            EXPECT_EQ(main, nullptr);
            continue;
        }
        ASSERT_NE(main, nullptr);
        EXPECT_TRUE(Messages::warnings.empty());
        EXPECT_EQ(dec.get()->ppm_present, 1u);
        ASSERT_EQ(dec.get()->ppm_length, c.expected.size());
        EXPECT_EQ(std::vector<uint8_t>(dec.get()->ppm_data, dec.get()->ppm_data + c.expected.size()),
                  c.expected);
        marker_set_destroy(dec.get(), main);
    }
}

// ---------------------------------------------------------------- tile-part headers

// A decoder whose main header has been walked; the reader stands on the first SOT body.
struct AfterMain {
    Decoder dec;
    MarkerSet* main = nullptr;
    TilePartRecord tp{};
    explicit AfterMain(const Bytes& b) : dec(b) {
        main = jpc_parse_main_header(dec.get());
        EXPECT_NE(main, nullptr);
        tp.sot_pos = br_get_pos(dec.get()->reader) - 4;
        Messages::clear();
    }
    ~AfterMain() { marker_set_destroy(dec.get(), main); }
    jpcdec* d() { return dec.get(); }
};

Bytes stream_with_part(const Bytes& part_header, uint32_t psot, uint8_t tpsot,
                       const Bytes& main_extra = {}) {
    Bytes b = cs_test::main_header(three_components(), CodParams{}, main_extra);
    b.add(cs_test::sot(0, psot, tpsot, 2)).add(part_header);
    return b;
}

struct PartCase {
    const char* name;
    Bytes header;      // after the SOT segment
    uint32_t psot;
    uint8_t tpsot;
    const char* error;
    Strings warnings;
    bool has_cod, has_poc;
    uint32_t consumed;  // after the walk
    Bytes main_extra;
};

std::vector<PartCase> part_cases() {
    const Bytes sod = cs_test::marker(kMarkerSOD);
    const Bytes poc = seg(kMarkerPOC, Bytes().raw({0, 0, 0, 1, 2, 3, 1}));
    const Bytes c = cod(CodParams{});
    const Bytes tlm = seg(kMarkerTLM, Bytes().u16(0));
    const Bytes plt = seg(kMarkerPLT, Bytes().u16(0));
    return {
        {"first part: COD, COM and PLT", Bytes(c).add(com()).add(plt).add(tlm).add(sod), 0, 0,
         nullptr, {kUnsupported, kUnsupported}, true, false, 12 + 14 + 7 + 6 + 6 + 2, {}},
        {"later part: COD skipped, POC kept", Bytes(c).add(poc).add(com()).add(sod), 0, 1, nullptr,
         {kUnsupported}, false, true, 12 + 14 + 11 + 7 + 2, {}},
        {"later part skips bad COD silently",
         seg(kMarkerCOD, Bytes().u8(0)).add(sod), 0, 1, nullptr, {}, false, false, 12 + 5 + 2, {}},
        {"Psot reached without SOD", Bytes(c).add(poc).add(Bytes().raw({0xFF, 0x93})), 12 + 14 + 11,
         0, nullptr, {}, true, true, 12 + 14 + 11, {}},
        {"Psot 1 ends at once", Bytes(c).add(sod), 1, 0, nullptr, {}, false, false, 12, {}},
        {"Psot 12 ends at once", Bytes(c).add(sod), 12, 0, nullptr, {}, false, false, 12, {}},
        {"Psot 13 reads one marker", Bytes(c).add(sod), 13, 0, nullptr, {}, true, false, 26, {}},
        {"no SOD before the data ends", Bytes(c), 0, 0, "Parsing marker header error!", {}, false,
         false, 0, {}},
        {"COC index beyond components", coc(5, CodParams{}).add(sod), 0, 0,
         "COC component index is >= componentNum.", {}, false, false, 0, {}},
        {"PPT after a PPM", packed(kMarkerPPT, 0, {1}).add(sod), 0, 0,
         "The codestream has both PPM and PPT marker segments; only one kind may be used.", {},
         false, false, 0, packed(kMarkerPPM, 0, {0, 0, 0, 0})},
        {"PPM in a tile-part header is skipped", packed(kMarkerPPM, 0, {1}).add(sod), 0, 0, nullptr,
         {}, false, false, 12 + 6 + 2, {}},
    };
}

TEST(CodestreamTilePartHeader, RulesForEachMarker) {
    for (const PartCase& c : part_cases()) {
        SCOPED_TRACE(c.name);
        AfterMain a(stream_with_part(c.header, c.psot, c.tpsot, c.main_extra));
        ASSERT_EQ(jpc_read_sot(a.d(), &a.tp), 1);
        MarkerSet* part = c.tpsot == 0 ? jpc_parse_first_tile_part_header(a.d(), &a.tp)
                                       : jpc_parse_next_tile_part_header(a.d(), &a.tp);
        EXPECT_EQ(Messages::errors, c.error ? Strings{c.error} : Strings{});
        if (c.error) {
            EXPECT_EQ(part, nullptr);
            continue;
        }
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(Messages::warnings, c.warnings);
        EXPECT_EQ(part->cod != nullptr, c.has_cod);
        EXPECT_EQ(part->poc != nullptr, c.has_poc);
        EXPECT_EQ(a.tp.consumed, c.consumed);
        marker_set_destroy(a.d(), part);
    }
}

TEST(CodestreamTilePartHeader, PptSegmentsJoinInZOrder) {
    Bytes h = packed(kMarkerPPT, 1, {0xB0, 0xB1}).add(packed(kMarkerPPT, 0, {0xA0}));
    h.add(packed(kMarkerPPT, 1, {0xB2})).add(cs_test::marker(kMarkerSOD));
    for (uint8_t tpsot : {0, 1}) {
        AfterMain a(stream_with_part(h, 0, tpsot));
        ASSERT_EQ(jpc_read_sot(a.d(), &a.tp), 1);
        MarkerSet* part = tpsot == 0 ? jpc_parse_first_tile_part_header(a.d(), &a.tp)
                                     : jpc_parse_next_tile_part_header(a.d(), &a.tp);
        ASSERT_NE(part, nullptr);
        EXPECT_TRUE(Messages::warnings.empty());
        ASSERT_EQ(part->ppt.length, 4u);
        EXPECT_EQ(std::vector<uint8_t>(part->ppt.data, part->ppt.data + 4),
                  (std::vector<uint8_t>{0xA0, 0xB0, 0xB1, 0xB2}));
        marker_set_destroy(a.d(), part);
    }
}

// ---------------------------------------------------------------------- SOT and SOP

struct SotCase {
    uint16_t isot;
    uint8_t tpsot, tnsot;
    uint32_t reader_cut;  // bytes of the SOT body available; 8 = all
    const char* error;
    Strings warnings;
};

const SotCase kSotCases[] = {
    {3, 0, 1, 8, nullptr, {}},
    {4, 0, 1, 8, "SOT marker segment's Isot is >= tileNum.", {}},
    {0xFFFF, 0, 1, 8, "SOT marker segment's Isot is >= tileNum.", {}},
    {0, 0, 0, 8, nullptr, {"SOT marker segment's TPsot is >= TNsot."}},
    {0, 2, 2, 8, nullptr, {"SOT marker segment's TPsot is >= TNsot."}},
    {0, 254, 255, 8, nullptr, {}},
    {0, 0, 1, 7, "Parsing SOT marker error.", {}},
    {0, 0, 1, 2, "Parsing SOT marker error.", {}},
};

TEST(CodestreamSot, FieldsAndChecks) {
    SizParams p;
    p.Xsiz = p.Ysiz = 128;  // four tiles
    for (const SotCase& c : kSotCases) {
        SCOPED_TRACE(testing::Message() << c.isot << "/" << int(c.tpsot) << "/" << int(c.tnsot));
        AfterMain a(cs_test::main_header(p).add(cs_test::sot(c.isot, 1234, c.tpsot, c.tnsot)));
        a.d()->reader->length = br_get_pos(a.d()->reader) + c.reader_cut;
        EXPECT_EQ(jpc_read_sot(a.d(), &a.tp), c.error == nullptr);
        EXPECT_EQ(Messages::errors, c.error ? Strings{c.error} : Strings{});
        EXPECT_EQ(Messages::warnings, c.warnings);
        if (c.error) continue;
        EXPECT_EQ(a.tp.Isot, c.isot);
        EXPECT_EQ(a.tp.Psot, 1234u);
        EXPECT_EQ(a.tp.TPsot, c.tpsot);
        EXPECT_EQ(a.tp.TNsot, c.tnsot);
        EXPECT_EQ(a.tp.consumed, 12u);
    }
}

TEST(CodestreamSop, LengthMustBeFour) {
    struct Case {
        std::vector<uint8_t> bytes;
        int ok;
        uint16_t nsop;
    };
    const Case cases[] = {
        {{0xFF, 0x91, 0x00, 0x04, 0x12, 0x34}, 1, 0x1234},
        {{0xFF, 0x91, 0x00, 0x05, 0x12, 0x34, 0x00}, 0, 0},
        {{0xFF, 0x91, 0x00, 0x03, 0x12, 0x34}, 0, 0},
        {{0xFF, 0x91, 0x00, 0x04, 0x12}, 0, 0},
    };
    for (const Case& c : cases) {
        Decoder dec(c.bytes);
        MarkerHeader m;
        ASSERT_TRUE(jpc_read_marker(dec.get(), &m));
        uint16_t nsop = 0;
        EXPECT_EQ(jpc_read_sop(dec.get(), &m, &nsop), c.ok);
        EXPECT_EQ(nsop, c.nsop);
        EXPECT_EQ(Messages::errors, c.ok ? Strings{} : Strings{"Parsing SOP marker error."});
    }
}

}  // namespace
