// The JP2 Header superbox and its sub-boxes, read into plain records.
#include <cstdio>

#include "jp2/jp2_impl.h"

namespace dravex {

namespace {

// Rules every sub-box shares: a second box of a kind and a box before the Image Header box
// are skipped with their warning. Returns 1 when the box is to be parsed.
int sub_box_wanted(Jp2Decoder* j, const BoxHeader* h, const void* present, const char* duplicate,
                   const char* before_ihdr) {
    ByteReader* br = j->reader;
    if (present) {
        jp2_warn(j, duplicate);
    } else if (before_ihdr && !j->jp2_header->image_header) {
        jp2_warn(j, before_ihdr);
    } else {
        return 1;
    }
    br_skip(br, h->length);
    return 0;
}

// A record being read: released when the parser leaves on failure, handed to the header
// record by keep() when it is complete, so each parser has a single cleanup path.
template <class T, void (*Release)(MemOps*, T*)>
class Pending {
public:
    Pending(MemOps* ops, T* record) : ops_(ops), record_(record) {}
    ~Pending() { Release(ops_, record_); }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;
    explicit operator bool() const { return record_ != nullptr; }
    T* operator->() const { return record_; }
    T* get() const { return record_; }
    T* keep() {
        T* r = record_;
        record_ = nullptr;
        return r;
    }

private:
    MemOps* ops_;
    T* record_;
};

template <class T> void free_record(MemOps* ops, T* r) { mem_free(ops, r); }

// Walks the sub-boxes of a superbox whose content starts at the reader position. `parse`
// gets each sub-box header with the reader on its content; unknown types are skipped.
template <class Parse> int walk_sub_boxes(Jp2Decoder* j, const BoxHeader* h, Parse parse) {
    ByteReader* br = j->reader;
    const uint32_t end = br_get_pos(br) + h->length;
    while (br_get_pos(br) < end) {
        BoxHeader sub;
        if (!jp2_read_box_header(j, &sub, end - br_get_pos(br))) return 0;
        if (sub.overrun) return jp2_fail(j, jp2msg::kBoxPastSuperbox);
        const uint32_t content = br_get_pos(br);
        if (!parse(&sub)) return 0;
        br_set_pos(br, content + sub.length);  // parsers never read past their box
    }
    return 1;
}

}  // namespace

void jp2_palette_release(MemOps* ops, PaletteRecord* p) {
    if (!p) return;
    mem_free(ops, p->B);
    mem_free(ops, p->entries);
    ops->free(ops, p);
}

void jp2_mapping_release(MemOps* ops, ComponentMappingRecord* m) {
    if (!m) return;
    mem_free(ops, m->CMP);
    mem_free(ops, m->MTYP);
    mem_free(ops, m->PCOL);
    ops->free(ops, m);
}

namespace {

void channel_definition_release(MemOps* ops, ChannelDefinitionRecord* c) {
    if (!c) return;
    mem_free(ops, c->Cn);
    mem_free(ops, c->Typ);
    mem_free(ops, c->Asoc);
    ops->free(ops, c);
}

void colr_release(MemOps* ops, ColourSpecRecord* c) {
    if (!c) return;
    mem_free(ops, c->extra);
    ops->free(ops, c);
}

void bits_per_component_release(MemOps* ops, BitsPerComponentRecord* b) {
    if (!b) return;
    mem_free(ops, b->BPC);
    ops->free(ops, b);
}

void resolution_release(MemOps* ops, ResolutionRecord* r) {
    if (!r) return;
    mem_free(ops, r->capture);
    mem_free(ops, r->display);
    ops->free(ops, r);
}

// Sift-down of a max-heap over keys[0..n).
void sift_down(uint64_t* keys, uint32_t root, uint32_t n) {
    for (;;) {
        uint32_t child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n && keys[child + 1] > keys[child]) child++;
        if (keys[root] >= keys[child]) return;
        const uint64_t t = keys[root];
        keys[root] = keys[child];
        keys[child] = t;
        root = child;
    }
}

// Sorts descriptions 0..N-1 by (Typ, Asoc), ties kept in file order; no recursion.
int sort_channel_definition(MemOps* ops, ChannelDefinitionRecord* cdef) {
    const uint32_t n = cdef->N;
    if (n < 2) return 1;
    auto* keys = static_cast<uint64_t*>(mem_alloc_array(ops, n, sizeof(uint64_t)));
    if (!keys) return 0;
    // Typ and Asoc lead the key; the original index (N <= 65535 fits 16 bits) keeps ties in
    // file order, and Cn rides along so the three arrays come back from the key alone.
    for (uint32_t i = 0; i < n; i++)
        keys[i] = (uint64_t(cdef->Typ[i]) << 48) | (uint64_t(cdef->Asoc[i]) << 32) |
                  (uint64_t(i) << 16) | cdef->Cn[i];
    // Heap sort: O(n log n) whatever the order, and no recursion for a hostile one.
    for (uint32_t i = n / 2; i-- > 0;) sift_down(keys, i, n);
    for (uint32_t end = n - 1; end > 0; end--) {
        const uint64_t t = keys[0];
        keys[0] = keys[end];
        keys[end] = t;
        sift_down(keys, 0, end);
    }
    for (uint32_t i = 0; i < n; i++) {
        cdef->Typ[i] = static_cast<uint16_t>(keys[i] >> 48);
        cdef->Asoc[i] = static_cast<uint16_t>(keys[i] >> 32);
        cdef->Cn[i] = static_cast<uint16_t>(keys[i]);
    }
    ops->free(ops, keys);
    return 1;
}

}  // namespace

void jp2_header_release(MemOps* ops, Jp2HeaderRecord* hdr) {
    if (!hdr) return;
    mem_free(ops, hdr->image_header);
    bits_per_component_release(ops, hdr->bits_per_component);
    colr_release(ops, hdr->colour_box);
    jp2_palette_release(ops, hdr->palette);
    jp2_mapping_release(ops, hdr->component_mapping);
    channel_definition_release(ops, hdr->channel_definition);
    resolution_release(ops, hdr->resolution);
    ops->free(ops, hdr);
}

namespace {

int parse_image_header(Jp2Decoder* j, const BoxHeader* h) {
    Jp2HeaderRecord* hdr = j->jp2_header;
    if (!sub_box_wanted(j, h, hdr->image_header, jp2msg::kImageHeaderDuplicate, nullptr)) return 1;
    if (h->length < 14) return jp2_fail(j, jp2msg::kImageHeaderError);
    Pending<ImageHeaderRecord, free_record> ih(j->ops, mem_new<ImageHeaderRecord>(j->ops));
    if (!ih) return jp2_fail(j, jp2msg::kOutOfMemory);
    ByteReader* br = j->reader;
    if (!br_read_u32(br, &ih->HEIGHT) || !br_read_u32(br, &ih->WIDTH) ||
        !br_read_u16(br, &ih->NC) || !br_read_u8(br, &ih->BPC) || !br_read_u8(br, &ih->C) ||
        !br_read_u8(br, &ih->UnkC) || !br_read_u8(br, &ih->IPR))
        return jp2_fail(j, jp2msg::kImageHeaderError);
    hdr->image_header = ih.keep();
    br_skip(br, h->length - 14);
    return 1;
}

int parse_bits_per_component(Jp2Decoder* j, const BoxHeader* h) {
    Jp2HeaderRecord* hdr = j->jp2_header;
    if (!sub_box_wanted(j, h, hdr->bits_per_component, jp2msg::kBpccDuplicate,
                        jp2msg::kBpccBeforeIhdr))
        return 1;
    const uint16_t nc = hdr->image_header->NC;
    if (h->length < nc) return jp2_fail(j, jp2msg::kBpccError);
    Pending<BitsPerComponentRecord, bits_per_component_release> b(
        j->ops, mem_new<BitsPerComponentRecord>(j->ops));
    if (!b) return jp2_fail(j, jp2msg::kOutOfMemory);
    b->BPC = static_cast<uint8_t*>(mem_alloc_array(j->ops, nc, 1));
    if (!b->BPC) return jp2_fail(j, jp2msg::kOutOfMemory);
    if (!br_read_block(j->reader, b->BPC, nc)) return jp2_fail(j, jp2msg::kBpccError);
    hdr->bits_per_component = b.keep();
    br_skip(j->reader, h->length - nc);
    return 1;
}

int parse_colr(Jp2Decoder* j, const BoxHeader* h) {
    Jp2HeaderRecord* hdr = j->jp2_header;
    if (!sub_box_wanted(j, h, hdr->colour_box, jp2msg::kColrDuplicate, jp2msg::kColrBeforeIhdr))
        return 1;
    ByteReader* br = j->reader;
    if (h->length < 3) return jp2_fail(j, jp2msg::kColrError);
    uint8_t meth = 0, prec = 0, approx = 0;
    if (!br_read_u8(br, &meth) || !br_read_u8(br, &prec) || !br_read_u8(br, &approx))
        return jp2_fail(j, jp2msg::kColrError);
    if (meth != 1 && meth != 2) {
        // A later box may still give a usable colr box.
        jp2_warn(j, jp2msg::kColrBadMeth);
        br_skip(br, h->length - 3);
        return 1;
    }
    uint32_t fixed = 3, enum_cs = 0;
    if (meth == 1) {
        if (h->length < 7 || !br_read_u32(br, &enum_cs)) return jp2_fail(j, jp2msg::kColrError);
        fixed = 7;
    }
    Pending<ColourSpecRecord, colr_release> cs(j->ops, mem_new<ColourSpecRecord>(j->ops));
    if (!cs) return jp2_fail(j, jp2msg::kOutOfMemory);
    cs->METH = meth;
    cs->PREC = prec;
    cs->APPROX = approx;
    cs->EnumCS = enum_cs;
    cs->extra_count = h->length - fixed;
    if (cs->extra_count) {
        cs->extra = static_cast<uint8_t*>(mem_alloc_array(j->ops, cs->extra_count, 1));
        if (!cs->extra) return jp2_fail(j, jp2msg::kOutOfMemory);
        if (!br_read_block(br, cs->extra, cs->extra_count)) return jp2_fail(j, jp2msg::kColrError);
    }
    hdr->colour_box = cs.keep();
    j->colour_space = static_cast<int32_t>(enum_cs);
    return 1;
}

int parse_palette(Jp2Decoder* j, const BoxHeader* h) {
    Jp2HeaderRecord* hdr = j->jp2_header;
    if (!sub_box_wanted(j, h, hdr->palette, jp2msg::kPclrDuplicate, jp2msg::kPclrBeforeIhdr))
        return 1;
    ByteReader* br = j->reader;
    uint16_t ne = 0;
    uint8_t npc = 0;
    if (h->length < 3 || !br_read_u16(br, &ne) || !br_read_u8(br, &npc))
        return jp2_fail(j, jp2msg::kPclrError);
    // No entry to clamp an index to, or no column to map through: nothing usable.
    if (ne == 0 || npc == 0) return jp2_fail(j, jp2msg::kPclrEmpty);
    if (h->length - 3 < npc) return jp2_fail(j, jp2msg::kPclrError);
    Pending<PaletteRecord, jp2_palette_release> p(j->ops, mem_new<PaletteRecord>(j->ops));
    if (!p) return jp2_fail(j, jp2msg::kOutOfMemory);
    p->NE = ne;
    p->NPC = npc;
    p->B = static_cast<uint8_t*>(mem_alloc_array(j->ops, npc, 1));
    if (!p->B) return jp2_fail(j, jp2msg::kOutOfMemory);
    if (!br_read_block(br, p->B, npc)) return jp2_fail(j, jp2msg::kPclrError);
    uint64_t entry_bytes = 0;
    for (uint32_t k = 0; k < npc; k++) {
        const uint32_t depth = (p->B[k] & 0x7Fu) + 1;
        if (depth > 32) {
            char message[sizeof jp2msg::kPclrDepthFormat + 8];
            std::snprintf(message, sizeof message,
                          "Bit depth of palette columen %d is more than 32 or less than 1, "
                          "unsupported.",
                          static_cast<int>(k));
            return jp2_fail(j, message);
        }
        entry_bytes += (depth + 7) / 8;
    }
    // The entries must be in the box before anything is allocated for them.
    if (uint64_t(ne) * entry_bytes > uint64_t(h->length) - 3 - npc)
        return jp2_fail(j, jp2msg::kPclrError);
    p->entries = static_cast<uint32_t*>(mem_alloc_array(j->ops, uint64_t(ne) * npc, 4));
    if (!p->entries) return jp2_fail(j, jp2msg::kOutOfMemory);
    for (uint32_t e = 0; e < ne; e++) {
        for (uint32_t k = 0; k < npc; k++) {
            uint32_t v = 0;
            if (!br_read_bits(br, (p->B[k] & 0x7Fu) + 1, &v)) return jp2_fail(j, jp2msg::kPclrError);
            br_align(br);
            p->entries[size_t(e) * npc + k] = v;
        }
    }
    hdr->palette = p.keep();
    br_skip(br, static_cast<uint32_t>(h->length - 3 - npc - ne * entry_bytes));
    return 1;
}

int parse_channel_definition(Jp2Decoder* j, const BoxHeader* h) {
    Jp2HeaderRecord* hdr = j->jp2_header;
    if (!sub_box_wanted(j, h, hdr->channel_definition, jp2msg::kCdefDuplicate,
                        jp2msg::kCdefBeforeIhdr))
        return 1;
    ByteReader* br = j->reader;
    uint16_t n = 0;
    if (h->length < 2 || !br_read_u16(br, &n)) return jp2_fail(j, jp2msg::kCdefError);
    if (n == 0) {
        jp2_warn(j, jp2msg::kCdefZero);
        br_skip(br, h->length - 2);
        return 1;
    }
    if (uint64_t(n) * 6 > h->length - 2) return jp2_fail(j, jp2msg::kCdefError);
    Pending<ChannelDefinitionRecord, channel_definition_release> c(
        j->ops, mem_new<ChannelDefinitionRecord>(j->ops));
    if (!c) return jp2_fail(j, jp2msg::kOutOfMemory);
    c->N = n;
    c->Cn = mem_new_array<uint16_t>(j->ops, uint64_t(n) + 1);
    c->Typ = mem_new_array<uint16_t>(j->ops, uint64_t(n) + 1);
    c->Asoc = mem_new_array<uint16_t>(j->ops, uint64_t(n) + 1);
    if (!c->Cn || !c->Typ || !c->Asoc) return jp2_fail(j, jp2msg::kOutOfMemory);
    for (uint32_t i = 0; i < n; i++) {
        if (!br_read_u16(br, &c->Cn[i]) || !br_read_u16(br, &c->Typ[i]) ||
            !br_read_u16(br, &c->Asoc[i]))
            return jp2_fail(j, jp2msg::kCdefError);
        if (c->Cn[i] >= n) return jp2_fail(j, jp2msg::kCdefCnTooLarge);
    }
    c->Cn[n] = c->Typ[n] = c->Asoc[n] = 0xFFFF;
    if (!sort_channel_definition(j->ops, c.get())) return jp2_fail(j, jp2msg::kOutOfMemory);
    hdr->channel_definition = c.keep();
    br_skip(br, static_cast<uint32_t>(h->length - 2 - 6 * uint32_t(n)));
    return 1;
}

int parse_resolution_values(Jp2Decoder* j, const BoxHeader* h, int display) {
    ResolutionRecord* res = j->jp2_header->resolution;
    ResolutionValues** slot = display ? &res->display : &res->capture;
    ByteReader* br = j->reader;
    if (*slot) {
        jp2_warn(j, display ? jp2msg::kResdDuplicate : jp2msg::kRescDuplicate);
        br_skip(br, h->length);
        return 1;
    }
    const char* error = display ? jp2msg::kResdError : jp2msg::kRescError;
    if (h->length < 10) return jp2_fail(j, error);
    Pending<ResolutionValues, free_record> v(j->ops, mem_new<ResolutionValues>(j->ops));
    if (!v) return jp2_fail(j, jp2msg::kOutOfMemory);
    uint8_t ve = 0, he = 0;
    if (!br_read_u16(br, &v->VRcN) || !br_read_u16(br, &v->VRcD) || !br_read_u16(br, &v->HRcN) ||
        !br_read_u16(br, &v->HRcD) || !br_read_u8(br, &ve) || !br_read_u8(br, &he))
        return jp2_fail(j, error);
    v->VRcE = static_cast<int8_t>(ve);
    v->HRcE = static_cast<int8_t>(he);
    *slot = v.keep();
    br_skip(br, h->length - 10);
    return 1;
}

int parse_resolution(Jp2Decoder* j, const BoxHeader* h) {
    Jp2HeaderRecord* hdr = j->jp2_header;
    if (!sub_box_wanted(j, h, hdr->resolution, jp2msg::kResDuplicate, jp2msg::kResBeforeIhdr))
        return 1;
    hdr->resolution = mem_new<ResolutionRecord>(j->ops);
    if (!hdr->resolution) return jp2_fail(j, jp2msg::kOutOfMemory);
    const int ok = walk_sub_boxes(j, h, [j](const BoxHeader* sub) {
        if (sub->type == kBoxCaptureRes) return parse_resolution_values(j, sub, 0);
        if (sub->type == kBoxDisplayRes) return parse_resolution_values(j, sub, 1);
        return 1;
    });
    if (!ok) {
        resolution_release(j->ops, hdr->resolution);
        hdr->resolution = nullptr;
        return 0;
    }
    return 1;
}

}  // namespace

int jp2_parse_header_box(Jp2Decoder* j, const BoxHeader* h) {
    if (j->jp2_header) {
        jp2_warn(j, jp2msg::kHeaderDuplicate);
        br_skip(j->reader, h->length);
        return 1;
    }
    j->jp2_header = mem_new<Jp2HeaderRecord>(j->ops);
    if (!j->jp2_header) return jp2_fail(j, jp2msg::kOutOfMemory);
    const int ok = walk_sub_boxes(j, h, [j](const BoxHeader* sub) {
        switch (sub->type) {
        case kBoxImageHeader: return parse_image_header(j, sub);
        case kBoxBitsPerComp: return parse_bits_per_component(j, sub);
        case kBoxColr: return parse_colr(j, sub);
        case kBoxPalette: return parse_palette(j, sub);
        case kBoxCompMapping: return jp2_parse_component_mapping(j, sub);
        case kBoxChannelDef: return parse_channel_definition(j, sub);
        case kBoxResolution: return parse_resolution(j, sub);
        default: return 1;  // skipped by its length
        }
    });
    if (!ok) {
        jp2_header_release(j->ops, j->jp2_header);
        j->jp2_header = nullptr;
        return 0;
    }
    return 1;
}

int jp2_parse_component_mapping(Jp2Decoder* j, const BoxHeader* h) {
    Jp2HeaderRecord* hdr = j->jp2_header;
    if (!sub_box_wanted(j, h, hdr->component_mapping, jp2msg::kCmapDuplicate,
                        jp2msg::kCmapBeforeIhdr))
        return 1;
    const uint32_t count = h->length / 4;
    if (count == 0) return jp2_fail(j, jp2msg::kCmapError);
    Pending<ComponentMappingRecord, jp2_mapping_release> m(j->ops,
                                                           mem_new<ComponentMappingRecord>(j->ops));
    if (!m) return jp2_fail(j, jp2msg::kOutOfMemory);
    m->count = count;
    m->CMP = mem_new_array<uint16_t>(j->ops, count);
    m->MTYP = mem_new_array<uint8_t>(j->ops, count);
    m->PCOL = mem_new_array<uint8_t>(j->ops, count);
    if (!m->CMP || !m->MTYP || !m->PCOL) return jp2_fail(j, jp2msg::kOutOfMemory);
    ByteReader* br = j->reader;
    for (uint32_t i = 0; i < count; i++) {
        if (!br_read_u16(br, &m->CMP[i]) || !br_read_u8(br, &m->MTYP[i]) ||
            !br_read_u8(br, &m->PCOL[i]))
            return jp2_fail(j, jp2msg::kCmapError);
    }
    hdr->component_mapping = m.keep();
    br_skip(br, h->length - 4 * count);
    return 1;
}

}  // namespace dravex
