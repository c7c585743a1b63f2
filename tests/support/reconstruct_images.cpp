#include "support/reconstruct_images.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "codestream/jpcdec.h"

namespace rec_test {
namespace {

// Header numbers, after whitespace and (in PNM) '#' comments.
bool number(const std::vector<uint8_t>& b, size_t* pos, uint32_t* v, bool comments) {
    while (*pos < b.size() && (b[*pos] <= ' ' || (comments && b[*pos] == '#')))
        if (b[*pos] == '#')
            while (*pos < b.size() && b[*pos] != '\n') ++*pos;
        else
            ++*pos;
    uint64_t x = 0;
    const size_t start = *pos;
    while (*pos < b.size() && b[*pos] >= '0' && b[*pos] <= '9' && x <= 0xFFFFFFFFu)
        x = x * 10 + (b[(*pos)++] - '0');
    *v = uint32_t(x);
    return *pos > start && x <= 0xFFFFFFFFu;
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

}  // namespace

bool read_file(const std::string& path, std::vector<uint8_t>* out) {
    std::ifstream f(path, std::ios::binary);
    if (f) out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return bool(f) || f.eof();
}

bool read_pgx(const std::string& path, Plane* out) {  // "PG ML [+|-]depth width height"
    std::vector<uint8_t> b;
    if (!read_file(path, &b) || b.size() < 6 || b[0] != 'P' || b[1] != 'G') return false;
    size_t pos = 5;
    while (pos < b.size() && b[pos] == ' ') pos++;
    const bool is_signed = pos < b.size() && b[pos] == '-';
    if (pos < b.size() && (b[pos] == '-' || b[pos] == '+')) pos++;
    uint32_t depth, w, h;
    if (!number(b, &pos, &depth, false) || !number(b, &pos, &w, false) ||
        !number(b, &pos, &h, false) || depth == 0 || depth > 16)
        return false;
    while (pos < b.size() && b[pos] != '\n') pos++;  // some put spaces before the line feed
    const size_t bytes = depth <= 8 ? 1 : 2, count = size_t(w) * h;
    if (b.size() <= pos || (b.size() - pos - 1) / bytes < count) return false;
    *out = Plane{w, h, std::vector<int32_t>(count)};
    for (size_t i = 0; i < count; i++) {
        const uint8_t* p = &b[pos + 1 + i * bytes];
        int32_t v = bytes == 1 ? p[0] : p[0] << 8 | p[1];
        if (is_signed && v >= (1 << (8 * bytes - 1))) v -= 1 << (8 * bytes);
        out->samples[i] = v;
    }
    return true;
}

bool read_pnm(const std::string& path, std::vector<Plane>* out) {
    std::vector<uint8_t> b;
    if (!read_file(path, &b) || b.size() < 2 || b[0] != 'P') return false;
    const uint32_t channels = b[1] == '6' ? 3 : 1;
    size_t pos = 2;
    uint32_t w, h, maxval;
    if ((b[1] != '2' && b[1] != '5' && b[1] != '6') || !number(b, &pos, &w, true) ||
        !number(b, &pos, &h, true) || !number(b, &pos, &maxval, true) || maxval > 65535)
        return false;
    const size_t count = size_t(w) * h, bytes = maxval > 255 ? 2 : 1;
    out->assign(channels, Plane{w, h, std::vector<int32_t>(count)});
    pos++;
    if (b[1] != '2' && (b.size() < pos || (b.size() - pos) / (bytes * channels) < count))
        return false;
    for (size_t i = 0; i < count; i++)
        for (uint32_t c = 0; c < channels; c++) {
            uint32_t v = 0;
            if (b[1] == '2') {
                if (!number(b, &pos, &v, true)) return false;
            } else {
                v = bytes == 1 ? b[pos] : uint32_t(b[pos]) << 8 | b[pos + 1];
                pos += bytes;
            }
            (*out)[c].samples[i] = int32_t(v);
        }
    return true;
}

bool read_image(const std::string& path, std::vector<Plane>* out) {
    std::vector<Plane> planes(1);
    const bool pgx = path.size() > 4 && path.compare(path.size() - 4, 4, ".pgx") == 0;
    if (!(pgx ? read_pgx(path, &planes[0]) : read_pnm(path, &planes))) return false;
    out->insert(out->end(), planes.begin(), planes.end());
    return true;
}

bool decode(const std::vector<uint8_t>& bytes, uint32_t count, Decoded* out, uint32_t layers) {
    if (bytes.size() < 45 || bytes[2] != 0xFF || bytes[3] != 0x51) return false;
    MemOps* ops = memops_create();
    Stream* s = memory_stream_create(ops, bytes.data(), uint32_t(bytes.size()));
    jpcdec* d = jpcdec_create(ops, s);
    bool ok = d && jpcdec_parse(d);
    if (ok) {
        jpcdec_set_layers(d, layers);
        const uint32_t n = std::min<uint32_t>(count, jpcdec_get_component_num(d));
        ok = n > 0 && jpcdec_set_output(d, uint16_t(n), nullptr, n);
        out->x0 = be32(&bytes[16]), out->y0 = be32(&bytes[20]);
        out->components.assign(n, Plane{});
        out->xr.assign(n, 1), out->yr.assign(n, 1);
        for (uint32_t i = 0; ok && i < n; i++) {
            if (bytes.size() > 44 + 3 * i) out->xr[i] = bytes[43 + 3 * i], out->yr[i] = bytes[44 + 3 * i];
            JpcComponentInfo c;
            ok = jpcdec_get_component_info(d, uint16_t(i), &c);
            out->components[i].width = c.width, out->components[i].height = c.height;
        }
        uint32_t w, h;
        jpcdec_get_size(d, &w, &h);
        std::vector<int32_t> row(w);
        for (uint32_t y = 0; ok && y < h; y++) {
            ok = jpcdec_decode_row(d, nullptr);
            for (uint32_t i = 0; ok && i < n; i++) {
                Plane& p = out->components[i];
                if (jpcdec_component_row(d, uint16_t(i), row.data()))
                    p.samples.insert(p.samples.end(), row.begin(), row.begin() + p.width);
            }
        }
        for (const Plane& p : out->components) ok = ok && p.samples.size() == size_t(p.width) * p.height;
        ok = ok && !jpcdec_decode_row(d, nullptr);  // no row after the last
        jpcdec_finish_output(d);
    }
    if (d) jpcdec_destroy(d);
    if (s) s->close(s);
    ops->release(ops);
    return ok;
}

std::string corpus_dir() {
    const char* env = std::getenv("DRAVEX_CORPUS");
    const std::string dir = env && *env ? env : DRAVEX_CORPUS_DEFAULT;
    return std::ifstream(dir + "/README.md") ? dir : "";
}

}  // namespace rec_test
