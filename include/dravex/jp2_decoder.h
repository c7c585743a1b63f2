#ifndef DRAVEX_JP2_DECODER_H
#define DRAVEX_JP2_DECODER_H
// Jp2Decoder: decodes one JP2 file, one output row per call.
//   Jp2Decoder* j = jp2_create(ops, stream);
//   if (!jp2_parse(j)) { jp2_destroy(j); ... }       // after a failed parse: destroy only
//   jp2_get_size(j, &w, &h);  jp2_set_colour_conversion(j, 1);
//   if (!jp2_set_output(j, 3, offsets, 3)) ...
//   for (y < h) jp2_decode_row(j, row);
//   jp2_finish_output(j);  jp2_destroy(j);           // the caller closes the stream
// Results: 1 success, 0 failure (already passed to error_hook if set). Rows read code-block
// bytes from the stream, which must stay readable until the last row (as for jpcdec).
#include <stdint.h>

#include "dravex/export.h"
#include "dravex/jpcdec.h"
#include "dravex/mem_ops.h"
#include "dravex/stream.h"

DRAVEX_BEGIN_DECLS

typedef struct Jp2Decoder Jp2Decoder;
typedef void (*jp2_message_hook)(const char* message);

DRAVEX_NODISCARD DRAVEX_API Jp2Decoder* jp2_create(MemOps* ops, Stream* s);
DRAVEX_API void jp2_set_hooks(Jp2Decoder* j, jp2_message_hook error_hook,
                              jp2_message_hook warning_hook);
DRAVEX_NODISCARD DRAVEX_API int jp2_parse(Jp2Decoder* j);
DRAVEX_API void jp2_get_size(const Jp2Decoder* j, uint32_t* width, uint32_t* height);
DRAVEX_API void jp2_set_colour_conversion(Jp2Decoder* j, uint32_t flag);
// The image-area limit of jpcdec_set_max_pixels, for the codestream inside (0: none).
DRAVEX_API void jp2_set_max_pixels(Jp2Decoder* j, uint64_t max_pixels);
// The options of jpcdec.h for decoding less, for the codestream inside: after parse, before
// set_output.
DRAVEX_NODISCARD DRAVEX_API int jp2_set_reduction(Jp2Decoder* j, uint32_t r);
DRAVEX_NODISCARD DRAVEX_API int jp2_set_layers(Jp2Decoder* j, uint32_t n);
DRAVEX_NODISCARD DRAVEX_API int jp2_set_region(Jp2Decoder* j, uint32_t x0, uint32_t y0,
                                               uint32_t x1, uint32_t y1);
DRAVEX_NODISCARD DRAVEX_API int jp2_set_output(Jp2Decoder* j, uint16_t count,
                                               const uint32_t* offsets, uint32_t pixel_stride);
DRAVEX_API int jp2_decode_row(Jp2Decoder* j, uint8_t* row);
// The codestream decoder inside, after a successful parse, for output of the codestream's
// own components at full precision (jpcdec.h), before palette and colour; owned by j.
DRAVEX_API jpcdec* jp2_get_codestream(Jp2Decoder* j);
// 1 once the input failed to give back codestream bytes during row output (see jpcdec.h).
DRAVEX_API int jp2_input_failed(const Jp2Decoder* j);
DRAVEX_API void jp2_finish_output(Jp2Decoder* j);
DRAVEX_API void jp2_destroy(Jp2Decoder* j);

DRAVEX_END_DECLS

#endif
