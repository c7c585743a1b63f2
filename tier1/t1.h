#pragma once
// Tier-1: decodes one code-block's coded segments and dequantises them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "io/mem_ops.h"

struct jpcdec;
struct TileComponent;
struct Band;
struct CodeBlock;
struct T1Scratch;

constexpr int kMqContextCount = 19;

// Sets the 19 context bytes to their initial states.
void mq_reset_contexts(uint8_t contexts[kMqContextCount]);
// The same initial states as context words (see kMqContextWord).
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

// Decodes code-block cb of band b of resolution r of tc into dst (its top-left sample, row
// stride dst_stride samples). Writes every sample of the block, as dequantised coefficients in
// the tile-component's fixed-point format (x4 reversible, x65536 irreversible), or zeros where
// nothing was decoded; only a block that fails t1_block_fits is left unwritten, so callers
// need not clear what such blocks do not cover. Returns 0 when a segment fails its checks
// (what was decoded before stays) or the block is refused (zeros); the message has gone to
// error_hook.
// s may be nullptr: the decoder's own scratch d->t1 is then used, created on first need (and
// freed by jpcdec_destroy). The scratch grows to the largest block seen, at most 4096 samples.
// A block whose zero bit-planes and pass count imply more than kT1MaxPlanes magnitude bits is
// refused; planes beyond the band's depth are decoded, and dequantisation drops what falls
// below its step.
[[nodiscard]] int t1_decode_codeblock(jpcdec* d, T1Scratch* s, const TileComponent* tc,
                                      uint32_t r, uint32_t b, const Band* band, CodeBlock* cb,
                                      int32_t* dst, uint32_t dst_stride);
