#include "app/bmp_writer.h"

#include <climits>
#include <cstring>

namespace {

void put_u16(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

void put_u32(uint8_t* p, uint32_t v) {
    put_u16(p, v & 0xFFFFu);
    put_u16(p + 2, v >> 16);
}

// File header (14 bytes) and version-3 information header (40 bytes), little-endian.
void fill_header(uint8_t* h, uint32_t width, uint32_t height, uint32_t image_size) {
    std::memset(h, 0, kBmpHeaderSize);
    h[0] = 'B';
    h[1] = 'M';
    put_u32(h + 2, kBmpHeaderSize + image_size);  // bfSize
    put_u32(h + 10, kBmpHeaderSize);              // bfOffBits
    put_u32(h + 14, 40);                          // biSize
    put_u32(h + 18, width);
    put_u32(h + 22, height);                      // positive: rows stored bottom-up
    put_u16(h + 26, 1);                           // biPlanes
    put_u16(h + 28, 24);                          // biBitCount
    put_u32(h + 34, image_size);                  // biSizeImage; compression and the rest 0
}

// Every failure ends here: what was written is dropped, so a caller never finds a truncated
// bitmap. A device such as /dev/full is closed but left alone.
int fail(BmpWriter* w) {
    output_abandon(&w->out);
    return 0;
}

int seek_to(BmpWriter* w, uint64_t offset) {
    if (offset == w->position) return 1;
    if (offset > static_cast<uint64_t>(LONG_MAX)) return 0;
    if (std::fseek(w->out.file, static_cast<long>(offset), SEEK_SET) != 0) return 0;
    w->position = offset;
    return 1;
}

int write_at(BmpWriter* w, uint64_t offset, const void* bytes, uint64_t n) {
    if (!seek_to(w, offset)) return 0;
    if (n && std::fwrite(bytes, 1, n, w->out.file) != n) return 0;
    w->position += n;
    if (w->position > w->end) w->end = w->position;
    return 1;
}

}  // namespace

int bmp_file_size(uint32_t height, uint64_t stride, uint64_t* out) {
    // bfSize is 32 bits: the whole file, header included, must stay within it.
    const uint64_t room = UINT32_MAX - kBmpHeaderSize;
    if (stride != 0 && height > room / stride) return 0;
    *out = kBmpHeaderSize + uint64_t(height) * stride;
    return 1;
}

int bmp_open(BmpWriter* w, const char* path, uint32_t width, uint32_t height, uint32_t stride) {
    output_abandon(&w->out);
    *w = BmpWriter();
    uint64_t file_size;
    if (!path || !path[0] || !bmp_file_size(height, stride, &file_size)) return 0;
    if (file_size > static_cast<uint64_t>(LONG_MAX)) return 0;
    if (!output_open(&w->out, path)) return 0;
    w->height = height;
    w->stride = stride;

    uint8_t header[kBmpHeaderSize];
    fill_header(header, width, height, static_cast<uint32_t>(file_size - kBmpHeaderSize));
    if (!write_at(w, 0, header, kBmpHeaderSize)) return fail(w);
    return 1;
}

int bmp_write_rows(BmpWriter* w, uint32_t top, uint32_t count, const uint8_t* rows) {
    if (!w->out.file) return 0;
    if (top >= w->height || count > w->height - top) return fail(w);
    uint64_t offset = kBmpHeaderSize + uint64_t(w->height - top - count) * w->stride;
    if (!write_at(w, offset, rows, uint64_t(count) * w->stride)) return fail(w);
    return 1;
}

int bmp_write_row(BmpWriter* w, uint32_t i, const uint8_t* row) { return bmp_write_rows(w, i, 1, row); }

int bmp_close(BmpWriter* w) {
    if (!w->out.file) return 0;
    // Rows never written sit below the furthest one as a hole; a missing top part is padded so
    // the file always has the length its header announces.
    uint64_t file_size = kBmpHeaderSize + uint64_t(w->height) * w->stride;
    if (w->end < file_size) {
        const uint8_t zero = 0;
        if (!write_at(w, file_size - 1, &zero, 1)) return fail(w);
    }
    return output_commit(&w->out);
}

void bmp_discard(BmpWriter* w) { fail(w); }

int write_bmp(const char* path, uint32_t width, uint32_t height, uint32_t stride,
              const uint8_t* pixels) {
    BmpWriter w;
    if (!bmp_open(&w, path, width, height, stride)) return 0;
    // pixels already hold the file's order, bottom row first: one block.
    if (height && !bmp_write_rows(&w, 0, height, pixels)) return 0;
    return bmp_close(&w);
}
