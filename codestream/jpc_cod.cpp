// COD and COC segments, coding-style resolution and the code-block size checks.
#include <cstdint>

#include "codestream/jpc_internal.h"
#include "codestream/jpc_params.h"

namespace dravex {

namespace {

constexpr uint32_t kCodFixedLength = 12;  // Lcod .. transform
constexpr uint32_t kMaxLevels = 32;
constexpr uint32_t kMaxCodeBlockExponent = 8;  // coded offset: blocks up to 2^10 samples
// Styles 0x01-0x20 are the MQ coder's options; a higher bit selects a block coder this
// decoder does not have (high-throughput blocks), whose bytes would decode to noise.
constexpr uint8_t kKnownBlockStyles = 0x3F;

// Messages of one segment kind, so COD and COC share their checks.
struct CodingStyleMessages {
    const char* read;
    const char* too_short;
    const char* levels;
    const char* code_block;
    const char* transform;
    const char* precinct;
    const char* block_style;
};

constexpr CodingStyleMessages kCodMessages = {
    "Parsing COD marker segment error.",
    "COD marker segment is too short.",
    "COD marker segment: more than 32 decomposition levels.",
    "COD marker segment: code-block width or height above 1024.",
    "COD marker segment: unknown wavelet transform.",
    "COD marker segment: precinct size exponent 0 above resolution 0.",
    "COD marker segment: unsupported code-block style (bits 6-7 belong to other coders).",
};
constexpr CodingStyleMessages kCocMessages = {
    "Parsing COC marker segment error.",
    "COC marker segment is too short.",
    "COC marker segment: more than 32 decomposition levels.",
    "COC marker segment: code-block width or height above 1024.",
    "COC marker segment: unknown wavelet transform.",
    "COC marker segment: precinct size exponent 0 above resolution 0.",
    "COC marker segment: unsupported code-block style (bits 6-7 belong to other coders).",
};
constexpr const char* kMsgCodProgression = "COD marker segment: unknown progression order.";
constexpr const char* kMsgCocIndex = "COC component index is >= componentNum.";

constexpr const char* kMsgProfile0Blocks = "Violate profile0: xcb = ycb = 5 or xcb = ycb = 6";
constexpr const char* kMsgProfile1Blocks = "Violate profile1: xcb <= 6,ycb <= 6";
constexpr const char* kMsgGeneralBlocks =
    "The codestream width and height are limited to powers of twowidth the minimum size being "
    "2~2 and the maximum being 2~10.Futher,thecode-block size if restricted so that xcb + ycb "
    "<= 12.";

void free_part(CodestreamReader* cr, CodingStylePart* p) {
    mem_free(cr->ctx->ops, p->precinct_sizes);
    p->precinct_sizes = nullptr;
}

// Reads SPcod/SPcoc from `levels` on; `fixed` bytes of the segment are accounted for once
// the five bytes are read. Returns the byte count, 0 after reporting.
uint32_t read_part(CodestreamReader* cr, const MarkerHeader* m, uint8_t style, uint32_t fixed,
                   CodingStylePart* p, const CodingStyleMessages& msg) {
    ByteReader* br = cr->reader;
    if (!br_read_u8(br, &p->levels) || !br_read_u8(br, &p->xcb) || !br_read_u8(br, &p->ycb) ||
        !br_read_u8(br, &p->cblk_style) || !br_read_u8(br, &p->transform))
        return ctx_fail(cr->ctx, msg.read);
    if (p->levels > kMaxLevels) return ctx_fail(cr->ctx, msg.levels);
    if (p->xcb > kMaxCodeBlockExponent || p->ycb > kMaxCodeBlockExponent)
        return ctx_fail(cr->ctx, msg.code_block);
    if (p->transform > 1) return ctx_fail(cr->ctx, msg.transform);
    if (p->cblk_style & ~kKnownBlockStyles) return ctx_fail(cr->ctx, msg.block_style);
    uint32_t count = fixed;
    if (style & 1) {
        const uint32_t n = p->levels + 1u;
        if (m->length < fixed + n) return ctx_fail(cr->ctx, msg.too_short);
        p->precinct_sizes = mem_new_array<uint8_t>(cr->ctx->ops, n);
        if (!p->precinct_sizes) return ctx_fail(cr->ctx, "Out of memory for precinct sizes.");
        for (uint32_t r = 0; r < n; r++) {
            uint8_t v;
            if (!br_read_u8(br, &v)) return ctx_fail(cr->ctx, msg.read);
            // A 1-sample precinct is only meaningful at the lowest resolution: elsewhere the
            // band of a 2^0 precinct would have a size of 2^-1.
            if (r > 0 && ((v & 0x0F) == 0 || (v >> 4) == 0)) return ctx_fail(cr->ctx, msg.precinct);
            p->precinct_sizes[r] = v;
        }
        count += n;
    }
    return count;
}

}  // namespace

CodSegment* jpc_parse_cod(CodestreamReader* cr, const MarkerHeader* m) {
    if (m->length < kCodFixedLength) {
        ctx_fail(cr->ctx, kCodMessages.too_short);
        return nullptr;
    }
    auto* s = mem_new<CodSegment>(cr->ctx->ops);
    if (!s) {
        ctx_fail(cr->ctx, "Out of memory for a COD marker segment.");
        return nullptr;
    }
    ByteReader* br = cr->reader;
    if (!br_read_u8(br, &s->Scod) || !br_read_u8(br, &s->progression) ||
        !br_read_u16(br, &s->layers) || !br_read_u8(br, &s->mct)) {
        ctx_fail(cr->ctx, kCodMessages.read);
        jpc_free_cod(cr, s);
        return nullptr;
    }
    if (s->progression > kJpcMaxProgression) {
        ctx_fail(cr->ctx, kMsgCodProgression);
        jpc_free_cod(cr, s);
        return nullptr;
    }
    const uint32_t count = read_part(cr, m, s->Scod, kCodFixedLength, &s->part, kCodMessages);
    if (count == 0) {
        jpc_free_cod(cr, s);
        return nullptr;
    }
    jpc_skip_rest(cr, m, count);
    return s;
}

CocSegment* jpc_parse_coc(CodestreamReader* cr, const MarkerHeader* m) {
    const uint32_t fixed = 8 + jpc_component_field_width(cr);  // Lcoc, Ccoc, Scoc, SPcoc
    if (m->length < fixed) {
        ctx_fail(cr->ctx, kCocMessages.too_short);
        return nullptr;
    }
    uint16_t index = 0;
    if (!jpc_read_component_index(cr, &index)) {
        ctx_fail(cr->ctx, kCocMessages.read);
        return nullptr;
    }
    if (index >= cr->image->component_num) {
        ctx_fail(cr->ctx, kMsgCocIndex);
        return nullptr;
    }
    auto* s = mem_new<CocSegment>(cr->ctx->ops);
    if (!s) {
        ctx_fail(cr->ctx, "Out of memory for a COC marker segment.");
        return nullptr;
    }
    s->component = index;
    if (!br_read_u8(cr->reader, &s->Scoc)) {
        ctx_fail(cr->ctx, kCocMessages.read);
        jpc_free_coc(cr, s);
        return nullptr;
    }
    const uint32_t count = read_part(cr, m, s->Scoc, fixed, &s->part, kCocMessages);
    if (count == 0) {
        jpc_free_coc(cr, s);
        return nullptr;
    }
    jpc_skip_rest(cr, m, count);
    return s;
}

void jpc_free_cod(CodestreamReader* cr, CodSegment* s) {
    if (!s) return;
    free_part(cr, &s->part);
    cr->ctx->ops->free(cr->ctx->ops, s);
}

void jpc_free_coc(CodestreamReader* cr, CocSegment* s) {
    if (!s) return;
    free_part(cr, &s->part);
    cr->ctx->ops->free(cr->ctx->ops, s);
}

const CodingStylePart* jpc_resolve_coding_style(const MarkerSet* main, const MarkerSet* part,
                                                uint16_t component) {
    const MarkerSet* sets[] = {part, main};
    for (const MarkerSet* set : sets) {
        if (!set) continue;
        if (set->coc && component < set->component_count && set->coc[component])
            return &set->coc[component]->part;
        if (set->cod) return &set->cod->part;
    }
    return nullptr;
}

const CodSegment* jpc_resolve_cod(const MarkerSet* main, const MarkerSet* part) {
    if (part && part->cod) return part->cod;
    return main ? main->cod : nullptr;
}

void jpc_check_code_block_size(CodestreamReader* cr, uint8_t xcb, uint8_t ycb) {
    if (cr->image->Rsiz == 1) {
        if (!(xcb == 5 && ycb == 5) && !(xcb == 6 && ycb == 6)) ctx_warn(cr->ctx, kMsgProfile0Blocks);
    } else if (cr->image->Rsiz == 2) {
        if (xcb > 6 || ycb > 6) ctx_warn(cr->ctx, kMsgProfile1Blocks);
    } else if (xcb < 2 || xcb > 10 || ycb < 2 || ycb > 10 || xcb + ycb > 12) {
        ctx_warn(cr->ctx, kMsgGeneralBlocks);
    }
}

}  // namespace dravex
