#include "jp2/jp2_colour.h"

#include <cstring>

namespace dravex {

namespace {

int64_t max_value(uint8_t depth) { return (int64_t(1) << depth) - 1; }

// Centre of an unsigned chroma range; signed samples are centred already.
int64_t chroma_offset(uint8_t depth, uint8_t is_signed) {
    return is_signed ? 0 : int64_t(1) << (depth - 1);
}

// Rounds half up (the +0.5 then truncation of the colour formulas) and clamps to 0..max.
int64_t round_clamp(double v, int64_t max) {
    v += 0.5;
    if (!(v > 0.0)) return 0;  // also catches NaN
    if (v >= double(max)) return max;
    return static_cast<int64_t>(v);
}

int64_t clamp_range(int64_t v, int64_t max) { return v < 0 ? 0 : (v > max ? max : v); }

uint8_t low_byte(int64_t v) { return static_cast<uint8_t>(static_cast<uint64_t>(v) & 0xFF); }

void copy_row(const int32_t* src, uint32_t width, uint8_t* dst, uint32_t stride) {
    for (uint32_t x = 0; x < width; x++, dst += stride) *dst = low_byte(src[x]);
}

void sycc_row(const Jp2OutputPlan* p, const int32_t* const* rows, uint32_t width, uint8_t* r,
              uint8_t* g, uint8_t* b, uint32_t stride) {
    const int64_t max = max_value(p->depth[0]);
    const double cb_off = double(chroma_offset(p->depth[1], p->is_signed[1]));
    const double cr_off = double(chroma_offset(p->depth[2], p->is_signed[2]));
    const int32_t* ys = rows[0];
    const int32_t* cbs = rows[1];
    const int32_t* crs = rows[2];
    for (uint32_t x = 0; x < width; x++) {
        const double y = ys[x];
        const double cb = cbs[x] - cb_off;
        const double cr = crs[x] - cr_off;
        const size_t at = size_t(x) * stride;
        r[at] = low_byte(round_clamp(y + 1.402 * cr, max));
        g[at] = low_byte(round_clamp(y - 0.34413 * cb - 0.71414 * cr, max));
        b[at] = low_byte(round_clamp(y + 1.772 * cb, max));
    }
}

void cmyk_row(const Jp2OutputPlan* p, const int32_t* const* rows, uint32_t width, uint8_t* r,
              uint8_t* g, uint8_t* b, uint32_t stride) {
    const int64_t max_c = max_value(p->depth[0]);
    const int64_t max_m = max_value(p->depth[1]);
    const int64_t max_y = max_value(p->depth[2]);
    for (uint32_t x = 0; x < width; x++) {
        const int64_t k = rows[3][x];
        const size_t at = size_t(x) * stride;
        r[at] = low_byte(clamp_range(max_c - (rows[0][x] + k), max_c));
        g[at] = low_byte(clamp_range(max_m - (rows[1][x] + k), max_m));
        b[at] = low_byte(clamp_range(max_y - (rows[2][x] + k), max_y));
    }
}

}  // namespace

void jp2_plan_output(const ChannelList* list, const uint8_t* depth, const uint8_t* is_signed,
                     uint32_t convert_colour, uint16_t out_count, Jp2OutputPlan* plan) {
    std::memset(plan, 0, sizeof *plan);
    plan->mode = kJp2Copy;
    if (!list || out_count == 0) return;
    uint16_t n = 0;
    for (uint16_t k = 0; k < list->channel_num && n < kJp2MaxChannels; k++) {
        const uint16_t typ = list->entries[k].Typ;
        if (typ == 1 || typ == 2) continue;  // opacity is not colour
        plan->used[n++] = k;
    }
    if (n == 0) return;
    const uint32_t c = list->colour;
    const int known = c == kEnumSrgb || c == kEnumGrey || c == kEnumSycc || c == kEnumCmyk;
    if (c == kEnumGrey || n == 1) {
        // A lone channel is shown as grey; a profile or colour space it names is not applied.
        plan->mode = kJp2Grey;
        plan->unsupported = convert_colour && !known;
        n = 1;
    } else if (convert_colour && list->colour == kEnumSycc && n >= 3 && out_count >= 3) {
        plan->mode = kJp2Sycc;
        n = 3;
    } else if (convert_colour && list->colour == kEnumCmyk && n >= 4 && out_count >= 3) {
        plan->mode = kJp2Cmyk;
        n = 4;
    } else {
        plan->unsupported = convert_colour && !known;
        if (n > out_count) n = out_count;
    }
    plan->used_count = n;
    for (uint16_t i = 0; i < n; i++) {
        const uint8_t d = depth[plan->used[i]];
        plan->depth[i] = d < 1 ? 1 : (d > 32 ? 32 : d);
        plan->is_signed[i] = is_signed[plan->used[i]] ? 1 : 0;
    }
}

void jp2_convert_row(const Jp2OutputPlan* plan, const int32_t* const* rows, uint32_t width,
                     uint8_t* out, const uint32_t* offsets, uint16_t out_count, uint32_t stride) {
    if (plan->used_count == 0 || out_count == 0) return;
    switch (plan->mode) {
    case kJp2Grey:
        for (uint16_t o = 0; o < out_count; o++) copy_row(rows[0], width, out + offsets[o], stride);
        break;
    case kJp2Sycc:
        sycc_row(plan, rows, width, out + offsets[0], out + offsets[1], out + offsets[2], stride);
        break;
    case kJp2Cmyk:
        cmyk_row(plan, rows, width, out + offsets[0], out + offsets[1], out + offsets[2], stride);
        break;
    default: {
        const uint16_t n = plan->used_count < out_count ? plan->used_count : out_count;
        for (uint16_t o = 0; o < n; o++) copy_row(rows[o], width, out + offsets[o], stride);
        break;
    }
    }
}

}  // namespace dravex
