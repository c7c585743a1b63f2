#pragma once
// Collection of packed packet headers: the bodies of PPM (main header) or PPT (tile-part
// header) segments, put in the order of their Z index. Every byte kept was read from the
// input, so the memory stays bounded by the input size.
#include <cstdint>

#include "codestream/jpc_segments.h"

namespace dravex {

struct CodestreamReader;

struct PackedPiece {
    uint32_t offset;  // in PackedCollector::data
    uint32_t length;
    uint8_t z;
};

struct PackedCollector {
    uint8_t* data;         // bodies after the Z byte, in codestream order
    uint32_t length;
    PackedPiece* pieces;
    uint32_t count;
    uint32_t out_of_order; // some Z was lower than the one before it
};

struct PackedMessages {
    const char* read;
    const char* too_short;
};
constexpr PackedMessages kPpmMessages = {"Parsing PPM marker segment error.",
                                         "PPM marker segment is too short."};
constexpr PackedMessages kPptMessages = {"Parsing PPT marker segment error.",
                                         "PPT marker segment is too short."};

// Reads one segment body (reader just after the length word).
[[nodiscard]] int packed_collect(CodestreamReader* cr, PackedCollector* c, const MarkerHeader* m,
                                 const PackedMessages& msg);
// Hands the bytes over in Z order (stable for equal Z) as *data / *length, replacing what
// was there (nothing), and frees the collector's own state.
[[nodiscard]] int packed_finish(CodestreamReader* cr, PackedCollector* c, uint8_t** data,
                                uint32_t* length);
void packed_discard(CodestreamReader* cr, PackedCollector* c);
// Appends n bytes to a buffer whose capacity is implied by its length (next power of two),
// so that repeated appends cost amortised linear time without a capacity field.
[[nodiscard]] int packed_append(CodestreamReader* cr, uint8_t** data, uint32_t* length, const uint8_t* src,
                                uint32_t n);

}  // namespace dravex
