#pragma once
// MQ arithmetic decoder, kept inline so the coding passes hold A, C, CT and the byte pointer in
// registers: a pass copies its coder into a local, decodes, and writes it back.
//   MqPaddedCoder m;  mq_init_padded(&m, copy);  // bytes followed by 0xFF padding
//   int bit = mq_decode(m, &contexts[label]);
// The decoder never fails: once its bytes are used up every refill adds 1-bits (0xFF00).
#include <array>
#include <cstdint>

#include "tier1/t1_inline.h"

// The branch-free decision step of mq_decode_even, per architecture.
#if defined(__GNUC__) && defined(__x86_64__) && !defined(DRAVEX_PORTABLE)
#include "tier1/mq_even_x86.h"
#else
#include "tier1/mq_even_portable.h"
#endif

namespace dravex {

constexpr int kMqContextByteCount = 2 * 47;  // (state << 1) | mps for the 47 states

// The coding passes keep each context as a word, Qe | (context byte << 16), so that Qe comes
// with the context's own load instead of a second, dependent one. kMqContextWord gives the
// word of each context byte; kMqNextWord[byte][lps] the word to store after an MPS (0) or an
// LPS (1) decision that renormalises.
extern const std::array<uint32_t, kMqContextByteCount> kMqContextWord;
extern const std::array<std::array<uint32_t, 2>, kMqContextByteCount> kMqNextWord;

// The coding passes decode from a copy of the segment followed by 0xFF padding, which reads
// exactly as the standard's bytes past the end (each adds 0xFF00, CT = 8), so the refill needs
// no end test and the end pointer no register. The caller moves p back into the padding between
// passes (mq_clamp); a pass never reads further than the padding allows.
// C is 64 bits wide, its upper 16 compared with Qe: a refill takes bytes until more than 24
// bits wait below those, so the refill branch is taken about a quarter as often. Bytes land
// where the standard's one-byte refill would put them, so the upper bits are the same; only a
// byte of 0x80..0x8F after 0xFF, whose top bit carries into the 0xFF, waits until the 0xFF has
// reached the upper bits, as it does there (encoders never write one; hostile streams do).
struct MqPaddedCoder {
    static constexpr int kHighShift = 48;
    static constexpr int kAShift = 16;
    uint32_t a;     // A in the upper 16 bits: the renormalising shift is one leading-zero count
    uint64_t c;
    int32_t ct;     // bits waiting below the upper 16 of C
    const uint8_t* p;
};

// Refills before a shift by n bits, and returns the bits still to shift (n, unless it met a
// carrying byte and shifted part of the way itself).
T1_INLINE int32_t mq_refill(MqPaddedCoder& m, int32_t n) {
    do {
        const uint64_t b = *m.p;
        const int32_t at = 40 - m.ct;  // where a byte's lowest bit goes
        if (m.p[-1] == 0xFF) {
            if (b > 0x8F) {
                m.c += uint64_t(0xFF) << at;
                m.ct += 8;
            } else {
                if (b >= 0x80 && m.ct > 0) {
                    if (n <= m.ct) return n;  // enough bits: the next refill meets it again
                    m.a <<= m.ct;
                    m.c <<= m.ct;
                    n -= m.ct;
                    m.ct = 0;
                    continue;
                }
                m.c += b << (at + 1);
                m.ct += 7;
            }
        } else {
            m.c += b << at;
            m.ct += 8;
        }
        ++m.p;
    } while (m.ct <= 24);
    return n;
}

// Starts a padded coder on the bytes at data; the padding (at least two bytes) may start at data.
inline void mq_init_padded(MqPaddedCoder* m, const uint8_t* data) {
    m->c = uint64_t(data[0]) << 48;
    m->p = data + 1;
    m->ct = 0;
    mq_refill(*m, 0);  // the first byte cannot wait
    m->c <<= 7;
    m->ct -= 7;
    m->a = 0x8000u << MqPaddedCoder::kAShift;
}

// Shifts A and C until the top bit of A is set. A renormalisation shifts at most 15 bits, so
// one refill before it is enough.
T1_INLINE void mq_renormalise(MqPaddedCoder& m) {
#if defined(__GNUC__)
    int32_t n = __builtin_clz(m.a);  // A is never 0
#else
    int32_t n = 0;
    while (!((m.a << n) & 0x80000000u)) ++n;
#endif
    if (n > m.ct) n = mq_refill(m, n);
    m.a <<= n;
    m.c <<= n;
    m.ct -= n;
}

// One decision under the context word *cx, which is updated in place. Branches follow the
// standard's procedure; the common case (upper sub-interval, A keeps bit 15) neither stores
// the context nor renormalises, which suits skewed contexts whose branches predict well.
T1_INLINE int mq_decode(MqPaddedCoder& m, uint32_t* cx) {
    const uint32_t w = *cx;
    const uint32_t qe = (w & 0xFFFF) << MqPaddedCoder::kAShift;
    const uint32_t s = w >> 16;
    int d = static_cast<int>(s & 1);
    m.a -= qe;
    using Word = decltype(m.c);
    const Word q = static_cast<Word>(qe) << (MqPaddedCoder::kHighShift - MqPaddedCoder::kAShift);
    if (m.c < q) {
        if (m.a < qe) {
            *cx = kMqNextWord[s][0];
        } else {
            d ^= 1;
            *cx = kMqNextWord[s][1];
        }
        m.a = qe;
        mq_renormalise(m);
    } else {
        m.c -= q;
        if (!(m.a & (0x8000u << MqPaddedCoder::kAShift))) {
            if (m.a < qe) {
                d ^= 1;
                *cx = kMqNextWord[s][1];
            } else {
                *cx = kMqNextWord[s][0];
            }
            mq_renormalise(m);
        }
    }
    return d;
}

// The same decision without branches on its outcome, for contexts near even odds (refinement,
// signs, and zero coding, whose decisions are taken by a data-dependent branch anyway) where
// the branches above would mispredict about half the time. With the two exchanges folded in,
// the decision is mps ^ (C in the lower sub-interval) ^ (A - Qe < Qe). How the selects are
// kept branch-free depends on the target: mq_even_select (tier1/mq_even_*.h).
T1_INLINE int mq_decode_even(MqPaddedCoder& m, uint32_t* cx) {
    const uint32_t w = *cx;
    const uint32_t qe = (w & 0xFFFF) << MqPaddedCoder::kAShift;
    const uint32_t s = w >> 16;
    using Word = decltype(m.c);
    const Word q = static_cast<Word>(qe) << (MqPaddedCoder::kHighShift - MqPaddedCoder::kAShift);
    const uint32_t upper_a = m.a - qe;
    const uint32_t top = 0x8000u << MqPaddedCoder::kAShift;
    Word c = m.c;
    uint32_t a = upper_a;
    uint32_t after = w;  // the context word after the decision
    constexpr int kQShift = MqPaddedCoder::kHighShift - MqPaddedCoder::kAShift;
    const uint32_t lps = mq_even_select<kQShift>(c, a, after, q, qe, upper_a, top, kMqNextWord[s]);
    m.c = c;
    m.a = a;
    *cx = after;
    mq_renormalise(m);
    return static_cast<int>((s & 1) ^ lps);
}

}  // namespace dravex
