#pragma once
// StuffedBitReader: packet-header bits, most significant first, with the bit stuffing that
// follows every 0xFF byte (only its low 7 bits carry data).
//   StuffedBitReader br;  bits_init_reader(&br, d->reader);      // headers in line
//   bits_init_memory(&br, packed, length, pos);                   // packed headers
//   uint32_t v = bits_read(&br, 5);  bits_end_header(&br);
// Never fails: a byte asked for past the end reads as 0x7F and sets `overrun`, which the
// packet decoder tests after each header. Lives on the stack, one per packet header.
#include <cstdint>

#include "io/byte_reader.h"

namespace dravex {

struct StuffedBitReader {
    ByteReader* reader;   // byte source, or null to read from data
    const uint8_t* data;  // packed header bytes when reader is null
    uint32_t length;      // bytes in data
    uint32_t pos;         // next byte of data
    uint64_t buffer;      // unconsumed bits in the low `count` bits
    uint32_t count;
    uint32_t after_ff;    // the last byte fetched was 0xFF
    uint32_t overrun;     // a byte was asked for past the end of the source
    uint32_t fetched;     // bytes fetched so far
};

inline void bits_init_reader(StuffedBitReader* br, ByteReader* reader) {
    *br = StuffedBitReader{};
    br->reader = reader;
}

inline void bits_init_memory(StuffedBitReader* br, const uint8_t* data, uint32_t length,
                             uint32_t pos) {
    *br = StuffedBitReader{};
    br->data = data;
    br->length = length;
    br->pos = pos;
}

// Appends the data bits of the next byte to the buffer (7 after 0xFF, else 8).
inline void bits_fetch(StuffedBitReader* br) {
    uint8_t byte = 0x7F;
    br->fetched++;
    if (!br->reader) {
        if (br->pos < br->length) byte = br->data[br->pos++];
        else br->overrun = 1;
    } else if (!br_read_u8(br->reader, &byte)) {
        byte = 0x7F;
        br->overrun = 1;
    }
    if (br->after_ff) {
        br->buffer = (br->buffer << 7) | (byte & 0x7Fu);
        br->count += 7;
    } else {
        br->buffer = (br->buffer << 8) | byte;
        br->count += 8;
    }
    br->after_ff = byte == 0xFF;
}

inline uint32_t bits_read_bit(StuffedBitReader* br) {
    if (br->count == 0) bits_fetch(br);
    br->count--;
    return static_cast<uint32_t>(br->buffer >> br->count) & 1u;
}

// The next n bits (0 <= n <= 32); the 64-bit buffer never holds more than 32 + 7 bits.
inline uint32_t bits_read(StuffedBitReader* br, uint32_t n) {
    if (n == 0) return 0;
    while (br->count < n) bits_fetch(br);
    br->count -= n;
    const uint64_t mask = (uint64_t(1) << n) - 1;
    return static_cast<uint32_t>((br->buffer >> br->count) & mask);
}

// After a header's last bit: a header whose final byte was 0xFF with every bit used owns the
// stuffing byte that follows it. Fill bits left in the last byte are dropped.
inline void bits_end_header(StuffedBitReader* br) {
    if (br->count == 0 && br->after_ff) bits_fetch(br);
    br->count = 0;
    br->buffer = 0;
}

}  // namespace dravex
