#pragma once
// Marker reader and header walks.
#include <cstdint>

#include "codestream/jpc_segments.h"

namespace dravex {

struct CodestreamReader;

[[nodiscard]] int jpc_read_marker(CodestreamReader* cr, MarkerHeader* out);
[[nodiscard]] MarkerSet* marker_set_create(CodestreamReader* cr, uint16_t count);
void marker_set_destroy(CodestreamReader* cr, MarkerSet* set);
// Reads SOC and SIZ into the image header and works out the tile grid.
[[nodiscard]] int jpc_parse_image_header(CodestreamReader* cr);
// The rest of the main header; the PPM bytes, in Zppm order, go to *ppm (empty without PPM).
// On success the reader stands on the first SOT body byte (after Lsot) or at the end of data.
[[nodiscard]] MarkerSet* jpc_parse_main_header(CodestreamReader* cr, PackedHeaders* ppm);
// Whether an SOT marker's Lsot leaves room for its 8-byte body; reports when it does not.
[[nodiscard]] int jpc_check_sot_length(CodestreamReader* cr, const MarkerHeader* sot);
// Precondition: SOT marker and Lsot read; `sot_pos` of the record is filled by the caller.
[[nodiscard]] int jpc_read_sot(CodestreamReader* cr, TilePartRecord* tp);
[[nodiscard]] MarkerSet* jpc_parse_first_tile_part_header(CodestreamReader* cr, TilePartRecord* tp);
[[nodiscard]] MarkerSet* jpc_parse_next_tile_part_header(CodestreamReader* cr, TilePartRecord* tp);
// Precondition: SOP marker and Lsop read with jpc_read_marker; fails unless Lsop is 4.
[[nodiscard]] int jpc_read_sop(CodestreamReader* cr, const MarkerHeader* sop, uint16_t* nsop);

}  // namespace dravex
