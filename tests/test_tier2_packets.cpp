// Packet decoding: headers and bodies made by an encoder-side writer, read back into
// codeword segments; SOP/EPH; hostile headers; packed headers (PPM, PPT) against in-line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "codestream/jpcdec.h"
#include "support/codestream_fixtures.h"
#include "support/tier2_fixture.h"
#include "tier2/packets.h"
#include "tier2/progression.h"

namespace {

using t2_test::BlockPlan;
using t2_test::Contribution;
using t2_test::Decoder;
using t2_test::Image;
using t2_test::Style;

using Bytes = std::vector<uint8_t>;
using Layer = std::vector<Contribution>;  // one contribution per block of the precinct

constexpr uint8_t kSop = 0x02, kEph = 0x04;

// Distinct non-0xFF bytes so that misplaced data shows.
Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = static_cast<uint8_t>(1 + (seed * 37 + i * 11) % 250);
    return b;
}

Contribution groups(std::vector<std::pair<uint32_t, size_t>> g, uint8_t seed) {
    Contribution c;
    for (auto& [passes, n] : g) c.groups.emplace_back(passes, pattern(n, seed++));
    return c;
}

// A 64 x 32 tile, no decomposition, 32 x 32 code-blocks: one precinct of two blocks, so
// the packet of layer l is the l-th packet (LRCP).
struct Scenario {
    uint8_t cblk_style = 0;
    uint8_t Scod = 0;
    uint8_t magnitude_bits = 12;
    std::vector<Layer> layers;
    std::vector<uint32_t> zero_bitplanes = {0, 0};
};

struct Packet {
    Bytes header, body;
};

std::vector<Packet> encode(const Scenario& s) {
    std::vector<BlockPlan> plans(2);
    for (size_t i = 0; i < 2; i++) {
        plans[i].zero_bitplanes = s.zero_bitplanes[i];
        for (size_t l = 0; l < s.layers.size() && plans[i].first_layer == 0xFFFF; l++)
            if (!s.layers[l][i].groups.empty()) plans[i].first_layer = uint32_t(l);
    }
    t2_test::PrecinctWriter w({{2, 1, plans}});
    std::vector<Packet> out;
    for (size_t l = 0; l < s.layers.size(); l++) {
        Packet p;
        w.packet(uint32_t(l), {s.layers[l]}, &p.header, &p.body, (s.Scod & kEph) != 0);
        out.push_back(p);
    }
    return out;
}

Bytes sop(uint16_t n) { return {0xFF, 0x91, 0x00, 0x04, uint8_t(n >> 8), uint8_t(n)}; }

// Tile-part data of packets [from, to): [SOP] header body in line, or, when the headers are
// packed elsewhere, only the bodies (SOP stays with them) or only the headers.
enum Parts { kInline, kBodies, kHeaders };
Bytes join(const std::vector<Packet>& packets, size_t from, size_t to, uint8_t Scod,
           Parts parts = kInline) {
    Bytes out;
    auto add = [&out](const Bytes& b) { out.insert(out.end(), b.begin(), b.end()); };
    for (size_t i = from; i < to; i++) {
        if ((Scod & kSop) && parts != kHeaders) add(sop(uint16_t(i)));
        if (parts != kBodies) add(packets[i].header);
        if (parts != kHeaders) add(packets[i].body);
    }
    return out;
}

struct Segment {
    uint32_t is_mq, npasses, max_passes;
    Bytes data;
    bool operator==(const Segment& o) const {
        return is_mq == o.is_mq && npasses == o.npasses && max_passes == o.max_passes &&
               data == o.data;
    }
    friend void PrintTo(const Segment& s, std::ostream* os) {
        *os << "{mq " << s.is_mq << ", " << s.npasses << "/" << s.max_passes << " passes, "
            << s.data.size() << " bytes}";
    }
};

struct Gathered {
    std::vector<std::vector<Segment>> blocks;
    std::vector<uint32_t> zero_bitplanes, passes;
    uint32_t packets_read = 0;  // the precinct's packet counter
    bool operator==(const Gathered& o) const {
        return blocks == o.blocks && zero_bitplanes == o.zero_bitplanes && passes == o.passes &&
               packets_read == o.packets_read;
    }
};

// Runs tile-parts against one tile; a decoder per scenario.
class Reader {
public:
    explicit Reader(const Scenario& s) : s_(s), dec_(image()) {
        Style st;
        st.xcb = st.ycb = 5;
        st.cblk_style = s.cblk_style;
        tile_ = dec_.build_tile(0, {st}, uint16_t(s.layers.size()), 0, s.Scod, s.magnitude_bits);
        EXPECT_NE(tile_, nullptr);
        EXPECT_EQ(dec_.setup_progression(0, {}, {}), 1);
    }
    ~Reader() {
        // Packed bytes belong to the test here, not to the decoder.
        dec_.get()->ppm_data = nullptr;
        tile_->ppt_data = nullptr;
    }
    static Image image() {
        Image img;
        img.Xsiz = 64;
        img.Ysiz = 32;
        return img;
    }
    // Decodes one tile-part whose data is `data` (Psot 0: `data` ends with EOC).
    int part(const Bytes& data, bool psot = true) {
        dec_.set_data(data);
        tp_ = TilePartRecord{};
        tp_.Psot = psot ? uint32_t(14 + data.size()) : 0;
        tp_.consumed = 14;  // SOT segment and SOD
        return decode_packets(dec_.get(), &tp_);
    }
    void use_ppm(const Bytes& runs) {
        ppm_ = runs;
        jpcdec* d = dec_.get();
        d->ppm_present = 1;
        d->ppm_data = ppm_.data();
        d->ppm_length = uint32_t(ppm_.size());
        d->ppm_pos = 0;
    }
    // PPT bytes collected so far for the tile (the read position is kept by tier-2).
    void use_ppt(const Bytes& all) {
        ppt_ = all;
        tile_->ppt_data = ppt_.data();
        tile_->ppt_length = uint32_t(ppt_.size());
    }
    Gathered gathered() const {
        Gathered g;
        const Precinct& prec = tile_->components[0].resolutions[0].precincts[0];
        g.packets_read = prec.packet_counter;
        PrecinctBand& pb = prec.bands[0];
        for (uint32_t i = 0; i < pb.blocks_across * pb.blocks_down; i++) {
            CodeBlock& cb = pb.blocks[i];
            // The bytes come back from the input, as they do for tier-1.
            EXPECT_EQ(coded_load_block(dec_.get(), &cb), 1);
            std::vector<Segment> segs;
            for (const CodedSegment* s = cb.segments.head; s; s = s->next)
                segs.push_back({s->is_mq, s->npasses, s->max_passes,
                                s->data ? Bytes(s->data, s->data + s->total_len) : Bytes()});
            coded_unload_block(&cb);
            g.blocks.push_back(segs);
            g.zero_bitplanes.push_back(cb.zero_bitplanes);
            g.passes.push_back(pb.states[i].pass_count);
        }
        return g;
    }
    const CodeBlock& block(uint32_t i) const {
        return tile_->components[0].resolutions[0].precincts[0].bands[0].blocks[i];
    }
    const BlockHeaderState& state(uint32_t i) const {
        return tile_->components[0].resolutions[0].precincts[0].bands[0].states[i];
    }
    const TilePartRecord& tp() const { return tp_; }
    Tile* tile() const { return tile_; }
    jpcdec* get() const { return dec_.get(); }

private:
    Scenario s_;
    Decoder dec_;
    Tile* tile_ = nullptr;
    TilePartRecord tp_{};
    Bytes ppm_, ppt_;
};

Gathered read_inline(const Scenario& s) {
    const auto packets = encode(s);
    Reader r(s);
    EXPECT_EQ(r.part(join(packets, 0, packets.size(), s.Scod)), 1)
        << t2_test::Messages::last();
    EXPECT_EQ(r.tp().consumed, r.tp().Psot);
    return r.gathered();
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Expected segments for one block, from (is_mq, npasses, max_passes, pieces of groups).
struct SegmentCase {
    const char* name;
    Scenario scenario;
    std::vector<std::vector<Segment>> expect;  // per block
};

std::vector<SegmentCase> segment_cases() {
    std::vector<SegmentCase> cases;
    const uint32_t kUnlimited = 0xFFFFFFFFu;
    {
        Scenario s;
        s.layers = {{groups({{3, 20}}, 1), groups({{1, 5}}, 9)},
                    {groups({{2, 7}}, 3), {}},
                    {groups({{4, 0}}, 4), groups({{2, 6}}, 5)}};
        cases.push_back({"one unlimited segment gathers every layer", s,
                         {{{1, 9, kUnlimited, cat({pattern(20, 1), pattern(7, 3)})}},
                          {{1, 3, kUnlimited, cat({pattern(5, 9), pattern(6, 5)})}}}});
    }
    {
        Scenario s;
        s.cblk_style = 0x01;
        s.layers = {{groups({{10, 30}, {2, 4}}, 1), {}}};
        cases.push_back({"bypass: 12 passes make an MQ and a raw segment", s,
                         {{{1, 10, 10, pattern(30, 1)}, {0, 2, 2, pattern(4, 2)}}, {}}});
    }
    {
        Scenario s;
        s.cblk_style = 0x01;
        s.layers = {{groups({{4, 8}}, 1), {}}, {groups({{6, 9}, {2, 3}}, 4), {}}};
        cases.push_back({"bypass: 4 then 8 passes continue the first segment", s,
                         {{{1, 10, 10, cat({pattern(8, 1), pattern(9, 4)})},
                           {0, 2, 2, pattern(3, 5)}},
                          {}}});
    }
    {
        Scenario s;
        s.cblk_style = 0x01;
        s.layers = {{groups({{10, 12}}, 1), {}}, {groups({{2, 5}, {1, 6}, {1, 2}}, 7), {}}};
        cases.push_back({"bypass: a full first segment is followed by new ones", s,
                         {{{1, 10, 10, pattern(12, 1)},
                           {0, 2, 2, pattern(5, 7)},
                           {1, 1, 1, pattern(6, 8)},
                           {0, 1, 2, pattern(2, 9)}},
                          {}}});
    }
    {
        Scenario s;
        s.cblk_style = 0x04;
        s.layers = {{groups({{1, 3}, {1, 4}, {1, 5}}, 1), {}}, {groups({{1, 6}, {1, 0}}, 4), {}}};
        cases.push_back({"termination on each pass: one segment per pass", s,
                         {{{1, 1, 1, pattern(3, 1)},
                           {1, 1, 1, pattern(4, 2)},
                           {1, 1, 1, pattern(5, 3)},
                           {1, 1, 1, pattern(6, 4)},
                           {1, 1, 1, Bytes()}},
                          {}}});
    }
    {
        Scenario s;
        s.cblk_style = 0x05;
        std::vector<std::pair<uint32_t, size_t>> g;
        for (uint32_t i = 0; i < 14; i++) g.emplace_back(1, 2 + i);
        s.layers = {{groups(g, 1), {}}};
        std::vector<Segment> expect;
        for (uint32_t i = 0; i < 14; i++)
            expect.push_back({(i >= 10 && i % 3 != 0) ? 0u : 1u, 1, 1,
                              pattern(2 + i, uint8_t(1 + i))});
        cases.push_back({"bypass with termination: raw passes from 10 on", s, {expect, {}}});
    }
    {
        Scenario s;
        s.layers = {{{}, groups({{1, 4}}, 1)}, {{}, {}}, {groups({{5, 11}}, 2), groups({{2, 3}}, 3)}};
        s.zero_bitplanes = {7, 2};
        cases.push_back({"block first included in layer 2", s,
                         {{{1, 5, kUnlimited, pattern(11, 2)}},
                          {{1, 3, kUnlimited, cat({pattern(4, 1), pattern(3, 3)})}}}});
    }
    return cases;
}

TEST(PacketDecoding, SegmentsPerCodeBlockStyle) {
    for (const auto& c : segment_cases()) {
        SCOPED_TRACE(c.name);
        const Gathered g = read_inline(c.scenario);
        ASSERT_EQ(g.blocks.size(), 2u);
        for (size_t i = 0; i < 2; i++) EXPECT_EQ(g.blocks[i], c.expect[i]) << "block " << i;
        EXPECT_EQ(g.zero_bitplanes, c.scenario.zero_bitplanes);
    }
}

TEST(PacketDecoding, EmptyPacketReadsOneByte) {
    Scenario s;
    s.layers = {{groups({{1, 3}}, 1), {}}, {{}, {}}, {groups({{1, 2}}, 2), {}}};
    const auto packets = encode(s);
    ASSERT_EQ(packets[1].header, Bytes{0x00});
    Reader r(s);
    ASSERT_EQ(r.part(join(packets, 0, 3, 0)), 1);
    EXPECT_EQ(r.tp().consumed, r.tp().Psot);
    EXPECT_EQ(r.state(0).pass_count, 2u);
    EXPECT_EQ(r.state(1).included_before, 0u);
}

TEST(PacketDecoding, TilePartEndsAtPsotAndResumes) {
    Scenario s;
    s.layers = {{groups({{1, 3}}, 1), groups({{2, 5}}, 2)},
                {groups({{1, 4}}, 3), {}},
                {{}, groups({{3, 9}}, 4)}};
    const auto packets = encode(s);
    const Gathered whole = read_inline(s);
    Reader r(s);
    ASSERT_EQ(r.part(join(packets, 0, 2, 0)), 1);
    EXPECT_EQ(r.tile()->progression_state->layer, 1u);  // stopped after the second packet
    ASSERT_EQ(r.part(join(packets, 2, 3, 0)), 1);
    EXPECT_EQ(r.gathered(), whole);
}

TEST(PacketDecoding, PsotZeroRunsToEoc) {
    Scenario s;
    s.layers = {{groups({{1, 3}}, 1), {}}, {groups({{1, 4}}, 3), {}}, {groups({{1, 6}}, 3), {}}};
    const auto packets = encode(s);
    Reader r(s);
    Bytes data = join(packets, 0, 2, 0);
    data.push_back(0xFF);
    data.push_back(0xD9);
    ASSERT_EQ(r.part(data, false), 1);
    EXPECT_EQ(r.state(0).pass_count, 2u);  // the third packet is not in this tile-part
    EXPECT_EQ(r.get()->reader->pos, data.size() - 2);  // left standing on EOC
}

TEST(PacketDecoding, SopAndEphMarkers) {
    for (uint8_t scod : {uint8_t(0), kSop, kEph, uint8_t(kSop | kEph)}) {
        SCOPED_TRACE(int(scod));
        Scenario s;
        s.Scod = scod;
        s.layers = {{groups({{2, 6}}, 1), groups({{1, 3}}, 2)}, {{}, {}}, {{}, groups({{1, 2}}, 3)}};
        Scenario plain = s;
        plain.Scod = 0;
        EXPECT_EQ(read_inline(s), read_inline(plain));
    }
    // SOP markers are optional per packet even when Scod allows them.
    Scenario s;
    s.Scod = kSop;
    s.layers = {{groups({{2, 6}}, 1), {}}, {groups({{1, 3}}, 2), {}}};
    const auto packets = encode(s);
    Reader r(s);
    ASSERT_EQ(r.part(cat({sop(0), join(packets, 0, 1, 0), join(packets, 1, 2, 0)})), 1);
    EXPECT_EQ(r.tp().consumed, r.tp().Psot);
    EXPECT_EQ(r.state(0).pass_count, 3u);
}

TEST(PacketDecoding, MalformedSopFails) {
    Scenario s;
    s.Scod = kSop;
    s.layers = {{groups({{2, 6}}, 1), {}}};
    const auto packets = encode(s);
    Reader r(s);
    const Bytes bad_sop = {0xFF, 0x91, 0x00, 0x05, 0x00, 0x00, 0x00};
    EXPECT_EQ(r.part(cat({bad_sop, join(packets, 0, 1, 0)})), 0);
    EXPECT_FALSE(t2_test::Messages::errors.empty());
}

// Hand-written header bits for block 0 of layer 0: nonempty, included, zero bit-planes 0,
// then `tail`.
Bytes header_bits(const std::string& tail) {
    t2_test::BitWriter bw;
    for (char ch : std::string("1") + "11" + "11" + tail) bw.bit(ch == '1');
    return bw.finish();
}

// A header that breaks a bound damages its tile-part only: a warning, and the tile's packets
// end there. Data that runs out with the stream is a truncated codestream: a failure.
enum Outcome { kDamaged, kFails };

struct HostileCase {
    const char* name;
    Scenario scenario;
    Bytes data;  // empty: encode the scenario
    size_t cut;  // bytes removed from the end of the encoded data
    Outcome outcome;
    const char* message;
};

std::vector<HostileCase> hostile_cases() {
    std::vector<HostileCase> cases;
    {
        Scenario s;
        s.magnitude_bits = 5;
        s.zero_bitplanes = {6, 0};
        s.layers = {{groups({{1, 3}}, 1), {}}};
        cases.push_back({"zero bit-planes above the band's depth", s, {}, 0, kDamaged,
                         "Packet header: zero bit-plane count exceeds the band's bit depth."});
    }
    {
        Scenario s;
        s.magnitude_bits = 5;  // 13 passes fill the band; samples hold 3 * 31 - 2 = 91
        s.layers = {{groups({{92, 3}}, 1), {}}};
        cases.push_back({"more passes than a sample holds", s, {}, 0, kDamaged,
                         "Packet header: more coding passes than the band's bit depth allows."});
    }
    {
        Scenario s;
        s.magnitude_bits = 5;
        s.layers = {{groups({{90, 3}}, 1), {}}, {groups({{2, 3}}, 2), {}}};
        cases.push_back({"passes over two layers beyond a sample", s, {}, 0, kDamaged,
                         "Packet header: more coding passes than the band's bit depth allows."});
    }
    {
        Scenario s;
        s.layers = {{groups({{1, 3}}, 1), {}}};
        cases.push_back({"Lblock grows past 32 bits", s,
                         header_bits("0" + std::string(30, '1') + "0" + std::string(40, '1')), 0,
                         kDamaged, "Packet header: codeword length field wider than 32 bits."});
        cases.push_back({"a 31-bit length past the data", s,
                         header_bits("0" + std::string(28, '1') + "0" + std::string(31, '1')), 0,
                         kFails, "Parsing parcket data error."});
        Scenario wide = s;
        wide.layers = {{groups({{100, 3}}, 1), {}}};
        wide.magnitude_bits = 40;
        // Lblock 27 is fine on its own, but 100 passes add 6 bits to the field.
        cases.push_back({"Lblock plus log2(passes) past 32 bits", wide,
                         header_bits("111111111" "0111111" "1111111111111111111111110" +
                                     std::string(40, '0')),
                         0, kDamaged, "Packet header: codeword length field wider than 32 bits."});
    }
    {
        Scenario s;
        s.layers = {{groups({{2, 40}}, 1), groups({{1, 20}}, 2)}};
        cases.push_back(
            {"body shorter than its lengths", s, {}, 5, kFails, "Parsing parcket data error."});
        cases.push_back({"header cut short", s, {}, 61, kFails, "Parsing parcket data error."});
    }
    return cases;
}

TEST(PacketDecoding, HostileHeadersAreContained) {
    for (const auto& c : hostile_cases()) {
        SCOPED_TRACE(c.name);
        Bytes data = c.data;
        if (data.empty()) {
            const auto packets = encode(c.scenario);
            data = join(packets, 0, packets.size(), 0);
            ASSERT_GT(data.size(), c.cut);
            data.resize(data.size() - c.cut);
        }
        Reader r(c.scenario);
        if (c.outcome == kFails) {
            EXPECT_EQ(r.part(data), 0);
            EXPECT_EQ(t2_test::Messages::last(), c.message);
        } else {
            EXPECT_EQ(r.part(data), 1);
            EXPECT_TRUE(t2_test::Messages::errors.empty());
            const auto& warnings = t2_test::Messages::warnings;
            EXPECT_NE(std::find(warnings.begin(), warnings.end(), c.message), warnings.end());
            EXPECT_EQ(r.tp().consumed, r.tp().Psot) << "the rest is passed over, not short";
            // The tile's later tile-parts are passed over whole: their packets would be read
            // from the wrong place in the progression.
            const Gathered before = r.gathered();
            EXPECT_EQ(r.part(pattern(16, 9)), 1);
            EXPECT_EQ(r.tp().consumed, r.tp().Psot);
            EXPECT_EQ(r.gathered(), before);
        }
        // Nothing near the claimed lengths was allocated.
        EXPECT_LT(memops_peak(r.get()->ops), uint64_t(1) << 20);
    }
}

TEST(PacketDecoding, UnbuiltTileIsRefused) {
    Decoder dec(Reader::image());
    TilePartRecord tp{};
    tp.Psot = 20;
    tp.consumed = 14;
    EXPECT_EQ(decode_packets(dec.get(), &tp), 0);
    EXPECT_EQ(t2_test::Messages::last(), "Tile-part for a tile that has not been built.");
    tp.Isot = 5;
    EXPECT_EQ(decode_packets(dec.get(), &tp), 0);
}

// Forty layers add forty pieces to one segment, each behind another packet header; they come
// back in order as one run of bytes.
TEST(PacketDecoding, SegmentBytesGatherOverManyLayers) {
    Scenario s;
    for (uint32_t l = 0; l < 40; l++) s.layers.push_back({groups({{1, 100}}, uint8_t(l)), {}});
    s.magnitude_bits = 20;
    const Gathered g = read_inline(s);
    ASSERT_EQ(g.blocks[0].size(), 1u);
    Bytes want;
    for (uint32_t l = 0; l < 40; l++) want = cat({want, pattern(100, uint8_t(l))});
    EXPECT_EQ(g.blocks[0][0].data, want);
}

Bytes run(const Bytes& h) {
    const uint32_t n = uint32_t(h.size());
    return cat({{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, h});
}

TEST(PackedHeaders, PptHeaderWhoseBodyOpensTheNextTilePart) {
    Scenario s;
    s.layers = {{groups({{3, 20}}, 1), {}}, {groups({{1, 5}}, 2), {}}, {{}, groups({{2, 4}}, 3)}};
    const auto packets = encode(s);
    const Gathered expect = read_inline(s);
    Reader r(s);
    // Every PPT byte arrives with the first tile-part, whose data ends after packet 0.
    r.use_ppt(join(packets, 0, 3, 0, kHeaders));
    ASSERT_EQ(r.part(join(packets, 0, 1, 0, kBodies)), 1);
    EXPECT_EQ(r.tile()->progression_state->body_pending, 1u);
    ASSERT_EQ(r.part(join(packets, 1, 3, 0, kBodies)), 1);
    EXPECT_EQ(r.tp().consumed, r.tp().Psot);
    EXPECT_EQ(r.gathered(), expect);
}

TEST(PackedHeaders, TrailingEmptyPacketsAreRead) {
    Scenario s;
    s.layers = {{groups({{3, 20}}, 1), {}}, {{}, {}}, {{}, {}}};
    const auto packets = encode(s);
    Reader ppt(s);
    ppt.use_ppt(join(packets, 0, 3, 0, kHeaders));
    ASSERT_EQ(ppt.part(join(packets, 0, 3, 0, kBodies)), 1);
    EXPECT_EQ(ppt.tile()->ppt_pos, ppt.tile()->ppt_length);
    EXPECT_EQ(ppt.tile()->components[0].resolutions[0].precincts[0].packet_counter, 3u);
    Reader ppm(s);
    ppm.use_ppm(run(join(packets, 0, 3, 0, kHeaders)));
    ASSERT_EQ(ppm.part(join(packets, 0, 3, 0, kBodies)), 1);
    EXPECT_EQ(ppm.get()->ppm_pos, ppm.get()->ppm_length);
}

TEST(PackedHeaders, RunningOutFails) {
    Scenario s;
    s.layers = {{groups({{3, 20}}, 1), groups({{1, 5}}, 2)}, {groups({{1, 5}}, 2), {}}};
    const auto packets = encode(s);
    const Bytes h = join(packets, 0, 2, 0, kHeaders);
    const struct {
        const char* name;
        Bytes packed;
        bool ppt;
    } cases[] = {
        {"no run left", Bytes{0x00, 0x00}, false},
        {"Nppm past the data", cat({{0x00, 0x00, 0x01, 0x00}, h}), false},
        {"run shorter than the headers", run(Bytes(h.begin(), h.begin() + 2)), false},
        {"PPT bytes shorter than the headers", Bytes(h.begin(), h.begin() + 2), true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Reader r(s);
        if (c.ppt) r.use_ppt(c.packed);
        else r.use_ppm(c.packed);
        EXPECT_EQ(r.part(join(packets, 0, 2, 0, kBodies)), 0);
        EXPECT_EQ(t2_test::Messages::last(), "Packed packet headers run out.");
    }
}

// Whole codestreams: one tile, three layers, the same packets in line, in PPM segments
// (a run split across two segments) and in PPT segments over two tile-parts.
cs_test::CodParams cod_params(uint8_t Scod) {
    cs_test::CodParams cod;
    cod.Scod = Scod;
    cod.layers = 3;
    cod.xcb = cod.ycb = 3;
    return cod;
}

// GCC sees the default component list of SizParams as maybe uninitialised; it is not.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
cs_test::SizParams siz_params() {
    cs_test::SizParams siz;
    siz.Xsiz = 64;
    siz.Ysiz = 32;
    siz.XTsiz = 64;
    siz.YTsiz = 32;
    return siz;
}
#pragma GCC diagnostic pop

Bytes tile_part(uint8_t tpsot, const Bytes& header_segments, const Bytes& data) {
    cs_test::Bytes b = cs_test::sot(0, uint32_t(12 + header_segments.size() + 2 + data.size()),
                                    tpsot, 2);
    b.raw(header_segments).u16(0xFF93).raw(data);
    return b.v;
}

Bytes packed_segment(uint16_t code, uint8_t z, const Bytes& body) {
    cs_test::Bytes b;
    b.u8(z).raw(body);
    return cs_test::segment(code, b).v;
}

std::vector<uint64_t> stream_totals(const Bytes& stream) {
    cs_test::Decoder dec(stream);
    if (!jpcdec_parse(dec.get())) {
        ADD_FAILURE() << (cs_test::Messages::errors.empty() ? "" : cs_test::Messages::errors.back());
        return {};
    }
    std::vector<uint64_t> out;
    const Tile& tile = dec.get()->tiles[0];
    const Band& band = tile.components[0].resolutions[0].bands[0];
    for (uint32_t i = 0; i < band.cb_across * band.cb_down; i++) {
        CodeBlock* cb = band.code_blocks[i];
        uint32_t passes = 0;  // the header state is gone after parsing; the segments count
        for (const CodedSegment* s = cb->segments.head; s; s = s->next) passes += s->npasses;
        out.push_back(passes);
        out.push_back(cb->zero_bitplanes);
        EXPECT_EQ(coded_load_block(dec.get(), cb), 1);
        for (const CodedSegment* s = cb->segments.head; s; s = s->next)
            for (uint32_t k = 0; k < s->total_len; k++) out.push_back(s->data[k]);
        coded_unload_block(cb);
    }
    return out;
}

TEST(PackedHeaders, WholeStreamsDecodeIdentically) {
    // 64 x 32 with 32 x 32 blocks: the precinct of the tile's one resolution holds 2 blocks.
    Scenario s;
    s.layers = {{groups({{3, 20}}, 1), groups({{1, 5}}, 9)},
                {{}, groups({{2, 8}}, 2)},
                {groups({{4, 9}}, 4), {}}};
    for (uint8_t scod : {uint8_t(0), uint8_t(kSop | kEph)}) {
        SCOPED_TRACE(int(scod));
        s.Scod = scod;
        const auto packets = encode(s);
        const Bytes main_plain = cs_test::main_header(siz_params(), cod_params(scod)).v;
        const Bytes eoc = {0xFF, 0xD9};
        const Bytes in_line = cat({main_plain,
                                   tile_part(0, {}, join(packets, 0, 2, scod)),
                                   tile_part(1, {}, join(packets, 2, 3, scod)), eoc});
        const auto expect = stream_totals(in_line);
        ASSERT_FALSE(expect.empty());

        // PPM: runs for tile-parts 0 and 1, the first split across two segments, which
        // arrive out of Z order.
        const Bytes h01 = join(packets, 0, 2, 0, kHeaders), h2 = join(packets, 2, 3, 0, kHeaders);
        const Bytes runs = cat({run(h01), run(h2)});
        const size_t split = 3;
        const Bytes ppm1 = packed_segment(0xFF60, 1, Bytes(runs.begin() + split, runs.end()));
        const Bytes ppm0 = packed_segment(0xFF60, 0, Bytes(runs.begin(), runs.begin() + split));
        const Bytes main_ppm = cs_test::main_header(siz_params(), cod_params(scod),
                                                    cs_test::Bytes().raw(ppm1).raw(ppm0)).v;
        const Bytes b01 = join(packets, 0, 2, scod, kBodies), b2 = join(packets, 2, 3, scod, kBodies);
        const Bytes with_ppm = cat({main_ppm, tile_part(0, {}, b01), tile_part(1, {}, b2), eoc});
        EXPECT_EQ(stream_totals(with_ppm), expect);

        // PPT: two segments in the first tile-part, one in the second.
        const Bytes ppt_a = cat({packed_segment(0xFF61, 0, Bytes(h01.begin(), h01.begin() + 2)),
                                 packed_segment(0xFF61, 1, Bytes(h01.begin() + 2, h01.end()))});
        const Bytes with_ppt = cat({main_plain, tile_part(0, ppt_a, b01),
                                    tile_part(1, packed_segment(0xFF61, 0, h2), b2), eoc});
        EXPECT_EQ(stream_totals(with_ppt), expect);
    }
}

}  // namespace
