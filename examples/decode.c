// decode: the C interface of dravex in one page. Decodes a JPEG 2000 codestream or JP2 file
// into a binary PPM (a grey codestream into a PGM), 8 bits per sample.
//   decode image.j2c out.ppm
#include <dravex/dravex.h>
#include <stdio.h>
#include <stdlib.h>

static void report(const char* message) { fprintf(stderr, "decode: %s\n", message); }
static void warn(const char* message) { fprintf(stderr, "decode: warning: %s\n", message); }

// Either decoder behind one set of calls, chosen by the first bytes of the input.
typedef struct {
    jpcdec* d;
    Jp2Decoder* j;
} Decoder;

// 1 when the decoder is ready for rows: parsed, its size known, its output set up.
static int open_decoder(Decoder* dec, MemOps* ops, Stream* s, uint32_t* width,
                        uint32_t* height, unsigned* channels) {
    if (jpc_check_soc(s)) {
        dec->d = jpcdec_create(ops, s);
        if (!dec->d) return 0;
        jpcdec_set_hooks(dec->d, report, warn);
        if (!jpcdec_parse(dec->d)) return 0;
        jpcdec_get_size(dec->d, width, height);
        *channels = jpcdec_get_component_num(dec->d) >= 3 ? 3 : 1;
        return jpcdec_set_output(dec->d, (uint16_t)*channels, NULL, *channels);
    }
    if (jp2_check_signature(s)) {
        dec->j = jp2_create(ops, s);
        if (!dec->j) return 0;
        jp2_set_hooks(dec->j, report, warn);
        if (!jp2_parse(dec->j)) return 0;
        jp2_get_size(dec->j, width, height);
        jp2_set_colour_conversion(dec->j, 1);  // RGB out, grey in all three bytes
        *channels = 3;
        return jp2_set_output(dec->j, 3, NULL, 3);
    }
    report("not a JPEG 2000 file");
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: decode SOURCE DEST\n");
        return 2;
    }
    MemOps* ops = memops_create();
    Stream* s = ops ? file_stream_open(ops, argv[1]) : NULL;
    if (!s) {
        report("cannot open the source");
        if (ops) ops->release(ops);
        return 1;
    }
    Decoder dec = {NULL, NULL};
    uint32_t width = 0, height = 0;
    unsigned channels = 0;
    const int configured = open_decoder(&dec, ops, s, &width, &height, &channels);

    FILE* out = configured ? fopen(argv[2], "wb") : NULL;
    if (configured && !out) report("cannot create the destination");
    uint8_t* row = out ? malloc((size_t)width * channels) : NULL;
    int ok = row != NULL && fprintf(out, "P%c\n%u %u\n255\n", channels == 3 ? '6' : '5',
                                    (unsigned)width, (unsigned)height) > 0;
    for (uint32_t y = 0; ok && y < height; y++) {
        ok = dec.d ? jpcdec_decode_row(dec.d, row) : jp2_decode_row(dec.j, row);
        ok = ok && fwrite(row, channels, width, out) == width;
    }
    if (out && fclose(out) != 0) ok = 0;
    free(row);

    // Teardown: the decoder, then the stream, then the table.
    if (dec.d) {
        if (configured) jpcdec_finish_output(dec.d);
        jpcdec_destroy(dec.d);
    }
    if (dec.j) {
        if (configured) jp2_finish_output(dec.j);
        jp2_destroy(dec.j);
    }
    s->close(s);
    ops->release(ops);
    if (ok) printf("%s: %u x %u, %u channel(s)\n", argv[2], (unsigned)width, (unsigned)height,
                   channels);
    return ok ? 0 : 1;
}
