#include "support/codestream_fixtures.h"

#include <gtest/gtest.h>

#include "io/stream.h"

namespace cs_test {

Bytes segment(uint16_t code, const Bytes& body, int length_delta) {
    return Bytes().u16(code).u16(uint32_t(int(body.size()) + 2 + length_delta)).add(body);
}

Bytes siz_body(const SizParams& p) {
    Bytes b;
    b.u16(0).u32(p.Xsiz).u32(p.Ysiz).u32(p.XOsiz).u32(p.YOsiz);
    b.u32(p.XTsiz).u32(p.YTsiz).u32(p.XTOsiz).u32(p.YTOsiz).u16(uint32_t(p.components.size()));
    for (const SizComponent& c : p.components) b.u8(c.ssiz).u8(c.xrsiz).u8(c.yrsiz);
    return b;
}

static Bytes& coding_style_part(Bytes& b, const CodParams& p) {
    b.u8(p.levels).u8(p.xcb).u8(p.ycb).u8(p.cblk_style).u8(p.transform);
    return (p.Scod & 1) ? b.raw(p.precincts) : b;
}

Bytes cod_body(const CodParams& p) {
    Bytes b;
    return coding_style_part(b.u8(p.Scod).u8(p.progression).u16(p.layers).u8(0), p);
}

Bytes coc_body(uint16_t component, const CodParams& p, bool wide) {
    Bytes b;
    return coding_style_part((wide ? b.u16(component) : b.u8(component)).u8(p.Scod), p);
}

Bytes qcd_body_reversible(uint32_t levels) {
    Bytes b;
    b.u8(2 << 5);
    for (uint32_t i = 0; i < 3 * levels + 1; i++) b.u8(8 << 3);
    return b;
}

Bytes main_header(const SizParams& siz, const CodParams& cod, const Bytes& extra) {
    Bytes b = marker(kMarkerSOC).add(segment(kMarkerSIZ, siz_body(siz))).add(segment(kMarkerCOD, cod_body(cod)));
    return b.add(segment(kMarkerQCD, qcd_body_reversible(cod.levels))).add(extra);
}

Bytes sot(uint16_t isot, uint32_t psot, uint8_t tpsot, uint8_t tnsot) {
    return segment(kMarkerSOT, Bytes().u16(isot).u32(psot).u8(tpsot).u8(tnsot));
}

std::vector<std::string> Messages::errors, Messages::warnings;

Decoder::Decoder(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    Messages::clear();
    ops_ = memops_create();
    stream_ = memory_stream_create(ops_, bytes_.data(), uint32_t(bytes_.size()));
    d_ = jpcdec_create(ops_, stream_);
    if (d_) jpcdec_set_hooks(d_, [](const char* m) { Messages::errors.emplace_back(m); },
                             [](const char* m) { Messages::warnings.emplace_back(m); });
}

Decoder::~Decoder() {
    jpcdec_destroy(d_);
    if (stream_) stream_->close(stream_);
    EXPECT_EQ(memops_in_use(ops_), 0u) << "the decoder leaked memory";
    ops_->release(ops_);
}

}  // namespace cs_test
