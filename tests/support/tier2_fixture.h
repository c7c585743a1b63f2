#pragma once
// Tier-2 test fixtures: a jpcdec filled by hand (SIZ values, tiles) so tiles can be built
// from chosen parameters for the reference models, and a packet writer that produces packet
// headers and bodies the way an encoder would.
//   t2_test::Decoder dec(img);                      // checks for leaks on destruction
//   Tile* t = dec.build_tile(0, {style}, layers, order);
//   auto seq = t2_test::packet_sequence(t);         // (layer, resolution, component, precinct)
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "codestream/jpcdec_impl.h"
#include "tier2/bit_reader.h"
#include "tier2/tile.h"
#include "tier2/tile_build.h"

namespace t2_test {

struct Component {
    uint8_t xrsiz = 1, yrsiz = 1;
    uint8_t depth = 8;
};

struct Image {
    uint32_t Xsiz = 64, Ysiz = 64, XOsiz = 0, YOsiz = 0;
    uint32_t XTsiz = 64, YTsiz = 64, XTOsiz = 0, YTOsiz = 0;
    std::vector<Component> components = std::vector<Component>(1);
};

// ComponentStyle with owned precinct bytes.
struct Style {
    uint8_t levels = 0;
    uint8_t xcb = 6, ycb = 6;  // exponents, already + 2
    uint8_t cblk_style = 0;
    uint8_t transform = 1;
    std::vector<uint8_t> precincts;  // levels + 1 bytes, or empty for 15/15
    uint8_t roi_shift = 0;
    ComponentStyle get() const;
};

// Messages received through the hooks since the last clear().
struct Messages {
    static std::vector<std::string> errors, warnings;
    static void clear() {
        errors.clear();
        warnings.clear();
    }
    static void on_error(const char* m) { errors.emplace_back(m); }
    static void on_warning(const char* m) { warnings.emplace_back(m); }
    static std::string last() { return errors.empty() ? std::string() : errors.back(); }
};

class Decoder {
public:
    explicit Decoder(const Image& img);
    ~Decoder();
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    jpcdec* get() const { return d_; }
    MemOps* ops() const { return ops_; }
    // Builds tile t: bounds, one style per component (the last one repeats), magnitude_bits
    // of every band set to `magnitude_bits`. Returns nullptr (and records the message) on
    // failure.
    Tile* build_tile(uint32_t t, const std::vector<Style>& styles, uint16_t layers = 1,
                     uint8_t order = 0, uint8_t Scod = 0, uint8_t magnitude_bits = 12);
    // Builds tile t, then sets up its progression from these POC entries (none: default).
    struct Poc {
        uint8_t RS;
        uint16_t CS;
        uint16_t LYE;
        uint8_t RE;
        uint16_t CE;
        uint8_t P;
    };
    // Sets up the progression of a built tile; `main_poc` and `part_poc` become the POC lists
    // of the two MarkerSets handed over.
    int setup_progression(uint32_t t, const std::vector<Poc>& main_poc,
                          const std::vector<Poc>& part_poc);

private:
    MemOps* ops_ = nullptr;
    jpcdec* d_ = nullptr;
};

using Packet = std::tuple<uint32_t, uint32_t, uint32_t, uint32_t>;  // layer, res, comp, prec
// Runs next_packet to exhaustion (at most `limit` packets).
std::vector<Packet> packet_sequence(Tile* tile, size_t limit = 1000000);

// Bits written most significant first with a 0 bit stuffed after every 0xFF byte.
class BitWriter {
public:
    void bit(uint32_t b);
    void bits(uint32_t value, uint32_t n);
    // Pads the last byte with zeros; after a final 0xFF a 0x00 follows.
    std::vector<uint8_t> finish();

private:
    std::vector<uint8_t> out_;
    uint32_t cur_ = 0, nbits_ = 0, limit_ = 8;
};

// Codeword for a number of coding passes (1..164).
void write_pass_count(BitWriter* bw, uint32_t m);

// Tag-tree encoder with persistent state, as an encoder keeps it over layers.
class TagTreeWriter {
public:
    TagTreeWriter(uint32_t w, uint32_t h);
    void set_value(uint32_t x, uint32_t y, uint32_t v);  // leaves; parents become minima
    void encode(BitWriter* bw, uint32_t x, uint32_t y, uint32_t threshold);

private:
    struct Node {
        int32_t parent;
        uint32_t value, low, known;
    };
    std::vector<Node> nodes_;
    uint32_t w_, h_;
};

// One precinct-band's code-blocks, as an encoder sees them over layers.
struct BlockPlan {
    uint32_t first_layer = 0xFFFF;  // layer of first inclusion
    uint32_t zero_bitplanes = 0;
};

// Contribution of one block to one packet: per-segment groups of (passes, bytes).
struct Contribution {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> groups;
};

class PrecinctWriter {
public:
    // One entry per band part: blocks across and down, and each block's plan.
    struct BandPart {
        uint32_t across, down;
        std::vector<BlockPlan> blocks;
    };
    explicit PrecinctWriter(std::vector<BandPart> parts);
    // Header bits and body bytes of the packet of `layer`; contributions[b][i] for block i
    // of band part b (empty groups: not included). An all-empty packet writes the 0 bit.
    void packet(uint32_t layer, const std::vector<std::vector<Contribution>>& contributions,
                std::vector<uint8_t>* header, std::vector<uint8_t>* body, bool eph = false);

private:
    std::vector<BandPart> parts_;
    std::vector<TagTreeWriter> incl_, zbp_;
    std::vector<std::vector<uint32_t>> lblock_, included_;
};

}  // namespace t2_test
