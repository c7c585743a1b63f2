#include "support/app_tool.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace app_test {

ToolResult run_tool(const std::vector<std::string>& args, uint64_t file_size_limit) {
    ToolResult result{-1, "", 0};
    int pipe_fd[2];
    if (pipe(pipe_fd) != 0) return result;
    std::vector<char*> argv;
    std::string tool = DRAVEX_TOOL_PATH;
    argv.push_back(tool.data());
    std::vector<std::string> copies(args);
    for (auto& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        close(pipe_fd[0]);
        close(pipe_fd[1]);
        return result;
    }
    if (pid == 0) {
        int null_fd = open("/dev/null", O_RDONLY);
        if (null_fd >= 0) dup2(null_fd, 0);
        if (file_size_limit) {
            // As `ulimit -f` does: the tool itself must turn the signal into a failed write.
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(file_size_limit);
            setrlimit(RLIMIT_FSIZE, &lim);
        }
        dup2(pipe_fd[1], 1);
        close(pipe_fd[0]);
        close(pipe_fd[1]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipe_fd[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fd[0], buf, sizeof buf)) > 0) result.out.append(buf, static_cast<size_t>(n));
    close(pipe_fd[0]);
    int status = 0;
    struct rusage usage;
    std::memset(&usage, 0, sizeof usage);
    if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    result.max_rss_kb = usage.ru_maxrss;
    return result;
}

int run_with_file_size_limit(uint64_t file_size_limit, int (*fn)(void* ctx), void* ctx) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim;
        lim.rlim_cur = lim.rlim_max = static_cast<rlim_t>(file_size_limit);
        if (setrlimit(RLIMIT_FSIZE, &lim) != 0) _exit(200);
        _exit(fn(ctx) & 0xFF);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

ScratchDir::ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && base[0] ? base : "/tmp") + "/dravex-app-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    if (mkdtemp(name.data())) path_ = name.data();
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
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

std::string source_path(const std::string& relative) {
    return std::string(DRAVEX_SOURCE_DIR) + "/" + relative;
}

std::string data_path(const std::string& name) { return source_path("tests/data/" + name); }

namespace {

// Next header number of a PNM file, skipping white space and comment lines.
bool pnm_number(const std::vector<uint8_t>& f, size_t* at, uint32_t* out) {
    size_t i = *at;
    for (;;) {
        while (i < f.size() && std::isspace(f[i])) i++;
        if (i < f.size() && f[i] == '#') {
            while (i < f.size() && f[i] != '\n') i++;
            continue;
        }
        break;
    }
    uint64_t v = 0;
    size_t digits = 0;
    while (i < f.size() && f[i] >= '0' && f[i] <= '9' && digits < 9) v = v * 10 + (f[i++] - '0'), digits++;
    if (digits == 0) return false;
    *out = static_cast<uint32_t>(v);
    *at = i;
    return true;
}

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }
uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

}  // namespace

bool read_pnm(const std::string& path, Pnm* out) {
    std::vector<uint8_t> f = read_file(path);
    if (f.size() < 3 || f[0] != 'P' || (f[1] != '5' && f[1] != '6')) return false;
    out->channels = f[1] == '5' ? 1 : 3;
    size_t at = 2;
    uint32_t maxval;
    if (!pnm_number(f, &at, &out->width) || !pnm_number(f, &at, &out->height) ||
        !pnm_number(f, &at, &maxval) || maxval != 255 || at >= f.size())
        return false;
    at++;  // the single white-space byte before the samples
    uint64_t n = uint64_t(out->width) * out->height * out->channels;
    if (f.size() - at != n) return false;
    out->samples.assign(f.begin() + static_cast<long>(at), f.end());
    return true;
}

bool parse_bmp_header(const std::vector<uint8_t>& f, BmpHeader* h) {
    if (f.size() < 54) return false;
    const uint8_t* p = f.data();
    h->type = le16(p);
    h->file_size = le32(p + 2);
    h->reserved = le32(p + 6);
    h->off_bits = le32(p + 10);
    h->info_size = le32(p + 14);
    h->width = static_cast<int32_t>(le32(p + 18));
    h->height = static_cast<int32_t>(le32(p + 22));
    h->planes = le16(p + 26);
    h->bit_count = le16(p + 28);
    h->compression = le32(p + 30);
    h->image_size = le32(p + 34);
    h->x_ppm = le32(p + 38);
    h->y_ppm = le32(p + 42);
    h->clr_used = le32(p + 46);
    h->clr_important = le32(p + 50);
    return true;
}

void bmp_pixel(const std::vector<uint8_t>& f, uint32_t x, uint32_t y, uint8_t rgb[3]) {
    uint32_t width = le32(f.data() + 18), height = le32(f.data() + 22);
    uint64_t stride = (uint64_t(width) * 3 + 3) & ~uint64_t(3);
    const uint8_t* px = f.data() + 54 + (height - 1 - y) * stride + uint64_t(x) * 3;
    rgb[0] = px[2];
    rgb[1] = px[1];
    rgb[2] = px[0];
}

}  // namespace app_test
