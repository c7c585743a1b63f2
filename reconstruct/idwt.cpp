// Wavelet synthesis per resolution level, pulled one row at a time, and the per-tile buffers
// the pull needs.
#include <cstring>

#include "reconstruct/recon.h"
#include "reconstruct/recon_internal.h"
#include "tier2/tile.h"

namespace dravex {

namespace {

struct PullContext {
    Reconstruction* rc;
    ComponentRows* c;
    LevelRows* lv;
    uint32_t r;
    uint32_t x0, x1;  // the level's own columns (lv->x0, lv->x1 then hold hx0, hx1)
};

void zero_row(int32_t* dst, uint32_t n) {
    if (n) std::memset(dst, 0, size_t(n) * sizeof(int32_t));
}

// The band's next row in place, or fallback filled with zeros when the pull fails (never
// the previous row).
int32_t* pull_band(Reconstruction* rc, ComponentRows* c, uint32_t r, uint32_t b, int32_t* fallback) {
    if (int32_t* row = band_next_row(rc, c, r, b)) return row;
    zero_row(fallback, c->tc->resolutions[r].bands[b].band_width);
    return fallback;
}

// Row y of the level, horizontally synthesised into line: odd rows come from LH and HH, even
// rows from the level below and HL.
template <bool kReversible>
void pull_input_row(void* p, uint32_t y, int32_t* line) {
    auto* ctx = static_cast<PullContext*>(p);
    LevelRows* res = ctx->lv;
    const uint32_t r = ctx->r;
    int32_t* low = res->input_low;
    int32_t* high;
    if (y & 1) {
        low = pull_band(ctx->rc, ctx->c, r, 1, res->input_low);
        high = pull_band(ctx->rc, ctx->c, r, 2, res->input_high);
    } else {
        tile_component_row(ctx->rc, ctx->c, r - 1, res->input_low);
        high = pull_band(ctx->rc, ctx->c, r, 0, res->input_high);
    }
    // Columns c0 .. c1 only: their low-pass and high-pass samples start this far into the
    // halves (the level's own halves start at columns x0 / 2 rounded up and down).
    const uint32_t c0 = res->x0, c1 = res->x1;
    const uint32_t off_low = (c0 + 1) / 2 - (ctx->x0 + 1) / 2, off_high = c0 / 2 - ctx->x0 / 2;
    if (kReversible) {
        synth_53_row(line, low + off_low, high + off_high, c0, c1, res->narrow53);
    } else {
        // An odd row whose two bands hand over rows of a stripe known to hold zeros (blocks
        // without a coded pass) synthesises to zeros: every step adds a rounded product of
        // zeros, which is zero.
        if ((y & 1) && low != res->input_low && high != res->input_high &&
            res->bands[1].stripe_zero && res->bands[2].stripe_zero) {
            zero_row(line, c1 > c0 ? c1 - c0 : 0);
            return;
        }
        // The 9/7 extends both halves by four samples on each side: rows handed over in
        // place in a stripe have no such room, so they are copied next to their margins.
        const uint32_t nl = (c1 + 1) / 2 - (c0 + 1) / 2, nh = c1 / 2 - c0 / 2;
        int32_t* in_low = res->input_low + off_low;
        int32_t* in_high = res->input_high + off_high;
        if (low != res->input_low) std::memcpy(in_low, low + off_low, size_t(nl) * sizeof(int32_t));
        if (high != res->input_high)
            std::memcpy(in_high, high + off_high, size_t(nh) * sizeof(int32_t));
        lift_97_split(in_low, in_high, c0, c1, line);
    }
}

template <bool kReversible>
int idwt_row(Reconstruction* rc, ComponentRows* c, uint32_t r, int32_t* dst) {
    LevelRows* res = &c->levels[r];
    const uint32_t w = res->x1 - res->x0;
    if (w == 0) return 1;
    if (res->y1 <= res->y0 || !res->ring_line.current || !res->input_row) {
        // Nothing to synthesise, or the buffers could not be had: zero coefficients.
        zero_row(dst, w);
        res->next_out_row++;
        return 1;
    }
    if (res->delivered++ < res->emit_from) {
        zero_row(dst, w);  // above a region: the caller passes it over
        return 1;
    }
    PullContext ctx{rc, c, res, r, res->x0, res->x1};
    // The synthesis sees the column as starting at vstart and the rows as spanning hx0 ..
    // hx1; rows up to emit_from only serve to get past the top edge.
    const uint32_t first = res->y0, want = res->delivered - 1;
    int32_t* out = dst + (res->hx0 - res->x0);
    res->y0 = res->vstart;
    res->x0 = res->hx0;
    res->x1 = res->hx1;
    do {
        if (kReversible)
            vertical_53_next(res, pull_input_row<true>, &ctx, out);
        else
            vertical_97_next(res, pull_input_row<false>, &ctx, out);
    } while (res->next_out_row <= want);
    res->y0 = first;
    res->x0 = ctx.x0;
    res->x1 = ctx.x1;
    return 1;
}

void free_ring(MemOps* ops, LineRing* ring) {
    mem_free(ops, ring->entries);
    ring->entries = nullptr;
    ring->count = 0;
    ring->current = nullptr;
}

[[nodiscard]] int make_ring(MemOps* ops, LineRing* ring, uint32_t n) {
    ring->entries = mem_new_array<LineRingEntry>(ops, n);
    if (!ring->entries) return 0;
    ring->count = n;
    for (uint32_t k = 0; k < n; k++) {
        ring->entries[k].next = &ring->entries[(k + 1) % n];
        ring->entries[k].previous = &ring->entries[(k + n - 1) % n];
    }
    ring->current = &ring->entries[0];
    return 1;
}

uint32_t band_width_of(const Band& b) { return b.x1 > b.x0 ? b.x1 - b.x0 : 0; }

// The row pulls copy band and lower-level rows into fixed halves of the input row: refuse a
// level whose widths do not add up rather than write past a buffer.
bool level_widths_fit(const TileComponent* tc, uint32_t r) {
    const Resolution& res = tc->resolutions[r];
    if (res.x1 < res.x0 || res.y1 < res.y0) return false;
    const uint32_t w = res.x1 - res.x0;
    if (r == 0) {
        const Band& ll = res.bands[0];
        return res.band_count >= 1 && (!ll.code_blocks || (ll.band_width == band_width_of(ll) &&
                                                           ll.band_width == w));
    }
    if (res.band_count != 3) return false;
    const Resolution& lower = tc->resolutions[r - 1];
    const uint32_t low = lower.x1 >= lower.x0 ? lower.x1 - lower.x0 : ~0u;
    if (res.low_width != low || low > w) return false;
    const uint32_t high = w - low;
    const uint32_t expect[3] = {high, low, high};
    for (uint32_t b = 0; b < 3; b++) {
        const Band& band = res.bands[b];
        if (band_width_of(band) != expect[b]) return false;
        if (band.code_blocks && band.band_width != expect[b]) return false;
    }
    return true;
}

// A code-block row of the band at a time: as many rows as its code-blocks are high.
[[nodiscard]] int stripe_alloc(MemOps* ops, const Band& band, BandRows* br) {
    br->next_cb_row = 0;
    br->next_row = band.y0;
    br->start_row = band.y0;
    br->stripe_valid = 0;
    br->stripe_pos = 0;
    br->stripe_zero = 0;
    if (!band.code_blocks) return 1;
    const uint32_t height = band.y1 > band.y0 ? band.y1 - band.y0 : 0;
    uint32_t rows = band.ycb_eff < 31 ? (uint32_t(1) << band.ycb_eff) : height;
    if (rows > height) rows = height;
    br->stripe_rows = rows;
    if (rows == 0 || band.band_width == 0) return 1;
    mem_free(ops, br->stripe);
    br->stripe = static_cast<int32_t*>(
        mem_alloc_array(ops, uint64_t(rows) * band.band_width, sizeof(int32_t)));
    return br->stripe != nullptr;
}

// A tile-component none of whose code-blocks brought any bytes has only zero coefficients:
// it needs no buffers, and its rows come out as zeros without running the transform.
bool has_coded_data(const TileComponent* tc) {
    for (uint32_t r = 0; r < tc->resolution_count; r++) {
        const Resolution& res = tc->resolutions[r];
        // Through the precincts: the band grids are filled only as the output reads them.
        for (uint32_t p = 0; res.precincts && p < res.precinct_count; p++) {
            for (uint32_t b = 0; b < res.band_count && b < 3; b++) {
                const PrecinctBand& pb = res.precincts[p].bands[b];
                const uint64_t n = pb.blocks ? uint64_t(pb.blocks_across) * pb.blocks_down : 0;
                for (uint64_t i = 0; i < n; i++)
                    for (const CodedSegment* s = pb.blocks[i].segments.head; s; s = s->next)
                        if (s->total_len) return true;
            }
        }
    }
    return false;
}

}  // namespace

int idwt_53_row(Reconstruction* rc, ComponentRows* c, uint32_t r, int32_t* dst) {
    return idwt_row<true>(rc, c, r, dst);
}

int idwt_97_row(Reconstruction* rc, ComponentRows* c, uint32_t r, int32_t* dst) {
    return idwt_row<false>(rc, c, r, dst);
}

int tile_component_row(Reconstruction* rc, ComponentRows* c, uint32_t level, int32_t* dst) {
    const TileComponent* tc = c ? c->tc : nullptr;
    if (!tc || !tc->resolutions || level >= tc->resolution_count) return 0;
    const Resolution* res = &tc->resolutions[level];
    if (!c->levels) {
        // No coded data, or no buffers: zero coefficients.
        zero_row(dst, res->x1 > res->x0 ? res->x1 - res->x0 : 0);
        return level != 0;
    }
    if (level == 0) {
        if (band_pull_row(rc, c, 0, 0, dst)) return 1;
        // Past the band's last row (a vertically sub-sampled component) or a failed pull.
        zero_row(dst, res->x1 > res->x0 ? res->x1 - res->x0 : 0);
        return 0;
    }
    return tc->transform == 1 ? idwt_53_row(rc, c, level, dst) : idwt_97_row(rc, c, level, dst);
}

void tile_component_skip_row(Reconstruction* rc, ComponentRows* c, uint32_t level, int32_t* dst) {
    LevelRows* lv = c && c->levels && level >= 1 ? &c->levels[level] : nullptr;
    if (lv && lv->delivered < lv->emit_from)
        lv->delivered++;
    else
        tile_component_row(rc, c, level, dst);
}

int recon_level_alloc(MemOps* ops, LevelRows* res, uint32_t low_width, uint8_t transform) {
    const uint32_t n = transform == 1 ? 3 : 5;
    const uint32_t w = res->x1 - res->x0;
    res->next_out_row = res->y0;
    if (w == 0 || res->y1 <= res->y0) return 1;  // such a level never touches its buffers
    recon_level_free(ops, res);
    const uint64_t line = uint64_t(w) + 8;
    if (!make_ring(ops, &res->ring_base, n) || !make_ring(ops, &res->ring_line, n) ||
        !make_ring(ops, &res->ring_high, n)) {
        recon_level_free(ops, res);
        return 0;
    }
    for (uint32_t k = 0; k < n; k++) {
        int32_t* base = mem_new_array<int32_t>(ops, line);
        if (!base) {
            recon_level_free(ops, res);
            return 0;
        }
        res->ring_base.entries[k].line = base;
        res->ring_line.entries[k].line = base + 4;
        res->ring_high.entries[k].line = base + 4 + low_width;
    }
    // The halves sit 8 apart with 4 spare before and after, room for the 9/7's extension.
    res->input_row = mem_new_array<int32_t>(ops, line + 8);
    if (!res->input_row) {
        recon_level_free(ops, res);
        return 0;
    }
    res->input_low = res->input_row + 4;
    res->input_high = res->input_low + low_width + 8;
    return 1;
}

void recon_level_free(MemOps* ops, LevelRows* res) {
    if (res->ring_base.entries)
        for (uint32_t k = 0; k < res->ring_base.count; k++) {
            mem_free(ops, res->ring_base.entries[k].line);
            res->ring_base.entries[k].line = nullptr;
        }
    free_ring(ops, &res->ring_base);
    free_ring(ops, &res->ring_line);
    free_ring(ops, &res->ring_high);
    mem_free(ops, res->input_row);
    res->input_row = res->input_low = res->input_high = nullptr;
}

namespace {

// Marks the 5/3 levels whose sums cannot leave 32 bits. A band sample is below
// 2^(magnitude bits + ROI shift) units, held x 4 (one more bit of margin is taken); a 1-D
// pass takes inputs below m to below 2.5 m + 2 (low-pass samples move by at most (2m + 8) / 4,
// high-pass ones by half the sum of two updated low-pass ones), and a level is two passes
// over its bands and the level below. Sums are at most twice a value plus 8. The bound holds
// only for samples held x 4: a 5/3 filter over step-size samples (x 2^16, any magnitude the
// step gives) always takes the wide sums.
void mark_narrow_levels(const TileComponent* tc, LevelRows* levels) {
    const bool reversible_format = (tc->quant_style & 0x1F) == 0;
    double m = 0;
    for (uint32_t r = 0; r < tc->resolution_count; r++) {
        const Resolution* res = &tc->resolutions[r];
        for (uint32_t b = 0; b < res->band_count && b < 3; b++) {
            uint32_t bits = uint32_t(res->bands[b].magnitude_bits) + tc->roi_shift;
            if (bits > 31) bits = 31;
            const double band = double(uint64_t(1) << (bits + 3));
            if (band > m) m = band;
        }
        if (r >= 1) m = 2.5 * (2.5 * m + 2) + 2;
        levels[r].narrow53 = tc->transform == 1 && reversible_format && 2 * m + 16 < 2147483648.0;
    }
}

}  // namespace

namespace {

struct Span {
    uint32_t x0, y0, x1, y1;
};

Span clip(Span s, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    if (s.x0 < x0) s.x0 = x0;
    if (s.y0 < y0) s.y0 = y0;
    if (s.x1 > x1) s.x1 = x1;
    if (s.y1 > y1) s.y1 = y1;
    if (s.x1 < s.x0) s.x1 = s.x0;
    if (s.y1 < s.y0) s.y1 = s.y0;
    return s;
}

// Samples i0 .. i1 of a level come from samples of half their coordinates of its low-pass
// and high-pass inputs, within the filters' support (two on either side for the 9/7, fewer
// for the 5/3); four on either side keep a safe margin.
constexpr uint32_t kReachMargin = 4;
uint32_t half_down(uint32_t v) { return v / 2 > kReachMargin ? v / 2 - kReachMargin : 0; }
uint32_t half_up(uint32_t v) {
    const uint64_t h = (uint64_t(v) + 1) / 2 + kReachMargin;
    return h > UINT32_MAX ? UINT32_MAX : uint32_t(h);
}

// Marks in every band of tc the part that can reach the output window; the rest of the band
// is never decoded. Only for components with the image's own sampling: the others are laid
// out tile by tile, not by position.
void mark_reach(const Reconstruction* rc, ComponentRows* c, uint32_t top) {
    const TileComponent* tc = c->tc;
    for (uint32_t r = 0; r < tc->resolution_count; r++)
        for (uint32_t b = 0; b < 3; b++) c->levels[r].bands[b].reach_set = 0;
    if (!rc->region_set || tc->xrsiz != 1 || tc->yrsiz != 1) return;
    const uint32_t ox0 = reduced_coord(rc->image->XOsiz, rc->reduce), oy0 = reduced_coord(rc->image->YOsiz, rc->reduce);
    Span a{ox0 + rc->win_x0, oy0 + rc->win_y0, ox0 + rc->win_x1, oy0 + rc->win_y1};
    for (uint32_t r = top;; r--) {
        const Resolution& res = tc->resolutions[r];
        a = clip(a, res.x0, res.y0, res.x1, res.y1);
        if (r == 0) {
            BandRows& ll = c->levels[0].bands[0];
            ll.reach_set = 1;
            ll.reach_x0 = a.x0, ll.reach_y0 = a.y0, ll.reach_x1 = a.x1, ll.reach_y1 = a.y1;
            return;
        }
        const Span below{half_down(a.x0), half_down(a.y0), half_up(a.x1), half_up(a.y1)};
        for (uint32_t b = 0; b < 3; b++) {
            const Band& band = res.bands[b];
            BandRows& br = c->levels[r].bands[b];
            const Span s = clip(below, band.x0, band.y0, band.x1, band.y1);
            br.reach_set = 1;
            br.reach_x0 = s.x0, br.reach_y0 = s.y0, br.reach_x1 = s.x1, br.reach_y1 = s.y1;
        }
        a = below;
    }
}

// Rows a level's synthesis runs before the first one a region needs, so that the edge where
// it starts (extended as a tile's edge would be) no longer shows: four lifting steps reach
// four rows.
constexpr uint32_t kRowMargin = 8;

// Band rows from `start` on: the code-block rows above it are passed over undecoded.
void set_band_start(const Band& band, BandRows& br, uint32_t start) {
    if (start <= band.y0) return;
    br.start_row = start;
    if (!band.code_blocks || band.ycb_eff >= 31 || band.cb_across == 0) return;
    const uint32_t cbh = uint32_t(1) << band.ycb_eff;
    const uint32_t k0 = start / cbh - band.y0 / cbh;
    if (k0 >= band.cb_down) return;
    const CodeBlock* cb = band.code_blocks[size_t(k0) * band.cb_across];
    const uint64_t top = (uint64_t(band.y0 / cbh) + k0) * cbh;
    const uint32_t row_top = top > band.y0 ? uint32_t(top) : band.y0;
    // Where the grid is not the regular one, the rows are passed over one by one instead.
    if (!cb || cb->y0 != row_top || cb->y0 > start) return;
    br.next_cb_row = k0;
    br.next_row = row_top;
}

// The rows each level of tc runs for the window: from a margin above the rows the level
// above pulls (or the window's first row at the output level) instead of the tile's top.
void mark_rows(const Reconstruction* rc, ComponentRows* c, uint32_t top) {
    const TileComponent* tc = c->tc;
    for (uint32_t r = 0; r <= top; r++) {
        LevelRows& res = c->levels[r];
        res.vstart = res.emit_from = res.delivered = res.next_out_row = res.y0;
        res.hx0 = res.x0;
        res.hx1 = res.x1;
    }
    if (!rc->region_set || tc->xrsiz != 1 || tc->yrsiz != 1 || top == 0) return;
    const LevelRows& out = c->levels[top];
    uint32_t need = reduced_coord(rc->image->YOsiz, rc->reduce) + rc->win_y0;
    if (need < out.y0) need = out.y0;
    if (need > out.y1) need = out.y1;
    for (uint32_t r = top; r >= 1; r--) {
        LevelRows& res = c->levels[r];
        const Band* bands = tc->resolutions[r].bands;
        res.emit_from = need;
        res.vstart = need - res.y0 > kRowMargin ? need - kRowMargin : res.y0;
        res.delivered = r == top ? res.y0 : need;
        res.next_out_row = res.vstart;
        const uint32_t s = res.vstart;
        // Even rows from s on come from HL and the level below, odd ones from LH and HH.
        set_band_start(bands[0], res.bands[0], (s + 1) / 2);
        set_band_start(bands[1], res.bands[1], s / 2);
        set_band_start(bands[2], res.bands[2], s / 2);
        need = (s + 1) / 2;
    }
    set_band_start(tc->resolutions[0].bands[0], c->levels[0].bands[0], need);

    // Columns, likewise: a margin either side of what the level above takes.
    const uint32_t ox0 = reduced_coord(rc->image->XOsiz, rc->reduce);
    uint32_t n0 = ox0 + rc->win_x0, n1 = ox0 + rc->win_x1;
    for (uint32_t r = top; r >= 1; r--) {
        LevelRows& res = c->levels[r];
        if (n0 < res.x0) n0 = res.x0;
        if (n1 > res.x1) n1 = res.x1;
        if (n0 >= n1 || !res.ring_base.entries || !res.ring_line.entries) return;
        res.hx0 = n0 - res.x0 > kRowMargin ? n0 - kRowMargin : res.x0;
        res.hx1 = res.x1 - n1 > kRowMargin ? n1 + kRowMargin : res.x1;
        for (uint32_t k = 0; k < res.ring_line.count; k++)
            res.ring_line.entries[k].line = res.ring_base.entries[k].line + 4 + (res.hx0 - res.x0);
        n0 = (res.hx0 + 1) / 2;
        n1 = (res.hx1 + 1) / 2;
    }
}

}  // namespace

int recon_tile_begin(Reconstruction* rc, Tile* tile, uint32_t count, ComponentRows* rows) {
    if (!tile->built || !tile->components) return 0;
    if (count > tile->component_count) count = tile->component_count;
    for (uint32_t j = 0; j < count; j++) rows[j] = ComponentRows{&tile->components[j], nullptr};
    MemOps* ops = rc->ctx->ops;
    for (uint32_t j = 0; j < count; j++) {
        TileComponent* tc = &tile->components[j];
        // A component without coded data needs no buffers: its rows are zero coefficients.
        if (!tc->resolutions || !has_coded_data(tc)) continue;
        LevelRows* levels = mem_new_array<LevelRows>(ops, tc->resolution_count);
        if (!levels) {
            recon_tile_end(rc, rows, count);
            return 0;
        }
        rows[j].levels = levels;
        for (uint32_t r = 0; r < tc->resolution_count; r++) {
            const Resolution& res = tc->resolutions[r];
            levels[r].x0 = res.x0, levels[r].y0 = res.y0, levels[r].x1 = res.x1, levels[r].y1 = res.y1;
        }
        mark_narrow_levels(tc, levels);
        // Levels above the output level are never pulled: they get no buffers.
        const uint32_t top = tc->levels >= rc->reduce ? tc->levels - rc->reduce : 0;
        if (top < tc->resolution_count) mark_reach(rc, &rows[j], top);
        for (uint32_t r = 0; r < tc->resolution_count && r <= top; r++) {
            const Resolution* res = &tc->resolutions[r];
            LevelRows* lv = &levels[r];
            lv->next_out_row = res->y0;
            int ok = level_widths_fit(tc, r);
            for (uint32_t b = 0; ok && b < res->band_count && b < 3; b++) {
                ok = band_link_blocks(*res, b) ? 1 : ctx_fail(rc->ctx, kTier2MsgGrid);
                if (ok) ok = stripe_alloc(ops, res->bands[b], &lv->bands[b]);
            }
            if (ok && r >= 1) ok = recon_level_alloc(ops, lv, res->low_width, tc->transform);
            if (!ok) {
                recon_tile_end(rc, rows, count);
                return 0;
            }
        }
        if (top < tc->resolution_count) mark_rows(rc, &rows[j], top);
    }
    return 1;
}

void recon_tile_end(Reconstruction* rc, ComponentRows* rows, uint32_t count) {
    MemOps* ops = rc->ctx->ops;
    for (uint32_t j = 0; j < count; j++) {
        LevelRows* levels = rows[j].levels;
        if (!levels) continue;
        for (uint32_t r = 0; r < rows[j].tc->resolution_count; r++) {
            recon_level_free(ops, &levels[r]);
            for (uint32_t b = 0; b < 3; b++) mem_free(ops, levels[r].bands[b].stripe);
        }
        mem_free(ops, levels);
        rows[j].levels = nullptr;
    }
}

}  // namespace dravex
