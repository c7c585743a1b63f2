// Placeholder definitions until the JP2 module lands; delete as each is implemented.
#include "jp2/jp2_decoder.h"

Jp2Decoder* jp2_create(MemOps*, Stream*) { return nullptr; }
void jp2_set_hooks(Jp2Decoder*, jp2_message_hook, jp2_message_hook) {}
int jp2_parse(Jp2Decoder*) { return 0; }
void jp2_get_size(const Jp2Decoder*, uint32_t* w, uint32_t* h) { *w = *h = 0; }
void jp2_set_colour_conversion(Jp2Decoder*, uint32_t) {}
int jp2_set_output(Jp2Decoder*, uint16_t, const uint32_t*, uint32_t) { return 0; }
int jp2_decode_row(Jp2Decoder*, uint8_t*) { return 0; }
void jp2_finish_output(Jp2Decoder*) {}
void jp2_destroy(Jp2Decoder*) {}
