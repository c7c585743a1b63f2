// Code-block decoding: the three bit-plane passes over MQ-coded and raw segments, then
// dequantisation of the block into the caller's stripe.
//
// Layout of the scratch flags grid: stripes of four rows are stored column after column, the
// four samples of a stripe column next to each other, so a column is one 16-byte group and its
// left and right neighbours are 4 words away. One zero stripe above and below the block and
// one zero column on each side let every neighbour update go ahead without edge tests;
// samples outside the block are never coded, so what lands in the border is never read as a
// sample. The magnitudes use the same indices; they are written when a sample becomes
// significant and only read after that, so they need no clearing.
//
// Beside it, one summary word per stripe column (same border scheme) holds four-bit row masks:
// significant, visited in this plane, and "has a significant neighbour". Each pass finds the
// rows it codes in a column with one or two operations on that word, and branches only on
// rows it actually decodes.
#include <cstddef>
#include <cstring>

#include "codestream/jpcdec_impl.h"
#include "tier1/mq_decoder.h"
#include "tier1/t1.h"
#include "tier1/t1_dequant.h"
#include "tier1/t1_tables.h"

// The passes are one long chain of dependent MQ decisions: on processors that have them,
// one-cycle leading-zero counts and flag-free shifts shorten every renormalisation. Their
// loops hold more live values than there are registers; scheduling with an eye on register
// pressure spills a little less (about 2 % on lossless images).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define T1_CLONES __attribute__((target_clones("arch=x86-64-v3", "default"), optimize("schedule-insns", "sched-pressure")))
#else
#define T1_CLONES
#endif

namespace {

// Flags word of one sample. Bits 0..8 are its neighbourhood pattern with its own
// significance in bit 4 (the zero-coding index); bits 9..16 are the sign-coding index of its
// four direct neighbours.
constexpr uint32_t kSig = kNbSelf;
constexpr uint32_t kSignRight = 1u << 9, kSigRight = 1u << 10;
constexpr uint32_t kSignLeft = 1u << 11, kSigLeft = 1u << 12;
constexpr uint32_t kSignDown = 1u << 13, kSigDown = 1u << 14;
constexpr uint32_t kSignUp = 1u << 15, kSigUp = 1u << 16;
constexpr int kNegativeShift = 17;
constexpr uint32_t kNegative = 1u << kNegativeShift;
constexpr uint32_t kRefined = 1u << 18;
constexpr int kSignIndexShift = 9;

// Summary word of a stripe column: bit r of each field for row r.
constexpr int kColVisitedShift = 4, kColNeighbourShift = 8;
constexpr uint32_t kColSigMask = 0xF, kColVisitedMask = 0xF0;
constexpr uint32_t kColQuiet = 0xFFF;  // nothing significant, visited or with a neighbour
// Rows of the stripe next to row r (r - 1 .. r + 1).
constexpr uint32_t kNeighbourRows[4] = {0x3, 0x7, 0xE, 0xC};

constexpr uint8_t kStyleReset = 0x02, kStyleCausal = 0x08, kStylePredictable = 0x10, kStyleSegSymbol = 0x20;
constexpr int kCtxRunLength = 17, kCtxUniform = 18;

const char kMsgSegSymbol[] = "Error resilience segmentation symbol is not 0x0a.";
const char kMsgTermination[] = "Code-block stream predictable termination check failed.";
const char kMsgTooDeep[] = "Code-block has more bit-planes than its band allows.";
const char kMsgTooLarge[] = "Code-block is larger than 4096 samples.";
const char kMsgNoMemory[] = "Out of memory for the code-block scratch.";

}  // namespace

struct T1Scratch {
    MemOps* ops;
    uint32_t* flags;
    uint32_t* mags;
    uint32_t* columns;
    size_t flags_capacity;    // words in flags
    size_t mags_capacity;     // words in mags
    size_t column_capacity;   // words in columns
    uint32_t contexts[kMqContextCount];
};

namespace {

// Geometry and coding state of the block being decoded.
struct Block {
    uint32_t* flags;  // sample (0, 0)
    uint32_t* mags;
    uint32_t* cols;   // summary of the stripe column of sample (0, 0)
    uint32_t w, h;
    ptrdiff_t ss;     // words per stripe
    ptrdiff_t cs;     // summary words per stripe
    ptrdiff_t up[4], down[4];  // offset of the sample above / below, by row in the stripe
    uint32_t up_keep[4];       // mask of the updates above each row: 0 for row 0 if causal
    uint32_t above_bits[4];    // summary bits row r sets in the stripe above
    const uint8_t* zc;
    uint32_t* ctx;
    uint8_t style;
    uint32_t next_pass;  // 0 significance propagation, 1 refinement, 2 cleanup
    uint32_t cleanups;   // cleanup passes run so far: every sample was coded once in each
};

// Stuffed raw bits of a bypass segment: after 0xFF only 7 bits are data. Past the end the
// byte is taken as 0xFF, i.e. 1-bits as in the MQ decoder: encoders drop a final 0xFF from a
// raw segment as they do from an MQ codeword, and a 0x7F fill would turn its first bit into 0
// (wrong samples in real bypass streams).
struct RawBits {
    const uint8_t* p;
    const uint8_t* end;
    uint32_t buffer;
    int32_t count;
    uint32_t after_ff;
};

T1_INLINE uint32_t raw_bit(RawBits& r) {
    if (r.count == 0) {
        const uint32_t byte = r.p < r.end ? *r.p++ : 0xFFu;
        if (r.after_ff) {
            r.buffer = byte & 0x7F;
            r.count = 7;
        } else {
            r.buffer = byte;
            r.count = 8;
        }
        r.after_ff = byte == 0xFF;
    }
    --r.count;
    return (r.buffer >> r.count) & 1;
}

// The end of a raw pass must show the 0101... pad; after a fully used 0xFF the next byte
// must be 0x2A (a stuffed 0 then 0101010).
int raw_check_termination(RawBits& r) {
    if (r.count > 0 || !r.after_ff) {
        if (r.count == 0) return 1;
        const uint32_t mask = (1u << r.count) - 1;
        return (r.buffer & mask) == (0x55u >> (8 - r.count));
    }
    if (r.p >= r.end) return 0;
    const uint32_t byte = *r.p++;
    r.buffer = byte;
    r.count = 8;
    r.after_ff = byte == 0xFF;
    return byte == 0x2A;
}

// Marks row r of the stripe column at f (summary word col) significant, neg 1 when negative,
// and tells its eight neighbours. Rows are told through per-row masks rather than branches on
// r: which row turns significant is as good as random, and a missed branch costs more than
// the few extra writes (b.up_keep clears the updates above row 0 in stripe-causal mode).
T1_INLINE void make_significant(const Block& b, uint32_t* f, uint32_t* col, uint32_t r,
                                uint32_t neg) {
    uint32_t* s = f + r;
    s[0] |= kSig | (neg * kNegative);
    b.mags[(f - b.flags) + r] = 1;  // the magnitude shares the flags' index
    s[-4] |= kNbRight | kSigRight | (neg * kSignRight);
    s[4] |= kNbLeft | kSigLeft | (neg * kSignLeft);
    const uint32_t keep = b.up_keep[r];
    uint32_t* u = s + b.up[r];
    u[-4] |= kNbDownRight & keep;
    u[0] |= (kNbDown | kSigDown | (neg * kSignDown)) & keep;
    u[4] |= kNbDownLeft & keep;
    uint32_t* dn = s + b.down[r];
    dn[-4] |= kNbUpRight;
    dn[0] |= kNbUp | kSigUp | (neg * kSignUp);
    dn[4] |= kNbUpLeft;

    const uint32_t near = kNeighbourRows[r] << kColNeighbourShift;
    col[-1] |= near;
    col[0] |= near | (1u << r);
    col[1] |= near;
    // Row 0 is the bottom neighbour of the stripe above, row 3 the top one of the stripe below.
    uint32_t* a = col - b.cs;
    const uint32_t bottom = b.above_bits[r];
    a[-1] |= bottom;
    a[0] |= bottom;
    a[1] |= bottom;
    uint32_t* c = col + b.cs;
    const uint32_t top = r == 3 ? 1u << kColNeighbourShift : 0;
    c[-1] |= top;
    c[0] |= top;
    c[1] |= top;
}

T1_INLINE uint32_t decode_sign(MqCoder& m, uint32_t* ctx, uint32_t v) {
    const uint32_t sc = kSignCoding[(v >> kSignIndexShift) & 0xFF];
    return static_cast<uint32_t>(mq_decode_even(m, &ctx[sc >> 1])) ^ (sc & 1);
}

inline uint32_t stripe_rows(const Block& b, uint32_t y0) {
    return b.h - y0 < 4 ? b.h - y0 : 4;
}

T1_INLINE uint32_t rows_mask(uint32_t rows) { return (1u << rows) - 1; }

T1_INLINE uint32_t lowest_row(uint32_t mask) {
#if defined(__GNUC__)
    return static_cast<uint32_t>(__builtin_ctz(mask));
#else
    uint32_t r = 0;
    while (!(mask & (1u << r))) ++r;
    return r;
#endif
}

// Rows coded by each pass, from a summary word: not significant with a significant
// neighbour; significant and not yet visited; neither significant nor visited.
T1_INLINE uint32_t propagation_rows(uint32_t cw) { return (cw >> kColNeighbourShift) & ~cw; }
T1_INLINE uint32_t refinement_rows(uint32_t cw) { return cw & ~(cw >> kColVisitedShift); }
T1_INLINE uint32_t cleanup_rows(uint32_t cw) { return ~(cw | (cw >> kColVisitedShift)); }
T1_INLINE uint32_t above(uint32_t r) { return ~((2u << r) - 1); }

T1_CLONES void pass_significance(Block& b, MqCoder& state) {
    MqCoder m = state;
    const uint8_t* zc = b.zc;
    uint32_t* ctx = b.ctx;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint32_t valid = rows_mask(stripe_rows(b, y0));
        uint32_t* f = b.flags + (y0 >> 2) * b.ss;
        uint32_t* col = b.cols + (y0 >> 2) * b.cs;
        for (uint32_t x = 0; x < b.w; ++x, f += 4, ++col) {
            uint32_t todo = propagation_rows(*col) & valid;
            if (!todo) continue;
            uint32_t visited = 0;
            do {
                const uint32_t r = lowest_row(todo);
                const uint32_t v = f[r];
                todo &= todo - 1;
                visited |= 1u << r;
                if (mq_decode_even(m, &ctx[zc[v & 0x1FF]])) {
                    const uint32_t neg = decode_sign(m, ctx, v);
                    make_significant(b, f, col, r, neg);
                    // The rows below may have gained their first significant neighbour.
                    todo = propagation_rows(*col) & valid & above(r);
                }
            } while (todo);
            *col |= visited << kColVisitedShift;
        }
    }
    state = m;
}

T1_CLONES void pass_refinement(Block& b, MqCoder& state) {
    MqCoder m = state;
    uint32_t* ctx = b.ctx;
    // The three refinement contexts live in registers for the pass: long runs of decisions
    // under the same context would otherwise wait on the store of the one before.
    uint32_t first_alone = ctx[14], first_near = ctx[15], refined = ctx[16];
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        uint32_t* f = b.flags + (y0 >> 2) * b.ss;
        uint32_t* mg = b.mags + (y0 >> 2) * b.ss;
        uint32_t* col = b.cols + (y0 >> 2) * b.cs;
        for (uint32_t x = 0; x < b.w; ++x, f += 4, mg += 4, ++col) {
            // Only real rows are ever significant, so no row mask is needed.
            const uint32_t rows = refinement_rows(*col) & kColSigMask;
            uint32_t todo = rows;
            while (todo) {
                const uint32_t r = lowest_row(todo);
                todo &= todo - 1;
                const uint32_t v = f[r];
                int bit;
                if (v & kRefined)
                    bit = mq_decode_even(m, &refined);
                else if (v & kNbAll)
                    bit = mq_decode_even(m, &first_near);
                else
                    bit = mq_decode_even(m, &first_alone);
                mg[r] = (mg[r] << 1) | static_cast<uint32_t>(bit);
                f[r] = v | kRefined;
            }
            *col |= rows << kColVisitedShift;
        }
    }
    ctx[14] = first_alone;
    ctx[15] = first_near;
    ctx[16] = refined;
    state = m;
}

T1_CLONES void pass_cleanup(Block& b, MqCoder& state) {
    MqCoder m = state;
    const uint8_t* zc = b.zc;
    uint32_t* ctx = b.ctx;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint32_t rows = stripe_rows(b, y0);
        const uint32_t valid = rows_mask(rows);
        uint32_t* f = b.flags + (y0 >> 2) * b.ss;
        uint32_t* col = b.cols + (y0 >> 2) * b.cs;
        for (uint32_t x = 0; x < b.w; ++x, f += 4, ++col) {
            const uint32_t cw = *col;
            uint32_t todo = cleanup_rows(cw) & valid;
            if (rows == 4 && !(cw & kColQuiet)) {
                // Run mode: one decision says whether any of the four becomes significant.
                if (!mq_decode(m, &ctx[kCtxRunLength])) continue;
                uint32_t r = static_cast<uint32_t>(mq_decode(m, &ctx[kCtxUniform])) << 1;
                r |= static_cast<uint32_t>(mq_decode(m, &ctx[kCtxUniform]));
                const uint32_t neg = decode_sign(m, ctx, f[r]);
                make_significant(b, f, col, r, neg);
                todo &= above(r);
            }
            while (todo) {
                const uint32_t r = lowest_row(todo);
                todo &= todo - 1;
                const uint32_t v = f[r];
                if (mq_decode_even(m, &ctx[zc[v & 0x1FF]])) {
                    const uint32_t neg = decode_sign(m, ctx, v);
                    make_significant(b, f, col, r, neg);
                }
            }
            *col &= ~kColVisitedMask;
        }
    }
    state = m;
}

T1_CLONES void raw_significance(Block& b, RawBits& state) {
    RawBits rb = state;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint32_t valid = rows_mask(stripe_rows(b, y0));
        uint32_t* f = b.flags + (y0 >> 2) * b.ss;
        uint32_t* col = b.cols + (y0 >> 2) * b.cs;
        for (uint32_t x = 0; x < b.w; ++x, f += 4, ++col) {
            uint32_t todo = propagation_rows(*col) & valid;
            uint32_t visited = 0;
            while (todo) {
                const uint32_t r = lowest_row(todo);
                todo &= todo - 1;
                visited |= 1u << r;
                if (raw_bit(rb)) {
                    const uint32_t neg = raw_bit(rb);
                    make_significant(b, f, col, r, neg);
                    todo = propagation_rows(*col) & valid & above(r);
                }
            }
            *col |= visited << kColVisitedShift;
        }
    }
    state = rb;
}

T1_CLONES void raw_refinement(Block& b, RawBits& state) {
    RawBits rb = state;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        uint32_t* f = b.flags + (y0 >> 2) * b.ss;
        uint32_t* mg = b.mags + (y0 >> 2) * b.ss;
        uint32_t* col = b.cols + (y0 >> 2) * b.cs;
        for (uint32_t x = 0; x < b.w; ++x, f += 4, mg += 4, ++col) {
            const uint32_t rows = refinement_rows(*col) & kColSigMask;
            uint32_t todo = rows;
            while (todo) {
                const uint32_t r = lowest_row(todo);
                todo &= todo - 1;
                mg[r] = (mg[r] << 1) | raw_bit(rb);
                f[r] |= kRefined;
            }
            *col |= rows << kColVisitedShift;
        }
    }
    state = rb;
}

int decode_mq_segment(jpcdec* d, Block& b, const CodedSegment* seg) {
    MqCoder m;
    mq_init(&m, seg->data, seg->data ? seg->total_len : 0);
    for (uint32_t i = 0; i < seg->npasses; ++i) {
        if (b.next_pass == 0) {
            pass_significance(b, m);
            b.next_pass = 1;
        } else if (b.next_pass == 1) {
            pass_refinement(b, m);
            b.next_pass = 2;
        } else {
            pass_cleanup(b, m);
            ++b.cleanups;
            b.next_pass = 0;
            if (b.style & kStyleSegSymbol) {
                uint32_t symbol = 0;
                for (int k = 0; k < 4; ++k)
                    symbol = (symbol << 1) | static_cast<uint32_t>(mq_decode(m, &b.ctx[kCtxUniform]));
                if (symbol != 0x0A) return jpc_fail(d, kMsgSegSymbol);
            }
        }
        if (b.style & kStyleReset) mq_reset_context_words(b.ctx);
    }
    return 1;
}

int decode_raw_segment(jpcdec* d, Block& b, const CodedSegment* seg) {
    RawBits rb{seg->data, seg->data ? seg->data + seg->total_len : nullptr, 0, 0, 0};
    for (uint32_t i = 0; i < seg->npasses; ++i) {
        if (b.next_pass == 0) {
            raw_significance(b, rb);
            b.next_pass = 1;
        } else if (b.next_pass == 1) {
            raw_refinement(b, rb);
            if ((b.style & kStylePredictable) && !raw_check_termination(rb))
                return jpc_fail(d, kMsgTermination);
            b.next_pass = 2;
        }
        // A cleanup pass is never raw; one announced here decodes nothing.
    }
    return 1;
}

// Makes room for a block's grids; the scratch keeps its largest size.
int grow(MemOps* ops, uint32_t** block, size_t* capacity, size_t words) {
    if (words <= *capacity) return 1;
    // Zero-filled: the block store reads magnitudes of samples that never became significant
    // (and masks them out), so they must at least hold defined values.
    auto* fresh = static_cast<uint32_t*>(mem_zalloc_array(ops, words, sizeof(uint32_t)));
    if (!fresh) return 0;
    mem_free(ops, *block);
    *block = fresh;
    *capacity = words;
    return 1;
}

int scratch_reserve(T1Scratch* s, size_t words, size_t column_words) {
    return grow(s->ops, &s->flags, &s->flags_capacity, words) &&
           grow(s->ops, &s->mags, &s->mags_capacity, words) &&
           grow(s->ops, &s->columns, &s->column_capacity, column_words);
}

void zero_block(int32_t* dst, uint32_t dst_stride, uint32_t w, uint32_t h) {
    for (uint32_t y = 0; y < h; ++y) std::memset(dst + size_t(y) * dst_stride, 0, w * sizeof(int32_t));
}

// Reversible magnitudes without a region of interest, for one visit count g: the decoded
// bits d become ((d << left) >> right) | half, times 4. Only built when both counts of a
// block keep the shifts small; other blocks go through t1_dequantise.
struct ReversibleScale {
    uint32_t left, right;
    uint64_t half;
};

inline bool reversible_scale(uint32_t g, const T1Dequant& q, ReversibleScale* s) {
    if (g < q.h) {
        const uint32_t k = q.h - g;
        if (k > 32) return false;
        *s = ReversibleScale{k, 0, uint64_t(1) << (k - 1)};
    } else {
        const uint32_t k = g - q.h;
        *s = ReversibleScale{0, k >= 32 ? 63u : k, 0};
    }
    return true;
}

T1_INLINE int32_t reversible_value(uint32_t d, const ReversibleScale& s) {
    if (d == 0) return 0;
    const uint64_t v = ((uint64_t(d) << s.left) >> s.right) | s.half;
    return v > (kT1Saturated >> 2) ? int32_t(kT1Saturated) : int32_t(v << 2);
}

// One full stripe column. Which samples of a busy column are significant or negative is
// close to random, so masks stand in for branches; magnitudes of samples that never became
// significant are stale but masked out.
template <class Magnitude>
T1_INLINE void store_column4(int32_t* o, size_t stride, uint32_t cw, const uint32_t* f,
                             const uint32_t* mg, Magnitude magnitude) {
    for (uint32_t i = 0; i < 4; ++i) {
        const int32_t mag = magnitude(mg[i], (cw >> (kColVisitedShift + i)) & 1);
        const int32_t neg = -static_cast<int32_t>((f[i] >> kNegativeShift) & 1);
        const int32_t keep = -static_cast<int32_t>((cw >> i) & 1);
        o[i * stride] = ((mag ^ neg) - neg) & keep;
    }
}

#if defined(__GNUC__)
// Reversible full columns four lanes at a time, for blocks whose band depth keeps every
// value below 2^29 (no saturation) and whose shifts stay below 32.
typedef uint32_t ColumnLanes __attribute__((vector_size(16)));
typedef int32_t SignedLanes __attribute__((vector_size(16)));

// Lane masks: all-ones in lane i when bit i of the index is set.
struct ColumnMasks {
    alignas(16) uint32_t rows[16][4];
    constexpr ColumnMasks() : rows() {
        for (uint32_t m = 0; m < 16; ++m)
            for (uint32_t i = 0; i < 4; ++i) rows[m][i] = (m >> i) & 1 ? ~0u : 0u;
    }
};
constexpr ColumnMasks kColumnMasks;

T1_INLINE ColumnLanes lane_mask(uint32_t bits) {
    ColumnLanes m;
    std::memcpy(&m, kColumnMasks.rows[bits], sizeof m);
    return m;
}

inline bool reversible_lanes_fit(const T1Dequant& q, const ReversibleScale s[2]) {
    return q.h <= 29 && s[0].right < 32 && s[1].right < 32;
}

T1_INLINE void store_reversible_column4(int32_t* o, size_t stride, uint32_t cw, const uint32_t* f,
                                        const uint32_t* mg, const ReversibleScale s[2]) {
    ColumnLanes d, flags;
    std::memcpy(&d, mg, sizeof d);
    std::memcpy(&flags, f, sizeof flags);
    const ColumnLanes v0 = ((d << s[0].left) >> s[0].right) | uint32_t(s[0].half);
    const ColumnLanes v1 = ((d << s[1].left) >> s[1].right) | uint32_t(s[1].half);
    const ColumnLanes visited = lane_mask((cw >> kColVisitedShift) & 0xF);
    const ColumnLanes keep = lane_mask(cw & kColSigMask);
    const SignedLanes mag = SignedLanes(((v0 & ~visited) | (v1 & visited)) << 2);
    const SignedLanes neg = SignedLanes(flags << (31 - kNegativeShift)) >> 31;
    const SignedLanes value = ((mag ^ neg) - neg) & SignedLanes(keep);
    o[0] = value[0];
    o[stride] = value[1];
    o[2 * stride] = value[2];
    o[3 * stride] = value[3];
}
#endif

// Writes the block stripe by stripe, column by column, so each summary word is read once
// and a column without significant samples costs only its zeros.
T1_CLONES void store_block(const Block& b, uint32_t zero_bitplanes, const T1Dequant& q, int32_t* dst,
                 uint32_t dst_stride) {
    // Every sample was coded once per cleanup pass, plus once more if a significance or
    // refinement pass after the last cleanup visited it.
    const uint32_t g0 = b.cleanups + zero_bitplanes;
    ReversibleScale scale[2];
    T1IrreversibleScale iscale[2];
    const bool fast = q.reversible && q.roi_shift == 0 && reversible_scale(g0, q, &scale[0]) &&
                      reversible_scale(g0 + 1, q, &scale[1]);
    const bool ifast = !q.reversible && q.roi_shift == 0 &&
                       t1_irreversible_scale(g0, q, &iscale[0]) &&
                       t1_irreversible_scale(g0 + 1, q, &iscale[1]);
    const size_t stride = dst_stride;
#if defined(__GNUC__)
    const bool lanes = fast && reversible_lanes_fit(q, scale);
#endif
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint32_t rows = stripe_rows(b, y0);
        const uint32_t* f = b.flags + (y0 >> 2) * b.ss;
        const uint32_t* mg = b.mags + (y0 >> 2) * b.ss;
        const uint32_t* col = b.cols + (y0 >> 2) * b.cs;
        int32_t* out = dst + size_t(y0) * stride;
        for (uint32_t x = 0; x < b.w; ++x, f += 4, mg += 4) {
            const uint32_t cw = col[x];
            int32_t* o = out + x;
            if (!(cw & kColSigMask)) {
                for (uint32_t i = 0; i < rows; ++i) o[i * stride] = 0;
                continue;
            }
            if (rows == 4 && (fast || ifast)) {
#if defined(__GNUC__)
                if (lanes) {
                    store_reversible_column4(o, stride, cw, f, mg, scale);
                    continue;
                }
#endif
                if (fast)
                    store_column4(o, stride, cw, f, mg, [&](uint32_t d, uint32_t visited) {
                        return reversible_value(d, scale[visited]);
                    });
                else
                    store_column4(o, stride, cw, f, mg, [&](uint32_t d, uint32_t visited) {
                        return t1_irreversible_value(d, iscale[visited]);
                    });
                continue;
            }
            for (uint32_t i = 0; i < rows; ++i) {
                int32_t value = 0;
                if (cw & (1u << i)) {
                    const uint32_t visited = (cw >> (kColVisitedShift + i)) & 1;
                    const int32_t mag =
                        fast    ? reversible_value(mg[i], scale[visited])
                        : ifast ? t1_irreversible_value(mg[i], iscale[visited])
                                : static_cast<int32_t>(t1_dequantise(mg[i], g0 + visited, q));
                    value = (f[i] & kNegative) ? -mag : mag;
                }
                o[i * stride] = value;
            }
        }
    }
}

}  // namespace

T1Scratch* t1_scratch_create(MemOps* ops) {
    auto* s = mem_new<T1Scratch>(ops);
    if (!s) return nullptr;
    s->ops = ops;
    mq_reset_context_words(s->contexts);
    return s;
}

void t1_scratch_destroy(MemOps* ops, T1Scratch* s) {
    if (!s) return;
    mem_free(ops, s->flags);
    mem_free(ops, s->mags);
    mem_free(ops, s->columns);
    ops->free(ops, s);
}

int t1_decode_codeblock(jpcdec* d, T1Scratch* s, const TileComponent* tc, uint32_t r,
                        uint32_t b, const Band* band, CodeBlock* cb, int32_t* dst,
                        uint32_t dst_stride) {
    if (cb->x1 <= cb->x0 || cb->y1 <= cb->y0) return 1;
    const uint32_t w = cb->x1 - cb->x0, h = cb->y1 - cb->y0;
    if (!t1_block_fits(w, h)) return jpc_fail(d, kMsgTooLarge);

    uint64_t passes = 0;
    for (const CodedSegment* seg = cb->segments.head; seg; seg = seg->next) passes += seg->npasses;
    if (passes == 0) {  // never included: the block is zero
        zero_block(dst, dst_stride, w, h);
        return 1;
    }
    // A cleanup pass opens the first plane and every three passes open another; each plane
    // adds one magnitude bit, which must fit below bit 31 and within the band.
    const uint64_t planes = 1 + (passes + 1) / 3;
    uint64_t limit = uint64_t(band->magnitude_bits) + tc->roi_shift;
    if (limit > 31) limit = 31;
    if (uint64_t(cb->zero_bitplanes) + planes > limit) {
        zero_block(dst, dst_stride, w, h);
        return jpc_fail(d, kMsgTooDeep);
    }

    if (!s) {
        if (!d->t1) d->t1 = t1_scratch_create(d->ops);
        s = d->t1;
        if (!s) {
            zero_block(dst, dst_stride, w, h);
            return jpc_fail(d, kMsgNoMemory);
        }
    }
    const size_t stripes = (h + 3) / 4;
    const size_t ss = (size_t(w) + 2) * 4;
    const size_t words = (stripes + 2) * ss;
    const size_t cs = size_t(w) + 2;
    const size_t column_words = (stripes + 2) * cs;
    if (!scratch_reserve(s, words, column_words)) {
        zero_block(dst, dst_stride, w, h);
        return jpc_fail(d, kMsgNoMemory);
    }
    std::memset(s->flags, 0, words * sizeof(uint32_t));
    std::memset(s->columns, 0, column_words * sizeof(uint32_t));
    mq_reset_context_words(s->contexts);

    Block blk;
    blk.flags = s->flags + ss + 4;
    blk.mags = s->mags + ss + 4;
    blk.cols = s->columns + cs + 1;
    blk.cs = static_cast<ptrdiff_t>(cs);
    blk.w = w;
    blk.h = h;
    blk.ss = static_cast<ptrdiff_t>(ss);
    for (int i = 0; i < 4; ++i) {
        blk.up[i] = i == 0 ? 3 - blk.ss : -1;
        blk.down[i] = i == 3 ? blk.ss - 3 : 1;
        const bool cut = i == 0 && (tc->cblk_style & kStyleCausal);
        blk.up_keep[i] = cut ? 0 : ~0u;
        blk.above_bits[i] = i == 0 && !cut ? 8u << kColNeighbourShift : 0;
    }
    blk.zc = kZeroCoding[static_cast<size_t>(t1_orientation(r, b))].data();
    blk.ctx = s->contexts;
    blk.style = tc->cblk_style;
    blk.next_pass = 2;
    blk.cleanups = 0;

    int ok = 1;
    for (const CodedSegment* seg = cb->segments.head; seg && ok; seg = seg->next)
        ok = seg->is_mq ? decode_mq_segment(d, blk, seg) : decode_raw_segment(d, blk, seg);

    // A failed segment keeps what was decoded before it.
    const T1Dequant q = t1_dequant_params(band->magnitude_bits, tc->roi_shift,
                                          (tc->quant_style & 0x1F) == 0, band->step_mantissa,
                                          band->step_exponent);
    store_block(blk, cb->zero_bitplanes, q, dst, dst_stride);
    return ok;
}
