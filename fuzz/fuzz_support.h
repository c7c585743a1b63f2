#pragma once
// Shared by the fuzz targets and the replay driver: decode an input held in memory.
#include <cstddef>
#include <cstdint>

// Runs parse and the output rows of a codestream (jp2 = 0) or a JP2 file (jp2 = 1) over a
// MemoryStream, under a memory budget (rows of a large image only as far as a few hundred
// thousand samples), with options for decoding less picked by the input's last byte. Aborts (a fuzz finding) when a property is broken: after a successful
// parse every row call must return 1, and nothing may stay allocated.
void fuzz_decode_whole(const uint8_t* data, size_t size, int jp2);
