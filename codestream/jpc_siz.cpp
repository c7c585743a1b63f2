// SIZ segment: reference grid, tiling, components, and the profile-0/profile-1 checks.
#include <cstdint>

#include "codestream/codestream_reader.h"
#include "codestream/jpc_params.h"

namespace dravex {

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

int fail_siz(CodestreamReader* cr, const char* message) {
    jpc_free_siz_arrays(cr);
    return ctx_fail(cr->ctx, message);
}

// The profile tests compare in unsigned 32 bits, as the profiles define them.
bool one_tile_for_image(const CodestreamReader* cr) {
    return !(cr->image->YTsiz + cr->image->YTOsiz < cr->image->Ysiz || cr->image->XTsiz + cr->image->XTOsiz < cr->image->Xsiz);
}

void check_image_profile(CodestreamReader* cr) {
    if (cr->image->Rsiz == 1) {
        if (cr->image->Xsiz >= k2pow31 || cr->image->Ysiz >= k2pow31) ctx_warn(cr->ctx, kMsgP0Size);
        if (!(cr->image->XTsiz == 128 && cr->image->YTsiz == 128) && !one_tile_for_image(cr))
            ctx_warn(cr->ctx, kMsgP0Tiles);
        if (cr->image->XOsiz || cr->image->YOsiz || cr->image->XTOsiz || cr->image->YTOsiz) ctx_warn(cr->ctx, kMsgP0Offsets);
    } else if (cr->image->Rsiz == 2) {
        if (cr->image->Xsiz >= k2pow31 || cr->image->Ysiz >= k2pow31) ctx_warn(cr->ctx, kMsgP1Size);
        if (cr->image->XOsiz >= k2pow31 || cr->image->YOsiz >= k2pow31 || cr->image->XTOsiz >= k2pow31 ||
            cr->image->YTOsiz >= k2pow31)
            ctx_warn(cr->ctx, kMsgP1Offsets);
    }
}

bool is_1_2_or_4(uint8_t v) { return v == 1 || v == 2 || v == 4; }

void check_component_profile(CodestreamReader* cr, uint8_t xr, uint8_t yr) {
    if (cr->image->Rsiz == 1) {
        if (!is_1_2_or_4(xr) || !is_1_2_or_4(yr)) ctx_warn(cr->ctx, kMsgP0Subsampling);
    } else if (cr->image->Rsiz == 2) {
        const uint32_t m = xr < yr ? xr : yr;  // never 0: checked before
        if (!(cr->image->XTsiz / m >= 1024 && cr->image->XTsiz == cr->image->YTsiz) && !one_tile_for_image(cr))
            ctx_warn(cr->ctx, kMsgP1Tiles);
    }
}

// Values that would make the tiling, the tile counts or later divisions meaningless.
const char* check_image_extents(const CodestreamReader* cr) {
    if (cr->image->Xsiz <= cr->image->XOsiz || cr->image->Ysiz <= cr->image->YOsiz) return kMsgEmptyImage;
    if (cr->image->XTsiz == 0 || cr->image->YTsiz == 0) return kMsgZeroTile;
    if (cr->image->XTOsiz > cr->image->XOsiz || cr->image->YTOsiz > cr->image->YOsiz) return kMsgTileGridAfterImage;
    if (uint64_t(cr->image->XTOsiz) + cr->image->XTsiz <= cr->image->XOsiz || uint64_t(cr->image->YTOsiz) + cr->image->YTsiz <= cr->image->YOsiz)
        return kMsgFirstTileEmpty;
    return nullptr;
}

}  // namespace

int jpc_parse_siz(CodestreamReader* cr, const MarkerHeader* m) {
    cr->image->ssiz = cr->image->xrsiz = cr->image->yrsiz = nullptr;
    cr->image->irr_frac_bits = 0;
    ByteReader* br = cr->reader;
    if (m->length < kSizFixedLength) return fail_siz(cr, kMsgSizShort);
    uint32_t* const fields[] = {&cr->image->Xsiz,  &cr->image->Ysiz,  &cr->image->XOsiz,  &cr->image->YOsiz,
                                &cr->image->XTsiz, &cr->image->YTsiz, &cr->image->XTOsiz, &cr->image->YTOsiz};
    if (!br_read_u16(br, &cr->image->Rsiz)) return fail_siz(cr, kMsgSizRead);
    for (uint32_t* f : fields)
        if (!br_read_u32(br, f)) return fail_siz(cr, kMsgSizRead);
    if (!br_read_u16(br, &cr->image->Csiz)) return fail_siz(cr, kMsgSizRead);
    cr->image->component_num = cr->image->Csiz;

    if (cr->image->Csiz == 0 || cr->image->Csiz > kMaxComponents) return fail_siz(cr, kMsgComponentCount);
    // Reading components past Lsiz would take bytes of the next segment.
    const uint32_t needed = kSizFixedLength + 3u * cr->image->Csiz;
    if (m->length < needed) return fail_siz(cr, kMsgSizShort);
    if (const char* bad = check_image_extents(cr)) return fail_siz(cr, bad);

    check_image_profile(cr);

    cr->image->ssiz = mem_new_array<uint8_t>(cr->ctx->ops, cr->image->Csiz);
    cr->image->xrsiz = mem_new_array<uint8_t>(cr->ctx->ops, cr->image->Csiz);
    cr->image->yrsiz = mem_new_array<uint8_t>(cr->ctx->ops, cr->image->Csiz);
    if (!cr->image->ssiz || !cr->image->xrsiz || !cr->image->yrsiz) return fail_siz(cr, "Out of memory for SIZ components.");

    for (uint32_t i = 0; i < cr->image->Csiz; i++) {
        uint8_t s, xr, yr;
        if (!br_read_u8(br, &s) || !br_read_u8(br, &xr) || !br_read_u8(br, &yr))
            return fail_siz(cr, kMsgSizRead);
        cr->image->ssiz[i] = s;
        cr->image->xrsiz[i] = xr;
        cr->image->yrsiz[i] = yr;
        if (xr == 0 || yr == 0) return fail_siz(cr, kMsgZeroSubsampling);
        const uint32_t precision = (s & 0x7Fu) + 1;
        if (precision > kMaxPrecision) return fail_siz(cr, kMsgBadDepth);
        if (precision > kMaxSupportedPrecision) return fail_siz(cr, kMsgUnsupportedDepth);
        check_component_profile(cr, xr, yr);
        const uint32_t frac = jpc_irr_frac_bits(precision);
        if (cr->image->irr_frac_bits == 0 || frac < cr->image->irr_frac_bits) cr->image->irr_frac_bits = uint8_t(frac);
    }
    if (m->length > needed) br_skip(br, m->length - needed);
    return 1;
}

void jpc_free_siz_arrays(CodestreamReader* cr) {
    mem_free(cr->ctx->ops, cr->image->ssiz);
    mem_free(cr->ctx->ops, cr->image->xrsiz);
    mem_free(cr->ctx->ops, cr->image->yrsiz);
    cr->image->ssiz = cr->image->xrsiz = cr->image->yrsiz = nullptr;
}

}  // namespace dravex
