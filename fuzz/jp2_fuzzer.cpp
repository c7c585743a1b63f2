// Whole JP2 decode: box walk, codestream parse, channel mapping and every output row.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_decode_whole(data, size, 1);
    return 0;
}
