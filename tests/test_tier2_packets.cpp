// Packet syntax decoded end to end: whole codestreams whose packets an encoder-side writer
// made, decoded through jpcdec. The same packets in line, behind SOP/EPH, split over
// tile-parts, packed into PPM or PPT, or with their passes spread over other layers must give
// the same samples; hostile headers give their message. Streams from black-box encoders
// anchor the whole path: they decode losslessly to their sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "support/app_tool.h"
#include "support/codestream_fixtures.h"
#include "support/tier2_fixture.h"

namespace {

using Bytes = std::vector<uint8_t>;
using t2_test::Contribution;
using cs_test::Messages;
using Layer = std::vector<Contribution>;  // one per code-block of the precinct

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Distinct non-0xFF bytes, so that misplaced data shows.
Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; i++) b[i] = uint8_t(1 + (seed * 37 + i * 11) % 250);
    return b;
}
Contribution groups(std::vector<std::pair<uint32_t, size_t>> g, uint8_t seed) {
    Contribution c;
    for (auto& [passes, n] : g) c.emplace_back(passes, pattern(n, seed++));
    return c;
}

// One tile, no decomposition, 8 x 8 code-blocks: one precinct of `across` x `down` blocks
// (16 x 8 by default), so the packet of layer l is the l-th packet. Reversible QCD: 9
// magnitude bit-planes.
struct Scenario {
    uint32_t across = 2, down = 1;
    uint8_t cblk_style = 0;
    std::vector<Layer> layers;
    std::vector<uint32_t> zero_bitplanes = {1, 0};
};

struct Packet {
    Bytes header, body;
};

std::vector<Packet> encode(const Scenario& s, bool eph = false) {
    std::vector<uint32_t> first(s.across * s.down, 0xFFFF);
    for (size_t i = 0; i < first.size(); i++)
        for (size_t l = s.layers.size(); l-- > 0;)
            if (!s.layers[l][i].empty()) first[i] = uint32_t(l);
    t2_test::PrecinctWriter w(s.across, s.down, first, s.zero_bitplanes);
    std::vector<Packet> out(s.layers.size());
    for (size_t l = 0; l < s.layers.size(); l++) w.packet(uint32_t(l), s.layers[l], &out[l].header, &out[l].body, eph);
    return out;
}

Bytes sop(size_t n) { return {0xFF, 0x91, 0x00, 0x04, uint8_t(n >> 8), uint8_t(n)}; }

// Packets [from, to): [SOP] header body in line, or only the bodies (SOP stays with them)
// when the headers are packed elsewhere, or only the headers.
enum Parts { kInline, kBodies, kHeaders };
Bytes join(const std::vector<Packet>& p, size_t from, size_t to, bool with_sop, Parts parts = kInline) {
    Bytes out;
    for (size_t i = from; i < to; i++) {
        if (with_sop && parts != kHeaders) out = cat({out, sop(i)});
        if (parts != kBodies) out = cat({out, p[i].header});
        if (parts != kHeaders) out = cat({out, p[i].body});
    }
    return out;
}

Bytes main_header(const Scenario& s, uint8_t Scod, const Bytes& extra = {}) {
    cs_test::SizParams siz;
    siz.Xsiz = siz.XTsiz = 8 * s.across, siz.Ysiz = siz.YTsiz = 8 * s.down;
    cs_test::CodParams cod;
    cod.Scod = Scod, cod.layers = uint16_t(s.layers.size()), cod.xcb = cod.ycb = 1;
    cod.cblk_style = s.cblk_style;
    return cs_test::main_header(siz, cod, cs_test::Bytes().raw(extra)).v;
}
// Psot < 0: the exact length; 0 as given.
Bytes tile_part(uint8_t tpsot, uint8_t tnsot, const Bytes& header, const Bytes& data, int psot = -1) {
    const uint32_t length = psot < 0 ? uint32_t(14 + header.size() + data.size()) : uint32_t(psot);
    return cat({cs_test::sot(0, length, tpsot, tnsot).v, header, {0xFF, 0x93}, data});
}
Bytes packed(uint16_t code, uint8_t z, const Bytes& body) {
    return cs_test::segment(code, cs_test::Bytes().u8(z).raw(body)).v;
}
Bytes run_of(const Bytes& h) {  // Nppm and the headers of one tile-part
    const uint32_t n = uint32_t(h.size());
    return cat({{uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, h});
}
const Bytes kEoc = {0xFF, 0xD9};

struct Decoded {
    int ok = 0;
    std::vector<int32_t> samples;
    bool operator==(const Decoded& o) const { return ok == o.ok && samples == o.samples; }
};

Decoded decode(const Bytes& stream) {
    Decoded out;
    cs_test::Decoder dec(stream);
    if (!jpcdec_parse(dec.get()) || !jpcdec_set_output(dec.get(), 1, nullptr, 1)) return out;
    uint32_t w = 0, h = 0;
    jpcdec_get_size(dec.get(), &w, &h);
    std::vector<uint8_t> row(w);
    for (uint32_t y = 0; y < h && jpcdec_decode_row(dec.get(), row.data()); y++)
        out.samples.insert(out.samples.end(), jpcdec_row_samples(dec.get(), 0), jpcdec_row_samples(dec.get(), 0) + w);
    out.ok = !jpcdec_input_failed(dec.get());
    return out;
}
// Every block's stream in one packet, in line.
Bytes one_tile_part(const Scenario& s) {
    return cat({main_header(s, 0), tile_part(0, 1, {}, join(encode(s), 0, s.layers.size(), false)), kEoc});
}

// Three layers; block 1 skips layer 1 and block 0 first comes in with layer 0.
Scenario three_layers(uint8_t style = 0) {
    Scenario s;
    s.cblk_style = style;
    s.layers = {{groups({{3, 20}}, 1), groups({{1, 5}}, 9)},
                {groups({{2, 7}}, 3), {}},
                {groups({{4, 9}}, 4), groups({{2, 6}}, 5)}};
    return s;
}

TEST(Tier2Packets, SameSamplesWhereverThePacketsStand) {
    const Scenario s = three_layers();
    const auto p = encode(s), pe = encode(s, true);
    const Bytes plain = main_header(s, 0), sop_eph = main_header(s, 6), sop_only = main_header(s, 2);
    const Decoded want = decode(cat({plain, tile_part(0, 1, {}, join(p, 0, 3, false)), kEoc}));
    ASSERT_EQ(want.ok, 1) << Messages::errors.at(0);
    ASSERT_NE(std::count(want.samples.begin(), want.samples.end(), 0), 128);
    // Bodies 0-1 and 2, with the headers packed: a PPM run per tile-part, the first split
    // over two segments that arrive out of Z order.
    const Bytes h01 = join(p, 0, 2, false, kHeaders), h2 = join(p, 2, 3, false, kHeaders);
    const Bytes b01 = join(p, 0, 2, false, kBodies), b2 = join(p, 2, 3, false, kBodies);
    const Bytes runs = cat({run_of(h01), run_of(h2)});
    const Bytes ppm = cat({packed(0xFF60, 1, Bytes(runs.begin() + 3, runs.end())),
                           packed(0xFF60, 0, Bytes(runs.begin(), runs.begin() + 3))});
    const Bytes ppt_a = cat({packed(0xFF61, 1, Bytes(h01.begin() + 2, h01.end())),
                             packed(0xFF61, 0, Bytes(h01.begin(), h01.begin() + 2))});  // out of Z order
    const struct {
        const char* name;
        Bytes stream;
    } rows[] = {
        {"SOP and EPH", cat({sop_eph, tile_part(0, 1, {}, join(pe, 0, 3, true)), kEoc})},
        {"SOP allowed but on packet 1 only",
         cat({sop_only, tile_part(0, 1, {}, cat({join(p, 0, 1, false), join(p, 1, 2, true), join(p, 2, 3, false)})), kEoc})},
        {"two tile-parts", cat({plain, tile_part(0, 2, {}, join(p, 0, 2, false)), tile_part(1, 2, {}, join(p, 2, 3, false)), kEoc})},
        {"three tile-parts, one empty", cat({plain, tile_part(0, 3, {}, join(p, 0, 1, false)), tile_part(1, 3, {}, {}),
                                             tile_part(2, 3, {}, join(p, 1, 3, false)), kEoc})},
        {"Psot 0 on the last tile-part",
         cat({plain, tile_part(0, 2, {}, join(p, 0, 1, false)), tile_part(1, 2, {}, join(p, 1, 3, false), 0), kEoc})},
        {"PPM", cat({main_header(s, 0, ppm), tile_part(0, 2, {}, b01), tile_part(1, 2, {}, b2), kEoc})},
        {"PPM with SOP and EPH",
         cat({main_header(s, 6, cat({packed(0xFF60, 0, cat({run_of(join(pe, 0, 2, false, kHeaders)),
                                                             run_of(join(pe, 2, 3, false, kHeaders))}))})),
              tile_part(0, 2, {}, join(pe, 0, 2, true, kBodies)), tile_part(1, 2, {}, join(pe, 2, 3, true, kBodies)), kEoc})},
        {"PPT over two tile-parts", cat({plain, tile_part(0, 2, ppt_a, b01), tile_part(1, 2, packed(0xFF61, 0, h2), b2), kEoc})},
        // Every header arrives with the first tile-part, whose data ends after packet 0's body.
        {"PPT: a body opens the next tile-part",
         cat({plain, tile_part(0, 2, packed(0xFF61, 0, join(p, 0, 3, false, kHeaders)), join(p, 0, 1, false, kBodies)),
              tile_part(1, 2, {}, join(p, 1, 3, false, kBodies)), kEoc})},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(decode(r.stream), want);
        EXPECT_EQ(Messages::errors, std::vector<std::string>{});
        EXPECT_EQ(Messages::warnings, std::vector<std::string>{});
    }
}

// The passes of a block arrive over several layers or in one: the codeword segments (one,
// or split by the block style) must join the same way.
TEST(Tier2Packets, LayersJoinIntoTheSameSegments) {
    // Block 0's passes in groups per layer (one group per codeword segment), its bytes cut in
    // order from one run; block 1 brings one pass with layer 0.
    using Groups = std::vector<std::pair<uint32_t, size_t>>;
    const auto layered = [](uint8_t style, std::vector<Groups> per_layer) {
        const Bytes all = pattern(1000, 7);
        size_t at = 0;
        Scenario s;
        s.cblk_style = style;
        for (size_t l = 0; l < per_layer.size(); l++) {
            Contribution c;
            for (auto [passes, n] : per_layer[l]) {
                c.emplace_back(passes, Bytes(all.begin() + long(at), all.begin() + long(at + n)));
                at += n;
            }
            s.layers.push_back({c, l == 0 ? groups({{1, 6}}, 40) : Contribution{}});
        }
        return s;
    };
    Groups fourteen;
    for (uint32_t i = 0; i < 14; i++) fourteen.emplace_back(1, 2 + i);
    const struct {
        const char* name;
        Scenario whole, layered;
    } rows[] = {
        {"one segment", layered(0, {{{9, 60}}}), layered(0, {{{3, 20}}, {{2, 0}}, {{4, 40}}})},
        {"bypass: 10 MQ passes, then raw and MQ segments", layered(1, {{{10, 30}, {2, 4}, {1, 5}, {2, 6}}}),
         layered(1, {{{4, 8}}, {{6, 22}, {2, 4}}, {{1, 5}, {2, 6}}})},
        {"termination on each pass", layered(4, {fourteen}),
         layered(4, {Groups(fourteen.begin(), fourteen.begin() + 5), Groups(fourteen.begin() + 5, fourteen.end())})},
        {"bypass with termination", layered(5, {fourteen}),
         layered(5, {Groups(fourteen.begin(), fourteen.begin() + 11), Groups(fourteen.begin() + 11, fourteen.end())})},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const Decoded want = decode(one_tile_part(r.whole));
        ASSERT_EQ(want.ok, 1) << Messages::errors.at(0);
        EXPECT_EQ(decode(one_tile_part(r.layered)), want);
        EXPECT_TRUE(Messages::warnings.empty()) << Messages::warnings.at(0);
    }
}

// Precincts of up to 5 x 4 blocks, each block first included in a random layer (or never),
// with its passes spread over the later layers: the inclusion and zero bit-plane trees, the
// skipped rows and the lengths must bring each block the bytes it has in a one-layer stream.
TEST(Tier2Packets, InclusionOverRandomPrecincts) {
    std::mt19937 rng(9);
    for (int iter = 0; iter < 40; iter++) {
        SCOPED_TRACE(iter);
        Scenario layered, whole;
        layered.across = whole.across = 1 + rng() % 5, layered.down = whole.down = 1 + rng() % 4;
        const uint32_t n = layered.across * layered.down, layers = 1 + rng() % 4;
        layered.layers.assign(layers, Layer(n));
        whole.layers.assign(1, Layer(n));
        layered.zero_bitplanes.assign(n, 0);
        for (uint32_t i = 0; i < n; i++) {
            layered.zero_bitplanes[i] = rng() % 9;
            const uint32_t first = rng() % (layers + 1);  // layers: never included
            Bytes all;
            uint32_t passes = 0;
            for (uint32_t l = first; l < layers; l++) {
                if (l > first && rng() % 3 == 0) continue;  // nothing in this layer
                const uint32_t m = 1 + rng() % 4;
                const Bytes piece = pattern(rng() % 40, uint8_t(rng()));
                layered.layers[l][i] = {{m, piece}};
                all.insert(all.end(), piece.begin(), piece.end());
                passes += m;
            }
            if (passes) whole.layers[0][i] = {{passes, all}};
        }
        whole.zero_bitplanes = layered.zero_bitplanes;
        const Decoded want = decode(one_tile_part(whole));
        ASSERT_EQ(want.ok, 1);
        EXPECT_EQ(decode(one_tile_part(layered)), want);
        EXPECT_EQ(Messages::warnings, std::vector<std::string>{});
    }
}

// Header bits for block 0 of layer 0 written by hand: packet nonempty, block included, zero
// bit-planes 0, then `tail`; block 1 is never included.
Bytes header_bits(const std::string& tail) {
    t2_test::BitWriter bw;
    for (char ch : "1" "11" "11" + tail) bw.bit(ch == '1');
    return bw.finish();
}

// A header that breaks a bound damages its tile only: a warning, and the tile's later packets
// are passed over. Data that runs out with the stream is a failure.
TEST(Tier2Packets, HostileHeadersAreContained) {
    const char* const kData = "Parsing parcket data error.";
    const char* const kRunOut = "Packed packet headers run out.";
    // A damaged tile's later tile-part is passed over whole, whatever it holds.
    const auto in_line = [](const Scenario& s, const Bytes& data = {}, bool damaged = true) {
        const Bytes d = data.empty() ? join(encode(s), 0, s.layers.size(), false) : data;
        return cat({main_header(s, 0), tile_part(0, 2, {}, d), tile_part(1, 2, {}, damaged ? pattern(16, 3) : Bytes{}), kEoc});
    };
    const char* const kSkipped = "Damaged packet header: the rest of the tile's packets are skipped; it keeps what it has.";
    Scenario zbp, one;
    zbp.layers = one.layers = {{groups({{1, 3}}, 1), {}}};
    zbp.zero_bitplanes = {10, 0};
    // Block 0 (one zero bit-plane) may have 3 * 8 - 2 passes for its band; up to
    // 3 * (31 - 1) - 2 with a warning, as samples still hold them.
    const auto passes = [](std::vector<uint32_t> per_layer) {
        Scenario s;
        for (uint32_t m : per_layer) s.layers.push_back({groups({{m, 3}}, 1), {}});
        return s;
    };
    const char* const kDeep =
        "Code-blocks carry more bit-planes than their band's bit depth allows; decoding them all.";
    Scenario cut = three_layers();
    const auto p = encode(cut);
    const Bytes h = join(p, 0, 3, false, kHeaders);
    const Bytes long_length = header_bits("0" + std::string(28, '1') + "0" + std::string(31, '1'));
    const Bytes cut_body = cat({main_header(cut, 0), tile_part(0, 1, {}, join(p, 0, 3, false))});
    Bytes short_body = join(p, 0, 3, false);
    short_body.resize(short_body.size() - 5);
    const struct {
        const char* name;
        Bytes stream;
        int ok;
        const char* message;  // a warning when ok, else the error
    } rows[] = {
        {"zero bit-planes above the band's depth", in_line(zbp), 1,
         "Packet header: zero bit-plane count exceeds the band's bit depth."},
        {"as many passes as the band allows", in_line(passes({25}), {}, false), 1, nullptr},
        {"one pass more", in_line(passes({25, 1}), {}, false), 1, kDeep},
        {"as many passes as a sample holds", in_line(passes({88}), {}, false), 1, kDeep},
        {"more passes than a sample holds", in_line(passes({89})), 1,
         "Packet header: more coding passes than the band's bit depth allows."},
        {"passes over two layers beyond a sample", in_line(passes({25, 64})), 1,
         "Packet header: more coding passes than the band's bit depth allows."},
        {"Lblock grows past 32 bits", in_line(one, header_bits("0" + std::string(30, '1') + "0" + std::string(40, '1'))),
         1, "Packet header: codeword length field wider than 32 bits."},
        {"Lblock plus log2(passes) past 32 bits",
         in_line(one, header_bits("111110011" + std::string(26, '1') + "0" + std::string(40, '0'))), 1,
         "Packet header: codeword length field wider than 32 bits."},
        {"a 31-bit length in a whole tile-part", in_line(one, long_length), 1, kData},
        {"a 31-bit length, the stream cut", cat({main_header(one, 0), tile_part(0, 1, {}, long_length, 0)}), 0, kData},
        {"body cut with the stream", Bytes(cut_body.begin(), cut_body.end() - 5), 0, kData},
        {"body short of a tile-part ending with the stream", cat({main_header(cut, 0), tile_part(0, 1, {}, short_body)}), 0, kData},
        {"PPM without a run left", cat({main_header(cut, 0, packed(0xFF60, 0, run_of(h))),
                                        tile_part(0, 2, {}, join(p, 0, 1, false, kBodies)),
                                        tile_part(1, 2, {}, join(p, 1, 3, false, kBodies)), kEoc}), 0, kRunOut},
        {"Nppm past the data", cat({main_header(cut, 0, packed(0xFF60, 0, cat({{0, 0, 1, 0}, h}))),
                                    tile_part(0, 1, {}, join(p, 0, 3, false, kBodies)), kEoc}), 0, kRunOut},
        {"PPT shorter than the headers", cat({main_header(cut, 0), tile_part(0, 1, packed(0xFF61, 0, Bytes(h.begin(), h.begin() + 3)),
                                                                             join(p, 0, 3, false, kBodies)), kEoc}),
         0, kRunOut},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        cs_test::Decoder dec(r.stream);
        EXPECT_EQ(jpcdec_parse(dec.get()), r.ok);
        if (r.ok) {
            EXPECT_EQ(Messages::errors, std::vector<std::string>{});
            std::vector<std::string> want;
            if (r.message) want.push_back(r.message);
            if (r.message && r.message != kDeep) want.push_back(kSkipped);  // damaged
            EXPECT_EQ(Messages::warnings, want);
        } else {
            EXPECT_EQ(Messages::errors, std::vector<std::string>{r.message});
        }
        EXPECT_LT(memops_peak(dec.ops()), uint64_t(1) << 20);  // nothing near the claimed lengths
    }
}

// Streams from black-box encoders (scripts/make-tier2-fixtures): offset grids with small
// precincts in every order, POC (also a tile-part POC repeating the main one with wrong
// orders, and one replacing a different main POC), tile-parts, SOP/EPH, every code-block
// mode, sub-sampled components. Each decodes losslessly to its source.
TEST(Tier2Packets, EncoderStreamsDecodeLosslessly) {
    app_test::Pnm rgb;
    ASSERT_TRUE(app_test::read_pnm(app_test::data_path("t2_rgb_61x47.ppm"), &rgb));
    const Bytes sub = app_test::read_file(app_test::data_path("t2_sub.raw"));
    for (const char* name : {"grid_lrcp", "grid_rlcp", "grid_rpcl", "grid_pcrl", "grid_cprl", "poc", "poc_cs", "parts_r",
                             "parts_l", "parts_c", "modes", "poc_copied", "poc_override", "sub"}) {
        SCOPED_TRACE(name);
        const bool is_sub = std::string(name) == "sub";
        const uint16_t n = is_sub ? 1 : 3;
        cs_test::Decoder dec(app_test::read_file(app_test::data_path("t2_" + std::string(name) + ".j2c")));
        ASSERT_EQ(jpcdec_parse(dec.get()), 1) << Messages::errors.at(0);
        for (const std::string& w : Messages::warnings) EXPECT_EQ(w.find("Tile-part packets"), std::string::npos) << w;
        uint32_t w = 0, h = 0;
        jpcdec_get_size(dec.get(), &w, &h);
        ASSERT_EQ(w * h, 61u * 47u);
        ASSERT_EQ(jpcdec_set_output(dec.get(), n, nullptr, n), 1);
        Bytes got(size_t(w) * h * n);
        for (uint32_t y = 0; y < h; y++) jpcdec_decode_row(dec.get(), got.data() + size_t(y) * w * n);
        const Bytes& source = is_sub ? sub : rgb.samples;
        ASSERT_GE(source.size(), got.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), source.begin())) << "samples differ from the source";
    }
}

}  // namespace
