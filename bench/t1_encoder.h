#pragma once
// Reference tier-1 encoder for the benchmarks: a plain MQ encoder, a stuffed raw bit writer
// and a whole-code-block bit-plane encoder with every code-block style, written for clarity
// (neighbours examined one by one, contexts from the rule tables) rather than speed.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tier2/tile.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace t1_test {

constexpr int kContexts = 19;

// Initial context states, written out independently of the decoder.
void reset_contexts(uint8_t ctx[kContexts]);

// MQ encoder: context bytes are (state << 1) | mps, as in the decoder.
class MqEncoder {
public:
    MqEncoder() { init(); }
    void init();
    void encode(uint8_t* cx, int decision);
    // Terminates the codeword and returns its bytes; the encoder is ready for a new one.
    std::vector<uint8_t> flush();

private:
    void renormalise();
    void byte_out();
    uint32_t a_ = 0, c_ = 0;
    int ct_ = 0;
    std::vector<uint8_t> buf_;  // buf_[0] stands for the byte before the codeword
    size_t bp_ = 0;
};

// Raw bits with a 0 stuffed at the top of every byte that follows 0xFF.
class RawWriter {
public:
    void put(int bit);
    // Pads the last byte; with predictable termination the pad is 0101... and a fully used
    // final 0xFF is followed by 0x2A.
    std::vector<uint8_t> flush(bool predictable);

private:
    std::vector<uint8_t> out_;
    uint32_t acc_ = 0;
    int nbits_ = 0;
    int cap_ = 8;
};

// Encodes decisions (context, bit) under fresh contexts and returns the flushed codeword.
struct Decision {
    int context;
    int bit;
};
std::vector<uint8_t> mq_encode_decisions(const std::vector<Decision>& decisions);

enum Orientation { kLLLH = 0, kHL = 1, kHH = 2 };

struct BlockParams {
    uint32_t w = 0, h = 0;
    int orientation = kLLLH;
    uint8_t style = 0;
    uint32_t planes = 0;      // every |coefficient| < 2^planes
    uint32_t max_passes = 0;  // stop after this many passes; 0 codes all 3 * planes - 2
    uint8_t segmentation_symbol = 0x0A;  // written after each cleanup pass with style 0x20
};

struct Segment {
    bool is_mq = true;
    uint32_t npasses = 0;
    std::vector<uint8_t> bytes;
};

struct EncodedBlock {
    std::vector<Segment> segments;
    uint32_t passes = 0;
    uint64_t symbols = 0;            // MQ decisions and raw bits written
    std::vector<uint32_t> coded;     // per sample, raster order: bit-planes in which it was coded
    std::vector<int32_t> expected;   // per sample: sign and the magnitude bits decoded so far
};

// coeffs: w * h signed values in raster order.
EncodedBlock encode_block(const std::vector<int32_t>& coeffs, const BlockParams& p);

// Segment boundaries and kinds for pass index w, as the packet layer forms them.
bool pass_is_mq(uint8_t style, uint32_t w);
bool pass_ends_segment(uint8_t style, uint32_t w);

// Owns CodedSegment records over an EncodedBlock's bytes, linked as a CodeBlock's list.
struct SegmentChain {
    std::vector<CodedSegment> records;
    std::vector<std::vector<uint8_t>> bytes;
    void build(const std::vector<Segment>& segments, CodeBlock* cb);
};

}  // namespace t1_test
