// Jp2Decoder: signature, box walk, codestream parse, header checks and row output.
#include "dravex/jp2_decoder.h"

#include <cstring>

#include "decoder/jpcdec_inspect.h"
#include "jp2/jp2_impl.h"

namespace dravex {

namespace {

// The header boxes describe the codestream; disagreements are noted, the codestream wins.
void check_header_against_codestream(Jp2Decoder* j) {
    const jpcdec* d = j->jpcdec;
    Jp2HeaderRecord* hdr = j->jp2_header;
    const ImageHeaderRecord* ih = hdr->image_header;
    if (ih) {
        uint32_t w = 0, h = 0;
        jpcdec_get_size(d, &w, &h);
        if (ih->WIDTH != w || ih->HEIGHT != h) jp2_warn(j, jp2msg::kAreaMismatch);
        const uint16_t count = jpcdec_get_component_num(d);
        if (ih->NC != count) jp2_warn(j, jp2msg::kComponentsMismatch);
        uint8_t first = 0, s = 0;
        const bool known = jpcdec_component_ssiz(d, 0, &first);
        int same = 1;
        for (uint16_t i = 1; known && jpcdec_component_ssiz(d, i, &s); i++)
            if (s != first) same = 0;
        const uint8_t expected = (same && known) ? first : 0xFF;
        if (ih->BPC != expected) jp2_warn(j, jp2msg::kBpcMismatch);
        const BitsPerComponentRecord* bpcc = hdr->bits_per_component;
        if (!same && bpcc && ih->NC == count) {
            for (uint16_t i = 0; i < ih->NC && jpcdec_component_ssiz(d, i, &s); i++) {
                if (bpcc->BPC[i] != s) {
                    jp2_warn(j, jp2msg::kBpccMismatch);
                    break;
                }
            }
        }
        if (ih->C != 7) jp2_warn(j, jp2msg::kUnknownCompression);
    }
    // A palette means nothing without the mapping that names its columns, and vice versa.
    if (!hdr->palette != !hdr->component_mapping) {
        jp2_warn(j, jp2msg::kPaletteWithoutMapping);
        jp2_palette_release(j->ops, hdr->palette);
        jp2_mapping_release(j->ops, hdr->component_mapping);
        hdr->palette = nullptr;
        hdr->component_mapping = nullptr;
    }
}

// Sample depth and sign of each channel: a palette column's, else its component's.
void channel_depths(const Jp2Decoder* j, uint8_t* depth, uint8_t* is_signed) {
    const ChannelList* list = j->channel_list;
    const Jp2HeaderRecord* hdr = j->jp2_header;
    const jpcdec* d = j->jpcdec;
    for (uint16_t k = 0; k < list->channel_num; k++) {
        const ChannelEntry& e = list->entries[k];
        const ComponentMappingRecord* cmap = hdr->component_mapping;
        uint8_t stored = 7;
        if (!jpcdec_component_ssiz(d, e.component, &stored)) stored = 7;
        if (cmap && hdr->palette && cmap->MTYP[e.Cn] != 0)
            stored = hdr->palette->B[cmap->PCOL[e.Cn]];
        depth[k] = static_cast<uint8_t>((stored & 0x7F) + 1);
        is_signed[k] = (stored & 0x80) ? 1 : 0;
    }
}

void release_row_buffers(Jp2Decoder* j) {
    mem_free(j->ops, j->component_row);
    j->component_row = nullptr;
    for (uint32_t i = 0; i < kJp2MaxChannels; i++) {
        mem_free(j->ops, j->channel_rows[i]);
        j->channel_rows[i] = nullptr;
    }
}

// One channel's samples of the row just decoded. A sub-sampled component fills only the left
// part of each tile's span; the rest of the channel row keeps the zeros it was created with.
void fill_channel_row(Jp2Decoder* j, uint32_t i) {
    const jpcdec* d = j->jpcdec;
    const uint16_t c = j->source_component[i];
    const int32_t* samples = jpcdec_row_samples(d, c);
    const uint8_t* bytes = j->component_row + c;
    const uint32_t n = j->component_count;
    int32_t* dst = j->channel_rows[i];
    const PaletteRecord* pal = j->source_column[i] >= 0 ? j->jp2_header->palette : nullptr;
    const uint32_t column = j->source_column[i] >= 0 ? uint32_t(j->source_column[i]) : 0;

    auto span = [&](uint32_t x0, uint32_t count) {
        if (samples && !pal) {
            std::memcpy(dst + x0, samples + x0, size_t(count) * sizeof(int32_t));
            return;
        }
        for (uint32_t x = x0; x < x0 + count; x++) {
            int32_t v = samples ? samples[x] : int32_t(bytes[size_t(x) * n]);
            if (pal) {
                // The index is the full decoded sample, held inside the palette.
                const uint32_t idx = v < 0 ? 0u : (uint32_t(v) >= pal->NE ? pal->NE - 1u : uint32_t(v));
                v = static_cast<int32_t>(pal->entries[size_t(idx) * pal->NPC + column]);
            }
            dst[x] = v;
        }
    };

    uint32_t xr = 1, yr = 1;
    jpcdec_component_sampling(d, c, &xr, &yr);
    const uint32_t columns = jpcdec_tile_columns(d);
    if (xr <= 1 || columns == 0) {
        span(0, j->width);
        return;
    }
    for (uint32_t p = 0; p < columns; p++) {
        uint32_t g = 0, cw = 0;
        if (!jpcdec_column_piece(d, c, p, &g, &cw) || g >= j->width) continue;
        if (cw > j->width - g) cw = j->width - g;
        span(g, cw);
    }
}

// Whether the plan is a plain copy of every component, in order, at full resolution: then
// the codestream decoder can write the caller's pixels itself (the same low bytes that
// jp2_convert_row would copy), without the detour through channel rows.
bool plan_is_direct(const Jp2Decoder* j) {
    const jpcdec* d = j->jpcdec;
    if (j->plan.mode != kJp2Copy || j->plan.used_count != j->component_count ||
        j->plan.used_count > j->out_count)
        return false;
    for (uint16_t i = 0; i < j->plan.used_count; i++) {
        if (j->source_component[i] != i || j->source_column[i] >= 0) return false;
        uint32_t xr = 1, yr = 1;
        jpcdec_component_sampling(d, i, &xr, &yr);
        if (xr != 1 || yr != 1) return false;
    }
    return true;
}

}  // namespace

}  // namespace dravex

using namespace dravex;

Jp2Decoder* jp2_create(MemOps* ops, Stream* s) {
    if (!ops || !s) return nullptr;
    Jp2Decoder* j = mem_new<Jp2Decoder>(ops);
    if (!j) return nullptr;
    j->ops = ops;
    j->colour_space = -1;
    j->convert_colour = 1;
    j->reader = byte_reader_create(ops, s);
    if (!j->reader) {
        jp2_destroy(j);
        return nullptr;
    }
    return j;
}

void jp2_set_hooks(Jp2Decoder* j, jp2_message_hook error_hook, jp2_message_hook warning_hook) {
    j->error_hook = error_hook;
    j->warning_hook = warning_hook;
    if (j->jpcdec) jpcdec_set_hooks(j->jpcdec, error_hook, warning_hook);
}

int jp2_parse(Jp2Decoder* j) {
    // Parsing runs once: a second run would stack records over the first.
    if (j->file_type || j->jp2_header || j->jpcdec) return jp2_fail(j, jp2msg::kAlreadyParsed);
    ByteReader* br = j->reader;
    Stream* s = br->stream;
    if (!s->seek(s, br->start) || !jp2_check_signature(s))
        return jp2_fail(j, jp2msg::kMissingSignature);
    br_set_pos(br, 12);
    if (!jp2_parse_boxes(j)) return 0;
    if (!jpcdec_parse(j->jpcdec)) return 0;
    check_header_against_codestream(j);
    if (!jp2_build_channel_list(j, jpcdec_get_component_num(j->jpcdec))) return 0;
    j->parsed = 1;
    return 1;
}

void jp2_get_size(const Jp2Decoder* j, uint32_t* width, uint32_t* height) {
    if (j->jpcdec) {
        jpcdec_get_size(j->jpcdec, width, height);
    } else {
        *width = 0;
        *height = 0;
    }
}

void jp2_set_colour_conversion(Jp2Decoder* j, uint32_t flag) { j->convert_colour = flag; }

void jp2_set_max_pixels(Jp2Decoder* j, uint64_t max_pixels) {
    j->max_pixels = max_pixels;
    if (j->jpcdec) jpcdec_set_max_pixels(j->jpcdec, max_pixels);
}

int jp2_set_reduction(Jp2Decoder* j, uint32_t r) {
    if (!j->parsed || j->output_ready) return jp2_fail(j, jp2msg::kNotParsed);
    return jpcdec_set_reduction(j->jpcdec, r);
}

int jp2_set_layers(Jp2Decoder* j, uint32_t n) {
    if (!j->parsed || j->output_ready) return jp2_fail(j, jp2msg::kNotParsed);
    jpcdec_set_layers(j->jpcdec, n);
    return 1;
}

int jp2_set_region(Jp2Decoder* j, uint32_t x0, uint32_t y0, uint32_t x1, uint32_t y1) {
    if (!j->parsed || j->output_ready) return jp2_fail(j, jp2msg::kNotParsed);
    return jpcdec_set_region(j->jpcdec, x0, y0, x1, y1);
}

int jp2_set_output(Jp2Decoder* j, uint16_t count, const uint32_t* offsets, uint32_t pixel_stride) {
    if (!j->parsed) return jp2_fail(j, jp2msg::kNotParsed);
    if (j->output_ready || count == 0 || pixel_stride == 0) return jp2_fail(j, jp2msg::kBadOutput);
    j->out_count = count < kJp2MaxChannels ? count : kJp2MaxChannels;
    for (uint32_t i = 0; i < j->out_count; i++) {
        j->out_offset[i] = offsets ? offsets[i] : i;
        if (j->out_offset[i] >= pixel_stride) return jp2_fail(j, jp2msg::kBadOutput);
    }
    j->out_pixel_stride = pixel_stride;
    jp2_get_size(j, &j->width, &j->height);

    uint8_t depth[kJp2MaxChannels] = {};
    uint8_t is_signed[kJp2MaxChannels] = {};
    channel_depths(j, depth, is_signed);
    jp2_plan_output(j->channel_list, depth, is_signed, j->convert_colour, j->out_count, &j->plan);
    if (j->plan.unsupported) jp2_warn(j, jp2msg::kUnsupportedColour);  // once, not per row

    const Jp2HeaderRecord* hdr = j->jp2_header;
    for (uint32_t i = 0; i < j->plan.used_count; i++) {
        const ChannelEntry& e = j->channel_list->entries[j->plan.used[i]];
        j->source_component[i] = e.component;
        j->source_column[i] = -1;
        const ComponentMappingRecord* cmap = hdr->component_mapping;
        if (cmap && hdr->palette && cmap->MTYP[e.Cn] != 0) j->source_column[i] = cmap->PCOL[e.Cn];
    }

    const uint16_t n = j->component_count;
    if (plan_is_direct(j)) {
        if (!jpcdec_set_output(j->jpcdec, n, j->out_offset, j->out_pixel_stride)) return 0;
        j->direct = 1;
        j->output_ready = 1;
        return 1;
    }
    // Zero-filled so that bytes no component writes never carry old memory.
    j->component_row = static_cast<uint8_t*>(mem_zalloc_array(j->ops, j->width, n));
    int ok = j->component_row != nullptr;
    for (uint32_t i = 0; ok && i < j->plan.used_count; i++) {
        j->channel_rows[i] = mem_new_array<int32_t>(j->ops, j->width);
        ok = j->channel_rows[i] != nullptr;
    }
    if (!ok) {
        release_row_buffers(j);
        return jp2_fail(j, jp2msg::kOutOfMemory);
    }
    if (!jpcdec_set_output(j->jpcdec, n, nullptr, n)) {
        release_row_buffers(j);
        return 0;
    }
    j->output_ready = 1;
    return 1;
}

int jp2_decode_row(Jp2Decoder* j, uint8_t* row) {
    if (!j->output_ready) return 0;
    if (j->direct) return jpcdec_decode_row(j->jpcdec, row);
    if (!jpcdec_decode_row(j->jpcdec, j->component_row)) return 0;
    for (uint32_t i = 0; i < j->plan.used_count; i++) fill_channel_row(j, i);
    jp2_convert_row(&j->plan, j->channel_rows, j->width, row, j->out_offset, j->out_count,
                    j->out_pixel_stride);
    return 1;
}

jpcdec* jp2_get_codestream(Jp2Decoder* j) { return j && j->parsed ? j->jpcdec : nullptr; }

int jp2_input_failed(const Jp2Decoder* j) { return j ? jpcdec_input_failed(j->jpcdec) : 0; }

void jp2_finish_output(Jp2Decoder* j) {
    if (!j->output_ready) return;
    release_row_buffers(j);
    jpcdec_finish_output(j->jpcdec);
    j->output_ready = 0;
    j->direct = 0;
}

void jp2_destroy(Jp2Decoder* j) {
    if (!j) return;
    MemOps* ops = j->ops;
    jp2_finish_output(j);
    jp2_channel_list_release(ops, j->channel_list);
    if (j->jpcdec) jpcdec_destroy(j->jpcdec);
    jp2_file_type_release(ops, j->file_type);
    jp2_header_release(ops, j->jp2_header);
    byte_reader_destroy(ops, j->reader);
    ops->free(ops, j);
}
