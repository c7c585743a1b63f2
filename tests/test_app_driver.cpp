// The command-line tool run as a process: argument and input errors with their exact
// messages and exit status, detection by content, destination failures, and whole images
// compared with the pictures they were encoded from.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "support/app_tool.h"

using app_test::ScratchDir;
using app_test::ToolResult;

namespace {

const char kUsage[] = "Usage: dravex.exe src.jp2 dst.bmp\n";
const char kOpen[] = "The source file couldn't be opened.";
const char kFormat[] = "It's not a jp2/j2c/jpc file.";
const char kCodestream[] = "Parsing JPEG2000 Codestream error";
const char kJp2[] = "Parsing JP2 file error";
const char kSave[] = "Save to bmp failed.";
const char kSameFile[] = "The destination is the source file itself.";
constexpr int kFailed = 255;  // -1 as a process exit status

const std::vector<uint8_t> kSignature = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50,
                                         0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};

std::vector<uint8_t> bytes_of(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Input files of the error cases, by name; the name's extension is deliberately misleading
// where it matters.
std::map<std::string, std::vector<uint8_t>> error_inputs() {
    std::vector<uint8_t> short_sig(kSignature.begin(), kSignature.end() - 1);
    std::vector<uint8_t> bad_sig = kSignature;
    bad_sig[11] ^= 1;
    return {
        {"text.txt", bytes_of("This is plainly a text file.\n")},
        {"one.j2c", {0xFF}},
        {"empty.jp2", {}},
        {"nearly_soc.j2c", {0xFF, 0x4E, 0xFF, 0x51}},
        {"short_sig.jp2", short_sig},
        {"bad_sig.jp2", bad_sig},
        // A codestream that ends right after SIZ's marker, named as a JP2 file.
        {"codestream.jp2", {0xFF, 0x4F, 0xFF, 0x51, 0x00}},
        // A bare JP2 signature (no file type, no header, no codestream), named as a codestream.
        {"signature.j2c", kSignature},
    };
}

struct ArgCase {
    const char* name;
    std::vector<std::string> args;  // "@" + name = an input file, "%" = the destination
    std::string out;
    int exit_code;
};

const ArgCase kArgCases[] = {
    {"no arguments", {}, kUsage, kFailed},
    {"source only", {"@text.txt"}, kUsage, kFailed},
    {"empty source", {"", "%"}, kUsage, kFailed},
    {"empty destination", {"@signature.j2c", ""}, kUsage, kFailed},
    {"both empty", {"", ""}, kUsage, kFailed},
    {"missing source", {"@does-not-exist.j2c", "%"}, kOpen, kFailed},
    {"text file", {"@text.txt", "%"}, kFormat, kFailed},
    {"one byte", {"@one.j2c", "%"}, kFormat, kFailed},
    {"empty file", {"@empty.jp2", "%"}, kFormat, kFailed},
    {"FF 4E is not SOC", {"@nearly_soc.j2c", "%"}, kFormat, kFailed},
    {"eleven signature bytes", {"@short_sig.jp2", "%"}, kFormat, kFailed},
    {"signature off by one bit", {"@bad_sig.jp2", "%"}, kFormat, kFailed},
    {"extra arguments ignored", {"@text.txt", "%", "third", "fourth"}, kFormat, kFailed},
    {"endless device, turned down at once", {"/dev/zero", "%"}, kFormat, kFailed},
    {"unknown option", {"--bogus", "@text.txt", "%"}, "Unknown option --bogus", kFailed},
    {"an option and one path", {"--allow-large", "@text.txt"}, kUsage, kFailed},
    {"options end at --", {"--", "@text.txt", "%"}, kFormat, kFailed},
    {"two arguments are paths, dash or not", {"-text.txt", "%"}, kOpen, kFailed},
    {"codestream named .jp2", {"@codestream.jp2", "%"}, kCodestream, kFailed},
    {"JP2 named .j2c", {"@signature.j2c", "%"}, kJp2, kFailed},
};

std::vector<std::string> expand(const ScratchDir& dir, const std::vector<std::string>& args,
                                const std::string& dst) {
    std::vector<std::string> out;
    for (const auto& a : args) {
        if (!a.empty() && a[0] == '@') out.push_back(dir.file(a.substr(1)));
        else if (a == "%") out.push_back(dst);
        else out.push_back(a);
    }
    return out;
}

}  // namespace

TEST(Driver, ArgumentAndInputErrors) {
    ScratchDir dir;
    for (const auto& [name, bytes] : error_inputs()) app_test::write_file(dir.file(name), bytes);
    const std::string dst = dir.file("out.bmp");
    for (const auto& c : kArgCases) {
        SCOPED_TRACE(c.name);
        ToolResult r = app_test::run_tool(expand(dir, c.args, dst));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.exit_code);
        // The destination is opened only after a successful parse.
        EXPECT_FALSE(app_test::file_exists(dst));
    }
}

// Where the bitmap goes, and what may not be lost on the way: the source must survive any
// destination naming it, and an existing destination any failure. Nothing half-written or
// temporary may be left in the directory.
TEST(Driver, DestinationSafety) {
    enum Dst { kNew, kExisting, kSource, kHardLink, kSymlink, kSymlinkToExisting, kPgxLink, kMissingDir, kDirectory };
    const struct {
        const char* name;
        Dst dst;
        bool fifo_source;          // the source arrives through a named pipe
        uint64_t file_size_limit;  // as set by `ulimit -f`
        const char* out;
    } kCases[] = {
        {"new file", kNew, false, 0, ""},
        {"existing file replaced", kExisting, false, 0, ""},
        {"symbolic link followed", kSymlinkToExisting, false, 0, ""},
        {"source through a pipe", kNew, true, 0, ""},
        {"the source itself", kSource, false, 0, kSameFile},
        {"hard link to the source", kHardLink, false, 0, kSameFile},
        {"symbolic link to the source", kSymlink, false, 0, kSameFile},
        {"a PGX component file linked to the source", kPgxLink, false, 0, kSameFile},
        {"missing directory", kMissingDir, false, 0, kSave},
        {"a directory", kDirectory, false, 0, kSave},
        {"file size limit, new file", kNew, false, 8192, kSave},
        {"file size limit, existing file", kExisting, false, 8192, kSave},
        {"file size limit, through a link", kSymlinkToExisting, false, 8192, kSave},
    };
    const std::vector<uint8_t> source = app_test::read_file(app_test::source_path("samples/sample.j2c"));
    const std::vector<uint8_t> old(1000, 0xAB);
    ScratchDir ref_dir;
    ASSERT_EQ(app_test::run_tool({app_test::source_path("samples/sample.j2c"), ref_dir.file("r.bmp")}).exit_code, 0);
    const std::vector<uint8_t> bitmap = app_test::read_file(ref_dir.file("r.bmp"));
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        std::string src = dir.file("src.j2c"), dst = dir.file("out.bmp"), kept = dst;
        app_test::write_file(src, source);
        std::set<std::string> files = {"src.j2c"};
        switch (c.dst) {
            case kNew: files.insert("out.bmp"); break;
            case kExisting: app_test::write_file(dst, old); files.insert("out.bmp"); break;
            case kSource: dst = src; break;
            case kHardLink: ASSERT_EQ(link(src.c_str(), dst.c_str()), 0); files.insert("out.bmp"); break;
            case kSymlink: ASSERT_EQ(symlink("src.j2c", dst.c_str()), 0); files.insert("out.bmp"); break;
            case kSymlinkToExisting:
                kept = dir.file("old.bmp");
                app_test::write_file(kept, old);
                ASSERT_EQ(symlink("old.bmp", dst.c_str()), 0);
                files.insert({"out.bmp", "old.bmp"});
                break;
            case kPgxLink:
                ASSERT_EQ(link(src.c_str(), dir.file("out_1.pgx").c_str()), 0);
                dst = dir.file("out.pgx");
                files.insert("out_1.pgx");
                break;
            case kMissingDir: dst = dir.file("no/such/dir/out.bmp"); break;
            case kDirectory: dst = dir.path(); break;
        }
        if (c.fifo_source) {
            src = dir.file("pipe");
            ASSERT_EQ(mkfifo(src.c_str(), 0600), 0);
            files.insert("pipe");
        }
        std::thread feeder;
        if (c.fifo_source) feeder = std::thread([&] { app_test::write_file(src, source); });
        ToolResult r = app_test::run_tool({src, dst}, c.file_size_limit);
        if (feeder.joinable()) feeder.join();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.out[0] ? kFailed : 0);
        EXPECT_EQ(app_test::read_file(dir.file("src.j2c")), source);
        if (c.dst == kNew && !c.out[0]) {
            EXPECT_EQ(app_test::read_file(dst), bitmap);
        } else if (c.dst == kNew) {
            files.erase("out.bmp");
        } else if (c.dst == kExisting || c.dst == kSymlinkToExisting) {
            EXPECT_EQ(app_test::read_file(kept), c.out[0] ? old : bitmap);
            if (c.dst == kSymlinkToExisting) {
                struct stat st;
                ASSERT_EQ(lstat(dst.c_str(), &st), 0);
                EXPECT_TRUE(S_ISLNK(st.st_mode));
            }
        }
        std::set<std::string> found;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            found.insert(e.path().filename().string());
        EXPECT_EQ(found, files);
    }
}

TEST(Driver, FullDeviceDestination) {
    struct stat st;
    if (stat("/dev/full", &st) != 0 || !S_ISCHR(st.st_mode)) GTEST_SKIP() << "no /dev/full here";
    const char* kSources[] = {"samples/sample.j2c", "samples/sample.jp2"};
    for (const char* src : kSources) {
        SCOPED_TRACE(src);
        ToolResult r = app_test::run_tool({app_test::source_path(src), "/dev/full"});
        EXPECT_EQ(r.out, kSave);
        EXPECT_EQ(r.exit_code, kFailed);
        ASSERT_EQ(stat("/dev/full", &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
}

// Decoded bitmaps against the pictures the fixtures were encoded from: lossless files must
// match exactly (this checks the flip, the colour order, grey replication and zero fill
// bytes); the lossy sample must stay close.
TEST(Driver, DecodesKnownImages) {
    const struct {
        const char* src;
        const char* picture;
        double min_psnr;  // 0 = exact
    } kCases[] = {
        {"samples/sample.j2c", "samples/sample.ppm", 0},
        {"samples/sample.jp2", "samples/sample.ppm", 30},
        {"tests/data/app_rgb_13x7.j2c", "tests/data/app_rgb_13x7.ppm", 0},
        {"tests/data/app_rgb_13x7.jp2", "tests/data/app_rgb_13x7.ppm", 0},
        {"tests/data/app_grey_37x19.j2c", "tests/data/app_grey_37x19.pgm", 0},
        {"tests/data/app_grey_37x19.jp2", "tests/data/app_grey_37x19.pgm", 0},
        // A damaged tile-part: the picture with that tile left out, and success.
        {"tests/data/peer_damaged_tile_64x48.j2c", "tests/data/peer_damaged_tile_64x48.pgm", 0},
    };
    ScratchDir dir;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.src);
        app_test::Pnm pic;
        ASSERT_TRUE(app_test::read_pnm(app_test::source_path(c.picture), &pic));
        const std::string dst = dir.file("out.bmp");
        ToolResult r = app_test::run_tool({app_test::source_path(c.src), dst});
        EXPECT_EQ(r.out, "");
        ASSERT_EQ(r.exit_code, 0);
        std::vector<uint8_t> file = app_test::read_file(dst);
        app_test::BmpHeader h;
        ASSERT_TRUE(app_test::parse_bmp_header(file, &h));
        ASSERT_EQ(h.width, static_cast<int32_t>(pic.width));
        ASSERT_EQ(h.height, static_cast<int32_t>(pic.height));
        const uint64_t stride = (uint64_t(pic.width) * 3 + 3) & ~uint64_t(3);
        ASSERT_EQ(file.size(), 54 + stride * pic.height);
        EXPECT_EQ(h.file_size, file.size());

        double squared = 0;
        uint64_t mismatches = 0;
        for (uint32_t y = 0; y < pic.height; y++) {
            for (uint32_t x = 0; x < pic.width; x++) {
                uint8_t rgb[3];
                app_test::bmp_pixel(file, x, y, rgb);
                const uint8_t* want = &pic.samples[(uint64_t(y) * pic.width + x) * pic.channels];
                for (int k = 0; k < 3; k++) {
                    const int d = int(rgb[k]) - want[pic.channels == 1 ? 0 : k];
                    squared += d * d;
                    mismatches += d != 0;
                }
            }
            const uint8_t* row_end = file.data() + 54 + (pic.height - 1 - y) * stride;
            for (uint64_t k = uint64_t(pic.width) * 3; k < stride; k++) {
                EXPECT_EQ(row_end[k], 0) << "fill byte " << k << " of row " << y;
            }
        }
        if (c.min_psnr == 0) {
            EXPECT_EQ(mismatches, 0u);
        } else {
            const double mse = squared / (3.0 * pic.width * pic.height);
            EXPECT_GT(mse > 0 ? 10 * std::log10(255.0 * 255.0 / mse) : 99, c.min_psnr);
        }
    }
}

// Detection looks at the bytes only: a file decodes the same whatever its name says.
TEST(Driver, ExtensionIsIgnoredWhenDecoding) {
    ScratchDir dir;
    const struct {
        const char* src;
        const char* renamed;
    } kCases[] = {{"samples/sample.j2c", "codestream.jp2"}, {"samples/sample.jp2", "jp2file.j2c"}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.src);
        const std::string renamed = dir.file(c.renamed);
        app_test::write_file(renamed, app_test::read_file(app_test::source_path(c.src)));
        ToolResult a = app_test::run_tool({app_test::source_path(c.src), dir.file("a.bmp")});
        ToolResult b = app_test::run_tool({renamed, dir.file("b.bmp")});
        ASSERT_EQ(a.exit_code, 0);
        ASSERT_EQ(b.exit_code, 0);
        EXPECT_EQ(app_test::read_file(dir.file("a.bmp")), app_test::read_file(dir.file("b.bmp")));
    }
}

// Rows go straight to the file, so a 128 times taller image must not cost its 12 MB of
// bitmap in memory. The peak is measured on the tool's process; sanitizers distort it.
TEST(Driver, MemoryDoesNotFollowTheHeight) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "peak memory is not meaningful under AddressSanitizer";
#endif
    const char* kShort = "tests/data/app_tall_512x64.j2c";
    const char* kTall = "tests/data/app_tall_512x8192.j2c";
    ScratchDir dir;
    ToolResult small = app_test::run_tool({app_test::source_path(kShort), dir.file("s.bmp")});
    ToolResult tall = app_test::run_tool({app_test::source_path(kTall), dir.file("t.bmp")});
    ASSERT_EQ(small.exit_code, 0);
    ASSERT_EQ(tall.exit_code, 0);
    ASSERT_GT(small.max_rss_kb, 0) << "no peak memory reported on this system";

    // The pixels are right too: sample (x, y) is y / 64, in all three bytes.
    std::vector<uint8_t> file = app_test::read_file(dir.file("t.bmp"));
    ASSERT_EQ(file.size(), 54u + 1536u * 8192u);
    for (uint32_t y = 0; y < 8192; y += 61) {
        for (uint32_t x : {0u, 255u, 511u}) {
            uint8_t rgb[3];
            app_test::bmp_pixel(file, x, y, rgb);
            ASSERT_EQ(rgb[0], y / 64) << x << ", " << y;
            ASSERT_EQ(rgb[1], y / 64);
            ASSERT_EQ(rgb[2], y / 64);
        }
    }
    const long bitmap_kb = 1536L * 8192 / 1024;
    EXPECT_LT(tall.max_rss_kb - small.max_rss_kb, bitmap_kb / 4)
        << "peak " << small.max_rss_kb << " KB for 64 rows, " << tall.max_rss_kb
        << " KB for 8192 rows";

    // Full-precision output streams its rows the same way.
    small = app_test::run_tool({app_test::source_path(kShort), dir.file("s.pgx")});
    tall = app_test::run_tool({app_test::source_path(kTall), dir.file("t.pgx")});
    ASSERT_EQ(small.exit_code, 0);
    ASSERT_EQ(tall.exit_code, 0);
    EXPECT_EQ(app_test::read_file(dir.file("t_0.pgx")).size(), 512u * 8192u + 19u);
    EXPECT_LT(tall.max_rss_kb - small.max_rss_kb, bitmap_kb / 12)
        << "peak " << small.max_rss_kb << " KB for 64 rows, " << tall.max_rss_kb
        << " KB for 8192 rows";
}

namespace {

void put_be(std::vector<uint8_t>* v, uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; i--) v->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A minimal codestream: one tile, one 8-bit grey component (sub-sampled so that the image
// may be vast while the decoder's work stays tiny), and one tile-part of empty packets. With
// no sub-sampling, no decomposition and one packet it is 82 bytes.
std::vector<uint8_t> empty_codestream(uint32_t width, uint32_t height, uint8_t subsampling = 255,
                                      uint8_t levels = 5, int packets = 8) {
    std::vector<uint8_t> c = {0xFF, 0x4F, 0xFF, 0x51};
    put_be(&c, 41, 2);  // Lsiz
    put_be(&c, 0, 2);   // Rsiz
    for (uint32_t v : {width, height, 0u, 0u, width, height, 0u, 0u}) put_be(&c, v, 4);
    put_be(&c, 1, 2);                                  // Csiz
    c.insert(c.end(), {7, subsampling, subsampling});  // 8-bit unsigned, XRsiz, YRsiz
    c.insert(c.end(), {0xFF, 0x52, 0, 12, 0, 0, 0, 1, 0, levels, 4, 4, 0, 1});  // COD, 5/3
    const uint8_t bands = 3 * levels + 1;
    c.insert(c.end(), {0xFF, 0x5C, 0, uint8_t(3 + bands), 0x40});  // QCD: none, 2 guard bits
    c.insert(c.end(), bands, 8 << 3);
    // one zero byte per empty packet
    c.insert(c.end(), {0xFF, 0x90, 0, 10, 0, 0});
    put_be(&c, 12 + 2 + packets, 4);             // Psot
    c.insert(c.end(), {0, 1, 0xFF, 0x93});
    c.insert(c.end(), packets, 0);
    c.insert(c.end(), {0xFF, 0xD9});
    return c;
}

}  // namespace

// 1.5 million pixels wide and 1000 rows: a bitmap of 4.5 GB cannot be written, and the tool
// must say so before decoding a row (and before creating the file).
TEST(Driver, RefusesABitmapOverFourGigabytes) {
    ScratchDir dir;
    const std::string src = dir.file("long.j2c");
    app_test::write_file(src, empty_codestream(65536 * 23, 1000));
    const std::string dst = dir.file("long.bmp");
    ToolResult r = app_test::run_tool({src, dst});
    EXPECT_EQ(r.out, kSave);
    EXPECT_EQ(r.exit_code, kFailed);
    EXPECT_FALSE(app_test::file_exists(dst));
}

// 82 bytes declaring a 37000 x 37000 grey image: the 4 GB bitmap (or 1.4 GB of PGX) is
// refused at once, before anything is written, unless asked for; output in proportion to
// the image's own components is not.
TEST(Driver, RefusesOutputOutOfProportion) {
    const char kBitmap[] = "The output would take 4107000054 bytes from 82 bytes of input; --allow-large writes it anyway.";
    const char kPgx[] = "The output would take 1369000022 bytes from 82 bytes of input; --allow-large writes it anyway.";
    struct stat st;
    const bool full_device = stat("/dev/full", &st) == 0 && S_ISCHR(st.st_mode);
    const struct {
        const char* name;
        std::vector<std::string> args;  // "%" + name: a file of the scratch directory
        const char* out;
        int exit_code;
    } kCases[] = {
        {"bitmap", {"%big.j2c", "%out.bmp"}, kBitmap, kFailed},
        {"PGX", {"%big.j2c", "%out.pgx"}, kPgx, kFailed},
        // Allowed, the bitmap is decoded and written (and fails on the full device).
        {"allowed", {"--allow-large", "%big.j2c", full_device ? "/dev/full" : "%no/dir.bmp"}, kSave, kFailed},
        // The same image area, but its one component is sub-sampled 255 times.
        {"small components", {"%sub.j2c", "%out.pgx"}, "", 0},
    };
    ScratchDir dir;
    const std::vector<uint8_t> big = empty_codestream(37000, 37000, 1, 0, 1);
    ASSERT_EQ(big.size(), 82u);
    app_test::write_file(dir.file("big.j2c"), big);
    app_test::write_file(dir.file("sub.j2c"), empty_codestream(37000, 37000));
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args;
        for (const auto& a : c.args) args.push_back(a[0] == '%' ? dir.file(a.substr(1)) : a);
        const auto start = std::chrono::steady_clock::now();
        ToolResult r = app_test::run_tool(args);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.exit_code);
        EXPECT_FALSE(app_test::file_exists(dir.file("out.bmp")));
        EXPECT_EQ(app_test::file_exists(dir.file("out_0.pgx")), c.exit_code == 0);
        std::remove(dir.file("out_0.pgx").c_str());
#if defined(__SANITIZE_ADDRESS__)
        EXPECT_LT(seconds, 10.0);
#else
        EXPECT_LT(seconds, 2.0);
        EXPECT_LT(r.max_rss_kb, 256L * 1024);
#endif
    }
}

namespace {

// A file's bytes after its header, which ends at the n-th newline.
std::vector<uint8_t> after_lines(const std::vector<uint8_t>& f, int n) {
    size_t at = 0;
    while (n-- > 0 && at < f.size()) {
        while (at < f.size() && f[at] != '\n') at++;
        at++;
    }
    return std::vector<uint8_t>(f.begin() + static_cast<long>(std::min(at, f.size())), f.end());
}

}  // namespace

// Full-precision output against the PGX files both established decoders write for the same
// streams (scripts/make-pgx-fixtures): PGX byte for byte, PNM sample for sample, and the
// images PNM cannot hold refused before anything is written.
TEST(Driver, FullPrecisionOutput) {
    const char kPnmCount[] = "A .pgm file holds one component and a .ppm file three; .pgx takes any image.";
    const char kPnmMixed[] = "PNM output needs unsigned components of one size and depth; .pgx takes any image.";
    const struct {
        const char* src;   // in tests/data, beside its expected pgx_NAME_K.pgx
        const char* dst;
        int components;    // expected files (PGX) or components interleaved (PNM)
        const char* out;
    } kCases[] = {
        {"pgx_grey12_23x17.j2k", "x.pgx", 1, ""},
        {"pgx_signed_19x13.j2k", "x.pgx", 1, ""},
        {"pgx_sub_21x11.j2k", "x.PGX", 3, ""},
        {"pgx_rgb_21x11.jp2", "x.pgx", 3, ""},
        {"pgx_grey12_23x17.j2k", "x.pgm", 1, ""},
        {"pgx_rgb_21x11.jp2", "x.ppm", 3, ""},
        {"pgx_rgb_21x11.jp2", "x.pgm", 0, kPnmCount},
        {"pgx_grey12_23x17.j2k", "x.ppm", 0, kPnmCount},
        {"pgx_sub_21x11.j2k", "x.ppm", 0, kPnmMixed},
        {"pgx_signed_19x13.j2k", "x.pgm", 0, kPnmMixed},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.src << " -> " << c.dst);
        ScratchDir dir;
        ToolResult r = app_test::run_tool({app_test::data_path(c.src), dir.file(c.dst)});
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.out[0] ? kFailed : 0);
        const std::string stem = std::string(c.src).substr(0, std::string(c.src).rfind('.'));
        std::vector<std::vector<uint8_t>> want;
        for (int k = 0; k < c.components; k++)
            want.push_back(app_test::read_file(app_test::data_path(stem + "_" + std::to_string(k) + ".pgx")));
        const std::string ext = std::string(c.dst).substr(2);
        size_t files = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) (void)e, files++;
        if (c.out[0]) {
            EXPECT_EQ(files, 0u);
        } else if (ext == "pgx" || ext == "PGX") {
            EXPECT_EQ(files, want.size());
            for (size_t k = 0; k < want.size(); k++)
                EXPECT_EQ(app_test::read_file(dir.file("x_" + std::to_string(k) + "." + ext)), want[k]) << k;
        } else {
            // The samples of the PGX files, interleaved; each is 1 or 2 bytes, as in the PGX.
            std::vector<std::vector<uint8_t>> planes;
            for (const auto& w : want) planes.push_back(after_lines(w, 1));
            int depth = 0;
            std::sscanf(reinterpret_cast<const char*>(want[0].data()), "PG ML %*c %d", &depth);
            const size_t bytes = depth <= 8 ? 1 : 2;
            std::vector<uint8_t> expect;
            for (size_t at = 0; at < planes[0].size(); at += bytes)
                for (const auto& p : planes) expect.insert(expect.end(), p.begin() + at, p.begin() + at + bytes);
            EXPECT_EQ(after_lines(app_test::read_file(dir.file(c.dst)), 3), expect);
        }
    }
}

namespace {

// Header fields and samples of an unsigned 8-bit PGX file (all the decode-less fixtures).
bool read_pgx8(const std::vector<uint8_t>& f, uint32_t* w, uint32_t* h, std::vector<uint8_t>* s) {
    unsigned depth = 0;
    char sign = 0;
    const std::string text(f.begin(), f.begin() + static_cast<long>(std::min<size_t>(f.size(), 40)));
    if (std::sscanf(text.c_str(), "PG ML %c %u %u %u", &sign, &depth, w, h) != 4 || depth > 8)
        return false;
    *s = after_lines(f, 1);
    return s->size() == size_t(*w) * *h;
}

}  // namespace

// Decoding less (a reduced resolution, the first quality layers) against the PGX files both established decoders write
// with the same options (scripts/make-less-fixtures): 5/3 exactly, 9/7 within one level; the
// bitmap holds the same samples; values the tool cannot use get one line and -1.
TEST(Driver, DecodeLessOptions) {
    const struct {
        std::vector<std::string> options;
        const char* src;       // in tests/data, beside its expected STEM.TAG_K.pgx
        const char* expected;  // TAG, or "" for a refusal
        int components;
        int tolerance;
        const char* out;
    } kCases[] = {
        {{"-r", "4"}, "less_53.j2k", "r4", 1, 0, ""},
        {{"--reduce", "1"}, "less_97.j2k", "r1", 3, 1, ""},
        {{"-r", "3"}, "less_97.j2k", "r3", 3, 1, ""},
        {{"-r", "1"}, "less_sub.j2k", "r1", 3, 0, ""},
        {{"-r", "2"}, "less_rgb.jp2", "r2", 3, 0, ""},
        {{"-l", "2"}, "less_prec.j2k", "l2", 1, 0, ""},
        {{"--layers", "1"}, "less_97.j2k", "l1", 3, 1, ""},
        {{"-r", "1", "-l", "1"}, "less_97.j2k", "r1l1", 3, 1, ""},
        {{"-l", "1"}, "less_sub.j2k", "l1", 3, 0, ""},
        {{"-l", "1"}, "less_rgb.jp2", "l1", 3, 0, ""},
        {{"-l", "0"}, "less_rgb.jp2", "", 0, 0, "Option -l does not take the value '0'."},
        {{"-r", "3"}, "less_rgb.jp2", "", 0, 0,
         "The reduction asks for more resolution levels than the image has."},
        {{"-r", "x"}, "less_rgb.jp2", "", 0, 0, "Option -r does not take the value 'x'."},
        {{"-r", "33"}, "less_rgb.jp2", "", 0, 0, "Option -r does not take the value '33'."},
    };
    for (const bool bitmap : {false, true}) {
        for (const auto& c : kCases) {
            // A bitmap's sub-sampled components are not up-sampled: no PGX to compare with.
            if (bitmap && (c.components != 3 || std::string(c.src) == "less_sub.j2k")) continue;
            std::string trace = c.src;
            for (const std::string& o : c.options) trace += " " + o;
            SCOPED_TRACE(trace + (bitmap ? " bmp" : " pgx"));
            ScratchDir dir;
            std::vector<std::string> args = c.options;
            args.push_back(app_test::data_path(c.src));
            args.push_back(dir.file(bitmap ? "x.bmp" : "x.pgx"));
            ToolResult r = app_test::run_tool(args);
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.exit_code, c.out[0] ? kFailed : 0);
            if (c.out[0]) continue;
            const std::string stem = std::string(c.src).substr(0, std::string(c.src).rfind('.'));
            std::vector<uint8_t> bmp;
            if (bitmap) bmp = app_test::read_file(dir.file("x.bmp"));
            for (int k = 0; k < c.components; k++) {
                uint32_t w = 0, h = 0, gw = 0, gh = 0;
                std::vector<uint8_t> want, got;
                ASSERT_TRUE(read_pgx8(app_test::read_file(app_test::data_path(
                                          stem + "." + c.expected + "_" + std::to_string(k) + ".pgx")),
                                      &w, &h, &want));
                if (bitmap) {
                    // Bottom-up rows of blue-green-red pixels, each row padded to 4 bytes.
                    ASSERT_GE(bmp.size(), 54u);
                    gw = uint32_t(bmp[18] | bmp[19] << 8);
                    gh = uint32_t(bmp[22] | bmp[23] << 8);
                    const size_t stride = (size_t(gw) * 3 + 3) & ~size_t(3);
                    ASSERT_EQ(bmp.size(), 54 + stride * gh);
                    for (uint32_t y = 0; y < gh; y++)
                        for (uint32_t x = 0; x < gw; x++)
                            got.push_back(bmp[54 + (gh - 1 - y) * stride + x * 3 + size_t(2 - k)]);
                } else {
                    ASSERT_TRUE(read_pgx8(app_test::read_file(dir.file("x_" + std::to_string(k) + ".pgx")),
                                          &gw, &gh, &got));
                }
                ASSERT_EQ(gw, w) << k;
                ASSERT_EQ(gh, h) << k;
                int worst = 0;
                for (size_t i = 0; i < want.size(); i++)
                    worst = std::max(worst, std::abs(int(want[i]) - int(got[i])));
                EXPECT_LE(worst, c.tolerance) << k;
            }
        }
    }
}

namespace {

// Rows of a bitmap file top first, 3 bytes a pixel, without the row padding.
std::vector<std::vector<uint8_t>> bitmap_rows(const std::vector<uint8_t>& b) {
    std::vector<std::vector<uint8_t>> rows;
    if (b.size() < 54) return rows;
    const uint32_t w = uint32_t(b[18] | b[19] << 8), h = uint32_t(b[22] | b[23] << 8);
    const size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
    if (b.size() != 54 + stride * h) return rows;
    for (uint32_t y = h; y-- > 0;)
        rows.emplace_back(b.begin() + long(54 + y * stride), b.begin() + long(54 + y * stride + 3 * w));
    return rows;
}

}  // namespace

// A region is exactly that window of the whole image decoded with the same options (both
// transforms, windows across tile edges, at reduced resolution, JP2, sub-sampled components
// in a bitmap); windows the tool cannot give are refused in one line.
TEST(Driver, RegionIsAWindowOfTheWholeImage) {
    const struct {
        std::vector<std::string> options;
        const char* src;
        const char* ext;
        uint32_t x, y, w, h;
        const char* out;
    } kCases[] = {
        {{}, "less_53.j2k", "pgx", 20, 15, 30, 9, ""},       // across tile edges, 5/3
        {{}, "less_53.j2k", "bmp", 59, 0, 2, 47, ""},
        {{"-r", "1"}, "less_97.j2k", "pgx", 3, 5, 17, 11, ""},  // 9/7 at reduced resolution
        {{}, "less_97.j2k", "bmp", 11, 13, 40, 40, ""},       // cut at the image's edge
        {{"-l", "1"}, "less_rgb.jp2", "bmp", 7, 3, 20, 20, ""},
        {{}, "less_sub.j2k", "bmp", 9, 5, 20, 11, ""},
        // Small code-blocks: those out of the window's reach are not decoded
        {{}, "less_blocks53.j2k", "pgx", 37, 29, 30, 21, ""},
        {{}, "less_blocks97.j2k", "pgx", 37, 29, 30, 21, ""},
        {{}, "less_blocks97.j2k", "pgx", 70, 3, 1, 60, ""},
        {{"-r", "1"}, "less_blocks97.j2k", "bmp", 20, 17, 9, 7, ""},
        {{}, "less_sub.j2k", "pgx", 9, 5, 20, 11,
         "A region of an image with sub-sampled components can be written as a bitmap only."},
        {{"-r", "1"}, "less_53.j2k", "bmp", 31, 0, 5, 5, "The region holds no part of the image."},
    };
    for (const auto& c : kCases) {
        const std::string region = std::to_string(c.x) + "," + std::to_string(c.y) + "," +
                                   std::to_string(c.w) + "," + std::to_string(c.h);
        SCOPED_TRACE(std::string(c.src) + " " + region + " " + c.ext);
        ScratchDir dir;
        std::vector<std::string> whole = c.options, part = c.options;
        whole.insert(whole.end(), {app_test::data_path(c.src), dir.file(std::string("w.") + c.ext)});
        part.insert(part.end(), {"--region", region, app_test::data_path(c.src),
                                 dir.file(std::string("p.") + c.ext)});
        ASSERT_EQ(app_test::run_tool(whole).exit_code, 0);
        ToolResult r = app_test::run_tool(part);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.exit_code, c.out[0] ? kFailed : 0);
        if (c.out[0]) continue;
        // Both as rows of bytes: the PGX rows of component 0, or the bitmap's pixel rows.
        std::vector<std::vector<uint8_t>> full, got;
        uint32_t bpp = 3;
        if (std::string(c.ext) == "bmp") {
            full = bitmap_rows(app_test::read_file(dir.file("w.bmp")));
            got = bitmap_rows(app_test::read_file(dir.file("p.bmp")));
        } else {
            for (const char* name : {"w_0.pgx", "p_0.pgx"}) {
                const std::vector<uint8_t> f = app_test::read_file(dir.file(name));
                unsigned depth = 0, w = 0, h = 0;
                char sign = 0;
                ASSERT_EQ(std::sscanf(std::string(f.begin(), f.begin() + 30).c_str(), "PG ML %c %u %u %u",
                                      &sign, &depth, &w, &h), 4);
                bpp = depth <= 8 ? 1 : 2;
                const std::vector<uint8_t> s = after_lines(f, 1);
                auto& rows = name[0] == 'w' ? full : got;
                for (uint32_t y = 0; y < h; y++)
                    rows.emplace_back(s.begin() + long(y * w * bpp), s.begin() + long((y + 1) * w * bpp));
            }
        }
        ASSERT_FALSE(full.empty());
        const uint32_t x1 = std::min<uint32_t>(c.x + c.w, uint32_t(full[0].size() / bpp));
        const uint32_t y1 = std::min<uint32_t>(c.y + c.h, uint32_t(full.size()));
        std::vector<std::vector<uint8_t>> want;
        for (uint32_t y = c.y; y < y1; y++)
            want.emplace_back(full[y].begin() + long(c.x * bpp), full[y].begin() + long(x1 * bpp));
        EXPECT_EQ(got, want);
    }
}
