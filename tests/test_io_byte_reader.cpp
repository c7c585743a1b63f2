// The windowed byte reader over both stream kinds: values across 512-byte window edges,
// end-of-range failures, and streams that fail or claim more than 32-bit positions reach.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "io/byte_reader.h"
#include "support/io_streams.h"

using io_test::CountingStream;
using io_test::StreamFixture;
using io_test::StreamKind;

namespace {

struct ReaderDeleter {
    MemOps* ops;
    void operator()(ByteReader* br) const { byte_reader_destroy(ops, br); }
};
using ReaderPtr = std::unique_ptr<ByteReader, ReaderDeleter>;

ReaderPtr make_reader(MemOps* ops, Stream* s) {
    return ReaderPtr(byte_reader_create(ops, s), ReaderDeleter{ops});
}

uint32_t be(const std::vector<uint8_t>& b, uint32_t at, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++) v = (v << 8) | b[at + i];
    return v;
}

class ByteReaderTest : public testing::TestWithParam<StreamKind> {};

std::string kind_label(const testing::TestParamInfo<StreamKind>& info) {
    return io_test::kind_name(info.param);
}

}  // namespace

TEST_P(ByteReaderTest, MultiByteValuesAcrossWindowEdges) {
    StreamFixture f(GetParam(), io_test::pattern_bytes(2048));
    const uint32_t kPositions[] = {0, 509, 510, 511, 512, 1021, 1023, 1024, 1535, 2044};
    for (bool fresh : {true, false}) {
        ASSERT_EQ(f.stream()->seek(f.stream(), 0), 1);
        ReaderPtr shared = make_reader(f.ops(), f.stream());
        for (uint32_t p : kPositions) {
            SCOPED_TRACE(testing::Message() << "pos " << p << (fresh ? " fresh" : " shared"));
            ASSERT_EQ(f.stream()->seek(f.stream(), 0), 1);
            ReaderPtr own = fresh ? make_reader(f.ops(), f.stream()) : nullptr;
            ByteReader* br = fresh ? own.get() : shared.get();
            br_set_pos(br, p);
            uint16_t peek = 0, v16 = 0;
            uint32_t v32 = 0;
            ASSERT_EQ(br_peek_u16(br, &peek), 1);
            EXPECT_EQ(peek, be(f.bytes(), p, 2));
            EXPECT_EQ(br_get_pos(br), p);
            ASSERT_EQ(br_read_u16(br, &v16), 1);
            EXPECT_EQ(v16, be(f.bytes(), p, 2));
            br_set_pos(br, p);
            ASSERT_EQ(br_read_u32(br, &v32), 1);
            EXPECT_EQ(v32, be(f.bytes(), p, 4));
            EXPECT_EQ(br_get_pos(br), p + 4);
        }
    }
}

// Every way to run off the end of a 10-byte range, with the position each leaves.
TEST_P(ByteReaderTest, EndOfRangeFailures) {
    StreamFixture f(GetParam(), io_test::pattern_bytes(10));
    enum Op { kU8, kU16, kU32, kPeek, kBlock, kBits };
    const struct {
        const char* name;
        uint32_t pos;
        Op op;
        uint32_t n;  // block length or bit count
        int ok;
        uint32_t pos_after;
    } kCases[] = {
        {"u8 last", 9, kU8, 0, 1, 10},
        {"u8 at end", 10, kU8, 0, 0, 10},
        {"u8 past end", 15, kU8, 0, 0, 15},
        {"u16 last two", 8, kU16, 0, 1, 10},
        {"u16 over the end", 9, kU16, 0, 0, 10},
        {"u32 over the end", 8, kU32, 0, 0, 10},
        {"u32 at end", 10, kU32, 0, 0, 10},
        {"peek last byte", 9, kPeek, 0, 0, 9},
        {"peek last two", 8, kPeek, 0, 1, 8},
        {"block to the end", 4, kBlock, 6, 1, 10},
        {"block one too many", 4, kBlock, 7, 0, 4},
        {"empty block at end", 10, kBlock, 0, 1, 10},
        {"empty block past end", 11, kBlock, 0, 0, 11},
        {"huge block", 2, kBlock, 0xFFFFFFFFu, 0, 2},
        {"block that would wrap", 9, kBlock, 0xFFFFFFF8u, 0, 9},
        {"seven bits of the last byte", 9, kBits, 7, 1, 9},
        {"the last bit of the range", 9, kBits, 8, 0, 10},
        {"zero bits at the end", 10, kBits, 0, 0, 10},
        {"zero bits inside", 3, kBits, 0, 1, 3},
        {"far past the end", 0xFFFFFFF0u, kU8, 0, 0, 0xFFFFFFF0u},
    };
    CountingStream cs(f.stream());
    ReaderPtr br = make_reader(f.ops(), cs.stream());
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const uint32_t reads_before = cs.reads;
        br_set_pos(br.get(), c.pos);
        br->bit_pos = 0;
        uint8_t u8 = 0, block[16] = {0};
        uint16_t u16 = 0;
        uint32_t u32 = 0;
        int ok = 0;
        switch (c.op) {
            case kU8: ok = br_read_u8(br.get(), &u8); break;
            case kU16: ok = br_read_u16(br.get(), &u16); break;
            case kU32: ok = br_read_u32(br.get(), &u32); break;
            case kPeek: ok = br_peek_u16(br.get(), &u16); break;
            case kBlock: ok = br_read_block(br.get(), block, c.n); break;
            case kBits: ok = br_read_bits(br.get(), c.n, &u32); break;
        }
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(br_get_pos(br.get()), c.pos_after);
        if (c.op == kBlock && c.ok) {
            EXPECT_EQ(std::memcmp(block, f.bytes().data() + c.pos, c.n), 0);
        }
        if (c.op == kBlock && !c.ok) {
            EXPECT_EQ(cs.reads, reads_before) << "a refused block must not reach the stream";
        }
        if (c.pos_after >= 10) {
            EXPECT_EQ(br_remaining(br.get()), 0u);
        }
    }
}

// A stream that fails must never let stale or uninitialised window bytes out.
TEST_P(ByteReaderTest, FailingStreams) {
    StreamFixture f(GetParam(), io_test::pattern_bytes(1200));
    {
        CountingStream cs(f.stream());
        cs.fail_reads = 1;  // only the fill at creation fails
        ReaderPtr br = make_reader(f.ops(), cs.stream());
        uint8_t b = 0;
        ASSERT_EQ(br_read_u8(br.get(), &b), 1);
        EXPECT_EQ(b, f.bytes()[0]);
    }
    {
        ASSERT_EQ(f.stream()->seek(f.stream(), 0), 1);
        CountingStream cs(f.stream());
        cs.fail_reads = 1000;  // nothing ever arrives
        ReaderPtr br = make_reader(f.ops(), cs.stream());
        uint8_t b = 0x77;
        uint32_t bits = 0x77;
        uint16_t peek = 0x77;
        EXPECT_EQ(br_read_u8(br.get(), &b), 0);
        EXPECT_EQ(br_read_bits(br.get(), 4, &bits), 0);
        EXPECT_EQ(br_peek_u16(br.get(), &peek), 0);
        EXPECT_EQ(b, 0x77);
        EXPECT_EQ(bits, 0x77u);
        EXPECT_EQ(peek, 0x77);
        EXPECT_EQ(br_get_pos(br.get()), 0u);
    }
    {
        ASSERT_EQ(f.stream()->seek(f.stream(), 0), 1);
        CountingStream cs(f.stream());
        ReaderPtr br = make_reader(f.ops(), cs.stream());
        uint8_t b;
        br_set_pos(br.get(), 700);
        cs.fail_seeks = 1;  // the refill's seek fails once
        EXPECT_EQ(br_read_u8(br.get(), &b), 0);
        ASSERT_EQ(br_read_u8(br.get(), &b), 1);  // and the next attempt refills properly
        EXPECT_EQ(b, f.bytes()[700]);
        cs.fail_reads = 1;  // a failed refill read must empty the window, not keep old bytes
        br_set_pos(br.get(), 100);
        EXPECT_EQ(br_read_u8(br.get(), &b), 0);
        br_set_pos(br.get(), 701);
        ASSERT_EQ(br_read_u8(br.get(), &b), 1);
        EXPECT_EQ(b, f.bytes()[701]);
        cs.fail_seeks = 1;
        uint8_t block[4];
        br_set_pos(br.get(), 100);  // outside the window, so the block goes to the stream
        EXPECT_EQ(br_read_block(br.get(), block, 4), 0);
        EXPECT_EQ(br_get_pos(br.get()), 100u);
    }
}

INSTANTIATE_TEST_SUITE_P(BothStreams, ByteReaderTest,
                         testing::Values(io_test::kFile, io_test::kMemory), kind_label);

TEST(ByteReader, SkipSaturatesAndAlignDoesNotWrap) {
    StreamFixture f(io_test::kMemory, io_test::pattern_bytes(16));
    ReaderPtr br = make_reader(f.ops(), f.stream());
    br_skip(br.get(), 10);
    EXPECT_EQ(br_get_pos(br.get()), 10u);
    br_skip(br.get(), UINT32_MAX);
    EXPECT_EQ(br_get_pos(br.get()), UINT32_MAX);
    EXPECT_EQ(br_remaining(br.get()), 0u);
    br->bit_pos = 5;
    br_align(br.get());
    EXPECT_EQ(br_get_pos(br.get()), UINT32_MAX);
    EXPECT_EQ(br->bit_pos, 0u);
    uint8_t b;
    EXPECT_EQ(br_read_u8(br.get(), &b), 0);
}

// Positions are 32-bit: a range beyond 4 GiB is cut to what they can address.
TEST(ByteReader, OversizeRangeIsClipped) {
    StreamFixture f(io_test::kMemory, io_test::pattern_bytes(64));
    CountingStream cs(f.stream());
    cs.fake_size = uint64_t(1) << 33;
    ReaderPtr br = make_reader(f.ops(), cs.stream());
    EXPECT_EQ(br->length, UINT32_MAX);
    ASSERT_EQ(f.stream()->seek(f.stream(), 8), 1);
    ReaderPtr late = make_reader(f.ops(), cs.stream());
    EXPECT_EQ(late->start, 8u);
    EXPECT_EQ(late->length, UINT32_MAX - 8);
}
