// Streams made by a black-box encoder (scripts/make-tier2-fixtures) that stress packet
// reading: offset image and tile grids with small precincts in every order, progression
// changes, tile-parts, SOP/EPH, every code-block mode, sub-sampled components. Each must
// parse whole and decode losslessly to its source image.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codestream/jpcdec.h"
#include "codestream/jpcdec_impl.h"
#include "io/stream.h"

namespace {

std::string data_path(const std::string& name) {
    return std::string(DRAVEX_SOURCE_DIR) + "/tests/data/" + name;
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Pixels of a binary PPM/PGM (8-bit) after its three header fields.
std::vector<uint8_t> pnm_pixels(const std::vector<uint8_t>& file) {
    size_t pos = 0;
    for (int fields = 0; fields < 4 && pos < file.size(); fields++) {
        while (pos < file.size() && !std::isspace(file[pos])) pos++;
        pos++;  // the single whitespace byte after the field
        while (fields < 3 && pos < file.size() && std::isspace(file[pos])) pos++;
    }
    return std::vector<uint8_t>(file.begin() + static_cast<long>(pos), file.end());
}

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
    const std::vector<uint8_t> source = pnm_pixels(read_file(data_path("t2_rgb_61x47.ppm")));
    ASSERT_EQ(source.size(), 61u * 47u * 3u);
    const char* streams[] = {
        "t2_grid_lrcp.j2c", "t2_grid_rlcp.j2c", "t2_grid_rpcl.j2c", "t2_grid_pcrl.j2c",
        "t2_grid_cprl.j2c", "t2_poc.j2c",       "t2_poc_cs.j2c",    "t2_parts_r.j2c",
        "t2_parts_l.j2c",
        "t2_parts_c.j2c",   "t2_modes.j2c",
    };
    for (const char* name : streams) {
        SCOPED_TRACE(name);
        uint32_t w = 0, h = 0;
        const std::vector<uint8_t> got = decode(data_path(name), 3, &w, &h);
        ASSERT_EQ(w, 61u);
        ASSERT_EQ(h, 47u);
        size_t wrong = 0;
        for (size_t i = 0; i < got.size(); i++) wrong += got[i] != source[i];
        EXPECT_EQ(wrong, 0u) << "samples differ from the source";
    }
}

TEST(Tier2Fixtures, SubsampledComponentsOnAnOffsetGrid) {
    const std::vector<uint8_t> raw = read_file(data_path("t2_sub.raw"));
    ASSERT_GE(raw.size(), 61u * 47u);
    uint32_t w = 0, h = 0;
    const std::vector<uint8_t> got = decode(data_path("t2_sub.j2c"), 1, &w, &h);
    ASSERT_EQ(w, 61u);
    ASSERT_EQ(h, 47u);
    size_t wrong = 0;
    for (size_t i = 0; i < got.size(); i++) wrong += got[i] != raw[i];
    EXPECT_EQ(wrong, 0u) << "component 0 differs from the source";
}

}  // namespace
