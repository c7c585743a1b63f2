#pragma once
// The steps of tile_build, callable on their own so that tests can build a tile from
// hand-chosen parameters without header segments.
//   tile_build_bounds(t2, t);                       // bounds, one TileComponent per component
//   tile_component_apply_style(t2, tc, &style);     // resolutions, precincts, code-blocks
// Band quantisation (magnitude_bits, steps) is left to the caller of the second step.
#include <cstdint>

#include "tier2/tile.h"

struct Tier2;

// Resolved coding parameters of one tile-component.
struct ComponentStyle {
    uint8_t levels;                 // NL
    uint8_t xcb, ycb;               // code-block exponents, already + 2
    uint8_t cblk_style;
    uint8_t transform;              // 0 = 9/7, 1 = 5/3
    const uint8_t* precinct_sizes;  // levels + 1 bytes (low nibble PPx, high PPy), or null
    uint8_t roi_style, roi_shift;
};

[[nodiscard]] int tile_build_bounds(Tier2* t2, uint32_t t);
[[nodiscard]] int tile_component_apply_style(Tier2* t2, TileComponent* tc,
                                             const ComponentStyle* style);
// Frees the structures of a tile (everything tile_destroy frees) and zeroes its pointers.
void tile_release(Tier2* t2, Tile* tile);
