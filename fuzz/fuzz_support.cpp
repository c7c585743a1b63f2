#include "fuzz/fuzz_support.h"

#include <cstdlib>
#include <vector>

#include "codestream/jpcdec.h"
#include "dravex/jp2_decoder.h"
#include "io/mem_ops.h"
#include "io/stream.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

// Keeps single inputs quick, since coverage per minute is what finds faults: the rows of a
// larger image are decoded only as far as this many samples (a whole row at least, when one
// is not wider than kMaxDecodedWidth); what an input can make the parse build is bounded by
// the budget.
constexpr uint64_t kMaxDecodedSamples = uint64_t(1) << 18;
constexpr uint64_t kMaxDecodedWidth = uint64_t(1) << 20;
constexpr uint64_t kFuzzBudget = uint64_t(64) << 20;

// Rows to decode of a w x h image: all of them when it is small, else the first few.
uint32_t rows_to_decode(uint32_t w, uint32_t h) {
    if (w == 0 || w > kMaxDecodedWidth) return 0;
    const uint64_t rows = (kMaxDecodedSamples + w - 1) / w;
    return rows < h ? static_cast<uint32_t>(rows) : h;
}

void check(bool ok) {
    if (!ok) std::abort();
}

// Decoding less, chosen by the input's last byte so that the fuzzer steers it too: three
// inputs in four get some of a reduction, a layer limit and a region (the middle half).
struct LessOptions {
    uint32_t reduce = 0, layers = 0;
    bool region = false;
};

LessOptions less_options(const uint8_t* data, size_t size) {
    LessOptions o;
    const uint8_t sel = size ? data[size - 1] : 0;
    if ((sel & 3) == 0) return o;
    o.reduce = (sel >> 2) & 3;
    o.layers = (sel >> 4) & 3;
    o.region = (sel & 0x40) != 0;
    return o;
}

// Applies the options; false when the decoder refuses them (a reduction beyond the levels).
template <class D>
bool apply_less(D* d, const LessOptions& o, int (*reduce)(D*, uint32_t),
                void (*layers)(D*, uint32_t), int (*region)(D*, uint32_t, uint32_t, uint32_t, uint32_t),
                void (*size)(const D*, uint32_t*, uint32_t*)) {
    if (o.reduce && !reduce(d, o.reduce)) return false;
    if (o.layers) layers(d, o.layers);
    if (o.region) {
        uint32_t w, h;
        size(d, &w, &h);
        if (w && h && !region(d, w / 4, h / 4, w / 4 + (w + 1) / 2, h / 4 + (h + 1) / 2)) return false;
    }
    return true;
}

int jp2_reduce(Jp2Decoder* j, uint32_t r) { return jp2_set_reduction(j, r); }
void jp2_layers(Jp2Decoder* j, uint32_t n) { (void)jp2_set_layers(j, n); }
int jp2_region(Jp2Decoder* j, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    return jp2_set_region(j, x0, y0, x1, y1);
}

void decode_codestream(MemOps* ops, Stream* s, const LessOptions& o) {
    jpcdec* d = jpcdec_create(ops, s);
    if (!d) return;
    if (jpcdec_parse(d) &&
        apply_less<jpcdec>(d, o, jpcdec_set_reduction, jpcdec_set_layers, jpcdec_set_region,
                           jpcdec_get_size)) {
        uint32_t w, h;
        jpcdec_get_size(d, &w, &h);
        const uint32_t offsets[3] = {2, 1, 0};
        const uint32_t rows = rows_to_decode(w, h);
        if (rows > 0 && jpcdec_set_output(d, 3, offsets, 3)) {
            std::vector<uint8_t> row(size_t(w) * 3 + 1);
            for (uint32_t y = 0; y < rows; y++) check(jpcdec_decode_row(d, row.data()) == 1);
            if (rows == h) check(jpcdec_decode_row(d, row.data()) == 0);
            jpcdec_finish_output(d);
        }
    }
    jpcdec_destroy(d);
}

void decode_jp2(MemOps* ops, Stream* s, const LessOptions& o) {
    Jp2Decoder* j = jp2_create(ops, s);
    if (!j) return;
    if (jp2_parse(j) &&
        apply_less<Jp2Decoder>(j, o, jp2_reduce, jp2_layers, jp2_region, jp2_get_size)) {
        uint32_t w, h;
        jp2_get_size(j, &w, &h);
        jp2_set_colour_conversion(j, 1);
        const uint32_t offsets[3] = {2, 1, 0};
        const uint32_t rows = rows_to_decode(w, h);
        if (rows > 0 && jp2_set_output(j, 3, offsets, 3)) {
            std::vector<uint8_t> row(size_t(w) * 3 + 1);
            for (uint32_t y = 0; y < rows; y++) check(jp2_decode_row(j, row.data()) == 1);
            jp2_finish_output(j);
        }
    }
    jp2_destroy(j);
}

}  // namespace

void fuzz_decode_whole(const uint8_t* data, size_t size, int jp2) {
    if (size > UINT32_MAX) return;
    MemOps* ops = memops_create_with_budget(kFuzzBudget);
    if (!ops) return;
    Stream* s = memory_stream_create(ops, data, static_cast<uint32_t>(size));
    if (s) {
        const LessOptions o = less_options(data, size);
        if (jp2) decode_jp2(ops, s, o);
        else decode_codestream(ops, s, o);
        s->close(s);
    }
    check(memops_in_use(ops) == 0);  // everything the decoders made is gone again
    ops->release(ops);
}
