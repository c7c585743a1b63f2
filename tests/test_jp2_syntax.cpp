// JP2 files built here around small generated codestreams (scripts/make-jp2-fixtures),
// decoded through jp2_parse and jp2_decode_row: the box walk and the header boxes -> the
// exact error or warning; channels, palette and colour -> the exact output bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <tuple>
#include <functional>

#include "jp2/jp2_colour.h"
#include "dravex/jp2_decoder.h"
#include "jp2/jp2_impl.h"
#include "support/app_tool.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

using Bytes = std::vector<uint8_t>;
using Strings = std::vector<std::string>;
using namespace jp2msg;

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}
Bytes be16(uint32_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
Bytes type(const char* t) { return Bytes(t, t + 4); }
Bytes box_lbox(uint32_t lbox, const char* t, const Bytes& content) { return cat({be32(lbox), type(t), content}); }
Bytes box(const char* t, const Bytes& content) { return box_lbox(uint32_t(content.size() + 8), t, content); }
// A box with an XLBox (0: the exact 16 + content size).
Bytes box_xl(const char* t, const Bytes& content, uint64_t xl = 0) {
    if (!xl) xl = content.size() + 16;
    return cat({be32(1), type(t), be32(uint32_t(xl >> 32)), be32(uint32_t(xl)), content});
}
const Bytes kSignature = {0, 0, 0, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
Bytes ftyp() { return box("ftyp", cat({type("jp2 "), be32(0), type("jp2 ")})); }
Bytes ihdr(uint32_t w, uint32_t h, uint16_t nc, uint8_t bpc) {
    return box("ihdr", cat({be32(h), be32(w), be16(nc), {bpc, 7, 0, 0}}));
}
Bytes colr(uint32_t enum_cs) { return box("colr", cat({{1, 0, 0}, be32(enum_cs)})); }
Bytes triples(const char* t, const std::vector<std::vector<uint16_t>>& rows, bool count) {
    Bytes c = count ? be16(uint32_t(rows.size())) : Bytes{};
    for (const auto& e : rows) c = cat({c, be16(e[0]), t[1] == 'd' ? cat({be16(e[1]), be16(e[2])}) : Bytes{uint8_t(e[1]), uint8_t(e[2])}});
    return box(t, c);
}
Bytes cdef(const std::vector<std::vector<uint16_t>>& d) { return triples("cdef", d, true); }  // Cn, Typ, Asoc
Bytes cmap(const std::vector<std::vector<uint16_t>>& m) { return triples("cmap", m, false); }  // CMP, MTYP, PCOL
// entries[j][k]: one-byte columns of depth 8.
Bytes pclr(const std::vector<std::vector<uint8_t>>& entries) {
    Bytes c = cat({be16(uint32_t(entries.size())), {uint8_t(entries[0].size())}, Bytes(entries[0].size(), 7)});
    for (const auto& e : entries) c = cat({c, e});
    return box("pclr", c);
}
Bytes fixture(const char* name) { return app_test::read_file(app_test::data_path(name)); }
Bytes jp2_file(const Bytes& header, const Bytes& codestream) {
    return cat({kSignature, ftyp(), box("jp2h", header), box("jp2c", codestream)});
}
// Sample (x, y) of component c in the generated fixtures.
uint32_t sample(uint32_t x, uint32_t y, uint32_t c, uint32_t depth = 8) {
    return (x * 37 + y * 11 + c * 53 + 7) & ((1u << depth) - 1);
}

Strings g_errors, g_warnings;
void on_error(const char* m) { g_errors.emplace_back(m); }
void on_warning(const char* m) { g_warnings.emplace_back(m); }

struct Image {
    int ok = 0;
    uint32_t width = 0, height = 0;
    Bytes bgr;
    uint8_t at(uint32_t x, uint32_t y, uint32_t byte) const { return bgr[(size_t(y) * width + x) * 3 + byte]; }
};

// Parses and decodes into 3-byte pixels in the tool's order (blue first); checks that the
// decoder gives back all it took.
Image decode(Bytes file, uint32_t convert = 1) {
    g_errors.clear(), g_warnings.clear();
    Image img;
    MemOps* ops = memops_create();
    Stream* s = memory_stream_create(ops, file.data(), uint32_t(file.size()));
    Jp2Decoder* j = jp2_create(ops, s);
    jp2_set_hooks(j, on_error, on_warning);
    const uint32_t offsets[3] = {2, 1, 0};
    if (jp2_parse(j)) {
        jp2_set_colour_conversion(j, convert);
        jp2_get_size(j, &img.width, &img.height);
        img.bgr.assign(size_t(img.width) * img.height * 3, 0);
        img.ok = jp2_set_output(j, 3, offsets, 3);
        for (uint32_t y = 0; img.ok && y < img.height; y++)
            img.ok = jp2_decode_row(j, img.bgr.data() + size_t(y) * img.width * 3);
        uint8_t spare[64] = {};
        if (img.ok && img.width <= 20 && jp2_decode_row(j, spare)) img.ok = 0;  // no row after the last
        jp2_finish_output(j);
    }
    if (!img.ok) { EXPECT_EQ(g_errors.size(), 1u); }
    jp2_destroy(j);
    s->close(s);
    EXPECT_EQ(memops_in_use(ops), 0u) << "the decoder left memory behind";
    ops->release(ops);
    return img;
}

// The warnings less the note the fixtures' comment segments give.
Strings jp2_warnings() {
    Strings own;
    for (const std::string& w : g_warnings)
        if (w != "Unsupported markers, ignored.") own.push_back(w);
    return own;
}

struct Case {
    std::string name;
    Bytes file;
    const char* error;    // the one error, or nullptr when the file decodes
    const char* warning;  // expected among the warnings
};

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Image img = decode(c.file);
        EXPECT_EQ(img.ok, c.error == nullptr);
        EXPECT_EQ(g_errors, c.error ? Strings{c.error} : Strings{});
        EXPECT_EQ(jp2_warnings(), c.warning ? Strings{c.warning} : Strings{});
    }
}

const Bytes& rgb_codestream() {
    static const Bytes cs = fixture("jp2_rgb_6x4.j2c");
    return cs;
}
Bytes rgb_header() { return cat({ihdr(6, 4, 3, 7), colr(16)}); }

TEST(Jp2Syntax, BoxWalk) {
    const Bytes sig = kSignature, ft = ftyp(), hb = box("jp2h", rgb_header()), cs = box("jp2c", rgb_codestream());
    const Bytes xml = box("xml ", Bytes(13, 'x')), uuid = box("uuid", Bytes(16, 0x55));
    Bytes bad_sig = cat({sig, ft, hb, cs});
    bad_sig[6] = 'X';
    run({
        {"minimal", cat({sig, ft, hb, cs}), nullptr, nullptr},
        {"codestream LBox 0 runs to the end", cat({sig, ft, hb, box_lbox(0, "jp2c", rgb_codestream())}), nullptr, nullptr},
        {"skipped boxes around the header", cat({sig, ft, xml, hb, uuid, box("jp2i", {1, 1}), cs}), nullptr, nullptr},
        {"XLBox on a skipped box", cat({sig, ft, box_xl("xml ", Bytes(5, 'a')), hb, cs}), nullptr, nullptr},
        {"XLBox of an empty box", cat({sig, ft, box_xl("xml ", {}), hb, cs}), nullptr, nullptr},
        {"XLBox on the codestream box", cat({sig, ft, hb, box_xl("jp2c", rgb_codestream())}), nullptr, nullptr},
        {"codestream XLBox past the file is cut", cat({sig, ft, hb, box_xl("jp2c", rgb_codestream(), 1ull << 40)}), nullptr, nullptr},
        {"codestream LBox past the file is cut", cat({sig, ft, hb, box_lbox(5000, "jp2c", rgb_codestream())}), nullptr, nullptr},
        {"boxes after the codestream are never read", cat({sig, ft, hb, cs, box_lbox(3, "bad!", {})}), nullptr, nullptr},
        {"codestream before and after the header", cat({sig, ft, cs, hb, cs}), nullptr, kCodestreamBeforeHeader},
        {"second header box skipped", cat({sig, ft, hb, box("jp2h", Bytes(3, 0)), cs}), nullptr, kHeaderDuplicate},
        {"no signature", bad_sig, kMissingSignature, nullptr},
        {"XLBox below 16", cat({sig, ft, box_xl("xml ", {}, 15), hb, cs}), kXLBoxTooSmall, nullptr},
        {"XLBox past the file", cat({sig, ft, box_xl("xml ", Bytes(4, 0), 1ull << 40), hb, cs}), kBoxPastFile, nullptr},
        {"header box past the file", cat({sig, ft, box_lbox(5000, "jp2h", rgb_header())}), kBoxPastFile, nullptr},
        {"skipped box past the file", cat({sig, ft, hb, box_lbox(100, "xml ", {1, 2})}), kBoxPastFile, nullptr},
        {"LBox 5", cat({sig, ft, box_lbox(5, "xml ", {}), hb, cs}), kLBoxTwoToSeven, nullptr},
        {"LBox 1 without room for the XLBox", cat({sig, ft, hb, be32(1), type("xml "), be32(0)}), kBoxHeaderError, nullptr},
        {"file ends inside a box header", cat({sig, ft, hb, {0, 0, 0}}), kBoxHeaderError, nullptr},
        {"first box not ftyp", cat({sig, hb, ft, cs}), kMissingFileType, nullptr},
        {"ftyp past the file", cat({sig, box_lbox(900, "ftyp", Bytes(12, 0))}), kBoxPastFile, nullptr},
        {"ftyp shorter than its fields", cat({sig, box("ftyp", Bytes(7, 0)), hb, cs}), kFileTypeError, nullptr},
        {"codestream only before the header", cat({sig, ft, cs, hb}), kMissingCodestream, kCodestreamBeforeHeader},
        {"no header box", cat({sig, ft, xml, cs}), kMissingHeader, kCodestreamBeforeHeader},
        {"header without colr", cat({sig, ft, box("jp2h", ihdr(6, 4, 3, 7)), cs}), kMissingColr, nullptr},
        {"no codestream box", cat({sig, ft, hb, xml}), kMissingCodestream, nullptr},
    });
}

TEST(Jp2Syntax, HeaderBoxes) {
    const Bytes ih = ihdr(6, 4, 3, 7), c16 = colr(16);
    const auto with = [](const Bytes& header) { return jp2_file(header, rgb_codestream()); };
    const Bytes resc = box("resc", cat({be16(1), be16(2), be16(3), be16(4), {0xFE, 3}}));
    const Bytes resd = box("resd", cat({be16(5), be16(6), be16(7), be16(8), {1, 0xFF}}));
    const Bytes col = box("colr", {1, 0, 0, 0, 0, 0, 16}), map = cmap({{0, 1, 0}});
    run({
        {"ihdr 13 bytes", with(cat({box("ihdr", Bytes(13, 0)), c16})), kImageHeaderError, nullptr},
        {"ihdr with trailing bytes", with(cat({box("ihdr", cat({be32(4), be32(6), be16(3), {7, 7, 0, 0, 9, 9}})), c16})), nullptr, nullptr},
        {"ihdr twice", with(cat({ih, ihdr(9, 9, 1, 7), c16})), nullptr, kImageHeaderDuplicate},
        {"colr only before ihdr", with(cat({c16, ih})), kMissingColr, kColrBeforeIhdr},
        {"colr before and after ihdr", with(cat({c16, ih, colr(16)})), nullptr, kColrBeforeIhdr},
        {"two colr", with(cat({ih, c16, colr(17)})), nullptr, kColrDuplicate},
        {"colr METH 3, then METH 1", with(cat({ih, box("colr", cat({{3, 0, 0}, be32(17)})), c16})), nullptr, kColrBadMeth},
        {"colr 2 bytes", with(cat({ih, box("colr", {1, 0})})), kColrError, nullptr},
        {"colr METH 1 in 5 bytes", with(cat({ih, box("colr", {1, 0, 0, 0, 16})})), kColrError, nullptr},
        {"colr METH 2 in 3 bytes", with(cat({ih, box("colr", {2, 0, 0})})), nullptr, kUnsupportedColour},
        {"bpcc while the depths are all equal", with(cat({ihdr(6, 4, 3, 0xFF), c16, box("bpcc", {7, 7, 7})})), nullptr, kBpcMismatch},
        {"bpcc short", with(cat({ih, c16, box("bpcc", {7, 7})})), kBpccError, nullptr},
        {"bpcc before ihdr", with(cat({box("bpcc", {7, 7, 7}), ih, c16})), nullptr, kBpccBeforeIhdr},
        {"bpcc twice", with(cat({ih, c16, box("bpcc", {7, 7, 7}), box("bpcc", {1})})), nullptr, kBpccDuplicate},
        {"pclr before ihdr", with(cat({pclr({{1}}), ih, c16})), nullptr, kPclrBeforeIhdr},
        {"pclr twice", with(cat({ih, c16, pclr({{1}}), pclr({{2}}), map})), nullptr, kPclrDuplicate},
        {"pclr no entries", with(cat({ih, c16, box("pclr", cat({be16(0), {1, 7}}))})), kPclrEmpty, nullptr},
        {"pclr no columns", with(cat({ih, c16, box("pclr", cat({be16(4), {0}}))})), kPclrEmpty, nullptr},
        {"pclr 2 bytes", with(cat({ih, c16, box("pclr", {0, 1})})), kPclrError, nullptr},
        {"pclr entries past the box", with(cat({ih, c16, box("pclr", cat({be16(300), {2, 7, 7}, Bytes(10, 1)}))})), kPclrError, nullptr},
        {"pclr depths past the box", with(cat({ih, c16, box("pclr", cat({be16(1), {9, 7}}))})), kPclrError, nullptr},
        {"pclr 32-bit column", with(cat({ih, c16, box("pclr", cat({be16(1), {1, 31}, be32(0xDEADBEEF)})), map})), nullptr, nullptr},
        {"pclr 33-bit column", with(cat({ih, c16, box("pclr", cat({be16(1), {2, 7, 0x20}, Bytes(6, 0)}))})),
         "Bit depth of palette columen 1 is more than 32 or less than 1, unsupported.", nullptr},
        {"cmap 3 bytes", with(cat({ih, c16, box("cmap", {0, 0, 0})})), kCmapError, nullptr},
        {"cmap before ihdr", with(cat({map, ih, c16})), nullptr, kCmapBeforeIhdr},
        {"cmap twice", with(cat({ih, c16, pclr({{1}}), map, cmap({{1, 0, 0}})})), nullptr, kCmapDuplicate},
        {"cdef zero descriptions", with(cat({ih, c16, box("cdef", {0, 0})})), nullptr, kCdefZero},
        {"cdef 1 byte", with(cat({ih, c16, box("cdef", {0})})), kCdefError, nullptr},
        {"cdef descriptions past the box", with(cat({ih, c16, box("cdef", cat({be16(2), be16(0), be16(0), be16(1)}))})), kCdefError, nullptr},
        {"cdef Cn equal to N", with(cat({ih, c16, cdef({{0, 0, 1}, {2, 0, 2}})})), kCdefCnTooLarge, nullptr},
        {"cdef before ihdr", with(cat({cdef({{0, 0, 1}}), ih, c16})), nullptr, kCdefBeforeIhdr},
        {"cdef twice", with(cat({ih, c16, cdef({{0, 0, 1}}), cdef({{0, 0, 1}})})), nullptr, kCdefDuplicate},
        {"res twice", with(cat({ih, c16, box("res ", resc), box("res ", resd)})), nullptr, kResDuplicate},
        {"res before ihdr", with(cat({box("res ", resc), ih, c16})), nullptr, kResBeforeIhdr},
        {"resc twice", with(cat({ih, c16, box("res ", cat({resc, resc}))})), nullptr, kRescDuplicate},
        {"resd twice", with(cat({ih, c16, box("res ", cat({resd, resd}))})), nullptr, kResdDuplicate},
        {"resc 9 bytes", with(cat({ih, c16, box("res ", box("resc", Bytes(9, 0)))})), kRescError, nullptr},
        {"resd 9 bytes", with(cat({ih, c16, box("res ", box("resd", Bytes(9, 0)))})), kResdError, nullptr},
        {"resc past the res box", with(cat({ih, c16, box("res ", box_lbox(30, "resc", Bytes(10, 0)))})), kBoxPastSuperbox, nullptr},
        {"unknown sub-boxes skipped", with(cat({box("xml ", Bytes(9, 'x')), ih, box("uuid", Bytes(3, 1)), c16})), nullptr, nullptr},
        {"sub-box past the header box", with(cat({ih, box_lbox(40, "colr", {1, 0, 0, 0, 0, 0, 16})})), kBoxPastSuperbox, nullptr},
        {"sub-box LBox 0 ends with the header box", with(cat({ih, box_lbox(0, "colr", {1, 0, 0, 0, 0, 0, 16})})), nullptr, nullptr},
        {"sub-box LBox 3", with(cat({ih, box_lbox(3, "colr", {})})), kLBoxTwoToSeven, nullptr},
        {"stray bytes at the end of the header box", with(cat({ih, col, {0, 0, 0}})), kBoxHeaderError, nullptr},
        // The codestream wins over the header; the samples come through.
        {"width differs", with(cat({ihdr(7, 4, 3, 7), c16})), nullptr, kAreaMismatch},
        {"height differs", with(cat({ihdr(6, 3, 3, 7), c16})), nullptr, kAreaMismatch},
        {"component count differs", with(cat({ihdr(6, 4, 4, 7), c16})), nullptr, kComponentsMismatch},
        {"bit depth differs", with(cat({ihdr(6, 4, 3, 8), c16})), nullptr, kBpcMismatch},
        {"compression type", with(cat({box("ihdr", cat({be32(4), be32(6), be16(3), {7, 6, 0, 0}})), c16})), nullptr, kUnknownCompression},
        {"palette without mapping", with(cat({ih, c16, pclr({{9, 9, 9}})})), nullptr, kPaletteWithoutMapping},
        {"mapping without palette", with(cat({ih, c16, cmap({{0, 1, 0}})})), nullptr, kPaletteWithoutMapping},
    });
}

// 65535 channel descriptions in orders that drive a naive sort deep or quadratic are sorted at
// once. (Truncations and allocation failures: the fuzz replays and test_bounds.)
TEST(Jp2Syntax, HostileChannelDefinitionsSortQuickly) {
    for (uint32_t order = 0; order < 3; order++) {
        Bytes content = be16(65535);
        for (uint32_t i = 0; i < 65535; i++) {
            const uint32_t asoc = order == 0 ? i : order == 1 ? 65535 - i : i * 7919u % 65535;
            content.insert(content.end(), {uint8_t(i >> 8), uint8_t(i), 0, 0, uint8_t(asoc >> 8), uint8_t(asoc)});
        }
        const auto start = std::chrono::steady_clock::now();
        decode(jp2_file(cat({rgb_header(), box("cdef", content)}), rgb_codestream()));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << order;
    }
}

using Expected = std::function<uint32_t(uint32_t x, uint32_t y, uint32_t byte)>;  // byte 0 blue

// Red, green and blue from these components (-1: the byte stays zero).
Expected components(int red, int green, int blue) {
    return [=](uint32_t x, uint32_t y, uint32_t byte) {
        const int c = byte == 0 ? blue : byte == 1 ? green : red;
        return c < 0 ? 0u : sample(x, y, uint32_t(c));
    };
}
uint32_t clamp_byte(double v) { return uint32_t(std::clamp(std::floor(v + 0.5), 0.0, 255.0)); }

TEST(Jp2Syntax, ChannelsAndColourToExactBytes) {
    const Bytes sub = fixture("jp2_sub_8x4.j2c"), grey = fixture("jp2_grey_5x3.j2c");
    const auto rgb = [](const Bytes& boxes, const Bytes& colour = colr(16)) {
        return jp2_file(cat({ihdr(6, 4, 3, 7), colour, boxes}), rgb_codestream());
    };
    const Bytes icc = box("colr", cat({{2, 0, 0}, Bytes(40, 0x11)}));
    // The 8-bit palette of entry j: (j, 255 - j, j / 2).
    std::vector<std::vector<uint8_t>> ramp;
    for (uint32_t j = 0; j < 256; j++) ramp.push_back({uint8_t(j), uint8_t(255 - j), uint8_t(j / 2)});
    std::vector<std::vector<uint16_t>> past_32;  // channel 35 - i is colour i + 1
    for (uint16_t i = 0; i < 36; i++) past_32.push_back({uint16_t(35 - i), 0, uint16_t(i + 1)});
    const Expected ramp_of_0 = [](uint32_t x, uint32_t y, uint32_t byte) {
        const uint32_t j = sample(x, y, 0);
        return byte == 2 ? j : byte == 1 ? 255 - j : j / 2;
    };
    const struct {
        const char* name;
        Bytes file;
        uint32_t convert, width;
        Expected expect;
        Strings warnings;
    } rows[] = {
        {"sRGB in driver order", rgb({}), 1, 6, components(0, 1, 2), {}},
        {"reversed association", rgb(cdef({{0, 0, 3}, {1, 0, 2}, {2, 0, 1}})), 1, 6, components(2, 1, 0), {}},
        {"unspecified type last", rgb(cdef({{0, 65535, 0}, {1, 0, 2}, {2, 0, 1}})), 1, 6, components(2, 1, 0), {}},
        {"third component is opacity", rgb(cdef({{0, 0, 1}, {1, 0, 2}, {2, 1, 0}})), 1, 6, components(0, 1, -1), {}},
        {"premultiplied opacity first", rgb(cdef({{0, 2, 0}, {1, 0, 1}, {2, 0, 2}})), 1, 6, components(1, 2, -1), {}},
        {"cdef with one description", rgb(cdef({{0, 0, 1}})), 1, 6, components(0, 0, 0), {}},
        {"one grey component", jp2_file(cat({ihdr(5, 3, 1, 7), colr(17)}), grey), 1, 5, components(0, 0, 0), {}},
        {"grey and alpha", jp2_file(cat({ihdr(8, 4, 2, 7), colr(17), cdef({{1, 1, 0}, {0, 0, 1}})}), sub), 1, 8,
         components(0, 0, 0), {}},
        {"alpha listed first", jp2_file(cat({ihdr(8, 4, 2, 7), colr(17), cdef({{0, 1, 0}, {1, 0, 1}})}), sub), 1, 8,
         [](uint32_t x, uint32_t y, uint32_t) { return x % 4 < 2 ? sample((x / 4) * 2 + x % 4, y, 1) : 0u; }, {}},
        // Component 1 has half the columns: in each 4-pixel tile it fills the first two pixels.
        {"sub-sampled component leaves zeros", jp2_file(cat({ihdr(8, 4, 2, 7), colr(16)}), sub), 1, 8,
         [](uint32_t x, uint32_t y, uint32_t byte) {
             if (byte == 2) return sample(x, y, 0);
             return byte == 1 && x % 4 < 2 ? sample((x / 4) * 2 + x % 4, y, 1) : 0u;
         },
         {}},
        {"sYCC", rgb({}, colr(18)), 1, 6,
         [](uint32_t x, uint32_t y, uint32_t byte) -> uint32_t {
             const double Y = sample(x, y, 0), cb = sample(x, y, 1) - 128.0, cr = sample(x, y, 2) - 128.0;
             if (byte == 2) return clamp_byte(Y + 1.402 * cr);
             if (byte == 1) return clamp_byte(Y - 0.34413 * cb - 0.71414 * cr);
             return clamp_byte(Y + 1.772 * cb);
         },
         {}},
        {"sYCC with conversion off", rgb({}, colr(18)), 0, 6, components(0, 1, 2), {}},
        {"sYCC with an opacity channel is copied", rgb(cdef({{0, 0, 1}, {1, 0, 2}, {2, 1, 0}}), colr(18)), 1, 6,
         components(0, 1, -1), {}},
        {"CMYK", jp2_file(cat({ihdr(4, 2, 4, 7), colr(12)}), fixture("jp2_cmyk_4x2.j2c")), 1, 4,
         [](uint32_t x, uint32_t y, uint32_t byte) {
             return uint32_t(255 - std::min(255, int(sample(x, y, 2 - byte) + sample(x, y, 3))));
         },
         {}},
        {"ICC profile is copied", rgb({}, icc), 1, 6, components(0, 1, 2), {kUnsupportedColour}},
        {"unknown colour space", rgb({}, colr(21)), 1, 6, components(0, 1, 2), {kUnsupportedColour}},
        {"lone channel of an ICC file", rgb(cdef({{0, 0, 1}, {1, 1, 0}, {2, 1, 0}}), icc), 1, 6, components(0, 0, 0),
         {kUnsupportedColour}},
        {"equal associations keep file order", rgb(cdef({{1, 0, 1}, {0, 0, 1}, {2, 0, 2}})), 1, 6, components(1, 0, 2), {}},
        {"descriptions of components past the first 32 are dropped",
         jp2_file(cat({ihdr(3, 2, 40, 7), colr(16), cdef(past_32)}), fixture("jp2_many_3x2.j2c")), 1, 3, components(31, 30, 29),
         {kChannelsCut}},
        {"palette for all three", rgb(cat({pclr(ramp), cmap({{0, 1, 0}, {0, 1, 1}, {0, 1, 2}})})), 1, 6, ramp_of_0, {}},
        {"mapping mixes direct and palette", rgb(cat({pclr(ramp), cmap({{2, 0, 0}, {1, 1, 2}})})), 1, 6,
         [](uint32_t x, uint32_t y, uint32_t byte) {
             return byte == 2 ? sample(x, y, 2) : byte == 1 ? sample(x, y, 1) / 2 : 0u;
         },
         {}},
        {"mapping names a missing component", rgb(cat({pclr(ramp), cmap({{0, 1, 0}, {0, 1, 1}, {4, 1, 2}})})), 1, 6,
         [&](uint32_t x, uint32_t y, uint32_t byte) { return byte ? ramp_of_0(x, y, byte) : 0u; }, {kCmpTooLarge}},
        {"direct entry ignores its column", rgb(cat({pclr(ramp), cmap({{1, 0, 200}, {0, 0, 0}, {2, 0, 9}})})), 1, 6,
         components(1, 0, 2), {}},
        {"definition through a mapping", rgb(cat({pclr(ramp), cmap({{2, 0, 0}, {1, 0, 0}}), cdef({{0, 0, 2}, {1, 0, 1}})})),
         1, 6, components(1, 2, -1), {}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const Image img = decode(r.file, r.convert);
        ASSERT_EQ(img.ok, 1) << g_errors.at(0);
        ASSERT_EQ(img.width, r.width);
        Bytes want;
        for (uint32_t y = 0; y < img.height; y++)
            for (uint32_t x = 0; x < img.width; x++)
                for (uint32_t b = 0; b < 3; b++) want.push_back(uint8_t(r.expect(x, y, b)));
        EXPECT_EQ(img.bgr, want);
        EXPECT_EQ(jp2_warnings(), r.warnings);
    }
    run({
        {"palette column past the palette", rgb(cat({pclr(ramp), cmap({{0, 1, 0}, {0, 1, 3}})})), kPcolTooLarge, nullptr},
        {"definition Cn at the channel count", rgb(cdef({{0, 0, 1}, {1, 0, 2}, {2, 0, 3}, {3, 1, 0}})), kCnTooLarge, nullptr},
    });
}

// A 10-bit index into the palette: samples above 255 index the whole table, and indices past
// its end take the last entry.
TEST(Jp2Syntax, PaletteIndexedByTheFullSample) {
    for (uint32_t entries : {1024u, 303u}) {  // 303: one sample is 303, one above
        SCOPED_TRACE(entries);
        std::vector<std::vector<uint8_t>> pal;
        for (uint32_t j = 0; j < entries; j++) pal.push_back({uint8_t(j), uint8_t(j >> 2), uint8_t(j * 3)});
        const Image img = decode(jp2_file(cat({ihdr(9, 2, 1, 9), colr(16), pclr(pal), cmap({{0, 1, 0}, {0, 1, 1}, {0, 1, 2}})}),
                                          fixture("jp2_index10_9x2.j2c")));
        ASSERT_EQ(img.ok, 1);
        int above_255 = 0;
        for (uint32_t y = 0; y < 2; y++)
            for (uint32_t x = 0; x < 9; x++) {
                const uint32_t v = std::min(sample(x, y, 0, 10), entries - 1);
                above_255 += sample(x, y, 0, 10) > 255;
                EXPECT_EQ(img.at(x, y, 2), v & 255);
                EXPECT_EQ(img.at(x, y, 1), (v >> 2) & 255);
                EXPECT_EQ(img.at(x, y, 0), (v * 3) & 255);
            }
        EXPECT_GT(above_255, 0);
    }
    // Palette columns wider than a byte keep their leading bits.
    const Bytes wide = box("pclr", cat({be16(2), {3, 9, 19, 31}, {0xFF, 0xC0, 0x12, 0x34, 0x50}, be32(0xDEADBEEF),
                                        {0x80, 0x40, 0xFF, 0xFF, 0xF0}, be32(0x12345678)}));
    const Image img = decode(jp2_file(cat({ihdr(5, 3, 1, 7), colr(16), wide, cmap({{0, 1, 0}, {0, 1, 1}, {0, 1, 2}})}),
                                      fixture("jp2_grey_5x3.j2c")));
    ASSERT_EQ(img.ok, 1);
    for (uint32_t x = 0; x < 5; x++) {  // index 0 or 1: the samples clamp to the last entry
        const bool first = sample(x, 0, 0) == 0;
        EXPECT_EQ(img.at(x, 0, 2), first ? 0xFF : 0x01) << x;
        EXPECT_EQ(img.at(x, 0, 1), first ? 0x45 : 0xFF) << x;
        EXPECT_EQ(img.at(x, 0, 0), first ? 0xEF : 0x78) << x;
    }
}

// The conformance JP2 files with 8-bit references that need no colour profile; file9 has a palette.
TEST(Jp2Syntax, ConformanceFiles) {
    const std::string dir = app_test::corpus_dir("conformance");
    if (dir.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    for (auto [file, ref, max_peak] : {std::tuple{"file1.jp2", "jp2_1.ppm", 0}, {"file2.jp2", "jp2_2.ppm", 2},
                                       {"file4.jp2", "jp2_4.pgm", 0}, {"file9.jp2", "jp2_9.ppm", 0}}) {
        SCOPED_TRACE(file);
        const Image img = decode(app_test::read_file(dir + "/" + file));
        app_test::Pnm pnm;
        ASSERT_TRUE(img.ok && app_test::read_pnm(dir + "-ref/" + ref, &pnm));
        ASSERT_EQ(pnm.width * pnm.height, img.width * img.height);
        int peak = 0;
        for (size_t p = 0; p < size_t(img.width) * img.height; p++)
            for (uint32_t ch = 0; ch < 3; ch++)  // a grey reference stands for all three bytes
                peak = std::max(peak, std::abs(int(img.bgr[p * 3 + 2 - ch]) - pnm.samples[p * pnm.channels + ch % pnm.channels]));
        EXPECT_LE(peak, max_peak);
    }
}

TEST(Jp2Syntax, LifecycleMisuseFailsCleanly) {
    Bytes file = jp2_file(rgb_header(), rgb_codestream());
    MemOps* ops = memops_create();
    Stream* s = memory_stream_create(ops, file.data(), uint32_t(file.size()));
    const uint32_t offsets[3] = {2, 1, 0}, bad[3] = {0, 1, 3};
    uint8_t row[6 * 3] = {};
    g_errors.clear();
    Jp2Decoder* j = jp2_create(ops, s);
    jp2_set_hooks(j, on_error, on_warning);
    EXPECT_EQ(jp2_set_output(j, 3, offsets, 3), 0);  // before the parse
    EXPECT_EQ(jp2_decode_row(j, row), 0);
    jp2_set_max_pixels(j, 6 * 4 - 1);
    ASSERT_EQ(jp2_parse(j), 1);
    EXPECT_EQ(jp2_parse(j), 0);
    EXPECT_EQ(jp2_set_output(j, 3, offsets, 3), 0);  // above the pixel limit
    jp2_set_max_pixels(j, 6 * 4);
    EXPECT_EQ(jp2_set_output(j, 3, bad, 3), 0);      // an offset outside the pixel
    EXPECT_EQ(jp2_set_output(j, 0, offsets, 3), 0);
    ASSERT_EQ(jp2_set_output(j, 3, nullptr, 3), 1);  // null offsets: R, G, B
    EXPECT_EQ(jp2_set_output(j, 3, offsets, 3), 0);
    ASSERT_EQ(jp2_decode_row(j, row), 1);
    EXPECT_EQ(row[0], sample(0, 0, 0));
    EXPECT_EQ(row[2], sample(0, 0, 2));
    EXPECT_GE(g_errors.size(), 6u);
    jp2_destroy(j);  // mid-image, without finish_output
    s->close(s);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
}

}  // namespace
