// The jpcdec object: creation, destruction and the parse driver over the tile-parts.
#include <cstring>

#include "codestream/jpc_internal.h"
#include "codestream/jpc_markers.h"
#include "codestream/jpc_packed.h"
#include "codestream/jpc_params.h"
#include "decoder/jpcdec_impl.h"
#include "tier2/packets.h"
#include "tier2/progression.h"
#include "tier2/tile.h"

namespace dravex {

namespace {

constexpr const char* kMsgMissingEoc = "Missing EOC marker";
constexpr const char* kMsgRegionOutside = "The region holds no part of the image.";
constexpr const char* kMsgReductionTooLarge =
    "The reduction asks for more resolution levels than a tile-component has.";
constexpr const char* kMsgLaterPartFirst =
    "Tile-part with TPsot > 0 for a tile whose first tile-part has not been read.";
constexpr const char* kMsgFirstPartAgain =
    "Second tile-part with TPsot 0 for a tile that is already built.";
constexpr const char* kMsgNoTilePart =
    "Expected a tile-part (SOT marker) or EOC, found another marker.";
constexpr const char* kMsgEndsEarly = "The codestream ends before every tile has been read.";
constexpr const char* kMsgLengthMismatch =
    "Tile-part packets did not fill the tile-part length (Psot); resuming at its end.";
constexpr const char* kMsgTrailingData =
    "Tile-part packets ended before the end of the tile-part; data skipped up to EOC.";
constexpr const char* kMsgNoMarkMemory = "Out of memory for the tile-part marks.";

// What follows a tile-part.
enum class Next { Sot, End, Failed };

// Where one tile-part's packets start, so that they can be read again.
struct PartMark {
    TilePartRecord tp;  // as it stood after the tile-part header
    uint32_t data_pos;
    uint32_t ppm_pos;
};

// Two readings of a tile's packets are possible when its first tile-part header brings a POC
// that differs from the main header's: the tile-part's entries replace the main header's, or
// they follow them. Streams of both kinds exist: some encoders mean to replace, while one
// repeats the main header's entries in the first tile-part with every order byte 0 and lays
// the packets out by the main header's orders. The packets are read the likelier way first
// (the second for that encoder's copy, else the first); if they fail or do not fill the
// tile-parts' lengths, the tile is read again the other way, and that reading is kept if it
// fits. Until then the tile-parts are marked here.
struct OpenReading {
    PartMark* marks;
    uint32_t count, slots;
    uint32_t settled;     // one reading has been chosen: no more trials
    uint32_t main_first;  // the reading tried first puts the main header's entries first
};

// Per tile, the tile-part count its SOT segments announced (TNsot, 0 = not stated), and the
// open readings (nullptr for a tile read one way only).
struct PartCounts {
    uint8_t* announced;
    OpenReading** readings;
};

// Whether b lists a's entries; with `orders_zero`, b's progression orders must all be 0
// (LRCP) instead of a's.
bool same_poc_entries(const PocSegment* a, const PocSegment* b, bool orders_zero) {
    uint32_t i = 0, j = 0;
    for (;;) {
        while (a && i == a->count) a = a->next, i = 0;
        while (b && j == b->count) b = b->next, j = 0;
        if (!a || !b) return !a && !b;
        if (a->RSpoc[i] != b->RSpoc[j] || a->CSpoc[i] != b->CSpoc[j] ||
            a->LYEpoc[i] != b->LYEpoc[j] || a->REpoc[i] != b->REpoc[j] ||
            a->CEpoc[i] != b->CEpoc[j] || b->Ppoc[j] != (orders_zero ? 0 : a->Ppoc[i]))
            return false;
        i++, j++;
    }
}

// The open reading of the tile-part's tile, created on its first tile-part when there are
// two readings; nullptr when the tile is read one way. 0 after reporting.
int find_open_reading(jpcdec* d, PartCounts* counts, const TilePartRecord* tp,
                      const MarkerSet* main, const MarkerSet* part, OpenReading** out) {
    *out = nullptr;
    OpenReading*& slot = counts->readings[tp->Isot];
    if (tp->TPsot == 0 && main->poc && part->poc && !same_poc_entries(main->poc, part->poc, false)) {
        slot = mem_new<OpenReading>(d->ctx.ops);
        if (!slot) return ctx_fail(&d->ctx, kMsgNoMarkMemory);
        // The main header's entries with every order turned into LRCP: that encoder's copy,
        // whose packets follow the main header. Small tiles can fit both readings, so this
        // one is tried first.
        slot->main_first = same_poc_entries(main->poc, part->poc, true) ? 1 : 0;
    }
    if (slot && !slot->settled) *out = slot;
    return 1;
}

// Whether the packets just read end where the tile-part does.
bool packets_fit(jpcdec* d, const TilePartRecord* tp) {
    if (tp->Psot) return tp->consumed == tp->Psot;
    uint16_t next;
    return br_remaining(d->reader) == 0 ||
           (br_peek_u16(d->reader, &next) && next == kMarkerEOC);
}

// Reads the marked tile-parts of a tile again from its first packet, with the main header's
// entries ahead of the tile-part's records (`lead`) or without (nullptr). `tp` receives the
// last tile-part's record. With `trial` set, stops at the first tile-part that fails or does
// not fit and returns 0; otherwise returns 0 only on a failure.
int reread_tile(jpcdec* d, Tile* tile, const OpenReading* open, const PocSegment* lead,
                bool trial, TilePartRecord* tp) {
    tile_forget_packets(tile);
    if (!progression_restart(&d->t2, tile->progression_state, lead)) return 0;
    for (uint32_t i = 0; i < open->count; i++) {
        const PartMark& mark = open->marks[i];
        br_set_pos(d->reader, mark.data_pos);
        d->reader->bit_pos = 0;
        d->t2.ppm_pos = mark.ppm_pos;
        TilePartRecord part = mark.tp;
        const int ok = decode_packets(&d->t2, &part);
        *tp = part;
        if (!ok) return 0;
        if (trial && !packets_fit(d, &part)) return 0;
    }
    return 1;
}

// Reads a tile-part's packets while the tile's reading is open (see OpenReading).
int read_packets_on_trial(jpcdec* d, Tile* tile, OpenReading* open, const MarkerSet* main,
                          TilePartRecord* tp) {
    const PocSegment* first = open->main_first ? main->poc : nullptr;
    const PocSegment* second = open->main_first ? nullptr : main->poc;
    if (open->count == 0 && first && !progression_restart(&d->t2, tile->progression_state, first))
        return 0;
    if (!mem_grow_array(d->ctx.ops, &open->marks, open->count, &open->slots))
        return ctx_fail(&d->ctx, kMsgNoMarkMemory);
    open->marks[open->count++] = PartMark{*tp, br_get_pos(d->reader), d->t2.ppm_pos};
    ctx_hold(&d->ctx);
    const bool fits = decode_packets(&d->t2, tp) && packets_fit(d, tp);
    ctx_release(&d->ctx, fits);
    if (fits) return 1;
    // The other reading. Whatever comes of it, the tile is not tried again.
    open->settled = 1;
    ctx_hold(&d->ctx);
    const bool other_fits = reread_tile(d, tile, open, second, true, tp);
    ctx_release(&d->ctx, other_fits);
    if (other_fits) return 1;
    // Neither fits: the first reading, reported as it goes.
    return reread_tile(d, tile, open, first, false, tp);
}

// Every tile has had its tile-parts, as far as the stream states their number.
bool every_tile_read(const jpcdec* d, const PartCounts& counts) {
    for (uint32_t t = 0; t < d->image.tileNum; t++) {
        if (!d->t2.tiles[t].parts_seen) return false;
        if (d->t2.tiles[t].parts_seen < counts.announced[t]) return false;
    }
    return true;
}

// Something other than a tile-part where one should start: an end when every tile has been
// read (the stream merely lacks its EOC), a failure otherwise (most likely a truncation).
Next end_without_eoc(jpcdec* d, const PartCounts& counts, const char* failure) {
    if (!every_tile_read(d, counts)) {
        ctx_fail(&d->ctx, failure);
        return Next::Failed;
    }
    ctx_warn(&d->ctx, kMsgMissingEoc);
    return Next::End;
}

Next after_marker(jpcdec* d, const PartCounts& counts, const MarkerHeader* m) {
    if (m->code == kMarkerEOC) return Next::End;
    if (m->code != kMarkerSOT) return end_without_eoc(d, counts, kMsgNoTilePart);
    return jpc_check_sot_length(&d->syntax, m) ? Next::Sot : Next::Failed;
}

// A tile-part of known length: the next one starts Psot bytes after its SOT, wherever its
// packets stopped (packet data holds FF xx pairs, so searching from there is not safe).
Next next_after_sized_part(jpcdec* d, const PartCounts& counts, const TilePartRecord* tp) {
    if (tp->consumed != tp->Psot) ctx_warn(&d->ctx, kMsgLengthMismatch);
    const uint64_t end = uint64_t(tp->sot_pos) + tp->Psot;
    br_set_pos(d->reader, end > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(end));
    d->reader->bit_pos = 0;
    MarkerHeader m;
    if (!jpc_read_marker_quiet(&d->syntax, &m)) return end_without_eoc(d, counts, kMsgEndsEarly);
    return after_marker(d, counts, &m);
}

// A tile-part that runs to EOC: FF D9 and FF 90 cannot occur inside packet data, so scan for
// them byte by byte (marker lengths read from leftover data would be meaningless).
Next next_after_open_part(jpcdec* d, const PartCounts& counts) {
    ByteReader* br = d->reader;
    br->bit_pos = 0;
    bool skipped = false;
    for (;;) {
        uint8_t b;
        if (!br_read_u8(br, &b)) break;
        if (b != 0xFF) {
            skipped = true;
            continue;
        }
        uint8_t c;
        if (!br_read_u8(br, &c)) break;
        if (c == 0xD9 || c == 0x90) {
            if (skipped) ctx_warn(&d->ctx, kMsgTrailingData);
            MarkerHeader m = {static_cast<uint16_t>(0xFF00u | c), 0};
            if (c == 0x90 && !br_read_u16(br, &m.length)) break;
            return after_marker(d, counts, &m);
        }
        skipped = true;
        if (c == 0xFF) br_set_pos(br, br_get_pos(br) - 1);  // FF FF D9: the second FF starts
    }
    if (skipped) ctx_warn(&d->ctx, kMsgTrailingData);
    return end_without_eoc(d, counts, kMsgEndsEarly);
}

// Reads one tile-part from its SOT body to the end of its packets.
int read_tile_part(jpcdec* d, const MarkerSet* main, PartCounts* counts, TilePartRecord* tp) {
    if (!jpc_read_sot(&d->syntax, tp)) return 0;
    Tile* tile = &d->t2.tiles[tp->Isot];
    if (tp->TNsot > counts->announced[tp->Isot]) counts->announced[tp->Isot] = tp->TNsot;
    if (tp->TPsot == 0 && tile->parts_seen) return ctx_fail(&d->ctx, kMsgFirstPartAgain);
    if (tp->TPsot > 0 && !tile->parts_seen) return ctx_fail(&d->ctx, kMsgLaterPartFirst);
    MarkerSet* part = tp->TPsot == 0 ? jpc_parse_first_tile_part_header(&d->syntax, tp)
                                     : jpc_parse_next_tile_part_header(&d->syntax, tp);
    if (!part) return 0;
    int ok = 1;
    if (tp->TPsot == 0) ok = tile_build(&d->t2, tp->Isot, main, part);
    if (ok) {
        tile->parts_seen++;
        ok = packed_append(&d->syntax, &tile->ppt_data, &tile->ppt_length, part->ppt.data,
                           part->ppt.length);
    }
    if (ok) ok = progression_setup(&d->t2, tp->Isot, main, part);
    OpenReading* open = nullptr;
    if (ok) ok = find_open_reading(d, counts, tp, main, part, &open);
    if (ok) ok = open ? read_packets_on_trial(d, tile, open, main, tp) : decode_packets(&d->t2, tp);
    marker_set_destroy(&d->syntax, part);
    return ok;
}

// Tiles no tile-part announced reconstruct as zero coefficients.
int build_missing_tiles(jpcdec* d, const MarkerSet* main) {
    uint64_t missing = 0;
    for (uint32_t t = 0; t < d->image.tileNum; t++)
        if (!d->t2.tiles[t].parts_seen && !d->t2.tiles[t].built) missing++;
    // Every tile owes at least one tile-part (an SOT segment of 12 bytes). A header claiming
    // far more tiles than the data could ever announce is damaged: filling them all in would
    // cost time and memory out of all proportion to the input.
    if (missing && uint64_t(d->image.tileNum) * 12 > d->reader->length)
        return ctx_fail(&d->ctx, "The codestream is too short to hold a tile-part for each of its tiles.");
    for (uint32_t t = 0; t < d->image.tileNum; t++) {
        const Tile& tile = d->t2.tiles[t];
        if (tile.parts_seen || tile.built) continue;
        if (!tile_build(&d->t2, t, main, nullptr)) return 0;
    }
    return 1;
}

// Points the records of each layer at the context, the reader and the records below them.
void wire(jpcdec* d) {
    d->syntax = CodestreamReader{&d->ctx, d->reader, &d->image, 0, 0};
    d->recon.ctx = &d->ctx;
    d->recon.image = &d->image;
    d->recon.coded = &d->t2.coded;
}

// A zeroed decoder reading through `reader` (owned by the caller when borrowed), wired.
jpcdec* new_decoder(MemOps* ops, ByteReader* reader, uint32_t borrowed) {
    auto* d = static_cast<jpcdec*>(ops->alloc(ops, sizeof(jpcdec)));
    if (!d) return nullptr;
    std::memset(d, 0, sizeof *d);
    d->ctx.ops = ops;
    d->reader = reader;
    d->reader_borrowed = borrowed;
    wire(d);
    return d;
}

}  // namespace

}  // namespace dravex

using namespace dravex;

jpcdec* jpcdec_create(MemOps* ops, Stream* s) {
    if (!ops || !s) return nullptr;
    jpcdec* d = new_decoder(ops, nullptr, 0);
    if (!d) return nullptr;
    d->reader = byte_reader_create(ops, s);
    if (!d->reader) {
        jpcdec_destroy(d);
        return nullptr;
    }
    wire(d);
    return d;
}

namespace dravex {

jpcdec* jpcdec_create_on_reader(MemOps* ops, ByteReader* reader) {
    if (!ops || !reader) return nullptr;
    return new_decoder(ops, reader, 1);
}

}  // namespace dravex

void jpcdec_set_hooks(jpcdec* d, jpc_message_hook error_hook, jpc_message_hook warning_hook) {
    d->ctx.error_hook = error_hook;
    d->ctx.warning_hook = warning_hook;
}

int jpcdec_parse(jpcdec* d) {
    if (!jpc_parse_image_header(&d->syntax)) return 0;
    if (!tier2_init(&d->t2, &d->syntax)) return 0;
    PackedHeaders ppm = {};
    MarkerSet* main = jpc_parse_main_header(&d->syntax, &ppm);
    d->t2.ppm_data = ppm.data;
    d->t2.ppm_length = ppm.length;
    if (!main) return 0;
    // The main header stops after the first SOT marker and its length word.
    const uint32_t first_sot = br_get_pos(d->reader);
    TilePartRecord tp = {};
    tp.sot_pos = first_sot >= 4 ? first_sot - 4 : 0;
    PartCounts counts = {mem_new_array<uint8_t>(d->ctx.ops, d->image.tileNum),
                         mem_new_array<OpenReading*>(d->ctx.ops, d->image.tileNum)};
    int ok = counts.announced && counts.readings
                 ? 1
                 : ctx_fail(&d->ctx, "Out of memory for the tile-part counts.");
    while (ok) {
        if (!read_tile_part(d, main, &counts, &tp)) {
            ok = 0;
            break;
        }
        const Next next = tp.Psot != 0 ? next_after_sized_part(d, counts, &tp)
                                       : next_after_open_part(d, counts);
        if (next == Next::Failed) {
            ok = 0;
            break;
        }
        if (next == Next::End) break;
        const uint32_t pos = br_get_pos(d->reader);
        tp = TilePartRecord{};
        tp.sot_pos = pos - 4;  // the SOT marker and Lsot were just read
    }
    if (ok) ok = build_missing_tiles(d, main);
    if (ok) ok = tiles_link_blocks(&d->t2);
    // No packet header is read after this: only the output's records stay.
    if (ok) tiles_drop_header_state(&d->t2);
    mem_free(d->ctx.ops, counts.announced);
    for (uint32_t t = 0; counts.readings && t < d->image.tileNum; t++) {
        if (!counts.readings[t]) continue;
        mem_free(d->ctx.ops, counts.readings[t]->marks);
        mem_free(d->ctx.ops, counts.readings[t]);
    }
    mem_free(d->ctx.ops, counts.readings);
    marker_set_destroy(&d->syntax, main);
    return ok;
}

uint16_t jpcdec_get_component_num(const jpcdec* d) { return d->image.component_num; }

namespace dravex {

namespace {

void image_size(const jpcdec* d, uint32_t* width, uint32_t* height) {
    *width = jpc_out_coord(d, d->image.Xsiz) - jpc_out_coord(d, d->image.XOsiz);
    *height = jpc_out_coord(d, d->image.Ysiz) - jpc_out_coord(d, d->image.YOsiz);
}

// The caller's window cut to the image; 0 when nothing is left.
int cut_region(const jpcdec* d, uint32_t* x0, uint32_t* y0, uint32_t* x1, uint32_t* y1) {
    uint32_t w = 0, h = 0;
    image_size(d, &w, &h);
    *x0 = d->region_x0, *y0 = d->region_y0;
    *x1 = d->region_x1 < w ? d->region_x1 : w;
    *y1 = d->region_y1 < h ? d->region_y1 : h;
    return *x0 < *x1 && *y0 < *y1;
}

}  // namespace

}  // namespace dravex

void jpcdec_get_size(const jpcdec* d, uint32_t* width, uint32_t* height) {
    uint32_t x0, y0, x1, y1;
    if (d->recon.region_set && cut_region(d, &x0, &y0, &x1, &y1)) {
        *width = x1 - x0;
        *height = y1 - y0;
        return;
    }
    image_size(d, width, height);
}

int jpcdec_set_region(jpcdec* d, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    if (!d) return 0;
    d->region_x0 = x0, d->region_y0 = y0, d->region_x1 = x1, d->region_y1 = y1;
    d->recon.region_set = 1;
    uint32_t cx0, cy0, cx1, cy1;
    if (cut_region(d, &cx0, &cy0, &cx1, &cy1)) return 1;
    d->recon.region_set = 0;
    return ctx_fail(&d->ctx, kMsgRegionOutside);
}

namespace dravex {

int jpcdec_output_window(jpcdec* d) {
    uint32_t w = 0, h = 0;
    image_size(d, &w, &h);
    d->recon.win_x0 = 0, d->recon.win_y0 = 0, d->recon.win_x1 = w, d->recon.win_y1 = h;
    if (d->recon.region_set && !cut_region(d, &d->recon.win_x0, &d->recon.win_y0, &d->recon.win_x1, &d->recon.win_y1)) {
        // A reduction set after the region can leave it outside the smaller image.
        d->recon.win_x0 = d->recon.win_y0 = d->recon.win_x1 = d->recon.win_y1 = 0;
        return ctx_fail(&d->ctx, kMsgRegionOutside);
    }
    return 1;
}

}  // namespace dravex

void jpcdec_set_layers(jpcdec* d, uint32_t n) {
    if (!d || n == 0) return;
    tiles_for_each_resolution(d->t2.tiles, d->image.tileNum, [d, n](Tile& tile, Resolution& res) {
        if (!tile.built || n >= tile.layers) return true;
        // Through the precincts: the band grids are filled only as the output reads them.
        for (uint32_t p = 0; res.precincts && p < res.precinct_count; p++) {
            for (uint32_t b = 0; b < res.band_count && b < 3; b++) {
                const PrecinctBand& pb = res.precincts[p].bands[b];
                const uint64_t count = pb.blocks ? uint64_t(pb.blocks_across) * pb.blocks_down : 0;
                for (uint64_t k = 0; k < count; k++) coded_keep_layers(&d->t2.coded, &pb.blocks[k], n);
            }
        }
        return true;
    });
}

int jpcdec_set_reduction(jpcdec* d, uint32_t r) {
    if (!d) return 0;
    uint32_t fewest = 32;  // no more than the coordinates can halve
    for (uint32_t t = 0; d->t2.tiles && t < d->image.tileNum; t++) {
        const Tile& tile = d->t2.tiles[t];
        for (uint32_t i = 0; tile.built && tile.components && i < tile.component_count; i++)
            if (tile.components[i].levels < fewest) fewest = tile.components[i].levels;
    }
    if (r > fewest) return ctx_fail(&d->ctx, kMsgReductionTooLarge);
    d->recon.reduce = static_cast<uint8_t>(r);
    return 1;
}

void jpcdec_destroy(jpcdec* d) {
    if (!d) return;
    MemOps* ops = d->ctx.ops;
    if (d->output_ready) jpcdec_finish_output(d);
    tier2_free(&d->t2);
    jpc_free_siz_arrays(&d->syntax);
    recon_free(&d->recon);
    if (!d->reader_borrowed) byte_reader_destroy(ops, d->reader);
    ops->free(ops, d);
}
