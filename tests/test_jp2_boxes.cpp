// Top-level box walk over hand-built files: order, lengths (0, XLBox, past the file),
// skipped boxes and where the codestream decoder is attached.
#include <gtest/gtest.h>

#include "support/jp2_test_files.h"

using namespace jp2test;

namespace {

const Bytes kCodestream = {0xFF, 0x4F, 0xFF, 0x51, 0x00, 0x29};
Bytes header() { return cat({ihdr(4, 2, 3, 7), colr(16)}); }
Bytes jp2h() { return box("jp2h", header()); }

struct WalkCase {
    const char* name;
    Bytes file;
    int ok;
    const char* error;    // expected error, or nullptr for none
    const char* warning;  // a warning expected among those given, or nullptr
    uint32_t codestream_at;  // reader position after a successful walk
};

uint32_t size_of(std::initializer_list<Bytes> parts) {
    uint32_t n = 0;
    for (const Bytes& b : parts) n += uint32_t(b.size());
    return n;
}

std::vector<WalkCase> walk_cases() {
    const Bytes sig = signature(), ft = ftyp(), hb = jp2h();
    const Bytes xml = box("xml ", Bytes(13, 'x')), uuid = box("uuid", Bytes(16, 0x55));
    const Bytes jp2i = box("jp2i", Bytes(3, 1));
    std::vector<WalkCase> c;
    c.push_back({"minimal", cat({sig, ft, hb, box("jp2c", kCodestream)}), 1, nullptr, nullptr,
                 size_of({sig, ft, hb}) + 8});
    c.push_back({"codestream LBox 0 runs to the end",
                 cat({sig, ft, hb, box_lbox(0, "jp2c", kCodestream)}), 1, nullptr, nullptr,
                 size_of({sig, ft, hb}) + 8});
    c.push_back({"skipped boxes around the header",
                 cat({sig, ft, xml, hb, uuid, jp2i, box("jp2c", kCodestream)}), 1, nullptr, nullptr,
                 size_of({sig, ft, xml, hb, uuid, jp2i}) + 8});
    c.push_back({"XLBox on a skipped box", cat({sig, ft, box_xl("xml ", Bytes(5, 'a')), hb,
                                               box("jp2c", kCodestream)}),
                 1, nullptr, nullptr, size_of({sig, ft, box_xl("xml ", Bytes(5, 'a')), hb}) + 8});
    c.push_back({"XLBox on the codestream box", cat({sig, ft, hb, box_xl("jp2c", kCodestream)}), 1,
                 nullptr, nullptr, size_of({sig, ft, hb}) + 16});
    c.push_back({"XLBox on the header box", cat({sig, ft, box_xl("jp2h", header()),
                                                box("jp2c", kCodestream)}),
                 1, nullptr, nullptr, size_of({sig, ft, box_xl("jp2h", header())}) + 8});
    c.push_back({"XLBox below 16", cat({sig, ft, box_xl("xml ", {}, 15), hb}), 0,
                 jp2msg::kXLBoxTooSmall, nullptr, 0});
    c.push_back({"XLBox past the file", cat({sig, ft, box_xl("xml ", Bytes(4, 0), 1ull << 40), hb}),
                 0, jp2msg::kBoxPastFile, nullptr, 0});
    c.push_back({"codestream XLBox past the file is cut",
                 cat({sig, ft, hb, box_xl("jp2c", kCodestream, 1ull << 40)}), 1, nullptr, nullptr,
                 size_of({sig, ft, hb}) + 16});
    c.push_back({"codestream LBox past the file is cut",
                 cat({sig, ft, hb, box_lbox(5000, "jp2c", kCodestream)}), 1, nullptr, nullptr,
                 size_of({sig, ft, hb}) + 8});
    c.push_back({"header box past the file",
                 cat({sig, ft, box_lbox(5000, "jp2h", header())}), 0, jp2msg::kBoxPastFile, nullptr,
                 0});
    c.push_back({"skipped box past the file", cat({sig, ft, hb, box_lbox(100, "xml ", {1, 2})}), 0,
                 jp2msg::kBoxPastFile, nullptr, 0});
    c.push_back({"LBox 5", cat({sig, ft, box_lbox(5, "xml ", {}), hb}), 0, jp2msg::kLBoxTwoToSeven,
                 nullptr, 0});
    c.push_back({"LBox 1 without room for the XLBox", cat({sig, ft, hb, be32(1), be32(fourcc("xml ")),
                                                          be32(0)}),
                 0, jp2msg::kBoxHeaderError, nullptr, 0});
    c.push_back({"file ends inside a box header", cat({sig, ft, hb, {0, 0, 0}}), 0,
                 jp2msg::kBoxHeaderError, nullptr, 0});
    c.push_back({"empty after the signature", sig, 0, jp2msg::kBoxHeaderError, nullptr, 0});
    c.push_back({"first box not ftyp", cat({sig, hb, ft, box("jp2c", kCodestream)}), 0,
                 jp2msg::kMissingFileType, nullptr, 0});
    c.push_back({"ftyp past the file", cat({sig, box_lbox(900, "ftyp", Bytes(12, 0))}), 0,
                 jp2msg::kBoxPastFile, nullptr, 0});
    c.push_back({"ftyp shorter than its fixed fields",
                 cat({sig, box("ftyp", Bytes(7, 0)), hb, box("jp2c", kCodestream)}), 0,
                 jp2msg::kFileTypeError, nullptr, 0});
    c.push_back({"second ftyp skipped", cat({sig, ft, ft, hb, box("jp2c", kCodestream)}), 1, nullptr,
                 nullptr, size_of({sig, ft, ft, hb}) + 8});
    c.push_back({"codestream before the header, none after",
                 cat({sig, ft, box("jp2c", kCodestream), hb}), 0, jp2msg::kMissingCodestream,
                 jp2msg::kCodestreamBeforeHeader, 0});
    c.push_back({"codestream before and after the header",
                 cat({sig, ft, box("jp2c", kCodestream), hb, box("jp2c", kCodestream)}), 1, nullptr,
                 jp2msg::kCodestreamBeforeHeader,
                 size_of({sig, ft, box("jp2c", kCodestream), hb}) + 8});
    c.push_back({"boxes after the codestream are never read",
                 cat({sig, ft, hb, box("jp2c", kCodestream), box_lbox(3, "bad!", {})}), 1, nullptr,
                 nullptr, size_of({sig, ft, hb}) + 8});
    c.push_back({"no header box", cat({sig, ft, xml, box("jp2c", kCodestream)}), 0,
                 jp2msg::kMissingHeader, jp2msg::kCodestreamBeforeHeader, 0});
    c.push_back({"header without colr box",
                 cat({sig, ft, box("jp2h", ihdr(4, 2, 3, 7)), box("jp2c", kCodestream)}), 0,
                 jp2msg::kMissingColr, nullptr, 0});
    c.push_back({"no codestream box", cat({sig, ft, hb, xml}), 0, jp2msg::kMissingCodestream,
                 nullptr, 0});
    c.push_back({"second header box skipped",
                 cat({sig, ft, hb, box("jp2h", Bytes(3, 0)), box("jp2c", kCodestream)}), 1, nullptr,
                 jp2msg::kHeaderDuplicate, size_of({sig, ft, hb, box("jp2h", Bytes(3, 0))}) + 8});
    return c;
}

}  // namespace

TEST(Jp2BoxWalk, Cases) {
    for (const WalkCase& c : walk_cases()) {
        SCOPED_TRACE(c.name);
        Decoder d(c.file);
        ASSERT_NE(d.get(), nullptr);
        EXPECT_EQ(d.walk(), c.ok);
        d.messages().expect(c.error, c.warning);
        if (c.ok) {
            ASSERT_NE(d->jpcdec, nullptr);
            // The codestream decoder reads on from the first byte of the box contents.
            EXPECT_EQ(br_get_pos(d->reader), c.codestream_at);
        }
    }
}

TEST(Jp2BoxWalk, TopLevelComponentMapping) {
    const Bytes top = cmap({{0, 1, 0}, {0, 1, 1}}), cs = box("jp2c", kCodestream);
    const struct {
        const char* name;
        Bytes boxes;  // after the signature and ftyp
        uint32_t count;  // of the mapping kept; 0: none
    } cases[] = {
        {"taken when the header has none", cat({jp2h(), top, cs}), 2},
        {"skipped when the header has one",
         cat({box("jp2h", cat({header(), cmap({{0, 0, 0}})})), top, cs}), 1},
        {"skipped before the header", cat({top, jp2h(), cs}), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d(cat({signature(), ftyp(), c.boxes}));
        ASSERT_EQ(d.walk(), 1);
        const ComponentMappingRecord* m = d->jp2_header->component_mapping;
        EXPECT_EQ(m ? m->count : 0u, c.count);
    }
}

TEST(Jp2BoxWalk, ParseNeedsTheSignature) {
    Bytes file = cat({signature(), ftyp(), jp2h(), box("jp2c", kCodestream)});
    file[6] = 'X';
    Decoder d(file);
    EXPECT_EQ(d.parse(), 0);
    ASSERT_EQ(d.messages().errors.size(), 1u);
    EXPECT_EQ(d.messages().errors[0], jp2msg::kMissingSignature);
}

TEST(Jp2BoxWalk, EveryTruncationFailsCleanly) {
    // Cutting a valid file anywhere before the codestream box must fail with one error.
    const Bytes full = cat({signature(), ftyp(), box("jp2h", cat({header(), cdef({{0, 0, 1}}),
                                                                  pclr({{1, 2}}), cmap({{0, 1, 0}})})),
                            box("jp2c", kCodestream)});
    const uint32_t codestream_header = uint32_t(full.size() - kCodestream.size() - 8);
    for (uint32_t n = 12; n < codestream_header; n++) {
        SCOPED_TRACE(n);
        Decoder d(Bytes(full.begin(), full.begin() + n));
        EXPECT_EQ(d.walk(), 0);
        EXPECT_EQ(d.messages().errors.size(), 1u);
    }
}
