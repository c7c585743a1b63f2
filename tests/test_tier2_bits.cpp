// Packet-header bit reading: bit stuffing, end of data, tag trees and the small codes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "io/byte_reader.h"
#include "io/stream.h"
#include "support/tier2_fixture.h"
#include "tier2/bit_reader.h"
#include "tier2/packet_codes.h"
#include "tier2/tagtree.h"

namespace {

using t2_test::BitWriter;

// Both byte sources of the bit reader over the same bytes.
class Source {
public:
    Source(std::vector<uint8_t> bytes, bool packed) : bytes_(std::move(bytes)) {
        ops_ = memops_create();
        if (packed) {
            bits_init_memory(&br, bytes_.data(), static_cast<uint32_t>(bytes_.size()), 0);
        } else {
            memory_stream_init(&ms_, bytes_.data(), static_cast<uint32_t>(bytes_.size()));
            reader_ = byte_reader_create(ops_, &ms_.base);
            bits_init_reader(&br, reader_);
        }
    }
    ~Source() {
        byte_reader_destroy(ops_, reader_);
        ops_->release(ops_);
    }
    // Bytes taken from the source so far.
    uint32_t consumed() const { return reader_ ? br_get_pos(reader_) : br.pos; }
    std::string read_bits(uint32_t n) {
        std::string s;
        for (uint32_t i = 0; i < n; i++) s += bits_read_bit(&br) ? '1' : '0';
        return s;
    }
    StuffedBitReader br{};

private:
    std::vector<uint8_t> bytes_;
    MemOps* ops_ = nullptr;
    MemoryStream ms_{};
    ByteReader* reader_ = nullptr;
};

struct BitCase {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t nbits;
    std::string expect;
    bool overrun;
};

const BitCase kBitCases[] = {
    {"stuffing after FF", {0xFF, 0x7F, 0x80}, 16, "1111111111111111", false},
    {"stuffed bit dropped unchecked", {0xFF, 0xFF, 0x00}, 16, "1111111111111110", false},
    {"plain bytes", {0xA5, 0x3C}, 16, "1010010100111100", false},
    {"past the end reads 0x7F", {0x80}, 24, "100000000111111101111111", true},
    {"past the end after FF", {0xFF}, 15, "111111111111111", true},
    {"empty source", {}, 8, "01111111", true},
};

TEST(StuffedBitReader, BitPatternsOverBothSources) {
    for (const auto& c : kBitCases) {
        for (bool packed : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (packed ? " (memory)" : " (reader)"));
            Source src(c.bytes, packed);
            EXPECT_EQ(src.read_bits(c.nbits), c.expect);
            EXPECT_EQ(src.br.overrun != 0, c.overrun);
            EXPECT_LE(src.consumed(), c.bytes.size());
        }
    }
}

// How many bytes a header takes when it ends after `nbits` bits.
struct EndCase {
    const char* name;
    std::vector<uint8_t> bytes;
    uint32_t nbits;
    uint32_t header_bytes;
};

const EndCase kEndCases[] = {
    {"last byte FF, all bits used: owns the stuffing byte", {0xFF, 0x00, 0x55}, 8, 2},
    {"last byte FF, bits left over", {0xFF, 0x00, 0x55}, 5, 1},
    {"plain byte, partly used", {0x80, 0x55}, 1, 1},
    {"FF then a full 7-bit byte", {0xFF, 0x7F, 0x55}, 15, 2},
    {"nothing read yet", {0x55}, 0, 0},
};

TEST(StuffedBitReader, EndOfHeader) {
    for (const auto& c : kEndCases) {
        for (bool packed : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (packed ? " (memory)" : " (reader)"));
            Source src(c.bytes, packed);
            src.read_bits(c.nbits);
            bits_end_header(&src.br);
            EXPECT_EQ(src.consumed(), c.header_bytes);
            EXPECT_EQ(src.br.overrun, 0u);
        }
    }
}

TEST(StuffedBitReader, WideFieldsRoundTripThroughStuffing) {
    std::mt19937 rng(7);
    std::vector<std::pair<uint32_t, uint32_t>> fields;  // value, width
    BitWriter bw;
    for (int i = 0; i < 2000; i++) {
        const uint32_t n = 1 + rng() % 32;
        // Mostly ones, so that 0xFF bytes and their stuffing come up often.
        uint32_t v = (rng() % 4 ? 0xFFFFFFFFu : rng());
        v = n == 32 ? v : v & ((1u << n) - 1);
        fields.emplace_back(v, n);
        bw.bits(v, n);
    }
    std::vector<uint8_t> bytes = bw.finish();
    for (bool packed : {false, true}) {
        Source src(bytes, packed);
        for (const auto& f : fields) ASSERT_EQ(bits_read(&src.br, f.second), f.first);
        bits_end_header(&src.br);
        EXPECT_EQ(src.consumed(), bytes.size());
        EXPECT_EQ(src.br.overrun, 0u);
    }
}

// Encoder and decoder share tree state over layers exactly as inclusion coding uses it.
TEST(TagTree, RoundTripAgainstEncoderOverLayers) {
    MemOps* ops = memops_create();
    std::mt19937 rng(11);
    for (uint32_t w = 1; w <= 7; w++) {
        for (uint32_t h = 1; h <= 5; h++) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h));
            std::vector<uint32_t> first(w * h), zbp(w * h);
            t2_test::TagTreeWriter incl(w, h), zero(w, h);
            for (uint32_t i = 0; i < w * h; i++) {
                first[i] = rng() % 6;  // 5 means never included in layers 0..4
                zbp[i] = rng() % 20;
                incl.set_value(i % w, i / w, first[i]);
                zero.set_value(i % w, i / w, zbp[i]);
            }
            BitWriter bw;
            std::vector<int> done(w * h, 0);
            for (uint32_t layer = 0; layer < 5; layer++)
                for (uint32_t i = 0; i < w * h; i++) {
                    if (done[i]) continue;
                    incl.encode(&bw, i % w, i / w, layer + 1);
                    if (first[i] == layer) {
                        zero.encode(&bw, i % w, i / w, 0xFFFFFFFFu);
                        done[i] = 1;
                    }
                }
            const std::vector<uint8_t> bytes = bw.finish();
            Source src(bytes, true);
            TagTree* ti = tagtree_create(ops, w, h);
            TagTree* tz = tagtree_create(ops, w, h);
            std::fill(done.begin(), done.end(), 0);
            for (uint32_t layer = 0; layer < 5; layer++)
                for (uint32_t i = 0; i < w * h; i++) {
                    if (done[i]) continue;
                    const uint32_t v = tagtree_decode(ti, &src.br, i % w, i / w, layer + 1);
                    ASSERT_EQ(v == layer, first[i] == layer) << "leaf " << i << " layer " << layer;
                    if (v == layer) {
                        ASSERT_EQ(tagtree_decode(tz, &src.br, i % w, i / w, 0xFFFFFFFFu), zbp[i]);
                        done[i] = 1;
                    } else {
                        ASSERT_GT(v, layer);
                    }
                }
            EXPECT_EQ(src.br.overrun, 0u);
            tagtree_destroy(ops, ti);
            tagtree_destroy(ops, tz);
        }
    }
    ops->release(ops);
}

std::vector<uint8_t> pack_bits(const std::string& s) {
    BitWriter bw;
    for (char ch : s) bw.bit(ch == '1');
    return bw.finish();
}

TEST(PacketCodes, PassCountWholeRange) {
    BitWriter bw;
    for (uint32_t m = 1; m <= 164; m++) t2_test::write_pass_count(&bw, m);
    Source src(bw.finish(), true);
    for (uint32_t m = 1; m <= 164; m++) ASSERT_EQ(read_pass_count(&src.br), m);
    EXPECT_EQ(src.br.overrun, 0u);
}

TEST(PacketCodes, LblockCommaCode) {
    struct Case {
        std::string bits;
        uint32_t start, limit;
        int ok;
        uint32_t lblock;
    };
    const Case cases[] = {
        {"0", 3, 32, 1, 3},
        {"1110", 3, 32, 1, 6},
        {std::string(29, '1') + "0", 3, 32, 1, 32},
        {std::string(30, '1') + "0", 3, 32, 0, 33},  // a 33-bit length field could follow
        {std::string(200, '1'), 3, 32, 0, 33},       // stops at once, never runs on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits.size());
        Source src(pack_bits(c.bits), true);
        uint32_t lblock = c.start;
        EXPECT_EQ(read_lblock_increment(&src.br, &lblock, c.limit), c.ok);
        EXPECT_EQ(lblock, c.lblock);
    }
}

}  // namespace
