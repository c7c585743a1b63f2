#pragma once
// Portable form of the branch-free MQ decision (mq_decode_even in tier1/mq_decoder.h), for
// every target without its own version. Masks stand in for the selects: written as selects,
// these become branches too. A difference's sign bit is the comparison (64 bits wide, as A
// may fill all 32).
#include <array>
#include <cstdint>

#include "tier1/t1_inline.h"

namespace dravex {

// Takes C and A (A already reduced to A - Qe, the upper sub-interval) and the context word
// `after` (still the word before the decision) through the decision; returns 1 for an LPS.
// Q is Qe aligned with C's compared part (C >> kQShift); next_words holds the words after an
// MPS and an LPS.
template <int kQShift, class Word>
T1_INLINE uint32_t mq_even_select(Word& c, uint32_t& a, uint32_t& after, Word q, uint32_t qe,
                                  uint32_t upper_a, uint32_t top,
                                  const std::array<uint32_t, 2>& next_words) {
    const uint32_t lower = static_cast<uint32_t>((uint64_t(c >> kQShift) - qe) >> 63);
    const uint32_t lps = lower ^ static_cast<uint32_t>((uint64_t(upper_a) - qe) >> 63);
    const uint32_t lower_mask = 0u - lower;
    c -= q & ~(Word(0) - lower);
    a = (a & ~lower_mask) | (qe & lower_mask);
    const uint32_t renorm_mask = 0u - static_cast<uint32_t>((uint64_t(a) - top) >> 63);
    after = (after & ~renorm_mask) | (next_words[lps] & renorm_mask);
    return lps;
}

}  // namespace dravex
