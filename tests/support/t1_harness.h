#pragma once
// Decodes one code-block through t1_decode_codeblock on records built for the test: a bare
// decoder (allocator table and hooks only), a tile-component, a band and a code-block.
#include <cstdint>
#include <string>
#include <vector>

#include "codestream/jpcdec_impl.h"
#include "support/t1_encoder.h"
#include "tier1/t1.h"

namespace t1_test {

struct BandSetup {
    uint8_t style = 0;
    uint32_t resolution = 0, band = 0;  // picks the zero-coding table
    uint8_t magnitude_bits = 12;
    uint8_t roi_shift = 0;
    uint8_t quant_style = 0;            // 0 reversible, else irreversible
    uint32_t mantissa = 1u << 16;
    int32_t exponent = 16;
    uint32_t zero_bitplanes = 0;
};

struct DecodeResult {
    int ok = 0;
    std::vector<int32_t> values;  // w * h, raster order
    bool outside_untouched = true;  // the guard samples around the block kept their value
    std::vector<std::string> errors;
};

class Harness {
public:
    Harness();
    ~Harness();
    Harness(const Harness&) = delete;
    Harness& operator=(const Harness&) = delete;

    // Decodes w x h samples from segs. scratch nullptr uses the decoder's own (d->t1).
    DecodeResult decode(const BandSetup& setup, uint32_t w, uint32_t h,
                        const std::vector<Segment>& segs, T1Scratch* scratch = nullptr);
    // The values the decoder must produce for an encoded block.
    static std::vector<int32_t> expected(const EncodedBlock& e, const BandSetup& setup);

    MemOps* ops;
    jpcdec dec;
};

}  // namespace t1_test
