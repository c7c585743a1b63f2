#include "io/mem_ops.h"

#include <cstdlib>
#include <cstring>

namespace dravex {

namespace {

// The default table keeps a running total so a budget can be enforced; each block carries
// its size in a 16-byte header (16 keeps the payload aligned for any scalar type).
struct HeapTable {
    MemOps ops;
    uint64_t budget;
    uint64_t in_use;
    uint64_t peak;
};
constexpr size_t kHeader = 16;

HeapTable* heap_of(MemOps* ops) { return reinterpret_cast<HeapTable*>(ops); }

int heap_reserve(HeapTable* h, uint64_t n) {
    if (h->budget != 0 && (n > h->budget || h->in_use > h->budget - n)) return 0;
    h->in_use += n;
    if (h->in_use > h->peak) h->peak = h->in_use;
    return 1;
}

// n bytes behind the size header, counted against the budget; zeroed ones come from calloc:
// fresh pages from the system come zeroed, so a large record block whose pages are never
// written (the header state of code-blocks no packet reaches) costs neither the clearing nor
// the page faults.
void* heap_take(MemOps* ops, size_t n, bool zeroed) {
    HeapTable* h = heap_of(ops);
    if (n > SIZE_MAX - kHeader) return nullptr;
    if (!heap_reserve(h, n)) return nullptr;
    void* block = zeroed ? std::calloc(1, n + kHeader) : std::malloc(n + kHeader);
    auto* base = static_cast<unsigned char*>(block);
    if (!base) {
        h->in_use -= n;
        return nullptr;
    }
    uint64_t size = n;
    std::memcpy(base, &size, sizeof size);
    return base + kHeader;
}

void* heap_alloc(MemOps* ops, size_t n) { return heap_take(ops, n, false); }

void heap_free(MemOps* ops, void* block) {
    if (!block) return;
    HeapTable* h = heap_of(ops);
    unsigned char* base = static_cast<unsigned char*>(block) - kHeader;
    uint64_t size;
    std::memcpy(&size, base, sizeof size);
    h->in_use -= size;
    std::free(base);
}

void* heap_realloc(MemOps* ops, void* block, size_t n) {
    if (!block) return heap_alloc(ops, n);
    HeapTable* h = heap_of(ops);
    if (n > SIZE_MAX - kHeader) return nullptr;
    unsigned char* base = static_cast<unsigned char*>(block) - kHeader;
    uint64_t old;
    std::memcpy(&old, base, sizeof old);
    if (n > old && !heap_reserve(h, n - old)) return nullptr;
    auto* grown = static_cast<unsigned char*>(std::realloc(base, n + kHeader));
    if (!grown) {
        if (n > old) h->in_use -= n - old;
        return nullptr;
    }
    if (n < old) h->in_use -= old - n;
    uint64_t size = n;
    std::memcpy(grown, &size, sizeof size);
    return grown + kHeader;
}

void heap_release(MemOps* ops) { std::free(heap_of(ops)); }

}  // namespace

}  // namespace dravex

using namespace dravex;

MemOps* memops_create_with_budget(uint64_t budget) {
    auto* h = static_cast<HeapTable*>(std::calloc(1, sizeof(HeapTable)));
    if (!h) return nullptr;
    h->ops.alloc = heap_alloc;
    h->ops.realloc = heap_realloc;
    h->ops.free = heap_free;
    h->ops.release = heap_release;
    h->budget = budget;
    return &h->ops;
}

MemOps* memops_create() { return memops_create_with_budget(0); }

uint64_t memops_in_use(const MemOps* ops) {
    if (!ops || ops->alloc != heap_alloc) return 0;
    return reinterpret_cast<const HeapTable*>(ops)->in_use;
}

void memops_set_budget(MemOps* ops, uint64_t budget) {
    if (ops && ops->alloc == heap_alloc) heap_of(ops)->budget = budget;
}

uint64_t memops_peak(const MemOps* ops) {
    if (!ops || ops->alloc != heap_alloc) return 0;
    return reinterpret_cast<const HeapTable*>(ops)->peak;
}

namespace dravex {

void* mem_alloc_array(MemOps* ops, uint64_t count, uint64_t size) {
    size_t n;
    if (!mem_size_mul(count, size, kMemMaxBlock, &n)) return nullptr;
    return ops->alloc(ops, n ? n : 1);
}

void* mem_zalloc_array(MemOps* ops, uint64_t count, uint64_t size) {
    size_t n;
    if (!mem_size_mul(count, size, kMemMaxBlock, &n)) return nullptr;
    if (n == 0) n = 1;
    void* p = ops->alloc == heap_alloc ? heap_take(ops, n, true) : ops->alloc(ops, n);
    if (p && ops->alloc != heap_alloc) std::memset(p, 0, n);
    return p;
}

void* mem_realloc_array(MemOps* ops, void* block, uint64_t count, uint64_t size) {
    size_t n;
    if (!mem_size_mul(count, size, kMemMaxBlock, &n)) return nullptr;
    return ops->realloc(ops, block, n ? n : 1);
}

}  // namespace dravex
