#pragma once
// Full-precision output of a decoded codestream, chosen by the destination's name:
//   x.pgx  one PGX file per component, x_0.pgx, x_1.pgx, ... ("PG ML +|- depth width height\n",
//          then big-endian samples, 1 byte up to 8 bits, else 2), each at its own size
//   x.pgm  binary PGM of an image of one component, x.ppm binary PPM of three; 16-bit
//          big-endian samples above 8 bits, maxval 2^depth - 1
// Rows are written as they are decoded, so memory follows the width, never the height, and
// every file appears only whole (app/output_file.h).
#include <cstdint>
#include <string>

struct jpcdec;

enum class SampleFormat { kNone, kPgx, kPgm, kPpm };

// The format a destination name asks for (by its extension, in any case); kNone: a bitmap.
SampleFormat sample_format_of(const char* path);

// The file that component (PGX) or image (PNM) `file` goes to.
std::string sample_file_name(SampleFormat format, const char* path, uint16_t file);

enum class SampleResult { kWritten, kRefused, kSaveFailed, kInputFailed };

// Checks that the image fits the format and returns the bytes the output takes (0 when it
// does not fit, with *refusal set to a one-line reason). Nothing is decoded or written.
uint64_t sample_output_size(jpcdec* d, SampleFormat format, const char** refusal);

// Decodes every row of d (parsed, output not yet set up) into the files for `path`.
SampleResult write_samples(jpcdec* d, SampleFormat format, const char* path);
