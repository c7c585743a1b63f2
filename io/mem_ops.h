#pragma once
// Internal side of the allocator table (the table itself and memops_* are the calling
// interface, in dravex/mem_ops.h): the size checks and array helpers every module allocates
// through. Sizes derived from header fields go through mem_size_mul / mem_alloc_array, which
// refuse products that overflow or exceed kMemMaxBlock.
#include <cstddef>
#include <cstdint>

#include "dravex/mem_ops.h"

namespace dravex {

// Largest single block any header-driven size may reach (2 GiB).
constexpr uint64_t kMemMaxBlock = uint64_t(1) << 31;

// 1 and *out = a * b when the product stays within cap; 0 otherwise.
[[nodiscard]] inline int mem_size_mul(uint64_t a, uint64_t b, uint64_t cap, size_t* out) {
    if (a != 0 && b > cap / a) return 0;
    *out = static_cast<size_t>(a * b);
    return 1;
}

// count * size bytes (0 bytes gives a 1-byte block so that nullptr always means failure).
[[nodiscard]] void* mem_alloc_array(MemOps* ops, uint64_t count, uint64_t size);
// As mem_alloc_array, zero-filled.
[[nodiscard]] void* mem_zalloc_array(MemOps* ops, uint64_t count, uint64_t size);
// Resize to count * size bytes; nullptr on failure (the old block stays valid).
[[nodiscard]] void* mem_realloc_array(MemOps* ops, void* block, uint64_t count, uint64_t size);
// Typed helpers.
template <class T> [[nodiscard]] T* mem_new_array(MemOps* ops, uint64_t count) {
    return static_cast<T*>(mem_zalloc_array(ops, count, sizeof(T)));
}
template <class T> [[nodiscard]] T* mem_new(MemOps* ops) {
    return static_cast<T*>(mem_zalloc_array(ops, 1, sizeof(T)));
}
// Makes room for element `count` of an array of *slots elements that doubles (from 16) when
// full: 1 when there is room, 0 when it cannot grow (the old array stays valid).
template <class T>
[[nodiscard]] int mem_grow_array(MemOps* ops, T** array, uint32_t count, uint32_t* slots) {
    if (count < *slots) return 1;
    const uint64_t grown = *slots ? uint64_t(*slots) * 2 : 16;
    if (grown > UINT32_MAX) return 0;
    void* p = *array ? mem_realloc_array(ops, *array, grown, sizeof(T))
                     : mem_alloc_array(ops, grown, sizeof(T));
    if (!p) return 0;
    *array = static_cast<T*>(p);
    *slots = static_cast<uint32_t>(grown);
    return 1;
}
// Frees block through ops when it is set.
inline void mem_free(MemOps* ops, void* block) {
    if (block) ops->free(ops, block);
}

}  // namespace dravex
