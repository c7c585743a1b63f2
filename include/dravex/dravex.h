#ifndef DRAVEX_DRAVEX_H
#define DRAVEX_DRAVEX_H
// The whole calling interface of the dravex JPEG 2000 decoder, usable from C and C++:
// the allocator table (mem_ops.h), input streams and the format probes (stream.h), the
// codestream decoder (jpcdec.h) and the JP2 decoder (jp2_decoder.h).
#include "dravex/jp2_decoder.h"
#include "dravex/jpcdec.h"
#include "dravex/mem_ops.h"
#include "dravex/stream.h"

#endif
