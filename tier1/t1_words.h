#pragma once
// Bits of the coding passes' scratch (tier1/t1_decode.cpp and its column stores).
//
// Layout of the scratch: one 64-bit context word per stripe column of four rows, stripes
// stored column after column. Bits 3k .. 3k + 2 hold the significance of row k - 1 of the
// stripe (k 0..5: the row above it, its four rows, the row below) in the columns x + 1, x and
// x - 1, and bits 32 above those their signs. So row r's neighbourhood is the 9 bits from 3r,
// in the order of the zero-coding table (whose contexts do not change under a vertical flip),
// and a sample turning significant updates three words, plus the copies in the next stripe's
// words for the first and last rows. The column's own rows are the centre bits 3r + 4;
// 18 bits above them mark rows visited in this plane, 50 above them rows refined before.
// One zero stripe above and below the block and one zero column on each side let every
// update go ahead without edge tests; samples outside the block are never coded, so what
// lands in the border is never read as a sample. The magnitudes sit four words per stripe
// column; they are written when a sample becomes significant and only read after that, so
// they need no clearing.
#include <cstdint>

namespace dravex {

constexpr uint64_t kRows = 0x2490;  // the centre bits 4, 7, 10, 13 of rows 0..3
constexpr int kVisitedShift = 18, kRefinedShift = 50, kNegativeShift = 32;
constexpr uint64_t kWindow = 0x1FF;                  // a row's neighbourhood, from bit 3r
constexpr uint64_t kRowAbove = 0x7ull << 15 | 0x7ull << 47;  // k 5, with signs
constexpr uint64_t kRowBelow = 0x7ull | 0x7ull << 32;        // k 0, with signs
constexpr uint64_t kRunModeBlockers = 0x3FFFF | kRows << kVisitedShift;
// The block store's column summary: bit r of each field for row r.
constexpr int kColVisitedShift = 4, kColNegativeShift = 8;

}  // namespace dravex
