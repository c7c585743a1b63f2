#pragma once
// Codestreams built as bytes, a decoder over them in memory that checks for leaks, and hooks
// that record every message.
#include <cstdint>
#include <string>
#include <vector>

#include "codestream/jpc_segments.h"
#include "codestream/jpcdec.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace cs_test {

// Big-endian byte builder.
struct Bytes {
    std::vector<uint8_t> v;
    Bytes& u8(uint32_t x) { return v.push_back(uint8_t(x)), *this; }
    Bytes& u16(uint32_t x) { return u8(x >> 8).u8(x); }
    Bytes& u32(uint32_t x) { return u16(x >> 16).u16(x); }
    Bytes& raw(const std::vector<uint8_t>& bytes) { return v.insert(v.end(), bytes.begin(), bytes.end()), *this; }
    Bytes& add(const Bytes& other) { return raw(other.v); }
    size_t size() const { return v.size(); }
};

// FF xx, then the length word: body size + 2 + length_delta.
Bytes segment(uint16_t code, const Bytes& body, int length_delta = 0);
inline Bytes marker(uint16_t code) { return Bytes().u16(code); }

struct SizComponent {
    uint8_t ssiz, xrsiz, yrsiz;
};
struct SizParams {
    uint32_t Xsiz = 64, Ysiz = 64, XOsiz = 0, YOsiz = 0;
    uint32_t XTsiz = 64, YTsiz = 64, XTOsiz = 0, YTOsiz = 0;
    std::vector<SizComponent> components = {{7, 1, 1}};
};
Bytes siz_body(const SizParams& p);

struct CodParams {
    uint8_t Scod = 0, progression = 0;
    uint16_t layers = 1;
    uint8_t levels = 0, xcb = 4, ycb = 4, cblk_style = 0, transform = 1;
    std::vector<uint8_t> precincts;  // written when Scod bit 0 is set
};
Bytes cod_body(const CodParams& p);
// COC body for a one-byte component index (fewer than 257 components) unless wide.
Bytes coc_body(uint16_t component, const CodParams& p, bool wide = false);
// Reversible QCD body: two guard bits, exponent 8 for every band.
Bytes qcd_body_reversible(uint32_t levels);

// SOC, SIZ, COD and QCD; `extra` goes before the first SOT.
Bytes main_header(const SizParams& siz = {}, const CodParams& cod = {}, const Bytes& extra = {});
Bytes sot(uint16_t isot, uint32_t psot, uint8_t tpsot, uint8_t tnsot);

// Messages received through the hooks since the last clear().
struct Messages {
    static std::vector<std::string> errors, warnings;
    static void clear() { errors.clear(), warnings.clear(); }
};

// A jpcdec over a private copy of the bytes, hooks installed; on destruction it checks that
// the decoder, the stream and everything they allocated are gone.
class Decoder {
public:
    explicit Decoder(std::vector<uint8_t> bytes);
    explicit Decoder(const Bytes& bytes) : Decoder(bytes.v) {}
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    jpcdec* get() const { return d_; }
    MemOps* ops() const { return ops_; }

private:
    std::vector<uint8_t> bytes_;
    MemOps* ops_ = nullptr;
    Stream* stream_ = nullptr;
    jpcdec* d_ = nullptr;
};

}  // namespace cs_test
