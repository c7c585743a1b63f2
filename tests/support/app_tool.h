#pragma once
// Helpers for the tests that run the built tool: the run, scratch directories, files, images
// read back, and small generated codestreams.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace app_test {

struct ToolResult {
    int exit_code;      // 0..255 as the shell sees it (-1 shows as 255); -1 if it did not exit
    std::string out, err;
    int signal;         // the signal that ended it, or 0 (SIGALRM: it ran past its time)
    long max_rss_kb;    // peak resident memory of the child
    double seconds;     // processor time of the child (other work on the machine barely moves it)
};

// Runs the built tool with these arguments. A non-zero file_size_limit caps every file it
// writes, as `ulimit -f` does; a non-zero timeout ends the run with SIGALRM.
ToolResult run_tool(const std::vector<std::string>& args, uint64_t file_size_limit = 0,
                    unsigned timeout_seconds = 0);

// A fresh temporary directory, removed with its files at scope exit.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> names() const;  // its entries, sorted

private:
    std::string path_;
};

bool file_exists(const std::string& path);
std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

std::string source_path(const std::string& relative);  // in the source tree
std::string data_path(const std::string& name);        // in tests/data
std::string corpus_dir(const char* sub);  // $DRAVEX_CORPUS or ../shared/corpus, then sub; "" when absent

// One component of an image file, whatever its format.
struct Plane {
    uint32_t w = 0, h = 0, depth = 8;
    bool is_signed = false;
    std::vector<int32_t> s;  // row by row
};
// Appends the components of a PGX, binary PGM/PPM (8 or 16 bits) or 24-bit bitmap (red, green,
// blue). Strict: exactly what the header announces, a bitmap's header fields and fill as written.
bool read_planes(const std::string& path, std::vector<Plane>* planes);

// Binary 8-bit PGM or PPM, samples interleaved.
struct Pnm {
    uint32_t width = 0, height = 0, channels = 0;
    std::vector<uint8_t> samples;
};
bool read_pnm(const std::string& path, Pnm* out);

struct BmpHeader {
    uint16_t type;
    uint32_t file_size, reserved, off_bits, info_size;
    int32_t width, height;
    uint16_t planes, bit_count;
    uint32_t compression, image_size, x_ppm, y_ppm, clr_used, clr_important;
};
bool parse_bmp_header(const std::vector<uint8_t>& file, BmpHeader* out);

// Pixel (x, y) of a 24-bit bitmap file, y counted from the top: {red, green, blue}.
void bmp_pixel(const std::vector<uint8_t>& file, uint32_t x, uint32_t y, uint8_t rgb[3]);

// A codestream of one tile (or square tiles of `tile`), 8-bit unsigned components, 5/3 without
// quantisation (or 9/7, derived steps), `comment_bytes` of COM segments, then one tile-part of
// `packets` for tile 0 (82 bytes with the defaults).
struct StreamSpec {
    StreamSpec(uint32_t w = 64, uint32_t h = 64, uint32_t t = 0, uint16_t comps = 1, uint8_t lv = 0,
               uint8_t cb_exp = 4, uint16_t lay = 1, bool irr = false, std::vector<uint8_t> pp = {})
        : width(w), height(h), tile(t), components(comps), levels(lv), cb(cb_exp), layers(lay),
          irreversible(irr), precincts(std::move(pp)) {}
    uint32_t width, height, tile;  // tile 0: the image's size
    uint16_t components;
    uint8_t levels, cb;            // code-block exponent as coded (2^(cb + 2))
    uint16_t layers;
    bool irreversible;
    std::vector<uint8_t> precincts;  // PPx | PPy << 4 per resolution, or default
    uint8_t subsampling = 1;
    size_t comment_bytes = 0;
    std::vector<uint8_t> packets = {0};  // one empty packet
};
std::vector<uint8_t> codestream(const StreamSpec& spec);

}  // namespace app_test
