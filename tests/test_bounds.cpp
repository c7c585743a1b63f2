// Resource bounds: what the tool and the decoders hold does not follow the image's height; a
// memory cap reached anywhere fails that step cleanly; an input that stops delivering costs
// samples only; and small inputs claiming vast structures are refused quickly in little memory
// (the tool's table holds those that must also end quickly when decoded).
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "codestream/jpcdec.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "jp2/jp2_decoder.h"
#include "support/app_tool.h"

using app_test::StreamSpec;

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;  // peak memory means nothing there, and time is longer
#else
constexpr bool kSanitized = false;
#endif

std::vector<std::string> g_errors;
void on_error(const char* m) { g_errors.emplace_back(m); }
void on_warning(const char*) {}

enum class Stage { Create, Parse, Output, Done };

struct Outcome {
    Stage reached = Stage::Create;  // the first step that failed, or Done
    uint32_t width = 0, height = 0, rows = 0;  // rows: those delivered
    std::vector<uint8_t> image;     // blue-green-red rows of a completed decode
    std::vector<std::string> errors;
    bool input_failed = false;
    uint64_t left = 0, peak = 0;    // bytes still held after everything was destroyed; the most held
};

// One entry point's calls, so that both roads are driven by the same steps.
template <typename D, typename Hook>
struct EntryPoint {
    D* (*create)(MemOps*, Stream*);
    void (*set_hooks)(D*, Hook, Hook);
    int (*parse)(D*);
    void (*get_size)(const D*, uint32_t*, uint32_t*);
    int (*set_output)(D*, uint16_t, const uint32_t*, uint32_t);
    int (*decode_row)(D*, uint8_t*);
    int (*input_failed)(const D*);
    void (*finish_output)(D*);
    void (*destroy)(D*);
};
const EntryPoint<jpcdec, jpc_message_hook> kCodestream = {
    jpcdec_create, jpcdec_set_hooks, jpcdec_parse, jpcdec_get_size, jpcdec_set_output,
    jpcdec_decode_row, jpcdec_input_failed, jpcdec_finish_output, jpcdec_destroy};
const EntryPoint<Jp2Decoder, jp2_message_hook> kJp2 = {
    jp2_create, jp2_set_hooks, jp2_parse, jp2_get_size, jp2_set_output,
    jp2_decode_row, jp2_input_failed, jp2_finish_output, jp2_destroy};

template <typename D, typename Hook>
void drive(const EntryPoint<D, Hook>& api, MemOps* ops, Stream* s, Outcome* o,
           const std::function<void()>& after_parse, bool parse_only) {
    D* d = api.create(ops, s);
    if (!d) return;
    api.set_hooks(d, on_error, on_warning);
    o->reached = Stage::Parse;
    const uint32_t offsets[3] = {2, 1, 0};
    if (api.parse(d)) {
        o->reached = Stage::Output;
        api.get_size(d, &o->width, &o->height);
        if (!parse_only && api.set_output(d, 3, offsets, 3)) {
            o->reached = Stage::Done;
            if (after_parse) after_parse();
            std::vector<uint8_t> row(size_t(o->width) * 3);
            for (uint32_t y = 0; y < o->height; y++) {
                o->rows += api.decode_row(d, row.data());
                o->image.insert(o->image.end(), row.begin(), row.end());
            }
            EXPECT_EQ(api.decode_row(d, row.data()), 0) << "a row past the last";
            o->input_failed = api.input_failed(d);
            api.finish_output(d);
        }
    }
    api.destroy(d);
}

// Decodes everything (or parses only) under `cap` (0: none) from `bytes`, or from `stream`.
Outcome decode(const std::vector<uint8_t>& bytes, bool jp2, uint64_t cap = 0, Stream* stream = nullptr,
               const std::function<void()>& after_parse = {}, bool parse_only = false) {
    Outcome o;
    g_errors.clear();
    MemOps* ops = memops_create_with_budget(cap);
    Stream* s = stream ? stream : memory_stream_create(ops, bytes.data(), uint32_t(bytes.size()));
    if (s && jp2) drive(kJp2, ops, s, &o, after_parse, parse_only);
    else if (s) drive(kCodestream, ops, s, &o, after_parse, parse_only);
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
    // Sample (x, y) is y / 64, in all three bytes and in the PGX.
    const std::vector<uint8_t> bmp = app_test::read_file(dir.file("t.bmp")), pgx = app_test::read_file(dir.file("t_0.pgx"));
    ASSERT_EQ(bmp.size(), 54u + 1536u * 8192u);
    ASSERT_EQ(pgx.size(), 19u + 512u * 8192u);
    for (uint32_t y = 0; y < 8192; y += 61) {
        for (uint32_t x : {0u, 255u, 511u}) {
            uint8_t rgb[3];
            app_test::bmp_pixel(bmp, x, y, rgb);
            ASSERT_EQ(rgb[0] | rgb[1] << 8 | rgb[2] << 16, int(y / 64) * 0x010101) << x << ", " << y;
            ASSERT_EQ(pgx[19 + y * 512 + x], y / 64) << x << ", " << y;
        }
    }
}

// Code-block bytes stay in the input until tier-1 needs them: four times the rows (12 more
// code-blocks of 64 x 64, KBs of coded bytes each) cost the blocks' records only.
TEST(Bounds, DecoderMemoryDoesNotFollowTheHeight) {
    const auto short_bytes = app_test::read_file(app_test::data_path("mem_grain_128x128.j2c"));
    const auto tall_bytes = app_test::read_file(app_test::data_path("mem_grain_128x512.j2c"));
    const Outcome a = decode(short_bytes, false), b = decode(tall_bytes, false);
    ASSERT_EQ(a.reached, Stage::Done);
    ASSERT_EQ(b.reached, Stage::Done);
    ASSERT_EQ(b.height, 4 * a.height);
    ASSERT_EQ(b.rows, b.height);
    const uint64_t allowance = 12 * 128 + 2048;  // per block: record, grid place, segment; slack
    ASSERT_GT(tall_bytes.size() - short_bytes.size(), 4 * allowance) << "the fixture could not tell";
    EXPECT_LE(b.peak, a.peak + allowance) << a.peak << " bytes for " << a.height << " rows, " << b.peak;
}

// A cap reached anywhere (creation, parse, output set-up, rows) fails that step with a report,
// or gives every row (a tile it cannot buffer as zeros, reported); nothing is left allocated.
TEST(Bounds, EveryMemoryCapFailsCleanly) {
    const struct {
        const char* file;
        bool jp2;
    } kCases[] = {{"samples/sample.j2c", false}, {"samples/sample.jp2", true},
                  {"tests/data/t2_grid_lrcp.j2c", false}, {"tests/data/t2_poc_cs.j2c", false}};
    for (const auto& c : kCases) {
        const std::vector<uint8_t> bytes = app_test::read_file(app_test::source_path(c.file));
        const Outcome full = decode(bytes, c.jp2);
        ASSERT_EQ(full.reached, Stage::Done) << c.file;
        ASSERT_EQ(full.left, 0u);
        std::vector<uint64_t> caps;
        for (uint64_t cap = 1; cap < 4096; cap = cap * 3 / 2 + 1) caps.push_back(cap);
        for (uint32_t k = 1; k < 400; k++) caps.push_back(full.peak * k / 400);
        caps.push_back(full.peak - 1);
        int parse_failures = 0;
        for (uint64_t cap : caps) {
            SCOPED_TRACE(testing::Message() << c.file << " under a cap of " << cap << " bytes");
            const Outcome o = decode(bytes, c.jp2, cap);
            EXPECT_EQ(o.left, 0u) << "bytes left allocated after destroying everything";
            EXPECT_LE(o.peak, cap);
            parse_failures += o.reached == Stage::Parse;
            if (o.reached == Stage::Parse || o.reached == Stage::Output) {
                EXPECT_FALSE(o.errors.empty()) << "a refusal without a report";
            }
            if (o.reached == Stage::Done) {
                EXPECT_EQ(o.rows, o.height);
                EXPECT_TRUE(o.image == full.image || !o.errors.empty()) << "a degraded image, unreported";
            }
        }
        EXPECT_GT(parse_failures, 10) << "the sweep should stop the parse at many points";
        const Outcome at_peak = decode(bytes, c.jp2, full.peak);
        EXPECT_EQ(at_peak.image, full.image) << c.file;
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
        bool jp2, reads, seeks;
    } kCases[] = {{"mem_layers_48x40.j2c", false, true, false}, {"mem_layers_48x40.j2c", false, false, true},
                  {"mem_layers_48x40.jp2", true, true, false}, {"mem_layers_48x40.jp2", true, true, true}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.file << " reads " << c.reads << " seeks " << c.seeks);
        const std::vector<uint8_t> bytes = app_test::read_file(app_test::data_path(c.file));
        memory_stream_init(&inner, bytes.data(), uint32_t(bytes.size()));
        refuse_reads = refuse_seeks = false;
        const Outcome o = decode(bytes, c.jp2, 0, &flaky, [&] { refuse_reads = c.reads, refuse_seeks = c.seeks; });
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
        const auto t0 = std::chrono::steady_clock::now();
        const Outcome o = decode(app_test::codestream(c.spec), false, 0, nullptr, {}, true);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_EQ(o.reached, c.error ? Stage::Parse : Stage::Output);
        EXPECT_EQ(o.left, 0u);
        if (!c.error) continue;
        EXPECT_EQ(o.errors, std::vector<std::string>{c.error});
        EXPECT_LT(seconds, kSanitized ? 5 : 0.5);
        EXPECT_LT(o.peak, c.max_peak) << "bytes allocated before refusing";
    }
}
