// Band rows on demand: one row of code-blocks is decoded (tier-1 and dequantisation) into the
// band's stripe when the first of its rows is asked for, then handed out row by row.
#include <cstring>

#include "codestream/jpcdec_impl.h"
#include "reconstruct/recon.h"
#include "reconstruct/recon_internal.h"
#include "tier1/t1.h"
#include "tier2/tile.h"

namespace {

Band* find_band(TileComponent* tc, uint32_t r, uint32_t b) {
    if (!tc || !tc->resolutions || r >= tc->resolution_count) return nullptr;
    Resolution* res = &tc->resolutions[r];
    if (b >= res->band_count || b >= 3) return nullptr;
    return &res->bands[b];
}

}  // namespace

int band_fill_stripe(jpcdec* d, TileComponent* tc, uint32_t r, uint32_t b) {
    Band* band = find_band(tc, r, b);
    if (!band || !band->code_blocks || !band->stripe) return 0;
    if (band->next_cb_row >= band->cb_down || band->next_row >= band->y1) return 0;
    const uint32_t width = band->band_width;
    const uint32_t rows = band->stripe_rows;
    std::memset(band->stripe, 0, size_t(rows) * width * sizeof(int32_t));
    if (!d->t1) d->t1 = t1_scratch_create(d->ops);  // without it the row stays zero

    // The row's height is that of its first block; the rest of the band bounds it otherwise.
    uint32_t valid = 0;
    CodeBlock** row = band->code_blocks + size_t(band->next_cb_row) * band->cb_across;
    for (uint32_t i = 0; i < band->cb_across; i++) {
        CodeBlock* cb = row[i];
        // A block that does not fit the stripe is skipped rather than written out of bounds.
        if (!cb || cb->x0 < band->x0 || cb->x1 <= cb->x0 || cb->x1 - band->x0 > width ||
            cb->y1 <= cb->y0 || cb->y1 - cb->y0 > rows)
            continue;
        if (i == 0) valid = cb->y1 - cb->y0;
        // A block that fails keeps what it decoded; the others of the row still decode.
        if (d->t1)
            (void)t1_decode_codeblock(d, d->t1, tc, r, b, band, cb,
                                      band->stripe + (cb->x0 - band->x0), width);
    }
    if (valid == 0) {
        const uint32_t left = band->y1 - band->next_row;
        valid = left < rows ? left : rows;
    }
    band->stripe_valid = valid;
    band->stripe_pos = 0;
    band->next_cb_row++;
    return 1;
}

int band_pull_row(jpcdec* d, TileComponent* tc, uint32_t r, uint32_t b, int32_t* dst) {
    Band* band = find_band(tc, r, b);
    if (!band || !band->code_blocks || band->next_row >= band->y1) return 0;
    while (band->stripe_pos >= band->stripe_valid) {
        if (!band_fill_stripe(d, tc, r, b)) {
            if (band->band_width) std::memset(dst, 0, size_t(band->band_width) * sizeof(int32_t));
            return 0;
        }
    }
    if (band->band_width)
        std::memcpy(dst, band->stripe + size_t(band->stripe_pos) * band->band_width,
                    size_t(band->band_width) * sizeof(int32_t));
    band->stripe_pos++;
    band->next_row++;
    return 1;
}
