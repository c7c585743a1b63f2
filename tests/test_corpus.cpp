// Every damaged or hostile file of the robustness corpus, and every input kept in
// tests/data/fuzz-regress, through the tool: each run ends with status 0 or -1 within 10 s and
// 2 GiB, with no sanitizer report (in the sanitizer build this is the corpus sweep). Its
// codestream (found by SOC and SIZ, so JP2 files count too) parses, or fails with a report,
// leaving nothing allocated.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "codestream/jpcdec.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "support/app_tool.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

std::vector<std::string> inputs() {
    std::vector<std::string> files;
    for (const std::string& dir : {app_test::corpus_dir("robustness"), app_test::data_path("fuzz-regress")}) {
        std::error_code ec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir.empty() ? "/nonexistent" : dir, ec))
            if (e.is_regular_file() && e.path().filename().string().rfind("README", 0) != 0) files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> g_errors;

class Corpus : public testing::TestWithParam<std::string> {};

TEST_P(Corpus, EndsCleanly) {
    app_test::ScratchDir dir;
    const app_test::ToolResult r = app_test::run_tool({GetParam(), dir.file("out.bmp")}, 0, 10);
    const std::string err = r.err.substr(0, 4000);
    EXPECT_EQ(r.signal, 0) << "ended by signal " << r.signal << " (14: past 10 s)";
    EXPECT_TRUE(r.exit_code == 0 || r.exit_code == 255) << "status " << r.exit_code << "\n" << err;
    EXPECT_TRUE(err.find("Sanitizer") == std::string::npos && err.find("runtime error") == std::string::npos) << err;
    EXPECT_LT(r.max_rss_kb, 2L * 1024 * 1024);

    const std::vector<uint8_t> bytes = app_test::read_file(GetParam());
    const uint8_t kSocSiz[] = {0xFF, 0x4F, 0xFF, 0x51};
    const auto start = std::search(bytes.begin(), bytes.end(), kSocSiz, kSocSiz + 4);
    if (start == bytes.end()) return;
    g_errors.clear();
    MemOps* ops = memops_create_with_budget(uint64_t(1) << 30);
    Stream* s = memory_stream_create(ops, &*start, uint32_t(bytes.end() - start));
    jpcdec* d = jpcdec_create(ops, s);
    ASSERT_NE(d, nullptr);
    jpcdec_set_hooks(d, [](const char* m) { g_errors.emplace_back(m); }, nullptr);
    const bool parsed = jpcdec_parse(d) == 1;
    EXPECT_EQ(parsed, g_errors.empty()) << (g_errors.empty() ? "a failure without a report" : g_errors[0]);
    jpcdec_destroy(d);
    s->close(s);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
}

INSTANTIATE_TEST_SUITE_P(Files, Corpus, testing::ValuesIn(inputs()));
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(Corpus);

TEST(CorpusPresent, OrSkipped) {
    if (app_test::corpus_dir("robustness").empty()) GTEST_SKIP() << "robustness corpus not found (set DRAVEX_CORPUS)";
}

}  // namespace
