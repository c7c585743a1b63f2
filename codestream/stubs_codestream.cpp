// Placeholder definitions until the codestream module lands; delete as each is implemented.
#include "codestream/jpc_markers.h"
#include "codestream/jpc_params.h"
#include "codestream/jpcdec_impl.h"

jpcdec* jpcdec_create(MemOps*, Stream*) { return nullptr; }
jpcdec* jpcdec_create_on_reader(MemOps*, ByteReader*) { return nullptr; }
void jpcdec_set_hooks(jpcdec*, jpc_message_hook, jpc_message_hook) {}
int jpcdec_parse(jpcdec*) { return 0; }
uint16_t jpcdec_get_component_num(const jpcdec* d) { return d->component_num; }
void jpcdec_get_size(const jpcdec* d, uint32_t* w, uint32_t* h) {
    *w = d->Xsiz - d->XOsiz;
    *h = d->Ysiz - d->YOsiz;
}
void jpcdec_destroy(jpcdec*) {}
int jpc_fail(jpcdec* d, const char* m) {
    if (d->error_hook) d->error_hook(m);
    return 0;
}
void jpc_warn(jpcdec* d, const char* m) {
    if (d->warning_hook) d->warning_hook(m);
}
int jpc_read_marker(jpcdec*, MarkerHeader*) { return 0; }
int jpc_read_sop(jpcdec*, const MarkerHeader*, uint16_t*) { return 0; }
const CodingStylePart* jpc_resolve_coding_style(const MarkerSet*, const MarkerSet*, uint16_t) {
    return nullptr;
}
const CodSegment* jpc_resolve_cod(const MarkerSet*, const MarkerSet*) { return nullptr; }
const QuantSegment* jpc_resolve_quant(const MarkerSet*, const MarkerSet*, uint16_t) {
    return nullptr;
}
const RgnSegment* jpc_resolve_rgn(const MarkerSet*, const MarkerSet*, uint16_t) {
    return nullptr;
}
void jpc_check_code_block_size(jpcdec*, uint8_t, uint8_t) {}
int jpc_band_quant(jpcdec*, const QuantSegment*, uint32_t, uint32_t, uint32_t, uint32_t, Band*) {
    return 0;
}
