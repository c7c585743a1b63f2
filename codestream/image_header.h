#pragma once
// The image header: the SIZ values, the per-component arrays and the tile grid, as the
// main header gives them. Filled by jpc_parse_siz and the main-header walk, read by every
// layer above; the arrays are freed by jpc_free_siz_arrays.
#include <cstdint>

namespace dravex {

struct ImageHeader {
    uint32_t Xsiz, Ysiz, XOsiz, YOsiz, XTsiz, YTsiz, XTOsiz, YTOsiz;
    uint16_t Csiz;
    uint8_t* ssiz;
    uint8_t* xrsiz;
    uint8_t* yrsiz;
    uint16_t Rsiz;
    uint16_t component_num;
    uint8_t irr_frac_bits;  // fraction bits of irreversible samples (0: SIZ not read yet)
    uint32_t tileNum, numXtiles, numYtiles;
};

// Half-open bounds on the reference grid (or, reduced, on the output grid).
struct TileBounds {
    uint32_t x0, y0, x1, y1;
};

// Tile t of the grid cut to the image area; empty (x1 == x0 or y1 == y0) when the grid places
// the tile outside the image, which a well-formed header never does.
TileBounds image_tile_bounds(const ImageHeader* h, uint32_t t);

// A reference-grid coordinate on the output grid when the `reduce` highest resolution levels
// are left out: each level halves the grid, rounding up as the level bounds do.
inline uint32_t reduced_coord(uint32_t v, uint32_t reduce) {
    return uint32_t((uint64_t(v) + (uint64_t(1) << reduce) - 1) >> reduce);
}

inline TileBounds reduced_bounds(const TileBounds& b, uint32_t reduce) {
    return {reduced_coord(b.x0, reduce), reduced_coord(b.y0, reduce), reduced_coord(b.x1, reduce),
            reduced_coord(b.y1, reduce)};
}

// Fraction bits of irreversible fixed-point samples for components of up to `precision` bits:
// as many as leave the deepest coefficient and its lifting sums (about precision + 3 bits)
// clear of the int32 range. 8-bit images get 20, 12-bit 16, 16-bit 12.
inline uint32_t jpc_irr_frac_bits(uint32_t precision) {
    return precision >= 27 ? 1 : (precision <= 8 ? 20 : 28 - precision);
}
// Fraction bits in force: 16 before a SIZ segment has been read.
inline uint32_t image_frac_bits(const ImageHeader* h) {
    return h->irr_frac_bits ? h->irr_frac_bits : 16;
}

}  // namespace dravex
