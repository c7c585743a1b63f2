// End-to-end JP2 decodes: small generated codestreams wrapped in hand-built boxes, with exact
// expected bytes, and the conformance JP2 files against their 8-bit references.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <string>

#include "support/app_tool.h"
#include "support/codestream_fixtures.h"
#include "support/jp2_test_files.h"

using namespace jp2test;
using app_test::read_file;

namespace {

struct Image {
    int ok = 0;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> bgr;
    Messages messages;
    uint16_t channels = 0;
    uint8_t at(uint32_t x, uint32_t y, uint32_t byte) const {
        return bgr[(size_t(y) * width + x) * 3 + byte];
    }
};

Image decode(const Bytes& file, uint32_t convert = 1) {
    Image img;
    Decoder d(file);
    if (!d.get() || !d.parse()) {
        img.messages = d.messages();
        return img;
    }
    img.channels = d->channel_list->channel_num;
    jp2_set_colour_conversion(d.get(), convert);
    jp2_get_size(d.get(), &img.width, &img.height);
    const uint32_t offsets[3] = {2, 1, 0};
    img.bgr.assign(size_t(img.width) * img.height * 3, 0);
    if (jp2_set_output(d.get(), 3, offsets, 3)) {
        img.ok = 1;
        for (uint32_t y = 0; y < img.height; y++)
            if (!jp2_decode_row(d.get(), img.bgr.data() + size_t(y) * img.width * 3)) img.ok = 0;
        uint8_t spare[64] = {};
        if (img.width <= 20 && jp2_decode_row(d.get(), spare)) img.ok = 0;  // no row after the last
        jp2_finish_output(d.get());
    }
    img.messages = d.messages();
    return img;
}

uint32_t sample(uint32_t x, uint32_t y, uint32_t c) { return fixture_sample(x, y, c, 8); }

size_t count(const std::vector<std::string>& v, const char* m) {
    size_t n = 0;
    for (const auto& s : v) n += s == m;
    return n;
}

Bytes rgb_file(const Bytes& extra_boxes, uint32_t enum_cs = 16) {
    return jp2_file(cat({ihdr(6, 4, 3, 7), colr(enum_cs), extra_boxes}), fixture("jp2_rgb_6x4.j2c"));
}

uint8_t clamp_byte(double v) {
    v += 0.5;
    if (v <= 0) return 0;
    if (v >= 255) return 255;
    return uint8_t(v);
}

}  // namespace

namespace {

// Expected byte of pixel (x, y); byte 0 is blue, 2 red.
using Expected = std::function<uint32_t(uint32_t x, uint32_t y, uint32_t byte)>;

// Red, green and blue from these components (-1: the byte stays zero).
Expected components(int red, int green, int blue) {
    return [=](uint32_t x, uint32_t y, uint32_t byte) {
        const int c = byte == 0 ? blue : byte == 1 ? green : red;
        return c < 0 ? 0u : sample(x, y, uint32_t(c));
    };
}

struct ExactCase {
    const char* name;
    Bytes file;
    uint32_t convert;  // colour conversion on or off
    uint32_t width, height;
    Expected expect;
    const char* warning;  // the one JP2 warning given, or nullptr for none
    uint16_t channels;    // in the list; 0: not checked
};

std::vector<ExactCase> exact_cases() {
    const Bytes grey_alpha_header = cat({ihdr(8, 4, 2, 7), colr(17), cdef({{1, 1, 0}, {0, 0, 1}})});
    const Bytes sub = fixture("jp2_sub_8x4.j2c"), rgb = fixture("jp2_rgb_6x4.j2c");
    return {
        {"sRGB components in driver order", rgb_file({}), 1, 6, 4, components(0, 1, 2), nullptr, 3},
        // cdef association picks the components.
        {"association in order (rows written by the codestream decoder)",
         rgb_file(cdef({{0, 0, 1}, {1, 0, 2}, {2, 0, 3}})), 1, 6, 4, components(0, 1, 2), nullptr, 0},
        {"reversed association", rgb_file(cdef({{0, 0, 3}, {1, 0, 2}, {2, 0, 1}})), 1, 6, 4,
         components(2, 1, 0), nullptr, 0},
        {"third component is opacity", rgb_file(cdef({{0, 0, 1}, {1, 0, 2}, {2, 1, 0}})), 1, 6, 4,
         components(0, 1, -1), nullptr, 0},
        {"opacity listed first", rgb_file(cdef({{0, 1, 0}, {1, 0, 1}, {2, 0, 2}})), 1, 6, 4,
         components(1, 2, -1), nullptr, 0},
        // Grey fills every byte.
        {"one grey component", jp2_file(cat({ihdr(5, 3, 1, 7), colr(17)}), fixture("jp2_grey_5x3.j2c")),
         1, 5, 3, components(0, 0, 0), nullptr, 0},
        {"grey and alpha", jp2_file(grey_alpha_header, sub), 1, 8, 4, components(0, 0, 0), nullptr, 0},
        {"grey with a second, undescribed channel", jp2_file(cat({ihdr(8, 4, 2, 7), colr(17)}), sub), 1,
         8, 4, components(0, 0, 0), nullptr, 0},
        // Component 1 has half the columns: in each 4-pixel tile it fills the first two pixels,
        // and every byte no component writes is zero.
        {"sub-sampled component leaves zeros", jp2_file(cat({ihdr(8, 4, 2, 7), colr(16)}), sub), 1, 8, 4,
         [](uint32_t x, uint32_t y, uint32_t byte) {
             if (byte == 2) return sample(x, y, 0);
             return byte == 1 && x % 4 < 2 ? sample((x / 4) * 2 + x % 4, y, 1) : 0u;
         },
         nullptr, 0},
        {"sYCC", rgb_file({}, 18), 1, 6, 4,
         [](uint32_t x, uint32_t y, uint32_t byte) -> uint32_t {
             const double Y = sample(x, y, 0), cb = sample(x, y, 1) - 128.0,
                          cr = sample(x, y, 2) - 128.0;
             if (byte == 2) return clamp_byte(Y + 1.402 * cr);
             if (byte == 1) return clamp_byte(Y - 0.34413 * cb - 0.71414 * cr);
             return clamp_byte(Y + 1.772 * cb);
         },
         nullptr, 0},
        {"sYCC with conversion off is copied", rgb_file({}, 18), 0, 6, 4, components(0, 1, 2),
         nullptr, 0},
        {"CMYK", jp2_file(cat({ihdr(4, 2, 4, 7), colr(12)}), fixture("jp2_cmyk_4x2.j2c")), 1, 4, 2,
         [](uint32_t x, uint32_t y, uint32_t byte) {
             return uint32_t(255 - std::min(255, int(sample(x, y, 2 - byte) + sample(x, y, 3))));
         },
         nullptr, 0},
        // Colour that cannot be converted is copied, with one warning.
        {"ICC profile", jp2_file(cat({ihdr(6, 4, 3, 7), colr_icc(Bytes(40, 0x11))}), rgb), 1, 6, 4,
         components(0, 1, 2), jp2msg::kUnsupportedColour, 0},
        {"unknown colour space", rgb_file({}, 21), 1, 6, 4, components(0, 1, 2),
         jp2msg::kUnsupportedColour, 0},
        {"forty components", jp2_file(cat({ihdr(3, 2, 40, 7), colr(16)}), fixture("jp2_many_3x2.j2c")),
         1, 3, 2, components(0, 1, 2), jp2msg::kChannelsCut, 32},
    };
}

}  // namespace

TEST(Jp2Decode, ExactBytes) {
    for (const ExactCase& c : exact_cases()) {
        SCOPED_TRACE(c.name);
        const Image img = decode(c.file, c.convert);
        ASSERT_EQ(img.ok, 1);
        ASSERT_EQ(img.width, c.width);
        ASSERT_EQ(img.height, c.height);
        for (uint32_t y = 0; y < c.height; y++)
            for (uint32_t x = 0; x < c.width; x++)
                for (uint32_t b = 0; b < 3; b++)
                    EXPECT_EQ(img.at(x, y, b), c.expect(x, y, b)) << x << ", " << y << " byte " << b;
        if (c.warning) {
            EXPECT_EQ(count(img.messages.warnings, c.warning), 1u);
        }
        EXPECT_EQ(img.messages.jp2_warnings(),
                  c.warning ? std::vector<std::string>{c.warning} : std::vector<std::string>{});
        if (c.channels) {
            EXPECT_EQ(img.channels, c.channels);
        }
    }
}

TEST(Jp2Decode, PaletteIndexedByTheFullSample) {
    // A 10-bit index into 1024 entries: several samples lie above 255.
    struct Case {
        const char* name;
        uint16_t entries;
    };
    const Case cases[] = {{"1024 entries", 1024}, {"300 entries: larger indices clamp", 300}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::vector<uint8_t>> pal;
        for (uint32_t j = 0; j < c.entries; j++)
            pal.push_back({uint8_t(j & 255), uint8_t(j >> 2), uint8_t((j * 3) & 255)});
        const Bytes file = jp2_file(cat({ihdr(9, 2, 1, 9), colr(16), pclr(pal),
                                         cmap({{0, 1, 0}, {0, 1, 1}, {0, 1, 2}})}),
                                    fixture("jp2_index10_9x2.j2c"));
        const Image img = decode(file);
        ASSERT_EQ(img.ok, 1);
        EXPECT_EQ(img.channels, 3);
        int above_255 = 0;
        for (uint32_t y = 0; y < 2; y++)
            for (uint32_t x = 0; x < 9; x++) {
                SCOPED_TRACE(x + 10 * y);
                uint32_t v = fixture_sample(x, y, 0, 10);
                above_255 += v > 255;
                if (v >= c.entries) v = c.entries - 1u;
                EXPECT_EQ(img.at(x, y, 2), v & 255);
                EXPECT_EQ(img.at(x, y, 1), (v >> 2) & 255);
                EXPECT_EQ(img.at(x, y, 0), (v * 3) & 255);
            }
        EXPECT_GT(above_255, 0);
    }
}

TEST(Jp2Decode, HeaderDisagreementsAreWarnings) {
    const Bytes cs = fixture("jp2_grey_5x3.j2c");
    struct Case {
        const char* name;
        Bytes header;
        const char* warning;
    };
    const Case cases[] = {
        {"width", cat({ihdr(6, 3, 1, 7), colr(17)}), jp2msg::kAreaMismatch},
        {"height", cat({ihdr(5, 2, 1, 7), colr(17)}), jp2msg::kAreaMismatch},
        {"component count", cat({ihdr(5, 3, 2, 7), colr(17)}), jp2msg::kComponentsMismatch},
        {"bit depth", cat({ihdr(5, 3, 1, 8), colr(17)}), jp2msg::kBpcMismatch},
        {"depths in bpcc while all equal", cat({ihdr(5, 3, 1, 0xFF), colr(17), box("bpcc", {7})}),
         jp2msg::kBpcMismatch},
        {"compression type",
         cat({box("ihdr", cat({be32(3), be32(5), be16(1), {7, 6, 0, 0}})), colr(17)}),
         jp2msg::kUnknownCompression},
        {"palette without mapping", cat({ihdr(5, 3, 1, 7), colr(17), pclr({{9, 9, 9}})}),
         jp2msg::kPaletteWithoutMapping},
        {"mapping without palette", cat({ihdr(5, 3, 1, 7), colr(17), cmap({{0, 1, 0}})}),
         jp2msg::kPaletteWithoutMapping},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Image img = decode(jp2_file(c.header, cs));
        ASSERT_EQ(img.ok, 1);
        EXPECT_EQ(img.messages.jp2_warnings().size(), 1u);
        EXPECT_EQ(count(img.messages.warnings, c.warning), 1u);
        // The codestream wins: the samples come through unmapped.
        EXPECT_EQ(img.width, 5u);
        EXPECT_EQ(img.at(4, 2, 1), sample(4, 2, 0));
    }
}

TEST(Jp2Decode, LifecycleMisuseFailsCleanly) {
    const Bytes file = rgb_file({});
    uint8_t row[6 * 3] = {};
    const uint32_t offsets[3] = {2, 1, 0};
    {
        SCOPED_TRACE("output before parse");
        Decoder d(file);
        EXPECT_EQ(jp2_set_output(d.get(), 3, offsets, 3), 0);
        EXPECT_EQ(jp2_decode_row(d.get(), row), 0);
        EXPECT_EQ(d.messages().errors.size(), 1u);
    }
    {
        SCOPED_TRACE("a pixel limit below the image, set before the parse");
        Decoder d(file);
        jp2_set_max_pixels(d.get(), 6 * 4 - 1);
        ASSERT_EQ(d.parse(), 1);
        EXPECT_EQ(jp2_set_output(d.get(), 3, offsets, 3), 0);
        EXPECT_EQ(d.messages().errors.size(), 1u);
    }
    {
        SCOPED_TRACE("parse twice, output twice, offsets outside the pixel");
        Decoder d(file);
        ASSERT_EQ(d.parse(), 1);
        EXPECT_EQ(d.parse(), 0);
        const uint32_t bad[3] = {0, 1, 3};
        EXPECT_EQ(jp2_set_output(d.get(), 3, bad, 3), 0);
        EXPECT_EQ(jp2_set_output(d.get(), 0, offsets, 3), 0);
        ASSERT_EQ(jp2_set_output(d.get(), 3, nullptr, 3), 1);  // null offsets: R, G, B order
        EXPECT_EQ(jp2_set_output(d.get(), 3, offsets, 3), 0);
        ASSERT_EQ(jp2_decode_row(d.get(), row), 1);
        EXPECT_EQ(row[0], sample(0, 0, 0));
        EXPECT_EQ(row[2], sample(0, 0, 2));
        // Destroyed mid-image without finish_output: nothing may leak (checked by Decoder).
    }
}

TEST(Jp2Decode, TruncatedFilesFailOrDecodeWithoutHarm) {
    const Bytes full = rgb_file(cdef({{0, 0, 1}, {1, 0, 2}, {2, 0, 3}}));
    for (size_t n = 12; n < full.size(); n += 3) {
        SCOPED_TRACE(n);
        const Image img = decode(Bytes(full.begin(), full.begin() + n));
        if (!img.ok) {
            EXPECT_GE(img.messages.errors.size(), 1u);
        }
    }
}

// ---- conformance files ----

namespace {

enum Compare { kExact, kLossy, kShape };

struct ConformanceCase {
    const char* file;
    const char* reference;  // nullptr: none
    Compare compare;
    uint32_t width, height;
    uint16_t channels;      // channels in the list
    bool grey;              // every pixel has three equal bytes
    int max_peak;
    double max_mse;
};

// Exact or lossy comparison only where the reference is an 8-bit, full-size rendering that
// needs no colour profile; the rest are checked for shape.
const ConformanceCase kConformance[] = {
    {"file1.jp2", "jp2_1.ppm", kExact, 768, 512, 3, false, 0, 0},
    {"file2.jp2", "jp2_2.ppm", kLossy, 480, 640, 3, false, 2, 0.05},
    {"file3.jp2", "jp2_3.ppm", kShape, 480, 640, 3, false, 0, 0},   // sub-sampled chroma
    {"file4.jp2", "jp2_4.pgm", kExact, 768, 512, 1, true, 0, 0},
    {"file5.jp2", "jp2_5.ppm", kShape, 768, 512, 3, false, 0, 0},   // ICC profile
    {"file6.jp2", "jp2_6.pgm", kShape, 768, 512, 1, true, 0, 0},    // 12-bit
    {"file7.jp2", "jp2_7.ppm", kShape, 480, 640, 3, false, 0, 0},   // 16-bit, ICC profile
    {"file8.jp2", "jp2_8.pgm", kShape, 700, 400, 1, true, 0, 0},    // grey ICC profile
    {"file9.jp2", "jp2_9.ppm", kExact, 768, 512, 3, false, 0, 0},   // palette
    {"subsampling_1.jp2", "subsampling_1.ppm", kShape, 1280, 1024, 3, false, 0, 0},
    {"subsampling_2.jp2", "subsampling_2.ppm", kShape, 1280, 1024, 3, false, 0, 0},
    {"zoo2.jp2", nullptr, kShape, 3906, 2602, 3, false, 0, 0},
};

}  // namespace

TEST(Jp2Conformance, DecodesAgainstReferences) {
    const std::string dir = cs_test::corpus_dir("conformance");
    if (dir.empty() || read_file(dir + "/file1.jp2").empty())
        GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS or place it at "
                     << DRAVEX_CORPUS_DEFAULT << ")";
    for (const ConformanceCase& c : kConformance) {
        SCOPED_TRACE(c.file);
        const Image img = decode(read_file(dir + "/" + c.file));
        ASSERT_EQ(img.ok, 1) << (img.messages.errors.empty() ? "" : img.messages.errors[0]);
        EXPECT_EQ(img.width, c.width);
        EXPECT_EQ(img.height, c.height);
        EXPECT_EQ(img.channels, c.channels);
        if (c.grey) {
            size_t odd = 0;
            for (size_t p = 0; p < img.bgr.size(); p += 3)
                odd += img.bgr[p] != img.bgr[p + 1] || img.bgr[p] != img.bgr[p + 2];
            EXPECT_EQ(odd, 0u);
        }
        if (!c.reference) continue;
        app_test::Pnm ref;
        ASSERT_TRUE(app_test::read_pnm(dir + "-ref/" + c.reference, &ref));
        EXPECT_EQ(ref.channels == 1, c.grey);
        if (c.compare == kShape) {
            // Sub-sampled references are rendered at component size.
            const bool half = ref.width * 2 == img.width && ref.height * 2 == img.height;
            EXPECT_TRUE((ref.width == img.width && ref.height == img.height) || half);
            continue;
        }
        ASSERT_EQ(ref.width, img.width);
        ASSERT_EQ(ref.height, img.height);
        int peak = 0;
        double se = 0;
        for (uint32_t y = 0; y < img.height; y++)
            for (uint32_t x = 0; x < img.width; x++)
                for (uint32_t ch = 0; ch < ref.channels; ch++) {
                    const int r = ref.samples[(size_t(y) * ref.width + x) * ref.channels + ch];
                    const int o = img.at(x, y, 2 - ch);
                    peak = std::max(peak, std::abs(o - r));
                    se += double(o - r) * (o - r);
                }
        const double mse = se / (double(img.width) * img.height * ref.channels);
        EXPECT_LE(peak, c.max_peak);
        EXPECT_LE(mse, c.max_mse);
    }
}
