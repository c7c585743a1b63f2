#pragma once
// ByteReader: big-endian reads over a Stream range, through a 512-byte window.
//   ByteReader* br = byte_reader_create(ops, stream);   // range: stream's tell() .. size()
//   uint16_t v; if (!br_read_u16(br, &v)) { /* truncated */ }
//   byte_reader_destroy(ops, br);                        // never closes the stream
// Every read returns 1 or 0; a failed multi-byte read keeps the bytes it consumed.
// Positions are relative to the range start; br_set_pos may point past the end, after which
// every read fails.
#include <cstdint>

#include "io/mem_ops.h"
#include "io/stream.h"

namespace dravex {

constexpr uint32_t kByteReaderWindow = 512;

struct ByteReader {
    Stream* stream;        // not owned
    uint32_t start;        // stream position of byte 0
    uint32_t length;       // bytes in range
    uint32_t pos;          // next byte to read
    uint32_t bit_pos;      // next bit inside byte `pos`, 0 = most significant
    uint32_t window_start; // pos of window[0]
    uint32_t window_size;  // capacity of window (512)
    uint32_t window_fill;  // bytes of window that hold data; 0 = empty
    uint8_t window[kByteReaderWindow];
};

[[nodiscard]] ByteReader* byte_reader_create(MemOps* ops, Stream* s);
void byte_reader_destroy(MemOps* ops, ByteReader* br);

[[nodiscard]] int br_read_u8(ByteReader* br, uint8_t* out);
[[nodiscard]] int br_read_u16(ByteReader* br, uint16_t* out);
[[nodiscard]] int br_read_u32(ByteReader* br, uint32_t* out);
[[nodiscard]] int br_read_bits(ByteReader* br, uint32_t n, uint32_t* out);  // n <= 32
void br_align(ByteReader* br);
[[nodiscard]] int br_peek_u16(ByteReader* br, uint16_t* out);
[[nodiscard]] int br_read_block(ByteReader* br, uint8_t* dst, uint32_t n);
uint32_t br_remaining(const ByteReader* br);  // 0 when pos is at or past the end
uint32_t br_get_pos(const ByteReader* br);
void br_set_pos(ByteReader* br, uint32_t p);
// Skips n bytes forward, saturating instead of wrapping (the next read then fails).
void br_skip(ByteReader* br, uint32_t n);

}  // namespace dravex
