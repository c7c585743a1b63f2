// The two stream kinds and the format probes: sizes, short reads, seeks past the end, and
// probes that must leave the position where it was.
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include "io/stream.h"
#include "support/io_streams.h"

using io_test::kFile;
using io_test::kMemory;
using io_test::StreamFixture;

TEST(FileStream, OpenFailuresAllocateNothing) {
    MemOps* ops = memops_create();
    ASSERT_NE(ops, nullptr);
    EXPECT_EQ(file_stream_open(ops, ""), nullptr);
    EXPECT_EQ(file_stream_open(ops, nullptr), nullptr);
    EXPECT_EQ(file_stream_open(ops, "/nonexistent/dir/file.j2c"), nullptr);
    EXPECT_EQ(file_stream_open(nullptr, "/dev/null"), nullptr);
    EXPECT_EQ(memops_peak(ops), 0u);
    ops->release(ops);
}

TEST(FileStream, SizeTellSeekAndShortReads) {
    StreamFixture f(kFile, io_test::pattern_bytes(20));
    Stream* s = f.stream();
    ASSERT_NE(s, nullptr);
    uint8_t buf[16];
    ASSERT_EQ(s->seek(s, 8), 1);
    EXPECT_EQ(s->size(s), 20u);  // the whole file, not what is left
    EXPECT_EQ(s->tell(s), 8u);   // and the position is kept
    ASSERT_EQ(s->read(s, buf, 8), 1);
    EXPECT_EQ(std::memcmp(buf, f.bytes().data() + 8, 8), 0);
    EXPECT_EQ(s->tell(s), 16u);

    // 10 asked, 4 left: failure, the 4 bytes delivered, the position at the end.
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(s->read(s, buf, 10), 0);
    EXPECT_EQ(std::memcmp(buf, f.bytes().data() + 16, 4), 0);
    EXPECT_EQ(s->tell(s), 20u);
    EXPECT_EQ(s->read(s, buf, 0), 1);
    EXPECT_EQ(s->read(s, buf, 1), 0);
    ASSERT_EQ(s->seek(s, 0), 1);
    ASSERT_EQ(s->read(s, buf, 1), 1);
    EXPECT_EQ(buf[0], f.bytes()[0]);
}

// The edge cases of a 5-byte block, step by step.
TEST(MemoryStream, BoundsAndSeeks) {
    const uint8_t block[5] = {10, 11, 12, 13, 14};
    MemOps* ops = memops_create();
    Stream* s = memory_stream_create(ops, block, 5);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->size(s), 5u);
    EXPECT_EQ(s->tell(s), 0u);
    const struct {
        uint64_t seek_to;  // UINT64_MAX = no seek
        uint32_t n;
        int ok;
        uint64_t pos_after;
        uint8_t first;
    } kSteps[] = {
        {3, 2, 1, 5, 13},
        {3, 3, 0, 3, 0},           // too many: nothing copied, nothing moved
        {UINT64_MAX, 0, 1, 3, 0},
        {5, 0, 1, 5, 0},           // zero bytes at the very end
        {5, 1, 0, 5, 0},
        {100, 1, 0, 100, 0},       // past the end: accepted, every read fails
        {0, 0xFFFFFFFFu, 0, 0, 0}, // a huge count must not wrap the bounds test
        {4, 0xFFFFFFFDu, 0, 4, 0},
        {0, 5, 1, 5, 10},
    };
    for (size_t i = 0; i < std::size(kSteps); i++) {
        const auto& c = kSteps[i];
        SCOPED_TRACE(i);
        if (c.seek_to != UINT64_MAX) {
            ASSERT_EQ(s->seek(s, c.seek_to), 1);
        }
        uint8_t buf[8] = {0};
        // A huge count must fail before copying anything, so buf's size does not matter.
        EXPECT_EQ(s->read(s, buf, c.n), c.ok);
        EXPECT_EQ(s->tell(s), c.pos_after);
        EXPECT_EQ(buf[0], c.first);
    }
    s->close(s);
    EXPECT_EQ(memops_in_use(ops), 0u);
    // The caller's block is untouched by the stream and by its close.
    const uint8_t expect[5] = {10, 11, 12, 13, 14};
    EXPECT_EQ(std::memcmp(block, expect, 5), 0);
    ops->release(ops);
}

// Both probes over both stream kinds, from byte 0 and from the middle of a file; whatever
// the answer, the position is restored.
TEST(Probes, AnswerAndRestorePosition) {
    const std::vector<uint8_t> kSig = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50,
                                       0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
    std::vector<std::pair<std::vector<uint8_t>, std::pair<int, int>>> cases = {
        {{0xFF, 0x4F}, {1, 0}},
        {{0xFF, 0x4F, 0xFF, 0x51, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {1, 0}},
        {{0xFF}, {0, 0}},
        {{}, {0, 0}},
        {{0x4F, 0xFF}, {0, 0}},
        {{0xFF, 0x4E}, {0, 0}},
        {kSig, {0, 1}},
        {std::vector<uint8_t>(kSig.begin(), kSig.end() - 1), {0, 0}},
    };
    for (size_t i = 0; i < kSig.size(); i++) {  // one wrong bit anywhere in the signature
        std::vector<uint8_t> bad = kSig;
        bad[i] ^= 0x10;
        cases.push_back({bad, {0, 0}});
    }
    for (io_test::StreamKind kind : {kFile, kMemory}) {
        for (uint32_t lead : {0u, 7u}) {
            for (size_t i = 0; i < cases.size(); i++) {
                SCOPED_TRACE(testing::Message() << io_test::kind_name(kind) << " lead " << lead
                                                << " case " << i);
                std::vector<uint8_t> bytes(lead, 0xAA);
                bytes.insert(bytes.end(), cases[i].first.begin(), cases[i].first.end());
                StreamFixture f(kind, bytes);
                Stream* s = f.stream();
                ASSERT_NE(s, nullptr);
                ASSERT_EQ(s->seek(s, lead), 1);
                EXPECT_EQ(jpc_check_soc(s), cases[i].second.first);
                EXPECT_EQ(s->tell(s), lead);
                EXPECT_EQ(jp2_check_signature(s), cases[i].second.second);
                EXPECT_EQ(s->tell(s), lead);
            }
        }
    }
}
