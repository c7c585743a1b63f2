#ifndef DRAVEX_MEM_OPS_H
#define DRAVEX_MEM_OPS_H
// MemOps: the allocator table every decoder object allocates through.
//   MemOps* ops = memops_create();            // default table over the C heap
//   void* p = ops->alloc(ops, n);  ops->free(ops, p);  ops->release(ops);
// Every slot takes the table first. alloc/realloc return null on failure; callers test
// every result. A caller may fill a table of its own.
#include <stddef.h>
#include <stdint.h>

#include "dravex/export.h"

DRAVEX_BEGIN_DECLS

typedef struct MemOps MemOps;
struct MemOps {
    void* (*alloc)(MemOps* ops, size_t n);
    void* (*realloc)(MemOps* ops, void* block, size_t n);
    void (*free)(MemOps* ops, void* block);
    void (*release)(MemOps* ops);
};

// Default table over the C heap. `budget` caps the bytes held at any time through this
// table (0 = no cap); allocations past it fail cleanly.
DRAVEX_NODISCARD DRAVEX_API MemOps* memops_create(void);
DRAVEX_NODISCARD DRAVEX_API MemOps* memops_create_with_budget(uint64_t budget);
// Bytes currently held and the peak held through a table made by memops_create*;
// 0 for foreign tables.
DRAVEX_API uint64_t memops_in_use(const MemOps* ops);
DRAVEX_API uint64_t memops_peak(const MemOps* ops);
// Changes the cap of a table made by memops_create* (0 = none); blocks already held stay.
// Lets a caller grant one phase of the work and refuse the next.
DRAVEX_API void memops_set_budget(MemOps* ops, uint64_t budget);

DRAVEX_END_DECLS

#endif
