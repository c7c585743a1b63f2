#pragma once
// Internals of the reconstruction pipeline, shared by its files and by its unit tests.
//
// Fixed point: samples are int32, value x 4 on the reversible path and value x 2^F on the
// irreversible one, F chosen per image from its deepest component (20 for 8 bits, 16 for 12,
// 12 for 16: see jpc_irr_frac_bits). Sums and products are formed in 64 bits and stored
// saturated, so damaged data give wrong samples, never signed overflow.
//
// Buffers: the line rings, input rows and band stripes of a tile exist only while that tile's
// rows are being delivered (recon_tile_begin .. recon_tile_end), so output memory follows one
// tile row, never the image height.
#include <cstdint>

#include "reconstruct/recon.h"

// Per architecture: REC_VECTOR_LOOP and REC_VECTOR_TEMPLATE, the clones of the hot line loops,
// and zip_pairs.
#if defined(__x86_64__) && !defined(DRAVEX_PORTABLE)
#include "reconstruct/recon_x86.h"
#else
#include "reconstruct/recon_portable.h"
#endif

namespace dravex {

struct Tile;
struct TileComponent;

struct LineRingEntry {
    int32_t* line;
    LineRingEntry* previous;
    LineRingEntry* next;
};

struct LineRing {
    LineRingEntry* entries;
    uint32_t count;
    LineRingEntry* current;
};

// A band's coefficients as they are handed out: each code-block row is decoded into the
// stripe when its first row is asked for.
struct BandRows {
    int32_t* stripe;  // stripe_rows x band_width
    uint32_t stripe_rows;
    uint32_t next_cb_row, next_row, stripe_valid, stripe_pos;
    // With a region: the part of the band whose coefficients can reach it (band coordinates);
    // code-blocks outside it are not decoded and read as zeros.
    uint32_t reach_set;
    uint32_t reach_x0, reach_y0, reach_x1, reach_y1;
    uint32_t start_row;  // first row handed out (rows above it are passed over)
    uint32_t stripe_zero;  // 1: the whole stripe holds zeros (band_fill_stripe)
};

// The synthesis of one resolution level and the rows of its bands.
struct LevelRows {
    // The level's bounds as the synthesis sees them: the resolution's own, which a region
    // narrows while a row is synthesised (idwt_row).
    uint32_t x0, y0, x1, y1;
    LineRing ring_base, ring_line, ring_high;  // rings A, B, C (r >= 1)
    int32_t* input_row;                       // w + 16 samples (r >= 1)
    int32_t* input_low;                       // input_row + 4
    int32_t* input_high;                      // input_low + low_width + 8
    uint32_t next_out_row;
    // Rows of a level a region needs: its vertical synthesis starts at vstart (a few rows of
    // margin above emit_from, so that the start's edge does not reach emit_from), rows before
    // emit_from are passed over, and the rows handed out count from `delivered` (the level's
    // first row at the top level, whose rows above emit_from come out as zeros).
    uint32_t vstart, emit_from, delivered;
    // Columns the level synthesises (x0 .. x1 without a region), as if its rows began and
    // ended there; the ring lines then start at column hx0.
    uint32_t hx0, hx1;
    uint8_t narrow53;  // 1: every 5/3 sum of this level fits 32 bits (set by recon_tile_begin)
    BandRows bands[3];
};

// 9/7 lifting and inverse ICT constants in units of 2^-30, whatever the samples' fraction
// bits: constants rounded to 1/65536 would give the low-pass synthesis a gain of about
// 1 + 1.3e-5 per pass, which six levels turn into an error of a few hundredths of a grey
// level on bright samples.
constexpr int kConstBits = 30;
constexpr int32_t kLiftK = 1320889387;        // 1.230174104914001
constexpr int32_t kLiftInvK = 872837284;      // 1 / K
constexpr int32_t kLiftDelta = 476211856;     // 0.443506852043971
constexpr int32_t kLiftGamma = 948018549;     // 0.882911075530934
constexpr int32_t kLiftBeta = -56886969;      // -0.052980118572961
constexpr int32_t kLiftAlpha = -1703098782;   // -1.586134342059924
constexpr int32_t kIctRV = 1505386037;        // 1.402
constexpr int32_t kIctGU = 369506774;         // 0.34413
constexpr int32_t kIctGV = 766801986;         // 0.71414
constexpr int32_t kIctBU = 1902670512;        // 1.772

// Written as a max and a min so that loops using it stay branch-free and vectorise.
inline int32_t sat_i32(int64_t v) {
    const int64_t lo = v < int64_t(INT32_MIN) ? int64_t(INT32_MIN) : v;
    return static_cast<int32_t>(lo > int64_t(INT32_MAX) ? int64_t(INT32_MAX) : lo);
}
// c x v for a constant c in units of 2^-30, rounded to nearest: truncated products would
// bias every lifting step by half a unit, and the levels add those up. |c| < 2^31 and
// |v| <= 2^31 keep the product inside 63 bits.
constexpr int64_t kConstHalf = int64_t(1) << (kConstBits - 1);
inline int64_t fix_mul32(int32_t c, int32_t v) {
    return (int64_t(c) * v + kConstHalf) >> kConstBits;
}
// The same for a pair summed before the product, c x (a + b), written as two 32 x 32 -> 64
// products so that it vectorises; each is below 1.7 x 2^61 in magnitude, so the sum fits.
inline int64_t fix_mul_pair(int32_t c, int32_t a, int32_t b) {
    return (int64_t(c) * a + int64_t(c) * b + kConstHalf) >> kConstBits;
}

// dst[k] alternately from low and high; an odd origin starts with a high-pass sample.
void interleave_row(int32_t* dst, const int32_t* low, const int32_t* high, uint32_t count,
                    uint32_t origin);
// 1-D 5/3 synthesis of the samples i0 .. i1-1 of a row, from the low-pass samples lo and the
// high-pass samples hi (both overwritten) into line, which needs no margins. narrow: the
// level's sums are known to fit 32 bits (Resolution::narrow53), so they are formed in 32.
void synth_53_row(int32_t* line, int32_t* lo, int32_t* hi, uint32_t i0, uint32_t i1,
                  bool narrow = false);

// 1-D 9/7 synthesis of the samples i0 .. i1-1 of a row still split in halves: low (samples
// at even positions) and high (odd positions), each with 4 writable samples before and after;
// the result goes interleaved to out. The halves are used as scratch.
void lift_97_split(int32_t* low, int32_t* high, uint32_t i0, uint32_t i1, int32_t* out);

// Supplies horizontally synthesised row y of a level into line (the ring line's start).
using RecRowSource = void (*)(void* ctx, uint32_t y, int32_t* line);

// One call of the vertical synthesis of a level whose rings are set up: pulls what the ring
// schedule needs through `pull`, writes row next_out_row (w samples, zeros past the end) to
// dst and advances. lv needs x0..y1, next_out_row, narrow53 and the three rings.
void vertical_53_next(LevelRows* lv, RecRowSource pull, void* ctx, int32_t* dst);
void vertical_97_next(LevelRows* lv, RecRowSource pull, void* ctx, int32_t* dst);

// Ring lines and input row of a level of lv's bounds whose low-pass half is low_width samples
// wide (transform 1: 3 lines, else 5), zero-filled. 0 when memory runs out (whatever was
// allocated is freed again).
[[nodiscard]] int recon_level_alloc(MemOps* ops, LevelRows* lv, uint32_t low_width,
                                    uint8_t transform);
void recon_level_free(MemOps* ops, LevelRows* lv);

// Next code-block row of band b into its stripe. Blocks that fail in tier-1 keep what they
// decoded; the row always advances. 0 only when no row is left or the stripe is missing.
int band_fill_stripe(Reconstruction* rc, ComponentRows* c, uint32_t r, uint32_t b);

int idwt_53_row(Reconstruction* rc, ComponentRows* c, uint32_t r, int32_t* dst);
int idwt_97_row(Reconstruction* rc, ComponentRows* c, uint32_t r, int32_t* dst);

// Component transforms in place on n samples of components 0, 1, 2.
void inverse_rct(int32_t* c0, int32_t* c1, int32_t* c2, uint32_t n);
void inverse_ict(int32_t* c0, int32_t* c1, int32_t* c2, uint32_t n);
// The low 8 bits of n samples, one every stride bytes from out.
void store_bytes(uint8_t* out, uint32_t stride, const int32_t* v, uint32_t n);
// The same for three components at once into 3-byte pixels, component j at offset[j].
void store_pixels3(uint8_t* out, const uint32_t offset[3], const int32_t* c0, const int32_t* c1,
                   const int32_t* c2, uint32_t n);
// Fixed point to integer, DC level shift and clamping to the component's range.
// frac_bits: fraction bits of irreversible samples (unused on the reversible path).
void convert_samples(int32_t* v, uint32_t n, int reversible, uint32_t is_signed,
                     uint32_t precision, uint32_t frac_bits);

}  // namespace dravex
