// QCD, QCC, RGN and POC segments; quantisation and ROI resolution; band expansion.
#include <cstdint>

#include "codestream/jpc_internal.h"
#include "codestream/jpc_params.h"

namespace dravex {

namespace {

constexpr uint32_t kMaxRoiShift = 31;      // larger shifts leave 32-bit coefficients
constexpr int32_t kMaxStepExponent = 31;   // dequantisation shift count

struct QuantMessages {
    const char* read;
    const char* too_short;
    const char* style;
};
constexpr QuantMessages kQcdMessages = {
    "Parsing QCD marker segment error.",
    "QCD marker segment is too short.",
    "QCD marker segment unknown quantization style!",
};
constexpr QuantMessages kQccMessages = {
    "Parsing QCC marker segment error.",
    "QCC marker segment is too short.",
    "QCC marker segment unknown quantization style!",
};
constexpr const char* kMsgQccIndex = "QCC component index is >= componentNum.";
constexpr const char* kMsgRgnRead = "Parsing RGN marker segment error.";
constexpr const char* kMsgRgnShort = "RGN marker segment is too short.";
constexpr const char* kMsgRgnIndex = "RGN component index is >= componentNum.";
constexpr const char* kMsgRgnShift = "RGN marker segment: ROI shift above 31 is not supported.";
constexpr const char* kMsgPocRead = "Parsing POC marker segment error.";
constexpr const char* kMsgPocShort = "POC marker segment is too short.";
constexpr const char* kMsgPocProgression = "POC marker segment: unknown progression order.";
constexpr const char* kMsgQuantValues =
    "Quantization marker segment has fewer step values than the subbands need.";
constexpr const char* kMsgQuantExponent =
    "Quantization step sizes out of range (exponent shift above 31 or below 0).";

// Reads Sxxx and the step values of a QCD or QCC; `header` bytes (length word and index)
// are already consumed. Returns nullptr after reporting.
QuantSegment* read_quant(CodestreamReader* cr, const MarkerHeader* m, uint32_t header, uint16_t component,
                         const QuantMessages& msg) {
    ByteReader* br = cr->reader;
    // At least one value byte after the style byte.
    if (m->length < header + 2) {
        ctx_fail(cr->ctx, msg.too_short);
        return nullptr;
    }
    auto* q = mem_new<QuantSegment>(cr->ctx->ops);
    if (!q) {
        ctx_fail(cr->ctx, "Out of memory for a quantization marker segment.");
        return nullptr;
    }
    q->component = component;
    if (!br_read_u8(br, &q->style)) {
        ctx_fail(cr->ctx, msg.read);
        jpc_free_quant(cr, q);
        return nullptr;
    }
    const uint32_t body = m->length - header - 1;  // bytes of step fields
    const uint32_t style = q->style & 0x1Fu;
    uint32_t count;
    if (style == 0) {
        count = body;
    } else if (style == 1 || style == 2) {
        if (body < 2) {
            ctx_fail(cr->ctx, msg.too_short);
            jpc_free_quant(cr, q);
            return nullptr;
        }
        count = style == 1 ? 1 : body / 2;
    } else {
        ctx_fail(cr->ctx, msg.style);
        jpc_free_quant(cr, q);
        return nullptr;
    }
    q->values = mem_new_array<uint16_t>(cr->ctx->ops, count);
    if (!q->values) {
        ctx_fail(cr->ctx, "Out of memory for quantization values.");
        jpc_free_quant(cr, q);
        return nullptr;
    }
    for (uint32_t i = 0; i < count; i++) {
        uint8_t b = 0;
        const int ok = style == 0 ? br_read_u8(br, &b) : br_read_u16(br, &q->values[i]);
        if (!ok) {
            ctx_fail(cr->ctx, msg.read);
            jpc_free_quant(cr, q);
            return nullptr;
        }
        if (style == 0) q->values[i] = b;
        q->count = static_cast<uint16_t>(i + 1);
    }
    jpc_skip_rest(cr, m, header + 1 + (style == 0 ? count : 2 * count));
    return q;
}

template <class T> int alloc_poc_array(CodestreamReader* cr, T** out, uint32_t n) {
    *out = mem_new_array<T>(cr->ctx->ops, n);
    return *out != nullptr;
}

}  // namespace

QuantSegment* jpc_parse_qcd(CodestreamReader* cr, const MarkerHeader* m) {
    return read_quant(cr, m, 2, 0, kQcdMessages);
}

QuantSegment* jpc_parse_qcc(CodestreamReader* cr, const MarkerHeader* m) {
    const uint32_t header = 2 + jpc_component_field_width(cr);
    if (m->length < header + 2) {
        ctx_fail(cr->ctx, kQccMessages.too_short);
        return nullptr;
    }
    uint16_t index = 0;
    if (!jpc_read_component_index(cr, &index)) {
        ctx_fail(cr->ctx, kQccMessages.read);
        return nullptr;
    }
    if (index >= cr->image->component_num) {
        ctx_fail(cr->ctx, kMsgQccIndex);
        return nullptr;
    }
    return read_quant(cr, m, header, index, kQccMessages);
}

RgnSegment* jpc_parse_rgn(CodestreamReader* cr, const MarkerHeader* m) {
    const uint32_t header = 2 + jpc_component_field_width(cr);
    if (m->length < header + 2) {
        ctx_fail(cr->ctx, kMsgRgnShort);
        return nullptr;
    }
    uint16_t index = 0;
    if (!jpc_read_component_index(cr, &index)) {
        ctx_fail(cr->ctx, kMsgRgnRead);
        return nullptr;
    }
    if (index >= cr->image->component_num) {
        ctx_fail(cr->ctx, kMsgRgnIndex);
        return nullptr;
    }
    uint8_t style, shift;
    if (!br_read_u8(cr->reader, &style) || !br_read_u8(cr->reader, &shift)) {
        ctx_fail(cr->ctx, kMsgRgnRead);
        return nullptr;
    }
    if (shift > kMaxRoiShift) {
        ctx_fail(cr->ctx, kMsgRgnShift);
        return nullptr;
    }
    auto* s = mem_new<RgnSegment>(cr->ctx->ops);
    if (!s) {
        ctx_fail(cr->ctx, "Out of memory for an RGN marker segment.");
        return nullptr;
    }
    s->component = index;
    s->Srgn = style;
    s->SPrgn = shift;
    jpc_skip_rest(cr, m, header + 2);
    return s;
}

PocSegment* jpc_parse_poc(CodestreamReader* cr, const MarkerHeader* m) {
    const uint32_t w = jpc_component_field_width(cr);
    const uint32_t entry = 5 + 2 * w;
    if (m->length < 2 + entry) {
        ctx_fail(cr->ctx, kMsgPocShort);
        return nullptr;
    }
    const uint32_t n = (m->length - 2u) / entry;
    auto* s = mem_new<PocSegment>(cr->ctx->ops);
    if (!s || !alloc_poc_array(cr, &s->RSpoc, n) || !alloc_poc_array(cr, &s->CSpoc, n) ||
        !alloc_poc_array(cr, &s->LYEpoc, n) || !alloc_poc_array(cr, &s->REpoc, n) ||
        !alloc_poc_array(cr, &s->CEpoc, n) || !alloc_poc_array(cr, &s->Ppoc, n)) {
        ctx_fail(cr->ctx, "Out of memory for a POC marker segment.");
        jpc_free_poc(cr, s);
        return nullptr;
    }
    ByteReader* br = cr->reader;
    for (uint32_t i = 0; i < n; i++) {
        if (!br_read_u8(br, &s->RSpoc[i]) || !jpc_read_component_index(cr, &s->CSpoc[i]) ||
            !br_read_u16(br, &s->LYEpoc[i]) || !br_read_u8(br, &s->REpoc[i]) ||
            !jpc_read_component_index(cr, &s->CEpoc[i]) || !br_read_u8(br, &s->Ppoc[i])) {
            ctx_fail(cr->ctx, kMsgPocRead);
            jpc_free_poc(cr, s);
            return nullptr;
        }
        if (s->Ppoc[i] > kJpcMaxProgression) {
            ctx_fail(cr->ctx, kMsgPocProgression);
            jpc_free_poc(cr, s);
            return nullptr;
        }
        s->count = static_cast<uint16_t>(i + 1);
    }
    jpc_skip_rest(cr, m, 2 + entry * n);
    return s;
}

void jpc_free_quant(CodestreamReader* cr, QuantSegment* s) {
    if (!s) return;
    mem_free(cr->ctx->ops, s->values);
    cr->ctx->ops->free(cr->ctx->ops, s);
}

void jpc_free_rgn(CodestreamReader* cr, RgnSegment* s) { mem_free(cr->ctx->ops, s); }

void jpc_free_poc(CodestreamReader* cr, PocSegment* s) {
    if (!s) return;
    mem_free(cr->ctx->ops, s->RSpoc);
    mem_free(cr->ctx->ops, s->CSpoc);
    mem_free(cr->ctx->ops, s->LYEpoc);
    mem_free(cr->ctx->ops, s->REpoc);
    mem_free(cr->ctx->ops, s->CEpoc);
    mem_free(cr->ctx->ops, s->Ppoc);
    cr->ctx->ops->free(cr->ctx->ops, s);
}

const QuantSegment* jpc_resolve_quant(const MarkerSet* main, const MarkerSet* part,
                                      uint16_t component) {
    const MarkerSet* sets[] = {part, main};
    for (const MarkerSet* set : sets) {
        if (!set) continue;
        if (set->qcc && component < set->component_count && set->qcc[component])
            return set->qcc[component];
        if (set->qcd) return set->qcd;
    }
    return nullptr;
}

const RgnSegment* jpc_resolve_rgn(const MarkerSet* main, const MarkerSet* part,
                                  uint16_t component) {
    const MarkerSet* sets[] = {part, main};
    for (const MarkerSet* set : sets)
        if (set && set->rgn && component < set->component_count && set->rgn[component])
            return set->rgn[component];
    return nullptr;
}


int jpc_band_quant(CodestreamReader* cr, const QuantSegment* q, uint32_t precision, uint32_t levels,
                   uint32_t r, uint32_t b, BandQuant* band) {
    if (!q || r > levels || (r == 0 && b != 0) || b > 2) return ctx_fail(cr->ctx, kMsgQuantValues);
    const uint32_t style = q->style & 0x1Fu;
    const int32_t guard = q->style >> 5;
    // LL, then HL, LH, HH of each level from the lowest resolution up.
    const uint32_t k = r == 0 ? 0 : 3 * r - 2 + b;
    const int32_t gain = r == 0 ? 0 : (b == 2 ? 2 : 1);
    int32_t epsilon;
    uint32_t mu = 0;
    if (style == 1) {
        if (q->count < 1) return ctx_fail(cr->ctx, kMsgQuantValues);
        epsilon = (q->values[0] >> 11) - (r == 0 ? 0 : int32_t(r) - 1);
        mu = q->values[0] & 0x7FFu;
    } else if (style == 0 || style == 2) {
        if (k >= q->count) return ctx_fail(cr->ctx, kMsgQuantValues);
        epsilon = style == 0 ? (q->values[k] >> 3) & 0x1F : q->values[k] >> 11;
        mu = q->values[k] & 0x7FFu;
    } else {
        return ctx_fail(cr->ctx, kMsgQuantValues);
    }
    // A derived exponent below zero has no meaning: the coded exponent is 5 bits unsigned.
    if (epsilon < 0) return ctx_fail(cr->ctx, kMsgQuantExponent);
    // G + e = 0 leaves no magnitude bit-plane: such a band decodes as zero.
    const int32_t magnitude = guard + epsilon - 1;
    band->magnitude_bits = static_cast<uint8_t>(magnitude < 0 ? 0 : magnitude);
    if (style == 0) {
        band->step_mantissa = 1;
        band->step_exponent = 0;
        return 1;
    }
    const int32_t exponent = int32_t(precision) + gain - epsilon + int32_t(image_frac_bits(cr->image));
    if (exponent > kMaxStepExponent || exponent < -kMaxStepExponent)
        return ctx_fail(cr->ctx, kMsgQuantExponent);
    band->step_mantissa = (mu | 0x800u) << 5;
    band->step_exponent = exponent;
    return 1;
}

}  // namespace dravex
