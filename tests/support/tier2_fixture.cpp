#include "support/tier2_fixture.h"

#include <gtest/gtest.h>


#include "codestream/jpc_segments.h"
#include "io/byte_reader.h"
#include "tier2/packets.h"
#include "tier2/progression.h"

namespace t2_test {

std::vector<std::string> Messages::errors, Messages::warnings;

ComponentStyle Style::get() const {
    ComponentStyle s{};
    s.levels = levels;
    s.xcb = xcb;
    s.ycb = ycb;
    s.cblk_style = cblk_style;
    s.transform = transform;
    s.precinct_sizes = precincts.empty() ? nullptr : precincts.data();
    s.roi_shift = roi_shift;
    return s;
}

Decoder::Decoder(const Image& img) {
    Messages::clear();
    ops_ = memops_create();
    d_ = mem_new<jpcdec>(ops_);
    d_->ops = ops_;
    d_->error_hook = &Messages::on_error;
    d_->warning_hook = &Messages::on_warning;
    d_->Xsiz = img.Xsiz;
    d_->Ysiz = img.Ysiz;
    d_->XOsiz = img.XOsiz;
    d_->YOsiz = img.YOsiz;
    d_->XTsiz = img.XTsiz;
    d_->YTsiz = img.YTsiz;
    d_->XTOsiz = img.XTOsiz;
    d_->YTOsiz = img.YTOsiz;
    const auto n = static_cast<uint16_t>(img.components.size());
    d_->Csiz = d_->component_num = n;
    d_->ssiz = mem_new_array<uint8_t>(ops_, n);
    d_->xrsiz = mem_new_array<uint8_t>(ops_, n);
    d_->yrsiz = mem_new_array<uint8_t>(ops_, n);
    for (uint16_t c = 0; c < n; c++) {
        d_->ssiz[c] = static_cast<uint8_t>(img.components[c].depth - 1);
        d_->xrsiz[c] = img.components[c].xrsiz;
        d_->yrsiz[c] = img.components[c].yrsiz;
    }
    d_->numXtiles = static_cast<uint32_t>(
        (uint64_t(img.Xsiz) - img.XTOsiz + img.XTsiz - 1) / img.XTsiz);
    d_->numYtiles = static_cast<uint32_t>(
        (uint64_t(img.Ysiz) - img.YTOsiz + img.YTsiz - 1) / img.YTsiz);
    d_->tileNum = d_->numXtiles * d_->numYtiles;
    d_->tiles = mem_new_array<Tile>(ops_, d_->tileNum);
}

Decoder::~Decoder() {
    for (uint32_t t = 0; t < d_->tileNum; t++) tile_destroy(d_, &d_->tiles[t]);
    mem_free(ops_, d_->tiles);
    coded_store_free(d_);
    arena_free(ops_, &d_->header_arena);
    mem_free(ops_, d_->included);
    mem_free(ops_, d_->ssiz);
    mem_free(ops_, d_->xrsiz);
    mem_free(ops_, d_->yrsiz);
    if (d_->reader) byte_reader_destroy(ops_, d_->reader);
    ops_->free(ops_, d_);
    EXPECT_EQ(memops_in_use(ops_), 0u) << "tier-2 structures leaked";
    ops_->release(ops_);
}

Tile* Decoder::build_tile(uint32_t t, const std::vector<Style>& styles, uint16_t layers,
                          uint8_t order, uint8_t Scod, uint8_t magnitude_bits) {
    if (!tile_build_bounds(d_, t)) return nullptr;
    Tile* tile = &d_->tiles[t];
    tile->layers = layers;
    tile->progression = order;
    tile->Scod = Scod;
    for (uint32_t c = 0; c < tile->component_count; c++) {
        const Style& st = styles[c < styles.size() ? c : styles.size() - 1];
        const ComponentStyle cs = st.get();
        if (!tile_component_apply_style(d_, &tile->components[c], &cs)) {
            tile_release(d_, tile);
            return nullptr;
        }
        TileComponent& tc = tile->components[c];
        for (uint32_t r = 0; r < tc.resolution_count; r++) {
            Resolution& res = tc.resolutions[r];
            for (uint32_t b = 0; b < 3; b++) res.bands[b].magnitude_bits = magnitude_bits;
            // Every block made up front, as a packet reaching each precinct would, so that
            // the tests can look at all of them.
            for (uint32_t p = 0; p < res.precinct_count; p++)
                for (uint32_t b = 0; b < res.band_count; b++)
                    if (!precinct_band_make_blocks(d_, res.bands[b], &res.precincts[p].bands[b], 0)) {
                        tile_release(d_, tile);
                        return nullptr;
                    }
        }
    }
    if (!tiles_link_blocks(d_)) {
        tile_release(d_, tile);
        return nullptr;
    }
    tile->built = 1;
    return tile;
}

namespace {

struct PocStore {
    std::vector<uint8_t> RS, RE, P;
    std::vector<uint16_t> CS, LYE, CE;
    PocSegment seg{};
    PocSegment* fill(const std::vector<Decoder::Poc>& entries) {
        if (entries.empty()) return nullptr;
        for (const auto& e : entries) {
            RS.push_back(e.RS);
            CS.push_back(e.CS);
            LYE.push_back(e.LYE);
            RE.push_back(e.RE);
            CE.push_back(e.CE);
            P.push_back(e.P);
        }
        seg.count = static_cast<uint16_t>(entries.size());
        seg.RSpoc = RS.data();
        seg.CSpoc = CS.data();
        seg.LYEpoc = LYE.data();
        seg.REpoc = RE.data();
        seg.CEpoc = CE.data();
        seg.Ppoc = P.data();
        return &seg;
    }
};

}  // namespace

int Decoder::setup_progression(uint32_t t, const std::vector<Poc>& main_poc,
                               const std::vector<Poc>& part_poc) {
    PocStore main_store, part_store;
    MarkerSet main{}, part{};
    main.component_count = part.component_count = d_->component_num;
    main.poc = main_store.fill(main_poc);
    part.poc = part_store.fill(part_poc);
    return progression_setup(d_, t, &main, &part);
}

std::vector<Packet> packet_sequence(Tile* tile, size_t limit) {
    std::vector<Packet> seq;
    ProgressionState* s = tile->progression_state;
    while (seq.size() < limit && next_packet(s))
        seq.emplace_back(s->layer, s->resolution, s->component, s->precinct);
    return seq;
}

void BitWriter::bit(uint32_t b) {
    cur_ = (cur_ << 1) | (b & 1);
    if (++nbits_ == limit_) {
        out_.push_back(static_cast<uint8_t>(cur_));
        limit_ = cur_ == 0xFF ? 7 : 8;
        cur_ = 0;
        nbits_ = 0;
    }
}

void BitWriter::bits(uint32_t value, uint32_t n) {
    for (uint32_t i = n; i-- > 0;) bit((value >> i) & 1);
}

std::vector<uint8_t> BitWriter::finish() {
    while (nbits_ != 0) bit(0);
    if (!out_.empty() && out_.back() == 0xFF) out_.push_back(0x00);
    std::vector<uint8_t> done;
    done.swap(out_);
    limit_ = 8;
    return done;
}

TagTreeWriter::TagTreeWriter(uint32_t w, uint32_t h) : w_(w), h_(h) {
    std::vector<std::pair<uint32_t, uint32_t>> dims;
    uint32_t lw = w, lh = h;
    for (;;) {
        dims.emplace_back(lw, lh);
        if (lw == 1 && lh == 1) break;
        lw = (lw + 1) / 2;
        lh = (lh + 1) / 2;
    }
    size_t base = 0;
    for (size_t l = 0; l < dims.size(); l++) {
        const size_t up = base + size_t(dims[l].first) * dims[l].second;
        for (uint32_t y = 0; y < dims[l].second; y++)
            for (uint32_t x = 0; x < dims[l].first; x++) {
                const int32_t parent =
                    l + 1 < dims.size()
                        ? static_cast<int32_t>(up + (y / 2) * dims[l + 1].first + x / 2)
                        : -1;
                nodes_.push_back(Node{parent, 0xFFFFFFFFu, 0, 0});
            }
        base = up;
    }
}

void TagTreeWriter::set_value(uint32_t x, uint32_t y, uint32_t v) {
    int32_t i = static_cast<int32_t>(y * w_ + x);
    nodes_[i].value = v;
    for (i = nodes_[i].parent; i >= 0; i = nodes_[i].parent)
        if (v < nodes_[i].value) nodes_[i].value = v;
}

void TagTreeWriter::encode(BitWriter* bw, uint32_t x, uint32_t y, uint32_t threshold) {
    std::vector<int32_t> path;
    for (int32_t i = static_cast<int32_t>(y * w_ + x); i >= 0; i = nodes_[i].parent)
        path.push_back(i);
    uint32_t low = 0;
    for (size_t k = path.size(); k-- > 0;) {
        Node& n = nodes_[path[k]];
        if (low > n.low) n.low = low;
        else low = n.low;
        while (low < threshold) {
            if (low >= n.value) {
                if (!n.known) {
                    bw->bit(1);
                    n.known = 1;
                }
                break;
            }
            bw->bit(0);
            low++;
        }
        n.low = low;
    }
}

PrecinctWriter::PrecinctWriter(std::vector<BandPart> parts) : parts_(std::move(parts)) {
    for (const auto& p : parts_) {
        incl_.emplace_back(p.across, p.down);
        zbp_.emplace_back(p.across, p.down);
        for (uint32_t i = 0; i < p.across * p.down; i++) {
            incl_.back().set_value(i % p.across, i / p.across, p.blocks[i].first_layer);
            zbp_.back().set_value(i % p.across, i / p.across, p.blocks[i].zero_bitplanes);
        }
        lblock_.emplace_back(p.across * p.down, 3);
        included_.emplace_back(p.across * p.down, 0);
    }
}

void write_pass_count(BitWriter* bw, uint32_t m) {
    if (m == 1) bw->bits(0, 1);
    else if (m == 2) bw->bits(2, 2);
    else if (m <= 5) bw->bits((3u << 2) | (m - 3), 4);
    else if (m <= 36) bw->bits((15u << 5) | (m - 6), 9);
    else bw->bits((0x1FFu << 7) | (m - 37), 16);
}

namespace {

uint32_t log2_floor(uint32_t v) {
    uint32_t n = 0;
    while (v >>= 1) n++;
    return n;
}

uint32_t bit_width(uint64_t v) {
    uint32_t n = 0;
    while (v) {
        n++;
        v >>= 1;
    }
    return n;
}

}  // namespace

void PrecinctWriter::packet(uint32_t layer,
                            const std::vector<std::vector<Contribution>>& contributions,
                            std::vector<uint8_t>* header, std::vector<uint8_t>* body,
                            bool eph) {
    BitWriter bw;
    bool any = false;
    for (const auto& part : contributions)
        for (const auto& c : part) any = any || !c.groups.empty();
    header->clear();
    body->clear();
    if (!any) {
        bw.bit(0);
    } else {
        bw.bit(1);
        for (size_t b = 0; b < parts_.size(); b++) {
            const BandPart& part = parts_[b];
            for (uint32_t i = 0; i < part.across * part.down; i++) {
                const uint32_t x = i % part.across, y = i / part.across;
                const Contribution& c = contributions[b][i];
                const bool inc = !c.groups.empty();
                if (!included_[b][i]) {
                    incl_[b].encode(&bw, x, y, layer + 1);
                    if (!inc) continue;
                    zbp_[b].encode(&bw, x, y, 0xFFFFFFFFu);
                } else {
                    bw.bit(inc);
                    if (!inc) continue;
                }
                uint32_t m = 0;
                uint32_t need = lblock_[b][i];
                for (const auto& g : c.groups) {
                    m += g.first;
                    const uint32_t w = bit_width(g.second.size());
                    const uint32_t extra = log2_floor(g.first);
                    if (w > extra && w - extra > need) need = w - extra;
                }
                write_pass_count(&bw, m);
                for (uint32_t k = lblock_[b][i]; k < need; k++) bw.bit(1);
                bw.bit(0);
                lblock_[b][i] = need;
                for (const auto& g : c.groups) {
                    bw.bits(static_cast<uint32_t>(g.second.size()),
                            need + log2_floor(g.first));
                    body->insert(body->end(), g.second.begin(), g.second.end());
                }
                included_[b][i] = 1;
            }
        }
    }
    *header = bw.finish();
    if (eph) {
        header->push_back(0xFF);
        header->push_back(0x92);
    }
}

}  // namespace t2_test
