#pragma once
// Stream fixtures for tests: the same bytes behind either stream kind, and a wrapper that
// counts (and can fail) the calls a reader makes.
//   io_test::StreamFixture f(io_test::kFile, bytes);   // or kMemory
//   Stream* s = f.stream();                            // owned by the fixture
#include <cstdint>
#include <string>
#include <vector>

#include "io/mem_ops.h"
#include "io/stream.h"

namespace io_test {

enum StreamKind { kFile, kMemory };
const char* kind_name(StreamKind k);

class StreamFixture {
public:
    StreamFixture(StreamKind kind, std::vector<uint8_t> bytes);
    ~StreamFixture();
    StreamFixture(const StreamFixture&) = delete;
    StreamFixture& operator=(const StreamFixture&) = delete;
    Stream* stream() const { return stream_; }
    MemOps* ops() const { return ops_; }
    const std::vector<uint8_t>& bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    std::string path_;
    MemOps* ops_ = nullptr;
    Stream* stream_ = nullptr;
};

// Forwards to an inner stream, counting reads. fail_reads / fail_seeks make the next that many
// calls fail before reaching the inner stream; fake_size, when set, replaces the inner size.
struct CountingStream {
    Stream base;  // first, so a CountingStream* is a Stream*
    Stream* inner;
    uint32_t reads = 0;
    uint32_t fail_reads = 0, fail_seeks = 0;
    uint64_t fake_size = 0;

    explicit CountingStream(Stream* s);
    Stream* stream() { return &base; }
};

// Bytes 0..n-1 as a recognisable pattern: byte i is (i * 7 + (i >> 8)) & 0xFF.
std::vector<uint8_t> pattern_bytes(uint32_t n);

}  // namespace io_test
