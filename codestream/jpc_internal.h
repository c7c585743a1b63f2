#pragma once
// Helpers shared by the segment parsers of this module.
#include <cstdint>

#include "codestream/codestream_reader.h"
#include "codestream/jpc_segments.h"

namespace dravex {

// Progression orders: LRCP, RLCP, RPCL, PCRL, CPRL.
constexpr uint8_t kJpcMaxProgression = 4;

// Width in bytes of a component index field: two bytes once an image has 257 components.
inline uint32_t jpc_component_field_width(const CodestreamReader* cr) { return cr->image->component_num < 257 ? 1 : 2; }

// Reads a component index of jpc_component_field_width bytes.
[[nodiscard]] inline int jpc_read_component_index(CodestreamReader* cr, uint16_t* out) {
    if (jpc_component_field_width(cr) == 2) return br_read_u16(cr->reader, out);
    uint8_t b;
    if (!br_read_u8(cr->reader, &b)) return 0;
    *out = b;
    return 1;
}

// Moves past what is left of a segment of which `count` bytes (length field included) are read.
inline void jpc_skip_rest(CodestreamReader* cr, const MarkerHeader* m, uint32_t count) {
    if (m->length > count) br_skip(cr->reader, m->length - count);
}

// As jpc_read_marker, without reporting: 0 when the data ran out.
[[nodiscard]] int jpc_read_marker_quiet(CodestreamReader* cr, MarkerHeader* out);

}  // namespace dravex
