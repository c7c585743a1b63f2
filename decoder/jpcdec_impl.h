#pragma once
// The jpcdec record: the codestream decoder object, made of the records each layer below
// takes (context, image header, syntax reader, tier-2 state, reconstruction), and the state
// of its row interface.
#include <cstdint>

#include "codestream/codestream_reader.h"
#include "codestream/image_header.h"
#include "codestream/jpcdec.h"
#include "io/decode_context.h"
#include "reconstruct/recon.h"
#include "tier2/tier2.h"

namespace dravex {

constexpr uint32_t kMaxOutputComponents = 32;

}  // namespace dravex

// The public handle's record (declared by the calling interface, outside the namespace).
struct jpcdec {
    dravex::DecodeContext ctx;
    dravex::ImageHeader image;
    dravex::ByteReader* reader;
    uint32_t reader_borrowed;
    dravex::CodestreamReader syntax;
    dravex::Tier2 t2;
    dravex::Reconstruction recon;
    // Output
    uint32_t out_tile_row;
    uint32_t out_rows_done;
    uint16_t out_count;     // output components
    uint16_t decode_count;  // components decoded per row (>= out_count when MCT needs 3)
    uint32_t out_offset[dravex::kMaxOutputComponents];
    uint32_t out_pixel_stride;
    int32_t* row_buf[dravex::kMaxOutputComponents];
    // The rows of each decoded component of each tile of the tile row being output, tile
    // column after tile column (numXtiles x decode_count).
    dravex::ComponentRows* rows;
    uint32_t out_width;
    uint32_t output_ready;
    uint64_t max_pixels;  // the caller's limit on width x height at output (0: none)
    // The window as asked for by the caller (region_set in recon), relative to the output
    // image's top-left corner; recon holds it as used once output is set up.
    uint32_t region_x0, region_y0, region_x1, region_y1;
};

namespace dravex {

// A reference-grid coordinate on the output grid.
inline uint32_t jpc_out_coord(const jpcdec* d, uint32_t v) { return reduced_coord(v, d->recon.reduce); }

// Sets the window in recon from the region and the image's size (output set-up calls it); 0
// when the region holds nothing of the image.
[[nodiscard]] int jpcdec_output_window(jpcdec* d);

}  // namespace dravex
