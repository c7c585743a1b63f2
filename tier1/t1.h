#pragma once
// Tier-1: decodes one code-block's coded segments and dequantises them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "io/decode_context.h"
#include "io/mem_ops.h"
#include "tier1/code_block.h"

namespace dravex {

struct T1Scratch;

constexpr int kMqContextCount = 19;

// Sets the 19 context words (see kMqContextWord) to their initial states.
void mq_reset_context_words(uint32_t contexts[kMqContextCount]);

// Magnitude bit-planes a sample holds (zero bit-planes included): 31 bits and the sign.
constexpr uint32_t kT1MaxPlanes = 31;

// Blocks of at most 1024 samples a side and 4096 in all; larger ones are refused unwritten.
inline bool t1_block_fits(uint32_t w, uint32_t h) {
    return w <= 1024 && h <= 1024 && w * h <= 4096;
}

// Reported when the code-block scratch cannot be had.
constexpr const char* kT1MsgNoMemory = "Out of memory for the code-block scratch.";

// Zeros the w x h samples of a block at dst (rows dst_stride samples apart): what a block
// that could not be decoded leaves.
inline void t1_zero_block(int32_t* dst, uint32_t dst_stride, uint32_t w, uint32_t h) {
    for (uint32_t y = 0; y < h; ++y) std::memset(dst + size_t(y) * dst_stride, 0, w * sizeof(int32_t));
}

[[nodiscard]] T1Scratch* t1_scratch_create(MemOps* ops);
void t1_scratch_destroy(MemOps* ops, T1Scratch* s);

// How the code-blocks of one band are coded and quantised.
struct T1BandStyle {
    uint32_t r, b;           // resolution level and band (0 LL or HL, 1 LH, 2 HH)
    uint8_t cblk_style;      // code-block style bits
    uint8_t roi_shift;
    uint8_t reversible;      // no quantisation (integer steps of one)
    uint8_t magnitude_bits;  // M_b
    uint32_t step_mantissa;
    int32_t step_exponent;
};

// Decodes code-block cb of a band coded as `style` into dst (its top-left sample, row stride
// dst_stride samples). Writes every sample of the block, as dequantised coefficients in the
// tile-component's fixed-point format (x4 reversible, x65536 irreversible), or zeros where
// nothing was decoded; only a block that fails t1_block_fits is left unwritten, so callers
// need not clear what such blocks do not cover. Returns 0 when a segment fails its checks
// (what was decoded before stays) or the block is refused (zeros); the message has gone to
// the context's error hook.
// The scratch s (t1_scratch_create) grows to the largest block seen, at most 4096 samples.
// A block whose zero bit-planes and pass count imply more than kT1MaxPlanes magnitude bits is
// refused; planes beyond the band's depth are decoded, and dequantisation drops what falls
// below its step.
[[nodiscard]] int t1_decode_codeblock(DecodeContext* ctx, T1Scratch* s, const T1BandStyle* style,
                                      CodeBlock* cb, int32_t* dst, uint32_t dst_stride);

}  // namespace dravex
