#pragma once
// The codestream decoder's calling interface is dravex/jpcdec.h; this adds what only the
// library itself uses.
#include "dravex/jpcdec.h"
#include "io/byte_reader.h"
#include "io/mem_ops.h"
#include "io/stream.h"

namespace dravex {

// Reads through a reader owned by the caller (the JP2 decoder), from its current position.
[[nodiscard]] jpcdec* jpcdec_create_on_reader(MemOps* ops, ByteReader* reader);

}  // namespace dravex
