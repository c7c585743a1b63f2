#pragma once
// The coding passes rely on their small helpers being inlined into one loop body.
#if defined(__GNUC__)
#define T1_INLINE inline __attribute__((always_inline))
#else
#define T1_INLINE inline
#endif

namespace dravex {

}  // namespace dravex
