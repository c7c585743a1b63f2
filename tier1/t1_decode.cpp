// Code-block decoding: the three bit-plane passes over MQ-coded and raw segments, then
// dequantisation of the block into the caller's stripe.
// The scratch's context words are laid out in tier1/t1_words.h.
#include <cstddef>
#include <cstring>

#include "tier1/mq_decoder.h"
#include "tier1/t1.h"
#include "tier1/t1_dequant.h"
#include "tier1/t1_tables.h"
#include "tier1/t1_words.h"

// Per architecture: T1_CLONES for the passes, and the reversible column stores of the block.
#if defined(__GNUC__) && defined(__SSE2__) && !defined(DRAVEX_PORTABLE)
#include "tier1/t1_sse2.h"
#else
#include "tier1/t1_portable.h"
#endif

namespace dravex {

namespace {

constexpr uint8_t kStyleReset = 0x02, kStyleCausal = 0x08, kStylePredictable = 0x10, kStyleSegSymbol = 0x20;
constexpr int kCtxRunLength = 17, kCtxUniform = 18;

const char kMsgSegSymbol[] = "Error resilience segmentation symbol is not 0x0a.";
const char kMsgTermination[] = "Code-block stream predictable termination check failed.";
const char kMsgTooDeep[] = "Code-block has more bit-planes than a sample can hold.";
const char kMsgTooLarge[] = "Code-block is larger than 4096 samples.";

}  // namespace

struct T1Scratch {
    MemOps* ops;
    uint64_t* words;
    uint32_t* mags;
    uint8_t* bytes;           // an MQ segment's bytes and their 0xFF padding
    size_t word_capacity;
    size_t mags_capacity;
    size_t bytes_capacity;
    size_t bytes_padded_from; // every byte from here to bytes_capacity is 0xFF
    uint32_t contexts[kMqContextCount];
};

namespace {

// Geometry and coding state of the block being decoded.
struct Block {
    uint64_t* words;  // context word of the stripe column of sample (0, 0)
    uint32_t* mags;   // magnitude of sample (0, 0); four per stripe column
    uint32_t w, h;
    ptrdiff_t ss;     // words per stripe
    uint64_t above_mask;  // kRowAbove, or 0 when stripes are causal
    const uint8_t* zc;
    uint32_t* ctx;
    uint8_t style;
    size_t pad;          // padding bytes one pass may read past a segment's end
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

// Row of the centre bit p (4, 7, 10 or 13).
T1_INLINE uint32_t row_of(uint32_t p) { return ((p - 4) * 11) >> 5; }

// Marks the row at centre bit p of the column word w (at f) significant, neg 1 when negative,
// and tells its neighbours; returns the new w, which the caller keeps in a register. The
// stripe above and below are told through masks rather than branches on the row: which row
// turns significant is as good as random. b.above_mask is 0 in stripe-causal mode.
T1_INLINE uint64_t make_significant(const Block& b, uint64_t* f, uint64_t w, uint32_t p,
                                    uint32_t neg) {
    const uint64_t bit = (uint64_t(neg) << kNegativeShift | 1) << p;
    b.mags[(f - b.words) * 4 + row_of(p)] = 1;  // four magnitudes per word
    f[-1] |= bit >> 1;  // x is the right neighbour of x - 1
    f[1] |= bit << 1;
    // Row 0 is the row below of the stripe above, row 3 the row above of the stripe below.
    const uint64_t up = (bit << 12) & b.above_mask;
    uint64_t* a = f - b.ss;
    a[-1] |= up >> 1;
    a[0] |= up;
    a[1] |= up << 1;
    const uint64_t down = (bit >> 12) & kRowBelow;
    uint64_t* c = f + b.ss;
    c[-1] |= down >> 1;
    c[0] |= down;
    c[1] |= down << 1;
    return w | bit;
}

// Sign decision of a sample from its neighbourhood nb (the word shifted down to its row).
T1_INLINE uint32_t decode_sign(MqPaddedCoder& m, uint32_t* ctx, uint64_t nb) {
    const uint32_t i = static_cast<uint32_t>((nb & 0xAA) | ((nb >> (kNegativeShift + 1)) & 0x55));
    const uint32_t sc = kSignCodingByWord[i];
    return static_cast<uint32_t>(mq_decode_even(m, &ctx[sc >> 1])) ^ (sc & 1);
}

inline uint32_t stripe_rows(const Block& b, uint32_t y0) {
    return b.h - y0 < 4 ? b.h - y0 : 4;
}

// Centre bits of the first rows rows.
T1_INLINE uint64_t rows_mask(uint32_t rows) { return kRows & ((1ull << (3 * rows + 2)) - 1); }

T1_INLINE uint32_t lowest_bit(uint64_t mask) {
#if defined(__GNUC__)
    return static_cast<uint32_t>(__builtin_ctzll(mask));
#else
    uint32_t r = 0;
    while (!(mask & (1ull << r))) ++r;
    return r;
#endif
}

// Rows (as centre bits) with a significant sample among their nine neighbours or themselves:
// each three bits fold into their centre, then each row takes those of the rows beside it.
T1_INLINE uint64_t near_rows(uint64_t w) {
    const uint64_t t = w | (w >> 1) | (w << 1);
    return (t | (t >> 3) | (t << 3)) & kRows;
}
T1_INLINE uint64_t visited_rows(uint64_t w) { return (w >> kVisitedShift) & kRows; }
// Rows coded by each pass: not significant with a significant neighbour; significant and
// not yet visited; neither significant nor visited.
T1_INLINE uint64_t propagation_rows(uint64_t w) { return near_rows(w) & ~w; }
T1_INLINE uint64_t refinement_rows(uint64_t w) { return w & kRows & ~visited_rows(w); }
T1_INLINE uint64_t cleanup_rows(uint64_t w) { return ~(w | visited_rows(w)) & kRows; }
T1_INLINE uint64_t above(uint32_t p) { return ~((2ull << p) - 1); }

T1_CLONES void pass_significance(Block& b, MqPaddedCoder& state) {
    MqPaddedCoder m = state;
    const uint8_t* zc = b.zc;
    uint32_t* ctx = b.ctx;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint64_t valid = rows_mask(stripe_rows(b, y0));
        uint64_t* f = b.words + (y0 >> 2) * b.ss;
        for (uint32_t x = 0; x < b.w; ++x, ++f) {
            uint64_t w = *f;
            uint64_t todo = propagation_rows(w) & valid;
            if (!todo) continue;
            do {
                const uint32_t p = lowest_bit(todo);
                const uint64_t nb = w >> (p - 4);
                todo &= todo - 1;
                // Visited bits lie above everything the neighbourhoods read.
                w |= 1ull << (p + kVisitedShift);
                if (mq_decode_even(m, &ctx[zc[nb & kWindow]])) {
                    const uint32_t neg = decode_sign(m, ctx, nb);
                    w = make_significant(b, f, w, p, neg);
                    // The row below may have gained its first significant neighbour.
                    todo |= (1ull << (p + 3)) & valid & ~w;
                }
            } while (todo);
            *f = w;
        }
    }
    state = m;
}

T1_CLONES void pass_refinement(Block& b, MqPaddedCoder& state) {
    MqPaddedCoder m = state;
    uint32_t* ctx = b.ctx;
    // The three refinement contexts live in registers for the pass: long runs of decisions
    // under the same context would otherwise wait on the store of the one before.
    uint32_t first_alone = ctx[14], first_near = ctx[15], refined = ctx[16];
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        uint64_t* f = b.words + (y0 >> 2) * b.ss;
        uint32_t* mg = b.mags + (y0 >> 2) * b.ss * 4;
        for (uint32_t x = 0; x < b.w; ++x, ++f, mg += 4) {
            // Only real rows are ever significant, so no row mask is needed.
            const uint64_t w = *f;
            const uint64_t rows = refinement_rows(w);
            if (!rows) continue;
            uint64_t todo = rows;
            do {
                const uint32_t p = lowest_bit(todo);
                todo &= todo - 1;
                int bit;
                if ((w >> (p + kRefinedShift)) & 1)
                    bit = mq_decode_even(m, &refined);
                else if ((w >> (p - 4)) & (kWindow & ~kNbSelf))
                    bit = mq_decode_even(m, &first_near);
                else
                    bit = mq_decode_even(m, &first_alone);
                const uint32_t r = row_of(p);
                mg[r] = (mg[r] << 1) | static_cast<uint32_t>(bit);
            } while (todo);
            *f = w | (rows << kVisitedShift) | (rows << kRefinedShift);
        }
    }
    ctx[14] = first_alone;
    ctx[15] = first_near;
    ctx[16] = refined;
    state = m;
}

T1_CLONES void pass_cleanup(Block& b, MqPaddedCoder& state) {
    MqPaddedCoder m = state;
    const uint8_t* zc = b.zc;
    uint32_t* ctx = b.ctx;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint32_t rows = stripe_rows(b, y0);
        const uint64_t valid = rows_mask(rows);
        uint64_t* f = b.words + (y0 >> 2) * b.ss;
        for (uint32_t x = 0; x < b.w; ++x, ++f) {
            uint64_t w = *f;
            uint64_t todo = cleanup_rows(w) & valid;
            // Run mode: no significant sample in the 6 x 3 window (its low 18 bits) and no
            // row visited, one mask test; one decision says whether any of the four becomes
            // significant.
            if (rows == 4 && !(w & kRunModeBlockers)) {
                if (!mq_decode(m, &ctx[kCtxRunLength])) continue;
                uint32_t r = static_cast<uint32_t>(mq_decode(m, &ctx[kCtxUniform])) << 1;
                r |= static_cast<uint32_t>(mq_decode(m, &ctx[kCtxUniform]));
                const uint32_t p = 3 * r + 4;
                const uint32_t neg = decode_sign(m, ctx, w >> (p - 4));
                w = make_significant(b, f, w, p, neg);
                todo &= above(p);
            }
            while (todo) {
                const uint32_t p = lowest_bit(todo);
                const uint64_t nb = w >> (p - 4);
                todo &= todo - 1;
                if (mq_decode_even(m, &ctx[zc[nb & kWindow]])) {
                    const uint32_t neg = decode_sign(m, ctx, nb);
                    w = make_significant(b, f, w, p, neg);
                }
            }
            *f = w & ~(kRows << kVisitedShift);
        }
    }
    state = m;
}

T1_CLONES void raw_significance(Block& b, RawBits& state) {
    RawBits rb = state;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint64_t valid = rows_mask(stripe_rows(b, y0));
        uint64_t* f = b.words + (y0 >> 2) * b.ss;
        for (uint32_t x = 0; x < b.w; ++x, ++f) {
            uint64_t w = *f;
            uint64_t todo = propagation_rows(w) & valid;
            uint64_t visited = 0;
            while (todo) {
                const uint32_t p = lowest_bit(todo);
                todo &= todo - 1;
                visited |= 1ull << p;
                if (raw_bit(rb)) {
                    const uint32_t neg = raw_bit(rb);
                    w = make_significant(b, f, w, p, neg);
                    todo |= (1ull << (p + 3)) & valid & ~w;
                }
            }
            *f = w | (visited << kVisitedShift);
        }
    }
    state = rb;
}

T1_CLONES void raw_refinement(Block& b, RawBits& state) {
    RawBits rb = state;
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        uint64_t* f = b.words + (y0 >> 2) * b.ss;
        uint32_t* mg = b.mags + (y0 >> 2) * b.ss * 4;
        for (uint32_t x = 0; x < b.w; ++x, ++f, mg += 4) {
            const uint64_t w = *f;
            const uint64_t rows = refinement_rows(w);
            uint64_t todo = rows;
            while (todo) {
                const uint32_t r = row_of(lowest_bit(todo));
                todo &= todo - 1;
                mg[r] = (mg[r] << 1) | raw_bit(rb);
            }
            *f = w | (rows << kVisitedShift) | (rows << kRefinedShift);
        }
    }
    state = rb;
}

// Copies len bytes into the scratch with at least pad bytes of 0xFF after them. Only the
// bytes the last copy overwrote need padding again, so the cost follows the data copied.
int load_padded(T1Scratch* s, const uint8_t* data, size_t len, size_t pad) {
    if (len + pad > s->bytes_capacity) {
        auto* fresh = static_cast<uint8_t*>(mem_alloc_array(s->ops, len + pad, 1));
        if (!fresh) return 0;
        mem_free(s->ops, s->bytes);
        s->bytes = fresh;
        s->bytes_capacity = len + pad;
        s->bytes_padded_from = 0;
        std::memset(fresh, 0xFF, len + pad);
    }
    if (len) std::memcpy(s->bytes, data, len);
    if (s->bytes_padded_from > len) std::memset(s->bytes + len, 0xFF, s->bytes_padded_from - len);
    s->bytes_padded_from = len;
    return 1;
}

// A pass moves p at most b.pad bytes; moving it back to the first padding byte after each
// pass (one whose predecessor is padding too) keeps it there on streams decoded far past
// their end, and changes nothing read, as every byte from the end on reads the same.
T1_INLINE void mq_clamp(MqPaddedCoder& m, const uint8_t* end) {
    if (m.p > end + 1) m.p = end + 1;
}

int decode_mq_segment(DecodeContext* d, T1Scratch* s, Block& b, const CodedSegment* seg) {
    const size_t len = seg->data ? seg->total_len : 0;
    if (!load_padded(s, seg->data, len, b.pad)) return ctx_fail(d, kT1MsgNoMemory);
    const uint8_t* end = s->bytes + len;
    MqPaddedCoder m;
    mq_init_padded(&m, s->bytes);
    for (uint32_t i = 0; i < seg->npasses; ++i) {
        mq_clamp(m, end);
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
                if (symbol != 0x0A) return ctx_fail(d, kMsgSegSymbol);
            }
        }
        if (b.style & kStyleReset) mq_reset_context_words(b.ctx);
    }
    return 1;
}

int decode_raw_segment(DecodeContext* d, Block& b, const CodedSegment* seg) {
    RawBits rb{seg->data, seg->data ? seg->data + seg->total_len : nullptr, 0, 0, 0};
    for (uint32_t i = 0; i < seg->npasses; ++i) {
        if (b.next_pass == 0) {
            raw_significance(b, rb);
            b.next_pass = 1;
        } else if (b.next_pass == 1) {
            raw_refinement(b, rb);
            if ((b.style & kStylePredictable) && !raw_check_termination(rb))
                return ctx_fail(d, kMsgTermination);
            b.next_pass = 2;
        }
        // A cleanup pass is never raw; one announced here decodes nothing.
    }
    return 1;
}

// Makes room for a block's grids; the scratch keeps its largest size.
template <class T>
int grow(MemOps* ops, T** block, size_t* capacity, size_t count) {
    if (count <= *capacity) return 1;
    // Zero-filled: the block store reads magnitudes of samples that never became significant
    // (and masks them out), so they must at least hold defined values.
    auto* fresh = static_cast<T*>(mem_zalloc_array(ops, count, sizeof(T)));
    if (!fresh) return 0;
    mem_free(ops, *block);
    *block = fresh;
    *capacity = count;
    return 1;
}

int scratch_reserve(T1Scratch* s, size_t words) {
    return grow(s->ops, &s->words, &s->word_capacity, words) &&
           grow(s->ops, &s->mags, &s->mags_capacity, words * 4);
}

// One full stripe column. Which samples of a busy column are significant or negative is
// close to random, so masks stand in for branches; magnitudes of samples that never became
// significant are stale but masked out.
template <class Magnitude>
T1_INLINE void store_column4(int32_t* o, size_t stride, uint32_t cw, const uint32_t* mg,
                             Magnitude magnitude) {
    for (uint32_t i = 0; i < 4; ++i) {
        const int32_t mag = magnitude(mg[i], (cw >> (kColVisitedShift + i)) & 1);
        const int32_t neg = -static_cast<int32_t>((cw >> (kColNegativeShift + i)) & 1);
        const int32_t keep = -static_cast<int32_t>((cw >> i) & 1);
        o[i * stride] = ((mag ^ neg) - neg) & keep;
    }
}

// Reversible full columns go through the four-lane stores for blocks whose band depth keeps
// every value below 2^29 (no saturation) and whose shifts stay below 32.
inline bool reversible_lanes_fit(const T1Dequant& q, const ReversibleScale s[2]) {
    return q.h <= 29 && s[0].right < 32 && s[1].right < 32;
}

// Gathers the centre bits of rows 0..3 into bits 0..3.
T1_INLINE uint32_t gather_rows(uint64_t x) {
    return static_cast<uint32_t>(((x >> 4) & 1) | ((x >> 6) & 2) | ((x >> 8) & 4) | ((x >> 10) & 8));
}

// Writes the block stripe by stripe, column by column, so each context word is read once
// and a column without significant samples costs only its zeros.
T1_CLONES void store_block(const Block& b, uint32_t zero_bitplanes, const T1Dequant& q, int32_t* dst,
                           uint32_t dst_stride) {
    // Every sample was coded once per cleanup pass, plus once more if a significance or
    // refinement pass after the last cleanup visited it.
    const uint32_t g0 = b.cleanups + zero_bitplanes;
    ReversibleScale scale[2] = {};  // read only when fast
    T1IrreversibleScale iscale[2];
    const bool fast = q.reversible && q.roi_shift == 0 && reversible_scale(g0, q, &scale[0]) &&
                      reversible_scale(g0 + 1, q, &scale[1]);
    const bool ifast = !q.reversible && q.roi_shift == 0 &&
                       t1_irreversible_scale(g0, q, &iscale[0]) &&
                       t1_irreversible_scale(g0 + 1, q, &iscale[1]);
    const size_t stride = dst_stride;
    const bool lanes = fast && reversible_lanes_fit(q, scale);
    for (uint32_t y0 = 0; y0 < b.h; y0 += 4) {
        const uint32_t rows = stripe_rows(b, y0);
        const uint64_t* f = b.words + (y0 >> 2) * b.ss;
        const uint32_t* mg = b.mags + (y0 >> 2) * b.ss * 4;
        int32_t* out = dst + size_t(y0) * stride;
        uint32_t x = 0;
        if (rows == 4 && lanes)
            for (; x + 4 <= b.w; x += 4, mg += 16) store_reversible_quad(out + x, stride, f + x, mg, scale);
        for (; x < b.w; ++x, mg += 4) {
            const uint64_t w = f[x];
            int32_t* o = out + x;
            if (!(w & kRows)) {
                for (uint32_t i = 0; i < rows; ++i) o[i * stride] = 0;
                continue;
            }
            if (rows == 4 && lanes) {
                store_reversible_column4(o, stride, w, mg, scale);
                continue;
            }
            const uint32_t cw = gather_rows(w) | gather_rows(w >> kVisitedShift) << kColVisitedShift |
                                gather_rows(w >> kNegativeShift) << kColNegativeShift;
            if (rows == 4 && (fast || ifast)) {
                if (fast)
                    store_column4(o, stride, cw, mg, [&](uint32_t d, uint32_t visited) {
                        return reversible_value(d, scale[visited]);
                    });
                else
                    store_column4(o, stride, cw, mg, [&](uint32_t d, uint32_t visited) {
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
                    value = (cw >> (kColNegativeShift + i)) & 1 ? -mag : mag;
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
    mem_free(ops, s->words);
    mem_free(ops, s->mags);
    mem_free(ops, s->bytes);
    ops->free(ops, s);
}

int t1_decode_codeblock(DecodeContext* d, T1Scratch* s, const T1BandStyle* style, CodeBlock* cb,
                        int32_t* dst, uint32_t dst_stride) {
    if (cb->x1 <= cb->x0 || cb->y1 <= cb->y0) return 1;
    const uint32_t w = cb->x1 - cb->x0, h = cb->y1 - cb->y0;
    if (!t1_block_fits(w, h)) return ctx_fail(d, kMsgTooLarge);

    uint64_t passes = 0;
    for (const CodedSegment* seg = cb->segments.head; seg; seg = seg->next) passes += seg->npasses;
    if (passes == 0) {  // never included: the block is zero
        t1_zero_block(dst, dst_stride, w, h);
        return 1;
    }
    // A cleanup pass opens the first plane and every three passes open another; each plane
    // adds one magnitude bit, which must fit below bit 31. Planes beyond the band's depth
    // (too few guard bits at the encoder) decode too: they only refine below the step.
    const uint64_t planes = 1 + (passes + 1) / 3;
    if (uint64_t(cb->zero_bitplanes) + planes > kT1MaxPlanes) {
        t1_zero_block(dst, dst_stride, w, h);
        return ctx_fail(d, kMsgTooDeep);
    }

    const size_t stripes = (h + 3) / 4;
    const size_t ss = size_t(w) + 2;
    const size_t words = (stripes + 2) * ss;
    if (!scratch_reserve(s, words)) {
        t1_zero_block(dst, dst_stride, w, h);
        return ctx_fail(d, kT1MsgNoMemory);
    }
    std::memset(s->words, 0, words * sizeof(uint64_t));
    mq_reset_context_words(s->contexts);

    Block blk;
    blk.words = s->words + ss + 1;
    blk.mags = s->mags + (ss + 1) * 4;
    blk.w = w;
    blk.h = h;
    blk.ss = static_cast<ptrdiff_t>(ss);
    blk.above_mask = (style->cblk_style & kStyleCausal) ? 0 : kRowAbove;
    blk.zc = kZeroCoding[static_cast<size_t>(t1_orientation(style->r, style->b))].data();
    blk.ctx = s->contexts;
    blk.style = style->cblk_style;
    // A stripe column takes at most 11 decisions (run, 2 uniform, 4 zero coding, 4 signs, or
    // fewer), each renormalisation at most 15 bits, i.e. 3 bytes; the segmentation symbol adds
    // 4 decisions after a cleanup, mq_clamp may leave p one byte into the padding, and a refill
    // reads at most 4 bytes ahead of the bits it needs.
    blk.pad = size_t(w) * stripes * 33 + 4 * 3 + 16;
    blk.next_pass = 2;
    blk.cleanups = 0;

    int ok = 1;
    for (const CodedSegment* seg = cb->segments.head; seg && ok; seg = seg->next)
        ok = seg->is_mq ? decode_mq_segment(d, s, blk, seg) : decode_raw_segment(d, blk, seg);

    // A failed segment keeps what was decoded before it.
    const T1Dequant q = t1_dequant_params(style->magnitude_bits, style->roi_shift,
                                          style->reversible, style->step_mantissa,
                                          style->step_exponent);
    store_block(blk, cb->zero_bitplanes, q, dst, dst_stride);
    return ok;
}

}  // namespace dravex
