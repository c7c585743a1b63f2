#pragma once
// Hand-built JP2 files for the JP2 tests: boxes as byte vectors, a decoder over them in
// memory, and the hooks' messages collected for checking.
//   jp2test::Bytes f = jp2test::jp2_file(jp2test::header_box(...), codestream);
//   jp2test::Decoder d(f);  d.parse();  d.errors / d.warnings
#include <cstdint>
#include <string>
#include <vector>

#include "io/mem_ops.h"
#include "io/stream.h"
#include "jp2/jp2_impl.h"

namespace jp2test {

using Bytes = std::vector<uint8_t>;

Bytes be16(uint16_t v);
Bytes be32(uint32_t v);
Bytes cat(std::initializer_list<Bytes> parts);
uint32_t fourcc(const char* type);

// A box with LBox = 8 + content size; box_lbox writes the given LBox; box_xl an XLBox
// (xlbox 0: the exact 16 + content size).
Bytes box(const char* type, const Bytes& content);
Bytes box_lbox(uint32_t lbox, const char* type, const Bytes& content);
Bytes box_xl(const char* type, const Bytes& content, uint64_t xlbox = 0);

Bytes signature();
Bytes ftyp();                                   // brand 'jp2 ', one compatibility entry
Bytes ihdr(uint32_t width, uint32_t height, uint16_t nc, uint8_t bpc);
Bytes colr(uint32_t enum_cs);                   // METH 1
Bytes colr_icc(const Bytes& profile);           // METH 2
// (Cn, Typ, Asoc) triples.
Bytes cdef(const std::vector<std::vector<uint16_t>>& descriptions);
// (CMP, MTYP, PCOL) triples.
Bytes cmap(const std::vector<std::vector<uint16_t>>& entries);
// One-byte columns of depth 8: entries[j][k].
Bytes pclr(const std::vector<std::vector<uint8_t>>& entries);

// Signature, ftyp, a jp2h of the given content and a jp2c of the given codestream.
Bytes jp2_file(const Bytes& header_content, const Bytes& codestream);

// A committed fixture from tests/data (empty when missing).
Bytes fixture(const char* name);
// Sample value of the generated fixtures (scripts/make-jp2-fixtures).
uint32_t fixture_sample(uint32_t x, uint32_t y, uint32_t c, uint32_t depth);

// Messages reaching the hooks of the decoder in use (one decoder at a time).
struct Messages {
    std::vector<std::string> errors;
    std::vector<std::string> warnings;
    bool has_warning(const std::string& m) const;
    // `error` as the one error (no error when nullptr), `warning` among the warnings if given.
    void expect(const char* error, const char* warning) const;
    // The warnings that come from the JP2 module itself (the codestream decoder shares the
    // hooks and adds its own notes).
    std::vector<std::string> jp2_warnings() const;
};

// A Jp2Decoder over bytes in memory, hooks installed.
class Decoder {
public:
    explicit Decoder(Bytes bytes);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    Jp2Decoder* get() const { return j_; }
    Jp2Decoder* operator->() const { return j_; }
    MemOps* ops() const { return ops_; }
    // Full parse; or only the box walk after the signature (no codestream parse).
    int parse();
    int walk();
    // Set-up with the driver's {2, 1, 0} over 3-byte pixels, then every row; 0 on failure.
    int decode_bgr(std::vector<uint8_t>* pixels, uint32_t* width, uint32_t* height);
    const Messages& messages() const;

private:
    Bytes bytes_;
    MemOps* ops_ = nullptr;
    Stream* stream_ = nullptr;
    Jp2Decoder* j_ = nullptr;
};

}  // namespace jp2test
