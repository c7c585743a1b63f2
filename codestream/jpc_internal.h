#pragma once
// Helpers shared by the segment parsers of this module.
#include <cstdint>

#include "codestream/jpc_segments.h"
#include "codestream/jpcdec_impl.h"

// Width in bytes of a component index field: two bytes once an image has 257 components.
inline uint32_t jpc_component_field_width(const jpcdec* d) { return d->component_num < 257 ? 1 : 2; }

// Reads a component index of jpc_component_field_width bytes.
[[nodiscard]] inline int jpc_read_component_index(jpcdec* d, uint16_t* out) {
    if (jpc_component_field_width(d) == 2) return br_read_u16(d->reader, out);
    uint8_t b;
    if (!br_read_u8(d->reader, &b)) return 0;
    *out = b;
    return 1;
}

// Moves past what is left of a segment of which `count` bytes (length field included) are read.
inline void jpc_skip_rest(jpcdec* d, const MarkerHeader* m, uint32_t count) {
    if (m->length > count) br_skip(d->reader, m->length - count);
}

// As jpc_read_marker, without reporting: 0 when the data ran out.
[[nodiscard]] int jpc_read_marker_quiet(jpcdec* d, MarkerHeader* out);
