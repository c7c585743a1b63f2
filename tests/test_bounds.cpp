// Resource bounds: memory does not follow the image's height; a memory cap reached anywhere
// fails that step cleanly; an input that stops delivering costs samples only; small inputs
// claiming vast structures are refused quickly in little memory.
#include <gtest/gtest.h>

#include <ctime>
#include <functional>

#include "codestream/jpcdec.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "dravex/jp2_decoder.h"
#include "support/app_tool.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

using app_test::StreamSpec;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // peak memory means nothing there, and time is longer
#else
constexpr bool kSanitized = false;
#endif

std::vector<std::string> g_errors;
void on_error(const char* m) { g_errors.emplace_back(m); }

enum class Stage { Create, Parse, Output, Done };

struct Outcome {
    Stage reached = Stage::Create;  // the first step that failed, or Done
    uint32_t width = 0, height = 0, rows = 0;  // rows: those delivered
    std::vector<uint8_t> image;     // blue-green-red rows of a completed decode
    std::vector<std::string> errors;
    bool input_failed = false;
    uint64_t left = 0, peak = 0;    // bytes still held after everything was destroyed; the most held
};

// Both entry points driven by the same steps (P: the calls' prefix).
#define DRIVE(P)                                                                 \
    if (auto* d = P##create(ops, s)) {                                           \
        P##set_hooks(d, on_error, nullptr);                                       \
        o.reached = Stage::Parse;                                                \
        const uint32_t offsets[3] = {2, 1, 0};                                   \
        if (P##parse(d)) {                                                       \
            o.reached = Stage::Output;                                           \
            P##get_size(d, &o.width, &o.height);                                 \
            if (!parse_only && P##set_output(d, 3, offsets, 3)) {                \
                o.reached = Stage::Done;                                         \
                if (after_parse) after_parse();                                  \
                std::vector<uint8_t> row(size_t(o.width) * 3);                   \
                for (uint32_t y = 0; y < o.height; y++) {                        \
                    o.rows += P##decode_row(d, row.data());                      \
                    o.image.insert(o.image.end(), row.begin(), row.end());       \
                }                                                                \
                EXPECT_EQ(P##decode_row(d, row.data()), 0) << "a row past the last"; \
                o.input_failed = P##input_failed(d);                             \
                P##finish_output(d);                                             \
            }                                                                    \
        }                                                                        \
        P##destroy(d);                                                           \
    }

// Decodes everything (or parses only) under `cap` (0: none) from `bytes` (a JP2 file or a
// codestream), or from `stream` over them.
Outcome decode(const std::vector<uint8_t>& bytes, uint64_t cap = 0, Stream* stream = nullptr,
               const std::function<void()>& after_parse = {}, bool parse_only = false) {
    Outcome o;
    g_errors.clear();
    MemOps* ops = memops_create_with_budget(cap);
    Stream* s = stream ? stream : memory_stream_create(ops, bytes.data(), uint32_t(bytes.size()));
    if (s && bytes.size() > 4 && bytes[4] == 'j') {
        DRIVE(jp2_)
    } else if (s) {
        DRIVE(jpcdec_)
    }
    if (s && !stream) s->close(s);
    o.errors = g_errors;
    o.left = memops_in_use(ops);
    o.peak = memops_peak(ops);
    ops->release(ops);
    return o;
}

}  // namespace

// Rows go straight to the file, so a 128 times taller image must not cost its 12 MB of
// bitmap (or 4 MB of PGX) in the tool's memory (not measured under sanitizers); the rows land
// in their places, block after block.
TEST(Bounds, ToolMemoryDoesNotFollowTheHeight) {
    app_test::ScratchDir dir;
    for (const char* ext : {".bmp", ".pgx"}) {
        SCOPED_TRACE(ext);
        const auto small = app_test::run_tool({app_test::data_path("app_tall_512x64.j2c"), dir.file(std::string("s") + ext)});
        const auto tall = app_test::run_tool({app_test::data_path("app_tall_512x8192.j2c"), dir.file(std::string("t") + ext)});
        ASSERT_EQ(small.exit_code, 0);
        ASSERT_EQ(tall.exit_code, 0);
        ASSERT_GT(small.max_rss_kb, 0) << "no peak memory reported on this system";
        if (!kSanitized) {
            EXPECT_LT(tall.max_rss_kb - small.max_rss_kb, ext[1] == 'b' ? 3072 : 1024)
                << "peak " << small.max_rss_kb << " KB for 64 rows, " << tall.max_rss_kb << " KB for 8192";
        }
    }
    // Sample (x, y) is y / 64, in the PGX and in all three colours of the bitmap.
    std::vector<app_test::Plane> p;
    ASSERT_TRUE(app_test::read_planes(dir.file("t_0.pgx"), &p) && app_test::read_planes(dir.file("t.bmp"), &p));
    ASSERT_EQ(p.size(), 4u);
    for (size_t i = 0; i < p[0].s.size(); i++) ASSERT_EQ(p[0].s[i], int(i / (512 * 64))) << i;
    for (int k : {1, 2, 3}) EXPECT_EQ(p[k].s, p[0].s) << k;
}

// Code-block bytes stay in the input until tier-1 needs them: four times the rows (12 more
// code-blocks of 64 x 64, KBs of coded bytes each) cost the blocks' records only.
TEST(Bounds, DecoderMemoryDoesNotFollowTheHeight) {
    const auto short_bytes = app_test::read_file(app_test::data_path("mem_grain_128x128.j2c"));
    const auto tall_bytes = app_test::read_file(app_test::data_path("mem_grain_128x512.j2c"));
    const Outcome a = decode(short_bytes), b = decode(tall_bytes);
    ASSERT_TRUE(a.reached == Stage::Done && b.reached == Stage::Done);
    ASSERT_EQ(b.height, 4 * a.height);
    ASSERT_EQ(b.rows, b.height);
    const uint64_t allowance = 12 * 128 + 2048;  // per block: record, grid place, segment; slack
    ASSERT_GT(tall_bytes.size() - short_bytes.size(), 4 * allowance) << "the fixture could not tell";
    EXPECT_LE(b.peak, a.peak + allowance) << a.peak << " bytes for " << a.height << " rows, " << b.peak;
}

// A cap reached anywhere (creation, parse, output set-up, rows) fails that step with a report,
// or gives every row (a tile it cannot buffer as zeros, reported); nothing is left allocated.
TEST(Bounds, EveryMemoryCapFailsCleanly) {
    for (const char* file : {"samples/sample.j2c", "samples/sample.jp2", "tests/data/t2_grid_lrcp.j2c", "tests/data/t2_poc_cs.j2c"}) {
        const std::vector<uint8_t> bytes = app_test::read_file(app_test::source_path(file));
        const Outcome full = decode(bytes);
        ASSERT_EQ(full.reached, Stage::Done) << file;
        ASSERT_EQ(full.left, 0u);
        std::vector<uint64_t> caps;
        for (uint64_t cap = 1; cap < 4096; cap = cap * 3 / 2 + 1) caps.push_back(cap);
        for (uint32_t k = 1; k < 400; k++) caps.push_back(full.peak * k / 400);
        caps.push_back(full.peak - 1);
        int parse_failures = 0;
        for (uint64_t cap : caps) {
            SCOPED_TRACE(testing::Message() << file << " under a cap of " << cap << " bytes");
            const Outcome o = decode(bytes, cap);
            EXPECT_EQ(o.left, 0u) << "bytes left allocated after destroying everything";
            EXPECT_LE(o.peak, cap);
            parse_failures += o.reached == Stage::Parse;
            EXPECT_TRUE(o.reached == Stage::Create || o.reached == Stage::Done || !o.errors.empty()) << "a refusal without a report";
            EXPECT_TRUE(o.reached != Stage::Done || o.rows == o.height) << o.rows << " rows";
            EXPECT_TRUE(o.reached != Stage::Done || o.image == full.image || !o.errors.empty()) << "a degraded image, unreported";
        }
        EXPECT_GT(parse_failures, 10) << "the sweep should stop the parse at many points";
        EXPECT_EQ(decode(bytes, full.peak).image, full.image) << file;
    }
}

// The input stops delivering after parsing (a file cut short, a device gone): every row still
// arrives, each block whose bytes cannot be had is zero (every sample the level shift, 128),
// the failure is reported once, not once per block, and the decoder says its input failed.
TEST(Bounds, InputThatStopsAfterParsingCostsOnlySamples) {
    static MemoryStream inner;  // behind a stream that refuses reads or seeks when told
    static bool refuse_reads, refuse_seeks;
    Stream flaky{};
    flaky.size = [](Stream*) { return inner.base.size(&inner.base); };
    flaky.tell = [](Stream*) { return inner.base.tell(&inner.base); };
    flaky.seek = [](Stream*, uint64_t pos) { return refuse_seeks ? 0 : inner.base.seek(&inner.base, pos); };
    flaky.read = [](Stream*, void* buf, uint32_t n) { return refuse_reads ? 0 : inner.base.read(&inner.base, buf, n); };
    flaky.close = [](Stream*) {};
    const struct {
        const char* file;
        bool reads, seeks;
    } kCases[] = {{"mem_layers_48x40.j2c", true, false}, {"mem_layers_48x40.j2c", false, true},
                  {"mem_layers_48x40.jp2", true, false}, {"mem_layers_48x40.jp2", true, true}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.file << " reads " << c.reads << " seeks " << c.seeks);
        const std::vector<uint8_t> bytes = app_test::read_file(app_test::data_path(c.file));
        memory_stream_init(&inner, bytes.data(), uint32_t(bytes.size()));
        refuse_reads = refuse_seeks = false;
        const Outcome o = decode(bytes, 0, &flaky, [&] { refuse_reads = c.reads, refuse_seeks = c.seeks; });
        ASSERT_EQ(o.reached, Stage::Done);
        EXPECT_TRUE(o.input_failed);
        EXPECT_EQ(o.rows, 40u);
        EXPECT_EQ(o.image, std::vector<uint8_t>(48 * 40 * 3, 128));
        ASSERT_EQ(o.errors.size(), 1u);
        EXPECT_NE(o.errors[0].find("could not be read again"), std::string::npos) << o.errors[0];
        EXPECT_EQ(o.left, 0u);
    }
}

// Short streams whose headers claim vast grids of tiles, precincts, code-blocks or components:
// refused before they are built, quickly and in little memory, while large images of ordinary
// code-blocks in equally short streams still parse (their missing packets are empty).
TEST(Bounds, LargeClaimsAreRefusedBeforeTheyAreBuilt) {
    const char kTooShort[] = "The codestream is too short for the precincts and code-blocks its headers declare.";
    const std::vector<uint8_t> kTiny = {0x00, 0x11, 0x11, 0x11, 0x11, 0x11};  // 2 x 2 precincts
    const struct {
        const char* name;
        StreamSpec spec;  // width, height, tile, components, levels, cb, layers, 9/7, precincts
        const char* error;
        uint64_t max_peak;
    } kCases[] = {
        {"4096 tiles of 1 x 1", {64, 64, 1}, "The codestream is too short to hold a tile-part for each of its tiles.", 1 << 20},
        {"4 tiles, could be held", {64, 64, 32}, nullptr, 0},
        {"blocks of 4 x 4", {60000, 60000, 0, 1, 0, 0}, kTooShort, 1 << 20},
        {"blocks of 1 x 1 in tiny precincts", {60000, 60000, 0, 1, 5, 0, 1, false, kTiny}, kTooShort, 1 << 20},
        {"blocks of 1 x 1, tiled", {60000, 60000, 8192, 1, 5, 4, 1, false, kTiny}, kTooShort, 1 << 20},
        {"blocks of 4 x 4, tiled", {60000, 60000, 8192, 1, 0, 0}, kTooShort, 1 << 20},
        {"16384 components over 32 levels", {1024, 1024, 0, 16384, 32}, kTooShort, 4 << 20},
        {"ordinary 16000 x 16000", {16000, 16000, 0, 1, 5, 4}, nullptr, 0},
        {"ordinary 40000 x 40000", {40000, 40000, 0, 1, 5, 4}, nullptr, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::clock_t t0 = std::clock();  // processor time: other work on the machine barely moves it
        const Outcome o = decode(app_test::codestream(c.spec), 0, nullptr, {}, true);
        const double seconds = double(std::clock() - t0) / CLOCKS_PER_SEC;
        EXPECT_EQ(o.reached, c.error ? Stage::Parse : Stage::Output);
        EXPECT_EQ(o.left, 0u);
        if (!c.error) continue;
        EXPECT_EQ(o.errors, std::vector<std::string>{c.error});
        EXPECT_LT(seconds, kSanitized ? 20 : 2);
        EXPECT_LT(o.peak, c.max_peak) << "bytes allocated before refusing";
    }
}
