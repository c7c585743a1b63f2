#pragma once
// The jpcdec record, shared by the codestream, tier-2, tier-1 and reconstruction modules.
#include <cstdint>

#include "codestream/codestream_reader.h"
#include "codestream/image_header.h"
#include "codestream/jpc_segments.h"
#include "codestream/jpcdec.h"
#include "io/decode_context.h"
#include "tier2/tier2.h"
#include "tier2/tile.h"

constexpr uint32_t kMaxOutputComponents = 32;

struct T1Scratch;

struct jpcdec : DecodeContext, ImageHeader, Tier2 {
    ByteReader* reader;
    uint32_t reader_borrowed;
    CodestreamReader syntax;
    // Output
    uint32_t out_tile_row;
    uint32_t out_rows_done;
    uint16_t out_count;        // output components
    uint16_t decode_count;     // components decoded per row (>= out_count when MCT needs 3)
    uint32_t out_offset[kMaxOutputComponents];
    uint32_t out_pixel_stride;
    uint8_t* out_cursor[kMaxOutputComponents];
    int32_t* row_buf[kMaxOutputComponents];
    uint32_t out_width;
    uint32_t output_ready;
    uint64_t max_pixels;       // the caller's limit on width x height at output (0: none)
    uint8_t reduce;            // highest resolution levels left out of the output
    uint16_t max_layers;       // quality layers used (0: all)
    // The window output, relative to the output image's top-left corner: as asked for by the
    // caller (region_set), and as used once output is set up (the whole image without one).
    uint32_t region_set;
    uint32_t region_x0, region_y0, region_x1, region_y1;
    uint32_t win_x0, win_y0, win_x1, win_y1;
    T1Scratch* t1;             // tier-1 scratch reused by every code-block
};

inline uint32_t jpc_out_coord(const jpcdec* d, uint32_t v) { return reduced_coord(v, d->reduce); }

// Sets win_x0 .. win_y1 from the region and the image's size (output set-up calls it); 0
// when the region holds nothing of the image.
[[nodiscard]] int jpcdec_output_window(jpcdec* d);
