// Segment parsers (SIZ, COD, COC, QCD, QCC, RGN, POC) and the expansion of quantisation
// values to bands, over segments built as bytes: fields, limits, hostile values, truncation.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "codestream/jpc_markers.h"
#include "codestream/jpc_params.h"
#include "support/codestream_fixtures.h"
#include "tier2/tile.h"

using cs_test::Bytes;
using cs_test::CodParams;
using cs_test::Decoder;
using cs_test::Messages;
using cs_test::SizParams;

namespace {

constexpr uint16_t kSentinel = 0xFF64;  // COM: the marker expected right after a segment

using Strings = std::vector<std::string>;

// A decoder standing after the length word of the segment at the start of `bytes`, which is
// followed by a sentinel marker so that tests can see where the parser left the reader.
struct AtSegment {
    std::unique_ptr<Decoder> dec;
    MarkerHeader m{};
    AtSegment(const Bytes& segment, uint16_t components) {
        Bytes b = segment;
        b.add(cs_test::segment(kSentinel, Bytes().u16(0)));
        dec = std::make_unique<Decoder>(b);
        dec->get()->component_num = components;
        dec->get()->Csiz = components;
        EXPECT_TRUE(jpc_read_marker(dec->get(), &m));
    }
    jpcdec* d() const { return dec->get(); }
    // The parser left the reader at the sentinel.
    bool at_sentinel() const {
        MarkerHeader next;
        return jpc_read_marker(d(), &next) && next.code == kSentinel;
    }
};

// For a case that expects `error`: nothing was parsed and exactly that error was given.
bool refused(bool parsed, const char* error) {
    if (!error) return false;
    EXPECT_FALSE(parsed);
    EXPECT_EQ(Messages::errors, Strings{error});
    return true;
}

// The COD text of an error as COC (or QCD as QCC) gives it.
std::string for_component(const char* error) {
    return error ? std::string(error).replace(0, 3, error[0] == 'C' ? "COC" : "QCC") : "";
}

// ---------------------------------------------------------------------------------- SIZ

struct SizCase {
    const char* name;
    std::function<void(SizParams&)> edit;
    int length_delta;  // > 0: that many surplus bytes inside the segment; < 0: Lsiz shortened
    const char* error; // nullptr: the parse succeeds
};

const SizCase kSizCases[] = {
    {"plain", [](SizParams&) {}, 0, nullptr},
    {"longer Lsiz skips the surplus", [](SizParams&) {}, 4, nullptr},
    {"Lsiz one short of the components", [](SizParams&) {}, -1,
     "SIZ marker segment is too short for its components."},
    {"Lsiz below the fixed part", [](SizParams& p) { p.components.clear(); }, -2,
     "SIZ marker segment is too short for its components."},
    {"no component", [](SizParams& p) { p.components.clear(); }, 0,
     "Invalid SIZ marker segment: the component count is 0 or above 16384."},
    {"16384 components", [](SizParams& p) { p.components.assign(16384, {7, 1, 1}); }, 0,
     nullptr},
    {"16385 components", [](SizParams& p) { p.components.assign(16385, {7, 1, 1}); }, 0,
     "Invalid SIZ marker segment: the component count is 0 or above 16384."},
    {"Xsiz equal to XOsiz", [](SizParams& p) { p.XOsiz = p.XTOsiz = p.Xsiz; }, 0,
     "Invalid SIZ marker segment: the image area is empty (Xsiz <= XOsiz or Ysiz <= YOsiz)."},
    {"Ysiz below YOsiz", [](SizParams& p) { p.YOsiz = p.Ysiz + 5; }, 0,
     "Invalid SIZ marker segment: the image area is empty (Xsiz <= XOsiz or Ysiz <= YOsiz)."},
    {"XTsiz 0", [](SizParams& p) { p.XTsiz = 0; }, 0,
     "Invalid SIZ marker segment: the tile size is 0."},
    {"YTsiz 0", [](SizParams& p) { p.YTsiz = 0; }, 0,
     "Invalid SIZ marker segment: the tile size is 0."},
    {"tile grid after the image origin", [](SizParams& p) { p.XTOsiz = 1; }, 0,
     "Invalid SIZ marker segment: the tile grid starts after the image area (XTOsiz > XOsiz "
     "or YTOsiz > YOsiz)."},
    {"tile grid beyond the image area", [](SizParams& p) { p.YTOsiz = 1000; }, 0,
     "Invalid SIZ marker segment: the tile grid starts after the image area (XTOsiz > XOsiz "
     "or YTOsiz > YOsiz)."},
    {"first tile ends before the image area",
     [](SizParams& p) {
         p.XOsiz = 40;
         p.XTsiz = 40;
     },
     0, "Invalid SIZ marker segment: the first tile does not meet the image area."},
    {"first tile reaches one row of the image",
     [](SizParams& p) {
         p.YOsiz = 39;
         p.YTsiz = 40;
     },
     0, nullptr},
    {"tile grid near the top of 32 bits",
     [](SizParams& p) {
         p.Xsiz = 0xFFFFFFFF;
         p.XOsiz = p.XTOsiz = 0xFFFFFF00;
         p.XTsiz = 0xFFFFFFFF;
     },
     0, nullptr},
    {"XRsiz 0", [](SizParams& p) { p.components = {{7, 1, 1}, {7, 0, 1}}; }, 0,
     "Invalid SIZ marker segment: a component sub-sampling factor is 0."},
    {"YRsiz 0", [](SizParams& p) { p.components = {{7, 1, 0}}; }, 0,
     "Invalid SIZ marker segment: a component sub-sampling factor is 0."},
    {"sub-sampling 255", [](SizParams& p) { p.components = {{7, 255, 255}}; }, 0, nullptr},
    {"depth 1", [](SizParams& p) { p.components = {{0, 1, 1}}; }, 0, nullptr},
    {"depth 31 signed", [](SizParams& p) { p.components = {{0x9E, 1, 1}}; }, 0, nullptr},
    {"depth 32", [](SizParams& p) { p.components = {{0x1F, 1, 1}}; }, 0,
     "Unsupported component depth above 31 bits."},
    {"depth 38", [](SizParams& p) { p.components = {{0xA5, 1, 1}}; }, 0,
     "Unsupported component depth above 31 bits."},
    {"depth 39", [](SizParams& p) { p.components = {{0x26, 1, 1}}; }, 0,
     "Invalid SIZ marker segment: a component depth is outside 1 to 38 bits."},
    {"depth 128", [](SizParams& p) { p.components = {{0x7F, 1, 1}}; }, 0,
     "Invalid SIZ marker segment: a component depth is outside 1 to 38 bits."},
};

TEST(CodestreamSiz, FieldsLimitsAndHostileValues) {
    for (const SizCase& c : kSizCases) {
        SCOPED_TRACE(c.name);
        SizParams p;
        p.components = {{7, 1, 1}, {0x8B, 2, 4}};
        c.edit(p);
        Bytes body = cs_test::siz_body(p);
        for (int i = 0; i < c.length_delta; i++) body.u8(i & 1 ? 0x90 : 0xFF);  // looks like SOT
        AtSegment s(cs_test::segment(kMarkerSIZ, body, c.length_delta < 0 ? c.length_delta : 0), 0);
        const int ok = jpc_parse_siz(s.d(), &s.m);
        if (refused(ok, c.error)) {
            EXPECT_EQ(s.d()->ssiz, nullptr);
            EXPECT_EQ(s.d()->xrsiz, nullptr);
            continue;
        }
        ASSERT_EQ(ok, 1);
        EXPECT_TRUE(Messages::errors.empty());
        jpcdec* d = s.d();
        EXPECT_EQ(d->Xsiz, p.Xsiz);
        EXPECT_EQ(d->Ysiz, p.Ysiz);
        EXPECT_EQ(d->XOsiz, p.XOsiz);
        EXPECT_EQ(d->YOsiz, p.YOsiz);
        EXPECT_EQ(d->XTsiz, p.XTsiz);
        EXPECT_EQ(d->YTsiz, p.YTsiz);
        EXPECT_EQ(d->XTOsiz, p.XTOsiz);
        EXPECT_EQ(d->YTOsiz, p.YTOsiz);
        ASSERT_EQ(d->Csiz, p.components.size());
        EXPECT_EQ(d->component_num, d->Csiz);
        for (size_t i = 0; i < p.components.size(); i++) {
            EXPECT_EQ(d->ssiz[i], p.components[i].ssiz);
            EXPECT_EQ(d->xrsiz[i], p.components[i].xrsiz);
            EXPECT_EQ(d->yrsiz[i], p.components[i].yrsiz);
        }
        EXPECT_TRUE(s.at_sentinel());
    }
}

// Tile counts and their limits go through the main-header walk.
struct TileCountCase {
    uint32_t Xsiz, Ysiz, XTsiz, YTsiz;
    uint32_t across, down;  // 0: refused
};

const TileCountCase kTileCounts[] = {
    {1000, 10, 256, 256, 4, 1}, {1024, 10, 256, 256, 4, 1}, {1025, 10, 256, 256, 5, 1},
    {65535, 1, 1, 1, 65535, 1}, {256, 256, 1, 1, 0, 0},     {0xFFFFFFFF, 2, 0x10000000, 1, 16, 2},
};

TEST(CodestreamSiz, TileCounts) {
    for (const TileCountCase& c : kTileCounts) {
        SCOPED_TRACE(testing::Message() << c.Xsiz << "x" << c.Ysiz);
        SizParams p;
        p.Xsiz = c.Xsiz, p.Ysiz = c.Ysiz, p.XTsiz = c.XTsiz, p.YTsiz = c.YTsiz;
        Decoder dec(cs_test::main_header(p));
        MarkerSet* main = jpc_parse_main_header(dec.get());
        if (refused(main, c.across ? nullptr : "Too many tiles in the codestream (more than 65535).")) {
            continue;
        }
        ASSERT_NE(main, nullptr);
        EXPECT_EQ(dec.get()->numXtiles, c.across);
        EXPECT_EQ(dec.get()->numYtiles, c.down);
        EXPECT_EQ(dec.get()->tileNum, c.across * c.down);
        marker_set_destroy(dec.get(), main);
    }
}

// ---------------------------------------------------------------------------- COD / COC

struct CodCase {
    const char* name;
    std::function<void(CodParams&)> edit;
    int length_delta;
    const char* error;  // for COD; the COC text is the same with "COC"
};

const CodCase kCodCases[] = {
    {"plain", [](CodParams&) {}, 0, nullptr},
    {"precincts, 5 levels",
     [](CodParams& p) {
         p.Scod = 1, p.levels = 5;
         p.precincts = {0x00, 0x77, 0x88, 0x11, 0xF1, 0x1F};
     },
     0, nullptr},
    {"longer length skips the rest", [](CodParams&) {}, 3, nullptr},
    {"length one short", [](CodParams&) {}, -1, "COD marker segment is too short."},
    {"precincts past the length",
     [](CodParams& p) {
         p.Scod = 1, p.levels = 2;
         p.precincts = {0x77, 0x77, 0x77};
     },
     -1, "COD marker segment is too short."},
    {"32 levels", [](CodParams& p) { p.levels = 32; }, 0, nullptr},
    {"33 levels", [](CodParams& p) { p.levels = 33; }, 0,
     "COD marker segment: more than 32 decomposition levels."},
    {"xcb 8, ycb 8", [](CodParams& p) { p.xcb = p.ycb = 8; }, 0, nullptr},
    {"xcb 9", [](CodParams& p) { p.xcb = 9; }, 0,
     "COD marker segment: code-block width or height above 1024."},
    {"ycb 255", [](CodParams& p) { p.ycb = 255; }, 0,
     "COD marker segment: code-block width or height above 1024."},
    {"transform 0", [](CodParams& p) { p.transform = 0; }, 0, nullptr},
    {"high-throughput block style", [](CodParams& p) { p.cblk_style = 0x40; }, 0,
     "COD marker segment: unsupported code-block style (bits 6-7 belong to other coders)."},
    {"block style bit 7", [](CodParams& p) { p.cblk_style = 0x81; }, 0,
     "COD marker segment: unsupported code-block style (bits 6-7 belong to other coders)."},
    {"transform 2", [](CodParams& p) { p.transform = 2; }, 0,
     "COD marker segment: unknown wavelet transform."},
    {"PPx 0 above resolution 0",
     [](CodParams& p) {
         p.Scod = 1, p.levels = 1;
         p.precincts = {0x00, 0x70};
     },
     0, "COD marker segment: precinct size exponent 0 above resolution 0."},
    {"PPy 0 above resolution 0",
     [](CodParams& p) {
         p.Scod = 1, p.levels = 2;
         p.precincts = {0x11, 0x11, 0x07};
     },
     0, "COD marker segment: precinct size exponent 0 above resolution 0."},
};

TEST(CodestreamCod, FieldsLimitsAndHostileValues) {
    for (const CodCase& c : kCodCases) {
        SCOPED_TRACE(c.name);
        CodParams p;
        p.progression = 2, p.layers = 7, p.mct = 1, p.cblk_style = 0x3F;
        c.edit(p);
        const uint8_t style = p.cblk_style;
        Bytes body = cs_test::cod_body(p);
        for (int i = 0; i < c.length_delta; i++) body.u8(0xFF);  // surplus bytes
        const int delta = c.length_delta < 0 ? c.length_delta : 0;
        AtSegment s(cs_test::segment(kMarkerCOD, body, delta), 3);
        CodSegment* cod = jpc_parse_cod(s.d(), &s.m);
        if (refused(cod, c.error)) continue;
        ASSERT_NE(cod, nullptr);
        EXPECT_EQ(cod->Scod, p.Scod);
        EXPECT_EQ(cod->progression, 2);
        EXPECT_EQ(cod->layers, 7);
        EXPECT_EQ(cod->mct, 1);
        EXPECT_EQ(cod->part.levels, p.levels);
        EXPECT_EQ(cod->part.xcb, p.xcb);
        EXPECT_EQ(cod->part.ycb, p.ycb);
        EXPECT_EQ(cod->part.cblk_style, style);
        EXPECT_EQ(cod->part.transform, p.transform);
        if (p.Scod & 1) {
            ASSERT_NE(cod->part.precinct_sizes, nullptr);
            for (size_t r = 0; r < p.precincts.size(); r++)
                EXPECT_EQ(cod->part.precinct_sizes[r], p.precincts[r]);
        } else {
            EXPECT_EQ(cod->part.precinct_sizes, nullptr);
        }
        EXPECT_TRUE(s.at_sentinel());
        jpc_free_cod(s.d(), cod);
    }
}

TEST(CodestreamCod, ProgressionOrder) {
    for (uint8_t order = 0; order <= 6; order++) {
        CodParams p;
        p.progression = order;
        AtSegment s(cs_test::segment(kMarkerCOD, cs_test::cod_body(p)), 1);
        CodSegment* cod = jpc_parse_cod(s.d(), &s.m);
        SCOPED_TRACE(int(order));
        if (!refused(cod, order > 4 ? "COD marker segment: unknown progression order." : nullptr)) {
            EXPECT_NE(cod, nullptr);
        }
        jpc_free_cod(s.d(), cod);
    }
}

TEST(CodestreamCoc, SameChecksAsCodWithComponentIndex) {
    for (const CodCase& c : kCodCases) {
        SCOPED_TRACE(c.name);
        CodParams p;
        c.edit(p);
        Bytes body = cs_test::coc_body(1, p);
        for (int i = 0; i < c.length_delta; i++) body.u8(0xFF);
        AtSegment s(cs_test::segment(kMarkerCOC, body, c.length_delta < 0 ? c.length_delta : 0), 3);
        CocSegment* coc = jpc_parse_coc(s.d(), &s.m);
        if (refused(coc, c.error ? for_component(c.error).c_str() : nullptr)) continue;
        ASSERT_NE(coc, nullptr);
        EXPECT_EQ(coc->component, 1);
        EXPECT_EQ(coc->part.levels, p.levels);
        EXPECT_EQ(coc->part.precinct_sizes != nullptr, (p.Scod & 1) != 0);
        EXPECT_TRUE(s.at_sentinel());
        jpc_free_coc(s.d(), coc);
    }
}

struct IndexCase {
    uint16_t components;
    bool wide;
    uint16_t index;
    bool ok;
};
// One-byte indices up to 256 components, two bytes from 257 on.
const IndexCase kIndexCases[] = {
    {3, false, 2, true},      {3, false, 3, false},   {256, false, 255, true},
    {300, true, 299, true},   {300, true, 300, false}, {300, true, 0x8000, false},
    {16384, true, 16383, true},
};

TEST(CodestreamCoc, ComponentIndexWidthAndRange) {
    for (const IndexCase& c : kIndexCases) {
        SCOPED_TRACE(testing::Message() << c.components << " components, index " << c.index);
        CodParams p;
        p.levels = 3;
        AtSegment s(cs_test::segment(kMarkerCOC, cs_test::coc_body(c.index, p, c.wide)),
                    c.components);
        CocSegment* coc = jpc_parse_coc(s.d(), &s.m);
        if (refused(coc, c.ok ? nullptr : "COC component index is >= componentNum.")) continue;
        ASSERT_NE(coc, nullptr);
        EXPECT_EQ(coc->component, c.index);
        EXPECT_EQ(coc->part.levels, 3);
        EXPECT_TRUE(s.at_sentinel());
        jpc_free_coc(s.d(), coc);
    }
}

// -------------------------------------------------------------------------- QCD / QCC

struct QuantCase {
    const char* name;
    Bytes body;  // after the length word (QCD) or after the index (QCC)
    int length_delta;
    const char* error;  // QCD text
    std::vector<uint16_t> values;
};

const QuantCase kQuantCases[] = {
    {"style 0, 16 values", Bytes().u8(0x40).raw(std::vector<uint8_t>(16, 0x48)), 0, nullptr,
     std::vector<uint16_t>(16, 0x48)},
    {"style 2, odd byte skipped",
     Bytes().u8(0x22).u16(0x4800).u16(0x4801).u16(0x9FFF).u8(0xFF), 0, nullptr,
     {0x4800, 0x4801, 0x9FFF}},
    {"style 1, one value, rest skipped", Bytes().u8(0x21).u16(0x4800).u16(0x1234), 0, nullptr,
     {0x4800}},
    {"style 0, one value", Bytes().u8(0x00).u8(0x50), 0, nullptr, {0x50}},
    {"style 3", Bytes().u8(0x03).u16(0), 0, "QCD marker segment unknown quantization style!", {}},
    {"style 31, guard 7", Bytes().u8(0xFF).u16(0), 0,
     "QCD marker segment unknown quantization style!", {}},
    {"no value", Bytes().u8(0x40), 0, "QCD marker segment is too short.", {}},
    {"style 1 with one byte", Bytes().u8(0x21).u8(0x48), 0, "QCD marker segment is too short.", {}},
    {"style 2 with one byte", Bytes().u8(0x22).u8(0x48), 0, "QCD marker segment is too short.", {}},
    {"length below the style byte", Bytes().u8(0x40).u8(1), -2, "QCD marker segment is too short.", {}},
};

void expect_quant(const QuantCase& c, QuantSegment* q, const char* error) {
    if (refused(q, error)) return;
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->style, c.body.v[0]);
    ASSERT_EQ(q->count, c.values.size());
    for (size_t i = 0; i < c.values.size(); i++) EXPECT_EQ(q->values[i], c.values[i]) << i;
}

TEST(CodestreamQuant, QcdValuesAndHostileLengths) {
    for (const QuantCase& c : kQuantCases) {
        SCOPED_TRACE(c.name);
        AtSegment s(cs_test::segment(kMarkerQCD, c.body, c.length_delta), 3);
        QuantSegment* q = jpc_parse_qcd(s.d(), &s.m);
        expect_quant(c, q, c.error);
        if (q) {
            EXPECT_TRUE(s.at_sentinel());
        }
        jpc_free_quant(s.d(), q);
    }
}

TEST(CodestreamQuant, QccValuesIndexAndHostileLengths) {
    for (const QuantCase& c : kQuantCases) {
        for (bool wide : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (wide ? ", wide index" : ""));
            Bytes body;
            if (wide) body.u16(258);
            else body.u8(2);
            body.add(c.body);
            AtSegment s(cs_test::segment(kMarkerQCC, body, c.length_delta), wide ? 300 : 3);
            QuantSegment* q = jpc_parse_qcc(s.d(), &s.m);
            expect_quant(c, q, c.error ? for_component(c.error).c_str() : nullptr);
            if (q) {
                EXPECT_EQ(q->component, wide ? 258 : 2);
                EXPECT_TRUE(s.at_sentinel());
            }
            jpc_free_quant(s.d(), q);
        }
    }
    AtSegment s(cs_test::segment(kMarkerQCC, Bytes().u8(3).u8(0x40).u8(0x48)), 3);
    EXPECT_EQ(jpc_parse_qcc(s.d(), &s.m), nullptr);
    EXPECT_EQ(Messages::errors, Strings{"QCC component index is >= componentNum."});
}

// ------------------------------------------------------------------------- RGN / POC

struct RgnCase {
    Bytes body;
    uint16_t components;
    int length_delta;
    const char* error;
    uint16_t component;
    uint8_t shift;
};

const RgnCase kRgnCases[] = {
    {Bytes().u8(1).u8(0).u8(7), 3, 0, nullptr, 1, 7},
    {Bytes().u8(1).u8(0).u8(31).u16(0), 3, 0, nullptr, 1, 31},
    {Bytes().u8(1).u8(0).u8(32), 3, 0, "RGN marker segment: ROI shift above 31 is not supported.", 0, 0},
    {Bytes().u8(0).u8(0).u8(255), 3, 0, "RGN marker segment: ROI shift above 31 is not supported.", 0, 0},
    {Bytes().u8(3).u8(0).u8(7), 3, 0, "RGN component index is >= componentNum.", 0, 0},
    {Bytes().u16(299).u8(0).u8(5), 300, 0, nullptr, 299, 5},
    {Bytes().u16(300).u8(0).u8(5), 300, 0, "RGN component index is >= componentNum.", 0, 0},
    {Bytes().u8(1).u8(0).u8(7), 3, -1, "RGN marker segment is too short.", 0, 0},
};

TEST(CodestreamRgn, FieldsAndHostileValues) {
    for (size_t i = 0; i < std::size(kRgnCases); i++) {
        const RgnCase& c = kRgnCases[i];
        SCOPED_TRACE(i);
        AtSegment s(cs_test::segment(kMarkerRGN, c.body, c.length_delta), c.components);
        RgnSegment* r = jpc_parse_rgn(s.d(), &s.m);
        if (refused(r, c.error)) continue;
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->component, c.component);
        EXPECT_EQ(r->Srgn, 0);
        EXPECT_EQ(r->SPrgn, c.shift);
        EXPECT_TRUE(s.at_sentinel());
        jpc_free_rgn(s.d(), r);
    }
}

struct PocEntry {
    uint8_t rs;
    uint16_t cs, lye;
    uint8_t re;
    uint16_t ce;
    uint8_t order;
};

// Component fields are one byte, or two (`wide`) from 257 components on.
Bytes poc_entries(const std::vector<PocEntry>& entries, bool wide) {
    Bytes b;
    for (const PocEntry& e : entries) {
        b.u8(e.rs);
        wide ? b.u16(e.cs) : b.u8(uint8_t(e.cs));
        b.u16(e.lye).u8(e.re);
        wide ? b.u16(e.ce) : b.u8(uint8_t(e.ce));
        b.u8(e.order);
    }
    return b;
}

TEST(CodestreamPoc, EntriesAndSurplus) {
    const struct {
        const char* name;
        std::vector<PocEntry> entries;  // CEpoc 0 is kept as coded
        bool wide;
        Bytes surplus;
        uint16_t components, Lpoc;
    } cases[] = {
        {"one-byte fields, two surplus bytes", {{0, 0, 3, 5, 3, 1}, {1, 2, 0xFFFF, 33, 0, 4}}, false,
         Bytes().u16(0xFF93), 3, 18},
        {"300 components: nine-byte entries", {{0, 299, 1, 1, 300, 0}, {0, 0, 2, 6, 256, 2}}, true,
         Bytes(), 300, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AtSegment s(cs_test::segment(kMarkerPOC, poc_entries(c.entries, c.wide).add(c.surplus)),
                    c.components);
        ASSERT_EQ(s.m.length, c.Lpoc);
        PocSegment* p = jpc_parse_poc(s.d(), &s.m);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(p->count, c.entries.size());
        for (size_t k = 0; k < c.entries.size(); k++) {
            const PocEntry& e = c.entries[k];
            EXPECT_EQ(p->RSpoc[k], e.rs) << k;
            EXPECT_EQ(p->CSpoc[k], e.cs) << k;
            EXPECT_EQ(p->LYEpoc[k], e.lye) << k;
            EXPECT_EQ(p->REpoc[k], e.re) << k;
            EXPECT_EQ(p->CEpoc[k], e.ce) << k;
            EXPECT_EQ(p->Ppoc[k], e.order) << k;
        }
        EXPECT_TRUE(s.at_sentinel());
        jpc_free_poc(s.d(), p);
    }
}

TEST(CodestreamPoc, HostileSegments) {
    struct Case {
        Bytes segment;
        uint16_t components;
        const char* error;
    };
    const Case cases[] = {
        {cs_test::segment(kMarkerPOC, poc_entries({{0, 0, 1, 1, 1, 5}}, false)), 3,
         "POC marker segment: unknown progression order."},
        {cs_test::segment(kMarkerPOC, poc_entries({{0, 0, 1, 1, 1, 0}, {0, 0, 1, 1, 1, 200}}, false)),
         3, "POC marker segment: unknown progression order."},
        {cs_test::segment(kMarkerPOC, Bytes().raw({0, 0, 0, 1, 1, 1})), 3,
         "POC marker segment is too short."},
        {cs_test::segment(kMarkerPOC, poc_entries({{0, 0, 1, 1, 1, 0}}, false)), 300,
         "POC marker segment is too short."},
    };
    for (size_t i = 0; i < std::size(cases); i++) {
        SCOPED_TRACE(i);
        AtSegment s(cases[i].segment, cases[i].components);
        EXPECT_EQ(jpc_parse_poc(s.d(), &s.m), nullptr);
        EXPECT_EQ(Messages::errors, Strings{cases[i].error});
    }
}

// ------------------------------------------------------------------------ truncation

// Each segment cut at every byte by the end of the data: the parser's own read error, and
// nothing left allocated (the decoder's destructor checks).
struct TruncationCase {
    const char* name;
    Bytes segment;
    uint16_t components;
    std::function<bool(jpcdec*, const MarkerHeader*)> parse;  // true: a record came back
    const char* error;
};

template <class T, class F> std::function<bool(jpcdec*, const MarkerHeader*)> parsed_by(F parse, void (*release)(jpcdec*, T*)) {
    return [parse, release](jpcdec* d, const MarkerHeader* m) {
        T* record = parse(d, m);
        release(d, record);
        return record != nullptr;
    };
}

std::vector<TruncationCase> truncation_cases() {
    SizParams siz;
    siz.components = {{7, 1, 1}, {7, 1, 1}, {7, 1, 1}};
    CodParams cod;
    cod.Scod = 1, cod.levels = 3, cod.precincts = {0x77, 0x77, 0x77, 0x77};
    auto no_free_siz = [](jpcdec* d, const MarkerHeader* m) { return jpc_parse_siz(d, m) == 1; };
    return {
        {"SIZ", cs_test::segment(kMarkerSIZ, cs_test::siz_body(siz)), 0, no_free_siz,
         "Parsing SIZ marker segment error."},
        {"COD", cs_test::segment(kMarkerCOD, cs_test::cod_body(cod)), 3,
         parsed_by<CodSegment>(jpc_parse_cod, jpc_free_cod), "Parsing COD marker segment error."},
        {"COC", cs_test::segment(kMarkerCOC, cs_test::coc_body(2, cod)), 3,
         parsed_by<CocSegment>(jpc_parse_coc, jpc_free_coc), "Parsing COC marker segment error."},
        {"QCD", cs_test::segment(kMarkerQCD, Bytes().u8(0x22).u16(0x4800).u16(0x4000)), 3,
         parsed_by<QuantSegment>(jpc_parse_qcd, jpc_free_quant), "Parsing QCD marker segment error."},
        {"QCC", cs_test::segment(kMarkerQCC, Bytes().u16(1).u8(0x40).u8(0x48).u8(0x50)), 300,
         parsed_by<QuantSegment>(jpc_parse_qcc, jpc_free_quant), "Parsing QCC marker segment error."},
        {"RGN", cs_test::segment(kMarkerRGN, Bytes().u8(1).u8(0).u8(5)), 3,
         parsed_by<RgnSegment>(jpc_parse_rgn, jpc_free_rgn), "Parsing RGN marker segment error."},
        {"POC", cs_test::segment(kMarkerPOC, Bytes().raw({0, 0, 0, 1, 1, 1, 0, 1, 0, 0, 2, 2, 2, 1})), 3,
         parsed_by<PocSegment>(jpc_parse_poc, jpc_free_poc), "Parsing POC marker segment error."},
    };
}

TEST(CodestreamSegments, TruncatedSegmentsFailWithTheirReadError) {
    for (const TruncationCase& c : truncation_cases()) {
        for (size_t cut = 4; cut <= c.segment.size(); cut++) {
            SCOPED_TRACE(testing::Message() << c.name << " cut at " << cut);
            AtSegment s(c.segment, c.components);
            s.d()->reader->length = static_cast<uint32_t>(cut);  // hide the sentinel too
            const bool ok = c.parse(s.d(), &s.m);
            EXPECT_EQ(ok, cut == c.segment.size());
            EXPECT_EQ(Messages::errors, ok ? Strings{} : Strings{c.error});
            if (!ok && std::string(c.name) == "SIZ") {
                EXPECT_EQ(s.d()->ssiz, nullptr);
            }
        }
    }
}

// ------------------------------------------------------------------- band expansion

struct BandCase {
    const char* name;
    uint8_t style;
    std::vector<uint16_t> values;
    uint32_t precision, levels, r, b;
    const char* error;
    uint8_t magnitude;
    uint32_t mantissa;
    int32_t exponent;
};

const char* const kFewValues =
    "Quantization marker segment has fewer step values than the subbands need.";
const char* const kBadExponent =
    "Quantization step sizes out of range (exponent shift above 31 or below 0).";

const BandCase kBandCases[] = {
    {"reversible LL", 0x40, {0x48}, 8, 0, 0, 0, nullptr, 10, 1, 0},
    {"reversible HH of level 5", 0x40, std::vector<uint16_t>(16, 0x50), 8, 5, 5, 2, nullptr, 11, 1, 0},
    {"reversible, 3 NL values", 0x40, std::vector<uint16_t>(15, 0x50), 8, 5, 5, 2, kFewValues, 0, 0, 0},
    {"reversible, enough for HL only", 0x40, std::vector<uint16_t>(14, 0x50), 8, 5, 5, 0, nullptr, 11, 1, 0},
    {"reversible, no bit-plane", 0x00, {0x00}, 8, 0, 0, 0, nullptr, 0, 1, 0},
    {"derived LL", 0x21, {0x4800}, 8, 3, 0, 0, nullptr, 9, 0x800u << 5, 8 + 0 - 9 + 16},
    {"derived r1 LH", 0x21, {0x4800}, 8, 3, 1, 1, nullptr, 9, 0x800u << 5, 8 + 1 - 9 + 16},
    {"derived r2 HL", 0x21, {0x4800}, 8, 3, 2, 0, nullptr, 8, 0x800u << 5, 8 + 1 - 8 + 16},
    {"derived r3 HH", 0x21, {0x4FFF}, 8, 3, 3, 2, nullptr, 7, 0xFFFu << 5, 8 + 2 - 7 + 16},
    {"derived exponent below zero", 0x21, {0x0800}, 8, 5, 4, 0, kBadExponent, 0, 0, 0},
    {"expounded", 0x42, {0x4000, 0x4123, 0x3456, 0x2789}, 12, 1, 1, 2, nullptr, 5, 0xF89u << 5, 12 + 2 - 4 + 16},
    {"expounded, too few", 0x42, {0x4000, 0x4123, 0x3456}, 12, 1, 1, 2, kFewValues, 0, 0, 0},
    {"expounded, exponent 31", 0x42, {0x0800}, 16, 0, 0, 0, nullptr, 2, 0x800u << 5, 31},
    {"expounded, exponent 32", 0x42, {0x0000, 0x0000, 0x0000, 0x0000}, 14, 1, 1, 2, kBadExponent, 0, 0, 0},
    {"expounded, huge step", 0x02, {0x0000}, 31, 0, 0, 0, kBadExponent, 0, 0, 0},
    {"expounded, negative exponent", 0x02, {0xF800}, 1, 0, 0, 0, nullptr, 30, 0x800u << 5, 1 - 31 + 16},
};

TEST(CodestreamQuant, BandExpansion) {
    for (const BandCase& c : kBandCases) {
        SCOPED_TRACE(c.name);
        Decoder dec(std::vector<uint8_t>{});
        QuantSegment q{};
        q.style = c.style;
        std::vector<uint16_t> values = c.values;
        q.values = values.data();
        q.count = static_cast<uint16_t>(values.size());
        Band band{};
        const int ok = jpc_band_quant(dec.get(), &q, c.precision, c.levels, c.r, c.b, &band);
        if (c.error) {
            EXPECT_EQ(ok, 0);
            EXPECT_EQ(Messages::errors, Strings{c.error});
            continue;
        }
        ASSERT_EQ(ok, 1);
        EXPECT_EQ(band.magnitude_bits, c.magnitude);
        EXPECT_EQ(band.step_mantissa, c.mantissa);
        EXPECT_EQ(band.step_exponent, c.exponent);
    }
}

}  // namespace
