// Packet decoding: SOP/EPH, packet headers (in line or packed), and where the bodies' bytes
// stand, noted in the code-blocks' codeword segments.
#include "tier2/packets.h"

#include "codestream/jpc_markers.h"
#include "tier1/t1.h"
#include "tier2/bit_reader.h"
#include "tier2/coded_store.h"
#include "tier2/geometry.h"
#include "tier2/packet_codes.h"
#include "tier2/progression.h"
#include "tier2/tagtree.h"
#include "tier2/tier2.h"

namespace dravex {

namespace {

constexpr const char* kMsgPacketData = "Parsing parcket data error.";
constexpr const char* kMsgNoMemory = "Not enough memory for code-block data.";
constexpr const char* kMsgZeroBitplanes =
    "Packet header: zero bit-plane count exceeds the band's bit depth.";
constexpr const char* kMsgTooManyPasses =
    "Packet header: more coding passes than the band's bit depth allows.";
constexpr const char* kMsgDeepBlocks =
    "Code-blocks carry more bit-planes than their band's bit depth allows; decoding them all.";
constexpr const char* kMsgLblock = "Packet header: codeword length field wider than 32 bits.";
constexpr const char* kMsgLengthOverflow = "Packet header: code-block length overflows.";
constexpr const char* kMsgPackedRunOut = "Packed packet headers run out.";
constexpr const char* kMsgPackedBoth = "Both PPM and PPT packed packet headers are present.";
constexpr const char* kMsgDamagedPart =
    "Damaged packet header: the rest of the tile's packets are skipped; it keeps what it has.";
constexpr const char* kMsgTooManyVisits =
    "Packet headers pass over more code-blocks than the codestream's length can justify.";

// Work of the packet headers (tag-tree nodes and code-blocks looked at) per packet byte read:
// a fixed amount plus a rate per byte of packet headers and bodies, so that neither a vast
// precinct nor padding elsewhere in the stream (comments, unknown segments) can buy work the
// packets do not carry. A header looks at a block it reads bits about, and at a few nodes per
// subtree it passes over; real streams stay far below the rate (see README, "Hostile input").
constexpr uint64_t kFreeVisits = uint64_t(1) << 24;
constexpr uint64_t kVisitsPerByte = 256;

constexpr uint8_t kScodSop = 0x02, kScodEph = 0x04;

// Where the packet headers of one tile-part come from.
struct HeaderSource {
    bool packed;          // headers from data (PPM run or PPT), else in line
    const uint8_t* data;
    uint32_t length;      // end of this tile-part's packed bytes
    uint32_t pos;
};

// A packet header that breaks a bound: the tile-part is damaged, not the codestream.
// decode_packets reports the message as a warning and passes over the rest of the tile-part.
inline int damaged(Tier2* t2, const char* message) {
    t2->packet_damage = message;
    return 0;
}

// Data that runs out inside a tile-part that the stream holds whole can only come from a
// damaged length; a tile-part cut off by the stream's end is a truncated codestream.
inline int ran_out(Tier2* t2, const TilePartRecord* tp) {
    const bool whole = tp->Psot != 0 && uint64_t(tp->sot_pos) + tp->Psot < t2->in->reader->length;
    return whole ? damaged(t2, kMsgPacketData) : ctx_fail(t2->in->ctx, kMsgPacketData);
}

inline void add_consumed(TilePartRecord* tp, uint32_t n) {
    tp->consumed = n > UINT32_MAX - tp->consumed ? UINT32_MAX : tp->consumed + n;
}

// Pass count that fills `planes` bit-planes: three passes per bit-plane but the first.
inline uint32_t passes_for_planes(uint32_t planes) { return planes ? 3 * planes - 2 : 1; }

// Whether a block whose first m passes of the packet bring it to `total` passes keeps within
// its band's bit depth; beyond it, whether the samples can still hold every plane. Encoders
// that write too few guard bits code the band's largest coefficients with a plane more than
// the depth allows: those planes decode like any other (the last ones fall below the
// quantisation step and are dropped with the rest of the fraction), so such a block costs a
// warning only. Counts the samples cannot hold are refused: they bound tier-1's work too.
int check_pass_count(Tier2* t2, const Band& band, const TileComponent& tc, const CodeBlock& cb,
                     uint32_t total) {
    const uint32_t plane_limit = uint32_t(band.magnitude_bits) + tc.roi_shift;
    if (total <= passes_for_planes(plane_limit)) return 1;
    if (cb.zero_bitplanes >= kT1MaxPlanes ||
        total > passes_for_planes(kT1MaxPlanes - cb.zero_bitplanes))
        return damaged(t2, kMsgTooManyPasses);
    if (!t2->warned_deep_blocks) ctx_warn(t2->in->ctx, kMsgDeepBlocks);
    t2->warned_deep_blocks = 1;
    return 1;
}

CodedSegment* new_segment(Tier2* t2, CodeBlock& cb, BlockHeaderState& st, uint8_t style,
                          uint32_t w) {
    CodedSegment* seg = coded_new_segment(&t2->coded);
    if (!seg) return nullptr;
    seg->max_passes = segment_capacity(style, w);
    seg->is_mq = segment_is_mq(style, w);
    if (st.tail) st.tail->next = seg;
    else cb.segments.head = seg;
    st.tail = seg;
    if (!st.current) st.current = seg;
    return seg;
}

// Header part of one included code-block: zero bit-planes, passes, Lblock, lengths.
int read_block_header(Tier2* t2, StuffedBitReader* br, const TileComponent& tc,
                      const Band& band, PrecinctBand& pb, CodeBlock& cb, BlockHeaderState& st,
                      uint32_t k, uint32_t j, uint64_t* body) {
    const uint32_t plane_limit = uint32_t(band.magnitude_bits) + tc.roi_shift;
    if (!st.included_before) {
        // Stopping one above the limit bounds the bits a hostile tree can make us read.
        cb.zero_bitplanes = tagtree_decode(pb.zero_bitplane_tree, br, k, j, plane_limit + 1);
        if (cb.zero_bitplanes > plane_limit) return damaged(t2, kMsgZeroBitplanes);
    }
    uint32_t m = read_pass_count(br);
    // The count so far passed this check, so the sum stays far below 2^32.
    if (!check_pass_count(t2, band, tc, cb, st.pass_count + m)) return 0;
    uint32_t lblock = st.lblock_extra + 3;
    if (!read_lblock_increment(br, &lblock, kMaxLengthBits)) return damaged(t2, kMsgLblock);
    st.lblock_extra = lblock - 3;
    CodedSegment* seg = st.current;
    while (m > 0) {
        const uint32_t w = st.pass_count;
        const uint32_t capacity = segment_capacity(tc.cblk_style, w);
        const uint32_t u = m < capacity ? m : capacity;
        if (!seg) {
            seg = new_segment(t2, cb, st, tc.cblk_style, w);
            if (!seg) return ctx_fail(t2->in->ctx, kMsgNoMemory);
        }
        const uint32_t bits = lblock + floor_log2_u32(u);
        if (bits > kMaxLengthBits) return damaged(t2, kMsgLblock);
        seg->new_len = bits_read(br, bits);
        seg->new_passes = u;
        *body += seg->new_len;
        seg->npasses += u;
        st.pass_count += u;
        m -= u;
        seg = seg->next;
    }
    return 1;
}

// The code-blocks of one precinct-band that a packet header reads about, in the header's
// order (rows top to bottom, each left to right), passing over every subtree of the inclusion
// tree whose lower bound is already above the layer: none of its blocks can be included yet
// and their tag-tree decoding would read no bit, so skipping them leaves the bits read the
// same and makes an empty header cost a few steps whatever the precinct holds. Rows whose
// blocks all lie in such subtrees are passed over together.
struct BandWalk {
    Tier2* t2;
    StuffedBitReader* br;
    const TileComponent& tc;
    const Band& band;
    PrecinctBand& pb;
    uint32_t layer;
    uint64_t* body;
    TagTreeLevels levels;
    uint32_t path[kTagTreeMaxLevels];  // node index at each level above the one being visited
    uint32_t row;                      // leaf row being walked
    uint32_t next_row;                 // first row after `row` whose walk can differ
    uint64_t steps;                    // nodes looked at
};

int read_leaf(BandWalk& w, uint32_t k) {
    const uint32_t j = w.row;
    const uint64_t i = uint64_t(j) * w.pb.blocks_across + k;
    CodeBlock& cb = w.pb.blocks[i];
    BlockHeaderState& st = w.pb.states[i];
    // Every block of a precinct-band covers some of it (the grid is cut to the precinct), so
    // none is passed over as empty; the records' bounds are not set yet at this point.
    const bool included = st.included_before
                              ? bits_read_bit(w.br) != 0
                              : tagtree_decode(w.pb.inclusion_tree, w.br, k, j, w.layer + 1) ==
                                    w.layer;
    if (!included) return 1;
    if (!read_block_header(w.t2, w.br, w.tc, w.band, w.pb, cb, st, k, j, w.body)) return 0;
    if (!mem_grow_array(w.t2->in->ctx->ops, &w.t2->included, w.t2->included_count, &w.t2->included_slots))
        return ctx_fail(w.t2->in->ctx, kMsgNoMemory);
    w.t2->included[w.t2->included_count++] = &st;
    return 1;
}

// Node x of level l in the current row, then its children in that row.
int walk_node(BandWalk& w, uint32_t l, uint32_t x) {
    const uint64_t y = w.row >> l;
    w.path[l] = static_cast<uint32_t>(w.levels.base[l] + y * w.levels.width[l] + x);
    w.steps++;
    // The node's lower bound is the largest value on its path; the blocks before it may have
    // raised any of them.
    uint32_t low = 0;
    for (uint32_t a = w.levels.count; a-- > l;) {
        const uint32_t v = w.pb.inclusion_tree->nodes[w.path[a]].value;
        if (v > low) low = v;
    }
    if (low > w.layer) {
        const uint64_t end = (y + 1) << l;
        if (end < w.next_row) w.next_row = static_cast<uint32_t>(end);
        return 1;
    }
    if (l == 0) {
        w.next_row = w.row + 1;
        return read_leaf(w, x);
    }
    for (uint64_t c = 2 * uint64_t(x); c < 2 * uint64_t(x) + 2 && c < w.levels.width[l - 1]; c++)
        if (!walk_node(w, l - 1, static_cast<uint32_t>(c))) return 0;
    return 1;
}

int read_band_header(BandWalk& w) {
    tagtree_levels(w.pb.inclusion_tree, &w.levels);
    if (w.levels.count == 0) return 1;
    for (w.row = 0; w.row < w.pb.blocks_down; w.row = w.next_row) {
        w.next_row = w.pb.blocks_down;
        if (!walk_node(w, w.levels.count - 1, 0)) return 0;
        if (w.next_row <= w.row) w.next_row = w.row + 1;
    }
    return 1;
}

// The packet's header: which blocks it includes (listed in t2->included for the body) and
// what it brings them. Its work is charged to the packet bytes read so far.
int read_packet_header(Tier2* t2, StuffedBitReader* br, const TileComponent& tc,
                       Resolution& res, Precinct& prec, uint32_t layer, int* nonempty,
                       uint64_t* body) {
    t2->included_count = 0;
    *nonempty = bits_read_bit(br);
    if (!*nonempty) return 1;
    for (uint32_t b = 0; b < res.band_count; b++) {
        PrecinctBand& pb = prec.bands[b];
        if (!precinct_band_make_blocks(t2, &pb, t2->packet_bytes + br->fetched))
            return 0;
        if (!pb.blocks || !pb.states || !pb.inclusion_tree) continue;
        BandWalk w{t2, br, tc, res.bands[b], pb, layer, body, {}, {}, 0, 0, 0};
        const int ok = read_band_header(w);
        t2->header_visits += w.steps;
        if (!ok) return 0;
        if (t2->header_visits > kFreeVisits + kVisitsPerByte * (t2->packet_bytes + br->fetched))
            return ctx_fail(t2->in->ctx, kMsgTooManyVisits);
    }
    return 1;
}

// Notes where this packet's bytes for every segment that took passes in its header stand,
// and steps over them: they are read again when the block is decoded (tier2/coded_store.h).
int read_packet_body(Tier2* t2, uint32_t layer, TilePartRecord* tp) {
    ByteReader* reader = t2->in->reader;
    for (uint32_t i = 0; i < t2->included_count; i++) {
        BlockHeaderState& st = *t2->included[i];
        for (CodedSegment* seg = st.current; seg; seg = seg->next) {
            const uint32_t n = seg->new_len;
            if (n > br_remaining(reader)) return ran_out(t2, tp);
            if (n > UINT32_MAX - seg->total_len) return damaged(t2, kMsgLengthOverflow);
            if (!coded_add_piece(&t2->coded, seg, br_get_pos(reader), n, layer, seg->new_passes))
                return ctx_fail(t2->in->ctx, kMsgNoMemory);
            br_skip(reader, n);
            add_consumed(tp, n);
            t2->packet_bytes += n;
            st.included_before = 1;
            if (seg->npasses >= seg->max_passes) st.current = seg->next;
        }
    }
    t2->included_count = 0;
    return 1;
}

// Picks this tile-part's packed header bytes: the next PPM run, or the tile's PPT bytes.
int open_header_source(Tier2* t2, Tile* tile, HeaderSource* src) {
    *src = HeaderSource{};
    if (t2->in->ppm_present) {
        if (tile->ppt_length) return ctx_fail(t2->in->ctx, kMsgPackedBoth);
        const uint32_t pos = t2->ppm_pos;
        if (!t2->ppm_data || pos > t2->ppm_length || t2->ppm_length - pos < 4)
            return ctx_fail(t2->in->ctx, kMsgPackedRunOut);
        const uint8_t* p = t2->ppm_data + pos;
        const uint32_t nppm = (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) |
                              (uint32_t(p[2]) << 8) | p[3];
        if (nppm > t2->ppm_length - pos - 4) return ctx_fail(t2->in->ctx, kMsgPackedRunOut);
        src->packed = true;
        src->data = p + 4;
        src->length = nppm;
        src->pos = 0;
        t2->ppm_pos = pos + 4 + nppm;
        return 1;
    }
    if (tile->ppt_length && tile->ppt_data) {
        src->packed = true;
        src->data = tile->ppt_data;
        src->length = tile->ppt_length;
        src->pos = tile->ppt_pos <= tile->ppt_length ? tile->ppt_pos : tile->ppt_length;
    }
    return 1;
}

// Whether the tile-part's own data still holds packets (Psot, or EOC when Psot is 0).
int tile_part_has_data(Tier2* t2, const TilePartRecord* tp) {
    if (tp->Psot) return tp->consumed < tp->Psot;
    uint16_t next;
    return br_peek_u16(t2->in->reader, &next) && next != kMarkerEOC;
}

// SOP segments before a packet. More than one can stand there when the packets they
// announce had their (empty) headers read from PPT bytes during the previous tile-part;
// packet bodies never start with FF 91, so skipping them all is safe.
int skip_sop(Tier2* t2, const Tile* tile, TilePartRecord* tp) {
    if (!(tile->Scod & kScodSop)) return 1;
    uint16_t next;
    while (br_peek_u16(t2->in->reader, &next) && next == kMarkerSOP) {
        MarkerHeader sop;
        uint16_t nsop;
        if (!jpc_read_marker(t2->in, &sop) || !jpc_read_sop(t2->in, &sop, &nsop)) return 0;
        add_consumed(tp, uint32_t(sop.length) + 2);
    }
    return 1;
}

Precinct& current_precinct(Tile* tile, const ProgressionState* s, Resolution** res) {
    *res = &tile->components[s->component].resolutions[s->resolution];
    return (*res)->precincts[s->precinct];
}

// Marks the rest of the tile-part as passed over on purpose, so that the driver resumes at
// its end without reporting it short.
void pass_over(TilePartRecord* tp) {
    if (tp->Psot && tp->consumed < tp->Psot) tp->consumed = tp->Psot;
}

int read_packets(Tier2* t2, Tile* tile, TilePartRecord* tp, HeaderSource src) {
    ProgressionState* state = tile->progression_state;
    ByteReader* reader = t2->in->reader;
    const bool packed = src.packed;
    const bool ppt = packed && !t2->in->ppm_present;

    if (state->body_pending) {
        // The header was read with the previous tile-part; its body opens this one.
        state->body_pending = 0;
        if (!skip_sop(t2, tile, tp) || !read_packet_body(t2, state->layer, tp)) return 0;
    }
    for (;;) {
        const bool own_data = tile_part_has_data(t2, tp);
        // A PPM run holds this tile-part's headers only, so it is read to its end even when
        // the last packets bring no bytes; PPT bytes run on over the tile-parts.
        if (!own_data && !(packed && src.pos < src.length)) break;
        if (!next_packet(state)) break;
        Resolution* res;
        Precinct& prec = current_precinct(tile, state, &res);
        const TileComponent& tc = tile->components[state->component];
        if (own_data && !skip_sop(t2, tile, tp)) return 0;

        StuffedBitReader br;
        const uint32_t start = br_get_pos(reader);
        if (packed) bits_init_memory(&br, src.data, src.length, src.pos);
        else bits_init_reader(&br, reader);
        int nonempty = 0;
        uint64_t body = 0;
        if (!read_packet_header(t2, &br, tc, *res, prec, state->layer, &nonempty, &body))
            return 0;
        bits_end_header(&br);
        if (br.overrun) return packed ? ctx_fail(t2->in->ctx, kMsgPackedRunOut) : ran_out(t2, tp);
        t2->packet_bytes += br.fetched;

        uint16_t next;
        if (packed) {
            src.pos = br.pos;
            if ((tile->Scod & kScodEph) && src.length - src.pos >= 2 &&
                src.data[src.pos] == 0xFF && src.data[src.pos + 1] == 0x92)
                src.pos += 2;
            if (ppt) tile->ppt_pos = src.pos;
        } else {
            add_consumed(tp, br_get_pos(reader) - start);
            if ((tile->Scod & kScodEph) && br_peek_u16(reader, &next) &&
                next == kMarkerEPH) {
                br_skip(reader, 2);
                add_consumed(tp, 2);
            }
        }
        if (!nonempty) continue;
        if (body > 0 && !own_data && ppt) {
            state->body_pending = 1;  // the next tile-part of the tile brings the bytes
            break;
        }
        if (!read_packet_body(t2, state->layer, tp)) return 0;
    }
    return 1;
}

}  // namespace

int decode_packets(Tier2* t2, TilePartRecord* tp) {
    if (tp->Isot >= t2->in->image->tileNum || !t2->tiles || !t2->tiles[tp->Isot].built ||
        !t2->tiles[tp->Isot].progression_state)
        return ctx_fail(t2->in->ctx, kMsgTileNotBuilt);
    Tile* tile = &t2->tiles[tp->Isot];
    HeaderSource src;
    // Opened even for a damaged tile: a PPM run belongs to each tile-part in turn.
    if (!open_header_source(t2, tile, &src)) return 0;
    if (tile->packets_damaged) {
        pass_over(tp);
        return 1;
    }
    t2->packet_damage = nullptr;
    if (read_packets(t2, tile, tp, src)) return 1;
    if (!t2->packet_damage) return 0;
    // What the tile's blocks gathered before the damage stays; the image goes on.
    ctx_warn(t2->in->ctx, t2->packet_damage);
    ctx_warn(t2->in->ctx, kMsgDamagedPart);
    t2->packet_damage = nullptr;
    tile->packets_damaged = 1;
    pass_over(tp);
    return 1;
}

}  // namespace dravex
