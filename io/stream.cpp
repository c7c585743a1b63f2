#include "io/stream.h"

#include <cstring>

namespace dravex {

namespace {

FileStream* as_file(Stream* s) { return reinterpret_cast<FileStream*>(s); }
MemoryStream* as_mem(Stream* s) { return reinterpret_cast<MemoryStream*>(s); }

uint64_t file_tell(Stream* s) {
    long p = std::ftell(as_file(s)->handle);
    return p < 0 ? 0 : static_cast<uint64_t>(p);
}

int file_seek(Stream* s, uint64_t pos) {
    if (pos > static_cast<uint64_t>(INT64_MAX)) return 0;
    return std::fseek(as_file(s)->handle, static_cast<long>(pos), SEEK_SET) == 0 ? 1 : 0;
}

uint64_t file_size(Stream* s) {
    FILE* f = as_file(s)->handle;
    long here = std::ftell(f);
    if (here < 0 || std::fseek(f, 0, SEEK_END) != 0) return 0;
    long end = std::ftell(f);
    std::fseek(f, here, SEEK_SET);
    return end < 0 ? 0 : static_cast<uint64_t>(end);
}

int file_read(Stream* s, void* buf, uint32_t n) {
    if (n == 0) return 1;
    return std::fread(buf, 1, n, as_file(s)->handle) == n ? 1 : 0;
}

void file_close(Stream* s) {
    FileStream* fs = as_file(s);
    if (fs->handle) std::fclose(fs->handle);
    MemOps* owner = s->owner;
    owner->free(owner, fs);
}

uint64_t mem_size(Stream* s) { return as_mem(s)->length; }
uint64_t mem_tell(Stream* s) { return as_mem(s)->position; }

int mem_seek(Stream* s, uint64_t pos) {
    // No bounds check: a position past the end makes every later read fail.
    as_mem(s)->position = pos > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(pos);
    return 1;
}

int mem_read(Stream* s, void* buf, uint32_t n) {
    MemoryStream* ms = as_mem(s);
    // Written against what is left: position + n could wrap for a huge n.
    if (ms->position > ms->length || n > ms->length - ms->position) return 0;
    if (n) std::memcpy(buf, ms->data + ms->position, n);
    ms->position += n;
    return 1;
}

void mem_close(Stream* s) {
    MemOps* owner = s->owner;
    if (owner) owner->free(owner, s);
}

void fill_memory_ops(MemoryStream* ms) {
    ms->base.size = mem_size;
    ms->base.tell = mem_tell;
    ms->base.seek = mem_seek;
    ms->base.read = mem_read;
    ms->base.close = mem_close;
}

int probe(Stream* s, const uint8_t* expect, uint32_t n) {
    uint8_t got[12];
    uint64_t here = s->tell(s);
    int ok = s->read(s, got, n) && std::memcmp(got, expect, n) == 0;
    s->seek(s, here);
    return ok ? 1 : 0;
}

}  // namespace

}  // namespace dravex

using namespace dravex;

Stream* file_stream_open(MemOps* ops, const char* path) {
    if (!ops || !path || !path[0]) return nullptr;
    FILE* f = std::fopen(path, "rb");
    if (!f) return nullptr;
    auto* fs = static_cast<FileStream*>(ops->alloc(ops, sizeof(FileStream)));
    if (!fs) {
        std::fclose(f);
        return nullptr;
    }
    std::memset(fs, 0, sizeof *fs);
    fs->base.size = file_size;
    fs->base.tell = file_tell;
    fs->base.seek = file_seek;
    fs->base.read = file_read;
    fs->base.close = file_close;
    fs->base.owner = ops;
    fs->handle = f;
    return &fs->base;
}

Stream* memory_stream_create(MemOps* ops, const uint8_t* data, uint32_t length) {
    auto* ms = static_cast<MemoryStream*>(ops->alloc(ops, sizeof(MemoryStream)));
    if (!ms) return nullptr;
    memory_stream_init(ms, data, length);
    ms->base.owner = ops;
    return &ms->base;
}

namespace dravex {

void memory_stream_init(MemoryStream* ms, const uint8_t* data, uint32_t length) {
    std::memset(ms, 0, sizeof *ms);
    fill_memory_ops(ms);
    ms->data = data;
    ms->length = data ? length : 0;
    ms->position = 0;
}

}  // namespace dravex

int jpc_check_soc(Stream* s) {
    static const uint8_t kSoc[2] = {0xFF, 0x4F};
    return probe(s, kSoc, 2);
}

int jp2_check_signature(Stream* s) {
    static const uint8_t kSig[12] = {0x00, 0x00, 0x00, 0x0C, 0x6A, 0x50,
                                     0x20, 0x20, 0x0D, 0x0A, 0x87, 0x0A};
    return probe(s, kSig, 12);
}
