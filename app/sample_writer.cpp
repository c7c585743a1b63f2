#include "app/sample_writer.h"

#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/output_file.h"
#include "codestream/jpcdec.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

// The decoder outputs at most this many components.
constexpr uint16_t kMaxComponents = 32;

const char kMsgTooManyComponents[] =
    "Images of more than 32 components cannot be written at full precision.";
const char kMsgTooDeep[] = "Samples deeper than 16 bits cannot be written.";
const char kMsgPnmCount[] =
    "A .pgm file holds one component and a .ppm file three; .pgx takes any image.";
const char kMsgPnmMixed[] =
    "PNM output needs unsigned components of one size and depth; .pgx takes any image.";

struct Plan {
    uint16_t count = 0;  // components decoded
    uint16_t files = 0;  // one per component for PGX, one for PNM
    JpcComponentInfo info[kMaxComponents];
};

uint32_t sample_bytes(uint32_t precision) { return precision <= 8 ? 1 : 2; }

bool make_plan(jpcdec* d, SampleFormat format, Plan* p, const char** refusal) {
    const uint16_t n = jpcdec_get_component_num(d);
    if (n > kMaxComponents) {
        *refusal = kMsgTooManyComponents;
        return false;
    }
    for (uint16_t i = 0; i < n; i++) {
        if (!jpcdec_get_component_info(d, i, &p->info[i]) || p->info[i].precision > 16) {
            *refusal = kMsgTooDeep;
            return false;
        }
    }
    p->count = n;
    p->files = n;
    if (format == SampleFormat::kPgx) return true;
    if (n != (format == SampleFormat::kPgm ? 1 : 3)) {
        *refusal = kMsgPnmCount;
        return false;
    }
    for (uint16_t i = 0; i < n; i++) {
        const JpcComponentInfo& c = p->info[i];
        if (c.is_signed || c.width != p->info[0].width || c.height != p->info[0].height ||
            c.precision != p->info[0].precision) {
            *refusal = kMsgPnmMixed;
            return false;
        }
    }
    p->files = 1;
    return true;
}

std::string header(SampleFormat format, const Plan& p, uint16_t file) {
    char text[96];
    const JpcComponentInfo& c = p.info[file];
    if (format == SampleFormat::kPgx) {
        std::snprintf(text, sizeof text, "PG ML %c %u %u %u\n", c.is_signed ? '-' : '+',
                      c.precision, c.width, c.height);
    } else {
        std::snprintf(text, sizeof text, "P%c\n%u %u\n%u\n", format == SampleFormat::kPgm ? '5' : '6',
                      c.width, c.height, (1u << c.precision) - 1);
    }
    return text;
}

// Big-endian samples, already clamped to the component's range (two's complement when signed).
uint8_t* put_sample(uint8_t* out, int32_t v, uint32_t bytes) {
    if (bytes == 2) *out++ = static_cast<uint8_t>(uint32_t(v) >> 8);
    *out++ = static_cast<uint8_t>(v);
    return out;
}

}  // namespace

// x.pgx gives x_0.pgx, x_1.pgx, ...; a PNM destination is used as it is.
std::string sample_file_name(SampleFormat format, const char* path, uint16_t file) {
    std::string name = path;
    if (format != SampleFormat::kPgx) return name;
    const size_t stem = name.size() - 4;
    return name.substr(0, stem) + "_" + std::to_string(file) + name.substr(stem);
}

SampleFormat sample_format_of(const char* path) {
    const size_t n = path ? std::strlen(path) : 0;
    if (n < 4) return SampleFormat::kNone;
    const char* ext = path + n - 4;
    if (strcasecmp(ext, ".pgx") == 0) return SampleFormat::kPgx;
    if (strcasecmp(ext, ".pgm") == 0) return SampleFormat::kPgm;
    if (strcasecmp(ext, ".ppm") == 0) return SampleFormat::kPpm;
    return SampleFormat::kNone;
}

uint64_t sample_output_size(jpcdec* d, SampleFormat format, const char** refusal) {
    Plan p;
    if (!make_plan(d, format, &p, refusal)) return 0;
    uint64_t total = 0;
    for (uint16_t f = 0; f < p.files; f++) total += header(format, p, f).size();
    for (uint16_t i = 0; i < p.count; i++)
        total += uint64_t(p.info[i].width) * p.info[i].height * sample_bytes(p.info[i].precision);
    return total;
}

SampleResult write_samples(jpcdec* d, SampleFormat format, const char* path) {
    Plan p;
    const char* refusal = nullptr;
    if (!make_plan(d, format, &p, &refusal)) return SampleResult::kRefused;
    uint32_t width = 0, height = 0;
    jpcdec_get_size(d, &width, &height);
    if (!jpcdec_set_output(d, p.count, nullptr, p.count)) return SampleResult::kSaveFailed;

    std::vector<OutputFile> files(p.files);
    bool ok = true;
    for (uint16_t f = 0; ok && f < p.files; f++) {
        const std::string head = header(format, p, f);
        ok = output_open(&files[f], sample_file_name(format, path, f).c_str()) &&
             std::fwrite(head.data(), 1, head.size(), files[f].file) == head.size();
    }
    // One row of every component, and one row of file bytes (PNM interleaves its components).
    std::vector<std::vector<int32_t>> rows(p.count);
    for (uint16_t i = 0; i < p.count; i++) rows[i].resize(size_t(p.info[i].width) + 1);
    std::vector<uint8_t> bytes(size_t(width) * p.count * 2 + 2);
    std::vector<uint32_t> written(p.count, 0);
    const uint32_t depth_bytes = sample_bytes(p.info[0].precision);

    for (uint32_t y = 0; ok && y < height; y++) {
        jpcdec_decode_row(d, nullptr);
        if (format == SampleFormat::kPgx) {
            for (uint16_t i = 0; ok && i < p.count; i++) {
                if (!jpcdec_component_row(d, i, rows[i].data())) continue;
                const uint32_t b = sample_bytes(p.info[i].precision);
                uint8_t* out = bytes.data();
                for (uint32_t x = 0; x < p.info[i].width; x++) out = put_sample(out, rows[i][x], b);
                const size_t n = size_t(out - bytes.data());
                ok = std::fwrite(bytes.data(), 1, n, files[i].file) == n;
                written[i]++;
            }
            continue;
        }
        uint16_t got = 0;
        for (uint16_t i = 0; i < p.count; i++) got += jpcdec_component_row(d, i, rows[i].data());
        if (got == 0) continue;
        if (got != p.count) {
            ok = false;  // components of one size whose rows come apart cannot be interleaved
            break;
        }
        uint8_t* out = bytes.data();
        for (uint32_t x = 0; x < p.info[0].width; x++)
            for (uint16_t i = 0; i < p.count; i++) out = put_sample(out, rows[i][x], depth_bytes);
        const size_t n = size_t(out - bytes.data());
        ok = std::fwrite(bytes.data(), 1, n, files[0].file) == n;
        for (uint16_t i = 0; i < p.count; i++) written[i]++;
    }
    for (uint16_t i = 0; ok && i < p.count; i++) ok = written[i] == p.info[i].height;
    const bool input_failed = jpcdec_input_failed(d);
    jpcdec_finish_output(d);
    for (uint16_t f = 0; ok && !input_failed && f < p.files; f++) ok = output_commit(&files[f]);
    for (OutputFile& f : files) output_abandon(&f);
    if (input_failed) return SampleResult::kInputFailed;
    return ok ? SampleResult::kWritten : SampleResult::kSaveFailed;
}
