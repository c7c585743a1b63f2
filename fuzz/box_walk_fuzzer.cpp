// The JP2 box walk on its own (no codestream decoding): top-level boxes and header sub-boxes
// straight from the input, as if the signature box had just been read.
#include <cstdlib>

#include "io/mem_ops.h"
#include "io/stream.h"
#include "jp2/jp2_impl.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 24)) return 0;
    MemOps* ops = memops_create_with_budget(uint64_t(64) << 20);
    Stream* s = memory_stream_create(ops, data, static_cast<uint32_t>(size));
    Jp2Decoder* j = jp2_create(ops, s);
    if (j) {
        (void)jp2_parse_boxes(j);
        jp2_destroy(j);
    }
    s->close(s);
    if (memops_in_use(ops) != 0) std::abort();  // every record of the walk is released
    ops->release(ops);
    return 0;
}
