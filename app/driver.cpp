#include "app/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/bmp_writer.h"
#include "app/output_file.h"
#include "app/sample_writer.h"
#include "codestream/jpcdec.h"
#include "dravex/jp2_decoder.h"
#include "io/mem_ops.h"
#include "io/stream.h"

// The library's internals, which this file reaches below the calling interface.
using namespace dravex;

namespace {

constexpr int kExitFailure = -1;

const char kMsgUsage[] = "Usage: dravex.exe src.jp2 dst.bmp\n";
const char kMsgOpen[] = "The source file couldn't be opened.";
const char kMsgFormat[] = "It's not a jp2/j2c/jpc file.";
const char kMsgCodestream[] = "Parsing JPEG2000 Codestream error";
const char kMsgJp2[] = "Parsing JP2 file error";
const char kMsgSave[] = "Save to bmp failed.";
const char kMsgSavePgx[] = "Save to pgx failed.";
const char kMsgSavePnm[] = "Save to pnm failed.";
const char kMsgSameFile[] = "The destination is the source file itself.";
const char kMsgPipeTooLarge[] = "The source cannot be read twice and is larger than 1 GiB.";
const char kMsgRegionOutside[] = "The region holds no part of the image.";
const char kMsgRegionSubsampled[] =
    "A region of an image with sub-sampled components can be written as a bitmap only.";
const char kMsgReduction[] = "The reduction asks for more resolution levels than the image has.";
const char kMsgHelp[] =
    "Usage: dravex [options] src dst\n"
    "  src  a JPEG 2000 codestream (.j2c, .jpc) or JP2 file, recognised by its first bytes\n"
    "  dst  a .bmp (24-bit), or .pgx, .pgm, .ppm for full-precision samples\n"
    "Options (before the two paths):\n"
    "  -r N, --reduce N     leave out the N highest resolution levels (size halved N times)\n"
    "  -l N, --layers N     use only the first N quality layers\n"
    "  --region X,Y,W,H     only the W x H pixels from column X, row Y (of the reduced image)\n"
    "  --allow-large        write outputs far larger than their input\n"
    "  -h, --help           this text\n";

// Decoded component 0 goes to red (byte 2 of a blue-green-red pixel), 1 to green, 2 to blue.
const uint32_t kBgrOffsets[3] = {2, 1, 0};

void say(const char* message) { std::printf("%s", message); }

// The two decoders have the same shape; each road names its calls once and the common tail
// below runs them.
struct CodestreamRoad {
    using Decoder = jpcdec;
    static constexpr const char* kParseError = kMsgCodestream;
    static Decoder* create(MemOps* ops, Stream* s) { return jpcdec_create(ops, s); }
    static int parse(Decoder* d) { return jpcdec_parse(d); }
    // The decoder writes only byte 2 of a one-component image; the other two are copied.
    static int replicate_grey(Decoder* d) { return jpcdec_get_component_num(d) == 1; }
    static void get_size(Decoder* d, uint32_t* w, uint32_t* h) { jpcdec_get_size(d, w, h); }
    static int reduce(Decoder* d, uint32_t r) { return jpcdec_set_reduction(d, r); }
    static int layers(Decoder* d, uint32_t n) { return jpcdec_set_layers(d, n), 1; }
    static int region(Decoder* d, const uint32_t* r) {
        return jpcdec_set_region(d, r[0], r[1], r[0] + r[2], r[1] + r[3]);
    }
    static void prepare(Decoder*) {}
    static int set_output(Decoder* d) { return jpcdec_set_output(d, 3, kBgrOffsets, 3); }
    static void decode_row(Decoder* d, uint8_t* row) { jpcdec_decode_row(d, row); }
    static int input_failed(Decoder* d) { return jpcdec_input_failed(d); }
    static void finish(Decoder* d) { jpcdec_finish_output(d); }
    static void destroy(Decoder* d) { jpcdec_destroy(d); }
    static jpcdec* codestream(Decoder* d) { return d; }
};

struct Jp2Road {
    using Decoder = Jp2Decoder;
    static constexpr const char* kParseError = kMsgJp2;
    static Decoder* create(MemOps* ops, Stream* s) { return jp2_create(ops, s); }
    static int parse(Decoder* j) { return jp2_parse(j); }
    // The JP2 decoder fills all three bytes of a grey pixel itself.
    static int replicate_grey(Decoder*) { return 0; }
    static void get_size(Decoder* j, uint32_t* w, uint32_t* h) { jp2_get_size(j, w, h); }
    static int reduce(Decoder* j, uint32_t r) { return jp2_set_reduction(j, r); }
    static int layers(Decoder* j, uint32_t n) { return jp2_set_layers(j, n); }
    static int region(Decoder* j, const uint32_t* r) {
        return jp2_set_region(j, r[0], r[1], r[0] + r[2], r[1] + r[3]);
    }
    static void prepare(Decoder* j) { jp2_set_colour_conversion(j, 1); }
    static int set_output(Decoder* j) { return jp2_set_output(j, 3, kBgrOffsets, 3); }
    static void decode_row(Decoder* j, uint8_t* row) { jp2_decode_row(j, row); }
    static int input_failed(Decoder* j) { return jp2_input_failed(j); }
    static void finish(Decoder* j) { jp2_finish_output(j); }
    static void destroy(Decoder* j) { jp2_destroy(j); }
    static jpcdec* codestream(Decoder* j) { return jp2_get_codestream(j); }
};

void copy_red_to_green_and_blue(uint8_t* row, uint32_t width) {
    for (uint32_t x = 0; x < width; x++, row += 3) row[0] = row[1] = row[2];
}

// Rows are decoded top first into a block of a few hundred KiB, placed bottom-up so that the
// block is already in file order, and each full block is one write at its place in the file:
// memory follows the width of the image, never its height.
constexpr uint64_t kBlockBytes = 256 * 1024;

uint32_t rows_per_block(uint64_t stride, uint32_t height) {
    uint64_t rows = stride ? kBlockBytes / stride : 1;
    if (rows > height) rows = height;
    return rows ? static_cast<uint32_t>(rows) : 1;
}

enum class Written { kAll, kSaveFailed, kInputFailed };

// Damaged data still give a picture, but an input that stops delivering bytes it had at
// parse time leaves holes of zeros: that file is removed, as for a failed write.
Written write_rows(const char* dst, uint32_t width, uint32_t height, uint32_t stride,
                   uint8_t* block, uint32_t block_rows, int grey, void (*decode)(void*, uint8_t*),
                   int (*input_failed)(void*), void* decoder) {
    BmpWriter bmp;
    if (!bmp_open(&bmp, dst, width, height, stride)) return Written::kSaveFailed;
    for (uint32_t top = 0; top < height;) {
        const uint32_t n = block_rows < height - top ? block_rows : height - top;
        // Row decoding reports nothing; a row the decoder leaves alone stays black, and the
        // fill bytes after 3 * width are always zero.
        std::memset(block, 0, uint64_t(n) * stride);
        for (uint32_t j = 0; j < n; j++) {
            uint8_t* row = block + uint64_t(n - 1 - j) * stride;
            decode(decoder, row);
            if (grey) copy_red_to_green_and_blue(row, width);
        }
        if (input_failed(decoder)) {
            bmp_discard(&bmp);
            return Written::kInputFailed;
        }
        if (!bmp_write_rows(&bmp, top, n, block)) return Written::kSaveFailed;
        top += n;
    }
    return bmp_close(&bmp) ? Written::kAll : Written::kSaveFailed;
}

// Options come before the two paths, each with its spellings; one that takes a value (a
// resolution to reduce to, a region) reads the next argument and may refuse it.
struct Options {
    bool allow_large = false;
    bool help = false;
    uint32_t reduce = 0;
    uint32_t layers = 0;  // 0: all
    bool has_region = false;
    uint32_t region[4] = {};  // x, y, width, height
    const char* src = nullptr;
    const char* dst = nullptr;
    uint64_t input_size = 0;  // known once the source is open
};

struct OptionDef {
    const char* short_name;  // or null
    const char* long_name;
    bool takes_value;
    bool (*apply)(Options* o, const char* value);  // false: the value is not acceptable
};

// A whole number from 0 to max, digits only.
bool parse_count(const char* text, uint32_t max, uint32_t* out) {
    uint64_t v = 0;
    if (!text || !*text) return false;
    for (const char* p = text; *p; p++) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + uint32_t(*p - '0');
        if (v > max) return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// X,Y,W,H: four whole numbers, the window not empty and inside 32-bit coordinates.
bool parse_region(const char* text, Options* o) {
    char part[4][16] = {};
    const char* p = text;
    for (int k = 0; k < 4; k++) {
        const char* end = std::strchr(p, k < 3 ? ',' : '\0');
        if (!end || end == p || end - p >= 16) return false;
        std::memcpy(part[k], p, size_t(end - p));
        if (!parse_count(part[k], UINT32_MAX, &o->region[k])) return false;
        p = end + 1;
    }
    if (!o->region[2] || !o->region[3] || o->region[2] > UINT32_MAX - o->region[0] ||
        o->region[3] > UINT32_MAX - o->region[1])
        return false;
    return o->has_region = true;
}

const OptionDef kOptions[] = {
    {nullptr, "--allow-large", false, [](Options* o, const char*) { return o->allow_large = true; }},
    {"-h", "--help", false, [](Options* o, const char*) { return o->help = true; }},
    // Coordinates halve at most 32 times.
    {"-r", "--reduce", true, [](Options* o, const char* v) { return parse_count(v, 32, &o->reduce); }},
    // A stream has at most 65535 layers; more asks for them all.
    {"-l", "--layers", true,
     [](Options* o, const char* v) { return parse_count(v, UINT32_MAX, &o->layers) && o->layers; }},
    {nullptr, "--region", true, [](Options* o, const char* v) { return parse_region(v, o); }},
};

const OptionDef* find_option(const char* arg) {
    for (const OptionDef& opt : kOptions)
        if ((opt.short_name && std::strcmp(arg, opt.short_name) == 0) ||
            std::strcmp(arg, opt.long_name) == 0)
            return &opt;
    return nullptr;
}

enum class Parsed { kOk, kUsage, kUnknown, kBadValue, kHelp };

Parsed parse_arguments(int argc, char** argv, Options* o, const char** unknown,
                       const char** value_out) {
    int i = 1;
    while (i < argc && argv[i] && argv[i][0] == '-' && argv[i][1] != '\0') {
        if (std::strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
        const OptionDef* opt = find_option(argv[i]);
        if (!opt) {
            // With only the two paths left, a name starting with a dash is a path, as it
            // always was.
            if (argc - i <= 2) break;
            *unknown = argv[i];
            return Parsed::kUnknown;
        }
        const char* value = opt->takes_value && i + 1 < argc ? argv[i + 1] : nullptr;
        if ((opt->takes_value && !value) || !opt->apply(o, value)) {
            *unknown = argv[i];
            *value_out = value;
            return Parsed::kBadValue;
        }
        i += opt->takes_value ? 2 : 1;
        if (o->help) return Parsed::kHelp;
    }
    // Arguments after the two paths are ignored.
    if (argc - i < 2 || !argv[i] || !argv[i][0] || !argv[i + 1] || !argv[i + 1][0])
        return Parsed::kUsage;
    o->src = argv[i];
    o->dst = argv[i + 1];
    return Parsed::kOk;
}

// An output out of all proportion to its input (a few header bytes can declare billions of
// pixels) is refused unless asked for: over 1 GiB and over 2^16 times the input's size.
constexpr uint64_t kLargeOutput = uint64_t(1) << 30;
constexpr unsigned kLargeRatioBits = 16;

bool refuse_large_output(uint64_t output_bytes, const Options& o) {
    if (o.allow_large || output_bytes <= kLargeOutput ||
        output_bytes <= (o.input_size << kLargeRatioBits))
        return false;
    std::printf("The output would take %llu bytes from %llu bytes of input; --allow-large "
                "writes it anyway.",
                static_cast<unsigned long long>(output_bytes),
                static_cast<unsigned long long>(o.input_size));
    return true;
}

// Whether a component has fewer samples than the image (before any region is set).
bool has_subsampled_component(jpcdec* d) {
    uint32_t w = 0, h = 0;
    jpcdec_get_size(d, &w, &h);
    for (uint16_t i = 0; i < jpcdec_get_component_num(d); i++) {
        JpcComponentInfo c;
        if (!jpcdec_get_component_info(d, i, &c) || c.width != w || c.height != h) return true;
    }
    return false;
}

// Full-precision output: the codestream's own components, whatever the road (a JP2 file's
// palette and colour space are for display, not for its samples).
int run_samples(jpcdec* d, SampleFormat format, const char* dst, const char* parse_error,
                const Options& options) {
    const char* refusal = nullptr;
    const uint64_t bytes = d ? sample_output_size(d, format, &refusal) : 0;
    if (!bytes) {
        say(refusal ? refusal : parse_error);
        return kExitFailure;
    }
    if (refuse_large_output(bytes, options)) return kExitFailure;
    switch (write_samples(d, format, dst)) {
        case SampleResult::kWritten: return 0;
        case SampleResult::kInputFailed: say(parse_error); break;
        default:
            say(format == SampleFormat::kPgx ? kMsgSavePgx : kMsgSavePnm);
            break;
    }
    return kExitFailure;
}

// Narrows what the decoder produces as the options ask; the refusal to print, or null.
template <class Road>
const char* apply_options(typename Road::Decoder* d, const Options& o, SampleFormat format) {
    if (o.reduce && !Road::reduce(d, o.reduce)) return kMsgReduction;
    if (o.layers && !Road::layers(d, o.layers)) return Road::kParseError;
    if (!o.has_region) return nullptr;
    if (format != SampleFormat::kNone && has_subsampled_component(Road::codestream(d)))
        return kMsgRegionSubsampled;
    return Road::region(d, o.region) ? nullptr : kMsgRegionOutside;
}

template <class Road>
int run_road(MemOps* ops, Stream* src, const char* dst, const Options& options) {
    typename Road::Decoder* d = Road::create(ops, src);
    if (!d || !Road::parse(d)) {
        say(Road::kParseError);
        if (d) Road::destroy(d);
        return kExitFailure;
    }
    const SampleFormat format = sample_format_of(dst);
    if (const char* refusal = apply_options<Road>(d, options, format)) {
        say(refusal);
        Road::destroy(d);
        return kExitFailure;
    }
    if (format != SampleFormat::kNone) {
        const int status = run_samples(Road::codestream(d), format, dst, Road::kParseError, options);
        Road::destroy(d);
        return status;
    }
    int grey = Road::replicate_grey(d);
    uint32_t width = 0, height = 0;
    Road::get_size(d, &width, &height);
    Road::prepare(d);

    // Everything that can be refused is refused before a single row is decoded.
    uint64_t stride = bmp_stride(width);
    uint64_t file_size;
    const uint32_t block_rows = rows_per_block(stride, height);
    uint8_t* block = nullptr;
    int ok = bmp_file_size(height, stride, &file_size);
    if (ok && refuse_large_output(file_size, options)) {
        Road::destroy(d);
        return kExitFailure;
    }
    if (ok) ok = (block = static_cast<uint8_t*>(mem_zalloc_array(ops, block_rows, stride))) != nullptr;
    int output = ok && Road::set_output(d);
    Written written = Written::kSaveFailed;
    if (output) {
        auto decode = [](void* dec, uint8_t* r) {
            Road::decode_row(static_cast<typename Road::Decoder*>(dec), r);
        };
        auto failed = [](void* dec) {
            return Road::input_failed(static_cast<typename Road::Decoder*>(dec));
        };
        written = write_rows(dst, width, height, static_cast<uint32_t>(stride), block, block_rows,
                             grey, decode, failed, d);
        Road::finish(d);
    }
    mem_free(ops, block);
    Road::destroy(d);
    if (written == Written::kInputFailed) {
        say(Road::kParseError);
        return kExitFailure;
    }
    if (written != Written::kAll) {
        say(kMsgSave);
        return kExitFailure;
    }
    return 0;
}

// The decoders may hold what the input can justify: a generous fixed allowance plus a few
// times the file (the records of its code-blocks and their byte positions are kept until
// output), so a small hostile file claiming huge structures fails cleanly instead of
// exhausting the machine.
uint64_t decoder_budget(uint64_t input_size) { return (uint64_t(1) << 30) + 4 * input_size; }

// The decoder reads code-block bytes back from the source while it writes rows, so a source
// that cannot seek (a pipe, a terminal, a character device) is read into memory first, up to
// this many bytes.
constexpr uint64_t kMaxUnseekableSource = uint64_t(1) << 30;

enum class Opened { kOk, kCannotOpen, kNotJpeg2000, kTooLarge };

struct Source {
    Stream* stream = nullptr;
    uint8_t* bytes = nullptr;  // the copy of an unseekable source, owned here
    uint64_t size = 0;
    struct stat st;            // of the file as opened, for the destination check
};

// Reads what is left of an unseekable source into memory. The first bytes are checked before
// the rest is read, so /dev/zero or a stray pipe is turned down at once.
Opened read_unseekable(MemOps* ops, FILE* f, Source* src) {
    uint64_t cap = 16, n = 0;
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(cap));
    if (!buf) return Opened::kCannotOpen;
    for (bool probed = false;;) {
        n += std::fread(buf + n, 1, cap - n, f);
        if (!probed) {
            probed = true;
            MemoryStream probe;
            memory_stream_init(&probe, buf, static_cast<uint32_t>(n));
            if (!jpc_check_soc(&probe.base) && !jp2_check_signature(&probe.base)) {
                std::free(buf);
                return Opened::kNotJpeg2000;
            }
        }
        if (std::ferror(f)) {
            std::free(buf);
            return Opened::kCannotOpen;
        }
        if (std::feof(f)) break;
        if (n < cap) continue;
        if (cap >= kMaxUnseekableSource) {
            std::free(buf);
            return Opened::kTooLarge;
        }
        uint8_t* grown = static_cast<uint8_t*>(std::realloc(buf, 2 * cap));
        if (!grown) {
            std::free(buf);
            return Opened::kCannotOpen;
        }
        buf = grown;
        cap *= 2;
    }
    src->stream = memory_stream_create(ops, buf, static_cast<uint32_t>(n));
    if (!src->stream) {
        std::free(buf);
        return Opened::kCannotOpen;
    }
    src->bytes = buf;
    src->size = n;
    return Opened::kOk;
}

// Opens the source once: its size sets the memory budget, and its identity is compared with
// the destination's.
Opened open_source(MemOps* ops, const char* path, Source* src) {
    Stream* s = file_stream_open(ops, path);
    if (!s) return Opened::kCannotOpen;
    FILE* f = reinterpret_cast<FileStream*>(s)->handle;
    const int fd = fileno(f);
    if (fstat(fd, &src->st) != 0) {
        s->close(s);
        return Opened::kCannotOpen;
    }
    const off_t end = lseek(fd, 0, SEEK_END);
    if (end >= 0 && lseek(fd, 0, SEEK_SET) == 0) {
        src->stream = s;
        src->size = static_cast<uint64_t>(end);
        return Opened::kOk;
    }
    Opened r = read_unseekable(ops, f, src);
    s->close(s);
    return r;
}

void close_source(Source* src) {
    if (src->stream) src->stream->close(src->stream);
    std::free(src->bytes);
}

// Whether writing the destination would overwrite the source itself: the same file, reached
// by the same name, a hard link or a symbolic link (for PGX, any of the component files).
bool destination_is_source(const char* dst, const Source& src) {
    const SampleFormat format = sample_format_of(dst);
    const uint16_t files = format == SampleFormat::kPgx ? 32 : 1;
    for (uint16_t k = 0; k < files; k++) {
        const std::string name = format == SampleFormat::kNone ? dst : sample_file_name(format, dst, k);
        struct stat st;
        if (stat(name.c_str(), &st) == 0 && st.st_dev == src.st.st_dev && st.st_ino == src.st.st_ino)
            return true;
    }
    return false;
}

}  // namespace

int dravex_run(int argc, char** argv) {
    Options options;
    const char* unknown = nullptr;
    const char* value = nullptr;
    switch (parse_arguments(argc, argv, &options, &unknown, &value)) {
        case Parsed::kOk: break;
        case Parsed::kHelp:
            say(kMsgHelp);
            return 0;
        case Parsed::kUnknown:
            std::printf("Unknown option %s", unknown);
            return kExitFailure;
        case Parsed::kBadValue:
            if (value)
                std::printf("Option %s does not take the value '%s'.", unknown, value);
            else
                std::printf("Option %s needs a value.", unknown);
            return kExitFailure;
        default:
            say(kMsgUsage);
            return kExitFailure;
    }
    const char* src_path = options.src;
    const char* dst_path = options.dst;

    // A file size limit must fail a write (and so remove the partial output), not kill the
    // process half way through the file.
    std::signal(SIGXFSZ, SIG_IGN);
    output_clean_up_on_signals();

    MemOps* ops = memops_create();
    Source source;
    const Opened opened = ops ? open_source(ops, src_path, &source) : Opened::kCannotOpen;
    if (opened != Opened::kOk) {
        say(opened == Opened::kNotJpeg2000 ? kMsgFormat
            : opened == Opened::kTooLarge  ? kMsgPipeTooLarge
                                           : kMsgOpen);
        if (ops) ops->release(ops);
        return kExitFailure;
    }
    if (destination_is_source(dst_path, source)) {
        say(kMsgSameFile);
        close_source(&source);
        ops->release(ops);
        return kExitFailure;
    }
    memops_set_budget(ops, decoder_budget(source.size));
    options.input_size = source.size;
    Stream* src = source.stream;

    // The first bytes decide, never the name; both probes leave the stream at byte 0.
    int status;
    if (jpc_check_soc(src)) {
        status = run_road<CodestreamRoad>(ops, src, dst_path, options);
    } else if (jp2_check_signature(src)) {
        status = run_road<Jp2Road>(ops, src, dst_path, options);
    } else {
        say(kMsgFormat);
        status = kExitFailure;
    }
    close_source(&source);
    ops->release(ops);
    return status;
}
