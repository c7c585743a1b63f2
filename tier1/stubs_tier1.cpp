// Placeholder definitions until the tier-1 module lands; delete as each is implemented.
#include "tier1/t1.h"

void mq_reset_contexts(uint8_t*) {}
T1Scratch* t1_scratch_create(MemOps*) { return nullptr; }
void t1_scratch_destroy(MemOps*, T1Scratch*) {}
int t1_decode_codeblock(jpcdec*, T1Scratch*, const TileComponent*, uint32_t, uint32_t,
                        const Band*, CodeBlock*, int32_t*, uint32_t) {
    return 0;
}
