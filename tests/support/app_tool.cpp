#include "support/app_tool.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace app_test {

ToolResult run_tool(const std::vector<std::string>& args, uint64_t file_size_limit,
                    unsigned timeout_seconds) {
    ToolResult result{-1, "", "", 0, 0, 0};
    std::vector<std::string> copies(args);
    copies.insert(copies.begin(), DRAVEX_TOOL_PATH);
    std::vector<char*> argv;
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return result;
    FILE* err_file = std::tmpfile();  // a file, so that neither stream can block the other
    const pid_t pid = err_file ? fork() : -1;
    if (pid == 0) {
        const struct rlimit lim = {rlim_t(file_size_limit), rlim_t(file_size_limit)};
        if (file_size_limit) setrlimit(RLIMIT_FSIZE, &lim);
        dup2(out_pipe[1], 1), dup2(fileno(err_file), 2);
        close(out_pipe[0]), close(out_pipe[1]);
        if (timeout_seconds) alarm(timeout_seconds);  // kept across exec; the tool leaves it be
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    char buf[4096];
    ssize_t n;
    while (pid > 0 && (n = read(out_pipe[0], buf, sizeof buf)) > 0) result.out.append(buf, size_t(n));
    close(out_pipe[0]);
    int status = 0;
    struct rusage usage {};
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
        if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    }
    result.max_rss_kb = usage.ru_maxrss;
    result.seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    if (err_file) {
        std::rewind(err_file);
        while ((n = ssize_t(std::fread(buf, 1, sizeof buf, err_file))) > 0) result.err.append(buf, size_t(n));
        std::fclose(err_file);
    }
    return result;
}

ScratchDir::ScratchDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "dravex-app-XXXXXX").string();
    if (mkdtemp(templ.data())) path_ = templ;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> ScratchDir::names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_)) out.push_back(e.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string source_path(const std::string& relative) { return std::string(DRAVEX_SOURCE_DIR) + "/" + relative; }
std::string data_path(const std::string& name) { return source_path("tests/data/" + name); }

std::string corpus_dir(const char* sub) {
    const char* env = std::getenv("DRAVEX_CORPUS");
    const std::string dir = std::string(env && env[0] ? env : DRAVEX_CORPUS_DEFAULT) + "/" + sub;
    std::error_code ec;
    return std::filesystem::is_directory(dir, ec) ? dir : "";
}

namespace {

// Next header number of a PNM or PGX file, skipping white space and comment lines.
bool header_number(const std::vector<uint8_t>& f, size_t* at, uint32_t* out) {
    size_t i = *at, digits = 0;
    while (i < f.size() && (std::isspace(f[i]) || f[i] == '#'))
        for (const bool comment = f[i++] == '#'; comment && i < f.size() && f[i - 1] != '\n';) i++;
    for (*out = 0; i < f.size() && f[i] >= '0' && f[i] <= '9' && digits < 9; digits++) *out = *out * 10 + (f[i++] - '0');
    *at = i;
    return digits > 0;
}

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool read_planes(const std::string& path, std::vector<Plane>* planes) {
    const std::vector<uint8_t> f = read_file(path);
    BmpHeader b;
    if (f.size() >= 54 && f[0] == 'B' && parse_bmp_header(f, &b)) {
        const uint64_t stride = (uint64_t(uint32_t(b.width)) * 3 + 3) & ~uint64_t(3), size = stride * uint32_t(b.height);
        if (b.type != 0x4D42 || b.file_size != f.size() || b.reserved || b.off_bits != 54 || b.info_size != 40 ||
            b.planes != 1 || b.bit_count != 24 || b.compression || b.image_size != size || f.size() != 54 + size ||
            b.x_ppm || b.y_ppm || b.clr_used || b.clr_important)
            return false;
        const uint32_t w = uint32_t(b.width), h = uint32_t(b.height);
        std::vector<Plane> rgb(3, Plane{w, h, 8, false, {}});
        for (uint32_t y = 0; y < h; y++) {
            const uint8_t* row = f.data() + 54 + (h - 1 - y) * stride;  // bottom-up, blue-green-red
            for (uint32_t x = 0; x < w; x++)
                for (int k = 0; k < 3; k++) rgb[k].s.push_back(row[3 * x + 2 - k]);
            if (std::any_of(row + 3 * uint64_t(w), row + stride, [](uint8_t v) { return v != 0; })) return false;
        }
        planes->insert(planes->end(), rgb.begin(), rgb.end());
        return true;
    }
    Plane p;
    uint32_t channels = 1, max = 0;
    size_t at = 2;
    if (f.size() > 7 && f[0] == 'P' && f[1] == 'G' && (f[6] == '+' || f[6] == '-')) {  // "PG ML +"
        p.is_signed = f[6] == '-';
        at = 7;
        if (!header_number(f, &at, &p.depth) || !header_number(f, &at, &p.w) || !header_number(f, &at, &p.h)) return false;
    } else if (f.size() > 2 && f[0] == 'P' && (f[1] == '5' || f[1] == '6')) {
        channels = f[1] == '5' ? 1 : 3;
        if (!header_number(f, &at, &p.w) || !header_number(f, &at, &p.h) || !header_number(f, &at, &max) ||
            (max & (max + 1)) != 0 || max == 0)
            return false;
        for (p.depth = 0; max >> p.depth; p.depth++) {}
    } else return false;
    const uint32_t bytes = p.depth <= 8 ? 1 : 2;
    if (++at + uint64_t(p.w) * p.h * channels * bytes != f.size()) return false;  // one white-space byte
    std::vector<Plane> out(channels, p);
    for (size_t n = 0; n < size_t(p.w) * p.h; n++) {
        for (Plane& c : out) {
            const int32_t v = bytes == 2 ? f[at] << 8 | f[at + 1] : f[at];
            c.s.push_back(p.is_signed && v >= 1 << (p.depth - 1) ? v - (1 << p.depth) : v), at += bytes;
        }
    }
    planes->insert(planes->end(), out.begin(), out.end());
    return true;
}

bool read_pnm(const std::string& path, Pnm* out) {
    std::vector<Plane> planes;
    const std::vector<uint8_t> f = read_file(path);
    if (f.size() < 2 || f[0] != 'P' || (f[1] != '5' && f[1] != '6') || !read_planes(path, &planes) || planes[0].depth != 8)
        return false;
    *out = Pnm{planes[0].w, planes[0].h, uint32_t(planes.size()), {}};
    for (size_t i = 0; i < planes[0].s.size(); i++)
        for (const Plane& p : planes) out->samples.push_back(uint8_t(p.s[i]));
    return true;
}

bool parse_bmp_header(const std::vector<uint8_t>& f, BmpHeader* h) {
    const uint8_t* p = f.data();
    if (f.size() >= 54)
        *h = BmpHeader{le16(p), le32(p + 2), le32(p + 6), le32(p + 10), le32(p + 14),
                       int32_t(le32(p + 18)), int32_t(le32(p + 22)), le16(p + 26), le16(p + 28),
                       le32(p + 30), le32(p + 34), le32(p + 38), le32(p + 42), le32(p + 46), le32(p + 50)};
    return f.size() >= 54;
}

void bmp_pixel(const std::vector<uint8_t>& f, uint32_t x, uint32_t y, uint8_t rgb[3]) {
    const uint64_t stride = (uint64_t(le32(f.data() + 18)) * 3 + 3) & ~uint64_t(3);
    const uint8_t* px = f.data() + 54 + (le32(f.data() + 22) - 1 - y) * stride + uint64_t(x) * 3;
    rgb[0] = px[2], rgb[1] = px[1], rgb[2] = px[0];
}

std::vector<uint8_t> codestream(const StreamSpec& s) {
    std::vector<uint8_t> c;
    auto be = [&c](uint64_t v, int bytes) {
        while (bytes-- > 0) c.push_back(uint8_t(v >> (8 * bytes)));
    };
    auto segment = [&](uint16_t code, size_t body) { be(code, 2), be(body + 2, 2); };
    const uint32_t tile = s.tile ? s.tile : s.width, tile_h = s.tile ? s.tile : s.height;
    be(0xFF4F, 2);
    segment(0xFF51, 36 + 3 * size_t(s.components));
    be(0, 2);  // Rsiz
    for (uint32_t v : {s.width, s.height, 0u, 0u, tile, tile_h, 0u, 0u}) be(v, 4);
    be(s.components, 2);
    for (int k = 0; k < s.components; k++) c.insert(c.end(), {7, s.subsampling, s.subsampling});
    segment(0xFF52, 10 + s.precincts.size());
    c.insert(c.end(), {uint8_t(s.precincts.empty() ? 0 : 1), 0});
    be(s.layers, 2);
    c.insert(c.end(), {0, s.levels, s.cb, s.cb, 0, uint8_t(s.irreversible ? 0 : 1)});
    c.insert(c.end(), s.precincts.begin(), s.precincts.end());
    const size_t bands = 3 * size_t(s.levels) + 1;
    if (s.irreversible) {
        segment(0xFF5C, 3);
        c.push_back(0x41), be(10 << 11, 2);  // two guard bits, one step derived for every band
    } else {
        segment(0xFF5C, 1 + bands);
        c.push_back(0x40), c.insert(c.end(), bands, 8 << 3);  // two guard bits, exponent 8
    }
    for (size_t left = s.comment_bytes; left > 0;) {
        const size_t n = std::min<size_t>(left, 65000);
        segment(0xFF64, 2 + n), be(1, 2), c.insert(c.end(), n, 'x');
        left -= n;
    }
    segment(0xFF90, 8), be(0, 2), be(12 + 2 + s.packets.size(), 4), c.insert(c.end(), {0, 1});
    be(0xFF93, 2);
    c.insert(c.end(), s.packets.begin(), s.packets.end());
    be(0xFFD9, 2);
    return c;
}

}  // namespace app_test
