#include "support/reconstruct_images.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "codestream/jpcdec_impl.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "tier2/tile.h"

namespace rec_test {

namespace {

// Cursor over a header: whitespace and '#' comments skipped before each token.
struct HeaderCursor {
    const std::vector<uint8_t>& b;
    size_t pos = 0;
    bool pnm_comments;
    void skip_space() {
        while (pos < b.size()) {
            if (pnm_comments && b[pos] == '#') {
                while (pos < b.size() && b[pos] != '\n') pos++;
            } else if (b[pos] == ' ' || b[pos] == '\t' || b[pos] == '\r' || b[pos] == '\n') {
                pos++;
            } else {
                break;
            }
        }
    }
    bool number(uint32_t* v) {
        skip_space();
        if (pos >= b.size() || b[pos] < '0' || b[pos] > '9') return false;
        uint64_t x = 0;
        while (pos < b.size() && b[pos] >= '0' && b[pos] <= '9') {
            x = x * 10 + (b[pos++] - '0');
            if (x > 0xFFFFFFFFu) return false;
        }
        *v = uint32_t(x);
        return true;
    }
};

bool fail(std::string* error, const std::string& path, const char* what) {
    if (error) *error = path + ": " + what;
    return false;
}

uint32_t ceil_div(uint32_t a, uint32_t b) { return uint32_t((uint64_t(a) + b - 1) / b); }

}  // namespace

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out->clear();
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->insert(out->end(), buf, buf + n);
    std::fclose(f);
    return true;
}

bool read_pgx(const std::string& path, Plane* out, std::string* error) {
    std::vector<uint8_t> b;
    if (!read_file(path, &b)) return fail(error, path, "cannot be read");
    if (b.size() < 2 || b[0] != 'P' || b[1] != 'G') return fail(error, path, "not a PGX file");
    HeaderCursor c{b, 2, false};
    c.skip_space();
    if (c.pos + 2 > b.size()) return fail(error, path, "short header");
    const bool big_endian = b[c.pos] == 'M' && b[c.pos + 1] == 'L';
    if (!big_endian && !(b[c.pos] == 'L' && b[c.pos + 1] == 'M'))
        return fail(error, path, "bad byte order");
    c.pos += 2;
    c.skip_space();
    bool is_signed = false;
    if (c.pos < b.size() && (b[c.pos] == '+' || b[c.pos] == '-')) is_signed = b[c.pos++] == '-';
    uint32_t depth, width, height;
    if (!c.number(&depth) || !c.number(&width) || !c.number(&height) || depth == 0 ||
        depth > 16)
        return fail(error, path, "bad header numbers");
    // The one whitespace byte that ends the header; some references put spaces before their
    // line feed, which belong to the header too.
    size_t end = c.pos;
    while (end < b.size() && end - c.pos < 8 && (b[end] == ' ' || b[end] == '\t' || b[end] == '\r'))
        end++;
    c.pos = end < b.size() && b[end] == '\n' ? end + 1 : c.pos + 1;
    const size_t bytes = depth <= 8 ? 1 : 2;
    const size_t count = size_t(width) * height;
    if (b.size() < c.pos || (b.size() - c.pos) / bytes < count)
        return fail(error, path, "short sample data");
    out->width = width;
    out->height = height;
    out->samples.resize(count);
    const uint8_t* p = b.data() + c.pos;
    for (size_t i = 0; i < count; i++, p += bytes) {
        uint32_t v = bytes == 1 ? p[0] : (big_endian ? (p[0] << 8) | p[1] : (p[1] << 8) | p[0]);
        int32_t s = int32_t(v);
        if (is_signed && bytes == 1 && v >= 0x80) s -= 0x100;
        if (is_signed && bytes == 2 && v >= 0x8000) s -= 0x10000;
        out->samples[i] = s;
    }
    return true;
}

bool read_pnm(const std::string& path, std::vector<Plane>* out, std::string* error) {
    std::vector<uint8_t> b;
    if (!read_file(path, &b)) return fail(error, path, "cannot be read");
    if (b.size() < 2 || b[0] != 'P' || (b[1] != '2' && b[1] != '5' && b[1] != '6'))
        return fail(error, path, "not a P2, P5 or P6 file");
    const bool ascii = b[1] == '2';
    const uint32_t channels = b[1] == '6' ? 3 : 1;
    HeaderCursor c{b, 2, true};
    uint32_t width, height, maxval;
    if (!c.number(&width) || !c.number(&height) || !c.number(&maxval) || maxval == 0 ||
        maxval > 65535)
        return fail(error, path, "bad header numbers");
    const size_t count = size_t(width) * height;
    out->assign(channels, Plane{});
    for (Plane& p : *out) {
        p.width = width;
        p.height = height;
        p.samples.resize(count);
    }
    if (ascii) {
        for (size_t i = 0; i < count; i++) {
            uint32_t v;
            if (!c.number(&v)) return fail(error, path, "short sample data");
            (*out)[0].samples[i] = int32_t(v);
        }
        return true;
    }
    c.pos++;
    const size_t bytes = maxval > 255 ? 2 : 1;
    if (b.size() < c.pos || (b.size() - c.pos) / (bytes * channels) < count)
        return fail(error, path, "short sample data");
    const uint8_t* p = b.data() + c.pos;
    for (size_t i = 0; i < count; i++)
        for (uint32_t ch = 0; ch < channels; ch++, p += bytes)
            (*out)[ch].samples[i] = bytes == 1 ? p[0] : (p[0] << 8) | p[1];
    return true;
}

bool decode_codestream(const std::vector<uint8_t>& bytes, uint32_t count, Decoded* out,
                       std::string* error) {
    const auto start = std::chrono::steady_clock::now();
    MemOps* ops = memops_create();
    Stream* s = ops ? memory_stream_create(ops, bytes.data(), uint32_t(bytes.size())) : nullptr;
    jpcdec* d = s ? jpcdec_create(ops, s) : nullptr;
    bool ok = d != nullptr;
    if (!ok && error) *error = "cannot create the decoder";
    if (ok && !jpcdec_parse(d)) {
        ok = false;
        if (error) *error = "parse failed";
    }
    if (ok) {
        uint32_t w, h;
        jpcdec_get_size(d, &w, &h);
        const uint32_t n = std::min<uint32_t>(count, jpcdec_get_component_num(d));
        if (!jpcdec_set_output(d, uint16_t(n), nullptr, n ? n : 1)) {
            ok = false;
            if (error) *error = "output set-up failed";
        }
        if (ok) {
            out->width = w;
            out->height = h;
            out->x0 = d->XOsiz;
            out->y0 = d->YOsiz;
            out->components.assign(n, Plane{});
            out->xr.resize(n);
            out->yr.resize(n);
            out->precision.resize(n);
            out->is_signed.resize(n);
            out->reversible.assign(n, 1);
            for (uint32_t j = 0; j < n; j++) {
                out->xr[j] = d->xrsiz[j];
                out->yr[j] = d->yrsiz[j];
                out->precision[j] = uint8_t((d->ssiz[j] & 0x7F) + 1);
                out->is_signed[j] = d->ssiz[j] >> 7;
                Plane& p = out->components[j];
                p.width = ceil_div(d->Xsiz, d->xrsiz[j]) - ceil_div(d->XOsiz, d->xrsiz[j]);
                p.height = ceil_div(d->Ysiz, d->yrsiz[j]) - ceil_div(d->YOsiz, d->yrsiz[j]);
                p.samples.assign(size_t(p.width) * p.height, INT32_MIN);
                for (uint32_t t = 0; t < d->tileNum; t++)
                    if (d->tiles[t].components && d->tiles[t].components[j].transform != 1)
                        out->reversible[j] = 0;
            }
            std::vector<uint8_t> row(size_t(w) * (n ? n : 1));
            uint32_t delivered = 0;
            for (uint32_t q = 0; ok && q < d->numYtiles; q++) {
                const Tile& first = d->tiles[size_t(q) * d->numXtiles];
                for (uint32_t k = 0; ok && k < first.y1 - first.y0; k++) {
                    if (!jpcdec_decode_row(d, row.data())) {
                        ok = false;
                        if (error) *error = "row " + std::to_string(delivered) + " missing";
                        break;
                    }
                    delivered++;
                    uint32_t g = 0;
                    for (uint32_t t = 0; t < d->numXtiles; t++) {
                        const Tile& tile = d->tiles[size_t(q) * d->numXtiles + t];
                        for (uint32_t j = 0; j < n && tile.components; j++) {
                            const TileComponent& tc = tile.components[j];
                            if (k >= tc.y1 - tc.y0) continue;
                            Plane& p = out->components[j];
                            const uint32_t cy = tc.y0 + k - ceil_div(d->YOsiz, d->yrsiz[j]);
                            const uint32_t cx = tc.x0 - ceil_div(d->XOsiz, d->xrsiz[j]);
                            if (cy >= p.height || cx > p.width || tc.x1 - tc.x0 > p.width - cx) {
                                ok = false;
                                if (error) *error = "tile-component outside its component";
                                break;
                            }
                            const int32_t* src = jpcdec_row_samples(d, uint16_t(j)) + g;
                            for (uint32_t x = 0; x < tc.x1 - tc.x0; x++)
                                p.samples[size_t(cy) * p.width + cx + x] = src[x];
                        }
                        g += tile.x1 - tile.x0;
                    }
                }
            }
            if (ok && delivered != h) {
                ok = false;
                if (error) *error = "delivered " + std::to_string(delivered) + " rows";
            }
            if (ok && jpcdec_decode_row(d, row.data())) {
                ok = false;
                if (error) *error = "a row after the last";
            }
            jpcdec_finish_output(d);
        }
    }
    if (d) jpcdec_destroy(d);
    if (s) s->close(s);
    if (ops) ops->release(ops);
    out->seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return ok;
}

bool decode_bgr_rows(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* rows,
                     uint32_t* width, uint32_t* height, std::string* error) {
    MemOps* ops = memops_create();
    Stream* s = ops ? memory_stream_create(ops, bytes.data(), uint32_t(bytes.size())) : nullptr;
    jpcdec* d = s ? jpcdec_create(ops, s) : nullptr;
    bool ok = d && jpcdec_parse(d);
    if (!ok && error) *error = "parse failed";
    static const uint32_t kBgr[3] = {2, 1, 0};
    if (ok && !jpcdec_set_output(d, 3, kBgr, 3)) {
        ok = false;
        if (error) *error = "output set-up failed";
    }
    if (ok) {
        jpcdec_get_size(d, width, height);
        const bool grey = jpcdec_get_component_num(d) == 1;
        const size_t stride = size_t(*width) * 3;
        rows->assign(stride * *height, 0);
        for (uint32_t y = 0; y < *height; y++) {
            uint8_t* row = rows->data() + stride * y;
            jpcdec_decode_row(d, row);
            if (grey)
                for (uint32_t x = 0; x < *width; x++) row[3 * x] = row[3 * x + 1] = row[3 * x + 2];
        }
        jpcdec_finish_output(d);
    }
    if (d) jpcdec_destroy(d);
    if (s) s->close(s);
    if (ops) ops->release(ops);
    return ok;
}

std::string corpus_dir() {
    const char* env = std::getenv("DRAVEX_CORPUS");
    std::string dir = env && *env ? env : DRAVEX_CORPUS_DEFAULT;
    FILE* f = std::fopen((dir + "/README.md").c_str(), "rb");
    if (!f) return "";
    std::fclose(f);
    return dir;
}

}  // namespace rec_test
