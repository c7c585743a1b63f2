#pragma once
// The two streams of the library (the Stream table, its constructors and the format probes
// are the calling interface, in dravex/stream.h). A MemoryStream reads a caller-owned block
// and never frees or changes it.
#include <cstdint>
#include <cstdio>

#include "dravex/stream.h"
#include "io/mem_ops.h"

namespace dravex {

struct FileStream {
    Stream base;
    FILE* handle;
};

struct MemoryStream {
    Stream base;
    const uint8_t* data;
    uint32_t length;
    uint32_t position;
};

// Fills a caller-owned MemoryStream record in place (no allocation); close() must not be
// called on it. Used where a stream lives only for one call (tier-1 segments, tests).
void memory_stream_init(MemoryStream* ms, const uint8_t* data, uint32_t length);

}  // namespace dravex
