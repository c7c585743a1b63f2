#pragma once
// Marker reader and header walks.
#include <cstdint>

#include "codestream/jpc_segments.h"

struct jpcdec;

[[nodiscard]] int jpc_read_marker(jpcdec* d, MarkerHeader* out);
[[nodiscard]] MarkerSet* marker_set_create(jpcdec* d, uint16_t count);
void marker_set_destroy(jpcdec* d, MarkerSet* set);
// On success the reader stands on the first SOT body byte (after Lsot) or at the end of data.
[[nodiscard]] MarkerSet* jpc_parse_main_header(jpcdec* d);
// Precondition: SOT marker and Lsot read; `sot_pos` of the record is filled by the caller.
[[nodiscard]] int jpc_read_sot(jpcdec* d, TilePartRecord* tp);
[[nodiscard]] MarkerSet* jpc_parse_first_tile_part_header(jpcdec* d, TilePartRecord* tp);
[[nodiscard]] MarkerSet* jpc_parse_next_tile_part_header(jpcdec* d, TilePartRecord* tp);
// Precondition: SOP marker and Lsop read with jpc_read_marker; fails unless Lsop is 4.
[[nodiscard]] int jpc_read_sop(jpcdec* d, const MarkerHeader* sop, uint16_t* nsop);
