#pragma once
// MQ arithmetic decoder, kept inline so the coding passes hold A, C, CT and the byte pointer in
// registers: a pass copies an MqCoder into a local, decodes, and writes it back.
//   MqCoder m;  mq_init(&m, data, len);
//   int bit = mq_decode(m, &contexts[label]);
// The decoder never fails: once its bytes are used up every refill adds 1-bits (0xFF00).
#include <array>
#include <cstdint>

#if defined(__GNUC__)
#define T1_INLINE inline __attribute__((always_inline))
#else
#define T1_INLINE inline
#endif

// One row per probability state: Qe and the states after an MPS and an LPS decision.
struct MqState {
    uint16_t qe;
    uint8_t nmps, nlps, switch_mps;
};
constexpr int kMqStateCount = 47;
extern const std::array<MqState, kMqStateCount> kMqStates;

// A context byte is (state << 1) | mps. This table, indexed by that byte, gives Qe and the
// byte to store after an MPS or an LPS decision, so a decision costs one table load.
struct MqTransition {
    uint16_t qe;
    uint8_t after_mps;
    uint8_t after_lps;
};
constexpr int kMqContextByteCount = 2 * kMqStateCount;
extern const std::array<MqTransition, kMqContextByteCount> kMqTransitions;

struct MqCoder {
    uint32_t a;
    uint32_t c;     // upper 16 bits are the part compared with Qe
    int32_t ct;     // bits left before the next refill
    const uint8_t* p;    // next unread byte; p[-1] is the last byte read
    const uint8_t* end;
};

// Takes one byte into C. The byte after 0xFF is always consumed, even when it is above 0x8F;
// past the end every refill is 0xFF00 with CT = 8.
T1_INLINE void mq_byte_in(MqCoder& m) {
    if (m.p < m.end) {
        const uint32_t b = *m.p;
        if (m.p[-1] == 0xFF) {
            if (b > 0x8F) {
                m.c += 0xFF00;
                m.ct = 8;
            } else {
                m.c += b << 9;
                m.ct = 7;
            }
        } else {
            m.c += b << 8;
            m.ct = 8;
        }
        ++m.p;
    } else {
        m.c += 0xFF00;
        m.ct = 8;
    }
}

// Starts a codeword on len bytes at data (len may be 0).
inline void mq_init(MqCoder* m, const uint8_t* data, uint32_t len) {
    m->end = data + len;
    if (len == 0) {
        // No first byte: it counts as 0xFF and every refill is a fill.
        m->p = data;
        m->c = 0xFFu << 16;
        m->c += 0xFF00;
        m->ct = 8;
    } else {
        m->c = static_cast<uint32_t>(data[0]) << 16;
        m->p = data + 1;
        mq_byte_in(*m);
    }
    m->c <<= 7;
    m->ct -= 7;
    m->a = 0x8000;
}

T1_INLINE void mq_renormalise(MqCoder& m) {
    do {
        if (m.ct == 0) mq_byte_in(m);
        m.a <<= 1;
        m.c <<= 1;
        --m.ct;
    } while (!(m.a & 0x8000));
}

// One decision under the context byte *cx, which is updated in place.
T1_INLINE int mq_decode(MqCoder& m, uint8_t* cx) {
    const MqTransition& t = kMqTransitions[*cx];
    const uint32_t qe = t.qe;
    int d = *cx & 1;
    m.a -= qe;
    if ((m.c >> 16) < qe) {
        // The lower sub-interval: LPS unless the MPS sub-interval turned out smaller.
        if (m.a < qe) {
            *cx = t.after_mps;
        } else {
            d ^= 1;
            *cx = t.after_lps;
        }
        m.a = qe;
        mq_renormalise(m);
    } else {
        m.c -= qe << 16;
        if (!(m.a & 0x8000)) {
            if (m.a < qe) {
                d ^= 1;
                *cx = t.after_lps;
            } else {
                *cx = t.after_mps;
            }
            mq_renormalise(m);
        }
    }
    return d;
}
