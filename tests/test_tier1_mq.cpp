// MQ decoder: the byte-at-a-time, context-word and padded coders against a literal model,
// register by register, and round trips through the reference encoder (whose probability
// table and initial states are written out independently of the decoder's).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "support/t1_encoder.h"
#include "tier1/mq_decoder.h"
#include "tier1/t1.h"

namespace {

// A literal model of the decoder: a byte source with an end flag and the last byte B.
struct ModelDecoder {
    std::vector<uint8_t> data;
    size_t pos = 0;
    uint32_t B = 0, C = 0, A = 0;
    int CT = 0, end = 0;

    bool read(uint32_t* b) {
        if (pos >= data.size()) return false;
        *b = data[pos++];
        return true;
    }
    void byte_in() {
        if (end == -1) {
            C += 0xFF00;
            CT = 8;
            return;
        }
        uint32_t b;
        if (!read(&b)) {
            end = -1;
            C += 0xFF00;
            CT = 8;
            return;
        }
        if (B == 0xFF) {
            if (b > 0x8F) {
                C += 0xFF00;
                CT = 8;
            } else {
                C += b << 9;
                CT = 7;
            }
        } else {
            C += b << 8;
            CT = 8;
        }
        B = b;
    }
    void init() {
        if (!read(&B)) {
            end = -1;
            B = 0xFF;
        }
        C = B << 16;
        byte_in();
        C <<= 7;
        CT -= 7;
        A = 0x8000;
    }
    void renorm() {
        do {
            if (CT == 0) byte_in();
            A <<= 1;
            C <<= 1;
            --CT;
        } while (!(A & 0x8000));
    }
    int decode(uint8_t* cx) {
        int I = *cx >> 1, mps = *cx & 1, d;
        const MqState& s = kMqStates[static_cast<size_t>(I)];
        A -= s.qe;
        if ((C >> 16) < s.qe) {
            if (A < s.qe) {
                d = mps;
                I = s.nmps;
            } else {
                d = 1 - mps;
                if (s.switch_mps) mps = 1 - mps;
                I = s.nlps;
            }
            A = s.qe;
            renorm();
        } else {
            C -= uint32_t(s.qe) << 16;
            if (A & 0x8000) {
                d = mps;
            } else {
                if (A < s.qe) {
                    d = 1 - mps;
                    if (s.switch_mps) mps = 1 - mps;
                    I = s.nlps;
                } else {
                    d = mps;
                    I = s.nmps;
                }
                renorm();
            }
        }
        *cx = static_cast<uint8_t>((I << 1) | mps);
        return d;
    }
};

MqCoder start(const std::vector<uint8_t>& bytes) {
    MqCoder m;
    mq_init(&m, bytes.data(), static_cast<uint32_t>(bytes.size()));
    return m;
}

// Both inline decisions (branching and branch-free, mixed at random) must agree with the
// literal model on any bytes, including 0xFF pairs and the end of data, decision by decision
// and register by register.
TEST(Tier1Mq, FastDecoderMatchesModelOnArbitraryBytes) {
    std::mt19937 rng(7);
    for (int trial = 0; trial < 400; ++trial) {
        SCOPED_TRACE(trial);
        const size_t n = rng() % 40;
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) {
            const uint32_t pick = rng() % 6;
            b = pick == 0 ? 0xFF : pick == 1 ? static_cast<uint8_t>(0x80 + rng() % 32)
                                             : static_cast<uint8_t>(rng());
        }
        ModelDecoder model;
        model.data = bytes;
        model.init();
        MqCoder m = start(bytes);
        MqCoder mw = start(bytes);  // the same decisions on context words
        // The passes' coder, on a copy padded with 0xFF far enough for every decision below
        // (at most 3 bytes each): the upper 16 bits of C must follow the one-byte refill,
        // also through 0xFF followed by a byte of 0x80..0x8F, whose carry must wait.
        std::vector<uint8_t> padded(bytes);
        padded.resize(bytes.size() + 600 * 3 + 16, 0xFF);
        MqPaddedCoder mp;
        mq_init_padded(&mp, padded.data());
        uint32_t ctx_padded[kMqContextCount];
        mq_reset_context_words(ctx_padded);
        uint8_t ctx_fast[kMqContextCount], ctx_model[kMqContextCount];
        uint32_t ctx_words[kMqContextCount];
        mq_reset_contexts(ctx_fast);
        mq_reset_contexts(ctx_model);
        mq_reset_context_words(ctx_words);
        for (int i = 0; i < 600; ++i) {
            const int cx = static_cast<int>(rng() % kMqContextCount);
            const bool branching = rng() & 1;
            const int fast = branching ? mq_decode(m, &ctx_fast[cx])
                                       : mq_decode_even(m, &ctx_fast[cx]);
            const int word = branching ? mq_decode(mw, &ctx_words[cx])
                                       : mq_decode_even(mw, &ctx_words[cx]);
            ASSERT_EQ(fast, model.decode(&ctx_model[cx])) << i;
            ASSERT_EQ(word, fast) << i;
            const int pad = branching ? mq_decode(mp, &ctx_padded[cx])
                                      : mq_decode_even(mp, &ctx_padded[cx]);
            ASSERT_EQ(pad, fast) << i;
            ASSERT_EQ(mp.a >> MqPaddedCoder::kAShift, m.a);
            ASSERT_EQ(mp.c >> 48, m.c >> 16);
            ASSERT_EQ(ctx_fast[cx], ctx_model[cx]);
            ASSERT_EQ(ctx_words[cx], kMqContextWord[ctx_model[cx]]);
            ASSERT_EQ(mw.a, m.a);
            ASSERT_EQ(mw.c, m.c);
            ASSERT_EQ(mw.ct, m.ct);
            ASSERT_EQ(m.a, model.A);
            ASSERT_EQ(m.c, model.C);
            ASSERT_EQ(m.ct, model.CT);
            ASSERT_LE(m.p, bytes.data() + bytes.size());
        }
    }
}

struct RoundTrip {
    const char* name;
    double p_one;        // probability of a 1
    int contexts;        // decisions spread over the first `contexts` contexts
    size_t count;
};

TEST(Tier1Mq, EncodedSequencesDecodeBack) {
    const RoundTrip cases[] = {
        {"balanced, all contexts", 0.5, kMqContextCount, 5000},
        {"skewed to 0", 0.03, kMqContextCount, 20000},
        {"skewed to 1", 0.97, kMqContextCount, 20000},
        {"nearly certain", 0.001, 1, 30000},
        {"one context", 0.3, 1, 5000},
        {"uniform only", 0.5, 0, 3000},
        {"single decision", 1.0, 1, 1},
    };
    std::mt19937 rng(11);
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.name);
        std::bernoulli_distribution bit(c.p_one);
        std::vector<t1_test::Decision> seq(c.count);
        for (auto& d : seq) {
            d.context = c.contexts == 0 ? 18 : static_cast<int>(rng() % uint32_t(c.contexts));
            d.bit = bit(rng) ? 1 : 0;
        }
        const std::vector<uint8_t> bytes = t1_test::mq_encode_decisions(seq);
        uint8_t ctx[kMqContextCount];
        mq_reset_contexts(ctx);
        MqCoder m = start(bytes);
        for (size_t i = 0; i < seq.size(); ++i) {
            const int got = (i & 4) ? mq_decode_even(m, &ctx[seq[i].context])
                                    : mq_decode(m, &ctx[seq[i].context]);
            ASSERT_EQ(got, seq[i].bit) << "decision " << i;
        }
        // Going on past the codeword decodes on fills, never reads beyond it.
        for (int i = 0; i < 1000; ++i) (void)mq_decode(m, &ctx[i % kMqContextCount]);
        EXPECT_EQ(m.p, bytes.data() + bytes.size());
    }
}

// Runs of LPS decisions under SWITCH states, long MPS runs that walk the table to its end,
// and sequences whose codewords contain 0xFF bytes (and so stuffed 7-bit bytes and carries).
TEST(Tier1Mq, SwitchRenormalisationAndStuffingCorners) {
    std::vector<std::vector<t1_test::Decision>> seqs;
    {
        std::vector<t1_test::Decision> s;
        for (int i = 0; i < 3000; ++i) s.push_back({5, i % 7 == 0 ? 1 : 0});
        for (int i = 0; i < 200; ++i) s.push_back({5, 1});  // MPS flips through SWITCH rows
        for (int i = 0; i < 200; ++i) s.push_back({5, i & 1});
        seqs.push_back(s);
    }
    {
        std::vector<t1_test::Decision> s;
        for (int i = 0; i < 20000; ++i) s.push_back({3, 0});  // down to state 45
        s.push_back({3, 1});
        for (int i = 0; i < 100; ++i) s.push_back({3, 0});
        seqs.push_back(s);
    }
    std::mt19937 rng(3);
    int with_ff = 0;
    for (int t = 0; t < 300; ++t) {
        std::vector<t1_test::Decision> s;
        const int n = 50 + static_cast<int>(rng() % 400);
        for (int i = 0; i < n; ++i)
            s.push_back({static_cast<int>(rng() % 19), (rng() % 16) < 13 ? 1 : 0});
        seqs.push_back(s);
    }
    for (size_t k = 0; k < seqs.size(); ++k) {
        SCOPED_TRACE(k);
        const auto& seq = seqs[k];
        const std::vector<uint8_t> bytes = t1_test::mq_encode_decisions(seq);
        for (size_t i = 0; i + 1 < bytes.size(); ++i) {
            if (bytes[i] == 0xFF) {
                ++with_ff;
                EXPECT_LT(bytes[i + 1], 0x90) << "the encoder stuffs after 0xFF";
            }
        }
        uint8_t ctx[kMqContextCount];
        mq_reset_contexts(ctx);
        MqCoder m = start(bytes);
        for (size_t i = 0; i < seq.size(); ++i)
            ASSERT_EQ(mq_decode(m, &ctx[seq[i].context]), seq[i].bit) << "decision " << i;
    }
    EXPECT_GT(with_ff, 0) << "no codeword exercised a 0xFF byte";
}

TEST(Tier1Mq, ContextBytesStayInTableOnGarbage) {
    std::mt19937 rng(99);
    std::vector<uint8_t> bytes(256);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng());
    uint8_t ctx[kMqContextCount];
    mq_reset_contexts(ctx);
    MqCoder m = start(bytes);
    for (int i = 0; i < 100000; ++i) {
        (void)mq_decode(m, &ctx[rng() % kMqContextCount]);
        ASSERT_LT(ctx[i % kMqContextCount], kMqContextByteCount);
        ASSERT_LE(m.p, bytes.data() + bytes.size());
    }
}

}  // namespace
