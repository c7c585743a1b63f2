// Channel list construction, the choice of output conversion and the conversions
// themselves, with exact expected bytes.
#include <gtest/gtest.h>

#include <array>

#include "support/jp2_test_files.h"

using namespace jp2test;

namespace {

const Bytes kCodestream = {0xFF, 0x4F};

struct ListCase {
    const char* name;
    Bytes header;             // jp2h content
    uint16_t components;      // codestream component count
    int ok;
    const char* message;      // expected error (ok 0) or warning (ok 1), or nullptr
    // Expected (component, Cn, Typ, Asoc) per channel.
    std::vector<std::vector<uint16_t>> channels;
    uint32_t has_opacity;
};

std::vector<ListCase> list_cases() {
    const Bytes rgb = cat({ihdr(4, 2, 3, 7), colr(16)});
    const Bytes idx = cat({ihdr(4, 2, 1, 7), colr(16)});
    const Bytes pal = pclr({{1, 2, 3}, {4, 5, 6}});
    std::vector<ListCase> c;
    c.push_back({"components in order", rgb, 3, 1, nullptr,
                 {{0, 0, 0, 1}, {1, 1, 0, 2}, {2, 2, 0, 3}}, 0});
    c.push_back({"palette and mapping", cat({idx, pal, cmap({{0, 1, 0}, {0, 1, 1}, {0, 1, 2}})}), 1,
                 1, nullptr, {{0, 0, 0, 1}, {0, 1, 0, 2}, {0, 2, 0, 3}}, 0});
    c.push_back({"mapping mixes direct and palette entries",
                 cat({rgb, pal, cmap({{2, 0, 0}, {0, 1, 2}})}), 3, 1, nullptr,
                 {{2, 0, 0, 1}, {0, 1, 0, 2}}, 0});
    c.push_back({"mapping names a missing component",
                 cat({idx, pal, cmap({{0, 1, 0}, {0, 1, 1}, {4, 1, 2}})}), 1, 1, jp2msg::kCmpTooLarge,
                 {{0, 0, 0, 1}, {0, 1, 0, 2}}, 0});
    c.push_back({"palette column past the palette", cat({idx, pal, cmap({{0, 1, 0}, {0, 1, 3}})}), 1,
                 0, jp2msg::kPcolTooLarge, {}, 0});
    c.push_back({"direct entry ignores its column", cat({idx, pal, cmap({{0, 0, 200}})}), 1, 1,
                 nullptr, {{0, 0, 0, 1}}, 0});
    c.push_back({"definition reorders", cat({rgb, cdef({{0, 0, 3}, {1, 0, 2}, {2, 0, 1}})}), 3, 1,
                 nullptr, {{2, 2, 0, 1}, {1, 1, 0, 2}, {0, 0, 0, 3}}, 0});
    c.push_back({"definition through a mapping",
                 cat({rgb, pal, cmap({{2, 0, 0}, {1, 0, 0}}), cdef({{0, 0, 2}, {1, 0, 1}})}), 3, 1,
                 nullptr, {{1, 1, 0, 1}, {2, 0, 0, 2}}, 0});
    c.push_back({"definition Cn at the channel count",
                 cat({rgb, cdef({{0, 0, 1}, {1, 0, 2}, {2, 0, 3}, {3, 1, 0}})}), 3, 0,
                 jp2msg::kCnTooLarge, {}, 0});
    c.push_back({"opacity association", cat({rgb, cdef({{1, 1, 0}, {0, 0, 1}})}), 3, 1, nullptr,
                 {{0, 0, 0, 1}, {1, 1, 1, 0}}, 1});
    c.push_back({"premultiplied opacity", cat({rgb, cdef({{0, 0, 1}, {1, 2, 1}})}), 3, 1, nullptr,
                 {{0, 0, 0, 1}, {1, 1, 2, 1}}, 1});
    return c;
}

void expect_list(const ChannelList* list, const std::vector<std::vector<uint16_t>>& expected) {
    ASSERT_NE(list, nullptr);
    ASSERT_EQ(list->channel_num, expected.size());
    for (size_t k = 0; k < expected.size(); k++) {
        SCOPED_TRACE(k);
        EXPECT_EQ(list->entries[k].component, expected[k][0]);
        EXPECT_EQ(list->entries[k].Cn, expected[k][1]);
        EXPECT_EQ(list->entries[k].Typ, expected[k][2]);
        EXPECT_EQ(list->entries[k].Asoc, expected[k][3]);
    }
}

}  // namespace

TEST(Jp2ChannelList, Cases) {
    for (const ListCase& c : list_cases()) {
        SCOPED_TRACE(c.name);
        Decoder d(jp2_file(c.header, kCodestream));
        ASSERT_EQ(d.walk(), 1);
        EXPECT_EQ(jp2_build_channel_list(d.get(), c.components), c.ok);
        d.messages().expect(c.ok ? nullptr : c.message, c.ok ? c.message : nullptr);
        if (!c.ok) continue;
        expect_list(d->channel_list, c.channels);
        EXPECT_EQ(d->has_opacity, c.has_opacity);
        EXPECT_EQ(d->channel_list->colour, 16u);
    }
}

TEST(Jp2ChannelList, CutToThirtyTwo) {
    const Bytes hdr = cat({ihdr(4, 2, 40, 7), colr(16)});
    std::vector<std::vector<uint16_t>> map40, def40, def36;
    for (uint16_t i = 0; i < 40; i++) {
        map40.push_back({0, 0, 0});
        def40.push_back({uint16_t(39 - i), 0, uint16_t(i + 1)});
        if (i < 36) def36.push_back({uint16_t(35 - i), 0, uint16_t(i + 1)});
    }
    const struct {
        const char* name;
        Bytes header;
        uint16_t components, channels;
        std::vector<std::array<uint16_t, 3>> entries;  // index, component, Cn
        const char* warning;
        size_t warnings;  // 0: not counted
    } cases[] = {
        {"40 components", hdr, 40, 32, {{31, 31, 31}}, jp2msg::kChannelsCut, 1},
        {"40 descriptions over a 40-entry mapping of one component",
         cat({ihdr(4, 2, 1, 7), colr(16), pclr({{1}}), cmap(map40), cdef(def40)}), 1, 32,
         {{0, 0, 39}, {31, 0, 8}}, jp2msg::kChannelsCut, 0},
        {"a description of a component past the first 32 is dropped", cat({hdr, cdef(def36)}), 40,
         32, {{0, 31, 31}, {31, 0, 0}}, nullptr, 1},
        {"mapping entry of a component past the first 32",
         cat({hdr, pclr({{1}}), cmap({{0, 0, 0}, {33, 0, 0}})}), 40, 1, {}, jp2msg::kCmpTooLarge, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d(jp2_file(c.header, kCodestream));
        ASSERT_EQ(d.walk(), 1);
        ASSERT_EQ(jp2_build_channel_list(d.get(), c.components), 1);
        ASSERT_EQ(d->channel_list->channel_num, c.channels);
        for (const auto& [i, component, Cn] : c.entries) {
            EXPECT_EQ(d->channel_list->entries[i].component, component) << i;
            EXPECT_EQ(d->channel_list->entries[i].Cn, Cn) << i;
        }
        d.messages().expect(nullptr, c.warning);
        if (c.warnings) {
            EXPECT_EQ(d.messages().warnings.size(), c.warnings);
        }
    }
}

// ---- output plan ----

namespace {

struct PlanCase {
    const char* name;
    uint32_t colour;
    std::vector<uint16_t> typ;  // one per channel
    uint32_t convert;
    uint16_t out_count;
    uint32_t mode;
    std::vector<uint16_t> used;
    uint32_t unsupported;
};

const PlanCase kPlanCases[] = {
    {"sRGB", 16, {0, 0, 0}, 1, 3, kJp2Copy, {0, 1, 2}, 0},
    {"sRGB with opacity", 16, {0, 0, 0, 1}, 1, 3, kJp2Copy, {0, 1, 2}, 0},
    {"sRGB, more outputs than channels", 16, {0, 0}, 1, 3, kJp2Copy, {0, 1}, 0},
    {"sRGB, fewer outputs than channels", 16, {0, 0, 0}, 1, 2, kJp2Copy, {0, 1}, 0},
    {"grey", 17, {0}, 1, 3, kJp2Grey, {0}, 0},
    {"grey and alpha", 17, {0, 1}, 1, 3, kJp2Grey, {0}, 0},
    {"grey with stray channels", 17, {0, 0, 0}, 1, 3, kJp2Grey, {0}, 0},
    {"grey with conversion off", 17, {0}, 0, 3, kJp2Grey, {0}, 0},
    {"alpha listed first", 17, {2, 0}, 1, 3, kJp2Grey, {1}, 0},
    {"lone channel of an ICC file", 0, {0}, 1, 3, kJp2Grey, {0}, 1},
    {"lone channel of an sRGB file", 16, {0}, 1, 3, kJp2Grey, {0}, 0},
    {"sYCC", 18, {0, 0, 0}, 1, 3, kJp2Sycc, {0, 1, 2}, 0},
    {"sYCC with two channels", 18, {0, 0}, 1, 3, kJp2Copy, {0, 1}, 0},
    {"sYCC with two outputs", 18, {0, 0, 0}, 1, 2, kJp2Copy, {0, 1}, 0},
    {"sYCC, conversion off", 18, {0, 0, 0}, 0, 3, kJp2Copy, {0, 1, 2}, 0},
    {"CMYK", 12, {0, 0, 0, 0}, 1, 3, kJp2Cmyk, {0, 1, 2, 3}, 0},
    {"CMYK with three channels", 12, {0, 0, 0}, 1, 3, kJp2Copy, {0, 1, 2}, 0},
    {"ICC profile", 0, {0, 0, 0}, 1, 3, kJp2Copy, {0, 1, 2}, 1},
    {"unknown EnumCS", 21, {0, 0, 0}, 1, 3, kJp2Copy, {0, 1, 2}, 1},
    {"unknown EnumCS, conversion off", 21, {0, 0, 0}, 0, 3, kJp2Copy, {0, 1, 2}, 0},
    {"only opacity", 16, {1, 2}, 1, 3, kJp2Copy, {}, 0},
    {"no outputs", 16, {0, 0, 0}, 1, 0, kJp2Copy, {}, 0},
};

}  // namespace

TEST(Jp2OutputPlan, Cases) {
    for (const PlanCase& c : kPlanCases) {
        SCOPED_TRACE(c.name);
        std::vector<ChannelEntry> entries;
        for (uint16_t k = 0; k < c.typ.size(); k++) entries.push_back({k, k, c.typ[k], uint16_t(k + 1)});
        ChannelList list = {uint16_t(entries.size()), entries.data(), c.colour};
        uint8_t depth[kJp2MaxChannels], is_signed[kJp2MaxChannels] = {};
        for (uint32_t k = 0; k < kJp2MaxChannels; k++) depth[k] = uint8_t(8 + k);
        Jp2OutputPlan plan;
        jp2_plan_output(&list, depth, is_signed, c.convert, c.out_count, &plan);
        EXPECT_EQ(plan.mode, c.mode);
        EXPECT_EQ(plan.unsupported, c.unsupported);
        ASSERT_EQ(plan.used_count, c.used.size());
        for (size_t i = 0; i < c.used.size(); i++) {
            EXPECT_EQ(plan.used[i], c.used[i]);
            EXPECT_EQ(plan.depth[i], 8 + c.used[i]);  // depth follows the channel
        }
    }
}

// ---- conversions ----

namespace {

struct ConvertCase {
    const char* name;
    uint32_t mode;
    std::vector<uint8_t> depth;
    std::vector<std::vector<int32_t>> rows;  // per used channel
    std::vector<uint8_t> expected;           // BGR bytes of the pixels
};

std::vector<ConvertCase> convert_cases() {
    std::vector<ConvertCase> c;
    // sYCC: Y, Cb, Cr with the chroma centred at 128; each row of the table is one pixel.
    c.push_back({"sYCC neutral greys", kJp2Sycc, {8, 8, 8},
                 {{100, 0, 255}, {128, 128, 128}, {128, 128, 128}},
                 {100, 100, 100, 0, 0, 0, 255, 255, 255}});
    c.push_back({"sYCC red, green, blue", kJp2Sycc, {8, 8, 8},
                 {{76, 150, 29}, {85, 44, 255}, {255, 21, 107}},
                 {0, 0, 254, 1, 255, 0, 254, 0, 0}});
    c.push_back({"sYCC clamps above and below", kJp2Sycc, {8, 8, 8},
                 {{255, 0}, {128, 0}, {255, 0}},
                 {255, 164, 255, 0, 135, 0}});
    c.push_back({"sYCC 10-bit centres at 512, stores the low byte", kJp2Sycc, {10, 10, 10},
                 {{400, 1023}, {512, 512}, {512, 1023}},
                 {400 & 255, 400 & 255, 400 & 255, 0xFF, 658 & 255, 0xFF}});
    c.push_back({"CMYK", kJp2Cmyk, {8, 8, 8, 8},
                 {{200, 0, 0}, {50, 0, 255}, {0, 0, 10}, {100, 0, 0}},
                 {155, 105, 0, 255, 255, 255, 245, 0, 255}});
    c.push_back({"CMYK clamps the sums", kJp2Cmyk, {8, 8, 8, 8},
                 {{255}, {200}, {10}, {200}}, {45, 0, 0}});
    c.push_back({"grey into every byte", kJp2Grey, {8}, {{10, 20, 255}},
                 {10, 10, 10, 20, 20, 20, 255, 255, 255}});
    c.push_back({"grey of a 12-bit sample keeps its low byte", kJp2Grey, {12}, {{700, 4095}},
                 {188, 188, 188, 255, 255, 255}});
    c.push_back({"copy lands channel 0 in byte 2", kJp2Copy, {8, 8, 8},
                 {{1, 4}, {2, 5}, {3, 6}}, {3, 2, 1, 6, 5, 4}});
    c.push_back({"copy of a signed sample", kJp2Copy, {8, 8, 8}, {{-5}, {-128}, {127}},
                 {127, 128, 251}});
    return c;
}

}  // namespace

TEST(Jp2ConvertRow, ExactBytes) {
    const uint32_t offsets[3] = {2, 1, 0};
    for (const ConvertCase& c : convert_cases()) {
        SCOPED_TRACE(c.name);
        Jp2OutputPlan plan = {};
        plan.mode = c.mode;
        plan.used_count = uint16_t(c.rows.size());
        std::vector<const int32_t*> rows;
        for (size_t i = 0; i < c.rows.size(); i++) {
            plan.used[i] = uint16_t(i);
            plan.depth[i] = c.depth[i];
            rows.push_back(c.rows[i].data());
        }
        const uint32_t width = uint32_t(c.rows[0].size());
        std::vector<uint8_t> out(size_t(width) * 3, 0xEE);
        jp2_convert_row(&plan, rows.data(), width, out.data(), offsets, 3, 3);
        EXPECT_EQ(out, c.expected);
    }
}

TEST(Jp2ConvertRow, LeavesOtherBytesAlone) {
    // Two channels copied into 4-byte pixels: bytes 2 and 3 of each pixel stay untouched.
    Jp2OutputPlan plan = {};
    plan.mode = kJp2Copy;
    plan.used_count = 2;
    plan.depth[0] = plan.depth[1] = 8;
    const int32_t a[2] = {1, 2}, b[2] = {3, 4};
    const int32_t* rows[2] = {a, b};
    const uint32_t offsets[3] = {0, 1, 2};
    std::vector<uint8_t> out(8, 0xEE);
    jp2_convert_row(&plan, rows, 2, out.data(), offsets, 3, 4);
    EXPECT_EQ(out, (std::vector<uint8_t>{1, 3, 0xEE, 0xEE, 2, 4, 0xEE, 0xEE}));
}
