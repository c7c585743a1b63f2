// The byte reader on its own: a script of operations taken from the input's first bytes runs
// against the rest; every read must agree with a plain model of the same bytes.
#include <cstdlib>
#include <cstring>

#include "io/byte_reader.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {
void check(bool ok) {
    if (!ok) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8 || size > (1u << 20)) return 0;
    const size_t script_len = data[0] % 64 + 1;
    if (size < 1 + script_len) return 0;
    const uint8_t* script = data + 1;
    const uint8_t* body = data + 1 + script_len;
    const uint32_t n = static_cast<uint32_t>(size - 1 - script_len);
    MemOps* ops = memops_create();
    Stream* s = memory_stream_create(ops, body, n);
    ByteReader* br = byte_reader_create(ops, s);
    uint32_t model = 0;  // the model's position
    for (size_t i = 0; i < script_len; i++) {
        const uint8_t op = script[i];
        switch (op & 7) {
            case 0: {
                uint8_t v;
                int ok = br_read_u8(br, &v);
                check(ok == (model < n));
                if (ok) check(v == body[model++]);
                break;
            }
            case 1: {
                uint16_t v;
                int ok = br_read_u16(br, &v);
                check(ok == (model + 2 <= n));
                if (ok) {
                    check(v == ((body[model] << 8) | body[model + 1]));
                    model += 2;
                } else {
                    model = n < model ? model : (model < n ? n : model);
                }
                break;
            }
            case 2: {
                uint32_t target = (uint32_t(op) * 97u) % (n + 600);
                br_set_pos(br, target);
                model = target;
                break;
            }
            case 3: {
                uint8_t buf[300];
                uint32_t len = op % 300;
                int ok = br_read_block(br, buf, len);
                check(ok == (model <= n && len <= n - model));
                if (ok) {
                    check(std::memcmp(buf, body + model, len) == 0);
                    model += len;
                }
                break;
            }
            case 4: {
                uint16_t v;
                int ok = br_peek_u16(br, &v);
                check(ok == (model + 2 <= n));
                break;
            }
            default:
                check(br_remaining(br) == (model < n ? n - model : 0));
                break;
        }
        check(br_get_pos(br) == model);
    }
    byte_reader_destroy(ops, br);
    s->close(s);
    ops->release(ops);
    return 0;
}
