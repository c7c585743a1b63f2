#ifndef DRAVEX_STREAM_H
#define DRAVEX_STREAM_H
// Stream: input as a table of five operations plus the owner table.
//   Stream* s = file_stream_open(ops, "a.j2k");   // null: missing/empty path or open failure
//   s->read(s, buf, n);  s->close(s);              // close frees the record through its owner
// Every operation takes the stream first. read returns 1 only when exactly n bytes arrived.
// A caller may fill its own table over any backing store.
#include <stdint.h>

#include "dravex/export.h"
#include "dravex/mem_ops.h"

DRAVEX_BEGIN_DECLS

typedef struct Stream Stream;
struct Stream {
    uint64_t (*size)(Stream* s);                  // total bytes of the backing store
    uint64_t (*tell)(Stream* s);                  // current absolute position
    int (*seek)(Stream* s, uint64_t pos);         // 1 done, 0 failed
    int (*read)(Stream* s, void* buf, uint32_t n);// 1 only if exactly n bytes were delivered
    void (*close)(Stream* s);                     // releases the resource and the record
    MemOps* owner;
};

// A file opened for binary reading; null when the path is missing or empty or the open fails.
DRAVEX_NODISCARD DRAVEX_API Stream* file_stream_open(MemOps* ops, const char* path);
// Reads a caller-owned block, positioned at 0; the block is never freed or changed and must
// outlive the stream.
DRAVEX_NODISCARD DRAVEX_API Stream* memory_stream_create(MemOps* ops, const uint8_t* data,
                                                         uint32_t length);

// Format probes: 1 when the next bytes are FF 4F (codestream SOC) or the 12-byte JP2
// signature box. Both leave the stream position where it was.
DRAVEX_NODISCARD DRAVEX_API int jpc_check_soc(Stream* s);
DRAVEX_NODISCARD DRAVEX_API int jp2_check_signature(Stream* s);

DRAVEX_END_DECLS

#endif
