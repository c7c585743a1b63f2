#pragma once
// What a decoder built on the codestream decoder (the JP2 decoder) reads of it beyond the
// public interface: the components as SIZ declares them and where the output rows hold
// each tile column's samples.
#include <cstdint>

#include "codestream/jpcdec.h"

namespace dravex {

// 1 and the Ssiz byte of component i (bit 7: signed; the rest: precision - 1) once the main
// header is read; 0 otherwise.
[[nodiscard]] int jpcdec_component_ssiz(const jpcdec* d, uint16_t i, uint8_t* ssiz);
// The sub-sampling factors of component i (1 and 1 before the main header is read).
void jpcdec_component_sampling(const jpcdec* d, uint16_t i, uint32_t* xr, uint32_t* yr);
// Tile columns of the image.
uint32_t jpcdec_tile_columns(const jpcdec* d);
// Where the samples of component i from tile column p stand in the rows jpcdec_row_samples
// gives, cut to the output window: *start samples from the window's left edge, *count samples.
// 0 when the column has none in the window.
[[nodiscard]] int jpcdec_column_piece(const jpcdec* d, uint16_t i, uint32_t p, uint32_t* start,
                                      uint32_t* count);

}  // namespace dravex
