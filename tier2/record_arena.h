#pragma once
// RecordArena: zeroed records carved from a few large chunks and freed all at once.
//   void* p = arena_alloc(ops, &arena, bytes);   // nullptr when memory runs out
//   arena_free(ops, &arena);                      // every record at once; arena reusable
// The packet-header state of every precinct (tag trees, code-block header state) lives here:
// it is dropped as a whole when parsing ends, and coming from its own large chunks it leaves
// no holes between the records that stay, which the output's buffers could not reuse.
#include <cstdint>

#include "io/mem_ops.h"

namespace dravex {

struct RecordArena {
    uint8_t** chunks;
    uint32_t chunk_count, chunk_slots;
    uint64_t used, size;  // of the last chunk
};

[[nodiscard]] void* arena_alloc(MemOps* ops, RecordArena* a, uint64_t bytes);
void arena_free(MemOps* ops, RecordArena* a);

}  // namespace dravex
