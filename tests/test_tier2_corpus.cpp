// Whole-stream parses of the conformance corpus: every packet read, and the gathered
// code-block bytes and passes per stream stay what they were when first recorded.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "codestream/jpcdec.h"
#include "codestream/jpcdec_impl.h"
#include "io/stream.h"
#include "support/codestream_fixtures.h"

namespace {

std::vector<std::string> g_errors, g_warnings;
void on_error(const char* m) { g_errors.emplace_back(m); }
void on_warning(const char* m) { g_warnings.emplace_back(m); }

struct Totals {
    uint64_t bytes = 0;          // gathered into codeword segments
    uint64_t passes = 0;         // coding passes received
    uint64_t segments = 0;
    uint64_t owed_packets = 0;   // (precinct, layer) pairs never read
    uint64_t file_size = 0;
    uint64_t packed_left = 0;    // PPM or PPT bytes no packet header took
};

// Parses one stream and sums what tier-2 gathered; returns the parse result.
int parse_stream(const std::string& path, Totals* t) {
    MemOps* ops = memops_create();
    Stream* s = file_stream_open(ops, path.c_str());
    if (!s) {
        ops->release(ops);
        return -1;
    }
    t->file_size = s->size(s);
    jpcdec* d = jpcdec_create(ops, s);
    g_errors.clear();
    g_warnings.clear();
    jpcdec_set_hooks(d, &on_error, &on_warning);
    const int ok = jpcdec_parse(d);
    if (ok) {
        if (d->ppm_present) t->packed_left += d->ppm_length - d->ppm_pos;
        for (uint32_t ti = 0; ti < d->tileNum; ti++) {
            const Tile& tile = d->tiles[ti];
            t->packed_left += tile.ppt_length - tile.ppt_pos;
            for (uint32_t c = 0; tile.components && c < tile.component_count; c++) {
                const TileComponent& tc = tile.components[c];
                for (uint32_t r = 0; r < tc.resolution_count; r++) {
                    const Resolution& res = tc.resolutions[r];
                    for (uint32_t p = 0; p < res.precinct_count; p++) {
                        const Precinct& prec = res.precincts[p];
                        t->owed_packets += tile.layers - prec.packet_counter;
                        for (uint32_t b = 0; b < res.band_count; b++) {
                            const PrecinctBand& pb = prec.bands[b];
                            for (uint32_t i = 0; pb.blocks && i < pb.blocks_across * pb.blocks_down;
                                 i++) {
                                const CodeBlock& cb = pb.blocks[i];
                                for (const CodedSegment* seg = cb.segments.head; seg;
                                     seg = seg->next) {
                                    t->passes += seg->npasses;
                                    t->bytes += seg->total_len;
                                    t->segments++;
                                }
                            }
                        }
                    }
                }
            }
        }
    }
    jpcdec_destroy(d);
    s->close(s);
    EXPECT_EQ(memops_in_use(ops), 0u) << path;
    ops->release(ops);
    return ok;
}

struct Expected {
    const char* name;
    uint64_t bytes, passes, segments;
};

// Recorded from this decoder once every stream parsed whole; a change means packets are
// now read differently.
const Expected kExpected[] = {
#include "data/tier2_corpus_totals.inc"
};

TEST(Tier2Corpus, EveryStreamParsesWhole) {
    const std::string dir = cs_test::corpus_dir("conformance") + "/";
    if (cs_test::read_file(dir + "p0_01.j2k").empty())
        GTEST_SKIP() << "conformance corpus not found (set DRAVEX_CORPUS or place it at "
                     << DRAVEX_CORPUS_DEFAULT << ")";
    const bool print = std::getenv("DRAVEX_T2_PRINT") != nullptr;
    const char* only = std::getenv("DRAVEX_T2_ONLY");
    for (const Expected& e : kExpected) {
        if (only && std::string(only) != e.name) continue;
        SCOPED_TRACE(e.name);
        Totals t;
        const int ok = parse_stream(dir + e.name, &t);
        ASSERT_NE(ok, -1) << "missing from the corpus";
        EXPECT_EQ(ok, 1) << (g_errors.empty() ? "" : g_errors.back());
        EXPECT_EQ(t.owed_packets, 0u) << "packets never read";
        EXPECT_EQ(t.packed_left, 0u) << "packed headers left unread";
        // The packets of each tile-part fill its length exactly.
        for (const auto& w : g_warnings) EXPECT_EQ(w.find("Tile-part packets"), std::string::npos) << w;
        // Nearly every byte of a stream is packet data: headers are small.
        EXPECT_LE(t.bytes, t.file_size);
        if (print) {
            for (const auto& w : g_warnings) std::printf("      warning: %s\n", w.c_str());
            std::printf("    {\"%s\", %llu, %llu, %llu},  // %.1f%% of %llu bytes\n", e.name,
                        (unsigned long long)t.bytes, (unsigned long long)t.passes,
                        (unsigned long long)t.segments, 100.0 * t.bytes / t.file_size,
                        (unsigned long long)t.file_size);
            continue;
        }
        EXPECT_EQ(t.bytes, e.bytes);
        EXPECT_EQ(t.passes, e.passes);
        EXPECT_EQ(t.segments, e.segments);
    }
}

}  // namespace
