// Box headers, the top-level box walk and the File Type box.
#include "codestream/jpcdec.h"
#include "jp2/jp2_impl.h"

namespace dravex {

int jp2_fail(Jp2Decoder* j, const char* message) {
    if (j->error_hook) j->error_hook(message);
    return 0;
}

void jp2_warn(Jp2Decoder* j, const char* message) {
    if (j->warning_hook) j->warning_hook(message);
}

int jp2_read_box_header(Jp2Decoder* j, BoxHeader* h, uint32_t avail) {
    ByteReader* br = j->reader;
    h->type = 0;
    h->length = 0;
    h->header_size = 8;
    h->overrun = 0;
    // The enclosing range must hold the header itself; reading further would take bytes
    // from the next box (or the superbox's neighbour).
    uint32_t lbox = 0;
    if (avail < 8 || !br_read_u32(br, &lbox) || !br_read_u32(br, &h->type))
        return jp2_fail(j, jp2msg::kBoxHeaderError);
    uint64_t content = 0;
    if (lbox == 0) {
        h->length = avail - 8;  // runs to the end of the enclosing range
        return 1;
    }
    if (lbox == 1) {
        uint32_t hi = 0, lo = 0;
        if (avail < 16 || !br_read_u32(br, &hi) || !br_read_u32(br, &lo))
            return jp2_fail(j, jp2msg::kBoxHeaderError);
        const uint64_t xlbox = (uint64_t(hi) << 32) | lo;
        if (xlbox < 16) return jp2_fail(j, jp2msg::kXLBoxTooSmall);
        h->header_size = 16;
        content = xlbox - 16;
    } else if (lbox < 8) {
        return jp2_fail(j, jp2msg::kLBoxTwoToSeven);
    } else {
        content = lbox - 8;
    }
    const uint32_t room = avail - h->header_size;
    if (content > room) {
        // Cut to the range; the caller decides whether such a box is acceptable.
        h->overrun = 1;
        content = room;
    }
    h->length = static_cast<uint32_t>(content);
    return 1;
}

void jp2_file_type_release(MemOps* ops, FileTypeRecord* ft) {
    if (!ft) return;
    mem_free(ops, ft->CL);
    ops->free(ops, ft);
}

int jp2_parse_file_type(Jp2Decoder* j, const BoxHeader* h) {
    ByteReader* br = j->reader;
    const uint32_t end = br_get_pos(br) + h->length;
    if (j->file_type) {
        jp2_warn(j, jp2msg::kFileTypeDuplicate);
        br_set_pos(br, end);
        return 1;
    }
    if (h->length < 8) return jp2_fail(j, jp2msg::kFileTypeError);
    FileTypeRecord* ft = mem_new<FileTypeRecord>(j->ops);
    if (!ft) return jp2_fail(j, jp2msg::kOutOfMemory);
    j->file_type = ft;
    int ok = br_read_u32(br, &ft->BR) && br_read_u32(br, &ft->MinV);
    if (ok) {
        ft->CL_count = (h->length - 8) / 4;
        if (ft->CL_count) {
            ft->CL = static_cast<uint32_t*>(mem_alloc_array(j->ops, ft->CL_count, 4));
            if (!ft->CL) {
                jp2_file_type_release(j->ops, ft);
                j->file_type = nullptr;
                return jp2_fail(j, jp2msg::kOutOfMemory);
            }
        }
        for (uint32_t i = 0; ok && i < ft->CL_count; i++) ok = br_read_u32(br, &ft->CL[i]);
    }
    if (!ok) {
        jp2_file_type_release(j->ops, ft);
        j->file_type = nullptr;
        return jp2_fail(j, jp2msg::kFileTypeError);
    }
    br_set_pos(br, end);  // one to three stray bytes after the list
    return 1;
}

int jp2_parse_boxes(Jp2Decoder* j) {
    ByteReader* br = j->reader;
    BoxHeader h;
    if (!jp2_read_box_header(j, &h, br_remaining(br))) return 0;
    if (h.type != kBoxFileType) return jp2_fail(j, jp2msg::kMissingFileType);
    if (h.overrun) return jp2_fail(j, jp2msg::kBoxPastFile);
    if (!jp2_parse_file_type(j, &h)) return 0;

    while (br_remaining(br) > 0 && !j->jpcdec) {
        if (!jp2_read_box_header(j, &h, br_remaining(br))) return 0;
        const uint32_t content = br_get_pos(br);
        // The codestream decoder is not bound by the box length, so a 'jp2c' cut by the end
        // of the file simply ends where the data does; any other box must fit.
        if (h.overrun && h.type != kBoxCodestream) return jp2_fail(j, jp2msg::kBoxPastFile);
        if (h.type == kBoxHeader) {
            if (!jp2_parse_header_box(j, &h)) return 0;
        } else if (h.type == kBoxCodestream && j->jp2_header) {
            j->jpcdec = jpcdec_create_on_reader(j->ops, br);
            if (!j->jpcdec) return jp2_fail(j, jp2msg::kOutOfMemory);
            jpcdec_set_hooks(j->jpcdec, j->error_hook, j->warning_hook);
            jpcdec_set_max_pixels(j->jpcdec, j->max_pixels);
            break;  // nothing after the codestream box is read
        } else if (h.type == kBoxCodestream) {
            jp2_warn(j, jp2msg::kCodestreamBeforeHeader);
        } else if (h.type == kBoxCompMapping && j->jp2_header &&
                   !j->jp2_header->component_mapping) {
            // A top-level mapping box stands in for one inside the header box.
            if (!jp2_parse_component_mapping(j, &h)) return 0;
        }
        br_set_pos(br, content + h.length);
    }

    if (!j->jp2_header) return jp2_fail(j, jp2msg::kMissingHeader);
    if (!j->jp2_header->colour_box) return jp2_fail(j, jp2msg::kMissingColr);
    if (!j->jpcdec) return jp2_fail(j, jp2msg::kMissingCodestream);
    return 1;
}

}  // namespace dravex
