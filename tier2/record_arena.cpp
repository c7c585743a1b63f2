// Bump allocation over chunks that double from 4 KiB to 1 MiB, so a small image pays for a
// small chunk and a big one for few allocations.
#include "tier2/record_arena.h"

#include <cstring>

namespace dravex {

namespace {

constexpr uint64_t kFirstChunk = uint64_t(4) << 10;
constexpr uint64_t kLargestChunk = uint64_t(1) << 20;

}  // namespace

void* arena_alloc(MemOps* ops, RecordArena* a, uint64_t bytes) {
    bytes = (bytes + 7) & ~uint64_t(7);
    if (bytes == 0 || bytes > kMemMaxBlock) return nullptr;
    if (a->chunk_count == 0 || bytes > a->size - a->used) {
        if (!mem_grow_array(ops, &a->chunks, a->chunk_count, &a->chunk_slots)) return nullptr;
        uint64_t size = a->size ? a->size * 2 : kFirstChunk;
        if (size > kLargestChunk) size = kLargestChunk;
        if (size < bytes) size = bytes;
        auto* chunk = static_cast<uint8_t*>(mem_zalloc_array(ops, size, 1));
        if (!chunk) return nullptr;
        a->chunks[a->chunk_count++] = chunk;
        a->size = size;
        a->used = 0;
    }
    uint8_t* p = a->chunks[a->chunk_count - 1] + a->used;
    a->used += bytes;
    return p;
}

void arena_free(MemOps* ops, RecordArena* a) {
    for (uint32_t i = 0; i < a->chunk_count; i++) ops->free(ops, a->chunks[i]);
    mem_free(ops, a->chunks);
    std::memset(a, 0, sizeof *a);
}

}  // namespace dravex
