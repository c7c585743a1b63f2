// The command-line tool run as a process: every argument, input and option in one table with
// the message and status it must give or the picture it must write; where the output may go and
// what may never be lost; and the bitmap writer's edges that no image reaches.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <tuple>

#include "app/bmp_writer.h"
#include "support/app_tool.h"

using app_test::Plane;
using app_test::ScratchDir;
using app_test::ToolResult;

namespace {

const char kSave[] = "Save to bmp failed.";
const char kSamePath[] = "The destination is the source file itself.";
constexpr int kFailed = 255;      // -1 as a process exit status

bool is_device(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

// The planes of an output or reference named x.ext; x_0.ext, x_1.ext, ... for x.pgx or x_0.pgx.
std::vector<Plane> load_all(const std::string& path) {
    std::vector<Plane> planes;
    std::string stem = path.substr(0, path.size() - 4), ext = path.substr(path.size() - 4);
    if (stem.size() > 2 && stem.compare(stem.size() - 2, 2, "_0") == 0) stem.resize(stem.size() - 2);
    if (ext != ".pgx" && ext != ".PGX") {
        EXPECT_TRUE(app_test::read_planes(path, &planes)) << path;
        return planes;
    }
    for (int k = 0; app_test::file_exists(stem + "_" + std::to_string(k) + ext); k++)
        EXPECT_TRUE(app_test::read_planes(stem + "_" + std::to_string(k) + ext, &planes)) << path << " " << k;
    return planes;
}

// Input files the test writes, by name (tests/data/tool holds the small ones that need no code).
std::map<std::string, std::vector<uint8_t>> generated_inputs() {
    // 1.5 million pixels wide and 1000 rows: 4.5 GB of bitmap
    app_test::StreamSpec big(37000, 37000), sub(37000, 37000, 0, 1, 5), long_rows(65536 * 23, 1000, 0, 1, 5), many(64, 64, 0, 33);
    sub.subsampling = long_rows.subsampling = 255;
    sub.packets = long_rows.packets = std::vector<uint8_t>(8, 0);
    // Inputs that once bought far more time or memory than they carry: padding raises no
    // allowance, an empty packet header costs a few steps whatever its precinct holds, and
    // components never output cost only what reading past their packets needs.
    app_test::StreamSpec layers(2048, 2048, 0, 1, 0, 0, 8192), blocks(11585, 11585, 0, 1, 0, 0),
        wide(2048, 1024, 0, 16384, 5, 4, 1, true), square(512, 512, 0, 16384, 5, 4, 1, true);
    layers.comment_bytes = 2 << 20;     // 262,144 blocks of 4 x 4 in one precinct, 8192 layers
    layers.packets.assign(8192, 0x80);  // "present, nothing new included"
    blocks.comment_bytes = 400 << 10;  // were they counted, the blocks would be allowed
    wide.packets.assign(16384 * 6, 0);
    square.packets.clear();
    for (int i = 0; i < 16384 * 6; i++) square.packets.insert(square.packets.end(), {0x80, 0x00});
    return {
        {"rgb_codestream.jp2", app_test::read_file(app_test::data_path("app_rgb_13x7.j2c"))},
        {"rgb_jp2.j2c", app_test::read_file(app_test::data_path("app_rgb_13x7.jp2"))},
        {"big.j2c", app_test::codestream(big)},  // 82 bytes declaring 37000 x 37000
        {"sub.j2c", app_test::codestream(sub)},  // as large, its one component sub-sampled 255 times
        {"long.j2c", app_test::codestream(long_rows)},
        {"many.j2c", app_test::codestream(many)},
        {"layers.j2c", app_test::codestream(layers)},
        {"blocks.j2c", app_test::codestream(blocks)},
        {"wide.j2c", app_test::codestream(wide)},
        {"square.j2c", app_test::codestream(square)},
    };
}

// The runs of tests/data/tool-runs.tsv (its head says how to read it).
struct Case {
    std::vector<std::string> args;
    std::string out, expect;
    int tolerance = 0;  // largest difference of a sample
};

std::vector<Case> read_cases() {
    std::ifstream in(app_test::data_path("tool-runs.tsv"));
    std::vector<Case> cases;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::vector<std::string> col;
        std::istringstream fields(line);
        for (std::string f; std::getline(fields, f, '\t');) col.push_back(f);
        col.resize(4);
        Case c;
        std::istringstream words(col[0]);
        for (std::string w; words >> w;) c.args.push_back(w == "''" ? "" : w);
        c.out = col[1].find("\\n") == std::string::npos ? col[1] : col[1].replace(col[1].find("\\n"), 2, "\n");
        c.expect = col[2];
        c.tolerance = std::atoi(col[3].c_str());
        cases.push_back(c);
    }
    EXPECT_GT(cases.size(), 50u);
    return cases;
}

std::vector<std::string> resolve(const std::vector<std::string>& args, const ScratchDir& inputs,
                                 const ScratchDir& run, std::vector<std::thread>* feeders) {
    std::vector<std::string> out;
    for (const std::string& a : args) {
        const std::string rest = a.empty() ? "" : a.substr(1);
        switch (a.empty() ? ' ' : a[0]) {
            case '@': out.push_back(app_test::data_path(rest)); break;
            case '$': out.push_back(app_test::source_path(rest)); break;
            case '^': out.push_back(inputs.file(rest)); break;
            case '%': out.push_back(run.file(rest)); break;
            case '|':
                out.push_back(inputs.file("pipe"));
                unlink(out.back().c_str());
                EXPECT_EQ(mkfifo(out.back().c_str(), 0600), 0);
                feeders->emplace_back([path = out.back(), rest] {
                    app_test::write_file(path, app_test::read_file(app_test::data_path(rest)));
                });
                break;
            default: out.push_back(a);
        }
    }
    return out;
}

ToolResult run_case(const std::vector<std::string>& args, const ScratchDir& inputs, const ScratchDir& dir) {
    std::vector<std::thread> feeders;
    ToolResult r = app_test::run_tool(resolve(args, inputs, dir, &feeders));
    for (auto& t : feeders) t.join();
    return r;
}

}  // namespace

TEST(Tool, RunsAsTheTableSays) {
    std::signal(SIGPIPE, SIG_IGN);
    ScratchDir inputs;
    for (const auto& [name, bytes] : generated_inputs()) app_test::write_file(inputs.file(name), bytes);
    for (const Case& c : read_cases()) {
        std::string dst, trace;
        for (const std::string& a : c.args) trace += a + " ", dst = !a.empty() && a[0] == '%' ? a : dst;
        SCOPED_TRACE(trace);
        ScratchDir dir;
        const ToolResult r = run_case(c.args, inputs, dir);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.out.empty() ? 0 : kFailed);
        // Every run ends quickly (processor time) in little memory; refusals come before a row is decoded.
#if defined(__SANITIZE_ADDRESS__)
        EXPECT_LT(r.seconds, 30.0);
#else
        EXPECT_LT(r.seconds, c.out.empty() ? 8.0 : 2.0);
        EXPECT_LT(r.max_rss_kb, 256L * 1024);
#endif
        if (!c.out.empty() || dst.empty()) {
            EXPECT_EQ(dir.names(), std::vector<std::string>{});  // nothing written, nothing left over
            continue;
        }
        std::vector<Plane> got = load_all(dir.file(dst.substr(1))), want;
        EXPECT_EQ(dir.names().size(), strcasecmp(dst.c_str() + dst.size() - 4, ".pgx") ? 1u : got.size());
        if (c.expect.empty()) continue;
        if (c.expect == "window") {
            std::vector<std::string> whole;
            uint32_t x = 0, y = 0, w = 0, h = 0;
            for (size_t k = 0; k < c.args.size(); k++) {
                if (c.args[k] != "--region") whole.push_back(c.args[k]);
                else std::sscanf(c.args[++k].c_str(), "%u,%u,%u,%u", &x, &y, &w, &h);
            }
            ScratchDir whole_dir;
            ASSERT_EQ(run_case(whole, inputs, whole_dir).exit_code, 0);
            for (const Plane& p : load_all(whole_dir.file(dst.substr(1)))) {
                want.push_back(Plane{std::min(x + w, p.w) - x, std::min(y + h, p.h) - y, p.depth, p.is_signed, {}});
                for (uint32_t j = y; j < y + want.back().h; j++)
                    want.back().s.insert(want.back().s.end(), p.s.begin() + j * p.w + x, p.s.begin() + j * p.w + x + want.back().w);
            }
        } else {
            want = load_all(c.expect[0] == '$' ? app_test::source_path(c.expect.substr(1)) : app_test::data_path(c.expect));
            if (want.size() == 1 && got.size() == 3) want.assign(3, want[0]);  // grey in a bitmap
        }
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < got.size(); k++) {
            const Plane &g = got[k], &e = want[k];
            ASSERT_EQ(std::tie(g.w, g.h, g.depth, g.is_signed), std::tie(e.w, e.h, e.depth, e.is_signed)) << k;
            for (size_t i = 0; i < g.s.size(); i++) ASSERT_LE(std::abs(g.s[i] - e.s[i]), c.tolerance) << k << " at " << i;
        }
    }
    const ToolResult help = app_test::run_tool({"-h", "x", "y"});
    EXPECT_EQ(help.exit_code, 0);
    EXPECT_EQ(help.out.rfind("Usage: dravex [options] src dst\n", 0), 0u) << help.out;
}

// Where the output goes, and what may not be lost on the way: the source survives any
// destination naming it, an existing file survives any failure (and keeps its permissions when
// replaced), a link stays a link, a device is written in place and stays a device, and nothing
// half-written or temporary is left in the directory.
TEST(Tool, DestinationSafety) {
    const struct {
        std::vector<std::string> setup;  // "f=old" a file of 1000 bytes, "f->t" a symbolic link, "f=>t" a hard link
        const char* dst;                 // in the directory, or absolute
        const char* src;                 // in samples/
        uint64_t file_size_limit;        // as `ulimit -f` sets it
        const char* out;
    } kCases[] = {
        {{}, "out.bmp", "sample.j2c", 0, ""},
        {{"out.bmp=old"}, "out.bmp", "sample.j2c", 0, ""},
        {{"old.bmp=old", "out.bmp->old.bmp"}, "out.bmp", "sample.j2c", 0, ""},
        {{}, "src.j2c", "sample.j2c", 0, kSamePath},
        {{"out.bmp=>src.j2c"}, "out.bmp", "sample.j2c", 0, kSamePath},
        {{"out.bmp->src.j2c"}, "out.bmp", "sample.j2c", 0, kSamePath},
        {{"out_1.pgx=>src.j2c"}, "out.pgx", "sample.j2c", 0, kSamePath},  // any component file
        {{}, "no/such/dir/out.bmp", "sample.j2c", 0, kSave},
        {{}, ".", "sample.j2c", 0, kSave},
        {{}, "out.bmp", "sample.j2c", 8192, kSave},
        {{}, "out.bmp", "sample.j2c", 40, kSave},  // not even the header fits
        {{}, "out.pgx", "sample.j2c", 8192, "Save to pgx failed."},
        {{"out.bmp=old"}, "out.bmp", "sample.j2c", 8192, kSave},
        {{"old.bmp=old", "out.bmp->old.bmp"}, "out.bmp", "sample.j2c", 8192, kSave},
        {{}, "/dev/full", "sample.j2c", 0, kSave},
        {{}, "/dev/full", "sample.jp2", 0, kSave},
        {{}, "/dev/full", "../tests/data/app_rgb_13x7.j2c", 0, kSave},  // fails at the last flush
        {{"out.ppm->/dev/full"}, "out.ppm", "sample.j2c", 0, "Save to pnm failed."},
    };
    const std::vector<uint8_t> old(1000, 0xAB);
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.dst << " limit " << c.file_size_limit << " " << (c.setup.empty() ? "" : c.setup[0]));
        if ((c.dst + std::string(c.setup.empty() ? "" : c.setup[0])).find("/dev/full") != std::string::npos && !is_device("/dev/full"))
            continue;
        ScratchDir dir, ref_dir;
        const std::string src = app_test::source_path(std::string("samples/") + c.src), dst = c.dst[0] == '/' ? c.dst : dir.file(c.dst);
        ASSERT_EQ(app_test::run_tool({src, ref_dir.file("r.bmp")}).exit_code, 0);
        app_test::write_file(dir.file("src.j2c"), app_test::read_file(src));
        std::vector<std::string> files = {"src.j2c"};
        for (const std::string& e : c.setup) {
            const size_t at = e.find_first_of("=-");
            const std::string name = dir.file(e.substr(0, at)), target = e.substr(e.find_first_not_of("=->", at));
            if (e[at + 1] == 'o') app_test::write_file(name, old), chmod(name.c_str(), 0640);
            const int made = e[at + 1] != '>' ? 0 : e[at] == '-' ? symlink(target.c_str(), name.c_str()) : link(dir.file(target).c_str(), name.c_str());
            ASSERT_EQ(made, 0);
            files.push_back(e.substr(0, at));
        }
        if (!c.out[0] && c.setup.empty()) files.push_back(c.dst);
        const ToolResult r = app_test::run_tool({dir.file("src.j2c"), dst}, c.file_size_limit);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.out[0] ? kFailed : 0);
        EXPECT_EQ(app_test::read_file(dir.file("src.j2c")), app_test::read_file(src));
        EXPECT_TRUE(c.out[0] || app_test::read_file(dst) == app_test::read_file(ref_dir.file("r.bmp")));
        for (const std::string& e : c.setup) {
            struct stat st;
            const std::string name = dir.file(e.substr(0, e.find_first_of("=-")));
            ASSERT_EQ(lstat(name.c_str(), &st), 0);
            EXPECT_EQ(S_ISLNK(st.st_mode), e.find("->") != std::string::npos) << e;
            if (e.find("=old") == std::string::npos) continue;
            EXPECT_EQ(st.st_mode & 0777, 0640u) << e;
            EXPECT_EQ(app_test::read_file(name), c.out[0] ? old : app_test::read_file(ref_dir.file("r.bmp"))) << e;
        }
        EXPECT_TRUE(is_device("/dev/full"));
        std::sort(files.begin(), files.end());
        EXPECT_EQ(dir.names(), files);
    }
}

// The 32-bit size fields' limits, which no image of the tool's table reaches.
TEST(BmpWriter, SizeFieldLimits) {
    const struct {
        uint32_t height;
        uint64_t stride;
        uint64_t size;  // 0: refused
    } kCases[] = {
        {0, 0, 54}, {1, 4, 58}, {2, 12, 78}, {1, UINT32_MAX - 54, UINT32_MAX}, {1, UINT32_MAX - 53, 0},
        {65536, 65536, 0},       // exactly 4 GiB of rows
        {UINT32_MAX, 4, 0},      // height * stride overflows 32 bits
        {2, 0x100000004ull, 0},  // a stride beyond 32 bits
        {4, 0x3FFFFFF0ull, 54 + 4 * 0x3FFFFFF0ull},
    };
    for (const auto& c : kCases) {
        uint64_t size = 0;
        EXPECT_EQ(bmp_file_size(c.height, c.stride, &size), c.size != 0) << c.height << " x " << c.stride;
        EXPECT_EQ(size, c.size) << c.height << " x " << c.stride;
    }
    ScratchDir dir;
    const std::string path = dir.file("huge.bmp");
    BmpWriter w;
    EXPECT_EQ(bmp_open(&w, path.c_str(), 65536, 65536, 196608), 0);
    EXPECT_FALSE(app_test::file_exists(path));
}
