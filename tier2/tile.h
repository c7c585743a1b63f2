#pragma once
// Tile structure records: built once per tile on its first tile-part, kept until the decoder
// is destroyed. All coordinates are unsigned 32-bit, bounds half-open.
#include <cstdint>

#include "tier1/code_block.h"

namespace dravex {

struct Tier2;
struct MarkerSet;
struct TagTree;
struct Tile;
struct TileComponent;
struct PositionSteps;

struct BlockHeaderState {
    CodedSegment* tail;
    CodedSegment* current;    // first segment that can still take passes
    uint32_t lblock_extra;    // Lblock - 3: zero at creation, like every other field
    uint32_t pass_count;      // passes received over all packets
    uint8_t included_before;
};

struct PrecinctBand {
    uint32_t x0, y0, x1, y1;  // band coordinates
    uint32_t blocks_across, blocks_down;
    CodeBlock* blocks;        // raster order, or nullptr
    // Packet-header state in the decoder's header arena (nullptr once dropped).
    BlockHeaderState* states; // raster order, as blocks
    TagTree* inclusion_tree;
    TagTree* zero_bitplane_tree;
};

struct Precinct {
    uint32_t x0, y0, x1, y1;  // resolution coordinates
    PrecinctBand* bands;      // band_count entries
    uint16_t packet_counter;  // lowest layer whose packet is still owed
};

struct Band {
    uint32_t x0, y0, x1, y1;  // band coordinates
    uint8_t magnitude_bits;   // M_b
    uint32_t step_mantissa;
    int32_t step_exponent;
    uint32_t cb_across, cb_down;
    CodeBlock** code_blocks;  // raster order across precincts, or nullptr
    uint32_t band_width;
    uint8_t xcb_eff, ycb_eff; // effective code-block exponents in this band
};

struct Resolution {
    TileComponent* component;
    uint32_t r;
    uint32_t band_count;
    uint32_t x0, y0, x1, y1;
    uint32_t lower_x0, lower_y0, lower_x1, lower_y1;
    Band bands[3];
    Precinct* precincts;
    uint32_t precincts_across, precincts_down, precinct_count;
    uint8_t PPx, PPy;
    uint32_t low_width, high_width;
};

struct TileComponent {
    Tile* tile;
    uint32_t x0, y0, x1, y1;
    uint32_t resolution_count;
    Resolution* resolutions;
    uint32_t is_signed;
    uint8_t precision;
    uint8_t xrsiz, yrsiz;
    uint8_t levels;
    uint8_t xcb, ycb;      // already + 2
    uint8_t cblk_style;
    uint8_t transform;
    uint8_t quant_style;
    uint8_t roi_style;
    uint8_t roi_shift;
    uint8_t frac_bits;     // of irreversible samples, the same for every component
};

struct ProgressionRecord {
    uint8_t RS, RE;
    uint16_t CS, CE;
    uint16_t LYE;
    uint8_t order;
    ProgressionRecord* next;
};

struct ProgressionState {
    Tile* tile;
    ProgressionRecord* head;
    ProgressionRecord* tail;
    ProgressionRecord* current;
    uint16_t layer;
    uint16_t component;
    uint8_t resolution;
    uint32_t precinct;
    uint64_t x, y;  // 64-bit so stepping can never wrap near the top of the grid
    uint16_t start_layer;
    uint16_t start_component;
    uint8_t start_resolution;
    // Precinct steps per order (tier2/progression.h): positions are visited at the tile
    // origin and at multiples of these, which also covers non-power-of-two sub-sampling.
    PositionSteps* steps;
    // 1 when the current packet's header came from PPT bytes read past the end of the
    // previous tile-part's data: its body opens the tile's next tile-part.
    uint32_t body_pending;
    // Records at the head of the list that progression_restart put there.
    uint32_t lead_records;
};

struct Tile {
    uint32_t x0, y0, x1, y1;
    TileComponent* components;
    uint8_t Scod;
    uint8_t progression;
    uint16_t layers;
    uint8_t mct;
    uint8_t transform;
    uint8_t max_resolutions;
    uint16_t component_count;
    ProgressionState* progression_state;
    uint32_t built;            // 1 once the tile structure exists
    uint32_t parts_seen;       // tile-parts read for this tile
    // 1 once a packet header of the tile broke a bound: its progression no longer knows
    // which packet comes next, so the packets of its later tile-parts are passed over.
    uint32_t packets_damaged;
    // Packed packet headers of this tile (PPT over its tile-parts); read position below.
    // The decoder appends the PPT bytes of each tile-part and tier2_free frees them;
    // tile_build/tile_destroy leave these three fields alone, and decode_packets advances
    // ppt_pos.
    uint8_t* ppt_data;
    uint32_t ppt_length;
    uint32_t ppt_pos;
};

// Builds tile t (bounds, components, coding style, resolutions, precincts, code-blocks,
// quantisation) from the main header and the tile's first tile-part header. `part` may be
// nullptr for a tile that no tile-part announces (it then reconstructs as zero coefficients).
// Returns 0 after reporting through the context when a value is unusable; the tile is then
// left unbuilt with nothing allocated. Line rings, input rows and band stripes are not
// allocated here (the reconstruction makes them when the tile's output starts), so memory
// does not grow with the number of tile rows.
[[nodiscard]] int tile_build(Tier2* t2, uint32_t t, const MarkerSet* main, const MarkerSet* part);
// Reported when packets arrive for a tile that tile_build did not complete.
inline constexpr const char* kMsgTileNotBuilt = "Tile-part for a tile that has not been built.";
// Forgets every packet read for the tile (code-block segments, zero bit-planes, header state,
// tag trees, packet counters, the PPT read position) so that its packets can be read again
// from the start. The tile must still have its header state (parsing has not ended).
void tile_forget_packets(Tile* tile);
// Makes the code-block records (bounds not yet set), header state and tag trees of a
// precinct's share of a band, the first time a packet header reads about it; refused
// (reported) when the code-blocks made so far would exceed what `packet_bytes` packet bytes
// can justify.
[[nodiscard]] int precinct_band_make_blocks(Tier2* t2, PrecinctBand* pb, uint64_t packet_bytes);
// Gives every band that has code-block records its band-wide grid, zeroed, after checking
// that every precinct's blocks fall inside it (called once the last tile-part has been read).
// The cells are filled by band_link_blocks: blocks no packet reached stay null, i.e. zero.
[[nodiscard]] int tiles_link_blocks(Tier2* t2);
// Fills band b's grid and sets the bounds of its code-block records (made without them), once;
// the output calls it for every band it reads, so the records of bands a reduced output drops
// are never touched. 0 when two blocks claim one cell (kTier2MsgGrid).
[[nodiscard]] int band_link_blocks(const Resolution& res, uint32_t b);
constexpr const char* kTier2MsgGrid = "Code-block grid of a band is inconsistent.";
// Frees what only packet decoding needs (tag trees, code-block header state) of every tile,
// once the last tile-part has been read.
void tiles_drop_header_state(Tier2* t2);
// Calls f(tile, resolution) for every resolution of every tile-component the tiles hold,
// stopping at the first call that returns false; false then.
template <class F>
bool tiles_for_each_resolution(Tile* tiles, uint32_t tile_count, F f) {
    for (uint32_t t = 0; tiles && t < tile_count; t++) {
        Tile& tile = tiles[t];
        for (uint32_t c = 0; tile.components && c < tile.component_count; c++) {
            TileComponent& tc = tile.components[c];
            for (uint32_t r = 0; tc.resolutions && r < tc.resolution_count; r++)
                if (!f(tile, tc.resolutions[r])) return false;
        }
    }
    return true;
}
// Frees everything a (possibly half-built) tile holds and zeroes its pointers; the Tile record
// itself stays reusable.
void tile_destroy(Tier2* t2, Tile* tile);

}  // namespace dravex
