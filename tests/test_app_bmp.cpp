// The bitmap writers: header layout, row padding, byte-identical whole-image and row-by-row
// output, and failures that must return 0 and leave no partial file behind.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <numeric>
#include <random>

#include "app/bmp_writer.h"
#include "support/app_tool.h"

using app_test::BmpHeader;
using app_test::ScratchDir;

namespace {

// Pixels in file order (bottom row first), fill bytes included, all distinct-ish so a
// misplaced row shows.
std::vector<uint8_t> pattern(uint32_t height, uint64_t stride, uint32_t seed) {
    std::vector<uint8_t> px(height * stride);
    std::mt19937 rng(seed);
    for (auto& b : px) b = static_cast<uint8_t>(rng());
    return px;
}

// Feeds the streaming writer the rows of a file-order buffer in the given top-down order.
int stream_rows(const std::string& path, uint32_t width, uint32_t height, uint32_t stride,
                const std::vector<uint8_t>& file_order, const std::vector<uint32_t>& order) {
    BmpWriter w;
    if (!bmp_open(&w, path.c_str(), width, height, stride)) return 0;
    for (uint32_t i : order) {
        if (!bmp_write_row(&w, i, file_order.data() + uint64_t(height - 1 - i) * stride)) return 0;
    }
    return bmp_close(&w);
}

// The same, in blocks of up to k consecutive rows, top block first.
int stream_blocks(const std::string& path, uint32_t width, uint32_t height, uint32_t stride,
                  const std::vector<uint8_t>& file_order, uint32_t k) {
    BmpWriter w;
    if (!bmp_open(&w, path.c_str(), width, height, stride)) return 0;
    for (uint32_t top = 0; top < height; top += k) {
        const uint32_t n = k < height - top ? k : height - top;
        if (!bmp_write_rows(&w, top, n, file_order.data() + uint64_t(height - top - n) * stride)) return 0;
    }
    return bmp_close(&w);
}

bool is_char_device(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISCHR(st.st_mode);
}

}  // namespace

TEST(BmpFileSize, RefusesWhatTheSizeFieldCannotHold) {
    const struct {
        uint32_t height;
        uint64_t stride;
        int ok;
        uint64_t size;
    } kCases[] = {
        {0, 0, 1, 54},
        {1, 4, 1, 58},
        {2, 12, 1, 78},
        {1, UINT32_MAX - 54, 1, UINT32_MAX},
        {1, UINT32_MAX - 53, 0, 0},
        {65536, 65536, 0, 0},       // exactly 4 GiB of rows
        {UINT32_MAX, 4, 0, 0},      // height * stride overflows 32 bits
        {2, 0x100000004ull, 0, 0},  // a stride beyond 32 bits
        {4, 0x3FFFFFF0ull, 1, 54 + 4 * 0x3FFFFFF0ull},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.height << " x " << c.stride);
        uint64_t size = 0;
        ASSERT_EQ(bmp_file_size(c.height, c.stride, &size), c.ok);
        if (c.ok) {
            EXPECT_EQ(size, c.size);
        }
    }
}

// Header fields, total length and the pixel block (fill bytes included) for several shapes;
// the row-by-row writer must give the very same bytes whatever order the rows come in.
TEST(BmpWriter, LayoutAndIdenticalStreamingOutput) {
    const struct {
        uint32_t width, height;
    } kShapes[] = {{1, 1}, {2, 1}, {3, 2}, {4, 3}, {5, 2}, {7, 5}, {8, 1}, {13, 7}, {6, 0}, {0, 3}};
    ScratchDir dir;
    for (const auto& s : kShapes) {
        SCOPED_TRACE(testing::Message() << s.width << " x " << s.height);
        const uint32_t stride = static_cast<uint32_t>(bmp_stride(s.width));
        const std::vector<uint8_t> px = pattern(s.height, stride, s.width * 31 + s.height);
        const std::string whole = dir.file("whole.bmp");
        ASSERT_EQ(write_bmp(whole.c_str(), s.width, s.height, stride, px.data()), 1);

        std::vector<uint8_t> file = app_test::read_file(whole);
        const uint64_t expect_size = 54 + uint64_t(s.height) * stride;
        ASSERT_EQ(file.size(), expect_size);
        BmpHeader h;
        ASSERT_TRUE(app_test::parse_bmp_header(file, &h));
        EXPECT_EQ(file[0], 0x42);
        EXPECT_EQ(file[1], 0x4D);
        EXPECT_EQ(h.file_size, expect_size);
        EXPECT_EQ(h.reserved, 0u);
        EXPECT_EQ(h.off_bits, 54u);
        EXPECT_EQ(h.info_size, 40u);
        EXPECT_EQ(h.width, static_cast<int32_t>(s.width));
        EXPECT_EQ(h.height, static_cast<int32_t>(s.height));
        EXPECT_EQ(h.planes, 1u);
        EXPECT_EQ(h.bit_count, 24u);
        EXPECT_EQ(h.compression, 0u);
        EXPECT_EQ(h.image_size, uint64_t(s.height) * stride);
        EXPECT_EQ(h.x_ppm | h.y_ppm | h.clr_used | h.clr_important, 0u);
        EXPECT_TRUE(std::equal(px.begin(), px.end(), file.begin() + 54));

        std::vector<uint32_t> order(s.height);
        std::iota(order.begin(), order.end(), 0u);
        std::vector<std::vector<uint32_t>> orders{order};
        std::reverse(order.begin(), order.end());
        orders.push_back(order);
        std::shuffle(order.begin(), order.end(), std::mt19937(s.width));
        orders.push_back(order);
        for (size_t k = 0; k < orders.size(); k++) {
            SCOPED_TRACE(k);
            const std::string rows = dir.file("rows.bmp");
            ASSERT_EQ(stream_rows(rows, s.width, s.height, stride, px, orders[k]), 1);
            EXPECT_EQ(app_test::read_file(rows), file);
        }
        for (uint32_t k : {2u, 3u, 64u}) {
            SCOPED_TRACE(testing::Message() << "blocks of " << k);
            const std::string blocks = dir.file("blocks.bmp");
            ASSERT_EQ(stream_blocks(blocks, s.width, s.height, stride, px, k), 1);
            EXPECT_EQ(app_test::read_file(blocks), file);
        }
    }
}

TEST(BmpWriter, ReplacesAnExistingFileWhole) {
    ScratchDir dir;
    const std::string path = dir.file("out.bmp");
    app_test::write_file(path, std::vector<uint8_t>(1000, 0xAB));
    const uint8_t px[4] = {1, 2, 3, 0};
    ASSERT_EQ(write_bmp(path.c_str(), 1, 1, 4, px), 1);
    std::vector<uint8_t> file = app_test::read_file(path);
    ASSERT_EQ(file.size(), 58u);
    EXPECT_EQ(file[54], 1);
    EXPECT_EQ(file[57], 0);
}

TEST(BmpWriter, RowsNeverWrittenReadAsZeroAndTheLengthHolds) {
    ScratchDir dir;
    const std::string path = dir.file("gaps.bmp");
    const uint32_t width = 5, height = 4, stride = 16;
    std::vector<uint8_t> row(stride, 0x77);
    BmpWriter w;
    ASSERT_EQ(bmp_open(&w, path.c_str(), width, height, stride), 1);
    ASSERT_EQ(bmp_write_row(&w, 2, row.data()), 1);  // only image row 2 = file row 1
    ASSERT_EQ(bmp_close(&w), 1);
    std::vector<uint8_t> file = app_test::read_file(path);
    ASSERT_EQ(file.size(), 54u + height * stride);
    for (uint32_t k = 0; k < height; k++) {
        SCOPED_TRACE(k);
        const uint8_t expect = k == 1 ? 0x77 : 0;
        EXPECT_TRUE(std::all_of(file.begin() + 54 + k * stride, file.begin() + 54 + (k + 1) * stride,
                                [&](uint8_t b) { return b == expect; }));
    }
}

TEST(BmpWriter, MisuseFailsAndRemovesTheFile) {
    ScratchDir dir;
    const std::string path = dir.file("bad.bmp");
    std::vector<uint8_t> row(12);
    BmpWriter w;
    ASSERT_EQ(bmp_open(&w, path.c_str(), 4, 2, 12), 1);
    EXPECT_EQ(bmp_write_row(&w, 2, row.data()), 0);  // past the last row
    EXPECT_FALSE(app_test::file_exists(path));
    EXPECT_EQ(bmp_write_row(&w, 0, row.data()), 0);  // a failed writer stays failed
    EXPECT_EQ(bmp_close(&w), 0);
    bmp_discard(&w);

    ASSERT_EQ(bmp_open(&w, path.c_str(), 4, 2, 12), 1);
    EXPECT_EQ(bmp_write_rows(&w, 1, 2, row.data()), 0);  // a block running past the bottom
    EXPECT_FALSE(app_test::file_exists(path));

    ASSERT_EQ(bmp_open(&w, path.c_str(), 4, 2, 12), 1);
    bmp_discard(&w);
    EXPECT_FALSE(app_test::file_exists(path));

    // A closed writer keeps its file: a stray discard or close afterwards must not remove it.
    ASSERT_EQ(bmp_open(&w, path.c_str(), 4, 0, 12), 1);
    ASSERT_EQ(bmp_close(&w), 1);
    bmp_discard(&w);
    EXPECT_EQ(bmp_close(&w), 0);
    EXPECT_EQ(app_test::read_file(path).size(), 54u);
}

TEST(BmpWriter, RefusesOversizeImagesBeforeCreatingAFile) {
    ScratchDir dir;
    const std::string path = dir.file("huge.bmp");
    const struct {
        uint32_t width, height, stride;
    } kCases[] = {{65536, 65536, 196608}, {0x40000000u, 1, 0xFFFFFFFCu}, {1, UINT32_MAX, 4}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height);
        BmpWriter w;
        EXPECT_EQ(bmp_open(&w, path.c_str(), c.width, c.height, c.stride), 0);
        // pixels is never read: the size check comes first.
        EXPECT_EQ(write_bmp(path.c_str(), c.width, c.height, c.stride, nullptr), 0);
        EXPECT_FALSE(app_test::file_exists(path));
    }
}

// /dev/full accepts the open and fails every write; the writer must notice (at a row write
// or at the final flush) and must not delete the device.
TEST(BmpWriter, FullDeviceFails) {
    if (!is_char_device("/dev/full")) GTEST_SKIP() << "/dev/full is not available here";
    const struct {
        uint32_t width, height;
    } kShapes[] = {{1, 1}, {13, 7}, {4096, 3}};  // buffered whole, and rows beyond the buffer
    for (const auto& s : kShapes) {
        SCOPED_TRACE(testing::Message() << s.width << " x " << s.height);
        const uint32_t stride = static_cast<uint32_t>(bmp_stride(s.width));
        std::vector<uint8_t> px = pattern(s.height, stride, 7);
        EXPECT_EQ(write_bmp("/dev/full", s.width, s.height, stride, px.data()), 0);
        std::vector<uint32_t> order(s.height);
        std::iota(order.begin(), order.end(), 0u);
        EXPECT_EQ(stream_rows("/dev/full", s.width, s.height, stride, px, order), 0);
        EXPECT_TRUE(is_char_device("/dev/full"));
    }
}

// A regular file whose writes fail part way (a file size limit stands in for a full disk):
// the result is 0 and the partial file is gone.
struct LimitedWrite {
    std::string path;
    uint32_t width, height;
    int streaming;
};

int limited_write(void* ctx) {
    auto* c = static_cast<LimitedWrite*>(ctx);
    const uint32_t stride = static_cast<uint32_t>(bmp_stride(c->width));
    std::vector<uint8_t> px = pattern(c->height, stride, 3);
    if (!c->streaming) return write_bmp(c->path.c_str(), c->width, c->height, stride, px.data());
    std::vector<uint32_t> order(c->height);
    std::iota(order.begin(), order.end(), 0u);
    return stream_rows(c->path, c->width, c->height, stride, px, order);
}

TEST(BmpWriter, FailedWritesRemoveThePartialFile) {
    ScratchDir dir;
    const struct {
        uint64_t limit;
        uint32_t width, height;
        int streaming, expect;
    } kCases[] = {
        {4096, 100, 100, 0, 0},    // 30 054 bytes against 4 KiB
        {4096, 100, 100, 1, 0},
        {40, 1, 1, 0, 0},          // not even the header fits
        {40, 1, 1, 1, 0},
        {65536, 100, 100, 0, 1},   // control: the limit leaves room
        {65536, 100, 100, 1, 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(testing::Message() << "limit " << c.limit << " streaming " << c.streaming);
        LimitedWrite job{dir.file("limited.bmp"), c.width, c.height, c.streaming};
        ASSERT_EQ(app_test::run_with_file_size_limit(c.limit, limited_write, &job), c.expect);
        EXPECT_EQ(app_test::file_exists(job.path), c.expect == 1);
        if (c.expect) {
            EXPECT_EQ(app_test::read_file(job.path).size(), 54u + c.height * bmp_stride(c.width));
        }
        std::remove(job.path.c_str());
    }
}
