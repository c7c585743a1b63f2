#pragma once
// The small codes of packet headers: number of coding passes, Lblock increments and the
// capacity rules that split a code-block's passes into codeword segments.
#include <cstdint>

#include "tier2/bit_reader.h"

namespace dravex {

// Longest Lblock for which some length field still fits in 32 bits.
constexpr uint32_t kMaxLengthBits = 32;

// 1..164: 0 -> 1, 10 -> 2, 11xx -> 3..5, 1111xxxxx -> 6..36, 111111111xxxxxxx -> 37..164.
inline uint32_t read_pass_count(StuffedBitReader* br) {
    if (!bits_read_bit(br)) return 1;
    if (!bits_read_bit(br)) return 2;
    uint32_t v = bits_read(br, 2);
    if (v < 3) return 3 + v;
    v = bits_read(br, 5);
    if (v < 31) return 6 + v;
    return 37 + bits_read(br, 7);
}

// Adds the comma-coded increment to *lblock. Returns 0 as soon as Lblock passes `limit`, so
// a run of 1-bits from a hostile header cannot keep it growing.
[[nodiscard]] inline int read_lblock_increment(StuffedBitReader* br, uint32_t* lblock,
                                               uint32_t limit) {
    while (bits_read_bit(br)) {
        if (++*lblock > limit) return 0;
    }
    return 1;
}

// Code-block style bits that change how passes group into segments.
constexpr uint8_t kStyleBypass = 0x01;
constexpr uint8_t kStyleTerminateEachPass = 0x04;

// Passes a segment starting at pass index w can hold; 0xFFFFFFFF for no limit.
inline uint32_t segment_capacity(uint8_t style, uint32_t w) {
    if (style & kStyleTerminateEachPass) return 1;
    if (style & kStyleBypass) {
        if (w < 10) return 10 - w;
        return w % 3 == 1 ? 2 : 1;
    }
    return 0xFFFFFFFFu;
}

// 1 when a segment starting at pass w is MQ-coded, 0 when raw.
inline uint32_t segment_is_mq(uint8_t style, uint32_t w) {
    return !((style & kStyleBypass) && w >= 10 && w % 3 != 0);
}

}  // namespace dravex
