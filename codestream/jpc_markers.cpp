// Marker reader, marker sets, the main and tile-part header walks, SOT and SOP bodies, and the
// collection of packed packet headers (PPM, PPT).
#include "codestream/jpc_markers.h"

#include <cstring>

#include "codestream/jpc_internal.h"
#include "codestream/jpc_packed.h"
#include "codestream/jpc_params.h"

namespace {

constexpr uint16_t kMaxTiles = 65535;  // Isot is 16 bits
constexpr uint16_t kSotLength = 10;

constexpr const char* kMsgMarker = "Parsing marker header error!";
constexpr const char* kMsgNoSoc = "Missing marker of JPEG2000 codestream.";
constexpr const char* kMsgNoSiz = "Missing SIZ marker";
constexpr const char* kMsgNoTiles = "There are none tiles in the codestream.";
constexpr const char* kMsgTooManyTiles = "Too many tiles in the codestream (more than 65535).";
constexpr const char* kMsgNoCod = "Missing COD marker.";
constexpr const char* kMsgNoQcd = "Missing QCD marker.";
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
void skip_body(jpcdec* d, const MarkerHeader* m) {
    d->skipped_bytes += uint64_t(m->length) + 2;
    if (m->length >= 2) br_skip(d->reader, m->length - 2u);
}

// Stores a parsed per-component record unless the slot is taken (the first one wins).
template <class T>
void store_slot(jpcdec* d, T** slots, T* record, const char* duplicate, void (*release)(jpcdec*, T*)) {
    if (slots[record->component]) {
        ctx_warn(d, duplicate);
        release(d, record);
        return;
    }
    slots[record->component] = record;
}

int handle_marker(jpcdec* d, MarkerSet* set, const MarkerHeader* m, Act act,
                  PackedCollector* packed) {
    switch (act) {
    case Act::Skip:
    case Act::End:
        skip_body(d, m);
        return 1;
    case Act::Warn:
        ctx_warn(d, kMsgUnsupported);
        skip_body(d, m);
        return 1;
    case Act::Cod:
        if (set->cod) {
            ctx_warn(d, kMsgDupCod);
            skip_body(d, m);
            return 1;
        }
        set->cod = jpc_parse_cod(d, m);
        return set->cod != nullptr;
    case Act::Qcd:
        if (set->qcd) {
            ctx_warn(d, kMsgDupQcd);
            skip_body(d, m);
            return 1;
        }
        set->qcd = jpc_parse_qcd(d, m);
        return set->qcd != nullptr;
    case Act::Coc: {
        CocSegment* s = jpc_parse_coc(d, m);
        if (!s) return 0;
        store_slot(d, set->coc, s, kMsgDupCoc, jpc_free_coc);
        return 1;
    }
    case Act::Qcc: {
        QuantSegment* s = jpc_parse_qcc(d, m);
        if (!s) return 0;
        store_slot(d, set->qcc, s, kMsgDupQcc, jpc_free_quant);
        return 1;
    }
    case Act::Rgn: {
        RgnSegment* s = jpc_parse_rgn(d, m);
        if (!s) return 0;
        store_slot(d, set->rgn, s, kMsgDupRgn, jpc_free_rgn);
        return 1;
    }
    case Act::Poc: {
        PocSegment* s = jpc_parse_poc(d, m);
        if (!s) return 0;
        PocSegment** tail = &set->poc;
        while (*tail) tail = &(*tail)->next;
        *tail = s;
        return 1;
    }
    case Act::Ppm:
        d->ppm_present = 1;
        return packed_collect(d, packed, m, kPpmMessages);
    case Act::Ppt:
        if (d->ppm_present) return ctx_fail(d, kMsgPpmAndPpt);
        return packed_collect(d, packed, m, kPptMessages);
    }
    return 1;
}

// Tile counts in 64 bits: the extents were checked, so the differences cannot wrap.
int compute_tiles(jpcdec* d) {
    const uint64_t across = (uint64_t(d->Xsiz) - d->XTOsiz + d->XTsiz - 1) / d->XTsiz;
    const uint64_t down = (uint64_t(d->Ysiz) - d->YTOsiz + d->YTsiz - 1) / d->YTsiz;
    const uint64_t count = across * down;
    if (count == 0) return ctx_fail(d, kMsgNoTiles);
    if (count > kMaxTiles) return ctx_fail(d, kMsgTooManyTiles);
    d->numXtiles = static_cast<uint32_t>(across);
    d->numYtiles = static_cast<uint32_t>(down);
    d->tileNum = static_cast<uint32_t>(count);
    d->tiles = mem_new_array<Tile>(d->ops, count);
    if (!d->tiles) return ctx_fail(d, "Out of memory for the tiles.");
    return 1;
}

MarkerSet* walk_tile_part_header(jpcdec* d, TilePartRecord* tp, Column column) {
    MarkerSet* set = marker_set_create(d, d->Csiz);
    if (!set) return nullptr;
    PackedCollector ppt = {};
    int ok = 1;
    for (;;) {
        if (tp->Psot != 0 && tp->consumed >= tp->Psot) break;  // ended without SOD
        MarkerHeader m;
        if (!jpc_read_marker(d, &m)) {
            ok = 0;
            break;
        }
        const uint32_t add = m.length + 2u;
        tp->consumed = tp->consumed > UINT32_MAX - add ? UINT32_MAX : tp->consumed + add;
        const Act act = action_for(m.code, column);
        if (act == Act::End) break;  // SOD: the reader stands on the first packet byte
        if (!handle_marker(d, set, &m, act, &ppt)) {
            ok = 0;
            break;
        }
    }
    if (ok) ok = packed_finish(d, &ppt, &set->ppt.data, &set->ppt.length);
    else packed_discard(d, &ppt);
    if (!ok) {
        marker_set_destroy(d, set);
        return nullptr;
    }
    return set;
}

}  // namespace

int jpc_read_marker_quiet(jpcdec* d, MarkerHeader* out) {
    ByteReader* br = d->reader;
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

int jpc_read_marker(jpcdec* d, MarkerHeader* out) {
    if (!jpc_read_marker_quiet(d, out)) return ctx_fail(d, kMsgMarker);
    return 1;
}

MarkerSet* marker_set_create(jpcdec* d, uint16_t count) {
    auto* set = mem_new<MarkerSet>(d->ops);
    if (set) {
        set->component_count = count;
        set->coc = mem_new_array<CocSegment*>(d->ops, count);
        set->qcc = mem_new_array<QuantSegment*>(d->ops, count);
        set->rgn = mem_new_array<RgnSegment*>(d->ops, count);
        if (set->coc && set->qcc && set->rgn) return set;
        marker_set_destroy(d, set);
    }
    ctx_fail(d, "Out of memory for a marker set.");
    return nullptr;
}

void marker_set_destroy(jpcdec* d, MarkerSet* set) {
    if (!set) return;
    for (uint32_t i = 0; i < set->component_count; i++) {
        if (set->coc) jpc_free_coc(d, set->coc[i]);
        if (set->qcc) jpc_free_quant(d, set->qcc[i]);
        if (set->rgn) jpc_free_rgn(d, set->rgn[i]);
    }
    mem_free(d->ops, set->coc);
    mem_free(d->ops, set->qcc);
    mem_free(d->ops, set->rgn);
    jpc_free_cod(d, set->cod);
    jpc_free_quant(d, set->qcd);
    for (PocSegment* p = set->poc; p;) {
        PocSegment* next = p->next;
        jpc_free_poc(d, p);
        p = next;
    }
    mem_free(d->ops, set->ppt.data);
    d->ops->free(d->ops, set);
}

MarkerSet* jpc_parse_main_header(jpcdec* d) {
    ByteReader* br = d->reader;
    uint16_t soc;
    if (!br_peek_u16(br, &soc) || soc != kMarkerSOC) {
        ctx_fail(d, kMsgNoSoc);
        return nullptr;
    }
    br_skip(br, 2);
    MarkerHeader m;
    if (!jpc_read_marker(d, &m)) return nullptr;
    if (m.code != kMarkerSIZ) {
        ctx_fail(d, kMsgNoSiz);
        return nullptr;
    }
    if (!jpc_parse_siz(d, &m) || !compute_tiles(d)) return nullptr;
    MarkerSet* set = marker_set_create(d, d->Csiz);
    if (!set) return nullptr;

    PackedCollector ppm = {};
    int ok = 1;
    while (ok && br_remaining(br) > 0) {
        if (!jpc_read_marker(d, &m)) {
            ok = 0;
            break;
        }
        const Act act = action_for(m.code, kMain);
        if (act == Act::End) {
            // The SOT body is 8 bytes: a shorter Lsot would take bytes beyond its segment.
            if (m.length < kSotLength) ok = ctx_fail(d, kMsgSot);
            break;
        }
        ok = handle_marker(d, set, &m, act, &ppm);
    }
    if (ok) ok = packed_finish(d, &ppm, &d->ppm_data, &d->ppm_length);
    else packed_discard(d, &ppm);
    if (ok && !set->cod) ok = ctx_fail(d, kMsgNoCod);
    if (ok && !set->qcd) ok = ctx_fail(d, kMsgNoQcd);
    if (!ok) {
        marker_set_destroy(d, set);
        return nullptr;
    }
    return set;
}

int jpc_read_sot(jpcdec* d, TilePartRecord* tp) {
    ByteReader* br = d->reader;
    if (!br_read_u16(br, &tp->Isot) || !br_read_u32(br, &tp->Psot) ||
        !br_read_u8(br, &tp->TPsot) || !br_read_u8(br, &tp->TNsot))
        return ctx_fail(d, kMsgSot);
    if (tp->Isot >= d->tileNum) return ctx_fail(d, kMsgIsot);
    if (tp->TPsot >= tp->TNsot) ctx_warn(d, kMsgTPsot);
    tp->consumed = 12;
    return 1;
}

MarkerSet* jpc_parse_first_tile_part_header(jpcdec* d, TilePartRecord* tp) {
    return walk_tile_part_header(d, tp, kFirstPart);
}

MarkerSet* jpc_parse_next_tile_part_header(jpcdec* d, TilePartRecord* tp) {
    return walk_tile_part_header(d, tp, kLaterPart);
}

int jpc_read_sop(jpcdec* d, const MarkerHeader* sop, uint16_t* nsop) {
    // Any other length would make the packet's byte count and the reader drift apart.
    if (sop->length != 4) return ctx_fail(d, kMsgSop);
    if (!br_read_u16(d->reader, nsop)) return ctx_fail(d, kMsgSop);
    return 1;
}
