#include "support/io_streams.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace io_test {

const char* kind_name(StreamKind k) { return k == kFile ? "FileStream" : "MemoryStream"; }

StreamFixture::StreamFixture(StreamKind kind, std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
    ops_ = memops_create();
    if (kind == kMemory) {
        stream_ = memory_stream_create(ops_, bytes_.data(), static_cast<uint32_t>(bytes_.size()));
        return;
    }
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && base[0] ? base : "/tmp") + "/dravex-io-XXXXXX";
    std::vector<char> name(templ.begin(), templ.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) return;
    path_ = name.data();
    size_t done = 0;
    while (done < bytes_.size()) {
        ssize_t n = write(fd, bytes_.data() + done, bytes_.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    stream_ = file_stream_open(ops_, path_.c_str());
}

StreamFixture::~StreamFixture() {
    if (stream_) stream_->close(stream_);
    if (!path_.empty()) std::remove(path_.c_str());
    if (ops_) ops_->release(ops_);
}

namespace {

CountingStream* as_counting(Stream* s) { return reinterpret_cast<CountingStream*>(s); }

uint64_t c_size(Stream* s) {
    CountingStream* c = as_counting(s);
    return c->fake_size ? c->fake_size : c->inner->size(c->inner);
}
uint64_t c_tell(Stream* s) { return as_counting(s)->inner->tell(as_counting(s)->inner); }
int c_seek(Stream* s, uint64_t pos) {
    CountingStream* c = as_counting(s);
    if (c->fail_seeks) {
        c->fail_seeks--;
        return 0;
    }
    return c->inner->seek(c->inner, pos);
}
int c_read(Stream* s, void* buf, uint32_t n) {
    CountingStream* c = as_counting(s);
    c->reads++;
    if (c->fail_reads) {
        c->fail_reads--;
        return 0;
    }
    return c->inner->read(c->inner, buf, n);
}
void c_close(Stream*) {}

}  // namespace

CountingStream::CountingStream(Stream* s) : inner(s) {
    base.size = c_size;
    base.tell = c_tell;
    base.seek = c_seek;
    base.read = c_read;
    base.close = c_close;
    base.owner = nullptr;
}

std::vector<uint8_t> pattern_bytes(uint32_t n) {
    std::vector<uint8_t> v(n);
    for (uint32_t i = 0; i < n; i++) v[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    return v;
}

}  // namespace io_test
