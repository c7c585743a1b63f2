#pragma once
// Progression set-up and packet decoding for one tile-part.
#include <cstdint>

#include "codestream/jpc_segments.h"

namespace dravex {

struct Tier2;

// Called for every tile-part after the tile is built (first tile-part) or found built.
[[nodiscard]] int progression_setup(Tier2* t2, uint32_t t, const MarkerSet* main,
                                    const MarkerSet* part);
// Reads the packets of one tile-part; the reader stands on the first byte after SOD.
// Packet headers come from the tile's PPT bytes or the decoder's PPM bytes when present.
[[nodiscard]] int decode_packets(Tier2* t2, TilePartRecord* tp);

}  // namespace dravex
