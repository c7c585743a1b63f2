#include "support/tier2_fixture.h"

#include <gtest/gtest.h>

#include "codestream/jpc_segments.h"
#include "tier2/packets.h"
#include "tier2/progression.h"

namespace t2_test {

std::string g_last_error;

Decoder::Decoder(const Image& img) {
    g_last_error.clear();
    ops_ = memops_create();
    ctx_.ops = ops_;
    ctx_.error_hook = [](const char* m) { g_last_error = m; };
    ImageHeader& h = image_;
    h.Xsiz = img.Xsiz, h.Ysiz = img.Ysiz, h.XOsiz = img.XOsiz, h.YOsiz = img.YOsiz;
    h.XTsiz = img.XTsiz, h.YTsiz = img.YTsiz, h.XTOsiz = img.XTOsiz, h.YTOsiz = img.YTOsiz;
    const auto n = uint16_t(img.components.size());
    h.Csiz = h.component_num = n;
    h.ssiz = mem_new_array<uint8_t>(ops_, n);
    h.xrsiz = mem_new_array<uint8_t>(ops_, n);
    h.yrsiz = mem_new_array<uint8_t>(ops_, n);
    for (uint16_t c = 0; c < n; c++) {
        h.ssiz[c] = 7, h.xrsiz[c] = img.components[c].xrsiz, h.yrsiz[c] = img.components[c].yrsiz;
    }
    h.numXtiles = uint32_t((uint64_t(img.Xsiz) - img.XTOsiz + img.XTsiz - 1) / img.XTsiz);
    h.numYtiles = uint32_t((uint64_t(img.Ysiz) - img.YTOsiz + img.YTsiz - 1) / img.YTsiz);
    h.tileNum = h.numXtiles * h.numYtiles;
    in_ = CodestreamReader{&ctx_, nullptr, &image_, 0, 0};
    EXPECT_EQ(tier2_init(&t2_, &in_), 1);
}

Decoder::~Decoder() {
    tier2_free(&t2_);
    for (uint8_t* p : {image_.ssiz, image_.xrsiz, image_.yrsiz}) mem_free(ops_, p);
    EXPECT_EQ(memops_in_use(ops_), 0u) << "tier-2 structures leaked";
    ops_->release(ops_);
}

Tile* Decoder::build_tile(uint32_t t, const std::vector<Style>& styles, uint16_t layers, uint8_t order) {
    // The segments a main header with these parameters holds: a COC for each component (the
    // COD repeats the first) and a QCD with one reversible exponent per band.
    const uint16_t n = image_.component_num;
    std::vector<CocSegment> cocs(n);
    std::vector<CocSegment*> slots(n);
    for (uint16_t c = 0; c < n; c++) {
        const Style& st = styles[c < styles.size() ? c : styles.size() - 1];
        uint8_t* pp = st.precincts.empty() ? nullptr : const_cast<uint8_t*>(st.precincts.data());
        cocs[c].part = CodingStylePart{st.levels, uint8_t(st.xcb - 2), uint8_t(st.ycb - 2), 0, 1, pp};
        slots[c] = &cocs[c];
    }
    CodSegment cod{};
    cod.progression = order, cod.layers = layers, cod.part = cocs[0].part;
    std::vector<uint16_t> exponents(3 * 32 + 1, 8 << 3);
    QuantSegment qcd{0, 0x40, exponents.data(), uint16_t(exponents.size())};
    MarkerSet main{};
    main.component_count = n, main.cod = &cod, main.coc = slots.data(), main.qcd = &qcd;
    if (!tile_build(&t2_, t, &main, nullptr)) return nullptr;
    Tile* tile = &t2_.tiles[t];
    bool ok = true;
    for (uint32_t c = 0; c < tile->component_count; c++) {
        TileComponent& tc = tile->components[c];
        // Every block made up front, as a packet reaching each precinct would.
        for (uint32_t r = 0; ok && r < tc.resolution_count; r++) {
            Resolution& res = tc.resolutions[r];
            for (uint32_t p = 0; p < res.precinct_count; p++)
                for (uint32_t b = 0; ok && b < res.band_count; b++)
                    ok = precinct_band_make_blocks(&t2_, &res.precincts[p].bands[b], 0);
        }
    }
    if (!ok || !tiles_link_blocks(&t2_)) return tile_destroy(&t2_, tile), nullptr;
    for (uint32_t c = 0; c < tile->component_count; c++)
        for (uint32_t r = 0; r < tile->components[c].resolution_count; r++)
            for (uint32_t b = 0; ok && b < 3; b++) ok = band_link_blocks(tile->components[c].resolutions[r], b);
    if (!ok) return tile_destroy(&t2_, tile), nullptr;
    return tile;
}

int Decoder::setup_progression(uint32_t t, const std::vector<Poc>& main_poc, const std::vector<Poc>& part_poc) {
    struct Store {
        std::vector<uint8_t> RS, RE, P;
        std::vector<uint16_t> CS, LYE, CE;
        PocSegment seg{};
        PocSegment* fill(const std::vector<Poc>& entries) {
            for (const Poc& e : entries) {
                RS.push_back(e.RS), CS.push_back(e.CS), LYE.push_back(e.LYE);
                RE.push_back(e.RE), CE.push_back(e.CE), P.push_back(e.P);
            }
            seg.count = uint16_t(entries.size());
            seg.RSpoc = RS.data(), seg.CSpoc = CS.data(), seg.LYEpoc = LYE.data();
            seg.REpoc = RE.data(), seg.CEpoc = CE.data(), seg.Ppoc = P.data();
            return entries.empty() ? nullptr : &seg;
        }
    } main_store, part_store;
    MarkerSet main{}, part{};
    main.component_count = part.component_count = image_.component_num;
    main.poc = main_store.fill(main_poc);
    part.poc = part_store.fill(part_poc);
    return progression_setup(&t2_, t, &main, &part);
}

std::vector<Packet> packet_sequence(Tile* tile, size_t limit) {
    std::vector<Packet> seq;
    ProgressionState* s = tile->progression_state;
    while (seq.size() < limit && next_packet(s)) seq.emplace_back(s->layer, s->resolution, s->component, s->precinct);
    return seq;
}

void BitWriter::bit(uint32_t b) {
    cur_ = (cur_ << 1) | (b & 1);
    if (++nbits_ == limit_) {
        out_.push_back(uint8_t(cur_));
        limit_ = cur_ == 0xFF ? 7 : 8;
        cur_ = nbits_ = 0;
    }
}

std::vector<uint8_t> BitWriter::finish() {
    while (nbits_ != 0) bit(0);
    if (!out_.empty() && out_.back() == 0xFF) out_.push_back(0x00);
    limit_ = 8;
    return std::move(out_);
}

void write_pass_count(BitWriter* bw, uint32_t m) {
    if (m == 1) bw->bits(0, 1);
    else if (m == 2) bw->bits(2, 2);
    else if (m <= 5) bw->bits((3u << 2) | (m - 3), 4);
    else if (m <= 36) bw->bits((15u << 5) | (m - 6), 9);
    else bw->bits((0x1FFu << 7) | (m - 37), 16);
}

TagTreeWriter::TagTreeWriter(uint32_t w, uint32_t h) {
    // Levels of halved grids up to a single root; each node knows its parent.
    size_t base = 0;
    for (;;) {
        const uint32_t pw = (w + 1) / 2, ph = (h + 1) / 2;
        const bool root = w == 1 && h == 1;
        for (uint32_t y = 0; y < h; y++)
            for (uint32_t x = 0; x < w; x++)
                nodes_.push_back({root ? -1 : int32_t(base + size_t(w) * h + (y / 2) * pw + x / 2), 0xFFFFFFFFu, 0, 0});
        if (root) break;
        base += size_t(w) * h;
        w = pw, h = ph;
    }
}

void TagTreeWriter::set_value(uint32_t i, uint32_t v) {
    for (int32_t n = int32_t(i); n >= 0; n = nodes_[n].parent) nodes_[n].value = std::min(nodes_[n].value, v);
}

void TagTreeWriter::encode(BitWriter* bw, uint32_t i, uint32_t threshold) {
    std::vector<int32_t> path;
    for (int32_t n = int32_t(i); n >= 0; n = nodes_[n].parent) path.push_back(n);
    uint32_t low = 0;
    for (size_t k = path.size(); k-- > 0;) {
        Node& n = nodes_[path[k]];
        low = std::max(low, n.low);
        while (low < threshold) {
            if (low >= n.value) {
                if (!n.known) bw->bit(1);
                n.known = 1;
                break;
            }
            bw->bit(0);
            low++;
        }
        n.low = low;
    }
}

PrecinctWriter::PrecinctWriter(uint32_t across, uint32_t down, const std::vector<uint32_t>& first_layer, const std::vector<uint32_t>& zero_bitplanes)
    : incl_(across, down), zbp_(across, down), lblock_(across * down, 3), included_(across * down, 0) {
    for (uint32_t i = 0; i < across * down; i++) {
        incl_.set_value(i, first_layer[i]);
        zbp_.set_value(i, zero_bitplanes[i]);
    }
}

void PrecinctWriter::packet(uint32_t layer, const std::vector<Contribution>& contributions, std::vector<uint8_t>* header,
                            std::vector<uint8_t>* body, bool eph) {
    BitWriter bw;
    body->clear();
    bool any = false;
    for (const Contribution& c : contributions) any = any || !c.empty();
    bw.bit(any);
    for (uint32_t i = 0; any && i < contributions.size(); i++) {
        const Contribution& c = contributions[i];
        if (!included_[i]) {
            incl_.encode(&bw, i, layer + 1);
            if (c.empty()) continue;
            zbp_.encode(&bw, i, 0xFFFFFFFFu);
        } else {
            bw.bit(!c.empty());
            if (c.empty()) continue;
        }
        // Each segment's length takes Lblock + floor(log2(passes)) bits; Lblock grows to fit.
        auto log2 = [](uint64_t v) { uint32_t n = 0; while (v >>= 1) n++; return n; };
        uint32_t m = 0, need = lblock_[i];
        for (const auto& [passes, bytes] : c) {
            m += passes;
            const uint32_t w = bytes.empty() ? 0 : log2(bytes.size()) + 1;
            if (w > log2(passes) + need) need = w - log2(passes);
        }
        write_pass_count(&bw, m);
        for (uint32_t k = lblock_[i]; k < need; k++) bw.bit(1);
        bw.bit(0);
        lblock_[i] = need;
        for (const auto& [passes, bytes] : c) {
            bw.bits(uint32_t(bytes.size()), need + log2(passes));
            body->insert(body->end(), bytes.begin(), bytes.end());
        }
        included_[i] = 1;
    }
    *header = bw.finish();
    if (eph) header->insert(header->end(), {0xFF, 0x92});
}

}  // namespace t2_test
