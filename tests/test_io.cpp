// Input layer edge cases as tables: the byte reader at the end of its range, streams that fail
// or claim more than 32-bit positions reach, short reads and huge counts, code-block bytes read
// back through kept stretches, the format probes, and the allocator's size checks and budget.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "io/byte_reader.h"
#include "io/stream.h"
#include "tier1/code_block.h"
#include "tier2/coded_store.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

std::vector<uint8_t> pattern(uint32_t n) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; i++) v[i] = uint8_t(i * 7 + (i >> 8));
    return v;
}

// The same bytes behind a file stream or a memory stream.
struct Fixture {
    Fixture(bool file, std::vector<uint8_t> b) : bytes(std::move(b)), ops(memops_create()) {
        char name[] = "/tmp/dravex-io-XXXXXX";
        const int fd = file ? mkstemp(name) : -1;
        if (fd >= 0 && (path = name, write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size())))
            s = file_stream_open(ops, name);
        if (fd >= 0) close(fd);
        if (!file) s = memory_stream_create(ops, bytes.data(), uint32_t(bytes.size()));
    }
    ~Fixture() {
        if (s) s->close(s);
        if (!path.empty()) std::remove(path.c_str());
        ops->release(ops);
    }
    std::vector<uint8_t> bytes;
    MemOps* ops;
    std::string path;
    Stream* s = nullptr;
};

// Forwards to an inner stream; fail_reads / fail_seeks fail that many next calls, fake_size
// replaces the inner size.
struct Counting {
    Stream base;
    Stream* inner;
    uint32_t reads = 0, fail_reads = 0, fail_seeks = 0;
    uint64_t fake_size = 0;
    explicit Counting(Stream* s) : base(), inner(s) {
        base.size = [](Stream* t) { auto* c = self(t); return c->fake_size ? c->fake_size : c->inner->size(c->inner); };
        base.tell = [](Stream* t) { return self(t)->inner->tell(self(t)->inner); };
        base.seek = [](Stream* t, uint64_t p) { auto* c = self(t); return c->fail_seeks ? (c->fail_seeks--, 0) : c->inner->seek(c->inner, p); };
        base.read = [](Stream* t, void* b, uint32_t n) {  // a failing read may still write into b
            auto* c = self(t);
            const int ok = (c->reads++, c->inner->read(c->inner, b, n));
            return c->fail_reads ? (c->fail_reads--, 0) : ok;
        };
        base.close = [](Stream*) {};
    }
    static Counting* self(Stream* s) { return reinterpret_cast<Counting*>(s); }
};

struct Reader {
    Reader(MemOps* o, Stream* s) : ops(o), br(byte_reader_create(o, s)) {}
    ~Reader() { byte_reader_destroy(ops, br); }
    MemOps* ops;
    ByteReader* br;
};

// The reader sees any stream through the same calls; these run over files, whose short reads
// still write into the buffer. Every way to run off the end of a 10-byte range, with the
// position each leaves.
TEST(ByteReader, EndOfRange) {
    Fixture f(true, pattern(10));
    enum Op { kU8, kU16, kU32, kPeek, kBlock, kBits, kSkip, kAlign };
    const struct { const char* name; uint32_t pos; Op op; uint32_t n /* bytes or bits */; int ok; uint32_t pos_after; } cases[] = {
        {"u8 last", 9, kU8, 0, 1, 10}, {"u8 at end", 10, kU8, 0, 0, 10},
        {"u16 last two", 8, kU16, 0, 1, 10}, {"u16 over the end", 9, kU16, 0, 0, 10},
        {"u32 over the end", 8, kU32, 0, 0, 10}, {"peek last byte", 9, kPeek, 0, 0, 9},
        {"peek last two", 8, kPeek, 0, 1, 8}, {"block to the end", 4, kBlock, 6, 1, 10},
        {"block one too many", 4, kBlock, 7, 0, 4}, {"empty block at end", 10, kBlock, 0, 1, 10},
        {"empty block past end", 11, kBlock, 0, 0, 11}, {"huge block", 2, kBlock, 0xFFFFFFFFu, 0, 2},
        {"block that would wrap", 9, kBlock, 0xFFFFFFF8u, 0, 9}, {"seven bits of the last byte", 9, kBits, 7, 1, 9},
        {"the last bit of the range", 9, kBits, 8, 0, 10}, {"zero bits at the end", 10, kBits, 0, 0, 10},
        {"far past the end", 0xFFFFFFF0u, kU8, 0, 0, 0xFFFFFFF0u}, {"skip saturates", 10, kSkip, 0xFFFFFFFFu, 1, 0xFFFFFFFFu},
        {"align inside a byte", 3, kAlign, 5, 1, 4}, {"align at the top does not wrap", 0xFFFFFFFFu, kAlign, 5, 1, 0xFFFFFFFFu},
    };
    Counting cs(f.s);
    Reader r(f.ops, &cs.base);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const uint32_t reads_before = cs.reads;
        br_set_pos(r.br, c.pos);
        r.br->bit_pos = 0;
        uint8_t u8 = 0, block[16] = {0};
        uint16_t u16 = 0;
        uint32_t u32 = 0;
        int ok = 0;
        switch (c.op) {
            case kU8: ok = br_read_u8(r.br, &u8); break;
            case kU16: ok = br_read_u16(r.br, &u16); break;
            case kU32: ok = br_read_u32(r.br, &u32); break;
            case kPeek: ok = br_peek_u16(r.br, &u16); break;
            case kBlock: ok = br_read_block(r.br, block, c.n); break;
            case kBits: ok = br_read_bits(r.br, c.n, &u32); break;
            case kSkip: br_skip(r.br, c.n), ok = 1; break;
            case kAlign: r.br->bit_pos = c.n, br_align(r.br), ok = r.br->bit_pos == 0; break;
        }
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(br_get_pos(r.br), c.pos_after);
        if (c.op == kBlock) {
            if (c.ok) EXPECT_EQ(std::memcmp(block, f.bytes.data() + c.pos, c.n), 0);
            else EXPECT_EQ(cs.reads, reads_before) << "refused before reading";
        }
        EXPECT_EQ(br_remaining(r.br), c.pos_after >= 10 ? 0u : 10 - c.pos_after);
    }
}

// A stream that fails must never let stale or uninitialised window bytes out: a script of
// reads under failing reads and seeks (kNew makes a new reader, fail_reads of its calls failing).
TEST(ByteReader, FailingStreams) {
    Fixture f(true, pattern(1200));
    enum Op { kNew, kU8, kBits, kPeek, kBlock };
    const struct { Op op; uint32_t fail_reads, fail_seeks, pos; int ok; } steps[] = {
        {kNew, 1, 0, 0, 1}, {kU8, 0, 0, 0, 1},  // only the fill at creation fails
        {kNew, 1000, 0, 0, 1}, {kU8, 0, 0, 0, 0}, {kBits, 0, 0, 0, 0}, {kPeek, 0, 0, 0, 0},
        {kNew, 0, 0, 0, 1}, {kU8, 0, 1, 700, 0}, {kU8, 0, 0, 700, 1},  // a refill's seek fails once
        {kU8, 1, 0, 100, 0}, {kU8, 0, 0, 701, 1},  // a failed refill read empties the window
        {kBlock, 0, 1, 100, 0},                    // outside the window: the block goes to the stream
    };
    Counting cs(f.s);
    std::unique_ptr<Reader> r;
    for (size_t i = 0; i < std::size(steps); i++) {
        const auto& c = steps[i];
        SCOPED_TRACE(i);
        if (c.fail_reads || c.op == kNew) cs.fail_reads = c.fail_reads;  // until used up
        if (c.fail_seeks) cs.fail_seeks = c.fail_seeks;
        if (c.op == kNew) {
            ASSERT_EQ(f.s->seek(f.s, 0), 1);
            r.reset(new Reader(f.ops, &cs.base));
            continue;
        }
        br_set_pos(r->br, c.pos);
        uint8_t v[4] = {0x77, 0x77, 0x77, 0x77};
        uint16_t v16 = 0x77;
        uint32_t v32 = 0x77;
        const int ok = c.op == kU8 ? br_read_u8(r->br, v) : c.op == kBits ? br_read_bits(r->br, 4, &v32)
                     : c.op == kPeek ? br_peek_u16(r->br, &v16) : br_read_block(r->br, v, 4);
        EXPECT_EQ(ok, c.ok);
        EXPECT_EQ(v[0], ok ? f.bytes[c.pos] : 0x77);
        EXPECT_EQ(v16 + v32, 2 * 0x77);
        EXPECT_EQ(br_get_pos(r->br), c.pos + (ok ? 1 : 0));
    }
}

// Positions are 32-bit: a range beyond 4 GiB is cut to what they address.
TEST(ByteReader, RangesPast32BitsAreClipped) {
    Fixture f(false, pattern(64));
    Counting cs(f.s);
    cs.fake_size = uint64_t(1) << 33;
    ASSERT_EQ(f.s->seek(f.s, 0), 1);
    Reader whole(f.ops, &cs.base);
    EXPECT_EQ(whole.br->length, UINT32_MAX);
    ASSERT_EQ(f.s->seek(f.s, 8), 1);
    Reader late(f.ops, &cs.base);
    EXPECT_EQ(std::vector<uint32_t>({late.br->start, late.br->length}), std::vector<uint32_t>({8, UINT32_MAX - 8}));
}

// Short reads fail but deliver what there was (file) or nothing (memory); seeks past the end
// are accepted and every read then fails; a huge count must not wrap the bounds test.
TEST(Streams, ShortReadsAndHugeCounts) {
    const struct { bool file; uint64_t seek_to; uint32_t n; int ok; uint64_t pos_after; int first; } steps[] = {
        {false, 3, 2, 1, 5, 3},  {false, 3, 3, 0, 3, -1},  {false, 5, 1, 0, 5, -1}, {false, 100, 1, 0, 100, -1},
        {false, 0, 0xFFFFFFFFu, 0, 0, -1}, {false, 4, 0xFFFFFFFDu, 0, 4, -1},
        {true, 3, 3, 0, 5, 3},   {true, 5, 1, 0, 5, -1},
    };
    const std::vector<uint8_t> bytes = {0, 1, 2, 3, 4};
    Fixture mem(false, bytes), file(true, bytes);
    for (size_t i = 0; i < std::size(steps); i++) {
        const auto& c = steps[i];
        SCOPED_TRACE(i);
        Stream* s = (c.file ? file : mem).s;
        ASSERT_EQ(s->seek(s, c.seek_to), 1);
        uint8_t buf[8] = {0xEE};
        EXPECT_EQ(s->read(s, buf, c.n), c.ok);
        EXPECT_EQ(s->tell(s), c.pos_after);
        EXPECT_EQ(buf[0], c.first < 0 ? 0xEE : c.first);
    }
}

// Code-block bytes come back through a few kept stretches of the input: each piece must still
// be the input's bytes at its position, whether a kept stretch holds it, a new one is read for
// it, it is too long for one, or it ends where the input does (a shorter stretch). Blocks whose
// pieces lie in three places, as three layers bring them, cost a read per stretch, not per piece.
TEST(CodedStore, PiecesComeBackThroughKeptStretches) {
    const uint32_t kSize = 300000, kStart = 100, len = kSize - kStart;
    struct Piece { uint32_t pos, n; };
    std::vector<std::vector<Piece>> blocks;
    for (uint32_t k = 0; k < 40; k++)
        blocks.push_back({{1000 + 300 * k, 300}, {90000 + 500 * k, 500}, {200000 + 700 * k, 700}});
    blocks.push_back({{5, 20000}, {len - 10, 10}});
    blocks.push_back({{len - 40000, 3}, {len - 1, 1}, {0, 1}});
    std::mt19937 rng(7);
    for (int k = 0; k < 300; k++) {
        std::vector<Piece> b;
        for (uint32_t i = 0, count = 1 + rng() % 4; i < count; i++) {
            const uint32_t pos = uint32_t(rng() % len), room = len - pos;
            b.push_back({pos, 1 + uint32_t(rng() % (room < 40000 ? room : 40000))});
        }
        blocks.push_back(b);
    }
    for (bool file : {false, true}) {
        SCOPED_TRACE(file ? "file" : "memory");
        Fixture f(file, pattern(kSize));
        ASSERT_NE(f.s, nullptr);
        Counting counting(f.s);
        ASSERT_EQ(f.s->seek(f.s, kStart), 1);
        Reader r(f.ops, &counting.base);
        CodedStore store{};
        store.ops = f.ops;
        store.reader = r.br;
        const uint32_t reads_before = counting.reads;
        for (size_t k = 0; k < blocks.size(); k++) {
            SCOPED_TRACE(k);
            CodeBlock cb{};
            CodedSegment* seg = coded_new_segment(&store);
            ASSERT_NE(seg, nullptr);
            cb.segments.head = seg;
            std::vector<uint8_t> expected;
            for (uint32_t i = 0; i < blocks[k].size(); i++) {
                const Piece& p = blocks[k][i];
                ASSERT_EQ(coded_add_piece(&store, seg, p.pos, p.n, i, 1), 1);
                expected.insert(expected.end(), f.bytes.begin() + kStart + p.pos,
                                f.bytes.begin() + kStart + p.pos + p.n);
            }
            ASSERT_EQ(coded_load_block(&store, &cb), 1);
            ASSERT_NE(seg->data, nullptr);
            EXPECT_EQ(std::vector<uint8_t>(seg->data, seg->data + seg->total_len), expected);
            coded_unload_block(&cb);
            if (k == 39) {
                EXPECT_EQ(counting.reads - reads_before, 3u);
            }
        }
        coded_store_free(&store);
    }
}

// Both probes over both kinds, at byte 0 and further in; the position is always restored.
TEST(Streams, ProbesAnswerAndRestorePosition) {
    const std::vector<uint8_t> sig = {0, 0, 0, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
    std::vector<std::pair<std::vector<uint8_t>, int>> cases = {  // 1 SOC, 2 signature
        {{0xFF, 0x4F}, 1}, {{0xFF}, 0}, {{}, 0}, {{0x4F, 0xFF}, 0}, {{0xFF, 0x4E}, 0},
        {sig, 2}, {std::vector<uint8_t>(sig.begin(), sig.end() - 1), 0},
    };
    for (size_t i = 0; i < sig.size(); i++) {  // one wrong bit anywhere in the signature
        cases.push_back({sig, 0});
        cases.back().first[i] ^= 0x10;
    }
    for (bool file : {true, false})
        for (uint32_t lead : {0u, 7u})
            for (size_t i = 0; i < cases.size(); i++) {
                SCOPED_TRACE(testing::Message() << file << " lead " << lead << " case " << i);
                std::vector<uint8_t> bytes(lead, 0xAA);
                bytes.insert(bytes.end(), cases[i].first.begin(), cases[i].first.end());
                Fixture f(file, bytes);
                ASSERT_EQ(f.s->seek(f.s, lead), 1);
                EXPECT_EQ(jpc_check_soc(f.s), cases[i].second == 1);
                EXPECT_EQ(f.s->tell(f.s), lead);
                EXPECT_EQ(jp2_check_signature(f.s), cases[i].second == 2);
                EXPECT_EQ(f.s->tell(f.s), lead);
            }
}

TEST(MemOps, SizeProductsAndArrays) {
    const struct { uint64_t a, b, cap; int ok; } products[] = {
        {0, UINT64_MAX, 10, 1}, {UINT64_MAX, 0, 10, 1}, {4, 5, 20, 1}, {4, 6, 20, 0},
        {1, kMemMaxBlock, kMemMaxBlock, 1}, {2, kMemMaxBlock / 2 + 1, kMemMaxBlock, 0},
        {4, 0x40000001ull, UINT64_MAX, 1},  // wraps 32 bits, not 64
        {0x100000000ull, 0x100000000ull, UINT64_MAX, 0}, {UINT64_MAX, 2, UINT64_MAX, 0},
    };
    for (const auto& c : products) {
        size_t out = 12345;
        ASSERT_EQ(mem_size_mul(c.a, c.b, c.cap, &out), c.ok) << c.a << " * " << c.b;
        EXPECT_EQ(out, c.ok ? size_t(c.a * c.b) : 12345u);
    }
    MemOps* ops = memops_create();
    const uint64_t refused[][2] = {{UINT64_MAX / 2, 4}, {kMemMaxBlock + 1, 1}, {1, kMemMaxBlock + 1},
                                   {0x80000000ull, 8}, {0x100000001ull, 0x100000000ull}};
    for (const auto& c : refused) {
        EXPECT_EQ(mem_alloc_array(ops, c[0], c[1]), nullptr);
        EXPECT_EQ(mem_zalloc_array(ops, c[0], c[1]), nullptr);
        EXPECT_EQ(mem_new_array<uint32_t>(ops, c[0] * c[1]), nullptr);
    }
    // A refused resize leaves the old block valid and accounted for.
    auto* p = static_cast<uint8_t*>(mem_alloc_array(ops, 16, 1));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 16);
    EXPECT_EQ(mem_realloc_array(ops, p, UINT64_MAX, 2), nullptr);
    EXPECT_TRUE(memops_in_use(ops) == 16u && p[15] == 0x5A);
    mem_free(ops, p);
    EXPECT_EQ(memops_in_use(ops), 0u);
    ops->release(ops);
}

// One budgeted table, step by step: each allocation, resize and release with its result and
// the in-use and peak totals after it.
TEST(MemOps, BudgetAndAccounting) {
    enum Op { kAlloc, kRealloc, kFree };
    const struct { Op op; int slot; uint64_t n; bool ok; uint64_t in_use, peak; } steps[] = {
        {kAlloc, 3, 1001, false, 0, 0}, {kAlloc, 0, 600, true, 600, 600}, {kAlloc, 1, 400, true, 1000, 1000},
        {kAlloc, 2, 1, false, 1000, 1000} /* at the cap */, {kFree, 1, 0, true, 600, 1000}, {kAlloc, 2, 500, false, 600, 1000},
        {kAlloc, 2, 400, true, 1000, 1000}, {kRealloc, 0, 601, false, 1000, 1000}, {kRealloc, 0, 100, true, 500, 1000},
        {kRealloc, 0, 600, true, 1000, 1000}, {kFree, 0, 0, true, 400, 1000},
        {kAlloc, 3, UINT64_MAX - 8, false, 400, 1000},  // no wrap in the budget test
        {kRealloc, 2, UINT64_MAX - 8, false, 400, 1000}, {kFree, 2, 0, true, 0, 1000},
    };
    MemOps* t = memops_create_with_budget(1000);
    void* slots[4] = {};
    for (size_t i = 0; i < std::size(steps); i++) {
        const auto& s = steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i);
        if (s.op == kFree) {
            t->free(t, slots[s.slot]);
            slots[s.slot] = nullptr;
        } else {
            void* p = s.op == kAlloc ? t->alloc(t, size_t(s.n)) : t->realloc(t, slots[s.slot], size_t(s.n));
            EXPECT_EQ(p != nullptr, s.ok);
            if (p) std::memset(slots[s.slot] = p, 0x11, size_t(s.n));
        }
        EXPECT_EQ(memops_in_use(t), s.in_use);
        EXPECT_EQ(memops_peak(t), s.peak);
    }
    t->release(t);
}

}  // namespace
