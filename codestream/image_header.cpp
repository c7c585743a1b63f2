#include "codestream/image_header.h"

namespace dravex {

namespace {

uint32_t clamp_u32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : uint32_t(v); }

}  // namespace

TileBounds image_tile_bounds(const ImageHeader* h, uint32_t t) {
    const uint64_t p = t % h->numXtiles, q = t / h->numXtiles;
    TileBounds b;
    b.x0 = clamp_u32(h->XTOsiz + p * h->XTsiz);
    b.y0 = clamp_u32(h->YTOsiz + q * h->YTsiz);
    b.x1 = clamp_u32(h->XTOsiz + (p + 1) * h->XTsiz);
    b.y1 = clamp_u32(h->YTOsiz + (q + 1) * h->YTsiz);
    if (b.x0 < h->XOsiz) b.x0 = h->XOsiz;
    if (b.y0 < h->YOsiz) b.y0 = h->YOsiz;
    if (b.x1 > h->Xsiz) b.x1 = h->Xsiz;
    if (b.y1 > h->Ysiz) b.y1 = h->Ysiz;
    if (b.x1 < b.x0) b.x1 = b.x0;
    if (b.y1 < b.y0) b.y1 = b.y0;
    return b;
}

}  // namespace dravex
