#include "io/decode_context.h"

namespace dravex {

namespace {

void hold_message(HeldMessages* h, uint8_t is_error, const char* text) {
    if (h->count == kHeldMessages) return;
    h->is_error[h->count] = is_error;
    h->text[h->count++] = text;
}

}  // namespace

int ctx_fail(DecodeContext* ctx, const char* message) {
    if (ctx->held.active) {
        hold_message(&ctx->held, 1, message);
        return 0;
    }
    if (ctx->error_hook) ctx->error_hook(message);
    return 0;
}

void ctx_warn(DecodeContext* ctx, const char* message) {
    if (ctx->held.active) {
        hold_message(&ctx->held, 0, message);
        return;
    }
    if (ctx->warning_hook) ctx->warning_hook(message);
}

void ctx_hold(DecodeContext* ctx) {
    ctx->held = HeldMessages{};
    ctx->held.active = 1;
}

void ctx_release(DecodeContext* ctx, bool report) {
    const HeldMessages h = ctx->held;
    ctx->held = HeldMessages{};
    for (uint32_t i = 0; report && i < h.count; i++) {
        if (h.is_error[i]) ctx_fail(ctx, h.text[i]);
        else ctx_warn(ctx, h.text[i]);
    }
}

}  // namespace dravex
