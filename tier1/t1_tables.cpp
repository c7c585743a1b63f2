// MQ probability states, context-byte transitions, initial context states and the
// zero-coding and sign-coding tables.
#include <array>

#include "tier1/mq_decoder.h"
#include "tier1/t1.h"
#include "tier1/t1_tables.h"

namespace dravex {

namespace {

// One row per probability state: Qe and the states after an MPS and an LPS decision.
struct MqState {
    uint16_t qe;
    uint8_t nmps, nlps, switch_mps;
};
constexpr int kMqStateCount = kMqContextByteCount / 2;

constexpr std::array<MqState, kMqStateCount> kMqStates = {{
    {0x5601, 1, 1, 1},   {0x3401, 2, 6, 0},   {0x1801, 3, 9, 0},   {0x0AC1, 4, 12, 0},
    {0x0521, 5, 29, 0},  {0x0221, 38, 33, 0}, {0x5601, 7, 6, 1},   {0x5401, 8, 14, 0},
    {0x4801, 9, 14, 0},  {0x3801, 10, 14, 0}, {0x3001, 11, 17, 0}, {0x2401, 12, 18, 0},
    {0x1C01, 13, 20, 0}, {0x1601, 29, 21, 0}, {0x5601, 15, 14, 1}, {0x5401, 16, 14, 0},
    {0x5101, 17, 15, 0}, {0x4801, 18, 16, 0}, {0x3801, 19, 17, 0}, {0x3401, 20, 18, 0},
    {0x3001, 21, 19, 0}, {0x2801, 22, 19, 0}, {0x2401, 23, 20, 0}, {0x2201, 24, 21, 0},
    {0x1C01, 25, 22, 0}, {0x1801, 26, 23, 0}, {0x1601, 27, 24, 0}, {0x1401, 28, 25, 0},
    {0x1201, 29, 26, 0}, {0x1101, 30, 27, 0}, {0x0AC1, 31, 28, 0}, {0x09C1, 32, 29, 0},
    {0x08A1, 33, 30, 0}, {0x0521, 34, 31, 0}, {0x0441, 35, 32, 0}, {0x02A1, 36, 33, 0},
    {0x0221, 37, 34, 0}, {0x0141, 38, 35, 0}, {0x0111, 39, 36, 0}, {0x0085, 40, 37, 0},
    {0x0049, 41, 38, 0}, {0x0025, 42, 39, 0}, {0x0015, 43, 40, 0}, {0x0009, 44, 41, 0},
    {0x0005, 45, 42, 0}, {0x0001, 45, 43, 0}, {0x5601, 46, 46, 0},
}};

// A context byte is (state << 1) | mps. This table, indexed by that byte, gives Qe and the
// byte to store after an MPS or an LPS decision.
struct MqTransition {
    uint16_t qe;
    uint8_t after_mps;
    uint8_t after_lps;
};

constexpr std::array<MqTransition, kMqContextByteCount> make_transitions() {
    std::array<MqTransition, kMqContextByteCount> t{};
    for (int i = 0; i < kMqStateCount; ++i) {
        for (int mps = 0; mps < 2; ++mps) {
            MqTransition& e = t[static_cast<size_t>(2 * i + mps)];
            const MqState& s = kMqStates[static_cast<size_t>(i)];
            e.qe = s.qe;
            e.after_mps = static_cast<uint8_t>((s.nmps << 1) | mps);
            e.after_lps = static_cast<uint8_t>((s.nlps << 1) | (mps ^ s.switch_mps));
        }
    }
    return t;
}

constexpr int bit(uint32_t pattern, uint32_t mask) { return (pattern & mask) ? 1 : 0; }

constexpr uint8_t zero_coding_label(int orientation, uint32_t pattern) {
    int h = bit(pattern, kNbLeft) + bit(pattern, kNbRight);
    int v = bit(pattern, kNbUp) + bit(pattern, kNbDown);
    const int d = bit(pattern, kNbUpLeft) + bit(pattern, kNbUpRight) +
                  bit(pattern, kNbDownLeft) + bit(pattern, kNbDownRight);
    if (orientation == kOrientHH) {
        const int hv = h + v;
        if (d >= 3) return 8;
        if (d == 2) return hv >= 1 ? 7 : 6;
        if (d == 1) return hv >= 2 ? 5 : (hv == 1 ? 4 : 3);
        return hv >= 2 ? 2 : (hv == 1 ? 1 : 0);
    }
    if (orientation == kOrientHL) {
        const int t = h;  // vertical detail: the two directions trade places
        h = v;
        v = t;
    }
    if (h == 2) return 8;
    if (h == 1) return v >= 1 ? 7 : (d >= 1 ? 6 : 5);
    if (v == 2) return 4;
    if (v == 1) return 3;
    return d >= 2 ? 2 : (d == 1 ? 1 : 0);
}

constexpr std::array<std::array<uint8_t, 512>, 3> make_zero_coding() {
    std::array<std::array<uint8_t, 512>, 3> t{};
    for (int o = 0; o < 3; ++o)
        for (uint32_t p = 0; p < 512; ++p) t[static_cast<size_t>(o)][p] = zero_coding_label(o, p);
    return t;
}

constexpr int contribution(uint32_t two_bits) {
    if (!(two_bits & 2)) return 0;
    return (two_bits & 1) ? -1 : 1;
}

constexpr int clip1(int x) { return x > 1 ? 1 : (x < -1 ? -1 : x); }

constexpr std::array<uint8_t, 256> make_sign_coding() {
    std::array<uint8_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        const int v = clip1(contribution((i >> 6) & 3) + contribution((i >> 4) & 3));
        const int h = clip1(contribution((i >> 2) & 3) + contribution(i & 3));
        // Contexts 9..13 grow with the strength of the prediction; a negative prediction
        // flips the decoded bit.
        // h = +-1: 13 when v agrees with h, 11 when it opposes it, 12 when v is 0.
        const int ctx = (h == 0) ? (v == 0 ? 9 : 10) : 12 + h * v;
        const int flip = (h < 0 || (h == 0 && v < 0)) ? 1 : 0;
        t[i] = static_cast<uint8_t>((ctx << 1) | flip);
    }
    return t;
}

constexpr std::array<MqTransition, kMqContextByteCount> kMqTransitions = make_transitions();

constexpr std::array<uint32_t, kMqContextByteCount> make_context_words() {
    std::array<uint32_t, kMqContextByteCount> t{};
    for (size_t i = 0; i < t.size(); ++i) t[i] = kMqTransitions[i].qe | (uint32_t(i) << 16);
    return t;
}

}  // namespace

constexpr std::array<uint32_t, kMqContextByteCount> kMqContextWord = make_context_words();

namespace {

constexpr std::array<std::array<uint32_t, 2>, kMqContextByteCount> make_next_words() {
    std::array<std::array<uint32_t, 2>, kMqContextByteCount> t{};
    for (size_t i = 0; i < t.size(); ++i) {
        t[i][0] = kMqContextWord[kMqTransitions[i].after_mps];
        t[i][1] = kMqContextWord[kMqTransitions[i].after_lps];
    }
    return t;
}

}  // namespace

constexpr std::array<std::array<uint32_t, 2>, kMqContextByteCount> kMqNextWord = make_next_words();
constexpr std::array<std::array<uint8_t, 512>, 3> kZeroCoding = make_zero_coding();
constexpr std::array<uint8_t, 256> kSignCoding = make_sign_coding();

constexpr std::array<uint8_t, 256> make_sign_coding_by_word() {
    std::array<uint8_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        const uint32_t down = i >> 6, left = (i >> 4) & 3, right = (i >> 2) & 3, up = i & 3;
        t[i] = kSignCoding[(up << 6) | (down << 4) | (left << 2) | right];
    }
    return t;
}
constexpr std::array<uint8_t, 256> kSignCodingByWord = make_sign_coding_by_word();

void mq_reset_context_words(uint32_t contexts[kMqContextCount]) {
    for (int i = 0; i < kMqContextCount; ++i) contexts[i] = kMqContextWord[0];
    contexts[0] = kMqContextWord[4 << 1];    // zero coding with no significant neighbour: mostly 0
    contexts[17] = kMqContextWord[3 << 1];   // run length
    contexts[18] = kMqContextWord[46 << 1];  // uniform: the fixed, non-adapting state
}

}  // namespace dravex
