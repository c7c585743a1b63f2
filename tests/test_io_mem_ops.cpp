// The allocator table: checked size arithmetic, the budget cap, and in-use/peak accounting
// through alloc, realloc and free.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>

#include "io/mem_ops.h"

namespace {

struct OpsDeleter {
    void operator()(MemOps* ops) const { ops->release(ops); }
};
using OpsPtr = std::unique_ptr<MemOps, OpsDeleter>;

OpsPtr make_ops(uint64_t budget = 0) { return OpsPtr(memops_create_with_budget(budget)); }

}  // namespace

TEST(MemSizeMul, RefusesProductsPastTheCap) {
    const struct {
        uint64_t a, b, cap;
        int ok;
        uint64_t product;
    } kCases[] = {
        {0, UINT64_MAX, 10, 1, 0},
        {UINT64_MAX, 0, 10, 1, 0},
        {4, 5, 20, 1, 20},
        {4, 6, 20, 0, 0},
        {1, kMemMaxBlock, kMemMaxBlock, 1, kMemMaxBlock},
        {2, kMemMaxBlock / 2 + 1, kMemMaxBlock, 0, 0},
        // 32-bit products that wrap (4 * width, stripes) must not slip through.
        {4, 0x40000001ull, UINT64_MAX, 1, 0x100000004ull},
        {0x100000000ull, 0x100000000ull, UINT64_MAX, 0, 0},
        {UINT64_MAX, 2, UINT64_MAX, 0, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.a << " * " << c.b << " cap " << c.cap);
        size_t out = 12345;
        ASSERT_EQ(mem_size_mul(c.a, c.b, c.cap, &out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, c.product);
        } else {
            EXPECT_EQ(out, 12345u);  // untouched on refusal
        }
    }
}

TEST(MemOps, ArrayHelpersRefuseHugeOrWrappingSizes) {
    OpsPtr ops = make_ops();
    ASSERT_TRUE(ops);
    const struct {
        uint64_t count, size;
    } kRefused[] = {
        {UINT64_MAX / 2, 4},
        {kMemMaxBlock + 1, 1},
        {1, kMemMaxBlock + 1},
        {0x80000000ull, 8},
        {0x100000001ull, 0x100000000ull},
    };
    for (const auto& c : kRefused) {
        SCOPED_TRACE(testing::Message() << c.count << " x " << c.size);
        EXPECT_EQ(mem_alloc_array(ops.get(), c.count, c.size), nullptr);
        EXPECT_EQ(mem_zalloc_array(ops.get(), c.count, c.size), nullptr);
        EXPECT_EQ(mem_new_array<uint32_t>(ops.get(), c.count * c.size), nullptr);
    }
    EXPECT_EQ(memops_in_use(ops.get()), 0u);

    // A refused resize leaves the old block valid and accounted for.
    auto* p = static_cast<uint8_t*>(mem_alloc_array(ops.get(), 16, 1));
    ASSERT_NE(p, nullptr);
    std::memset(p, 0x5A, 16);
    EXPECT_EQ(mem_realloc_array(ops.get(), p, UINT64_MAX, 2), nullptr);
    EXPECT_EQ(memops_in_use(ops.get()), 16u);
    EXPECT_EQ(p[15], 0x5A);
    mem_free(ops.get(), p);
    EXPECT_EQ(memops_in_use(ops.get()), 0u);
}

// A step-by-step script over one budgeted table: each allocation, resize and release, with
// the expected result and the in-use and peak totals after it.
TEST(MemOps, BudgetAndAccounting) {
    enum Op { kAlloc, kRealloc, kFree };
    const struct {
        Op op;
        int slot;
        uint64_t n;
        bool ok;
        uint64_t in_use, peak;
    } kSteps[] = {
        {kAlloc, 0, 600, true, 600, 600},
        {kAlloc, 1, 400, true, 1000, 1000},    // exactly at the cap
        {kAlloc, 2, 1, false, 1000, 1000},     // one byte past it
        {kFree, 1, 0, true, 600, 1000},
        {kAlloc, 2, 500, false, 600, 1000},
        {kAlloc, 2, 400, true, 1000, 1000},
        {kRealloc, 0, 601, false, 1000, 1000}, // growth past the cap fails, old block kept
        {kRealloc, 0, 100, true, 500, 1000},   // shrinking returns bytes
        {kRealloc, 0, 600, true, 1000, 1000},
        {kFree, 0, 0, true, 400, 1000},
        {kAlloc, 3, UINT64_MAX - 8, false, 400, 1000},  // no wrap in the budget test
        {kRealloc, 2, UINT64_MAX - 8, false, 400, 1000},
        {kFree, 2, 0, true, 0, 1000},
    };
    OpsPtr ops = make_ops(1000);
    ASSERT_TRUE(ops);
    void* slots[4] = {};
    for (size_t i = 0; i < std::size(kSteps); i++) {
        const auto& s = kSteps[i];
        SCOPED_TRACE(testing::Message() << "step " << i);
        MemOps* t = ops.get();
        if (s.op == kAlloc) {
            void* p = t->alloc(t, static_cast<size_t>(s.n));
            EXPECT_EQ(p != nullptr, s.ok);
            if (p) {
                std::memset(p, 0x11, static_cast<size_t>(s.n));
                slots[s.slot] = p;
            }
        } else if (s.op == kRealloc) {
            void* p = t->realloc(t, slots[s.slot], static_cast<size_t>(s.n));
            EXPECT_EQ(p != nullptr, s.ok);
            if (p) {
                std::memset(p, 0x22, static_cast<size_t>(s.n));
                slots[s.slot] = p;
            }
        } else {
            t->free(t, slots[s.slot]);
            slots[s.slot] = nullptr;
        }
        EXPECT_EQ(memops_in_use(t), s.in_use);
        EXPECT_EQ(memops_peak(t), s.peak);
    }
}
