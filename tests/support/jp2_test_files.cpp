#include "support/jp2_test_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace jp2test {

namespace {

Messages g_messages;

void on_error(const char* m) { g_messages.errors.emplace_back(m); }
void on_warning(const char* m) { g_messages.warnings.emplace_back(m); }

void append(Bytes* out, const Bytes& b) { out->insert(out->end(), b.begin(), b.end()); }

}  // namespace

Bytes be16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
Bytes be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) append(&out, p);
    return out;
}

uint32_t fourcc(const char* t) {
    return (uint32_t(uint8_t(t[0])) << 24) | (uint32_t(uint8_t(t[1])) << 16) |
           (uint32_t(uint8_t(t[2])) << 8) | uint8_t(t[3]);
}

Bytes box_lbox(uint32_t lbox, const char* type, const Bytes& content) {
    return cat({be32(lbox), be32(fourcc(type)), content});
}

Bytes box(const char* type, const Bytes& content) {
    return box_lbox(uint32_t(content.size() + 8), type, content);
}

Bytes box_xl(const char* type, const Bytes& content, uint64_t xlbox) {
    if (xlbox == 0) xlbox = content.size() + 16;
    return cat({be32(1), be32(fourcc(type)), be32(uint32_t(xlbox >> 32)), be32(uint32_t(xlbox)),
                content});
}

Bytes signature() { return {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50, 0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A}; }

Bytes ftyp() { return box("ftyp", cat({be32(fourcc("jp2 ")), be32(0), be32(fourcc("jp2 "))})); }

Bytes ihdr(uint32_t width, uint32_t height, uint16_t nc, uint8_t bpc) {
    return box("ihdr", cat({be32(height), be32(width), be16(nc), {bpc, 7, 0, 0}}));
}

Bytes colr(uint32_t enum_cs) { return box("colr", cat({{1, 0, 0}, be32(enum_cs)})); }

Bytes colr_icc(const Bytes& profile) { return box("colr", cat({{2, 0, 0}, profile})); }

Bytes cdef(const std::vector<std::vector<uint16_t>>& d) {
    Bytes c = be16(uint16_t(d.size()));
    for (const auto& e : d) append(&c, cat({be16(e[0]), be16(e[1]), be16(e[2])}));
    return box("cdef", c);
}

Bytes cmap(const std::vector<std::vector<uint16_t>>& m) {
    Bytes c;
    for (const auto& e : m) append(&c, cat({be16(e[0]), {uint8_t(e[1]), uint8_t(e[2])}}));
    return box("cmap", c);
}

Bytes pclr(const std::vector<std::vector<uint8_t>>& entries) {
    const uint8_t npc = entries.empty() ? 0 : uint8_t(entries[0].size());
    Bytes c = cat({be16(uint16_t(entries.size())), {npc}});
    for (uint32_t k = 0; k < npc; k++) c.push_back(7);
    for (const auto& e : entries) append(&c, e);
    return box("pclr", c);
}

Bytes jp2_file(const Bytes& header_content, const Bytes& codestream) {
    return cat({signature(), ftyp(), box("jp2h", header_content), box("jp2c", codestream)});
}

Bytes fixture(const char* name) {
    const std::string path = std::string(DRAVEX_SOURCE_DIR) + "/tests/data/" + name;
    Bytes out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
    std::fclose(f);
    return out;
}

uint32_t fixture_sample(uint32_t x, uint32_t y, uint32_t c, uint32_t depth) {
    return (x * 37 + y * 11 + c * 53 + 7) & ((1u << depth) - 1);
}

bool Messages::has_warning(const std::string& m) const {
    return std::find(warnings.begin(), warnings.end(), m) != warnings.end();
}

void Messages::expect(const char* error, const char* warning) const {
    if (error) {
        EXPECT_EQ(errors, std::vector<std::string>{error});
    } else {
        EXPECT_TRUE(errors.empty()) << errors[0];
    }
    if (warning) {
        EXPECT_TRUE(has_warning(warning)) << warning;
    }
}

std::vector<std::string> Messages::jp2_warnings() const {
    static const char* const kOwn[] = {
        jp2msg::kAreaMismatch,
        jp2msg::kBpcMismatch,
        jp2msg::kBpccBeforeIhdr,
        jp2msg::kBpccDuplicate,
        jp2msg::kBpccMismatch,
        jp2msg::kCdefBeforeIhdr,
        jp2msg::kCdefDuplicate,
        jp2msg::kCdefZero,
        jp2msg::kChannelsCut,
        jp2msg::kCmapBeforeIhdr,
        jp2msg::kCmapDuplicate,
        jp2msg::kCmpTooLarge,
        jp2msg::kCodestreamBeforeHeader,
        jp2msg::kColrBadMeth,
        jp2msg::kColrBeforeIhdr,
        jp2msg::kColrDuplicate,
        jp2msg::kComponentsMismatch,
        jp2msg::kFileTypeDuplicate,
        jp2msg::kHeaderDuplicate,
        jp2msg::kImageHeaderDuplicate,
        jp2msg::kPaletteWithoutMapping,
        jp2msg::kPclrBeforeIhdr,
        jp2msg::kPclrDuplicate,
        jp2msg::kResBeforeIhdr,
        jp2msg::kResDuplicate,
        jp2msg::kRescDuplicate,
        jp2msg::kResdDuplicate,
        jp2msg::kUnknownCompression,
        jp2msg::kUnsupportedColour};
    std::vector<std::string> out;
    for (const std::string& w : warnings)
        for (const char* own : kOwn)
            if (w == own) out.push_back(w);
    return out;
}

Decoder::Decoder(Bytes bytes) : bytes_(std::move(bytes)) {
    g_messages = Messages();
    ops_ = memops_create();
    if (!ops_) return;
    stream_ = memory_stream_create(ops_, bytes_.data(), uint32_t(bytes_.size()));
    if (!stream_) return;
    j_ = jp2_create(ops_, stream_);
    if (j_) jp2_set_hooks(j_, on_error, on_warning);
}

Decoder::~Decoder() {
    if (j_) jp2_destroy(j_);
    if (stream_) stream_->close(stream_);
    if (ops_) {
        // Everything the decoder took must be back when it is gone.
        EXPECT_EQ(memops_in_use(ops_), 0u) << "the decoder left memory behind";
        ops_->release(ops_);
    }
}

int Decoder::parse() { return j_ ? jp2_parse(j_) : 0; }

int Decoder::walk() {
    if (!j_) return 0;
    br_set_pos(j_->reader, 12);
    return jp2_parse_boxes(j_);
}

int Decoder::decode_bgr(std::vector<uint8_t>* pixels, uint32_t* width, uint32_t* height) {
    jp2_get_size(j_, width, height);
    const uint32_t offsets[3] = {2, 1, 0};
    pixels->assign(size_t(*width) * *height * 3, 0);
    jp2_set_colour_conversion(j_, 1);
    if (!jp2_set_output(j_, 3, offsets, 3)) return 0;
    int ok = 1;
    for (uint32_t y = 0; y < *height; y++)
        if (!jp2_decode_row(j_, pixels->data() + size_t(y) * *width * 3)) ok = 0;
    jp2_finish_output(j_);
    return ok;
}

const Messages& Decoder::messages() const { return g_messages; }

}  // namespace jp2test
