#pragma once
// Context tables of the coding passes, built at compile time from the neighbourhood rules.
#include <array>
#include <cstdint>

namespace dravex {

// Zero-coding tables by band orientation.
enum T1Orientation : int { kOrientLLLH = 0, kOrientHL = 1, kOrientHH = 2 };

// Index bits of a neighbourhood pattern, 1 when that neighbour is significant. Bit 4 is the
// sample itself; both halves of each table are equal, so a flags word can index it directly.
constexpr uint32_t kNbUpLeft = 1u << 8, kNbUp = 1u << 7, kNbUpRight = 1u << 6;
constexpr uint32_t kNbLeft = 1u << 5, kNbSelf = 1u << 4, kNbRight = 1u << 3;
constexpr uint32_t kNbDownLeft = 1u << 2, kNbDown = 1u << 1, kNbDownRight = 1u << 0;
constexpr uint32_t kNbAll = 0x1FF & ~kNbSelf;

// kZeroCoding[orientation][pattern] = context label 0..8 (used as the MQ context number).
extern const std::array<std::array<uint8_t, 512>, 3> kZeroCoding;

// kSignCoding[(up << 6) | (down << 4) | (left << 2) | right], each neighbour two bits
// (significant << 1) | negative: (context 9..13 << 1) | sign-prediction bit.
extern const std::array<uint8_t, 256> kSignCoding;
// The same, indexed by (down << 6) | (left << 4) | (right << 2) | up: the order in which the
// coding passes' context words hold the four neighbours.
extern const std::array<uint8_t, 256> kSignCodingByWord;

// Orientation of band b of resolution r (r 0: LL; else b 0 HL, 1 LH, 2 HH).
inline int t1_orientation(uint32_t r, uint32_t b) {
    if (r == 0) return kOrientLLLH;
    return b == 0 ? kOrientHL : (b == 2 ? kOrientHH : kOrientLLLH);
}

}  // namespace dravex
