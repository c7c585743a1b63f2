// Placeholder definitions until the tier-2 module lands; delete as each is implemented.
#include "codestream/jpcdec_impl.h"
#include "tier2/packets.h"
#include "tier2/tile.h"

int tile_build(jpcdec*, uint32_t, const MarkerSet*, const MarkerSet*) { return 0; }
void tile_destroy(jpcdec*, Tile*) {}
int progression_setup(jpcdec*, uint32_t, const MarkerSet*, const MarkerSet*) { return 0; }
int decode_packets(jpcdec*, TilePartRecord*) { return 0; }
