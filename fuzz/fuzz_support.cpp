#include "fuzz/fuzz_support.h"

#include <cstdlib>
#include <vector>

#include "codestream/jpcdec.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "jp2/jp2_decoder.h"

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

void decode_codestream(MemOps* ops, Stream* s) {
    jpcdec* d = jpcdec_create(ops, s);
    if (!d) return;
    if (jpcdec_parse(d)) {
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

void decode_jp2(MemOps* ops, Stream* s) {
    Jp2Decoder* j = jp2_create(ops, s);
    if (!j) return;
    if (jp2_parse(j)) {
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
        if (jp2) decode_jp2(ops, s);
        else decode_codestream(ops, s);
        s->close(s);
    }
    check(memops_in_use(ops) == 0);  // everything the decoders made is gone again
    ops->release(ops);
}
