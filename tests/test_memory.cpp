// Decoder memory: code-block bytes stay in the input until tier-1 needs them, so what the
// decoder holds does not follow the height of the image; the bytes come back the same on both
// roads and over both kinds of stream; a stream that stops delivering them costs samples only.
// Fixtures: scripts/make-memory-fixtures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codestream/jpcdec.h"
#include "codestream/jpcdec_impl.h"
#include "io/mem_ops.h"
#include "io/stream.h"
#include "jp2/jp2_decoder.h"
#include "support/app_tool.h"

namespace {

using app_test::data_path;

std::vector<std::string>& messages() {
    static std::vector<std::string> m;
    return m;
}
void on_error(const char* m) { messages().emplace_back(m); }

// A stream over test-owned bytes that can be told to refuse reads or seeks from now on.
struct FlakyStream {
    Stream base;
    MemoryStream inner;
    bool refuse_reads = false, refuse_seeks = false;

    explicit FlakyStream(const std::vector<uint8_t>& bytes) {
        memory_stream_init(&inner, bytes.data(), uint32_t(bytes.size()));
        base = Stream{};
        base.size = [](Stream* s) { return self(s)->inner.base.size(&self(s)->inner.base); };
        base.tell = [](Stream* s) { return self(s)->inner.base.tell(&self(s)->inner.base); };
        base.seek = [](Stream* s, uint64_t pos) {
            Stream* in = &self(s)->inner.base;
            return self(s)->refuse_seeks ? 0 : in->seek(in, pos);
        };
        base.read = [](Stream* s, void* buf, uint32_t n) {
            Stream* in = &self(s)->inner.base;
            return self(s)->refuse_reads ? 0 : in->read(in, buf, n);
        };
        base.close = [](Stream*) {};
    }
    static FlakyStream* self(Stream* s) { return reinterpret_cast<FlakyStream*>(s); }
};

enum class Road { Codestream, Jp2 };

struct Decoded {
    bool parsed = false;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> samples;  // `count` interleaved components per pixel
    uint32_t rows_delivered = 0;
    bool input_failed = false;     // as the decoder tells after the last row
    uint64_t peak = 0;             // bytes held at most through the decoder's MemOps
};

// Decodes `count` components of everything the stream holds; after_parse runs between
// parsing and the first row. Checks that the decoder gives back all it allocated.
template <class AfterParse>
Decoded decode(Road road, Stream* s, uint16_t count, AfterParse after_parse) {
    Decoded out;
    messages().clear();
    MemOps* ops = memops_create();
    jpcdec* d = nullptr;
    Jp2Decoder* j = nullptr;
    if (road == Road::Codestream) {
        d = jpcdec_create(ops, s);
        if (d) jpcdec_set_hooks(d, on_error, nullptr);
        out.parsed = d && jpcdec_parse(d);
        if (out.parsed) jpcdec_get_size(d, &out.width, &out.height);
        out.parsed = out.parsed && jpcdec_set_output(d, count, nullptr, count);
    } else {
        j = jp2_create(ops, s);
        if (j) jp2_set_hooks(j, on_error, nullptr);
        out.parsed = j && jp2_parse(j);
        if (out.parsed) jp2_get_size(j, &out.width, &out.height);
        out.parsed = out.parsed && jp2_set_output(j, count, nullptr, count);
    }
    if (out.parsed) {
        after_parse();
        const size_t stride = size_t(out.width) * count;
        out.samples.assign(stride * out.height, 0);
        for (uint32_t y = 0; y < out.height; y++) {
            uint8_t* row = out.samples.data() + stride * y;
            if (d ? jpcdec_decode_row(d, row) : jp2_decode_row(j, row)) out.rows_delivered++;
        }
        out.input_failed = d ? jpcdec_input_failed(d) : jp2_input_failed(j);
        if (d) jpcdec_finish_output(d);
        if (j) jp2_finish_output(j);
    }
    if (d) jpcdec_destroy(d);
    if (j) jp2_destroy(j);
    out.peak = memops_peak(ops);
    EXPECT_EQ(memops_in_use(ops), 0u) << "the decoder leaked";
    ops->release(ops);
    return out;
}

Decoded decode(Road road, Stream* s, uint16_t count) {
    return decode(road, s, count, [] {});
}

// Code-blocks of every tile, component, resolution and band of a parsed codestream.
uint64_t code_block_count(const std::vector<uint8_t>& bytes) {
    MemOps* ops = memops_create();
    Stream* s = memory_stream_create(ops, bytes.data(), uint32_t(bytes.size()));
    jpcdec* d = jpcdec_create(ops, s);
    uint64_t n = 0;
    if (d && jpcdec_parse(d)) {
        for (uint32_t t = 0; t < d->tileNum; t++) {
            const Tile& tile = d->tiles[t];
            for (uint32_t c = 0; tile.components && c < tile.component_count; c++) {
                const TileComponent& tc = tile.components[c];
                for (uint32_t r = 0; tc.resolutions && r < tc.resolution_count; r++)
                    for (uint32_t b = 0; b < tc.resolutions[r].band_count; b++)
                        n += uint64_t(tc.resolutions[r].bands[b].cb_across) *
                             tc.resolutions[r].bands[b].cb_down;
            }
        }
    }
    jpcdec_destroy(d);
    s->close(s);
    ops->release(ops);
    return n;
}

// Bytes a code-block may keep for the whole decode (its record, its place in the band's grid,
// a segment and a piece of input positions, with room to spare); its coded bytes are KBs in
// the fixtures.
constexpr uint64_t kBytesPerBlock = 128;
// Whatever else may differ between the two decodes (the scratch follows the largest block).
constexpr uint64_t kSlack = 2048;

TEST(Memory, PeakDoesNotFollowTheHeight) {
    const auto short_bytes = app_test::read_file(data_path("mem_grain_128x128.j2c"));
    const auto tall_bytes = app_test::read_file(data_path("mem_grain_128x512.j2c"));
    ASSERT_FALSE(short_bytes.empty()) << "fixtures missing: run scripts/make-memory-fixtures";
    ASSERT_FALSE(tall_bytes.empty());
    MemoryStream short_stream, tall_stream;
    memory_stream_init(&short_stream, short_bytes.data(), uint32_t(short_bytes.size()));
    memory_stream_init(&tall_stream, tall_bytes.data(), uint32_t(tall_bytes.size()));
    const Decoded a = decode(Road::Codestream, &short_stream.base, 1);
    const Decoded b = decode(Road::Codestream, &tall_stream.base, 1);
    ASSERT_TRUE(a.parsed && b.parsed);
    ASSERT_EQ(b.height, 4 * a.height);
    ASSERT_EQ(b.rows_delivered, b.height);

    const uint64_t extra_blocks = code_block_count(tall_bytes) - code_block_count(short_bytes);
    const uint64_t allowance = extra_blocks * kBytesPerBlock + kSlack;
    // The fixture must be able to tell: the extra coded bytes dwarf the allowance.
    ASSERT_GT(tall_bytes.size() - short_bytes.size(), 4 * allowance);
    EXPECT_LE(b.peak, a.peak + allowance)
        << "peak " << a.peak << " bytes for " << a.height << " rows, " << b.peak << " for "
        << b.height << " rows (" << extra_blocks << " more code-blocks)";
}

// Segments gathered over three layers, one tile-part per resolution and four tiles come back
// the same whatever the road and the stream.
TEST(Memory, CodedBytesComeBackTheSameOnEveryRoad) {
    app_test::Pnm want;
    ASSERT_TRUE(app_test::read_pnm(data_path("mem_layers_48x40.ppm"), &want));
    ASSERT_EQ(want.channels, 3u);
    const struct {
        const char* name;
        const char* file;
        Road road;
        bool file_stream;
    } kCases[] = {
        {"codestream, file", "mem_layers_48x40.j2c", Road::Codestream, true},
        {"codestream, memory", "mem_layers_48x40.j2c", Road::Codestream, false},
        {"JP2, file", "mem_layers_48x40.jp2", Road::Jp2, true},
        {"JP2, memory", "mem_layers_48x40.jp2", Road::Jp2, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        MemOps* ops = memops_create();
        const std::vector<uint8_t> bytes = app_test::read_file(data_path(c.file));
        Stream* s = c.file_stream ? file_stream_open(ops, data_path(c.file).c_str())
                                  : memory_stream_create(ops, bytes.data(), uint32_t(bytes.size()));
        ASSERT_NE(s, nullptr);
        const Decoded got = decode(c.road, s, 3);
        s->close(s);
        ops->release(ops);
        ASSERT_TRUE(got.parsed) << (messages().empty() ? "" : messages().back());
        EXPECT_EQ(got.width, want.width);
        EXPECT_EQ(got.height, want.height);
        EXPECT_EQ(got.samples, want.samples);
        EXPECT_FALSE(got.input_failed);
        EXPECT_TRUE(messages().empty()) << messages().front();
    }
}

// The input stops delivering after parsing (a file cut short, a device gone): every row still
// arrives, each block whose bytes cannot be had is zero (so every sample is the level shift,
// 128), the failure is reported once, not once per block, and the decoder says its input
// failed (the tool then refuses the picture instead of writing the zeros).
TEST(Memory, StreamThatFailsOnRereadCostsOnlySamples) {
    const struct {
        const char* name;
        const char* file;
        Road road;
        bool refuse_reads, refuse_seeks;
    } kCases[] = {
        {"codestream, reads refused", "mem_layers_48x40.j2c", Road::Codestream, true, false},
        {"codestream, seeks refused", "mem_layers_48x40.j2c", Road::Codestream, false, true},
        {"JP2, reads refused", "mem_layers_48x40.jp2", Road::Jp2, true, false},
        {"JP2, seeks and reads refused", "mem_layers_48x40.jp2", Road::Jp2, true, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> bytes = app_test::read_file(data_path(c.file));
        FlakyStream s(bytes);
        const Decoded got = decode(c.road, &s.base, 3, [&] {
            s.refuse_reads = c.refuse_reads;
            s.refuse_seeks = c.refuse_seeks;
        });
        ASSERT_TRUE(got.parsed);
        EXPECT_TRUE(got.input_failed);
        EXPECT_EQ(got.rows_delivered, got.height);
        ASSERT_EQ(got.samples.size(), size_t(48) * 40 * 3);
        for (size_t i = 0; i < got.samples.size(); i++) ASSERT_EQ(got.samples[i], 128) << i;
        ASSERT_EQ(messages().size(), 1u);
        EXPECT_NE(messages()[0].find("could not be read again"), std::string::npos)
            << messages()[0];
    }
}

}  // namespace
