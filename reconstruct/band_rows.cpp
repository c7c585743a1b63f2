// Band rows on demand: one row of code-blocks is decoded (tier-1 and dequantisation) into the
// band's stripe when the first of its rows is asked for, then handed out row by row.
#include <cstring>

#include "reconstruct/recon.h"
#include "reconstruct/recon_internal.h"
#include "tier1/t1.h"
#include "tier2/coded_store.h"
#include "tier2/tile.h"

namespace dravex {

namespace {

constexpr const char* kMsgRereadFailed =
    "Code-block data could not be read again from the input; those blocks are left zero.";

// Band b of resolution r of c and the state of its rows; false when there is no such band
// or its rows have no state.
bool find_band(ComponentRows* c, uint32_t r, uint32_t b, const Band** band, BandRows** rows) {
    const TileComponent* tc = c ? c->tc : nullptr;
    if (!tc || !c->levels || !tc->resolutions || r >= tc->resolution_count) return false;
    const Resolution* res = &tc->resolutions[r];
    if (b >= res->band_count || b >= 3) return false;
    *band = &res->bands[b];
    *rows = &c->levels[r].bands[b];
    return true;
}

}  // namespace

void recon_free(Reconstruction* rc) {
    if (rc->t1) t1_scratch_destroy(rc->ctx->ops, rc->t1);
    rc->t1 = nullptr;
}

int band_fill_stripe(Reconstruction* rc, ComponentRows* c, uint32_t r, uint32_t b) {
    const Band* band;
    BandRows* br;
    if (!find_band(c, r, b, &band, &br) || !band->code_blocks || !br->stripe) return 0;
    if (br->next_cb_row >= band->cb_down || br->next_row >= band->y1) return 0;
    const TileComponent* tc = c->tc;
    const uint32_t width = band->band_width;
    const uint32_t rows = br->stripe_rows;
    if (!rc->t1) {
        // Without it the row stays zero, and the caller is told.
        rc->t1 = t1_scratch_create(rc->ctx->ops);
        if (!rc->t1) ctx_fail(rc->ctx, kT1MsgNoMemory);
    }

    // A block that does not fit the stripe is skipped rather than written out of bounds.
    CodeBlock** row = band->code_blocks + size_t(br->next_cb_row) * band->cb_across;
    auto usable = [&](const CodeBlock* cb) {
        return cb && cb->x0 >= band->x0 && cb->x1 > cb->x0 && cb->x1 - band->x0 <= width &&
               cb->y1 > cb->y0 && cb->y1 - cb->y0 <= rows;
    };
    // Tier-1 writes every sample of the blocks it takes, so the stripe needs clearing only
    // when those blocks leave part of the rows handed out uncovered (the usual row of
    // blocks side by side, all as tall as the first, covers them).
    auto out_of_reach = [&](const CodeBlock* cb) {
        return br->reach_set && (cb->x1 <= br->reach_x0 || cb->x0 >= br->reach_x1 ||
                                   cb->y1 <= br->reach_y0 || cb->y0 >= br->reach_y1);
    };
    // A row of blocks without a coded pass is all zeros, and so are the rows of such blocks
    // that follow (most of a band at a low rate, or with few layers kept): the stripe is
    // cleared once and then left as it is. Only where rows are read from the stripe and not
    // written: the 5/3 synthesis lifts them in place, and a region clears only its reach.
    // (Blocks too large for tier-1 take the usual way, which reports them.)
    bool empty = tc->transform != 1 && !br->reach_set;
    for (uint32_t i = 0; empty && i < band->cb_across; i++) {
        const CodeBlock* cb = row[i];
        if (!cb) continue;
        empty = t1_block_fits(cb->x1 - cb->x0, cb->y1 - cb->y0);
        for (const CodedSegment* s = cb->segments.head; s; s = s->next)
            if (s->npasses) empty = false;
    }
    if (empty) {
        if (!br->stripe_zero) std::memset(br->stripe, 0, size_t(rows) * width * sizeof(int32_t));
        br->stripe_zero = 1;
        const uint32_t left = band->y1 - br->next_row;
        br->stripe_valid = usable(row[0]) ? row[0]->y1 - row[0]->y0 : (left < rows ? left : rows);
        br->stripe_pos = 0;
        br->next_cb_row++;
        return 1;
    }
    br->stripe_zero = 0;

    bool covered = rc->t1 != nullptr && band->cb_across > 0 && usable(row[0]) &&
                   row[0]->x0 == band->x0;
    uint32_t next_x = band->x0;
    for (uint32_t i = 0; covered && i < band->cb_across; i++) {
        const CodeBlock* cb = row[i];
        covered = usable(cb) && !out_of_reach(cb) && cb->x0 == next_x &&
                  cb->y1 - cb->y0 == row[0]->y1 - row[0]->y0 &&
                  t1_block_fits(cb->x1 - cb->x0, cb->y1 - cb->y0);
        if (covered) next_x = cb->x1;
    }
    if (!covered || next_x - band->x0 != width) {
        // With a region only the columns around its reach are ever read: clearing the rest
        // would touch memory across the whole band width for nothing.
        uint32_t c0 = 0, c1 = width;
        if (br->reach_set) {
            constexpr uint32_t kSlack = 16;
            const uint32_t r0 = br->reach_x0 - band->x0, r1 = br->reach_x1 - band->x0;
            c0 = r0 > kSlack ? r0 - kSlack : 0;
            c1 = width - r1 > kSlack ? r1 + kSlack : width;
            if (br->reach_x0 < band->x0 || br->reach_x1 < br->reach_x0 || c1 > width)
                c0 = 0, c1 = width;
        }
        if (c0 == 0 && c1 == width)
            std::memset(br->stripe, 0, size_t(rows) * width * sizeof(int32_t));
        else
            for (uint32_t y = 0; y < rows; y++)
                std::memset(br->stripe + size_t(y) * width + c0, 0, size_t(c1 - c0) * sizeof(int32_t));
    }

    const T1BandStyle style = {r, b, tc->cblk_style, tc->roi_shift,
                               uint8_t((tc->quant_style & 0x1F) == 0), band->magnitude_bits,
                               band->step_mantissa, band->step_exponent};
    // The row's height is that of its first block; the rest of the band bounds it otherwise.
    uint32_t valid = 0;
    for (uint32_t i = 0; i < band->cb_across; i++) {
        CodeBlock* cb = row[i];
        if (!usable(cb)) continue;
        if (i == 0) valid = cb->y1 - cb->y0;
        if (!rc->t1 || out_of_reach(cb)) continue;  // left zero by the clearing above
        int32_t* dst = br->stripe + (cb->x0 - band->x0);
        // The coded bytes come back from the input now; a block whose bytes cannot be read
        // again counts as damaged: zeros, and the row goes on.
        if (!coded_load_block(rc->coded, cb)) {
            t1_zero_block(dst, width, cb->x1 - cb->x0, cb->y1 - cb->y0);
            if (!rc->coded->read_failed) ctx_fail(rc->ctx, kMsgRereadFailed);
            rc->coded->read_failed = 1;
            continue;
        }
        // A block that fails keeps what it decoded; the others of the row still decode.
        (void)t1_decode_codeblock(rc->ctx, rc->t1, &style, cb, dst, width);
        coded_unload_block(cb);
    }
    if (valid == 0) {
        const uint32_t left = band->y1 - br->next_row;
        valid = left < rows ? left : rows;
    }
    br->stripe_valid = valid;
    br->stripe_pos = 0;
    br->next_cb_row++;
    return 1;
}

int band_pull_row(Reconstruction* rc, ComponentRows* c, uint32_t r, uint32_t b, int32_t* dst) {
    const int32_t* row = band_next_row(rc, c, r, b);
    const Band* band;
    BandRows* br;
    if (!find_band(c, r, b, &band, &br) || !band->band_width) return row != nullptr;
    const size_t bytes = size_t(band->band_width) * sizeof(int32_t);
    if (row) {
        std::memcpy(dst, row, bytes);
        return 1;
    }
    // A failed pull inside the band leaves zeros, and so does a band none of whose blocks a
    // packet reached; past the end of a coded band dst is left alone.
    if (!band->code_blocks || br->next_row < band->y1) std::memset(dst, 0, bytes);
    return 0;
}

int32_t* band_next_row(Reconstruction* rc, ComponentRows* c, uint32_t r, uint32_t b) {
    const Band* band;
    BandRows* br;
    if (!find_band(c, r, b, &band, &br)) return nullptr;
    for (;;) {
        if (!band->code_blocks || br->next_row >= band->y1) return nullptr;
        while (br->stripe_pos >= br->stripe_valid)
            if (!band_fill_stripe(rc, c, r, b)) return nullptr;
        int32_t* row = br->stripe + size_t(br->stripe_pos) * band->band_width;
        br->stripe_pos++;
        br->next_row++;
        if (br->next_row > br->start_row) return row;
    }
}

}  // namespace dravex
