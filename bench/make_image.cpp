// Writes a natural-looking test picture as binary PPM (P6) or PGM (P5): several octaves of
// smooth value noise for texture, a few soft-edged shapes for edges, and mild grain, so the
// encoder sees the mix of smooth areas and detail that photographs have.
//   make_image WIDTH HEIGHT out.ppm|out.pgm [seed]
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

uint32_t hash(uint32_t x, uint32_t y, uint32_t seed) {
    uint32_t h = x * 374761393u + y * 668265263u + seed * 2246822519u;
    h = (h ^ (h >> 13)) * 1274126177u;
    return h ^ (h >> 16);
}

double lattice(int x, int y, uint32_t seed) { return (hash(x, y, seed) & 0xFFFF) / 65535.0; }

double smooth_noise(double x, double y, uint32_t seed) {
    int xi = static_cast<int>(std::floor(x)), yi = static_cast<int>(std::floor(y));
    double fx = x - xi, fy = y - yi;
    double sx = fx * fx * (3 - 2 * fx), sy = fy * fy * (3 - 2 * fy);
    double a = lattice(xi, yi, seed), b = lattice(xi + 1, yi, seed);
    double c = lattice(xi, yi + 1, seed), d = lattice(xi + 1, yi + 1, seed);
    return (a + (b - a) * sx) * (1 - sy) + (c + (d - c) * sx) * sy;
}

double fractal(double x, double y, uint32_t seed) {
    double sum = 0, amp = 0.5, freq = 1.0 / 256;
    for (int o = 0; o < 7; o++) {
        sum += amp * smooth_noise(x * freq, y * freq, seed + o * 17);
        amp *= 0.5;
        freq *= 2;
    }
    return sum;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_image WIDTH HEIGHT out.ppm|out.pgm [seed]\n");
        return 1;
    }
    const int w = std::atoi(argv[1]), h = std::atoi(argv[2]);
    const char* path = argv[3];
    const uint32_t seed = argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 7;
    const size_t len = std::strlen(path);
    const bool grey = len > 4 && std::strcmp(path + len - 4, ".pgm") == 0;
    const int channels = grey ? 1 : 3;
    FILE* f = std::fopen(path, "wb");
    if (!f || w <= 0 || h <= 0) return 1;
    std::fprintf(f, "P%d\n%d %d\n255\n", grey ? 5 : 6, w, h);
    std::vector<uint8_t> row(static_cast<size_t>(w) * channels);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            double base = fractal(x, y, seed);
            // Soft discs and a diagonal band give the picture real edges.
            double shape = 0;
            for (int k = 0; k < 6; k++) {
                double cx = w * (0.15 + 0.14 * k), cy = h * (0.3 + 0.08 * ((k * 5) % 7));
                double r = w * 0.07 * (1 + (k % 3));
                double dist = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
                shape += 0.25 / (1 + std::exp((dist - r) / 2.0)) * ((k & 1) ? 1 : -1);
            }
            double band = 0.15 / (1 + std::exp(-((x - y * 0.7 - w * 0.2) / 3.0)));
            double grain = ((hash(x, y, seed ^ 0xABCD) & 0xFF) / 255.0 - 0.5) * 0.03;
            for (int c = 0; c < channels; c++) {
                double tint = grey ? 0 : 0.25 * (fractal(x + 1000.0 * (c + 1), y, seed + 99) - 0.5);
                double v = base + shape + band + grain + tint;
                int iv = static_cast<int>(std::lround(v * 255));
                row[static_cast<size_t>(x) * channels + c] =
                    static_cast<uint8_t>(iv < 0 ? 0 : iv > 255 ? 255 : iv);
            }
        }
        if (std::fwrite(row.data(), 1, row.size(), f) != row.size()) return 1;
    }
    return std::fclose(f) == 0 ? 0 : 1;
}
