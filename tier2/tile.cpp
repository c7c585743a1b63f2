// Tile building: bounds, tile-components, resolutions, bands, precincts and code-blocks.
// The reconstruction keeps its line rings, input rows and band stripes in records of its own,
// made when a tile's output starts, so memory does not grow with the number of tile rows.
#include <cstring>

#include "codestream/jpc_params.h"
#include "tier2/geometry.h"
#include "tier2/progression.h"
#include "tier2/record_arena.h"
#include "tier2/tagtree.h"
#include "tier2/tier2.h"
#include "tier2/tile.h"

namespace dravex {

namespace {

constexpr const char* kMsgNoMemory = "Not enough memory to build the tile.";
constexpr const char* kMsgTileIndex = "Tile index is out of range.";
constexpr const char* kMsgTileRebuilt = "Tile has already been built.";
constexpr const char* kMsgEmptyTile = "Tile area is empty.";
constexpr const char* kMsgSubsampling = "Component sub-sampling factor is 0.";
constexpr const char* kMsgCodeBlockSize = "Code-block size is out of range.";
constexpr const char* kMsgTooManyPrecincts = "Too many precincts in a resolution.";
constexpr const char* kMsgTooManyRecords =
    "The codestream is too short for the precincts and code-blocks its headers declare.";

constexpr uint32_t kMaxCodeBlockArea = 12;  // 2^12 samples; each side's limit is the segment's
// Structure records (about 100 bytes each: a code-block, a precinct, a quarter of a
// resolution) the tiles of a codestream may declare, and code-block records its packets may
// make: a fixed allowance that covers a 16-megapixel image of 4 x 4 code-blocks, plus an
// amount per byte. The bytes counted are the input's less its skipped segments for what the
// headers declare, and the packet bytes read so far for the blocks made. The conformance
// streams use at most 1.2 records per byte; a 4096 x 4096 image of 4 x 4 code-blocks
// compressed 400:1 uses 25, the most of any real encoding measured.
constexpr uint64_t kFreeRecords = uint64_t(1) << 20;
constexpr uint64_t kRecordsPerByte = 32;

// Band offsets (xo, yo) of HL, LH, HH.
constexpr uint8_t kBandOffset[3][2] = {{1, 0}, {0, 1}, {1, 1}};

// Whether `records` more structure records stay within what the input allows: its length
// less the segments skipped so far (comments and the like carry nothing to build on).
bool records_fit(const Tier2* t2, uint64_t records) {
    const uint64_t length = t2->in->reader ? t2->in->reader->length : 0;
    const uint64_t counted = length > t2->in->skipped_bytes ? length - t2->in->skipped_bytes : 0;
    const uint64_t allowed = kFreeRecords + kRecordsPerByte * counted;
    return records <= allowed && t2->structure_records <= allowed - records;
}

void free_precincts(MemOps* ops, Resolution* res) {
    if (!res->precincts) return;
    for (uint32_t p = 0; p < res->precinct_count; p++) {
        Precinct& prec = res->precincts[p];
        if (!prec.bands) continue;
        for (uint32_t b = 0; b < res->band_count; b++) {
            PrecinctBand& pb = prec.bands[b];
            // The header state and tag trees live in the decoder's header arena, the segments
            // in its CodedStore.
            mem_free(ops, pb.blocks);
        }
    }
    ops->free(ops, res->precincts);  // the band parts live in the same block
    res->precincts = nullptr;
}

void free_resolution(MemOps* ops, Resolution* res) {
    free_precincts(ops, res);
    for (uint32_t b = 0; b < 3; b++) {
        mem_free(ops, res->bands[b].code_blocks);
        res->bands[b].code_blocks = nullptr;
    }
}

inline uint64_t align8(uint64_t n) { return (n + 7) & ~uint64_t(7); }

// The code-block grid of one precinct's share of a band. Its records are made only when a
// packet header first reads about the precinct (precinct_band_make_blocks): a block no
// packet ever reaches costs nothing, so a header declaring a vast grid of them buys no
// memory or time unless the packets pay for it.
void size_precinct_band(PrecinctBand* pb, uint32_t xcb, uint32_t ycb) {
    if (pb->x0 >= pb->x1 || pb->y0 >= pb->y1) return;
    pb->blocks_across = ceil_div_pow2(pb->x1, xcb) - floor_div_pow2(pb->x0, xcb);
    pb->blocks_down = ceil_div_pow2(pb->y1, ycb) - floor_div_pow2(pb->y0, ycb);
}

// Band-wide raster grid of the band's code-blocks across precinct boundaries.
int build_band_grid(Tier2* t2, Resolution* res, uint32_t b) {
    Band& band = res->bands[b];
    const uint32_t xcb = band.xcb_eff, ycb = band.ycb_eff;
    if (band.x0 >= band.x1 || band.y0 >= band.y1 || res->precinct_count == 0) return 1;
    const uint32_t gx0 = floor_div_pow2(band.x0, xcb), gy0 = floor_div_pow2(band.y0, ycb);
    band.cb_across = ceil_div_pow2(band.x1, xcb) - gx0;
    band.cb_down = ceil_div_pow2(band.y1, ycb) - gy0;
    bool any = false;
    for (uint32_t p = 0; p < res->precinct_count && !any; p++)
        any = res->precincts[p].bands[b].blocks != nullptr;
    if (!any) return 1;  // no block of the band was ever reached: it is all zero
    const uint64_t n = uint64_t(band.cb_across) * band.cb_down;
    if (!records_fit(t2, n)) return ctx_fail(t2->in->ctx, kMsgTooManyRecords);
    t2->structure_records += n;
    band.code_blocks = mem_new_array<CodeBlock*>(t2->in->ctx->ops, n);
    if (!band.code_blocks) return ctx_fail(t2->in->ctx, kMsgNoMemory);
    // The cells are filled when the output first reads the band (band_link_blocks); here
    // only that every precinct-band's blocks fall inside the grid.
    for (uint32_t p = 0; p < res->precinct_count; p++) {
        const PrecinctBand& pb = res->precincts[p].bands[b];
        if (!pb.blocks) continue;
        const uint64_t gx = uint64_t(floor_div_pow2(pb.x0, xcb)) - gx0;
        const uint64_t gy = uint64_t(floor_div_pow2(pb.y0, ycb)) - gy0;
        if (gx >= band.cb_across || gy >= band.cb_down || pb.blocks_across > band.cb_across - gx ||
            pb.blocks_down > band.cb_down - gy)
            return ctx_fail(t2->in->ctx, kTier2MsgGrid);
    }
    // Blocks of precincts no packet reached stay null: zero coefficients.
    return 1;
}

// Precincts of a resolution, each band's share of them, and the code-blocks.
int partition_resolution(Tier2* t2, TileComponent* tc, Resolution* res) {
    const uint32_t PPx = res->PPx, PPy = res->PPy;
    const bool lowest = res->r == 0;
    const uint32_t bPPx = lowest ? PPx : PPx - 1, bPPy = lowest ? PPy : PPy - 1;
    for (uint32_t b = 0; b < res->band_count; b++) {
        Band& band = res->bands[b];
        band.xcb_eff = static_cast<uint8_t>(tc->xcb < bPPx ? tc->xcb : bPPx);
        band.ycb_eff = static_cast<uint8_t>(tc->ycb < bPPy ? tc->ycb : bPPy);
        band.band_width = band.x1 > band.x0 ? band.x1 - band.x0 : 0;
    }
    if (res->x0 >= res->x1 || res->y0 >= res->y1) return 1;

    const uint64_t gx0 = uint64_t(floor_div_pow2(res->x0, PPx)) << PPx;
    const uint64_t gy0 = uint64_t(floor_div_pow2(res->y0, PPy)) << PPy;
    const uint64_t across = ceil_div_pow2(res->x1, PPx) - floor_div_pow2(res->x0, PPx);
    const uint64_t down = ceil_div_pow2(res->y1, PPy) - floor_div_pow2(res->y0, PPy);
    if (across * down > UINT32_MAX) return ctx_fail(t2->in->ctx, kMsgTooManyPrecincts);
    res->precincts_across = static_cast<uint32_t>(across);
    res->precincts_down = static_cast<uint32_t>(down);
    res->precinct_count = static_cast<uint32_t>(across * down);
    // Precincts and their band parts in one block.
    const uint64_t parts = uint64_t(res->precinct_count) * res->band_count;
    if (parts > kMemMaxBlock / sizeof(PrecinctBand)) {
        res->precinct_count = 0;
        return ctx_fail(t2->in->ctx, kMsgNoMemory);
    }
    const uint64_t head = align8(uint64_t(res->precinct_count) * sizeof(Precinct));
    auto* block = static_cast<uint8_t*>(
        mem_zalloc_array(t2->in->ctx->ops, head + parts * sizeof(PrecinctBand), 1));
    if (!block) {
        res->precinct_count = 0;
        return ctx_fail(t2->in->ctx, kMsgNoMemory);
    }
    res->precincts = reinterpret_cast<Precinct*>(block);
    PrecinctBand* band_parts = reinterpret_cast<PrecinctBand*>(block + head);
    // In band coordinates the precinct grid halves (its origin stays a multiple of the size).
    const uint64_t ox = lowest ? gx0 : (gx0 + 1) >> 1;
    const uint64_t oy = lowest ? gy0 : (gy0 + 1) >> 1;
    for (uint32_t py = 0; py < res->precincts_down; py++) {
        for (uint32_t px = 0; px < res->precincts_across; px++) {
            Precinct& prec = res->precincts[uint64_t(py) * res->precincts_across + px];
            prec.x0 = clamp_u32(gx0 + (uint64_t(px) << PPx), res->x0, res->x1);
            prec.y0 = clamp_u32(gy0 + (uint64_t(py) << PPy), res->y0, res->y1);
            prec.x1 = clamp_u32(gx0 + (uint64_t(px + 1) << PPx), res->x0, res->x1);
            prec.y1 = clamp_u32(gy0 + (uint64_t(py + 1) << PPy), res->y0, res->y1);
            prec.bands = band_parts + (uint64_t(py) * res->precincts_across + px) * res->band_count;
            for (uint32_t b = 0; b < res->band_count; b++) {
                const Band& band = res->bands[b];
                PrecinctBand& pb = prec.bands[b];
                pb.x0 = clamp_u32(ox + (uint64_t(px) << bPPx), band.x0, band.x1);
                pb.y0 = clamp_u32(oy + (uint64_t(py) << bPPy), band.y0, band.y1);
                pb.x1 = clamp_u32(ox + (uint64_t(px + 1) << bPPx), band.x0, band.x1);
                pb.y1 = clamp_u32(oy + (uint64_t(py + 1) << bPPy), band.y0, band.y1);
                size_precinct_band(&pb, band.xcb_eff, band.ycb_eff);
            }
        }
    }
    return 1;
}

int build_resolution(Tier2* t2, TileComponent* tc, uint32_t r) {
    Resolution* res = &tc->resolutions[r];
    const uint32_t k = tc->levels - r;
    res->component = tc;
    res->r = r;
    res->band_count = r == 0 ? 1 : 3;
    res->x0 = ceil_div_pow2(tc->x0, k);
    res->y0 = ceil_div_pow2(tc->y0, k);
    res->x1 = ceil_div_pow2(tc->x1, k);
    res->y1 = ceil_div_pow2(tc->y1, k);
    if (r == 0) {
        res->lower_x0 = res->x0;
        res->lower_y0 = res->y0;
        res->lower_x1 = res->x1;
        res->lower_y1 = res->y1;
        Band& ll = res->bands[0];
        ll.x0 = res->x0;
        ll.y0 = res->y0;
        ll.x1 = res->x1;
        ll.y1 = res->y1;
    } else {
        const Resolution& lower = tc->resolutions[r - 1];
        res->lower_x0 = lower.x0;
        res->lower_y0 = lower.y0;
        res->lower_x1 = lower.x1;
        res->lower_y1 = lower.y1;
        const uint32_t nb = k + 1;
        for (uint32_t b = 0; b < 3; b++) {
            Band& band = res->bands[b];
            band.x0 = band_bound(tc->x0, nb, kBandOffset[b][0]);
            band.y0 = band_bound(tc->y0, nb, kBandOffset[b][1]);
            band.x1 = band_bound(tc->x1, nb, kBandOffset[b][0]);
            band.y1 = band_bound(tc->y1, nb, kBandOffset[b][1]);
        }
        res->low_width = res->lower_x1 - res->lower_x0;
        res->high_width = res->bands[0].x1 - res->bands[0].x0;
    }
    return partition_resolution(t2, tc, res);
}

inline uint64_t grid_count(uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1, uint32_t ex,
                           uint32_t ey) {
    if (x0 >= x1 || y0 >= y1) return 0;
    return uint64_t(ceil_div_pow2(x1, ex) - floor_div_pow2(x0, ex)) *
           (ceil_div_pow2(y1, ey) - floor_div_pow2(y0, ey));
}

// Resolved coding parameters of one tile-component. The COD/COC reader has already refused
// more than 32 levels, code-block sides above 2^10 and precinct exponents of 0 above
// resolution 0; only the code-block area is left to check here.
struct ComponentStyle {
    uint8_t levels;                 // NL
    uint8_t xcb, ycb;               // code-block exponents, already + 2
    uint8_t cblk_style;
    uint8_t transform;              // 0 = 9/7, 1 = 5/3
    const uint8_t* precinct_sizes;  // levels + 1 bytes (low nibble PPx, high PPy), or null
    uint8_t roi_style, roi_shift;
};

// Structure records the tile-component will hold, counted from the geometry alone (the same
// bounds build_resolution and partition_resolution derive): its precincts and code-blocks,
// and its resolutions at four records each (a resolution is as big as four code-blocks).
uint64_t component_records(const TileComponent* tc, const ComponentStyle* s) {
    uint64_t records = 4 * (uint64_t(s->levels) + 1);
    for (uint32_t r = 0; r <= s->levels; r++) {
        const uint32_t k = s->levels - r;
        const uint32_t PPx = s->precinct_sizes ? s->precinct_sizes[r] & 0x0F : 15;
        const uint32_t PPy = s->precinct_sizes ? s->precinct_sizes[r] >> 4 : 15;
        const uint32_t x0 = ceil_div_pow2(tc->x0, k), y0 = ceil_div_pow2(tc->y0, k);
        const uint32_t x1 = ceil_div_pow2(tc->x1, k), y1 = ceil_div_pow2(tc->y1, k);
        const uint64_t precincts = grid_count(x0, y0, x1, y1, PPx, PPy);
        if (precincts == 0) continue;
        const uint32_t bPPx = r == 0 ? PPx : PPx - 1, bPPy = r == 0 ? PPy : PPy - 1;
        const uint32_t xcb = s->xcb < bPPx ? s->xcb : bPPx;
        const uint32_t ycb = s->ycb < bPPy ? s->ycb : bPPy;
        uint64_t blocks = 0;
        if (r == 0) {
            blocks = grid_count(x0, y0, x1, y1, xcb, ycb);
        } else {
            for (uint32_t b = 0; b < 3; b++) {
                const uint32_t ox = kBandOffset[b][0], oy = kBandOffset[b][1];
                blocks += grid_count(band_bound(tc->x0, k + 1, ox), band_bound(tc->y0, k + 1, oy),
                                     band_bound(tc->x1, k + 1, ox), band_bound(tc->y1, k + 1, oy),
                                     xcb, ycb);
            }
        }
        // Saturate rather than wrap: a grid of 1 x 1 code-blocks can come close to 2^64.
        const uint64_t add = precincts + blocks < precincts ? UINT64_MAX : precincts + blocks;
        records = add > UINT64_MAX - records ? UINT64_MAX : records + add;
    }
    return records;
}

ComponentStyle resolved_style(const CodingStylePart* cs) {
    ComponentStyle style{};
    style.levels = cs->levels;
    style.xcb = static_cast<uint8_t>(cs->xcb + 2);
    style.ycb = static_cast<uint8_t>(cs->ycb + 2);
    style.cblk_style = cs->cblk_style;
    style.transform = cs->transform;
    style.precinct_sizes = cs->precinct_sizes;
    return style;
}

// Charges the whole tile's structure records to the decoder before any of them is
// allocated, so a short stream claiming a vast grid fails at once and with little memory,
// and a tile of thousands of components before the first of them allocates its resolutions.
int reserve_tile_records(Tier2* t2, const Tile* tile, const MarkerSet* main,
                         const MarkerSet* part) {
    uint64_t records = 0;
    for (uint16_t c = 0; c < tile->component_count; c++) {
        const CodingStylePart* cs = jpc_resolve_coding_style(main, part, c);
        if (!cs) continue;  // reported when the component is built
        const ComponentStyle style = resolved_style(cs);
        const uint64_t n = component_records(&tile->components[c], &style);
        records = n > UINT64_MAX - records ? UINT64_MAX : records + n;
    }
    if (!records_fit(t2, records)) return ctx_fail(t2->in->ctx, kMsgTooManyRecords);
    t2->structure_records += records;
    return 1;
}

int build_bounds(Tier2* t2, Tile* tile, uint32_t t) {
    const ImageHeader* image = t2->in->image;
    const TileBounds b = image_tile_bounds(image, t);
    if (b.x0 >= b.x1 || b.y0 >= b.y1) return ctx_fail(t2->in->ctx, kMsgEmptyTile);
    tile->x0 = b.x0;
    tile->y0 = b.y0;
    tile->x1 = b.x1;
    tile->y1 = b.y1;
    tile->component_count = image->component_num;
    tile->max_resolutions = 0;
    tile->components = mem_new_array<TileComponent>(t2->in->ctx->ops, image->component_num);
    if (!tile->components) return ctx_fail(t2->in->ctx, kMsgNoMemory);
    for (uint32_t c = 0; c < image->component_num; c++) {
        TileComponent& tc = tile->components[c];
        tc.tile = tile;
        tc.is_signed = (image->ssiz[c] & 0x80) ? 1 : 0;
        tc.precision = static_cast<uint8_t>((image->ssiz[c] & 0x7F) + 1);
        tc.frac_bits = static_cast<uint8_t>(image_frac_bits(image));
        tc.xrsiz = image->xrsiz[c];
        tc.yrsiz = image->yrsiz[c];
        if (tc.xrsiz == 0 || tc.yrsiz == 0) return ctx_fail(t2->in->ctx, kMsgSubsampling);
        tc.x0 = ceil_div_u32(tile->x0, tc.xrsiz);
        tc.y0 = ceil_div_u32(tile->y0, tc.yrsiz);
        tc.x1 = ceil_div_u32(tile->x1, tc.xrsiz);
        tc.y1 = ceil_div_u32(tile->y1, tc.yrsiz);
    }
    return 1;
}

// Resolutions, bands, precincts and code-block grids of one tile-component.
int apply_style(Tier2* t2, TileComponent* tc, const ComponentStyle* s) {
    if (s->xcb + s->ycb > kMaxCodeBlockArea) return ctx_fail(t2->in->ctx, kMsgCodeBlockSize);
    tc->levels = s->levels;
    tc->xcb = s->xcb;
    tc->ycb = s->ycb;
    tc->cblk_style = s->cblk_style;
    tc->transform = s->transform;
    tc->roi_style = s->roi_style;
    tc->roi_shift = s->roi_shift;
    tc->resolution_count = uint32_t(s->levels) + 1;
    if (tc->resolution_count > tc->tile->max_resolutions)
        tc->tile->max_resolutions = static_cast<uint8_t>(tc->resolution_count);
    tc->resolutions = mem_new_array<Resolution>(t2->in->ctx->ops, tc->resolution_count);
    if (!tc->resolutions) {
        tc->resolution_count = 0;
        return ctx_fail(t2->in->ctx, kMsgNoMemory);
    }
    for (uint32_t r = 0; r < tc->resolution_count; r++) {
        Resolution& res = tc->resolutions[r];
        if (s->precinct_sizes) {
            res.PPx = static_cast<uint8_t>(s->precinct_sizes[r] & 0x0F);
            res.PPy = static_cast<uint8_t>(s->precinct_sizes[r] >> 4);
        } else {
            res.PPx = res.PPy = 15;
        }
        if (!build_resolution(t2, tc, r)) return 0;
    }
    return 1;
}

// The steps of building tile t; on failure the caller releases what was made.
int build_tile(Tier2* t2, Tile* tile, uint32_t t, const MarkerSet* main, const MarkerSet* part) {
    if (!build_bounds(t2, tile, t)) return 0;
    const CodSegment* cod = jpc_resolve_cod(main, part);
    if (!cod) return ctx_fail(t2->in->ctx, kJpcMsgMissingCod);
    tile->Scod = cod->Scod;
    tile->progression = cod->progression;
    tile->layers = cod->layers;
    tile->mct = cod->mct;
    tile->transform = cod->part.transform;
    if (!reserve_tile_records(t2, tile, main, part)) return 0;
    for (uint16_t c = 0; c < tile->component_count; c++) {
        TileComponent* tc = &tile->components[c];
        const CodingStylePart* cs = jpc_resolve_coding_style(main, part, c);
        if (!cs) return ctx_fail(t2->in->ctx, kJpcMsgMissingCod);
        ComponentStyle style = resolved_style(cs);
        if (const RgnSegment* rgn = jpc_resolve_rgn(main, part, c)) {
            style.roi_style = rgn->Srgn;
            style.roi_shift = rgn->SPrgn;
        }
        jpc_check_code_block_size(t2->in, style.xcb, style.ycb);
        if (!apply_style(t2, tc, &style)) return 0;
        const QuantSegment* q = jpc_resolve_quant(main, part, c);
        if (!q) return ctx_fail(t2->in->ctx, kJpcMsgMissingQcd);
        tc->quant_style = q->style;
        for (uint32_t r = 0; r < tc->resolution_count; r++) {
            Resolution& res = tc->resolutions[r];
            for (uint32_t b = 0; b < res.band_count; b++) {
                BandQuant bq;
                if (!jpc_band_quant(t2->in, q, tc->precision, tc->levels, r, b, &bq)) return 0;
                res.bands[b].magnitude_bits = bq.magnitude_bits;
                res.bands[b].step_mantissa = bq.step_mantissa;
                res.bands[b].step_exponent = bq.step_exponent;
            }
        }
    }
    return 1;
}

}  // namespace

int tile_build(Tier2* t2, uint32_t t, const MarkerSet* main, const MarkerSet* part) {
    if (t >= t2->in->image->tileNum || !t2->tiles) return ctx_fail(t2->in->ctx, kMsgTileIndex);
    Tile* tile = &t2->tiles[t];
    if (tile->built || tile->components) return ctx_fail(t2->in->ctx, kMsgTileRebuilt);
    if (!build_tile(t2, tile, t, main, part)) {
        tile_destroy(t2, tile);
        return 0;
    }
    tile->built = 1;
    return 1;
}

void tile_forget_packets(Tile* tile) {
    for (uint32_t c = 0; tile->components && c < tile->component_count; c++) {
        const TileComponent& tc = tile->components[c];
        for (uint32_t r = 0; tc.resolutions && r < tc.resolution_count; r++) {
            const Resolution& res = tc.resolutions[r];
            for (uint32_t p = 0; res.precincts && p < res.precinct_count; p++) {
                Precinct& prec = res.precincts[p];
                prec.packet_counter = 0;
                for (uint32_t b = 0; prec.bands && b < res.band_count; b++) {
                    PrecinctBand& pb = prec.bands[b];
                    if (!pb.blocks) continue;
                    const uint64_t n = uint64_t(pb.blocks_across) * pb.blocks_down;
                    for (uint64_t i = 0; i < n; i++) {
                        pb.blocks[i].zero_bitplanes = 0;
                        pb.blocks[i].segments.head = nullptr;  // the store keeps the records
                        if (pb.states) pb.states[i] = BlockHeaderState{};
                    }
                    if (pb.inclusion_tree) tagtree_reset(pb.inclusion_tree);
                    if (pb.zero_bitplane_tree) tagtree_reset(pb.zero_bitplane_tree);
                }
            }
        }
    }
    tile->ppt_pos = 0;
}

void tiles_drop_header_state(Tier2* t2) {
    tiles_for_each_resolution(t2->tiles, t2->in->image->tileNum, [](Tile&, Resolution& res) {
        for (uint32_t p = 0; res.precincts && p < res.precinct_count; p++) {
            PrecinctBand* bands = res.precincts[p].bands;
            for (uint32_t b = 0; bands && b < res.band_count; b++) {
                bands[b].states = nullptr;
                bands[b].inclusion_tree = bands[b].zero_bitplane_tree = nullptr;
            }
        }
        return true;
    });
    arena_free(t2->in->ctx->ops, &t2->header_arena);
    mem_free(t2->in->ctx->ops, t2->included);
    t2->included = nullptr;
    t2->included_count = t2->included_slots = 0;
}

void tile_destroy(Tier2* t2, Tile* tile) {
    if (!tile) return;
    MemOps* ops = t2->in->ctx->ops;
    if (tile->components) {
        for (uint32_t c = 0; c < tile->component_count; c++) {
            TileComponent& tc = tile->components[c];
            if (!tc.resolutions) continue;
            for (uint32_t r = 0; r < tc.resolution_count; r++)
                free_resolution(ops, &tc.resolutions[r]);
            ops->free(ops, tc.resolutions);
            tc.resolutions = nullptr;
        }
        ops->free(ops, tile->components);
    }
    tile->components = nullptr;
    progression_state_destroy(ops, tile->progression_state);
    tile->progression_state = nullptr;
    tile->built = 0;
}

int precinct_band_make_blocks(Tier2* t2, PrecinctBand* pb, uint64_t packet_bytes) {
    if (pb->blocks || pb->blocks_across == 0 || pb->blocks_down == 0) return 1;
    const uint64_t n = uint64_t(pb->blocks_across) * pb->blocks_down;
    const uint64_t allowed = kFreeRecords + kRecordsPerByte * packet_bytes;
    if (n > allowed || t2->blocks_made > allowed - n) return ctx_fail(t2->in->ctx, kMsgTooManyRecords);
    t2->blocks_made += n;
    const uint64_t nodes = tagtree_node_count(pb->blocks_across, pb->blocks_down);
    if (nodes == 0 || n > kMemMaxBlock / sizeof(BlockHeaderState))
        return ctx_fail(t2->in->ctx, kMsgNoMemory);
    const uint64_t states_size = align8(n * sizeof(BlockHeaderState));
    const uint64_t tree_size = align8(sizeof(TagTree)) + align8(nodes * sizeof(TagTreeNode));
    auto* base =
        static_cast<uint8_t*>(arena_alloc(t2->in->ctx->ops, &t2->header_arena, states_size + 2 * tree_size));
    if (!base) return ctx_fail(t2->in->ctx, kMsgNoMemory);
    CodeBlock* blocks = mem_new_array<CodeBlock>(t2->in->ctx->ops, n);
    if (!blocks) return ctx_fail(t2->in->ctx, kMsgNoMemory);
    pb->blocks = blocks;
    pb->states = reinterpret_cast<BlockHeaderState*>(base);
    TagTree* trees[2];
    for (uint32_t k = 0; k < 2; k++) {
        uint8_t* at = base + states_size + k * tree_size;
        trees[k] = reinterpret_cast<TagTree*>(at);
        tagtree_init(trees[k], reinterpret_cast<TagTreeNode*>(at + align8(sizeof(TagTree))),
                     pb->blocks_across, pb->blocks_down);
    }
    pb->inclusion_tree = trees[0];
    pb->zero_bitplane_tree = trees[1];
    // The blocks' bounds are set when the output first reads the band (band_link_blocks):
    // the records of bands a reduced output never reads then stay untouched zero pages.
    return 1;
}

int band_link_blocks(const Resolution& res, uint32_t b) {
    if (b >= res.band_count || !res.precincts) return 1;
    const Band& band = res.bands[b];
    if (!band.code_blocks) return 1;
    const uint32_t xcb = band.xcb_eff, ycb = band.ycb_eff;
    const uint32_t gx0 = floor_div_pow2(band.x0, xcb), gy0 = floor_div_pow2(band.y0, ycb);
    for (uint32_t p = 0; p < res.precinct_count; p++) {
        const PrecinctBand& pb = res.precincts[p].bands[b];
        // A set block ends right of 0; the first block tells for the whole precinct-band.
        if (!pb.blocks || pb.blocks[0].x1 != 0) continue;
        // Block (i, j) of the precinct-band is cell (cx0 + i, cy0 + j) of the band's grid,
        // which tiles_link_blocks has checked it fits.
        const uint32_t cx0 = floor_div_pow2(pb.x0, xcb), cy0 = floor_div_pow2(pb.y0, ycb);
        CodeBlock* cb = pb.blocks;
        for (uint32_t j = 0; j < pb.blocks_down; j++) {
            const uint64_t by = uint64_t(cy0) + j;
            const uint32_t y0 = clamp_u32(by << ycb, pb.y0, pb.y1);
            const uint32_t y1 = clamp_u32((by + 1) << ycb, pb.y0, pb.y1);
            CodeBlock** slot = band.code_blocks + (by - gy0) * band.cb_across + (cx0 - gx0);
            for (uint32_t i = 0; i < pb.blocks_across; i++, cb++, slot++) {
                const uint64_t bx = uint64_t(cx0) + i;
                cb->x0 = clamp_u32(bx << xcb, pb.x0, pb.x1);
                cb->x1 = clamp_u32((bx + 1) << xcb, pb.x0, pb.x1);
                cb->y0 = y0;
                cb->y1 = y1;
                if (*slot) return 0;  // two precincts claim the cell
                *slot = cb;
            }
        }
    }
    return 1;
}

int tiles_link_blocks(Tier2* t2) {
    return tiles_for_each_resolution(t2->tiles, t2->in->image->tileNum, [t2](Tile&, Resolution& res) {
        for (uint32_t b = 0; res.precincts && b < res.band_count; b++)
            if (!res.bands[b].code_blocks && !build_band_grid(t2, &res, b)) return false;
        return true;
    }) ? 1 : 0;
}

int tier2_init(Tier2* t2, CodestreamReader* in) {
    t2->in = in;
    t2->coded.ops = in->ctx->ops;
    t2->coded.reader = in->reader;
    t2->tiles = mem_new_array<Tile>(in->ctx->ops, in->image->tileNum);
    if (!t2->tiles) return ctx_fail(in->ctx, "Out of memory for the tiles.");
    return 1;
}

void tier2_free(Tier2* t2) {
    if (!t2->in) return;
    MemOps* ops = t2->in->ctx->ops;
    for (uint32_t t = 0; t2->tiles && t < t2->in->image->tileNum; t++) {
        Tile* tile = &t2->tiles[t];
        mem_free(ops, tile->ppt_data);
        tile->ppt_data = nullptr;
        tile->ppt_length = 0;
        if (tile->components || tile->built || tile->progression_state) tile_destroy(t2, tile);
    }
    mem_free(ops, t2->tiles);
    t2->tiles = nullptr;
    coded_store_free(&t2->coded);
    arena_free(ops, &t2->header_arena);
    mem_free(ops, t2->included);
    t2->included = nullptr;
    mem_free(ops, t2->ppm_data);
    t2->ppm_data = nullptr;
}

}  // namespace dravex
