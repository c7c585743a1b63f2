#pragma once
// CodedStore: where the codeword segments of every code-block live between parsing and output.
//   CodedSegment* seg = coded_new_segment(store);                 // zeroed, owned by the store
//   if (!coded_add_piece(store, seg, pos, n, layer, passes)) ...    // n bytes at reader pos
//   if (coded_load_block(store, cb)) t1_decode_codeblock(...);      // seg->data valid until unload
//   coded_unload_block(cb);  ...  coded_store_free(store);      // the store's owner calls the last
// Tier-2 no longer copies packet bodies: each segment keeps where its bytes stand in the input,
// one piece per packet that contributed, and tier-1 gets them back, contiguous, in one scratch
// buffer just before it decodes the block. Memory then follows the number of code-blocks, not
// the coded bytes, and the segment records come from a few large chunks, not one allocation
// each. Results: 1 success, 0 failure (nothing reported: callers report).
#include <cstdint>

#include "dravex/mem_ops.h"

namespace dravex {

struct ByteReader;
struct CodeBlock;
struct CodedSegment;

constexpr uint32_t kNoPiece = 0xFFFFFFFFu;

struct CodedPiece {
    uint32_t pos;     // reader position of the first byte
    uint32_t len;
    uint32_t prev;    // the segment's previous piece, kNoPiece for its first
    uint16_t layer;   // quality layer of the packet that brought it
    uint16_t passes;  // coding passes it completes
};

// Stretches of the input kept from the last reads (see coded_load_block).
constexpr uint32_t kCodedWindows = 4;
constexpr uint32_t kCodedWindowSize = uint32_t(32) << 10;

struct CodedStore {
    MemOps* ops;
    ByteReader* reader;             // over the input the positions refer to
    CodedSegment** segment_chunks;  // chunks doubling up to kCodedChunk records, the last filling
    uint32_t segment_chunk_count, segment_chunk_slots;
    uint32_t segments_in_last, last_segment_chunk;  // used and capacity of the last chunk
    CodedPiece** piece_chunks;      // piece i in chunk i / kCodedChunk; the first grows in place
    uint32_t piece_chunk_count, piece_chunk_slots;
    uint32_t piece_count;           // pieces in use over all chunks
    uint32_t piece_capacity;        // pieces the chunks hold
    uint8_t* scratch;               // the bytes of the block being decoded
    uint32_t scratch_size;
    uint32_t read_failed;           // a re-read has failed (reported once)
    // The pieces of a block lie in as many places as layers brought it bytes, and the next
    // block's lie just after them: a few stretches of the input, read whole, serve most
    // pieces without a seek and a read each. Made on first use.
    uint8_t* windows;               // kCodedWindows x kCodedWindowSize bytes
    uint32_t window_pos[kCodedWindows];   // reader position of each stretch's first byte
    uint32_t window_len[kCodedWindows];   // 0: holds nothing
    uint32_t window_used[kCodedWindows];  // when each last served a piece
    uint32_t window_clock;
};

// Records per chunk once a stream has many: chunk headers then cost nothing. The first chunks
// start at kFirstCodedChunk and double, so that a tiny image does not pay for big ones.
constexpr uint32_t kCodedChunk = 1024;
constexpr uint32_t kFirstCodedChunk = 32;

[[nodiscard]] CodedSegment* coded_new_segment(CodedStore* store);
// Appends n bytes standing at reader position pos to seg (total_len grows by n), which a packet
// of quality layer `layer` brought with `passes` coding passes. A piece that continues the
// segment's last one in the same layer extends it. 0 when memory runs out.
[[nodiscard]] int coded_add_piece(CodedStore* store, CodedSegment* seg, uint32_t pos, uint32_t n,
                                  uint32_t layer, uint32_t passes);
// Drops from cb what quality layers from `layers` on brought: bytes, passes, and the segments
// left empty. For good: what is dropped cannot be had back.
void coded_keep_layers(CodedStore* store, CodeBlock* cb, uint32_t layers);
// Reads the bytes of every segment of cb from the input stream into the store's scratch and
// points each segment's data at its part. The stream moves; the reader's position does not.
// 0 when memory runs out or the stream no longer delivers them: every data pointer is then
// nullptr.
[[nodiscard]] int coded_load_block(CodedStore* store, CodeBlock* cb);
void coded_unload_block(CodeBlock* cb);
void coded_store_free(CodedStore* store);

}  // namespace dravex
