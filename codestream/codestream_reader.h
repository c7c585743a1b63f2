#pragma once
// CodestreamReader: what the header syntax parsers and the packet readers above them share:
// the decoding context, the reader over the codestream, the image header the SIZ parser
// fills, and what the header walks note on the way.
#include <cstdint>

#include "codestream/image_header.h"
#include "io/byte_reader.h"
#include "io/decode_context.h"

namespace dravex {

struct CodestreamReader {
    DecodeContext* ctx;
    ByteReader* reader;
    ImageHeader* image;
    // Bytes of segments passed over (comments, unknown or unused markers): they carry nothing
    // the decoder builds on, so they do not count towards what the input may make it build.
    uint64_t skipped_bytes;
    uint32_t ppm_present;  // the main header has PPM segments
};

}  // namespace dravex
