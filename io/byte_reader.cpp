#include "io/byte_reader.h"

#include <cstring>

namespace dravex {

namespace {

// Makes byte `pos` available in the window; never moves pos.
int br_fetch(ByteReader* br, uint8_t* out) {
    if (br->pos >= br->length) return 0;
    if (br->window_fill == 0 || br->pos < br->window_start ||
        br->pos - br->window_start >= br->window_fill) {
        uint32_t left = br->length - br->pos;
        uint32_t n = left < br->window_size ? left : br->window_size;
        br->window_fill = 0;  // stays empty unless the refill succeeds
        if (!br->stream->seek(br->stream, uint64_t(br->start) + br->pos)) return 0;
        if (!br->stream->read(br->stream, br->window, n)) return 0;
        br->window_start = br->pos;
        br->window_fill = n;
    }
    *out = br->window[br->pos - br->window_start];
    return 1;
}

}  // namespace

ByteReader* byte_reader_create(MemOps* ops, Stream* s) {
    auto* br = static_cast<ByteReader*>(ops->alloc(ops, sizeof(ByteReader)));
    if (!br) return nullptr;
    std::memset(br, 0, sizeof *br);
    br->stream = s;
    uint64_t start = s->tell(s);
    uint64_t size = s->size(s);
    uint64_t length = size > start ? size - start : 0;
    // Positions are 32-bit: a range beyond 4 GiB is cut to what the reader can address.
    br->start = start > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(start);
    br->length = length > UINT32_MAX - br->start ? UINT32_MAX - br->start
                                                  : static_cast<uint32_t>(length);
    br->window_size = kByteReaderWindow;
    uint32_t n = br->length < br->window_size ? br->length : br->window_size;
    // A failed first fill leaves the window marked empty, so the first fetch refills (or fails).
    if (n && s->read(s, br->window, n)) br->window_fill = n;
    return br;
}

void byte_reader_destroy(MemOps* ops, ByteReader* br) {
    if (br) ops->free(ops, br);
}

int br_read_u8(ByteReader* br, uint8_t* out) {
    uint8_t b;
    if (!br_fetch(br, &b)) return 0;
    br->pos++;
    *out = b;
    return 1;
}

int br_read_u16(ByteReader* br, uint16_t* out) {
    uint8_t a, b;
    if (!br_read_u8(br, &a) || !br_read_u8(br, &b)) return 0;
    *out = static_cast<uint16_t>((a << 8) | b);
    return 1;
}

int br_read_u32(ByteReader* br, uint32_t* out) {
    uint32_t v = 0;
    for (int i = 0; i < 4; i++) {
        uint8_t b;
        if (!br_read_u8(br, &b)) return 0;
        v = (v << 8) | b;
    }
    *out = v;
    return 1;
}

int br_read_bits(ByteReader* br, uint32_t n, uint32_t* out) {
    uint8_t cur;
    if (!br_fetch(br, &cur)) return 0;
    uint32_t v = 0;
    for (uint32_t i = 0; i < n; i++) {
        v = (v << 1) | ((cur >> (7 - br->bit_pos)) & 1u);
        if (br->bit_pos == 7) {
            br->bit_pos = 0;
            br->pos++;
            // The next byte is fetched at once, so taking the range's last bit fails.
            if (!br_fetch(br, &cur)) return 0;
        } else {
            br->bit_pos++;
        }
    }
    *out = v;
    return 1;
}

void br_align(ByteReader* br) {
    if (br->bit_pos != 0) {
        br->bit_pos = 0;
        if (br->pos != UINT32_MAX) br->pos++;
    }
}

int br_peek_u16(ByteReader* br, uint16_t* out) {
    uint32_t saved = br->pos;
    uint8_t a, b;
    if (!br_fetch(br, &a)) return 0;
    br->pos++;
    int ok = br_fetch(br, &b);
    br->pos = saved;
    if (!ok) return 0;
    *out = static_cast<uint16_t>((a << 8) | b);
    return 1;
}

int br_read_block(ByteReader* br, uint8_t* dst, uint32_t n) {
    if (br->pos > br->length || n > br->length - br->pos) return 0;
    if (n == 0) return 1;
    // Serve from the window when it already holds the bytes; otherwise go to the stream.
    if (br->window_fill && br->pos >= br->window_start &&
        br->pos - br->window_start <= br->window_fill &&
        n <= br->window_fill - (br->pos - br->window_start)) {
        std::memcpy(dst, br->window + (br->pos - br->window_start), n);
    } else {
        if (!br->stream->seek(br->stream, uint64_t(br->start) + br->pos)) return 0;
        if (!br->stream->read(br->stream, dst, n)) return 0;
    }
    br->pos += n;
    return 1;
}

uint32_t br_remaining(const ByteReader* br) {
    return br->pos >= br->length ? 0 : br->length - br->pos;
}

uint32_t br_get_pos(const ByteReader* br) { return br->pos; }

void br_set_pos(ByteReader* br, uint32_t p) { br->pos = p; }

void br_skip(ByteReader* br, uint32_t n) {
    br->pos = n > UINT32_MAX - br->pos ? UINT32_MAX : br->pos + n;
}

}  // namespace dravex
