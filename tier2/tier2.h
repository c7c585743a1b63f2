#pragma once
// Tier2: the tile and packet layer of one codestream: the tile records, what the packet
// headers read and where the coded bytes stand, and the allowances that keep what hostile
// headers can make it build in proportion to the input.
#include <cstdint>

#include "codestream/codestream_reader.h"
#include "tier2/coded_store.h"
#include "tier2/record_arena.h"

namespace dravex {

struct Tile;
struct BlockHeaderState;

struct Tier2 {
    CodestreamReader* in;  // context, reader, image header, bytes skipped by the header walks
    Tile* tiles;           // in->image->tileNum records
    // Precincts and code-blocks the built tiles declare, bounded by the input's length less
    // the skipped segments; and the code-blocks made so far (their records are made when a
    // packet header first reads about them), bounded by the packet bytes read.
    uint64_t structure_records;
    uint64_t blocks_made;
    // Tag-tree nodes and code-blocks the packet headers have looked at, bounded by the
    // packet bytes read so far (headers and bodies).
    uint64_t header_visits;
    // Set once the warning about code-blocks deeper than their band has been given.
    uint8_t warned_deep_blocks;
    // What broke a bound in the packet header being read: damage to the tile-part, which
    // packet decoding reports as a warning before passing over the rest of the tile-part.
    const char* packet_damage;
    uint64_t packet_bytes;
    // Header state of the code-blocks the current packet includes, in header order: its body
    // walks these only.
    BlockHeaderState** included;
    uint32_t included_count, included_slots;
    // Packed packet headers from PPM segments of the main header, Zppm order.
    uint8_t* ppm_data;
    uint32_t ppm_length;
    uint32_t ppm_pos;  // next unread byte (start of the next tile-part's run)
    // Codeword segments of every tile and where their bytes stand in the input.
    CodedStore coded;
    // Tag trees and code-block header state of every tile, freed when parsing ends.
    RecordArena header_arena;
};

// Sets up the state over `in`: tileNum tile records, all unbuilt. 0 after reporting.
[[nodiscard]] int tier2_init(Tier2* t2, CodestreamReader* in);
// Frees everything the state holds (tiles, coded store, arena, PPM bytes).
void tier2_free(Tier2* t2);

}  // namespace dravex
