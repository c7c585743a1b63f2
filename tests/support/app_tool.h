#pragma once
// Helpers for the tool's and the bitmap writer's tests: run the built tool as a process,
// scratch directories, whole-file reads, PNM fixtures and bitmap headers.
#include <cstdint>
#include <string>
#include <vector>

namespace app_test {

struct ToolResult {
    int exit_code;      // 0..255 as the shell sees it (-1 shows as 255); -1 if it did not exit
    std::string out;    // everything written to standard output
    long max_rss_kb;    // peak resident memory of the child; includes the forked copy of the
                        // caller before exec, so it is only a ceiling, never below the caller
};

// Runs the built tool with exactly these arguments (argv[0] is the tool path). A non-zero
// file_size_limit caps every file the tool writes, as `ulimit -f` does (the tool must turn the
// signal that follows into a failed write).
ToolResult run_tool(const std::vector<std::string>& args, uint64_t file_size_limit = 0);

// Runs fn in a child process whose writes fail past file_size_limit bytes; returns fn's
// result (0..255), or -1 when the child did not exit normally.
int run_with_file_size_limit(uint64_t file_size_limit, int (*fn)(void* ctx), void* ctx);

// A fresh directory under the system's temporary directory, removed with its files on scope
// exit.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool file_exists(const std::string& path);
std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& bytes);

// Source tree paths (samples/, tests/data/), and a committed fixture in tests/data.
std::string source_path(const std::string& relative);
std::string data_path(const std::string& name);

// Binary PGM (P5) or PPM (P6), 8-bit. Samples are interleaved, `channels` per pixel.
struct Pnm {
    uint32_t width = 0, height = 0, channels = 0;
    std::vector<uint8_t> samples;
};
bool read_pnm(const std::string& path, Pnm* out);

// The fields of a 54-byte bitmap header, read little-endian.
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

}  // namespace app_test
