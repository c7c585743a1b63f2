#pragma once
// DecodeContext: what every layer of a decoder shares, and nothing more: the allocator and
// the two message hooks. The layers report through ctx_fail and ctx_warn, once, where a
// fault is found.
// The message texts are part of the interface: callers and scripts match them byte for byte,
// so their wording stays as it is, typos included ("parcket", "columen", "twowidth").
//   DecodeContext ctx = {ops, error_hook, warning_hook, {}};
//   if (!ok) return ctx_fail(&ctx, "...");   // always 0
// While one reading of a tile's packets is on trial, messages are held back (ctx_hold) and
// then either reported or dropped (ctx_release), as that reading is kept or replaced.
#include <cstdint>

#include "io/mem_ops.h"

namespace dravex {

using DecodeMessageHook = void (*)(const char* message);

constexpr uint32_t kHeldMessages = 16;
struct HeldMessages {
    uint32_t active;
    uint32_t count;
    uint8_t is_error[kHeldMessages];
    const char* text[kHeldMessages];
};

struct DecodeContext {
    MemOps* ops;
    DecodeMessageHook error_hook;
    DecodeMessageHook warning_hook;
    HeldMessages held;
};

// Reports an error (or holds it back); always returns 0.
int ctx_fail(DecodeContext* ctx, const char* message);
void ctx_warn(DecodeContext* ctx, const char* message);
// Holds back every message from now on (at most kHeldMessages; later ones are dropped).
void ctx_hold(DecodeContext* ctx);
// Ends holding messages back; those held are reported when `report` is set.
void ctx_release(DecodeContext* ctx, bool report);

}  // namespace dravex
