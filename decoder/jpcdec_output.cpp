// The row interface of the codestream decoder: each call pulls one row of every decoded
// component of every tile across, undoes the component transform, converts to integers and
// stores the low 8 bits.
#include <cstring>

#include "decoder/jpcdec_impl.h"
#include "decoder/jpcdec_inspect.h"
#include "reconstruct/recon.h"
#include "reconstruct/recon_internal.h"
#include "tier2/tile.h"

namespace dravex {

namespace {

constexpr const char* kMsgOutputLayout = "Output pixel layout does not fit the pixel stride";
constexpr const char* kMsgOutputMemory = "Not enough memory for output rows";
constexpr const char* kMsgTooManyPixels = "Image area is larger than the caller's pixel limit";
constexpr const char* kMsgTileMemory =
    "Not enough memory for the output buffers of a tile; it is delivered as zeros";

// Bounds of tile t on the output grid (the reference grid when no level is left out).
TileBounds tile_bounds(const jpcdec* d, uint32_t t) {
    return reduced_bounds(image_tile_bounds(&d->image, t), d->recon.reduce);
}

uint32_t ceil_div(uint32_t a, uint32_t b) { return uint32_t((uint64_t(a) + b - 1) / b); }

// The resolution level a tile-component is output at.
uint32_t out_level(const jpcdec* d, const TileComponent* tc) { return tc->levels - d->recon.reduce; }

// The tile-component, when it can deliver rows of `span` samples at most.
TileComponent* usable_component(const jpcdec* d, Tile* tile, uint32_t j, uint32_t span) {
    if (!tile->built || !tile->components || j >= tile->component_count) return nullptr;
    TileComponent* tc = &tile->components[j];
    if (!tc->resolutions || tc->levels >= tc->resolution_count || tc->levels < d->recon.reduce)
        return nullptr;
    const Resolution& top = tc->resolutions[out_level(d, tc)];
    if (top.x1 < top.x0 || top.x1 - top.x0 > span) return nullptr;
    return tc;
}

uint32_t component_width(const jpcdec* d, const TileComponent* tc) {
    const Resolution& top = tc->resolutions[out_level(d, tc)];
    return top.x1 - top.x0;
}

// A tile-component that cannot be decoded reconstructs as zero coefficients.
uint32_t fill_missing(const jpcdec* d, const TileBounds& tb, uint32_t j, uint32_t span,
                      int32_t* dst) {
    uint32_t n = span, precision = 8, is_signed = 0;
    if (d->image.ssiz && d->image.xrsiz && j < d->image.Csiz && d->image.xrsiz[j]) {
        n = ceil_div(tb.x1, d->image.xrsiz[j]) - ceil_div(tb.x0, d->image.xrsiz[j]);
        if (n > span) n = span;
        precision = (d->image.ssiz[j] & 0x7F) + 1u;
        is_signed = (d->image.ssiz[j] >> 7) & 1u;
    }
    std::memset(dst, 0, size_t(n) * sizeof(int32_t));
    convert_samples(dst, n, 1, is_signed, precision, 16);
    return n;
}

bool any_tile_uses_mct(const jpcdec* d) {
    for (uint32_t t = 0; t < d->image.tileNum; t++)
        if (d->t2.tiles[t].built && d->t2.tiles[t].mct) return true;
    return false;
}

// The rows of the decoded components of tile column k in the tile row being output.
ComponentRows* tile_rows(jpcdec* d, uint32_t k) { return d->rows + size_t(k) * d->decode_count; }

void begin_tile_row(jpcdec* d, uint32_t first) {
    const uint32_t ox0 = jpc_out_coord(d, d->image.XOsiz);
    for (uint32_t k = 0; k < d->image.numXtiles; k++) {
        Tile* tile = &d->t2.tiles[first + k];
        for (uint32_t j = 0; j < d->decode_count; j++) tile_rows(d, k)[j] = ComponentRows{};
        // Tiles beside the window are never decoded.
        const TileBounds b = tile_bounds(d, first + k);
        if (b.x0 - ox0 >= d->recon.win_x1 || b.x1 - ox0 <= d->recon.win_x0) continue;
        // A tile whose buffers cannot be had delivers zero coefficients; the caller is told.
        if (tile->built && !recon_tile_begin(&d->recon, tile, d->decode_count, tile_rows(d, k)))
            ctx_fail(&d->ctx, kMsgTileMemory);
    }
}

void end_tile_row(jpcdec* d) {
    for (uint32_t k = 0; k < d->image.numXtiles; k++)
        recon_tile_end(&d->recon, tile_rows(d, k), d->decode_count);
}

// The rows of tile-component tc, component j of tile column k; a tile whose output was not
// set up gives zeros.
ComponentRows* component_rows(jpcdec* d, uint32_t k, uint32_t j, TileComponent* tc) {
    ComponentRows* c = tile_rows(d, k) + j;
    if (c->tc != tc) *c = ComponentRows{tc, nullptr};
    return c;
}

void free_row_buffers(jpcdec* d) {
    for (uint32_t j = 0; j < kMaxOutputComponents; j++) {
        mem_free(d->ctx.ops, d->row_buf[j]);
        d->row_buf[j] = nullptr;
    }
    mem_free(d->ctx.ops, d->rows);
    d->rows = nullptr;
}

}  // namespace

}  // namespace dravex

using namespace dravex;

void jpcdec_set_max_pixels(jpcdec* d, uint64_t max_pixels) {
    if (d) d->max_pixels = max_pixels;
}

int jpcdec_set_output(jpcdec* d, uint16_t count, const uint32_t* offsets,
                      uint32_t pixel_stride) {
    if (!d) return 0;
    jpcdec_finish_output(d);
    d->out_pixel_stride = pixel_stride;
    d->out_tile_row = 0;
    d->out_rows_done = 0;
    if (d->image.component_num > kMaxOutputComponents) d->image.component_num = kMaxOutputComponents;
    d->out_count = count < d->image.component_num ? count : d->image.component_num;
    for (uint32_t i = 0; i < d->out_count; i++) {
        d->out_offset[i] = offsets ? offsets[i] : i;
        if (d->out_offset[i] >= pixel_stride) {
            d->out_count = 0;
            return ctx_fail(&d->ctx, kMsgOutputLayout);
        }
    }
    // The component transform reads components 0-2 even when fewer are output.
    d->decode_count = d->out_count;
    if (d->decode_count < 3 && d->image.component_num >= 3 && d->t2.tiles && any_tile_uses_mct(d))
        d->decode_count = 3;
    const uint32_t x0 = jpc_out_coord(d, d->image.XOsiz), x1 = jpc_out_coord(d, d->image.Xsiz);
    const uint32_t y0 = jpc_out_coord(d, d->image.YOsiz), y1 = jpc_out_coord(d, d->image.Ysiz);
    d->out_width = x1 > x0 ? x1 - x0 : 0;
    const uint64_t height = y1 > y0 ? y1 - y0 : 0;
    if (d->max_pixels && uint64_t(d->out_width) * height > d->max_pixels) {
        d->out_count = d->decode_count = 0;
        return ctx_fail(&d->ctx, kMsgTooManyPixels);
    }
    for (uint32_t j = 0; j < d->decode_count; j++) {
        d->row_buf[j] = mem_new_array<int32_t>(d->ctx.ops, uint64_t(d->out_width) + 1);
        if (!d->row_buf[j]) {
            free_row_buffers(d);
            d->out_count = d->decode_count = 0;
            return ctx_fail(&d->ctx, kMsgOutputMemory);
        }
    }
    d->rows = mem_new_array<ComponentRows>(d->ctx.ops, uint64_t(d->image.numXtiles) * d->decode_count);
    if (!d->rows) {
        free_row_buffers(d);
        d->out_count = d->decode_count = 0;
        return ctx_fail(&d->ctx, kMsgOutputMemory);
    }
    if (!jpcdec_output_window(d)) {
        free_row_buffers(d);
        d->out_count = d->decode_count = 0;
        return 0;
    }
    d->output_ready = d->t2.tiles && d->image.numXtiles && d->image.numYtiles ? 1 : 0;
    // Tile rows wholly above the window are never decoded.
    if (d->output_ready && uint64_t(d->image.numXtiles) * d->image.numYtiles <= d->image.tileNum) {
        const uint32_t oy0 = jpc_out_coord(d, d->image.YOsiz);
        while (d->out_tile_row + 1 < d->image.numYtiles &&
               tile_bounds(d, d->image.numXtiles * d->out_tile_row).y1 - oy0 <= d->recon.win_y0)
            d->out_tile_row++;
    }
    return 1;
}

namespace dravex {

namespace {

// Whether tile columns g .. g + span of the whole output row reach into the window.
bool tile_in_window(const jpcdec* d, uint32_t g, uint32_t span) {
    return g < d->recon.win_x1 && g + span > d->recon.win_x0;
}

// The next row of the tile rows the window reaches, from the top of the first: into the
// caller's row when `row` is set (window columns only), into row_buf in any case. 0 when the
// tile rows are used up.
int next_image_row(jpcdec* d, uint8_t* row) {
    uint32_t first = d->image.numXtiles * d->out_tile_row;
    if (uint64_t(d->image.numXtiles) * d->image.numYtiles > d->image.tileNum) return 0;
    TileBounds tb = tile_bounds(d, first);
    while (d->out_rows_done >= tb.y1 - tb.y0) {
        if (d->out_tile_row + 1 >= d->image.numYtiles) return 0;
        d->out_tile_row++;
        d->out_rows_done = 0;
        first = d->image.numXtiles * d->out_tile_row;
        tb = tile_bounds(d, first);
    }
    if (d->out_rows_done == 0) begin_tile_row(d, first);

    const uint32_t stride = d->out_pixel_stride;
    const uint32_t wx0 = d->recon.win_x0, wx1 = d->recon.win_x1;
    uint32_t g = 0;  // x offset of the tile inside the whole image row
    for (uint32_t k = 0; k < d->image.numXtiles && g < d->out_width; k++) {
        Tile* tile = &d->t2.tiles[first + k];
        const TileBounds b = k == 0 ? tb : tile_bounds(d, first + k);
        uint32_t span = b.x1 - b.x0;
        if (span > d->out_width - g) span = d->out_width - g;
        if (!tile_in_window(d, g, span)) {
            g += span;
            continue;
        }
        uint32_t n[kMaxOutputComponents];
        TileComponent* tcs[kMaxOutputComponents];
        for (uint32_t j = 0; j < d->decode_count; j++) {
            int32_t* dst = d->row_buf[j] + g;
            tcs[j] = usable_component(d, tile, j, span);
            if (tcs[j]) {
                n[j] = component_width(d, tcs[j]);
                tile_component_row(&d->recon, component_rows(d, k, j, tcs[j]),
                                   out_level(d, tcs[j]), dst);
            } else {
                n[j] = 0;
            }
        }
        // Only the columns inside the window are transformed and converted: the others are
        // never output (and, with a region, not even synthesised).
        const uint32_t lo = g > wx0 ? g : wx0;
        auto part = [&](uint32_t count) {
            const uint32_t hi = g + count < wx1 ? g + count : wx1;
            return hi > lo ? hi - lo : 0u;
        };
        if (tile->built && tile->mct && d->image.component_num >= 3 && d->decode_count >= 3 &&
            tcs[0] && tcs[1] && tcs[2] && tcs[0]->xrsiz == tcs[1]->xrsiz &&
            tcs[0]->xrsiz == tcs[2]->xrsiz && tcs[0]->yrsiz == tcs[1]->yrsiz &&
            tcs[0]->yrsiz == tcs[2]->yrsiz) {
            uint32_t m = n[0] < n[1] ? n[0] : n[1];
            if (n[2] < m) m = n[2];
            m = part(m);
            if (tile->transform == 1)
                inverse_rct(d->row_buf[0] + lo, d->row_buf[1] + lo, d->row_buf[2] + lo, m);
            else
                inverse_ict(d->row_buf[0] + lo, d->row_buf[1] + lo, d->row_buf[2] + lo, m);
        }
        for (uint32_t j = 0; j < d->decode_count; j++) {
            if (tcs[j]) {
                convert_samples(d->row_buf[j] + lo, part(n[j]), (tcs[j]->quant_style & 0x1F) == 0,
                                tcs[j]->is_signed, tcs[j]->precision, tcs[j]->frac_bits);
            } else {
                n[j] = fill_missing(d, b, j, span, d->row_buf[j] + g);
            }
        }
        if (row) {
            // The tile's samples g .. g + n[j] of the whole row, as far as the window goes.
            uint32_t from[kMaxOutputComponents], count[kMaxOutputComponents];
            for (uint32_t j = 0; j < d->out_count; j++) {
                from[j] = lo;
                count[j] = part(n[j]);
            }
            uint8_t* out = row + size_t(from[0] - wx0) * stride;
            if (d->out_count == 3 && stride == 3 && count[0] == count[1] &&
                count[0] == count[2] && from[0] == from[1] && from[0] == from[2]) {
                store_pixels3(out, d->out_offset, d->row_buf[0] + from[0],
                              d->row_buf[1] + from[0], d->row_buf[2] + from[0], count[0]);
            } else {
                for (uint32_t j = 0; j < d->out_count; j++)
                    if (count[j])
                        store_bytes(row + d->out_offset[j] + size_t(from[j] - wx0) * stride,
                                    stride, d->row_buf[j] + from[j], count[j]);
            }
        }
        g += span;
    }
    d->out_rows_done++;
    if (d->out_rows_done >= tb.y1 - tb.y0) end_tile_row(d);
    return 1;
}

// Passes over the next row of the tile rows the window reaches, above the window: each
// level that hands out zero rows there only counts it, the others deliver it unused.
int skip_image_row(jpcdec* d) {
    uint32_t first = d->image.numXtiles * d->out_tile_row;
    TileBounds tb = tile_bounds(d, first);
    if (d->out_rows_done >= tb.y1 - tb.y0) return next_image_row(d, nullptr);
    if (d->out_rows_done == 0) begin_tile_row(d, first);
    uint32_t g = 0;
    for (uint32_t k = 0; k < d->image.numXtiles && g < d->out_width; k++) {
        Tile* tile = &d->t2.tiles[first + k];
        const TileBounds b = k == 0 ? tb : tile_bounds(d, first + k);
        uint32_t span = b.x1 - b.x0;
        if (span > d->out_width - g) span = d->out_width - g;
        if (tile_in_window(d, g, span)) {
            for (uint32_t j = 0; j < d->decode_count; j++) {
                TileComponent* tc = usable_component(d, tile, j, span);
                if (!tc) continue;
                tile_component_skip_row(&d->recon, component_rows(d, k, j, tc), out_level(d, tc),
                                        d->row_buf[j] + g);
            }
        }
        g += span;
    }
    d->out_rows_done++;
    if (d->out_rows_done >= tb.y1 - tb.y0) end_tile_row(d);
    return 1;
}

// Row of the image (from its top) that next_image_row delivers next.
uint32_t next_row_index(const jpcdec* d) {
    const TileBounds tb = tile_bounds(d, d->image.numXtiles * d->out_tile_row);
    return tb.y0 - jpc_out_coord(d, d->image.YOsiz) + d->out_rows_done;
}

}  // namespace

}  // namespace dravex

int jpcdec_decode_row(jpcdec* d, uint8_t* row) {
    if (!d || !d->output_ready) return 0;
    if (uint64_t(d->image.numXtiles) * d->image.numYtiles > d->image.tileNum) return 0;
    // Rows of the first tile rows the window reaches that lie above it are decoded, not
    // delivered: the transforms need them.
    while (next_row_index(d) < d->recon.win_y0)
        if (!skip_image_row(d)) return 0;
    if (next_row_index(d) >= d->recon.win_y1) return 0;
    return next_image_row(d, row);
}

int jpcdec_input_failed(const jpcdec* d) { return d && d->t2.coded.read_failed ? 1 : 0; }

const int32_t* jpcdec_row_samples(const jpcdec* d, uint16_t i) {
    if (!d || !d->output_ready || i >= d->decode_count) return nullptr;
    return d->row_buf[i] + d->recon.win_x0;
}

int jpcdec_get_component_info(const jpcdec* d, uint16_t i, JpcComponentInfo* out) {
    if (!d || i >= d->image.component_num || i >= d->image.Csiz || !d->image.ssiz || !d->image.xrsiz || !d->image.yrsiz ||
        !d->image.xrsiz[i] || !d->image.yrsiz[i])
        return 0;
    const uint32_t x0 = jpc_out_coord(d, d->image.XOsiz), x1 = jpc_out_coord(d, d->image.Xsiz);
    const uint32_t y0 = jpc_out_coord(d, d->image.YOsiz), y1 = jpc_out_coord(d, d->image.Ysiz);
    out->width = ceil_div(x1, d->image.xrsiz[i]) - ceil_div(x0, d->image.xrsiz[i]);
    out->height = ceil_div(y1, d->image.yrsiz[i]) - ceil_div(y0, d->image.yrsiz[i]);
    out->precision = (d->image.ssiz[i] & 0x7Fu) + 1u;
    out->is_signed = (d->image.ssiz[i] >> 7) & 1u;
    if (d->recon.region_set) {
        // A window's rows are image rows: a sub-sampled component has none of its own.
        if (d->image.xrsiz[i] != 1 || d->image.yrsiz[i] != 1) return 0;
        jpcdec_get_size(d, &out->width, &out->height);
    }
    return 1;
}

// The row just delivered left each tile's samples of component i at the tile's first pixel;
// a sub-sampled component's pieces are shorter than the tiles, and its rows of a tile row
// come out on the first calls of that tile row. The pieces, joined, are the component's row.
int jpcdec_component_row(const jpcdec* d, uint16_t i, int32_t* samples) {
    if (!d || !d->output_ready || i >= d->out_count || d->out_rows_done == 0 || !d->image.xrsiz ||
        !d->image.yrsiz || i >= d->image.Csiz || !d->image.xrsiz[i] || !d->image.yrsiz[i])
        return 0;
    const uint32_t xr = d->image.xrsiz[i], yr = d->image.yrsiz[i];
    if (d->recon.region_set) {
        if (xr != 1 || yr != 1) return 0;
        std::memcpy(samples, d->row_buf[i] + d->recon.win_x0,
                    size_t(d->recon.win_x1 - d->recon.win_x0) * sizeof(int32_t));
        return 1;
    }
    const uint32_t first = d->image.numXtiles * d->out_tile_row;
    const TileBounds tb = tile_bounds(d, first);
    if (d->out_rows_done > ceil_div(tb.y1, yr) - ceil_div(tb.y0, yr)) return 0;
    uint32_t g = 0, at = 0;
    for (uint32_t k = 0; k < d->image.numXtiles && g < d->out_width; k++) {
        const TileBounds b = tile_bounds(d, first + k);
        uint32_t span = b.x1 - b.x0;
        if (span > d->out_width - g) span = d->out_width - g;
        uint32_t n = ceil_div(b.x1, xr) - ceil_div(b.x0, xr);
        if (n > span) n = span;
        std::memcpy(samples + at, d->row_buf[i] + g, size_t(n) * sizeof(int32_t));
        at += n;
        g += span;
    }
    return 1;
}

void jpcdec_finish_output(jpcdec* d) {
    if (!d) return;
    if (d->rows) end_tile_row(d);
    free_row_buffers(d);
    recon_free(&d->recon);
    d->output_ready = 0;
}

namespace dravex {

int jpcdec_component_ssiz(const jpcdec* d, uint16_t i, uint8_t* ssiz) {
    if (!d || !d->image.ssiz || i >= d->image.Csiz) return 0;
    *ssiz = d->image.ssiz[i];
    return 1;
}

void jpcdec_component_sampling(const jpcdec* d, uint16_t i, uint32_t* xr, uint32_t* yr) {
    const bool known = d && i < d->image.Csiz;
    *xr = known && d->image.xrsiz ? d->image.xrsiz[i] : 1;
    *yr = known && d->image.yrsiz ? d->image.yrsiz[i] : 1;
}

uint32_t jpcdec_tile_columns(const jpcdec* d) { return d ? d->image.numXtiles : 0; }

int jpcdec_column_piece(const jpcdec* d, uint16_t i, uint32_t p, uint32_t* start,
                        uint32_t* count) {
    if (!d || p >= d->image.numXtiles || i >= d->image.Csiz || !d->image.xrsiz ||
        !d->image.xrsiz[i])
        return 0;
    const uint64_t xr = d->image.xrsiz[i];
    const TileBounds tb = image_tile_bounds(&d->image, p);  // tile column p, on the first tile row
    if (tb.x1 <= tb.x0) return 0;
    // On the output grid, where the tiles shrink with the levels left out.
    const uint64_t ox0 = jpc_out_coord(d, tb.x0), ox1 = jpc_out_coord(d, tb.x1);
    const uint64_t origin = jpc_out_coord(d, d->image.XOsiz);
    uint64_t cw = (ox1 + xr - 1) / xr - (ox0 + xr - 1) / xr;
    if (cw > ox1 - ox0) cw = ox1 - ox0;
    // The piece in the whole row, cut to the window.
    uint64_t lo = ox0 - origin, hi = lo + cw;
    if (lo < d->recon.win_x0) lo = d->recon.win_x0;
    if (hi > d->recon.win_x1) hi = d->recon.win_x1;
    if (hi <= lo) return 0;
    *start = static_cast<uint32_t>(lo - d->recon.win_x0);
    *count = static_cast<uint32_t>(hi - lo);
    return 1;
}

}  // namespace dravex
