#pragma once
// Pull pipeline: band rows (tier-1 on demand, dequantised), wavelet synthesis per level.
#include <cstdint>

struct jpcdec;
struct TileComponent;

// Next row of band b of resolution r (band_width samples) into dst; 0 when there is none
// (dst is then zero-filled when it was a failed pull inside the band).
int band_pull_row(jpcdec* d, TileComponent* tc, uint32_t r, uint32_t b, int32_t* dst);
// The same row where it lies in the band's stripe, without a copy; nothing reads it again,
// so the caller may overwrite it. nullptr when there is none.
int32_t* band_next_row(jpcdec* d, TileComponent* tc, uint32_t r, uint32_t b);
// Next row of resolution `level` of tc (its width in samples) into dst.
int tile_component_row(jpcdec* d, TileComponent* tc, uint32_t level, int32_t* dst);
