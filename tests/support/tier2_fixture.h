#pragma once
// Tier-2 test fixtures: a tier-2 state over an image header filled by hand so that tiles can
// be built from chosen parameters for the reference models, and writers of packets the way an
// encoder makes them.
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codestream/codestream_reader.h"
#include "tier2/tier2.h"
#include "tier2/tile.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace t2_test {

struct Component {
    uint8_t xrsiz = 1, yrsiz = 1;
};
struct Image {
    uint32_t Xsiz = 64, Ysiz = 64, XOsiz = 0, YOsiz = 0;
    uint32_t XTsiz = 64, YTsiz = 64, XTOsiz = 0, YTOsiz = 0;
    std::vector<Component> components = std::vector<Component>(1);
};
struct Style {
    uint8_t levels = 0;
    uint8_t xcb = 2, ycb = 2;        // exponents, already + 2
    std::vector<uint8_t> precincts;  // levels + 1 bytes, or empty for 15/15
};
struct Poc {
    uint8_t RS;
    uint16_t CS, LYE;
    uint8_t RE;
    uint16_t CE;
    uint8_t P;
};
extern std::string g_last_error;  // the last error the hooks received

// Checks for leaks on destruction.
class Decoder {
public:
    explicit Decoder(const Image& img);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    Tier2* get() { return &t2_; }
    // Tile t with one style per component (the last one repeats) and every code-block made;
    // nullptr (and the message) on failure.
    Tile* build_tile(uint32_t t, const std::vector<Style>& styles, uint16_t layers = 1, uint8_t order = 0);
    // The progression of a built tile from the POC lists of the main and tile-part headers.
    int setup_progression(uint32_t t, const std::vector<Poc>& main_poc, const std::vector<Poc>& part_poc);

private:
    MemOps* ops_ = nullptr;
    DecodeContext ctx_{};
    ImageHeader image_{};
    CodestreamReader in_{};
    Tier2 t2_{};
};

using Packet = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;  // layer, res, comp, prec
// Runs next_packet to exhaustion (at most `limit` packets).
std::vector<Packet> packet_sequence(Tile* tile, size_t limit = 1000000);

// Bits written most significant first with a 0 bit stuffed after every 0xFF byte.
class BitWriter {
public:
    void bit(uint32_t b);
    void bits(uint32_t value, uint32_t n) {
        for (uint32_t i = n; i-- > 0;) bit((value >> i) & 1);
    }
    // Pads the last byte with zeros; after a final 0xFF a 0x00 follows.
    std::vector<uint8_t> finish();

private:
    std::vector<uint8_t> out_;
    uint32_t cur_ = 0, nbits_ = 0, limit_ = 8;
};

// Codeword for a number of coding passes (1..164).
void write_pass_count(BitWriter* bw, uint32_t m);

// Tag-tree encoder with the state an encoder keeps over layers.
class TagTreeWriter {
public:
    TagTreeWriter(uint32_t w, uint32_t h);
    void set_value(uint32_t i, uint32_t v);  // leaf i in raster order; parents become minima
    void encode(BitWriter* bw, uint32_t i, uint32_t threshold);

private:
    struct Node {
        int32_t parent;
        uint32_t value, low, known;
    };
    std::vector<Node> nodes_;
};

// What one code-block brings to one packet: (passes, bytes) per codeword segment.
using Contribution = std::vector<std::pair<uint32_t, std::vector<uint8_t>>>;

// Packets of one precinct of a single band (blocks across x down), over layers.
class PrecinctWriter {
public:
    // first_layer: each block's layer of first inclusion (0xFFFF: never).
    PrecinctWriter(uint32_t across, uint32_t down, const std::vector<uint32_t>& first_layer, const std::vector<uint32_t>& zero_bitplanes);
    // Header bits and body bytes of the packet of `layer`, contributions[i] for block i; an
    // all-empty packet writes the 0 bit.
    void packet(uint32_t layer, const std::vector<Contribution>& contributions, std::vector<uint8_t>* header,
                std::vector<uint8_t>* body, bool eph = false);

private:
    TagTreeWriter incl_, zbp_;
    std::vector<uint32_t> lblock_, included_;
};

}  // namespace t2_test
