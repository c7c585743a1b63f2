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

// Decodes `bytes` whole under `cap` (0: no cap), through the codestream or the JP2 entry point.
Outcome decode_under(const std::vector<uint8_t>& bytes, bool jp2, uint64_t cap) {
    Outcome run;
    g_errors.clear();
    MemOps* ops = memops_create_with_budget(cap);
    if (!ops) return run;
    Stream* s = memory_stream_create(ops, bytes.data(), static_cast<uint32_t>(bytes.size()));
    const uint32_t offsets[3] = {2, 1, 0};
    if (s && jp2) {
        Jp2Decoder* j = jp2_create(ops, s);
        if (j) {
            jp2_set_hooks(j, on_error, on_warning);
            run.reached = Stage::Parse;
            if (jp2_parse(j)) {
                run.reached = Stage::Output;
                uint32_t w, h;
                jp2_get_size(j, &w, &h);
                if (jp2_set_output(j, 3, offsets, 3)) {
                    run.reached = Stage::Done;
                    std::vector<uint8_t> row(size_t(w) * 3);
                    for (uint32_t y = 0; y < h; y++) {
                        EXPECT_EQ(jp2_decode_row(j, row.data()), 1) << "row " << y;
                        run.image.insert(run.image.end(), row.begin(), row.end());
                    }
                    jp2_finish_output(j);
                }
            }
            jp2_destroy(j);
        }
    } else if (s) {
        jpcdec* d = jpcdec_create(ops, s);
        if (d) {
            jpcdec_set_hooks(d, on_error, on_warning);
            run.reached = Stage::Parse;
            if (jpcdec_parse(d)) {
                run.reached = Stage::Output;
                uint32_t w, h;
                jpcdec_get_size(d, &w, &h);
                if (jpcdec_set_output(d, 3, offsets, 3)) {
                    run.reached = Stage::Done;
                    std::vector<uint8_t> row(size_t(w) * 3);
                    for (uint32_t y = 0; y < h; y++) {
                        EXPECT_EQ(jpcdec_decode_row(d, row.data()), 1) << "row " << y;
                        run.image.insert(run.image.end(), row.begin(), row.end());
                    }
                    EXPECT_EQ(jpcdec_decode_row(d, row.data()), 0) << "a row past the last";
                    jpcdec_finish_output(d);
                }
            }
            jpcdec_destroy(d);
        }
    }
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
