#include <gtest/gtest.h>

#include "io/mem_ops.h"

TEST(Smoke, MemOpsRoundTrip) {
    MemOps* ops = memops_create();
    ASSERT_NE(ops, nullptr);
    void* p = mem_alloc_array(ops, 10, 4);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(memops_in_use(ops), 40u);
    ops->free(ops, p);
    EXPECT_EQ(memops_in_use(ops), 0u);
    EXPECT_EQ(mem_alloc_array(ops, UINT64_MAX / 2, 4), nullptr);
    ops->release(ops);
}
