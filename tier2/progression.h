#pragma once
// Tile progression: the record list (POC entries or one default record), the resumable
// iteration through the five orders, and the precinct steps of the position-driven orders.
//   progression_setup(t2, t, main, part);            // every tile-part (packets.h)
//   while (next_packet(state)) { state->layer, component, resolution, precinct ... }
// Every packet (layer, precinct) is emitted at most once: Precinct::packet_counter holds the
// lowest layer still owed, so overlapping records skip what was already read.
#include <cstdint>

#include "io/mem_ops.h"
#include "tier2/tile.h"

namespace dravex {

struct PocSegment;

// Precinct steps on the reference grid after dropping every step that is a multiple of a
// smaller one: the precincts of a set of (component, resolution) pairs start at the tile
// origin or at a multiple of one of these steps. With power-of-two sub-sampling each set
// holds one step; other sub-sampling factors may need a few.
struct StepSet {
    uint64_t* x;
    uint64_t* y;
    uint32_t nx, ny;
};

struct PositionSteps {
    StepSet all;              // every component and resolution (PCRL)
    StepSet* by_resolution;   // max_resolutions sets, over components (RPCL)
    StepSet* by_component;    // component_count sets, over resolutions (CPRL)
    uint64_t* pool;           // backing store of every set's steps
    // Component skips, so that loops never walk components without precincts (hostile
    // streams pair thousands of empty components with 65535 layers): next_at[r][c] is the
    // first component from c on with precincts at resolution r, next_any[c] the first with
    // precincts at any resolution; component_count when there is none. Rows hold
    // component_count + 1 entries.
    uint16_t* next_at;        // max_resolutions rows
    uint16_t* next_any;
};

enum ProgressionOrder : uint8_t { kLRCP = 0, kRLCP = 1, kRPCL = 2, kPCRL = 3, kCPRL = 4 };

// Creates the state of a built tile (steps, empty record list); 0 after reporting.
[[nodiscard]] int progression_state_create(MemOps* ops, Tile* tile);
void progression_state_destroy(MemOps* ops, ProgressionState* state);
// Appends a record at the tail; the record becomes current (and is started) when the list
// was empty or exhausted. The state takes ownership.
void progression_append(ProgressionState* state, ProgressionRecord* record);
// Makes the current record's bounds effective: layer 0, resolution RS, component CS, the
// tile origin.
void start_progression(ProgressionState* state);
// 1 when the state names the next packet to read; 0 when every record is used up.
[[nodiscard]] int next_packet(ProgressionState* state);
// Starts the tile's packets again from the first one, over the records read so far preceded
// by one record per entry of `lead` (these replace the lead records of an earlier restart;
// `lead` may be null). The caller forgets the packets read (tile_forget_packets). 0 after
// reporting when memory runs out.
[[nodiscard]] int progression_restart(Tier2* t2, ProgressionState* state, const PocSegment* lead);
// Smallest value above `pos` that is a multiple of a step in the list (`end` when none).
uint64_t next_position(uint64_t pos, const uint64_t* steps, uint32_t count, uint64_t end);

}  // namespace dravex
