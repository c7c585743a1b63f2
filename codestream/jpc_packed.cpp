#include "codestream/jpc_packed.h"

#include <cstring>

#include "codestream/codestream_reader.h"

namespace dravex {

namespace {

constexpr const char* kMsgMemory = "Out of memory for packed packet headers.";

uint64_t capacity_for(uint64_t length) {
    if (length == 0) return 0;
    uint64_t c = 1;
    while (c < length) c <<= 1;
    return c;
}

// Makes room for new_length bytes in a buffer that holds `length`.
int reserve(CodestreamReader* cr, uint8_t** data, uint32_t length, uint64_t new_length) {
    if (new_length > UINT32_MAX) return ctx_fail(cr->ctx, kMsgMemory);
    if (*data && new_length <= capacity_for(length)) return 1;
    const uint64_t capacity = capacity_for(new_length);
    void* grown = *data ? mem_realloc_array(cr->ctx->ops, *data, capacity, 1)
                        : mem_alloc_array(cr->ctx->ops, capacity, 1);
    if (!grown) return ctx_fail(cr->ctx, kMsgMemory);
    *data = static_cast<uint8_t*>(grown);
    return 1;
}

}  // namespace

int packed_append(CodestreamReader* cr, uint8_t** data, uint32_t* length, const uint8_t* src, uint32_t n) {
    if (n == 0) return 1;
    if (!reserve(cr, data, *length, uint64_t(*length) + n)) return 0;
    std::memcpy(*data + *length, src, n);
    *length += n;
    return 1;
}

int packed_collect(CodestreamReader* cr, PackedCollector* c, const MarkerHeader* m,
                   const PackedMessages& msg) {
    if (m->length < 3) return ctx_fail(cr->ctx, msg.too_short);  // length word and Z
    uint8_t z;
    if (!br_read_u8(cr->reader, &z)) return ctx_fail(cr->ctx, msg.read);
    const uint32_t n = m->length - 3u;
    // The bytes must be in the input before anything is allocated for them.
    if (n > br_remaining(cr->reader)) return ctx_fail(cr->ctx, msg.read);
    if (!reserve(cr, &c->data, c->length, uint64_t(c->length) + n)) return 0;
    if (n && !br_read_block(cr->reader, c->data + c->length, n)) return ctx_fail(cr->ctx, msg.read);
    if (c->count + 1ull > capacity_for(c->count)) {  // capacity doubles, as for the bytes
        const uint64_t capacity = capacity_for(c->count + 1ull);
        void* pieces = c->pieces ? mem_realloc_array(cr->ctx->ops, c->pieces, capacity, sizeof(PackedPiece))
                                 : mem_alloc_array(cr->ctx->ops, capacity, sizeof(PackedPiece));
        if (!pieces) return ctx_fail(cr->ctx, kMsgMemory);
        c->pieces = static_cast<PackedPiece*>(pieces);
    }
    if (c->count && z < c->pieces[c->count - 1].z) c->out_of_order = 1;
    c->pieces[c->count++] = PackedPiece{c->length, n, z};
    c->length += n;
    return 1;
}

int packed_finish(CodestreamReader* cr, PackedCollector* c, uint8_t** data, uint32_t* length) {
    if (!c->out_of_order || c->length == 0) {
        *data = c->data;
        *length = c->length;
        c->data = nullptr;
        packed_discard(cr, c);
        return 1;
    }
    // Stable counting sort by Z: segments with equal Z keep their codestream order.
    auto* sorted = static_cast<uint8_t*>(mem_alloc_array(cr->ctx->ops, c->length, 1));
    if (!sorted) {
        packed_discard(cr, c);
        return ctx_fail(cr->ctx, kMsgMemory);
    }
    uint64_t start[257] = {};
    for (uint32_t i = 0; i < c->count; i++) start[c->pieces[i].z + 1] += c->pieces[i].length;
    for (int z = 1; z <= 256; z++) start[z] += start[z - 1];
    for (uint32_t i = 0; i < c->count; i++) {
        const PackedPiece& p = c->pieces[i];
        std::memcpy(sorted + start[p.z], c->data + p.offset, p.length);
        start[p.z] += p.length;
    }
    *data = sorted;
    *length = c->length;
    packed_discard(cr, c);
    return 1;
}

void packed_discard(CodestreamReader* cr, PackedCollector* c) {
    mem_free(cr->ctx->ops, c->data);
    mem_free(cr->ctx->ops, c->pieces);
    *c = PackedCollector{};
}

}  // namespace dravex
