#pragma once
// Pull pipeline: band rows (tier-1 on demand, dequantised), wavelet synthesis per level.
#include <cstdint>

#include "codestream/image_header.h"
#include "io/decode_context.h"

namespace dravex {

struct CodedStore;
struct T1Scratch;
struct Tile;
struct TileComponent;

// What the reconstruction of every tile shares: where messages and memory go, the image, the
// coded bytes and the tier-1 scratch, and what part of the image is output.
struct Reconstruction {
    DecodeContext* ctx;
    const ImageHeader* image;
    CodedStore* coded;  // the code-blocks' bytes are read back from it
    T1Scratch* t1;      // tier-1 scratch reused by every code-block, made on the first
    uint8_t reduce;     // highest resolution levels left out of the output
    // The window output, on the output grid from the output image's top-left corner (the
    // whole image without a region); region_set: a region narrows it.
    uint32_t region_set;
    uint32_t win_x0, win_y0, win_x1, win_y1;
};

// Frees the tier-1 scratch (the tiles' buffers go with recon_tile_end).
void recon_free(Reconstruction* rc);

// The rows of one tile-component while its tile's output runs: levels holds the state of
// each resolution level (nullptr when the component has no coded data or its buffers could
// not be had; its rows are then zero coefficients).
struct LevelRows;
struct ComponentRows {
    TileComponent* tc;
    LevelRows* levels;
};

// Sets up the rows of the first `count` components of a built tile into rows[0 .. count - 1].
// On failure everything is freed again and 0 is returned: the tile's rows then come out as
// zero coefficients.
[[nodiscard]] int recon_tile_begin(Reconstruction* rc, Tile* tile, uint32_t count,
                                   ComponentRows* rows);
// Frees what recon_tile_begin made for rows[0 .. count - 1] and clears them.
void recon_tile_end(Reconstruction* rc, ComponentRows* rows, uint32_t count);

// Next row of band b of resolution r (band_width samples) into dst; 0 when there is none
// (dst is then zero-filled when it was a failed pull inside the band).
int band_pull_row(Reconstruction* rc, ComponentRows* c, uint32_t r, uint32_t b, int32_t* dst);
// The same row where it lies in the band's stripe, without a copy; nothing reads it again,
// so the caller may overwrite it. nullptr when there is none.
int32_t* band_next_row(Reconstruction* rc, ComponentRows* c, uint32_t r, uint32_t b);
// Next row of resolution `level` of c (its width in samples) into dst.
int tile_component_row(Reconstruction* rc, ComponentRows* c, uint32_t level, int32_t* dst);
// Passes over that row (above the output window): a level that hands out zero rows there
// only counts it, the others deliver it into dst unused.
void tile_component_skip_row(Reconstruction* rc, ComponentRows* c, uint32_t level, int32_t* dst);

}  // namespace dravex
