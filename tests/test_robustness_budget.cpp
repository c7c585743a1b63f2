// The memory budget: a table whose cap is reached anywhere in a decode (creation, parse, output
// set-up or the rows) fails that step cleanly, and once the caller has destroyed the decoder
// and closed the stream nothing is left allocated. The sanitizer build runs the same sweeps
// under LeakSanitizer, so a block lost outside the table's accounting is caught as well.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codestream/jpcdec.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "jp2/jp2_decoder.h"
#include "support/codestream_fixtures.h"

namespace {

enum class Stage { Create, Parse, Output, Done };

struct Outcome {
    Stage reached = Stage::Create;  // first step that failed, or Done
    std::vector<uint8_t> image;     // rows of a completed decode
    bool reported = false;          // an error message came through the hook
    uint64_t left = 0;              // bytes still held after everything was destroyed
    uint64_t peak = 0;
};

std::vector<std::string> g_errors;
void on_error(const char* m) { g_errors.emplace_back(m); }
void on_warning(const char*) {}

// One entry point's calls, so both are driven by the same steps.
template <typename Decoder, typename Hook>
struct EntryPoint {
    Decoder* (*create)(MemOps*, Stream*);
    void (*set_hooks)(Decoder*, Hook, Hook);
    int (*parse)(Decoder*);
    void (*get_size)(const Decoder*, uint32_t*, uint32_t*);
    int (*set_output)(Decoder*, uint16_t, const uint32_t*, uint32_t);
    int (*decode_row)(Decoder*, uint8_t*);
    void (*finish_output)(Decoder*);
    void (*destroy)(Decoder*);
};

const EntryPoint<jpcdec, jpc_message_hook> kCodestream = {
    jpcdec_create,     jpcdec_set_hooks,  jpcdec_parse,         jpcdec_get_size,
    jpcdec_set_output, jpcdec_decode_row, jpcdec_finish_output, jpcdec_destroy};
const EntryPoint<Jp2Decoder, jp2_message_hook> kJp2 = {
    jp2_create,     jp2_set_hooks,  jp2_parse,         jp2_get_size,
    jp2_set_output, jp2_decode_row, jp2_finish_output, jp2_destroy};

// Creates, parses and decodes every row through `api`, recording how far it got.
template <typename Decoder, typename Hook>
void run_entry_point(const EntryPoint<Decoder, Hook>& api, MemOps* ops, Stream* s,
                     Outcome* run) {
    Decoder* dec = api.create(ops, s);
    if (!dec) return;
    api.set_hooks(dec, on_error, on_warning);
    run->reached = Stage::Parse;
    if (api.parse(dec)) {
        run->reached = Stage::Output;
        uint32_t w, h;
        api.get_size(dec, &w, &h);
        const uint32_t offsets[3] = {2, 1, 0};
        if (api.set_output(dec, 3, offsets, 3)) {
            run->reached = Stage::Done;
            std::vector<uint8_t> row(size_t(w) * 3);
            for (uint32_t y = 0; y < h; y++) {
                EXPECT_EQ(api.decode_row(dec, row.data()), 1) << "row " << y;
                run->image.insert(run->image.end(), row.begin(), row.end());
            }
            EXPECT_EQ(api.decode_row(dec, row.data()), 0) << "a row past the last";
            api.finish_output(dec);
        }
    }
    api.destroy(dec);
}

// Decodes `bytes` whole under `cap` (0: no cap), through the codestream or the JP2 entry point.
Outcome decode_under(const std::vector<uint8_t>& bytes, bool jp2, uint64_t cap) {
    Outcome run;
    g_errors.clear();
    MemOps* ops = memops_create_with_budget(cap);
    if (!ops) return run;
    Stream* s = memory_stream_create(ops, bytes.data(), static_cast<uint32_t>(bytes.size()));
    if (s && jp2)
        run_entry_point(kJp2, ops, s, &run);
    else if (s)
        run_entry_point(kCodestream, ops, s, &run);
    if (s) s->close(s);
    run.reported = !g_errors.empty();
    run.left = memops_in_use(ops);
    run.peak = memops_peak(ops);
    ops->release(ops);
    return run;
}

struct BudgetCase {
    const char* name;
    const char* file;  // below the project root
    bool jp2;
};

void PrintTo(const BudgetCase& c, std::ostream* os) { *os << c.file; }

class BudgetSweep : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(BudgetSweep, EveryCapFailsCleanlyAndLeavesNothing) {
    const BudgetCase& c = GetParam();
    const std::vector<uint8_t> bytes =
        cs_test::read_file(std::string(DRAVEX_SOURCE_DIR) + "/" + c.file);
    ASSERT_FALSE(bytes.empty()) << c.file;
    const Outcome full = decode_under(bytes, c.jp2, 0);
    ASSERT_EQ(full.reached, Stage::Done);
    ASSERT_FALSE(full.image.empty());
    EXPECT_EQ(full.left, 0u);

    // Caps from a few bytes to just under the peak: every allocation of the decode is refused
    // at least once, whichever step makes it.
    std::vector<uint64_t> caps;
    for (uint64_t cap = 1; cap < 4096; cap = cap * 3 / 2 + 1) caps.push_back(cap);
    const uint32_t steps = 400;
    for (uint32_t k = 1; k < steps; k++) caps.push_back(full.peak * k / steps);
    caps.push_back(full.peak - 1);
    int parse_failures = 0, completed_below_peak = 0;
    for (uint64_t cap : caps) {
        SCOPED_TRACE(testing::Message() << c.file << " under a cap of " << cap << " bytes");
        const Outcome run = decode_under(bytes, c.jp2, cap);
        EXPECT_EQ(run.left, 0u) << "bytes left allocated after destroying everything";
        EXPECT_LE(run.peak, cap);
        if (run.reached == Stage::Parse || run.reached == Stage::Output) {
            EXPECT_TRUE(run.reported) << "a refusal without a report";
        }
        if (run.reached == Stage::Parse) parse_failures++;
        // Row output delivers a tile it cannot buffer as zero samples, reports it, and never
        // runs short.
        if (run.reached == Stage::Done) {
            EXPECT_EQ(run.image.size(), full.image.size());
            completed_below_peak++;
            EXPECT_TRUE(run.image == full.image || run.reported) << "a degraded image, unreported";
        }
    }
    EXPECT_GT(parse_failures, 10) << "the sweep should stop the parse at many points";
    std::printf("%s: peak %llu bytes, %d caps failed the parse, %d completed below the peak\n",
                c.name, static_cast<unsigned long long>(full.peak), parse_failures,
                completed_below_peak);
    // The full budget decodes exactly as without one.
    const Outcome at_peak = decode_under(bytes, c.jp2, full.peak);
    EXPECT_EQ(at_peak.reached, Stage::Done);
    EXPECT_EQ(at_peak.image, full.image);
}

std::string budget_name(const ::testing::TestParamInfo<BudgetCase>& p) { return p.param.name; }

INSTANTIATE_TEST_SUITE_P(
    Budget, BudgetSweep,
    ::testing::Values(BudgetCase{"SampleCodestream", "samples/sample.j2c", false},
                      BudgetCase{"SampleJp2", "samples/sample.jp2", true},
                      BudgetCase{"PrecinctGrid", "tests/data/t2_grid_lrcp.j2c", false},
                      BudgetCase{"TilesAndParts", "tests/data/t2_poc_cs.j2c", false}),
    budget_name);

}  // namespace
