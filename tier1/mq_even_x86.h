#pragma once
// x86-64 form of the branch-free MQ decision (mq_decode_even in tier1/mq_decoder.h): the
// borrow of C - Qe drives conditional moves directly. Written as selects in C++, the compiler
// turns them back into branches, which mispredict about half the time on these contexts.
#include <array>
#include <cstdint>

#include "tier1/t1_inline.h"

namespace dravex {

// Takes C and A (A already reduced to A - Qe, the upper sub-interval) and the context word
// `after` (still the word before the decision) through the decision; returns 1 for an LPS.
// Q is Qe aligned with C's compared part; next_words holds the words after an MPS and an LPS.
template <int kQShift, class Word>
T1_INLINE uint32_t mq_even_select(Word& c, uint32_t& a, uint32_t& after, Word q, uint32_t qe,
                                  uint32_t upper_a, uint32_t top,
                                  const std::array<uint32_t, 2>& next_words) {
    Word upper_c = c;
    uint8_t lower;
    asm("sub %[q], %[uc]\n\t"
        "cmovnc %[uc], %[c]\n\t"
        "cmovc %[qe], %[a]\n\t"
        "setc %[lower]"
        : [c] "+r"(c), [uc] "+r"(upper_c), [a] "+r"(a), [lower] "=r"(lower)
        : [q] "r"(q), [qe] "r"(qe)
        : "cc");
    const uint32_t lps = static_cast<uint32_t>(lower) ^ static_cast<uint32_t>(upper_a < qe);
    const uint32_t next = next_words[lps];
    asm("cmp %[top], %[a]\n\t"
        "cmovb %[next], %[after]"
        : [after] "+r"(after)
        : [a] "r"(a), [next] "r"(next), [top] "r"(top)
        : "cc");
    return lps;
}

}  // namespace dravex
