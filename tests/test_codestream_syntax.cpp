// Codestream syntax through jpcdec_parse: small valid streams built here with one marker
// segment replaced, added or cut -> the exact errors and warnings the hooks receive. Packets
// are empty (one zero byte each), so no entropy-coded data is needed.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "codestream/codestream_reader.h"
#include "codestream/jpc_params.h"
#include "support/codestream_fixtures.h"
#include "tier2/tile.h"

using cs_test::Bytes;
using cs_test::CodParams;
using cs_test::Decoder;
using cs_test::Messages;
using cs_test::SizParams;

namespace {

using Strings = std::vector<std::string>;

const char* const kUnsupported = "Unsupported markers, ignored.";
const char* const kMissingEoc = "Missing EOC marker";
const char* const kTrailing = "Tile-part packets ended before the end of the tile-part; data skipped up to EOC.";
const char* const kEndsEarly = "The codestream ends before every tile has been read.";
const char* const kSot = "Parsing SOT marker error.";
const char* const kTPsot = "SOT marker segment's TPsot is >= TNsot.";
const char* const kSop = "Parsing SOP marker error.";
const char* const kBoth = "The codestream has both PPM and PPT marker segments; only one kind may be used.";
const std::string kBadSiz = "Invalid SIZ marker segment: ";
const std::string kEmptyArea = kBadSiz + "the image area is empty (Xsiz <= XOsiz or Ysiz <= YOsiz).";
const std::string kGridAfter = kBadSiz + "the tile grid starts after the image area (XTOsiz > XOsiz or YTOsiz > YOsiz).";

Bytes seg(uint16_t code, const Bytes& body, int delta = 0) { return cs_test::segment(code, body, delta); }
Bytes eoc() { return cs_test::marker(kMarkerEOC); }
Bytes com() { return seg(kMarkerCOM, Bytes().u16(1).u8('x')); }
Bytes packed(uint16_t code, uint8_t z, const std::vector<uint8_t>& data) { return seg(code, Bytes().u8(z).raw(data)); }
Bytes coc(uint16_t c, const CodParams& p, bool wide = false) { return seg(kMarkerCOC, cs_test::coc_body(c, p, wide)); }
Bytes siz_seg(const SizParams& p, int delta = 0) { return seg(kMarkerSIZ, cs_test::siz_body(p), delta); }
Bytes cod_seg(const CodParams& p, int delta = 0) { return seg(kMarkerCOD, cs_test::cod_body(p), delta); }
Bytes qcd_seg(uint32_t levels = 0) { return seg(kMarkerQCD, cs_test::qcd_body_reversible(levels)); }
Bytes soc() { return cs_test::marker(kMarkerSOC); }

// SOT, the header segments, SOD and the packet bytes; Psot counts them all unless given.
Bytes tile_part(uint16_t isot, uint8_t tpsot, uint8_t tnsot, const std::vector<uint8_t>& packets, int64_t psot = -1,
                const Bytes& header = {}) {
    Bytes rest = Bytes(header).add(cs_test::marker(kMarkerSOD)).raw(packets);
    return cs_test::sot(isot, psot < 0 ? uint32_t(12 + rest.size()) : uint32_t(psot), tpsot, tnsot).add(rest);
}
SizParams components(uint32_t n) {
    SizParams p;
    p.components.assign(n, {7, 1, 1});
    return p;
}
// A tile-part of one empty packet for tile 0, then EOC.
Bytes one_tile(const Bytes& main, const Bytes& part_header = {}) {
    return Bytes(main).add(tile_part(0, 0, 1, {0}, -1, part_header)).add(eoc());
}
// A three-component 64 x 64 stream with `extra` in the main header.
Bytes main_with(const Bytes& extra, const Bytes& part_header = {}) {
    return one_tile(cs_test::main_header(components(3), CodParams{}, extra), part_header);
}

struct Case {
    std::string name;
    Bytes stream;
    std::string error;  // empty: the parse succeeds
    Strings warnings;   // checked when it does
};

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder dec(c.stream);
        EXPECT_EQ(jpcdec_parse(dec.get()), c.error.empty() ? 1 : 0);
        EXPECT_EQ(Messages::errors, c.error.empty() ? Strings{} : Strings{c.error});
        if (!c.error.empty()) continue;
        EXPECT_EQ(Messages::warnings, c.warnings);
        // Every tile, announced or not, decodes (to zeros: the packets are empty).
        uint32_t w = 0, h = 0;
        jpcdec_get_size(dec.get(), &w, &h);
        if (uint64_t(w) * h > (1u << 20)) continue;
        ASSERT_EQ(jpcdec_set_output(dec.get(), 1, nullptr, 1), 1);
        std::vector<uint8_t> row(w);
        for (uint32_t y = 0; y < h; y++) ASSERT_EQ(jpcdec_decode_row(dec.get(), row.data()), 1);
    }
}

TEST(CodestreamSyntax, SizSegment) {
    const struct {
        const char* name;
        std::function<void(SizParams&)> edit;
        int delta;  // > 0: surplus bytes that look like SOT; < 0: Lsiz shortened
        std::string error;
    } rows[] = {
        {"plain", [](SizParams&) {}, 0, ""},
        {"surplus bytes skipped", [](SizParams&) {}, 4, ""},
        {"Lsiz one short", [](SizParams&) {}, -1, "SIZ marker segment is too short for its components."},
        {"no component", [](SizParams& p) { p.components.clear(); }, 0, kBadSiz + "the component count is 0 or above 16384."},
        {"16384 components", [](SizParams& p) { p.components.assign(16384, {7, 1, 1}); }, 0, ""},
        {"16385 components", [](SizParams& p) { p.components.assign(16385, {7, 1, 1}); }, 0,
         kBadSiz + "the component count is 0 or above 16384."},
        {"Xsiz equal to XOsiz", [](SizParams& p) { p.XOsiz = p.XTOsiz = p.Xsiz; }, 0, kEmptyArea},
        {"Ysiz below YOsiz", [](SizParams& p) { p.YOsiz = p.Ysiz + 5; }, 0, kEmptyArea},
        {"XTsiz 0", [](SizParams& p) { p.XTsiz = 0; }, 0, kBadSiz + "the tile size is 0."},
        {"YTsiz 0", [](SizParams& p) { p.YTsiz = 0; }, 0, kBadSiz + "the tile size is 0."},
        {"XTOsiz after XOsiz", [](SizParams& p) { p.XTOsiz = 1; }, 0, kGridAfter},
        {"YTOsiz after YOsiz", [](SizParams& p) { p.YTOsiz = 1; }, 0, kGridAfter},
        {"first tile ends at the image", [](SizParams& p) { p.XOsiz = p.XTsiz = 40; }, 0,
         kBadSiz + "the first tile does not meet the image area."},
        {"first tile ends above the image", [](SizParams& p) { p.YOsiz = p.YTsiz = 40; }, 0,
         kBadSiz + "the first tile does not meet the image area."},
        {"first tile reaches one row", [](SizParams& p) { p.YOsiz = 39, p.YTsiz = 40; }, 0, ""},
        {"first tile reaches one column", [](SizParams& p) { p.XOsiz = 39, p.XTsiz = 40; }, 0, ""},
        {"grid near the top of 32 bits", [](SizParams& p) { p.Xsiz = p.XTsiz = ~0u, p.XOsiz = p.XTOsiz = ~0u - 63; }, 0, ""},
        {"XRsiz 0", [](SizParams& p) { p.components[1].xrsiz = 0; }, 0, kBadSiz + "a component sub-sampling factor is 0."},
        {"YRsiz 0", [](SizParams& p) { p.components[0].yrsiz = 0; }, 0, kBadSiz + "a component sub-sampling factor is 0."},
        {"sub-sampling 255", [](SizParams& p) { p.components[1] = {7, 255, 255}; }, 0, ""},
        {"depth 1", [](SizParams& p) { p.components[0].ssiz = 0; }, 0, ""},
        {"depth 31 signed", [](SizParams& p) { p.components[0].ssiz = 0x9E; }, 0, ""},
        {"depth 32", [](SizParams& p) { p.components[0].ssiz = 0x1F; }, 0, "Unsupported component depth above 31 bits."},
        {"depth 38", [](SizParams& p) { p.components[1].ssiz = 0xA5; }, 0, "Unsupported component depth above 31 bits."},
        {"depth 39", [](SizParams& p) { p.components[0].ssiz = 0x26; }, 0,
         kBadSiz + "a component depth is outside 1 to 38 bits."},
        // 65535 tiles are allowed, but more than the data could announce.
        {"65535 tiles", [](SizParams& p) { p.Xsiz = 65535, p.XTsiz = 1, p.Ysiz = 1; }, 0,
         "The codestream is too short to hold a tile-part for each of its tiles."},
        {"65536 tiles", [](SizParams& p) { p.Xsiz = p.Ysiz = 256, p.XTsiz = p.YTsiz = 1; }, 0,
         "Too many tiles in the codestream (more than 65535)."},
    };
    std::vector<Case> cases;
    for (const auto& r : rows) {
        SizParams p = components(2);
        p.components[1] = {0x8B, 2, 4};
        r.edit(p);
        Bytes s = one_tile(soc().add(siz_seg(p, std::min(r.delta, 0))).add(cod_seg({})).add(qcd_seg()));
        if (r.delta > 0) {  // lengthen Lsiz over surplus bytes inserted before COD
            s.v[5] = uint8_t(s.v[5] + r.delta);
            s.v.insert(s.v.begin() + long(6 + cs_test::siz_body(p).size()), {0xFF, 0x90, 0xFF, 0x90});
        }
        cases.push_back({r.name, s, r.error, {}});
    }
    run(cases);
}

TEST(CodestreamSyntax, CodAndCocSegments) {
    const std::string kStyle = "COD marker segment: unsupported code-block style (bits 6-7 belong to other coders).";
    const std::string kPrecinct0 = "COD marker segment: precinct size exponent 0 above resolution 0.";
    const std::string kBlockSize = "COD marker segment: code-block width or height above 1024.";
    const struct {
        const char* name;
        std::function<void(CodParams&)> edit;
        int delta;
        std::string error;  // as COD gives it; COC the same with "COC"
    } rows[] = {
        {"plain", [](CodParams&) {}, 0, ""},
        {"precincts, 5 levels", [](CodParams& p) { p.Scod = 1, p.levels = 5, p.precincts = {0, 0x77, 0x88, 0x11, 0xF1, 0x1F}; },
         0, ""},
        {"length one short", [](CodParams&) {}, -1, "COD marker segment is too short."},
        {"precincts past the length", [](CodParams& p) { p.Scod = 1, p.levels = 2, p.precincts = {0x77, 0x77, 0x77}; }, -1,
         "COD marker segment is too short."},
        {"32 levels", [](CodParams& p) { p.levels = 32; }, 0, ""},
        {"33 levels", [](CodParams& p) { p.levels = 33; }, 0, "COD marker segment: more than 32 decomposition levels."},
        {"xcb 8", [](CodParams& p) { p.xcb = 8, p.ycb = 0; }, 0, ""},
        {"xcb 9", [](CodParams& p) { p.xcb = 9, p.ycb = 0; }, 0, kBlockSize},
        {"ycb 9", [](CodParams& p) { p.ycb = 9, p.xcb = 0; }, 0, kBlockSize},
        {"block area 8192", [](CodParams& p) { p.xcb = 6, p.ycb = 5; }, 0, "Code-block size is out of range."},
        {"irreversible transform", [](CodParams& p) { p.transform = 0; }, 0, ""},
        {"block style bit 6", [](CodParams& p) { p.cblk_style = 0x40; }, 0, kStyle},
        {"block style bit 7", [](CodParams& p) { p.cblk_style = 0x81; }, 0, kStyle},
        {"transform 2", [](CodParams& p) { p.transform = 2; }, 0, "COD marker segment: unknown wavelet transform."},
        {"PPx 0 above resolution 0", [](CodParams& p) { p.Scod = 1, p.levels = 1, p.precincts = {0x00, 0x70}; }, 0, kPrecinct0},
        {"PPy 0 above resolution 0", [](CodParams& p) { p.Scod = 1, p.levels = 2, p.precincts = {0x11, 0x11, 0x07}; }, 0,
         kPrecinct0},
    };
    std::vector<Case> cases;
    for (const auto& r : rows)
        for (bool as_coc : {false, true}) {
            CodParams p;
            p.progression = 2, p.layers = 3, p.cblk_style = 0x3F;
            r.edit(p);
            const Bytes coding = as_coc ? cod_seg({}).add(seg(kMarkerCOC, cs_test::coc_body(0, p), r.delta)) : cod_seg(p, r.delta);
            std::string error = r.error;
            if (as_coc && error.rfind("COD", 0) == 0) error.replace(0, 3, "COC");
            Bytes header = soc().add(siz_seg(components(1))).add(coding);
            cases.push_back({std::string(r.name) + (as_coc ? " (COC)" : ""), one_tile(header.add(qcd_seg(p.levels))), error, {}});
        }
    run(cases);
}

TEST(CodestreamSyntax, ComponentSegments) {
    CodParams three, other;
    three.levels = 3, other.xcb = 3;
    const auto qcd = [](const Bytes& body) {
        return one_tile(soc().add(siz_seg(components(3))).add(cod_seg({})).add(seg(kMarkerQCD, body)));
    };
    const auto qcc = [](const Bytes& body) { return main_with(seg(kMarkerQCC, body)); };
    const auto rgn = [](uint8_t c, uint8_t shift) { return seg(kMarkerRGN, Bytes().u8(c).u8(0).u8(shift)); };
    const auto poc = [](std::vector<uint8_t> entries) { return seg(kMarkerPOC, Bytes().raw(entries)); };
    // 300 components: component indices take two bytes.
    const auto wide = [](const Bytes& extra) {
        return one_tile(soc().add(siz_seg(components(300))).add(cod_seg({})).add(qcd_seg()).add(extra));
    };
    const char* const kCocIndex = "COC component index is >= componentNum.";
    const char* const kQccIndex = "QCC component index is >= componentNum.";
    const char* const kRgnIndex = "RGN component index is >= componentNum.";
    const char* const kPocShort = "POC marker segment is too short.";
    run({
        {"COC index 2 of 3", main_with(coc(2, other)), "", {}},
        {"COC index 3 of 3", main_with(coc(3, other)), kCocIndex, {}},
        {"COC two-byte index 299 of 300", wide(coc(299, other, true)), "", {}},
        {"COC two-byte index 300", wide(coc(300, other, true)), kCocIndex, {}},
        {"COC one-byte index with 300 components", wide(coc(2, other)), "COC marker segment is too short.", {}},
        {"QCD style 0, one value", qcd(Bytes().u8(0x40).u8(0x48)), "", {}},
        {"QCD scalar derived", qcd(Bytes().u8(0x21).u16(0x4800)), "", {}},
        {"QCD scalar expounded, odd byte", qcd(Bytes().u8(0x22).u16(0x4800).u8(0xFF)), "", {}},
        {"QCD style 3", qcd(Bytes().u8(0x03).u16(0)), "QCD marker segment unknown quantization style!", {}},
        {"QCD no value", qcd(Bytes().u8(0x40)), "QCD marker segment is too short.", {}},
        {"QCD derived, one byte", qcd(Bytes().u8(0x21).u8(0x48)), "QCD marker segment is too short.", {}},
        {"QCD expounded, one byte", qcd(Bytes().u8(0x22).u8(0x48)), "QCD marker segment is too short.", {}},
        {"QCC index 2", qcc(Bytes().u8(2).u8(0x40).u8(0x48)), "", {}},
        {"QCC index 3", qcc(Bytes().u8(3).u8(0x40).u8(0x48)), kQccIndex, {}},
        {"QCC style 3", qcc(Bytes().u8(1).u8(0x43).u16(0)), "QCC marker segment unknown quantization style!", {}},
        {"QCC no value", qcc(Bytes().u8(1).u8(0x40)), "QCC marker segment is too short.", {}},
        {"QCC two-byte index 299", wide(seg(kMarkerQCC, Bytes().u16(299).u8(0x40).u8(0x48))), "", {}},
        {"QCC two-byte index 300", wide(seg(kMarkerQCC, Bytes().u16(300).u8(0x40).u8(0x48))), kQccIndex, {}},
        {"too few values for three levels", main_with(coc(1, three)),
         "Quantization marker segment has fewer step values than the subbands need.", {}},
        {"QCC brings the values", main_with(coc(1, three).add(seg(kMarkerQCC, Bytes().u8(1).add(cs_test::qcd_body_reversible(3))))),
         "", {}},
        {"RGN shift 31", main_with(rgn(1, 31)), "", {}},
        {"RGN shift 32", main_with(rgn(1, 32)), "RGN marker segment: ROI shift above 31 is not supported.", {}},
        {"RGN index 3", main_with(rgn(3, 7)), kRgnIndex, {}},
        {"RGN two-byte index 299", wide(seg(kMarkerRGN, Bytes().u16(299).u8(0).u8(5))), "", {}},
        {"RGN two-byte index 300", wide(seg(kMarkerRGN, Bytes().u16(300).u8(0).u8(5))), kRgnIndex, {}},
        {"RGN short", main_with(seg(kMarkerRGN, Bytes().u8(1).u8(0).u8(7), -1)), "RGN marker segment is too short.", {}},
        {"POC, surplus bytes", main_with(poc({0, 0, 0, 1, 1, 3, 1, 0xFF, 0x93})), "", {}},
        {"POC order 5", main_with(poc({0, 0, 0, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 5})), "POC marker segment: unknown progression order.", {}},
        {"POC shorter than an entry", main_with(poc({0, 0, 0, 1, 1, 1})), kPocShort, {}},
        {"POC one-byte entry with 300 components", wide(poc({0, 0, 0, 1, 1, 1, 0})), kPocShort, {}},
        {"POC nine-byte entries", wide(poc({0, 1, 0x2B, 0, 1, 1, 1, 0x2C, 0})), "", {}},
    });
}

TEST(CodestreamSyntax, MainAndTilePartHeaders) {
    CodParams bad, three;
    bad.transform = 9, three.levels = 3;
    Bytes no_soc = main_with({});
    no_soc.v[1] = 0x4E;
    const Bytes siz = siz_seg(components(1));
    const Bytes qcc = seg(kMarkerQCC, Bytes().u8(2).u8(0x40).u8(0x48));
    const Bytes rgn = seg(kMarkerRGN, Bytes().u8(0).u8(0).u8(3));
    run({
        {"missing SOC", no_soc, "Missing marker of JPEG2000 codestream.", {}},
        {"missing SIZ", one_tile(soc().add(cod_seg({}))), "Missing SIZ marker", {}},
        {"missing COD", one_tile(soc().add(siz).add(qcd_seg())), "Missing COD marker.", {}},
        {"missing QCD", one_tile(soc().add(siz).add(cod_seg({}))), "Missing QCD marker.", {}},
        {"second COD is not parsed", main_with(cod_seg(bad)), "", {"COD marker has been already parsed, ignored."}},
        {"second QCD is not parsed", main_with(seg(kMarkerQCD, Bytes().u8(0x1F).u16(0))), "",
         {"QCD marker has been already parsed, ignored."}},
        {"second COC is parsed", main_with(coc(1, three).add(coc(1, bad))), "COC marker segment: unknown wavelet transform.", {}},
        {"second COC is dropped", main_with(coc(1, CodParams{}).add(coc(1, three))), "",
         {"COC marker of specified component has been already parsed, ignored."}},
        {"second QCC", main_with(Bytes(qcc).add(qcc)), "", {"QCC marker of specified component has been already parsed, ignored."}},
        {"second RGN", main_with(Bytes(rgn).add(rgn)), "", {"RGN marker of specified component has been already parsed, ignored."}},
        {"COM, TLM, PLM and CRG warn",
         main_with(com().add(seg(kMarkerTLM, Bytes().u16(0))).add(seg(kMarkerPLM, Bytes().u8(0))).add(seg(kMarkerCRG, Bytes().u32(0)))),
         "", {kUnsupported, kUnsupported, kUnsupported, kUnsupported}},
        {"PLT and PPT are skipped silently", main_with(seg(kMarkerPLT, Bytes().u16(0)).add(packed(kMarkerPPT, 0, {1, 2}))), "", {}},
        {"EOC, SOD and SIZ again are stepped over",
         main_with(eoc().add(cs_test::marker(kMarkerSOD)).add(seg(kMarkerSIZ, Bytes().u32(0)))), "", {}},
        {"stray bytes between segments", main_with(Bytes().raw({0x00, 0x12, 0x34})), "", {}},
        {"markers FF30 and FF3F have no length", main_with(Bytes().raw({0xFF, 0x30, 0xFF, 0x3F})), "", {}},
        {"marker FF40 has a length", main_with(Bytes().raw({0xFF, 0x40, 0x00, 0x04, 0xFF, 0x64})), "", {}},
        {"PPM without Zppm", main_with(seg(kMarkerPPM, Bytes())), "PPM marker segment is too short.", {}},
        {"PPM and PPT", main_with(packed(kMarkerPPM, 0, {0, 0, 0, 1, 0}), packed(kMarkerPPT, 0, {0})), kBoth, {}},
        {"Lsot below 10", cs_test::main_header().add(seg(kMarkerSOT, Bytes().u16(0).u32(0).u8(0))), kSot, {}},
        {"ends inside a marker", cs_test::main_header().add(Bytes().u16(kMarkerCOM).u8(0)), "Parsing marker header error!", {}},
        {"ends inside COD", soc().add(siz).add(Bytes().u16(kMarkerCOD).u16(12).u8(0)), "Parsing COD marker segment error.", {}},
        {"ends inside SIZ", soc().add(Bytes().u16(kMarkerSIZ).u16(41).u32(1)), "Parsing SIZ marker segment error.", {}},
        {"ends inside PPM", cs_test::main_header().add(Bytes().u16(kMarkerPPM).u16(200).u8(0).u8(1)),
         "Parsing PPM marker segment error.", {}},
        {"tile-part COD, COM, PLT and TLM",
         main_with({}, cod_seg({}).add(com()).add(seg(kMarkerPLT, Bytes().u16(0))).add(seg(kMarkerTLM, Bytes().u16(0)))), "",
         {kUnsupported, kUnsupported}},
        {"tile-part COC beyond the components", main_with({}, coc(5, CodParams{})), "COC component index is >= componentNum.", {}},
        {"tile-part PPM is skipped", main_with({}, packed(kMarkerPPM, 0, {1})), "", {}},
    });
}

TEST(CodestreamSyntax, TilePartSequencing) {
    SizParams two;  // 16 x 8 in two 8 x 8 tiles
    two.Xsiz = 16, two.Ysiz = 8, two.XTsiz = 8, two.YTsiz = 8;
    const auto header = [&](uint8_t Scod, const Bytes& extra = {}) {
        CodParams cod;
        cod.Scod = Scod;
        return cs_test::main_header(two, cod, extra);
    };
    const Bytes h = header(0), t0 = tile_part(0, 0, 1, {0}), t1 = tile_part(1, 0, 1, {0});
    const auto tiles_across = [](uint32_t width, uint16_t isot) {
        SizParams p;
        p.Xsiz = width, p.Ysiz = 4, p.XTsiz = p.YTsiz = 256;
        return cs_test::main_header(p).add(tile_part(isot, 0, 1, {0})).add(eoc());
    };
    const auto sop_of = [&](uint8_t length, size_t bytes) {
        std::vector<uint8_t> p = {0xFF, 0x91, 0x00, length};
        p.resize(bytes, 0);
        return header(2).add(tile_part(0, 0, 1, p)).add(t1).add(eoc());
    };
    run({
        {"both tiles", Bytes(h).add(t0).add(t1).add(eoc()), "", {}},
        {"interleaved tile-parts",
         Bytes(h).add(tile_part(0, 0, 2, {0})).add(tile_part(1, 0, 2, {})).add(tile_part(0, 1, 2, {})).add(tile_part(1, 1, 2, {0})).add(eoc()),
         "", {}},
        {"tiles in reverse order", Bytes(h).add(t1).add(t0).add(eoc()), "", {}},
        {"ends after the last packet", Bytes(h).add(t0).add(t1), "", {kMissingEoc}},
        {"FF FF D9 is not EOC", Bytes(h).add(t0).add(t1).raw({0xFF, 0xFF, 0xD9}), "", {kMissingEoc}},
        {"EOC before tile 1", Bytes(h).add(t0).add(eoc()), "", {}},
        {"ends before tile 1", Bytes(h).add(t0), kEndsEarly, {}},
        {"COM before tile 1", Bytes(h).add(t0).add(com()).add(t1), "Expected a tile-part (SOT marker) or EOC, found another marker.", {}},
        {"Psot past marker-like padding", Bytes(h).add(tile_part(0, 0, 1, {0, 0xFF, 0x12, 0x34}, 18)).add(t1).add(eoc()), "",
         {"Tile-part packets did not fill the tile-part length (Psot); resuming at its end."}},
        {"Psot 0 on the last tile-part", Bytes(h).add(t0).add(tile_part(1, 0, 1, {0}, 0)).add(eoc()), "", {}},
        {"Psot 0 with bytes before EOC", Bytes(h).add(t0).add(tile_part(1, 0, 1, {0, 0x12, 0xFF, 0x34, 0xFF}, 0)).add(eoc()), "",
         {kTrailing}},
        {"Psot 0, then FF FF D9", Bytes(h).add(t0).add(tile_part(1, 0, 1, {0, 0xFF}, 0)).add(eoc()), "", {kTrailing}},
        {"Psot 0, then another tile-part", Bytes(h).add(tile_part(0, 0, 1, {0}, 0)).add(t1).add(eoc()), "", {}},
        {"Psot 0 without EOC", Bytes(h).add(t0).add(tile_part(1, 0, 1, {0}, 0)), "", {kTrailing, kMissingEoc}},
        {"ends before tile 0's second tile-part", Bytes(h).add(tile_part(0, 0, 2, {0})).add(t1), kEndsEarly, {}},
        {"EOC before tile 0's second tile-part", Bytes(h).add(tile_part(0, 0, 2, {0})).add(t1).add(eoc()), "", {}},
        {"TPsot 1 first", Bytes(h).add(tile_part(0, 1, 2, {})).add(eoc()),
         "Tile-part with TPsot > 0 for a tile whose first tile-part has not been read.", {}},
        {"second TPsot 0", Bytes(h).add(t0).add(tile_part(0, 0, 1, {})).add(eoc()),
         "Second tile-part with TPsot 0 for a tile that is already built.", {}},
        {"Isot beyond the tiles", Bytes(h).add(tile_part(2, 0, 1, {0})).add(eoc()), "SOT marker segment's Isot is >= tileNum.", {}},
        {"Isot 3 of 1024 / 256 tiles", tiles_across(1024, 3), "", {}},
        {"Isot 4 of 1024 / 256 tiles", tiles_across(1024, 4), "SOT marker segment's Isot is >= tileNum.", {}},
        {"Isot 4 of 1025 / 256 tiles", tiles_across(1025, 4), "", {}},
        {"no tile-part at all", Bytes(h).add(eoc()), kSot, {}},
        {"short Lsot after a tile-part", Bytes(h).add(t0).add(seg(kMarkerSOT, Bytes().u16(1).u32(20).u8(0))), kSot, {}},
        {"TNsot 0", Bytes(h).add(tile_part(0, 0, 0, {0})).add(t1).add(eoc()), "", {kTPsot}},
        {"TPsot equal to TNsot", Bytes(h).add(t0).add(tile_part(1, 0, 2, {0})).add(tile_part(1, 2, 2, {})).add(eoc()), "", {kTPsot}},
        {"TPsot 254 of 255", Bytes(h).add(t0).add(tile_part(1, 0, 255, {0})).add(tile_part(1, 254, 255, {})).add(eoc()), "", {}},
        {"PPT after a PPM", header(0, packed(kMarkerPPM, 0, {0, 0, 0, 1, 0})).add(tile_part(0, 0, 1, {}, -1, packed(kMarkerPPT, 0, {0}))).add(eoc()),
         kBoth, {}},
        {"SOP of length 5", sop_of(5, 8), kSop, {}},
        {"SOP of length 3", sop_of(3, 7), kSop, {}},
        {"SOP of length 4", sop_of(4, 7), "", {}},
    });
}

// Which segment sets a tile-component's levels: a tile-part COC, else a tile-part COD, else a
// main COC, else the main COD. A reduction by r succeeds when every tile-component has r.
TEST(CodestreamSyntax, CodingStylePrecedence) {
    const auto levels = [](uint8_t n) {
        CodParams p;
        p.levels = n;
        return p;
    };
    const struct {
        const char* name;
        Bytes main_extra, part_header;
        uint32_t reduction;  // the most that succeeds
    } rows[] = {
        {"main COD", {}, {}, 1},
        {"main COC for component 1", coc(1, levels(3)), {}, 1},
        {"main COC for both", coc(0, levels(3)).add(coc(1, levels(2))), {}, 2},
        {"tile-part COD over main COC", coc(1, levels(3)), cod_seg(levels(4)), 4},
        {"tile-part COC over tile-part COD", coc(1, levels(3)), cod_seg(levels(4)).add(coc(0, levels(2))), 2},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        // QCD values for 4 levels serve every case.
        Bytes main = soc().add(siz_seg(components(2))).add(cod_seg(levels(1))).add(qcd_seg(4)).add(r.main_extra);
        for (uint32_t reduce = r.reduction; reduce <= r.reduction + 1; reduce++) {
            Decoder dec(one_tile(main, r.part_header));
            ASSERT_EQ(jpcdec_parse(dec.get()), 1) << Messages::errors.at(0);
            EXPECT_EQ(jpcdec_set_reduction(dec.get(), reduce), reduce == r.reduction ? 1 : 0) << reduce;
        }
    }
}

// Every prefix of a stream fails with one report (only EOC may be missing) and leaks nothing
// (the Decoder checks). Allocation failures are swept in test_bounds.
TEST(CodestreamSyntax, EveryPrefixFailsCleanly) {
    SizParams two;
    two.Xsiz = 16, two.Ysiz = 8, two.XTsiz = 8, two.YTsiz = 8;
    CodParams cod;
    cod.layers = 2, cod.Scod = 6, cod.levels = 1;
    const Bytes whole = cs_test::main_header(two, cod, coc(0, cod).add(com()))
                            .add(tile_part(0, 0, 2, {0}, -1, packed(kMarkerPPT, 0, {})))
                            .add(tile_part(1, 0, 1, {0, 0}))
                            .add(tile_part(0, 1, 2, {0}, -1, seg(kMarkerPOC, Bytes().raw({0, 0, 0, 1, 2, 1, 1}))))
                            .add(eoc());
    for (size_t cut = 0; cut <= whole.size(); cut++) {
        Decoder dec(std::vector<uint8_t>(whole.v.begin(), whole.v.begin() + long(cut)));
        const bool ok = cut >= whole.size() - 2;
        EXPECT_EQ(jpcdec_parse(dec.get()), ok ? 1 : 0) << cut;
        EXPECT_EQ(Messages::errors.size(), ok ? 0u : 1u) << cut;
    }
}

// Quantisation values expanded to a band: magnitude bits and step, per style.
TEST(CodestreamSyntax, BandQuantisation) {
    const char* const few = "Quantization marker segment has fewer step values than the subbands need.";
    const char* const bad = "Quantization step sizes out of range (exponent shift above 31 or below 0).";
    const struct {
        const char* name;
        uint8_t style;
        std::vector<uint16_t> values;
        uint32_t precision, levels, r, b;
        const char* error;
        uint8_t magnitude;
        uint32_t mantissa;
        int32_t exponent;
    } rows[] = {
        {"reversible HH of level 5", 0x40, std::vector<uint16_t>(16, 0x50), 8, 5, 5, 2, nullptr, 11, 1, 0},
        {"reversible, one value short", 0x40, std::vector<uint16_t>(15, 0x50), 8, 5, 5, 2, few, 0, 0, 0},
        {"derived r2 HL", 0x21, {0x4800}, 8, 3, 2, 0, nullptr, 8, 0x800u << 5, 17},
        {"derived r3 HH", 0x21, {0x4FFF}, 8, 3, 3, 2, nullptr, 7, 0xFFFu << 5, 19},
        {"derived exponent below zero", 0x21, {0x0800}, 8, 5, 4, 0, bad, 0, 0, 0},
        {"expounded", 0x42, {0x4000, 0x4123, 0x3456, 0x2789}, 12, 1, 1, 2, nullptr, 5, 0xF89u << 5, 26},
        {"expounded, exponent 31", 0x42, {0x0800}, 16, 0, 0, 0, nullptr, 2, 0x800u << 5, 31},
        {"expounded, exponent 32", 0x42, {0, 0, 0, 0}, 14, 1, 1, 2, bad, 0, 0, 0},
        {"expounded, negative exponent", 0x02, {0xF800}, 1, 0, 0, 0, nullptr, 30, 0x800u << 5, -14},
    };
    for (const auto& c : rows) {
        SCOPED_TRACE(c.name);
        Decoder dec(std::vector<uint8_t>{});
        std::vector<uint16_t> values = c.values;
        QuantSegment q{};
        q.style = c.style, q.values = values.data(), q.count = uint16_t(values.size());
        DecodeContext ctx{dec.ops(), [](const char* m) { Messages::errors.emplace_back(m); }, nullptr, {}};
        ImageHeader image{};
        CodestreamReader cr{&ctx, nullptr, &image, 0, 0};
        BandQuant band{};
        EXPECT_EQ(jpc_band_quant(&cr, &q, c.precision, c.levels, c.r, c.b, &band), c.error ? 0 : 1);
        EXPECT_EQ(Messages::errors, c.error ? Strings{c.error} : Strings{});
        if (!c.error) { EXPECT_EQ(std::tuple(band.magnitude_bits, band.step_mantissa, band.step_exponent), std::tuple(c.magnitude, c.mantissa, c.exponent)); }
    }
}

}  // namespace
