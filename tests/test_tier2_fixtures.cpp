// Streams made by black-box encoders (scripts/make-tier2-fixtures) that stress packet
// reading: offset image and tile grids with small precincts in every order, progression
// changes (also a tile-part POC that repeats the main header's with wrong orders, and one
// that replaces a different main-header POC), tile-parts, SOP/EPH, every code-block mode,
// sub-sampled components. Each must parse whole and decode losslessly to its source image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codestream/jpcdec.h"
#include "codestream/jpcdec_impl.h"
#include "io/stream.h"
#include "support/app_tool.h"

namespace {

using app_test::data_path;

std::vector<std::string> g_errors, g_warnings;
void on_error(const char* m) { g_errors.emplace_back(m); }
void on_warning(const char* m) { g_warnings.emplace_back(m); }

// Decodes `count` components interleaved; checks that every packet was read on the way.
std::vector<uint8_t> decode(const std::string& path, uint16_t count, uint32_t* w, uint32_t* h) {
    std::vector<uint8_t> out;
    MemOps* ops = memops_create();
    Stream* s = file_stream_open(ops, path.c_str());
    if (!s) {
        ADD_FAILURE() << "cannot open " << path;
        ops->release(ops);
        return out;
    }
    jpcdec* d = jpcdec_create(ops, s);
    g_errors.clear();
    g_warnings.clear();
    jpcdec_set_hooks(d, &on_error, &on_warning);
    if (!jpcdec_parse(d)) {
        ADD_FAILURE() << "parse failed: " << (g_errors.empty() ? "" : g_errors.back());
    } else {
        for (const auto& warning : g_warnings)
            EXPECT_EQ(warning.find("Tile-part packets"), std::string::npos) << warning;
        uint64_t owed = 0;
        for (uint32_t t = 0; t < d->tileNum; t++) {
            const Tile& tile = d->tiles[t];
            for (uint32_t c = 0; c < tile.component_count; c++)
                for (uint32_t r = 0; r < tile.components[c].resolution_count; r++) {
                    const Resolution& res = tile.components[c].resolutions[r];
                    for (uint32_t p = 0; p < res.precinct_count; p++)
                        owed += tile.layers - res.precincts[p].packet_counter;
                }
        }
        EXPECT_EQ(owed, 0u) << "packets never read";
        jpcdec_get_size(d, w, h);
        EXPECT_EQ(jpcdec_set_output(d, count, nullptr, count), 1);
        out.resize(size_t(*w) * *h * count);
        for (uint32_t y = 0; y < *h; y++) jpcdec_decode_row(d, out.data() + size_t(y) * *w * count);
        jpcdec_finish_output(d);
    }
    jpcdec_destroy(d);
    s->close(s);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
    return out;
}

TEST(Tier2Fixtures, LosslessRoundTrips) {
    app_test::Pnm rgb;
    ASSERT_TRUE(app_test::read_pnm(data_path("t2_rgb_61x47.ppm"), &rgb));
    ASSERT_EQ(rgb.samples.size(), 61u * 47u * 3u);
    // Sub-sampled components on an offset grid: component 0 is the first plane of the raw file.
    const std::vector<uint8_t> sub = app_test::read_file(data_path("t2_sub.raw"));
    ASSERT_GE(sub.size(), 61u * 47u);
    struct Case {
        const char* stream;
        const std::vector<uint8_t>* source;
        uint16_t components;
    };
    std::vector<Case> cases;
    for (const char* name : {"t2_grid_lrcp.j2c", "t2_grid_rlcp.j2c", "t2_grid_rpcl.j2c",
                             "t2_grid_pcrl.j2c", "t2_grid_cprl.j2c", "t2_poc.j2c", "t2_poc_cs.j2c",
                             "t2_parts_r.j2c", "t2_parts_l.j2c", "t2_parts_c.j2c", "t2_modes.j2c",
                             "t2_poc_copied.j2c", "t2_poc_override.j2c"})
        cases.push_back({name, &rgb.samples, 3});
    cases.push_back({"t2_sub.j2c", &sub, 1});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stream);
        uint32_t w = 0, h = 0;
        const std::vector<uint8_t> got = decode(data_path(c.stream), c.components, &w, &h);
        ASSERT_EQ(w, 61u);
        ASSERT_EQ(h, 47u);
        size_t wrong = 0;
        for (size_t i = 0; i < got.size(); i++) wrong += got[i] != (*c.source)[i];
        EXPECT_EQ(wrong, 0u) << "samples differ from the source";
    }
}

}  // namespace
