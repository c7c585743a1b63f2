#ifndef DRAVEX_JPCDEC_H
#define DRAVEX_JPCDEC_H
// jpcdec: decodes one JPEG 2000 codestream, one output row per call.
//   jpcdec* d = jpcdec_create(ops, stream);           // parses nothing yet
//   if (!jpcdec_parse(d)) { jpcdec_destroy(d); ... }  // after a failed parse: destroy only
//   jpcdec_get_size(d, &w, &h);  n = jpcdec_get_component_num(d);
//   if (!jpcdec_set_output(d, 3, offsets, 3)) ...     // 0: output buffers not granted
//   for (y < h) jpcdec_decode_row(d, row);            // row: w * pixel_stride bytes
//   jpcdec_finish_output(d);  jpcdec_destroy(d);
// Results: 1 success, 0 failure (already passed to error_hook if set). The caller owns ops
// and stream and releases them after the decoder. Hooks receive bare message texts.
// Parsing notes where each code-block's bytes stand and decode_row reads them again, so the
// stream must stay readable and unchanged until the last row (blocks it fails come out zero).
#include <stdint.h>

#include "dravex/export.h"
#include "dravex/mem_ops.h"
#include "dravex/stream.h"

DRAVEX_BEGIN_DECLS

typedef struct jpcdec jpcdec;
typedef void (*jpc_message_hook)(const char* message);

DRAVEX_NODISCARD DRAVEX_API jpcdec* jpcdec_create(MemOps* ops, Stream* s);
DRAVEX_API void jpcdec_set_hooks(jpcdec* d, jpc_message_hook error_hook,
                                 jpc_message_hook warning_hook);
DRAVEX_NODISCARD DRAVEX_API int jpcdec_parse(jpcdec* d);
DRAVEX_API uint16_t jpcdec_get_component_num(const jpcdec* d);
DRAVEX_API void jpcdec_get_size(const jpcdec* d, uint32_t* width, uint32_t* height);
// Limits the image area (width x height) that output may be set up for; 0 (the default)
// sets no limit. A caller decoding files from strangers sets it as video decoders limit
// frame sizes: a few bytes of header can declare an image of billions of pixels.
DRAVEX_API void jpcdec_set_max_pixels(jpcdec* d, uint64_t max_pixels);
// Decoding less, each called after parse and before set_output (get_size then reports the
// output's size):
// Leaves out the r highest resolution levels: the image shrinks to the size of the level below
// them (halved r times, rounded up, on the reference grid). Fails when a tile-component has
// fewer than r wavelet levels. Their code-blocks are never decoded.
DRAVEX_NODISCARD DRAVEX_API int jpcdec_set_reduction(jpcdec* d, uint32_t r);
// Uses only what the first n quality layers brought to each code-block (0: every layer). For
// good: a later call cannot bring back layers an earlier one dropped.
DRAVEX_API void jpcdec_set_layers(jpcdec* d, uint32_t n);
// Outputs only the window x0 <= x < x1, y0 <= y < y1 of the (possibly reduced) image, in
// coordinates from its top-left corner; parts outside the image are cut off. Rows come out
// as the window's rows, each x1 - x0 pixels; components sub-sampled vertically or
// horizontally keep the layout of decode_row (cut from the whole row), and their
// component_row is not available. Fails on a window with nothing of the image in it.
DRAVEX_NODISCARD DRAVEX_API int jpcdec_set_region(jpcdec* d, uint32_t x0, uint32_t y0,
                                                  uint32_t x1, uint32_t y1);
// Configures row output: `count` components (at most the image's, at most 32), component i
// written at byte offsets[i] (or i when offsets is null) of each pixel of `pixel_stride` bytes.
// Fails on an image larger than the pixel limit.
DRAVEX_NODISCARD DRAVEX_API int jpcdec_set_output(jpcdec* d, uint16_t count,
                                                  const uint32_t* offsets, uint32_t pixel_stride);
// Writes the next image row; 0 once every row has been delivered. A null row decodes the
// row without storing bytes, for callers that take the samples at full precision below.
DRAVEX_API int jpcdec_decode_row(jpcdec* d, uint8_t* row);
// Full-precision samples of output component i for the row just delivered (after level shift
// and clamping, before the low-8-bit store); laid out as the bytes of the row: per tile, the
// tile-component's samples from the tile's first pixel. Valid until the next decode_row.
DRAVEX_API const int32_t* jpcdec_row_samples(const jpcdec* d, uint16_t i);
// Full-precision output, each component at its own size (a sub-sampled component has fewer
// samples per row and fewer rows than the image):
//   JpcComponentInfo c;  jpcdec_get_component_info(d, i, &c);
//   jpcdec_set_output(d, n, NULL, n);                         // components 0 .. n-1
//   for (y < h) { jpcdec_decode_row(d, NULL);
//                 for (i < n) if (jpcdec_component_row(d, i, samples)) ... }  // c.width each
// A component's rows come out in order, top first, on the image rows that carry one.
typedef struct JpcComponentInfo {
    uint32_t width, height;  // the component's own size
    uint32_t precision;      // bits per sample
    uint32_t is_signed;
} JpcComponentInfo;
DRAVEX_NODISCARD DRAVEX_API int jpcdec_get_component_info(const jpcdec* d, uint16_t i,
                                                          JpcComponentInfo* out);
// 1 and the component's next row in samples (width entries, after level shift and clamping)
// when the image row just delivered carries a row of output component i; 0 otherwise.
DRAVEX_NODISCARD DRAVEX_API int jpcdec_component_row(const jpcdec* d, uint16_t i,
                                                     int32_t* samples);
// 1 once the input failed to give back bytes it held at parse time: the rows since carry
// zeros in their place, so the image is incomplete rather than merely damaged.
DRAVEX_API int jpcdec_input_failed(const jpcdec* d);
DRAVEX_API void jpcdec_finish_output(jpcdec* d);
DRAVEX_API void jpcdec_destroy(jpcdec* d);

DRAVEX_END_DECLS

#endif
