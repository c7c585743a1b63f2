// Header walks over the conformance codestreams, checked against geometry read from each file
// by an independent black-box tool (scripts/codestream_geometry_table.py prints these rows),
// and whole parses of the same streams.
#include <gtest/gtest.h>
#include <dirent.h>

#include <algorithm>
#include <set>

#include "codestream/jpc_markers.h"
#include "codestream/jpc_params.h"
#include "support/codestream_fixtures.h"

using cs_test::Decoder;
using cs_test::Messages;

namespace {

struct Component {
    uint32_t dx, dy, precision, is_signed;
};

struct Geometry {
    const char* file;
    uint32_t x0, y0, x1, y1;      // image area
    uint32_t tx0, ty0, tdx, tdy;  // tile grid origin and tile size
    uint32_t tiles;
    uint32_t components;
    uint32_t layers;              // main COD
    uint32_t levels;              // component 0 in the main header
    bool tail_uniform;            // components from index 3 on all equal the last one listed
    std::vector<Component> first; // up to four components
};

const Geometry kCorpus[] = {
    {"a1_mono.j2c", 0, 0, 303, 179, 0, 0, 303, 179, 1, 1, 1, 5, 1, {{1, 1, 8, 0}}},
    {"a2_colr.j2c", 0, 0, 256, 149, 0, 0, 256, 149, 1, 3, 1, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"a3_mono.j2c", 0, 0, 303, 179, 0, 0, 137, 131, 6, 1, 1, 5, 1, {{1, 1, 8, 0}}},
    {"a4_colr.j2c", 0, 0, 4336, 1037, 0, 0, 733, 557, 12, 3, 1, 5, 1, {{17, 7, 8, 0}, {17, 7, 8, 0}, {17, 7, 8, 0}}},
    {"a5_mono.j2c", 0, 0, 303, 179, 0, 0, 203, 111, 4, 1, 3, 5, 1, {{1, 1, 8, 0}}},
    {"a6_mono_colr.j2c", 0, 0, 3323, 891, 0, 0, 3323, 891, 1, 4, 1, 5, 1, {{11, 5, 8, 0}, {13, 6, 8, 0}, {13, 6, 8, 0}, {13, 6, 8, 0}}},
    {"b1_mono.j2c", 3097, 41, 3400, 220, 3003, 33, 97, 91, 15, 1, 1, 5, 1, {{1, 1, 8, 0}}},
    {"b2_mono.j2c", 1, 160, 1519, 697, 0, 0, 379, 161, 25, 1, 1, 5, 1, {{5, 3, 8, 0}}},
    {"b3_mono.j2c", 127, 62, 430, 241, 127, 62, 303, 179, 1, 1, 1, 5, 1, {{1, 1, 8, 0}}},
    {"c1_mono.j2c", 0, 0, 303, 179, 0, 0, 303, 179, 1, 1, 10, 5, 1, {{1, 1, 8, 0}}},
    {"c2_mono.j2c", 0, 0, 303, 179, 0, 0, 303, 179, 1, 1, 10, 5, 1, {{1, 1, 8, 0}}},
    {"d1_colr.j2c", 0, 0, 256, 149, 0, 0, 256, 149, 1, 3, 4, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"d2_colr.j2c", 1, 1, 257, 150, 1, 1, 79, 101, 8, 3, 4, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"e1_colr.j2c", 1, 1, 257, 150, 1, 1, 79, 101, 8, 3, 4, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"e2_colr.j2c", 2, 7, 1025, 601, 2, 7, 511, 793, 3, 3, 4, 5, 1, {{4, 4, 8, 0}, {4, 4, 8, 0}, {4, 4, 8, 0}}},
    {"f1_mono.j2c", 0, 0, 303, 179, 0, 0, 101, 70, 9, 1, 4, 5, 1, {{1, 1, 8, 0}}},
    {"f2_mono.j2c", 0, 0, 303, 179, 0, 0, 101, 70, 9, 1, 4, 5, 1, {{1, 1, 8, 0}}},
    {"g1_colr.j2c", 0, 0, 256, 149, 0, 0, 304, 102, 2, 3, 3, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"g2_colr.j2c", 0, 0, 256, 149, 0, 0, 304, 102, 2, 3, 3, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"g3_colr.j2c", 0, 0, 256, 149, 0, 0, 304, 102, 2, 3, 3, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"g4_colr.j2c", 0, 0, 256, 149, 0, 0, 304, 102, 2, 3, 3, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"p0_01.j2k", 0, 0, 128, 128, 0, 0, 128, 128, 1, 1, 1, 3, 1, {{1, 1, 8, 0}}},
    {"p0_02.j2k", 0, 0, 127, 126, 0, 0, 127, 126, 1, 1, 6, 3, 1, {{2, 1, 8, 0}}},
    {"p0_03.j2k", 0, 0, 256, 256, 0, 0, 128, 128, 4, 1, 8, 1, 1, {{1, 1, 4, 1}}},
    {"p0_04.j2k", 0, 0, 640, 480, 0, 0, 640, 480, 1, 3, 20, 6, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"p0_05.j2k", 0, 0, 1024, 1024, 0, 0, 1024, 1024, 1, 4, 7, 6, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {2, 2, 8, 0}, {2, 2, 8, 0}}},
    {"p0_06.j2k", 0, 0, 513, 129, 0, 0, 513, 129, 1, 4, 4, 6, 1, {{1, 1, 12, 0}, {2, 1, 12, 0}, {1, 2, 12, 0}, {2, 2, 12, 0}}},
    {"p0_08.j2k", 0, 0, 513, 3072, 0, 0, 513, 3072, 1, 3, 30, 6, 1, {{1, 1, 12, 1}, {1, 1, 12, 1}, {1, 1, 12, 1}}},
    {"p0_09.j2k", 0, 0, 17, 37, 0, 0, 17, 37, 1, 1, 1, 5, 1, {{1, 1, 8, 0}}},
    {"p0_10.j2k", 0, 0, 256, 256, 0, 0, 128, 128, 4, 3, 2, 3, 1, {{4, 4, 8, 0}, {4, 4, 8, 0}, {4, 4, 8, 0}}},
    {"p0_11.j2k", 0, 0, 128, 1, 0, 0, 128, 128, 1, 1, 1, 0, 1, {{1, 1, 8, 0}}},
    {"p0_12.j2k", 0, 0, 3, 5, 0, 0, 3, 5, 1, 1, 1, 3, 1, {{1, 1, 8, 0}}},
    {"p0_13.j2k", 0, 0, 1, 1, 0, 0, 1, 1, 1, 257, 1, 1, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"p0_14.j2k", 0, 0, 49, 49, 0, 0, 49, 49, 1, 3, 1, 5, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"p0_15.j2k", 0, 0, 256, 256, 0, 0, 128, 128, 4, 1, 8, 1, 1, {{1, 1, 4, 1}}},
    {"p0_16.j2k", 0, 0, 128, 128, 0, 0, 128, 128, 1, 1, 3, 3, 1, {{1, 1, 8, 0}}},
    {"p1_01.j2k", 5, 128, 127, 227, 1, 101, 127, 126, 1, 1, 5, 3, 1, {{2, 1, 8, 0}}},
    {"p1_02.j2k", 0, 0, 640, 480, 0, 0, 640, 480, 1, 3, 19, 6, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"p1_03.j2k", 0, 0, 1024, 1024, 0, 0, 1024, 1024, 1, 4, 10, 6, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {2, 2, 8, 0}, {2, 2, 8, 0}}},
    {"p1_04.j2k", 0, 0, 1024, 1024, 0, 0, 128, 128, 64, 1, 1, 3, 1, {{1, 1, 12, 0}}},
    {"p1_05.j2k", 17, 12, 529, 524, 8, 2, 37, 37, 225, 3, 2, 7, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"p1_06.j2k", 0, 0, 12, 12, 0, 0, 3, 3, 16, 3, 1, 4, 1, {{1, 1, 8, 0}, {1, 1, 8, 0}, {1, 1, 8, 0}}},
    {"p1_07.j2k", 4, 0, 12, 12, 4, 0, 12, 12, 1, 2, 1, 1, 1, {{4, 1, 8, 0}, {1, 1, 8, 0}}},
};

std::string conformance_dir() { return cs_test::corpus_dir("conformance"); }

TEST(CodestreamCorpus, TableCoversEveryCodestream) {
    const std::string dir = conformance_dir();
    if (dir.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    std::set<std::string> listed;
    for (const Geometry& g : kCorpus) listed.insert(g.file);
    DIR* dp = opendir(dir.c_str());
    ASSERT_NE(dp, nullptr);
    while (dirent* e = readdir(dp)) {
        const std::string name = e->d_name;
        const bool codestream = name.size() > 4 && (name.compare(name.size() - 4, 4, ".j2k") == 0 ||
                                                     name.compare(name.size() - 4, 4, ".j2c") == 0);
        if (codestream) {
            EXPECT_TRUE(listed.count(name)) << name << " has no row in the table";
        }
    }
    closedir(dp);
}

TEST(CodestreamCorpus, MainHeaderGeometry) {
    const std::string dir = conformance_dir();
    if (dir.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    for (const Geometry& g : kCorpus) {
        SCOPED_TRACE(g.file);
        std::vector<uint8_t> bytes = cs_test::read_file(dir + "/" + g.file);
        ASSERT_FALSE(bytes.empty());
        Decoder dec(bytes);
        jpcdec* d = dec.get();
        MarkerSet* main = jpc_parse_main_header(d);
        ASSERT_NE(main, nullptr) << (Messages::errors.empty() ? "" : Messages::errors[0]);
        EXPECT_TRUE(Messages::errors.empty());
        EXPECT_EQ(d->XOsiz, g.x0);
        EXPECT_EQ(d->YOsiz, g.y0);
        EXPECT_EQ(d->Xsiz, g.x1);
        EXPECT_EQ(d->Ysiz, g.y1);
        EXPECT_EQ(d->XTOsiz, g.tx0);
        EXPECT_EQ(d->YTOsiz, g.ty0);
        EXPECT_EQ(d->XTsiz, g.tdx);
        EXPECT_EQ(d->YTsiz, g.tdy);
        EXPECT_EQ(d->tileNum, g.tiles);
        EXPECT_EQ(d->numXtiles * d->numYtiles, g.tiles);
        uint32_t w = 0, h = 0;
        jpcdec_get_size(d, &w, &h);
        EXPECT_EQ(w, g.x1 - g.x0);
        EXPECT_EQ(h, g.y1 - g.y0);
        ASSERT_EQ(jpcdec_get_component_num(d), g.components);
        ASSERT_NE(main->cod, nullptr);
        EXPECT_EQ(main->cod->layers, g.layers);
        const CodingStylePart* style = jpc_resolve_coding_style(main, nullptr, 0);
        ASSERT_NE(style, nullptr);
        EXPECT_EQ(style->levels, g.levels);
        for (uint32_t i = 0; i < g.components; i++) {
            SCOPED_TRACE(i);
            const Component& c = g.first[i < g.first.size() ? i : g.first.size() - 1];
            if (i >= g.first.size() && !g.tail_uniform) break;
            EXPECT_EQ(d->xrsiz[i], c.dx);
            EXPECT_EQ(d->yrsiz[i], c.dy);
            EXPECT_EQ((d->ssiz[i] & 0x7Fu) + 1, c.precision);
            EXPECT_EQ(uint32_t(d->ssiz[i] >> 7), c.is_signed);
        }
        // The packed-header streams: PPM bodies collected from the main header.
        const std::string name = g.file;
        const bool ppm = name == "g1_colr.j2c" || name == "g2_colr.j2c" || name == "g3_colr.j2c" ||
                         name == "p1_03.j2k" || name == "p1_05.j2k";
        EXPECT_EQ(d->ppm_present, ppm ? 1u : 0u);
        EXPECT_EQ(d->ppm_length > 0, ppm);
        marker_set_destroy(d, main);
    }
}

TEST(CodestreamCorpus, WholeParse) {
    const std::string dir = conformance_dir();
    if (dir.empty()) GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS)";
    for (const Geometry& g : kCorpus) {
        SCOPED_TRACE(g.file);
        Decoder dec(cs_test::read_file(dir + "/" + g.file));
        const int ok = jpcdec_parse(dec.get());
        EXPECT_EQ(ok, 1) << (Messages::errors.empty() ? "" : Messages::errors[0]);
        EXPECT_TRUE(Messages::errors.empty());
        // In a valid stream the packets of each tile-part fill it exactly, and EOC is there.
        for (const std::string& w : Messages::warnings) {
            EXPECT_EQ(w.find("Tile-part packets"), std::string::npos) << w;
            EXPECT_NE(w, "Missing EOC marker");
        }
        const jpcdec* d = dec.get();
        for (uint32_t t = 0; t < d->tileNum; t++) {
            SCOPED_TRACE(testing::Message() << "tile " << t);
            EXPECT_EQ(d->tiles[t].built, 1u);
            // Encoders leave out tiles whose every tile-component is empty (b2_mono).
            const uint64_t p = t % d->numXtiles, q = t / d->numXtiles;
            const uint64_t x0 = std::max<uint64_t>(d->XTOsiz + p * d->XTsiz, d->XOsiz);
            const uint64_t y0 = std::max<uint64_t>(d->YTOsiz + q * d->YTsiz, d->YOsiz);
            const uint64_t x1 = std::min<uint64_t>(d->XTOsiz + (p + 1) * d->XTsiz, d->Xsiz);
            const uint64_t y1 = std::min<uint64_t>(d->YTOsiz + (q + 1) * d->YTsiz, d->Ysiz);
            bool has_samples = false;
            for (uint32_t c = 0; c < d->component_num; c++) {
                const uint64_t dx = d->xrsiz[c], dy = d->yrsiz[c];
                has_samples |= (x1 + dx - 1) / dx > (x0 + dx - 1) / dx &&
                               (y1 + dy - 1) / dy > (y0 + dy - 1) / dy;
            }
            if (has_samples) {
                EXPECT_GT(d->tiles[t].parts_seen, 0u);
            }
        }
    }
}

}  // namespace
