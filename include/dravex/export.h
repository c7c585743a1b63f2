#ifndef DRAVEX_EXPORT_H
#define DRAVEX_EXPORT_H
// Marks of the calling interface, shared by every public header:
//   DRAVEX_API        a function of the interface; a shared libdravex is built with hidden
//                     visibility and exports these names only.
//   DRAVEX_NODISCARD  a result that must be looked at (1 success, 0 failure; a new object).
//   DRAVEX_BEGIN_DECLS, DRAVEX_END_DECLS  C linkage for C++ callers.

#if defined(__GNUC__) || defined(__clang__)
#define DRAVEX_API __attribute__((visibility("default")))
#else
#define DRAVEX_API
#endif

#if defined(__cplusplus) && __cplusplus >= 201703L
#define DRAVEX_NODISCARD [[nodiscard]]
#elif defined(__GNUC__) || defined(__clang__)
#define DRAVEX_NODISCARD __attribute__((warn_unused_result))
#else
#define DRAVEX_NODISCARD
#endif

#ifdef __cplusplus
#define DRAVEX_BEGIN_DECLS extern "C" {
#define DRAVEX_END_DECLS }
#else
#define DRAVEX_BEGIN_DECLS
#define DRAVEX_END_DECLS
#endif

#endif
