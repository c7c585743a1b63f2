// Marker reader, marker sets, the main and tile-part header walks, SOT and SOP bodies, and the
// collection of packed packet headers (PPM, PPT).
#include "codestream/jpc_markers.h"

#include <cstring>

#include "codestream/jpc_internal.h"
#include "codestream/jpc_packed.h"
#include "codestream/jpc_params.h"

namespace dravex {

namespace {

constexpr uint16_t kMaxTiles = 65535;  // Isot is 16 bits
constexpr uint16_t kSotLength = 10;

constexpr const char* kMsgMarker = "Parsing marker header error!";
constexpr const char* kMsgNoSoc = "Missing marker of JPEG2000 codestream.";
constexpr const char* kMsgNoSiz = "Missing SIZ marker";
constexpr const char* kMsgNoTiles = "There are none tiles in the codestream.";
constexpr const char* kMsgTooManyTiles = "Too many tiles in the codestream (more than 65535).";
constexpr const char* kMsgSot = "Parsing SOT marker error.";
constexpr const char* kMsgIsot = "SOT marker segment's Isot is >= tileNum.";
constexpr const char* kMsgTPsot = "SOT marker segment's TPsot is >= TNsot.";
constexpr const char* kMsgSop = "Parsing SOP marker error.";
constexpr const char* kMsgUnsupported = "Unsupported markers, ignored.";
constexpr const char* kMsgDupCod = "COD marker has been already parsed, ignored.";
constexpr const char* kMsgDupCoc = "COC marker of specified component has been already parsed, ignored.";
constexpr const char* kMsgDupQcd = "QCD marker has been already parsed, ignored.";
constexpr const char* kMsgDupQcc = "QCC marker of specified component has been already parsed, ignored.";
constexpr const char* kMsgDupRgn = "RGN marker of specified component has been already parsed, ignored.";
constexpr const char* kMsgPpmAndPpt =
    "The codestream has both PPM and PPT marker segments; only one kind may be used.";

// What a header does with a marker; one column per kind of header.
enum class Act : uint8_t { Skip, Warn, Cod, Coc, Qcd, Qcc, Rgn, Poc, Ppm, Ppt, End };
enum Column { kMain = 0, kFirstPart = 1, kLaterPart = 2 };

struct MarkerRule {
    uint16_t code;
    Act act[3];  // main header, first tile-part header, later tile-part header
};

constexpr MarkerRule kRules[] = {
    {kMarkerCOD, {Act::Cod, Act::Cod, Act::Skip}},
    {kMarkerCOC, {Act::Coc, Act::Coc, Act::Skip}},
    {kMarkerQCD, {Act::Qcd, Act::Qcd, Act::Skip}},
    {kMarkerQCC, {Act::Qcc, Act::Qcc, Act::Skip}},
    {kMarkerRGN, {Act::Rgn, Act::Rgn, Act::Skip}},
    {kMarkerPOC, {Act::Poc, Act::Poc, Act::Poc}},
    {kMarkerTLM, {Act::Warn, Act::Skip, Act::Skip}},
    {kMarkerPLM, {Act::Warn, Act::Skip, Act::Skip}},
    {kMarkerPPM, {Act::Ppm, Act::Skip, Act::Skip}},
    {kMarkerCRG, {Act::Warn, Act::Skip, Act::Skip}},
    {kMarkerCOM, {Act::Warn, Act::Warn, Act::Warn}},
    {kMarkerPLT, {Act::Skip, Act::Warn, Act::Warn}},
    {kMarkerPPT, {Act::Skip, Act::Ppt, Act::Ppt}},
    {kMarkerSOT, {Act::End, Act::Skip, Act::Skip}},
    {kMarkerSOD, {Act::Skip, Act::End, Act::End}},
};

Act action_for(uint16_t code, Column column) {
    for (const MarkerRule& rule : kRules)
        if (rule.code == code) return rule.act[column];
    return Act::Skip;  // SIZ again, SOP, EPH, EOC, SOC, reserved and unknown codes
}

bool has_no_segment(uint16_t code) {
    return code == kMarkerSOC || code == kMarkerSOD || code == kMarkerEOC ||
           code == kMarkerEPH || (code >= 0xFF30 && code <= 0xFF3F);
}

// Skipped segments (comments, unknown or unused markers) carry nothing the decoder builds
// on: their bytes do not count towards what the input may make it build.
void skip_body(CodestreamReader* cr, const MarkerHeader* m) {
    cr->skipped_bytes += uint64_t(m->length) + 2;
    if (m->length >= 2) br_skip(cr->reader, m->length - 2u);
}

// Stores a parsed per-component record unless the slot is taken (the first one wins).
template <class T>
void store_slot(CodestreamReader* cr, T** slots, T* record, const char* duplicate, void (*release)(CodestreamReader*, T*)) {
    if (slots[record->component]) {
        ctx_warn(cr->ctx, duplicate);
        release(cr, record);
        return;
    }
    slots[record->component] = record;
}

int handle_marker(CodestreamReader* cr, MarkerSet* set, const MarkerHeader* m, Act act,
                  PackedCollector* packed) {
    switch (act) {
    case Act::Skip:
    case Act::End:
        skip_body(cr, m);
        return 1;
    case Act::Warn:
        ctx_warn(cr->ctx, kMsgUnsupported);
        skip_body(cr, m);
        return 1;
    case Act::Cod:
        if (set->cod) {
            ctx_warn(cr->ctx, kMsgDupCod);
            skip_body(cr, m);
            return 1;
        }
        set->cod = jpc_parse_cod(cr, m);
        return set->cod != nullptr;
    case Act::Qcd:
        if (set->qcd) {
            ctx_warn(cr->ctx, kMsgDupQcd);
            skip_body(cr, m);
            return 1;
        }
        set->qcd = jpc_parse_qcd(cr, m);
        return set->qcd != nullptr;
    case Act::Coc: {
        CocSegment* s = jpc_parse_coc(cr, m);
        if (!s) return 0;
        store_slot(cr, set->coc, s, kMsgDupCoc, jpc_free_coc);
        return 1;
    }
    case Act::Qcc: {
        QuantSegment* s = jpc_parse_qcc(cr, m);
        if (!s) return 0;
        store_slot(cr, set->qcc, s, kMsgDupQcc, jpc_free_quant);
        return 1;
    }
    case Act::Rgn: {
        RgnSegment* s = jpc_parse_rgn(cr, m);
        if (!s) return 0;
        store_slot(cr, set->rgn, s, kMsgDupRgn, jpc_free_rgn);
        return 1;
    }
    case Act::Poc: {
        PocSegment* s = jpc_parse_poc(cr, m);
        if (!s) return 0;
        PocSegment** tail = &set->poc;
        while (*tail) tail = &(*tail)->next;
        *tail = s;
        return 1;
    }
    case Act::Ppm:
        cr->ppm_present = 1;
        return packed_collect(cr, packed, m, kPpmMessages);
    case Act::Ppt:
        if (cr->ppm_present) return ctx_fail(cr->ctx, kMsgPpmAndPpt);
        return packed_collect(cr, packed, m, kPptMessages);
    }
    return 1;
}

// Tile counts in 64 bits: the extents were checked, so the differences cannot wrap.
int compute_tiles(CodestreamReader* cr) {
    ImageHeader* h = cr->image;
    const uint64_t across = (uint64_t(h->Xsiz) - h->XTOsiz + h->XTsiz - 1) / h->XTsiz;
    const uint64_t down = (uint64_t(h->Ysiz) - h->YTOsiz + h->YTsiz - 1) / h->YTsiz;
    const uint64_t count = across * down;
    if (count == 0) return ctx_fail(cr->ctx, kMsgNoTiles);
    if (count > kMaxTiles) return ctx_fail(cr->ctx, kMsgTooManyTiles);
    h->numXtiles = static_cast<uint32_t>(across);
    h->numYtiles = static_cast<uint32_t>(down);
    h->tileNum = static_cast<uint32_t>(count);
    return 1;
}

MarkerSet* walk_tile_part_header(CodestreamReader* cr, TilePartRecord* tp, Column column) {
    MarkerSet* set = marker_set_create(cr, cr->image->Csiz);
    if (!set) return nullptr;
    PackedCollector ppt = {};
    int ok = 1;
    for (;;) {
        if (tp->Psot != 0 && tp->consumed >= tp->Psot) break;  // ended without SOD
        MarkerHeader m;
        if (!jpc_read_marker(cr, &m)) {
            ok = 0;
            break;
        }
        const uint32_t add = m.length + 2u;
        tp->consumed = tp->consumed > UINT32_MAX - add ? UINT32_MAX : tp->consumed + add;
        const Act act = action_for(m.code, column);
        if (act == Act::End) break;  // SOD: the reader stands on the first packet byte
        if (!handle_marker(cr, set, &m, act, &ppt)) {
            ok = 0;
            break;
        }
    }
    if (ok) ok = packed_finish(cr, &ppt, &set->ppt.data, &set->ppt.length);
    else packed_discard(cr, &ppt);
    if (!ok) {
        marker_set_destroy(cr, set);
        return nullptr;
    }
    return set;
}

}  // namespace

int jpc_read_marker_quiet(CodestreamReader* cr, MarkerHeader* out) {
    ByteReader* br = cr->reader;
    uint8_t b;
    do {
        if (!br_read_u8(br, &b)) return 0;
    } while (b != 0xFF);
    if (!br_read_u8(br, &b)) return 0;
    out->code = static_cast<uint16_t>(0xFF00u | b);
    out->length = 0;
    if (has_no_segment(out->code)) return 1;
    return br_read_u16(br, &out->length);
}

int jpc_read_marker(CodestreamReader* cr, MarkerHeader* out) {
    if (!jpc_read_marker_quiet(cr, out)) return ctx_fail(cr->ctx, kMsgMarker);
    return 1;
}

MarkerSet* marker_set_create(CodestreamReader* cr, uint16_t count) {
    auto* set = mem_new<MarkerSet>(cr->ctx->ops);
    if (set) {
        set->component_count = count;
        set->coc = mem_new_array<CocSegment*>(cr->ctx->ops, count);
        set->qcc = mem_new_array<QuantSegment*>(cr->ctx->ops, count);
        set->rgn = mem_new_array<RgnSegment*>(cr->ctx->ops, count);
        if (set->coc && set->qcc && set->rgn) return set;
        marker_set_destroy(cr, set);
    }
    ctx_fail(cr->ctx, "Out of memory for a marker set.");
    return nullptr;
}

void marker_set_destroy(CodestreamReader* cr, MarkerSet* set) {
    if (!set) return;
    for (uint32_t i = 0; i < set->component_count; i++) {
        if (set->coc) jpc_free_coc(cr, set->coc[i]);
        if (set->qcc) jpc_free_quant(cr, set->qcc[i]);
        if (set->rgn) jpc_free_rgn(cr, set->rgn[i]);
    }
    mem_free(cr->ctx->ops, set->coc);
    mem_free(cr->ctx->ops, set->qcc);
    mem_free(cr->ctx->ops, set->rgn);
    jpc_free_cod(cr, set->cod);
    jpc_free_quant(cr, set->qcd);
    for (PocSegment* p = set->poc; p;) {
        PocSegment* next = p->next;
        jpc_free_poc(cr, p);
        p = next;
    }
    mem_free(cr->ctx->ops, set->ppt.data);
    cr->ctx->ops->free(cr->ctx->ops, set);
}

int jpc_parse_image_header(CodestreamReader* cr) {
    ByteReader* br = cr->reader;
    uint16_t soc;
    if (!br_peek_u16(br, &soc) || soc != kMarkerSOC) return ctx_fail(cr->ctx, kMsgNoSoc);
    br_skip(br, 2);
    MarkerHeader m;
    if (!jpc_read_marker(cr, &m)) return 0;
    if (m.code != kMarkerSIZ) return ctx_fail(cr->ctx, kMsgNoSiz);
    return jpc_parse_siz(cr, &m) && compute_tiles(cr);
}

MarkerSet* jpc_parse_main_header(CodestreamReader* cr, PackedHeaders* ppm_out) {
    ByteReader* br = cr->reader;
    MarkerSet* set = marker_set_create(cr, cr->image->Csiz);
    if (!set) return nullptr;

    MarkerHeader m;
    PackedCollector ppm = {};
    int ok = 1;
    while (ok && br_remaining(br) > 0) {
        if (!jpc_read_marker(cr, &m)) {
            ok = 0;
            break;
        }
        const Act act = action_for(m.code, kMain);
        if (act == Act::End) {
            ok = jpc_check_sot_length(cr, &m);
            break;
        }
        ok = handle_marker(cr, set, &m, act, &ppm);
    }
    if (ok) ok = packed_finish(cr, &ppm, &ppm_out->data, &ppm_out->length);
    else packed_discard(cr, &ppm);
    if (ok && !set->cod) ok = ctx_fail(cr->ctx, kJpcMsgMissingCod);
    if (ok && !set->qcd) ok = ctx_fail(cr->ctx, kJpcMsgMissingQcd);
    if (!ok) {
        marker_set_destroy(cr, set);
        return nullptr;
    }
    return set;
}

int jpc_check_sot_length(CodestreamReader* cr, const MarkerHeader* sot) {
    // The SOT body is 8 bytes: a shorter Lsot would take bytes beyond its segment.
    return sot->length < kSotLength ? ctx_fail(cr->ctx, kMsgSot) : 1;
}

int jpc_read_sot(CodestreamReader* cr, TilePartRecord* tp) {
    ByteReader* br = cr->reader;
    if (!br_read_u16(br, &tp->Isot) || !br_read_u32(br, &tp->Psot) ||
        !br_read_u8(br, &tp->TPsot) || !br_read_u8(br, &tp->TNsot))
        return ctx_fail(cr->ctx, kMsgSot);
    if (tp->Isot >= cr->image->tileNum) return ctx_fail(cr->ctx, kMsgIsot);
    if (tp->TPsot >= tp->TNsot) ctx_warn(cr->ctx, kMsgTPsot);
    tp->consumed = 12;
    return 1;
}

MarkerSet* jpc_parse_first_tile_part_header(CodestreamReader* cr, TilePartRecord* tp) {
    return walk_tile_part_header(cr, tp, kFirstPart);
}

MarkerSet* jpc_parse_next_tile_part_header(CodestreamReader* cr, TilePartRecord* tp) {
    return walk_tile_part_header(cr, tp, kLaterPart);
}

int jpc_read_sop(CodestreamReader* cr, const MarkerHeader* sop, uint16_t* nsop) {
    // Any other length would make the packet's byte count and the reader drift apart.
    if (sop->length != 4) return ctx_fail(cr->ctx, kMsgSop);
    if (!br_read_u16(cr->reader, nsop)) return ctx_fail(cr->ctx, kMsgSop);
    return 1;
}

}  // namespace dravex
