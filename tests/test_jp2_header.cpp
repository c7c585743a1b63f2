// JP2 Header sub-boxes over hand-built files: each kind valid, short, duplicated, out of
// order; the palette, mapping and channel definition records as read.
#include <gtest/gtest.h>

#include <chrono>

#include "support/jp2_test_files.h"

using namespace jp2test;

namespace {

const Bytes kCodestream = {0xFF, 0x4F, 0xFF, 0x51};

Bytes file_with(const Bytes& header_content) { return jp2_file(header_content, kCodestream); }
Bytes rgb() { return ihdr(4, 2, 3, 7); }

struct HeaderCase {
    const char* name;
    Bytes content;        // of the jp2h box
    int ok;
    const char* error;    // expected single error, or nullptr
    const char* warning;  // expected among the warnings, or nullptr
};

std::vector<HeaderCase> header_cases() {
    const Bytes c16 = colr(16);
    std::vector<HeaderCase> c;
    c.push_back({"ihdr and colr", cat({rgb(), c16}), 1, nullptr, nullptr});
    c.push_back({"ihdr 13 bytes", cat({box("ihdr", Bytes(13, 0)), c16}), 0,
                 jp2msg::kImageHeaderError, nullptr});
    c.push_back({"ihdr with trailing bytes",
                 cat({box("ihdr", cat({be32(2), be32(4), be16(3), {7, 7, 0, 0}, {9, 9}})), c16}), 1,
                 nullptr, nullptr});
    c.push_back({"ihdr twice", cat({rgb(), ihdr(9, 9, 1, 7), c16}), 1, nullptr,
                 jp2msg::kImageHeaderDuplicate});
    c.push_back({"colr before ihdr only", cat({c16, rgb()}), 0, jp2msg::kMissingColr,
                 jp2msg::kColrBeforeIhdr});
    c.push_back({"colr before and after ihdr", cat({c16, rgb(), colr(17)}), 1, nullptr,
                 jp2msg::kColrBeforeIhdr});
    c.push_back({"two colr", cat({rgb(), c16, colr(17)}), 1, nullptr, jp2msg::kColrDuplicate});
    c.push_back({"colr METH 3 then METH 1",
                 cat({rgb(), box("colr", cat({{3, 0, 0}, be32(16)})), colr(17)}), 1, nullptr,
                 jp2msg::kColrBadMeth});
    c.push_back({"colr 2 bytes", cat({rgb(), box("colr", {1, 0})}), 0, jp2msg::kColrError, nullptr});
    c.push_back({"colr METH 1 in 5 bytes", cat({rgb(), box("colr", {1, 0, 0, 0, 16})}), 0,
                 jp2msg::kColrError, nullptr});
    c.push_back({"colr METH 2 in 3 bytes", cat({rgb(), box("colr", {2, 0, 0})}), 1, nullptr,
                 nullptr});
    c.push_back({"bpcc", cat({rgb(), c16, box("bpcc", {7, 7, 7})}), 1, nullptr, nullptr});
    c.push_back({"bpcc short", cat({rgb(), c16, box("bpcc", {7, 7})}), 0, jp2msg::kBpccError,
                 nullptr});
    c.push_back({"bpcc before ihdr", cat({box("bpcc", {7, 7, 7}), rgb(), c16}), 1, nullptr,
                 jp2msg::kBpccBeforeIhdr});
    c.push_back({"bpcc twice", cat({rgb(), c16, box("bpcc", {7, 7, 7}), box("bpcc", {1})}), 1,
                 nullptr, jp2msg::kBpccDuplicate});
    c.push_back({"pclr before ihdr", cat({pclr({{1}}), rgb(), c16}), 1, nullptr,
                 jp2msg::kPclrBeforeIhdr});
    c.push_back({"pclr twice", cat({rgb(), c16, pclr({{1}}), pclr({{2}})}), 1, nullptr,
                 jp2msg::kPclrDuplicate});
    c.push_back({"pclr no entries", cat({rgb(), c16, box("pclr", cat({be16(0), {1, 7}}))}), 0,
                 jp2msg::kPclrEmpty, nullptr});
    c.push_back({"pclr no columns", cat({rgb(), c16, box("pclr", cat({be16(4), {0}}))}), 0,
                 jp2msg::kPclrEmpty, nullptr});
    c.push_back({"pclr 2 bytes", cat({rgb(), c16, box("pclr", {0, 1})}), 0, jp2msg::kPclrError,
                 nullptr});
    c.push_back({"pclr entries past the box",
                 cat({rgb(), c16, box("pclr", cat({be16(300), {2, 7, 7}, Bytes(10, 1)}))}), 0,
                 jp2msg::kPclrError, nullptr});
    c.push_back({"pclr depth bytes past the box", cat({rgb(), c16, box("pclr", cat({be16(1), {9, 7}}))}),
                 0, jp2msg::kPclrError, nullptr});
    c.push_back({"pclr 128-bit column",
                 cat({rgb(), c16, box("pclr", cat({be16(1), {2, 7, 0x7F}, Bytes(17, 0)}))}), 0,
                 "Bit depth of palette columen 1 is more than 32 or less than 1, unsupported.",
                 nullptr});
    c.push_back({"cmap 3 bytes", cat({rgb(), c16, box("cmap", {0, 0, 0})}), 0, jp2msg::kCmapError,
                 nullptr});
    c.push_back({"cmap before ihdr", cat({cmap({{0, 0, 0}}), rgb(), c16}), 1, nullptr,
                 jp2msg::kCmapBeforeIhdr});
    c.push_back({"cmap twice", cat({rgb(), c16, cmap({{0, 0, 0}}), cmap({{1, 0, 0}})}), 1, nullptr,
                 jp2msg::kCmapDuplicate});
    c.push_back({"cdef zero descriptions", cat({rgb(), c16, box("cdef", {0, 0})}), 1, nullptr,
                 jp2msg::kCdefZero});
    c.push_back({"cdef 1 byte", cat({rgb(), c16, box("cdef", {0})}), 0, jp2msg::kCdefError, nullptr});
    c.push_back({"cdef descriptions past the box",
                 cat({rgb(), c16, box("cdef", cat({be16(2), be16(0), be16(0), be16(1)}))}), 0,
                 jp2msg::kCdefError, nullptr});
    c.push_back({"cdef Cn equal to N", cat({rgb(), c16, cdef({{0, 0, 1}, {2, 0, 2}})}), 0,
                 jp2msg::kCdefCnTooLarge, nullptr});
    c.push_back({"cdef before ihdr", cat({cdef({{0, 0, 1}}), rgb(), c16}), 1, nullptr,
                 jp2msg::kCdefBeforeIhdr});
    c.push_back({"cdef twice", cat({rgb(), c16, cdef({{0, 0, 1}}), cdef({{0, 0, 1}})}), 1, nullptr,
                 jp2msg::kCdefDuplicate});
    const Bytes resc = box("resc", cat({be16(1), be16(2), be16(3), be16(4), {0xFE, 3}}));
    const Bytes resd = box("resd", cat({be16(5), be16(6), be16(7), be16(8), {1, 0xFF}}));
    c.push_back({"res with both", cat({rgb(), c16, box("res ", cat({resc, resd}))}), 1, nullptr,
                 nullptr});
    c.push_back({"res twice", cat({rgb(), c16, box("res ", resc), box("res ", resd)}), 1, nullptr,
                 jp2msg::kResDuplicate});
    c.push_back({"res before ihdr", cat({box("res ", resc), rgb(), c16}), 1, nullptr,
                 jp2msg::kResBeforeIhdr});
    c.push_back({"resc twice", cat({rgb(), c16, box("res ", cat({resc, resc}))}), 1, nullptr,
                 jp2msg::kRescDuplicate});
    c.push_back({"resd twice", cat({rgb(), c16, box("res ", cat({resd, resd}))}), 1, nullptr,
                 jp2msg::kResdDuplicate});
    c.push_back({"resc 9 bytes", cat({rgb(), c16, box("res ", box("resc", Bytes(9, 0)))}), 0,
                 jp2msg::kRescError, nullptr});
    c.push_back({"resd 9 bytes", cat({rgb(), c16, box("res ", box("resd", Bytes(9, 0)))}), 0,
                 jp2msg::kResdError, nullptr});
    c.push_back({"resc past the res box",
                 cat({rgb(), c16, box("res ", box_lbox(30, "resc", Bytes(10, 0)))}), 0,
                 jp2msg::kBoxPastSuperbox, nullptr});
    c.push_back({"unknown sub-boxes skipped", cat({box("xml ", Bytes(9, 'x')), rgb(),
                                                  box("uuid", Bytes(3, 1)), c16}),
                 1, nullptr, nullptr});
    c.push_back({"sub-box past the header box", cat({rgb(), box_lbox(40, "colr", {1, 0, 0, 0, 0, 0, 16})}),
                 0, jp2msg::kBoxPastSuperbox, nullptr});
    c.push_back({"sub-box LBox 0 ends with the header box", cat({rgb(), box_lbox(0, "colr", {1, 0, 0, 0, 0, 0, 16})}),
                 1, nullptr, nullptr});
    c.push_back({"sub-box with an XLBox", cat({rgb(), box_xl("colr", {1, 0, 0, 0, 0, 0, 16})}), 1,
                 nullptr, nullptr});
    c.push_back({"sub-box LBox 3", cat({rgb(), box_lbox(3, "colr", {})}), 0,
                 jp2msg::kLBoxTwoToSeven, nullptr});
    c.push_back({"stray bytes at the end of the header box", cat({rgb(), c16, {0, 0, 0}}), 0,
                 jp2msg::kBoxHeaderError, nullptr});
    return c;
}

}  // namespace

TEST(Jp2HeaderBoxes, Cases) {
    for (const HeaderCase& c : header_cases()) {
        SCOPED_TRACE(c.name);
        Decoder d(file_with(c.content));
        ASSERT_NE(d.get(), nullptr);
        EXPECT_EQ(d.walk(), c.ok);
        d.messages().expect(c.error, c.warning);
        // A failed sub-box drops the whole header record.
        if (!c.ok && c.error != jp2msg::kMissingColr) {
            EXPECT_EQ(d->jp2_header, nullptr);
        }
    }
}

TEST(Jp2HeaderBoxes, ColrBox) {
    const struct {
        const char* name;
        Bytes boxes;  // after ihdr
        uint8_t METH, PREC, APPROX;
        uint32_t EnumCS;
        Bytes extra;
        int colour_space;
    } cases[] = {
        {"first retained", cat({colr(18), colr(17)}), 1, 0, 0, 18, {}, 18},
        {"METH 1 with 8 extra bytes", box("colr", cat({{1, 2, 3}, be32(16), Bytes(8, 0xAB)})), 1,
         2, 3, 16, Bytes(8, 0xAB), 16},
        {"METH 2 keeps the profile", colr_icc({1, 2, 3, 4, 5}), 2, 0, 0, 0, {1, 2, 3, 4, 5}, 0},
        {"METH 3 dropped, later METH 1 kept", cat({box("colr", cat({{3, 0, 0}, be32(16)})), colr(12)}),
         1, 0, 0, 12, {}, 12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d(file_with(cat({rgb(), c.boxes})));
        ASSERT_EQ(d.walk(), 1);
        const ColourSpecRecord* cs = d->jp2_header->colour_spec;
        EXPECT_EQ(cs->METH, c.METH);
        EXPECT_EQ(cs->PREC, c.PREC);
        EXPECT_EQ(cs->APPROX, c.APPROX);
        EXPECT_EQ(cs->EnumCS, c.EnumCS);
        EXPECT_EQ(Bytes(cs->extra, cs->extra + cs->extra_count), c.extra);
        EXPECT_EQ(d->colour_space, c.colour_space);
    }
}

TEST(Jp2HeaderBoxes, Palette) {
    std::vector<std::vector<uint8_t>> ramps;
    for (int j = 0; j < 256; j++) ramps.push_back({uint8_t(j), uint8_t(255 - j), uint8_t(j / 2)});
    const struct {
        const char* name;
        Bytes pclr;
        uint16_t NE;
        uint8_t NPC;
        std::vector<std::pair<size_t, uint32_t>> entries;  // index into entries, value
    } cases[] = {
        {"256 entries of three 8-bit columns", pclr(ramps), 256, 3,
         {{200 * 3 + 0, 200}, {200 * 3 + 1, 55}, {255 * 3 + 2, 127}}},
        {"10-bit column: two bytes, leading bits; mixed with a 20-bit one",
         box("pclr", cat({be16(2), {2, 9, 19},
                          {0xFF, 0xC0}, {0x12, 0x34, 0x50},     // entry 0
                          {0x80, 0x40}, {0xFF, 0xFF, 0xF0}})),  // entry 1
         2, 2, {{0, 1023}, {1, 0x12345}, {2, 0x201}, {3, 0xFFFFF}}},
        {"32-bit column", box("pclr", cat({be16(1), {1, 31}, be32(0xDEADBEEF)})), 1, 1,
         {{0, 0xDEADBEEF}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d(file_with(cat({rgb(), colr(16), c.pclr})));
        ASSERT_EQ(d.walk(), 1);
        const PaletteRecord* p = d->jp2_header->palette;
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->NE, c.NE);
        EXPECT_EQ(p->NPC, c.NPC);
        for (const auto& [i, v] : c.entries) EXPECT_EQ(p->entries[i], v) << i;
    }
}

TEST(Jp2HeaderBoxes, ChannelDefinitionOrder) {
    struct Case {
        const char* name;
        std::vector<std::vector<uint16_t>> in, out;
    };
    const Case cases[] = {
        {"opacity after colour", {{0, 0, 1}, {2, 1, 0}, {1, 0, 2}}, {{0, 0, 1}, {1, 0, 2}, {2, 1, 0}}},
        {"reversed association", {{0, 0, 3}, {1, 0, 2}, {2, 0, 1}}, {{2, 0, 1}, {1, 0, 2}, {0, 0, 3}}},
        {"unspecified type last", {{0, 65535, 0}, {1, 2, 1}, {2, 0, 1}}, {{2, 0, 1}, {1, 2, 1}, {0, 65535, 0}}},
        {"equal keys keep file order", {{1, 0, 1}, {0, 0, 1}, {2, 0, 0}}, {{2, 0, 0}, {1, 0, 1}, {0, 0, 1}}},
        {"one description", {{0, 0, 1}}, {{0, 0, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d(file_with(cat({rgb(), colr(16), cdef(c.in)})));
        ASSERT_EQ(d.walk(), 1);
        const ChannelDefinitionRecord* cd = d->jp2_header->channel_definition;
        ASSERT_NE(cd, nullptr);
        ASSERT_EQ(cd->N, c.out.size());
        for (size_t i = 0; i < c.out.size(); i++) {
            EXPECT_EQ(cd->Cn[i], c.out[i][0]) << i;
            EXPECT_EQ(cd->Typ[i], c.out[i][1]) << i;
            EXPECT_EQ(cd->Asoc[i], c.out[i][2]) << i;
        }
        EXPECT_EQ(cd->Cn[cd->N], 0xFFFF);
        EXPECT_EQ(cd->Typ[cd->N], 0xFFFF);
        EXPECT_EQ(cd->Asoc[cd->N], 0xFFFF);
    }
}

TEST(Jp2HeaderBoxes, HostileChannelDefinitionSortsQuickly) {
    // 65535 descriptions in orders that drive a naive quicksort deep or quadratic.
    for (int order = 0; order < 3; order++) {
        SCOPED_TRACE(order);
        const uint32_t n = 65535;
        Bytes content = be16(uint16_t(n));
        for (uint32_t i = 0; i < n; i++) {
            const uint32_t asoc = order == 0 ? i : order == 1 ? n - i : (i * 7919u) % n;
            content.insert(content.end(), {uint8_t(i >> 8), uint8_t(i), 0, 0, uint8_t(asoc >> 8),
                                           uint8_t(asoc)});
        }
        Decoder d(file_with(cat({rgb(), colr(16), box("cdef", content)})));
        const auto t0 = std::chrono::steady_clock::now();
        ASSERT_EQ(d.walk(), 1);
        const double secs =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(secs, 1.0);
        const ChannelDefinitionRecord* cd = d->jp2_header->channel_definition;
        for (uint32_t i = 1; i < n; i++) ASSERT_LE(cd->Asoc[i - 1], cd->Asoc[i]) << i;
    }
}
