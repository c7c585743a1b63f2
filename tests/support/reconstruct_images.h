#pragma once
// Reference images for the reconstruction tests: PGX (one component, any depth) and PNM
// (P2, P5, P6; 8- or 16-bit), and a helper that decodes a codestream file into per-component
// sample planes through jpcdec_row_samples.
#include <cstdint>
#include <string>
#include <vector>

namespace rec_test {

// One image plane: samples row-major, width x height.
struct Plane {
    uint32_t width = 0, height = 0;
    std::vector<int32_t> samples;
    int32_t at(uint32_t x, uint32_t y) const { return samples[size_t(y) * width + x]; }
};

// Reads a PGX file; empty optional-like result (width 0) and a message on failure.
bool read_pgx(const std::string& path, Plane* out, std::string* error);
// Reads a PNM file into one plane per channel (1 for P2/P5, 3 for P6).
bool read_pnm(const std::string& path, std::vector<Plane>* out, std::string* error);
// Whole file into bytes; false when it cannot be read.
bool read_file(const std::string& path, std::vector<uint8_t>* out);

// The decoded components of a codestream at full precision, each at its own (sub-sampled)
// size, assembled tile by tile from jpcdec_row_samples.
struct Decoded {
    uint32_t width = 0, height = 0;     // image area
    uint32_t x0 = 0, y0 = 0;            // its origin on the reference grid
    std::vector<Plane> components;      // the first `count` components
    std::vector<uint8_t> xr, yr;        // their sub-sampling
    std::vector<uint8_t> precision, is_signed;
    std::vector<uint8_t> reversible;    // 1 when every tile codes the component with 5/3
    double seconds = 0;                 // parse + decode
};
// Decodes `bytes` (a raw codestream) with at most `count` output components; false with a
// message when the parse or the output set-up fails.
bool decode_codestream(const std::vector<uint8_t>& bytes, uint32_t count, Decoded* out,
                       std::string* error);
// The bytes the tool puts in its bitmap rows: three components at offsets {2, 1, 0} of 3-byte
// pixels, a single component copied into all three. rows: height x width x 3, top row first.
bool decode_bgr_rows(const std::vector<uint8_t>& bytes, std::vector<uint8_t>* rows,
                     uint32_t* width, uint32_t* height, std::string* error);

// Directory of the corpus: $DRAVEX_CORPUS, else the build's default; empty when absent.
std::string corpus_dir();

}  // namespace rec_test
