#include "support/t1_harness.h"

#include <cstdlib>
#include <cstring>

namespace t1_test {
namespace {

std::vector<std::string>* g_errors = nullptr;
void record_error(const char* m) {
    if (g_errors) g_errors->push_back(m);
}

constexpr int32_t kGuard = 0x5A5A5A5A;
constexpr uint32_t kMargin = 3;  // guard samples on each side of the block

}  // namespace

Harness::Harness() : ops(memops_create()), dec() {
    dec.ops = ops;
    dec.error_hook = record_error;
}

Harness::~Harness() {
    t1_scratch_destroy(ops, dec.t1);
    ops->release(ops);
}

DecodeResult Harness::decode(const BandSetup& s, uint32_t w, uint32_t h,
                             const std::vector<Segment>& segs, T1Scratch* scratch) {
    DecodeResult res;
    TileComponent tc{};
    tc.cblk_style = s.style;
    tc.quant_style = s.quant_style;
    tc.roi_shift = s.roi_shift;
    Band band{};
    band.magnitude_bits = s.magnitude_bits;
    band.step_mantissa = s.mantissa;
    band.step_exponent = s.exponent;
    CodeBlock cb{};
    // Band coordinates away from 0, so that nothing may lean on them being block-relative.
    cb.x0 = 64;
    cb.y0 = 128;
    cb.x1 = cb.x0 + w;
    cb.y1 = cb.y0 + h;
    cb.zero_bitplanes = s.zero_bitplanes;
    SegmentChain chain;
    chain.build(segs, &cb);

    // The block sits inside a larger zeroed stripe whose border holds guard values.
    const uint32_t stride = w + 2 * kMargin;
    std::vector<int32_t> stripe(size_t(stride) * (h + 2 * kMargin), kGuard);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) stripe[size_t(y + kMargin) * stride + x + kMargin] = 0;
    int32_t* dst = stripe.data() + size_t(kMargin) * stride + kMargin;

    g_errors = &res.errors;
    res.ok = t1_decode_codeblock(&dec, scratch, &tc, s.resolution, s.band, &band, &cb, dst,
                                 stride);
    g_errors = nullptr;

    res.values.resize(size_t(w) * h);
    for (uint32_t y = 0; y < h + 2 * kMargin; ++y) {
        for (uint32_t x = 0; x < stride; ++x) {
            const int32_t v = stripe[size_t(y) * stride + x];
            const bool inside = y >= kMargin && y < h + kMargin && x >= kMargin &&
                                x < w + kMargin;
            if (inside) res.values[size_t(y - kMargin) * w + (x - kMargin)] = v;
            else if (v != kGuard) res.outside_untouched = false;
        }
    }
    return res;
}

std::vector<int32_t> Harness::expected(const EncodedBlock& e, const BandSetup& s) {
    std::vector<int32_t> out(e.expected.size());
    for (size_t i = 0; i < out.size(); ++i) {
        const int64_t d = std::llabs(e.expected[i]);
        int64_t v = reference_dequantise(d, e.coded[i] + s.zero_bitplanes, s.magnitude_bits,
                                         s.roi_shift, s.quant_style == 0, s.mantissa,
                                         s.exponent);
        if (v > 0x7FFFFFFF) v = 0x7FFFFFFF;
        out[i] = static_cast<int32_t>(e.expected[i] < 0 ? -v : v);
    }
    return out;
}

}  // namespace t1_test
