// The parse over every damaged or hostile file of the robustness corpus: the codestream of
// each file (found by its SOC and SIZ markers, so JP2 files count too) must parse or fail with
// a report, within a memory cap, leaking nothing.
#include <gtest/gtest.h>
#include <dirent.h>

#include <chrono>
#include <string>

#include "codestream/jpcdec_impl.h"
#include "support/codestream_fixtures.h"

using cs_test::Messages;

namespace {

std::vector<std::string> list_files(const std::string& dir) {
    std::vector<std::string> out;
    DIR* dp = opendir(dir.c_str());
    if (!dp) return out;
    while (dirent* e = readdir(dp)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        std::vector<std::string> sub = list_files(path);  // one level of folders (htj2k/)
        if (!sub.empty()) out.insert(out.end(), sub.begin(), sub.end());
        else out.push_back(path);
    }
    closedir(dp);
    return out;
}

// Offset of the first FF 4F FF 51, or the size when there is none.
size_t codestream_start(const std::vector<uint8_t>& b) {
    for (size_t i = 0; i + 3 < b.size(); i++)
        if (b[i] == 0xFF && b[i + 1] == 0x4F && b[i + 2] == 0xFF && b[i + 3] == 0x51) return i;
    return b.size();
}

TEST(CodestreamRobustness, HostileFilesParseOrFailCleanly) {
    const std::string dir = cs_test::corpus_dir("robustness");
    if (dir.empty()) GTEST_SKIP() << "robustness corpus not found (set DRAVEX_CORPUS)";
    int parsed = 0, failed = 0;
    for (const std::string& path : list_files(dir)) {
        SCOPED_TRACE(path);
        const std::vector<uint8_t> bytes = cs_test::read_file(path);
        const size_t start = codestream_start(bytes);
        if (start == bytes.size()) continue;
        Messages::clear();
        MemOps* ops = memops_create_with_budget(uint64_t(1) << 30);
        Stream* s = memory_stream_create(ops, bytes.data() + start,
                                         static_cast<uint32_t>(bytes.size() - start));
        jpcdec* d = jpcdec_create(ops, s);
        ASSERT_NE(d, nullptr);
        jpcdec_set_hooks(d, Messages::on_error, Messages::on_warning);
        const auto t0 = std::chrono::steady_clock::now();
        const int ok = jpcdec_parse(d);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(seconds, 30.0);  // a hang, not slowness: tile building of empty tiles is heavy
        if (ok) {
            parsed++;
            EXPECT_TRUE(Messages::errors.empty());
        } else {
            failed++;
            EXPECT_FALSE(Messages::errors.empty()) << "a failure without a report";
        }
        jpcdec_destroy(d);
        s->close(s);
        EXPECT_EQ(memops_in_use(ops), 0u);
        ops->release(ops);
    }
    std::printf("robustness corpus: %d parsed, %d refused\n", parsed, failed);
}

}  // namespace
