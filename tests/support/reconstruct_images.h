#pragma once
// Reference images (PGX, PNM) and full-precision decodes through the public decoder API.
#include <cstdint>
#include <string>
#include <vector>

namespace rec_test {

struct Plane {
    uint32_t width = 0, height = 0;
    std::vector<int32_t> samples;  // row-major
    int32_t at(uint32_t x, uint32_t y) const { return samples[size_t(y) * width + x]; }
};

bool read_file(const std::string& path, std::vector<uint8_t>* out);
// PGX (one component, big-endian) or PNM (P2, P5 or P6, one plane per channel) by extension,
// appended to *out.
bool read_pgx(const std::string& path, Plane* out);
bool read_pnm(const std::string& path, std::vector<Plane>* out);
bool read_image(const std::string& path, std::vector<Plane>* out);

// The components of a raw codestream at full precision, each at its own size; the origin and
// sub-sampling come from its SIZ segment.
struct Decoded {
    uint32_t x0 = 0, y0 = 0;
    std::vector<Plane> components;
    std::vector<uint8_t> xr, yr;
};
// At most `count` components, after the first `layers` layers (0: all); false when the decoder
// refuses the stream or its rows.
bool decode(const std::vector<uint8_t>& bytes, uint32_t count, Decoded* out,
            uint32_t layers = 0);

// $DRAVEX_CORPUS, else the build's default; empty when absent.
std::string corpus_dir();

}  // namespace rec_test
