#pragma once
// BMP output: uncompressed 24-bit bitmaps, 54 header bytes then the rows bottom-up.
//   BmpWriter w;
//   if (!bmp_open(&w, path, width, height, stride)) ...   // header written; file created
//   for (i < height) if (!bmp_write_row(&w, i, row)) ...  // i counts from the TOP row
//   (or bmp_write_rows for a block of consecutive rows, one write instead of many)
//   if (!bmp_close(&w)) ...                               // 1 only when every byte landed
// Rows may arrive in any order: each goes to its own place in the file, so the caller needs
// one row of memory, not the whole image. The destination appears, whole, only at the close
// (see app/output_file.h); any failure drops what was written and leaves an existing file as
// it was, and every later call on that writer returns 0.
//   write_bmp(path, width, height, stride, pixels)       // whole image, bottom row first
// Results: 1 written, 0 not (nothing is printed here).
#include <cstdint>
#include <cstdio>

#include "app/output_file.h"

constexpr uint32_t kBmpHeaderSize = 54;

// Bytes per file row: 3 * width rounded up to a multiple of 4, in 64 bits so it cannot wrap.
inline uint64_t bmp_stride(uint32_t width) { return (uint64_t(width) * 3 + 3) & ~uint64_t(3); }

// 1 and *out = the file size when a bitmap of these rows fits the 32-bit size fields.
[[nodiscard]] int bmp_file_size(uint32_t height, uint64_t stride, uint64_t* out);

struct BmpWriter {
    OutputFile out;          // out.file is null once closed or discarded
    uint32_t height = 0;
    uint32_t stride = 0;
    uint64_t position = 0;   // where the next write lands, so sequential rows need no seek
    uint64_t end = 0;        // furthest byte written; rows never written read back as zeros
};

[[nodiscard]] int bmp_open(BmpWriter* w, const char* path, uint32_t width, uint32_t height,
                           uint32_t stride);
// Writes `stride` bytes of image row i (0 = top) at 54 + (height - 1 - i) * stride.
[[nodiscard]] int bmp_write_row(BmpWriter* w, uint32_t i, const uint8_t* row);
// Writes image rows top .. top + count - 1 in one go; `rows` holds them in file order, the
// lowest row (top + count - 1) first, count * stride bytes.
[[nodiscard]] int bmp_write_rows(BmpWriter* w, uint32_t top, uint32_t count, const uint8_t* rows);
[[nodiscard]] int bmp_close(BmpWriter* w);
// Abandons the file: closes and removes it. Safe on a writer that already failed or closed.
void bmp_discard(BmpWriter* w);

[[nodiscard]] int write_bmp(const char* path, uint32_t width, uint32_t height, uint32_t stride,
                            const uint8_t* pixels);
