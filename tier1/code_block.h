#pragma once
// The code-block and its codeword segments: tier-2 gathers them from the packets, tier-1
// decodes them. Tier-1 reads the bounds, the zero bit-planes and, per segment, is_mq, data,
// total_len and npasses; the other fields are tier-2's bookkeeping.
#include <cstdint>

namespace dravex {

// One codeword segment of a code-block: passes and the input positions of its bytes, gathered
// over packets (tier2/coded_store.h). Records live in the decoder's CodedStore.
struct CodedSegment {
    uint32_t is_mq;       // 1 MQ-coded, 0 raw (bypass)
    uint32_t new_len;     // bytes the last packet contributed
    uint32_t new_passes;  // passes the last packet contributed
    uint32_t total_len;   // bytes collected
    uint32_t last_piece;  // newest piece of the bytes in the store, kNoPiece when none
    uint8_t* data;        // the bytes while tier-1 decodes the block, else nullptr
    uint32_t npasses;     // passes collected
    uint32_t max_passes;  // capacity in passes; 0xFFFFFFFF unlimited
    CodedSegment* next;
};

struct SegmentList {
    CodedSegment* head;
};

// A code-block as the output needs it. What only the packet headers need lives in tier-2's
// BlockHeaderState, dropped with the tag trees once parsing has ended, so that the records
// kept for the whole image stay small.
struct CodeBlock {
    uint32_t x0, y0, x1, y1;  // band coordinates
    uint32_t zero_bitplanes;
    SegmentList segments;
};

}  // namespace dravex
