// The channel list: which codestream component, through which palette column, feeds each
// channel, from the component mapping and channel definition boxes.
#include "jp2/jp2_impl.h"

namespace dravex {

void jp2_channel_list_release(MemOps* ops, ChannelList* list) {
    if (!list) return;
    mem_free(ops, list->entries);
    ops->free(ops, list);
}

int jp2_build_channel_list(Jp2Decoder* j, uint16_t component_num) {
    const Jp2HeaderRecord* hdr = j->jp2_header;
    const ComponentMappingRecord* cmap = hdr->component_mapping;
    const ChannelDefinitionRecord* cdef = hdr->channel_definition;
    const PaletteRecord* pal = hdr->palette;
    // Rows are decoded for at most 32 components; every check below uses that count.
    const uint16_t n = component_num < kJp2MaxChannels ? component_num : kJp2MaxChannels;
    j->component_count = n;
    int cut = component_num > n;

    uint32_t count = component_num;
    if (cmap) {
        count = cmap->count;
        for (uint32_t i = 0; i < cmap->count; i++) {
            if (cmap->CMP[i] >= n) {
                jp2_warn(j, jp2msg::kCmpTooLarge);
                count = i;
                break;
            }
        }
        for (uint32_t i = 0; i < count; i++) {
            // Direct entries ignore PCOL; a palette entry must name an existing column.
            if (cmap->MTYP[i] != 0 && (!pal || cmap->PCOL[i] >= pal->NPC))
                return jp2_fail(j, jp2msg::kPcolTooLarge);
        }
    }
    uint32_t described = count;
    if (cdef) {
        for (uint32_t k = 0; k < cdef->N; k++)
            if (cdef->Cn[k] >= count) return jp2_fail(j, jp2msg::kCnTooLarge);
        described = cdef->N;
    }

    auto* list = mem_new<ChannelList>(j->ops);
    if (!list) return jp2_fail(j, jp2msg::kOutOfMemory);
    j->channel_list = list;
    const uint32_t room = described < kJp2MaxChannels ? described : kJp2MaxChannels;
    list->entries = mem_new_array<ChannelEntry>(j->ops, room);
    if (!list->entries) return jp2_fail(j, jp2msg::kOutOfMemory);
    list->colour = hdr->colour_box ? hdr->colour_box->EnumCS : 0;

    uint16_t used = 0;
    for (uint32_t k = 0; k < described; k++) {
        ChannelEntry e;
        if (cdef) {
            e.Cn = cdef->Cn[k];
            e.Typ = cdef->Typ[k];
            e.Asoc = cdef->Asoc[k];
        } else {
            e.Cn = static_cast<uint16_t>(k);
            e.Typ = 0;
            e.Asoc = static_cast<uint16_t>(k + 1);
        }
        e.component = cmap ? cmap->CMP[e.Cn] : e.Cn;
        // A channel of a component past the first 32, or past the 32nd channel, is dropped.
        if (e.component >= n || used == kJp2MaxChannels) {
            cut = 1;
            continue;
        }
        list->entries[used++] = e;
    }
    list->channel_num = used;
    if (cut) jp2_warn(j, jp2msg::kChannelsCut);
    return 1;
}

}  // namespace dravex
