// SIZ segment: reference grid, tiling, components, and the profile-0/profile-1 checks.
#include <cstdint>

#include "codestream/jpc_params.h"
#include "codestream/jpcdec_impl.h"

namespace {

constexpr uint32_t kSizFixedLength = 38;   // Lsiz up to and including Csiz
constexpr uint16_t kMaxComponents = 16384;
constexpr uint32_t kMaxPrecision = 38;     // what the syntax allows
constexpr uint32_t kMaxSupportedPrecision = 31;  // samples and shifts stay within 32 bits
constexpr uint32_t k2pow31 = 0x80000000u;

constexpr const char* kMsgSizRead = "Parsing SIZ marker segment error.";
constexpr const char* kMsgSizShort = "SIZ marker segment is too short for its components.";
constexpr const char* kMsgComponentCount =
    "Invalid SIZ marker segment: the component count is 0 or above 16384.";
constexpr const char* kMsgEmptyImage =
    "Invalid SIZ marker segment: the image area is empty (Xsiz <= XOsiz or Ysiz <= YOsiz).";
constexpr const char* kMsgZeroTile = "Invalid SIZ marker segment: the tile size is 0.";
constexpr const char* kMsgTileGridAfterImage =
    "Invalid SIZ marker segment: the tile grid starts after the image area (XTOsiz > XOsiz or "
    "YTOsiz > YOsiz).";
constexpr const char* kMsgFirstTileEmpty =
    "Invalid SIZ marker segment: the first tile does not meet the image area.";
constexpr const char* kMsgZeroSubsampling =
    "Invalid SIZ marker segment: a component sub-sampling factor is 0.";
constexpr const char* kMsgBadDepth =
    "Invalid SIZ marker segment: a component depth is outside 1 to 38 bits.";
constexpr const char* kMsgUnsupportedDepth = "Unsupported component depth above 31 bits.";

constexpr const char* kMsgP0Size = "Violate profile0: Xsiz,Ysiz < 2~31.";
constexpr const char* kMsgP0Tiles =
    "Violate profile0: tiles of a dimension 128 x 128:YTsiz = XTsiz = 128or one tile for the "
    "whole image:YTsiz + YTOsiz >= YsizXTsiz + XTOsiz >= Xsiz";
constexpr const char* kMsgP0Offsets = "Violate profile0: XOsiz = YOsiz = XTOsiz = YTOsiz = 0";
constexpr const char* kMsgP1Size = "Violate profile1: Xsiz,Ysiz < 2~31";
constexpr const char* kMsgP1Offsets = "Violate profile1: XOsiz,YOsiz,XTOsiz,YTOsiz < 2~31";
constexpr const char* kMsgP0Subsampling =
    "Violate profile0: XRsiz(i) = 1,2,or 4 and YRsiz(i) = 1,2,or 4";
constexpr const char* kMsgP1Tiles =
    "Violate profile1: XTsiz/min(XRsiz(i),YRsiz(i)) >= 1024XTsiz = YTsizor one tile for the "
    "whole image:YTsiz + YTOsiz >= YsizXTsiz + XTOsiz >= Xsiz";

int fail_siz(jpcdec* d, const char* message) {
    jpc_free_siz_arrays(d);
    return ctx_fail(d, message);
}

// The profile tests compare in unsigned 32 bits, as the profiles define them.
bool one_tile_for_image(const jpcdec* d) {
    return !(d->YTsiz + d->YTOsiz < d->Ysiz || d->XTsiz + d->XTOsiz < d->Xsiz);
}

void check_image_profile(jpcdec* d) {
    if (d->Rsiz == 1) {
        if (d->Xsiz >= k2pow31 || d->Ysiz >= k2pow31) ctx_warn(d, kMsgP0Size);
        if (!(d->XTsiz == 128 && d->YTsiz == 128) && !one_tile_for_image(d))
            ctx_warn(d, kMsgP0Tiles);
        if (d->XOsiz || d->YOsiz || d->XTOsiz || d->YTOsiz) ctx_warn(d, kMsgP0Offsets);
    } else if (d->Rsiz == 2) {
        if (d->Xsiz >= k2pow31 || d->Ysiz >= k2pow31) ctx_warn(d, kMsgP1Size);
        if (d->XOsiz >= k2pow31 || d->YOsiz >= k2pow31 || d->XTOsiz >= k2pow31 ||
            d->YTOsiz >= k2pow31)
            ctx_warn(d, kMsgP1Offsets);
    }
}

bool is_1_2_or_4(uint8_t v) { return v == 1 || v == 2 || v == 4; }

void check_component_profile(jpcdec* d, uint8_t xr, uint8_t yr) {
    if (d->Rsiz == 1) {
        if (!is_1_2_or_4(xr) || !is_1_2_or_4(yr)) ctx_warn(d, kMsgP0Subsampling);
    } else if (d->Rsiz == 2) {
        const uint32_t m = xr < yr ? xr : yr;  // never 0: checked before
        if (!(d->XTsiz / m >= 1024 && d->XTsiz == d->YTsiz) && !one_tile_for_image(d))
            ctx_warn(d, kMsgP1Tiles);
    }
}

// Values that would make the tiling, the tile counts or later divisions meaningless.
const char* check_image_extents(const jpcdec* d) {
    if (d->Xsiz <= d->XOsiz || d->Ysiz <= d->YOsiz) return kMsgEmptyImage;
    if (d->XTsiz == 0 || d->YTsiz == 0) return kMsgZeroTile;
    if (d->XTOsiz > d->XOsiz || d->YTOsiz > d->YOsiz) return kMsgTileGridAfterImage;
    if (uint64_t(d->XTOsiz) + d->XTsiz <= d->XOsiz || uint64_t(d->YTOsiz) + d->YTsiz <= d->YOsiz)
        return kMsgFirstTileEmpty;
    return nullptr;
}

}  // namespace

int jpc_parse_siz(jpcdec* d, const MarkerHeader* m) {
    d->ssiz = d->xrsiz = d->yrsiz = nullptr;
    d->irr_frac_bits = 0;
    ByteReader* br = d->reader;
    if (m->length < kSizFixedLength) return fail_siz(d, kMsgSizShort);
    uint32_t* const fields[] = {&d->Xsiz,  &d->Ysiz,  &d->XOsiz,  &d->YOsiz,
                                &d->XTsiz, &d->YTsiz, &d->XTOsiz, &d->YTOsiz};
    if (!br_read_u16(br, &d->Rsiz)) return fail_siz(d, kMsgSizRead);
    for (uint32_t* f : fields)
        if (!br_read_u32(br, f)) return fail_siz(d, kMsgSizRead);
    if (!br_read_u16(br, &d->Csiz)) return fail_siz(d, kMsgSizRead);
    d->component_num = d->Csiz;

    if (d->Csiz == 0 || d->Csiz > kMaxComponents) return fail_siz(d, kMsgComponentCount);
    // Reading components past Lsiz would take bytes of the next segment.
    const uint32_t needed = kSizFixedLength + 3u * d->Csiz;
    if (m->length < needed) return fail_siz(d, kMsgSizShort);
    if (const char* bad = check_image_extents(d)) return fail_siz(d, bad);

    check_image_profile(d);

    d->ssiz = mem_new_array<uint8_t>(d->ops, d->Csiz);
    d->xrsiz = mem_new_array<uint8_t>(d->ops, d->Csiz);
    d->yrsiz = mem_new_array<uint8_t>(d->ops, d->Csiz);
    if (!d->ssiz || !d->xrsiz || !d->yrsiz) return fail_siz(d, "Out of memory for SIZ components.");

    for (uint32_t i = 0; i < d->Csiz; i++) {
        uint8_t s, xr, yr;
        if (!br_read_u8(br, &s) || !br_read_u8(br, &xr) || !br_read_u8(br, &yr))
            return fail_siz(d, kMsgSizRead);
        d->ssiz[i] = s;
        d->xrsiz[i] = xr;
        d->yrsiz[i] = yr;
        if (xr == 0 || yr == 0) return fail_siz(d, kMsgZeroSubsampling);
        const uint32_t precision = (s & 0x7Fu) + 1;
        if (precision > kMaxPrecision) return fail_siz(d, kMsgBadDepth);
        if (precision > kMaxSupportedPrecision) return fail_siz(d, kMsgUnsupportedDepth);
        check_component_profile(d, xr, yr);
        const uint32_t frac = jpc_irr_frac_bits(precision);
        if (d->irr_frac_bits == 0 || frac < d->irr_frac_bits) d->irr_frac_bits = uint8_t(frac);
    }
    if (m->length > needed) br_skip(br, m->length - needed);
    return 1;
}

void jpc_free_siz_arrays(jpcdec* d) {
    mem_free(d->ops, d->ssiz);
    mem_free(d->ops, d->xrsiz);
    mem_free(d->ops, d->yrsiz);
    d->ssiz = d->xrsiz = d->yrsiz = nullptr;
}
