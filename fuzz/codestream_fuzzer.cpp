// Codestream decode: parse, then the output rows.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_decode_whole(data, size, 0);
    return 0;
}
