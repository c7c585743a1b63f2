#pragma once
// Channel list and colour output of the JP2 decoder: which channels feed the output bytes
// and how they are turned into RGB. Plain functions over plain records, so they can be
// exercised without a file.
//   jp2_plan_output(list, depth, is_signed, convert, out_count, &plan);
//   per row: fill rows[i] for each plan.used[i], then jp2_convert_row(&plan, rows, ...).
#include <cstdint>

namespace dravex {

constexpr uint16_t kJp2MaxChannels = 32;

// EnumCS values the output knows.
constexpr uint32_t kEnumCmyk = 12;
constexpr uint32_t kEnumSrgb = 16;
constexpr uint32_t kEnumGrey = 17;
constexpr uint32_t kEnumSycc = 18;

struct ChannelEntry {
    uint16_t component;  // codestream component that feeds the channel
    uint16_t Cn;         // channel index; also the index into the component mapping
    uint16_t Typ;        // 0 colour, 1 opacity, 2 premultiplied opacity, 65535 unspecified
    uint16_t Asoc;
};

struct ChannelList {
    uint16_t channel_num;
    ChannelEntry* entries;
    uint32_t colour;  // EnumCS of the colr box, 0 for an ICC profile
};

enum Jp2ColourMode : uint32_t {
    kJp2Copy = 0,  // channel i to output i
    kJp2Grey = 1,  // the one grey channel to every output
    kJp2Sycc = 2,  // Y, Cb, Cr to R, G, B
    kJp2Cmyk = 3,  // C, M, Y, K to R, G, B
};

struct Jp2OutputPlan {
    uint32_t mode;
    uint32_t unsupported;  // 1: colour space without a conversion, copied instead
    uint16_t used_count;   // channels the output reads
    uint16_t used[kJp2MaxChannels];       // their indices in the channel list, in order
    uint8_t depth[kJp2MaxChannels];       // bits per sample of used channel i (1..32)
    uint8_t is_signed[kJp2MaxChannels];
};

// Chooses the conversion. Opacity channels (Typ 1, 2) never reach colour bytes; a greyscale
// list keeps only its first colour channel; a lone colour channel is shown as grey. A
// conversion that lacks the channels or outputs it needs falls back to the copy; a colour
// space without a conversion (an ICC profile, an unknown EnumCS) sets `unsupported` for the
// caller to report once. depth/is_signed are indexed by channel list position.
void jp2_plan_output(const ChannelList* list, const uint8_t* depth, const uint8_t* is_signed,
                     uint32_t convert_colour, uint16_t out_count, Jp2OutputPlan* plan);

// Writes one row: rows[i] holds `width` samples of used channel i. Output channel o goes to
// out[offsets[o] + x * stride]; each stored byte is the low 8 bits of the result.
void jp2_convert_row(const Jp2OutputPlan* plan, const int32_t* const* rows, uint32_t width,
                     uint8_t* out, const uint32_t* offsets, uint16_t out_count, uint32_t stride);

}  // namespace dravex
