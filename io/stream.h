#pragma once
// Stream: input as a table of five operations plus the owner table.
//   Stream* s = file_stream_open(ops, "a.j2k");   // nullptr: missing/empty path or open failure
//   s->read(s, buf, n);  s->close(s);              // close frees the record through its owner
// Every operation takes the stream first. read returns 1 only when exactly n bytes arrived.
// A MemoryStream reads a caller-owned block and never frees or changes it.
#include <cstdint>
#include <cstdio>

#include "io/mem_ops.h"

struct Stream {
    uint64_t (*size)(Stream* s);                  // total bytes of the backing store
    uint64_t (*tell)(Stream* s);                  // current absolute position
    int (*seek)(Stream* s, uint64_t pos);         // 1 done, 0 failed
    int (*read)(Stream* s, void* buf, uint32_t n);// 1 only if exactly n bytes were delivered
    void (*close)(Stream* s);                     // releases the resource and the record
    MemOps* owner;
};

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

[[nodiscard]] Stream* file_stream_open(MemOps* ops, const char* path);
[[nodiscard]] Stream* memory_stream_create(MemOps* ops, const uint8_t* data, uint32_t length);
// Fills a caller-owned MemoryStream record in place (no allocation); close() must not be
// called on it. Used where a stream lives only for one call (tier-1 segments, tests).
void memory_stream_init(MemoryStream* ms, const uint8_t* data, uint32_t length);

// Format probes: 1 when the next bytes are FF 4F (codestream SOC) or the 12-byte JP2
// signature box. Both leave the stream position where it was.
[[nodiscard]] int jpc_check_soc(Stream* s);
[[nodiscard]] int jp2_check_signature(Stream* s);
