#pragma once
// The Jp2Decoder record, the box records and the box parsers of the JP2 module.
// Box parsers take the header of their box, never read past its content and leave the
// reader on the first byte after the box. Errors go to error_hook once, where found.
#include <cstdint>

#include "codestream/jpcdec.h"
#include "dravex/jp2_decoder.h"
#include "io/byte_reader.h"
#include "io/mem_ops.h"
#include "jp2/jp2_colour.h"

namespace dravex {

// Box type codes: the four characters read big-endian.
constexpr uint32_t kBoxFileType = 0x66747970;       // 'ftyp'
constexpr uint32_t kBoxHeader = 0x6a703268;         // 'jp2h'
constexpr uint32_t kBoxCodestream = 0x6a703263;     // 'jp2c'
constexpr uint32_t kBoxImageHeader = 0x69686472;    // 'ihdr'
constexpr uint32_t kBoxBitsPerComp = 0x62706363;    // 'bpcc'
constexpr uint32_t kBoxColr = 0x636f6c72;          // 'colr'
constexpr uint32_t kBoxPalette = 0x70636c72;        // 'pclr'
constexpr uint32_t kBoxCompMapping = 0x636d6170;    // 'cmap'
constexpr uint32_t kBoxChannelDef = 0x63646566;     // 'cdef'
constexpr uint32_t kBoxResolution = 0x72657320;     // 'res '
constexpr uint32_t kBoxCaptureRes = 0x72657363;     // 'resc'
constexpr uint32_t kBoxDisplayRes = 0x72657364;     // 'resd'

// Message texts, passed to the hooks as they stand.
namespace jp2msg {
// Box headers and the top-level walk.
constexpr const char kBoxHeaderError[] = "Parsing JP2 Box header error.";
constexpr const char kLBoxTwoToSeven[] = "LBox cann't be value of 2~7.";
constexpr const char kXLBoxTooSmall[] = "XLBox of JP2 box is less than 16.";
constexpr const char kBoxPastFile[] = "JP2 box runs past the end of the file.";
constexpr const char kBoxPastSuperbox[] = "JP2 box runs past the end of its superbox.";
constexpr const char kMissingFileType[] = "Missing File Type box.";
constexpr const char kFileTypeError[] = "Parsing File Type box error.";
constexpr const char kFileTypeDuplicate[] =
    "JP2 shall not contain more than one file type box, ignored.";
constexpr const char kCodestreamBeforeHeader[] =
    "Contiguous Codestream box should appear after JP2 Header box, ignored.";
constexpr const char kMissingHeader[] = "Missing JP2 Header box.";
constexpr const char kMissingColr[] =
    "JP2 must contain at least one Colour Specification box.";
constexpr const char kMissingCodestream[] = "Missing Contiguous Codestream box.";
constexpr const char kOutOfMemory[] = "Not enough memory to decode the JP2 file.";
// Header sub-boxes.
constexpr const char kHeaderDuplicate[] =
    "JP2 shall not contain more than one JP2 Header box, ignored.";
constexpr const char kImageHeaderDuplicate[] =
    "JP2 Header box shall contain only one Image Header box, ignored.";
constexpr const char kImageHeaderError[] = "Parsing Image Header box error.";
constexpr const char kBpccDuplicate[] =
    "JP2 Header box shall contain only one Bits Per Component box, ignored.";
constexpr const char kBpccBeforeIhdr[] =
    "Bits Per Component box should appear after Image Header box,ignored.";
constexpr const char kBpccError[] = "Parsing Bits Per Component box error.";
constexpr const char kColrDuplicate[] = "We ignores all Colour Specification boxes after the first.";
constexpr const char kColrBeforeIhdr[] =
    "Colour Specification box should appear after Image Header box, ignored.";
constexpr const char kColrError[] = "Parsing Colour Specification box error.";
constexpr const char kColrBadMeth[] =
    "Colour Specification box field METH is not 1 or 2, ignored entirely.";
constexpr const char kPclrDuplicate[] = "JP2 Header box shall contain only one Palette box, ignored.";
constexpr const char kPclrBeforeIhdr[] = "Palette box should appear after Image Header box, ignored.";
constexpr const char kPclrError[] = "Parsing Palette box error.";
constexpr const char kPclrEmpty[] = "Palette box has no entries or no columns.";
constexpr const char kPclrDepthFormat[] =
    "Bit depth of palette columen %d is more than 32 or less than 1, unsupported.";
constexpr const char kCmapDuplicate[] =
    "JP2 Header box shall contain only one Component Mapping box, ignored.";
constexpr const char kCmapBeforeIhdr[] =
    "Component Mapping box should appear after Image Header box, ignored.";
constexpr const char kCmapError[] = "Parsing Component Mapping box error.";
constexpr const char kCdefDuplicate[] =
    "JP2 Header box shall contain only one Channel Definition box, ignored.";
constexpr const char kCdefBeforeIhdr[] =
    "Channel Definition box should appear after Image Header box, ignored.";
constexpr const char kCdefError[] = "Parsing Channel Definition box error.";
constexpr const char kCdefZero[] = "Channel Definition box contains zero channel descriptions, ignored.";
constexpr const char kCdefCnTooLarge[] = "Channel Definition box's Cns(i) >= N.";
constexpr const char kResDuplicate[] = "JP2 Header box shall contain only one Resolution box, ignored.";
constexpr const char kResBeforeIhdr[] = "Resolution box should appear after Image Header box, ignored.";
constexpr const char kRescDuplicate[] =
    "Resolution box shall contain only one Capture Resolution box, ignored.";
constexpr const char kResdDuplicate[] =
    "Resolution box shall contain only one Default Display Resolution box, ignored.";
constexpr const char kRescError[] = "Parsing Capture Resolution box error.";
constexpr const char kResdError[] = "Parsing Default Display Resolution box error.";
// Decoding interface.
constexpr const char kMissingSignature[] = "Missing JPEG 2000 Signature box.";
constexpr const char kAreaMismatch[] =
    "Image area width or height of Image Header box and codestream are mismatch.";
constexpr const char kComponentsMismatch[] =
    "Component number of Image Header box and codestream are mismatch.";
constexpr const char kBpcMismatch[] =
    "Bits per component of Image Header box and codestream are mismatch.";
constexpr const char kBpccMismatch[] =
    "Bits per component of Bits Per Component box and codestream are mismatch.";
constexpr const char kUnknownCompression[] = "Unknown compression algorithm.";
constexpr const char kPaletteWithoutMapping[] =
    "Palette box shall appear with Component Mapping box.";
constexpr const char kCmpTooLarge[] = "Component Mapping box's CMP(n) >= jpcdec->component_num.";
constexpr const char kPcolTooLarge[] = "Component Mapping box's PCOL(n) >= Palette box's NPC.";
constexpr const char kCnTooLarge[] =
    "Channel Definition box's Cn(n) >= channel_list->channel_num.";
constexpr const char kChannelsCut[] = "More than 32 channels, only the first 32 are decoded.";
constexpr const char kUnsupportedColour[] = "Unsupport colorspace!";
constexpr const char kBadOutput[] = "JP2 output set-up is invalid.";
constexpr const char kNotParsed[] = "JP2 file has not been parsed.";
constexpr const char kAlreadyParsed[] = "JP2 file has already been parsed.";
}  // namespace jp2msg

struct BoxHeader {
    uint32_t type;         // TBox
    uint32_t length;       // content bytes (cut to what the enclosing range holds)
    uint32_t header_size;  // 8, or 16 with an XLBox
    uint32_t overrun;      // 1 when the declared length ran past the enclosing range
};

struct FileTypeRecord {
    uint32_t BR;
    uint32_t MinV;
    uint32_t* CL;
    uint32_t CL_count;
};

struct ImageHeaderRecord {
    uint32_t HEIGHT;
    uint32_t WIDTH;
    uint16_t NC;
    uint8_t BPC;
    uint8_t C;
    uint8_t UnkC;
    uint8_t IPR;
};

struct BitsPerComponentRecord {
    uint8_t* BPC;  // NC stored depth bytes
};

struct ColourSpecRecord {
    uint8_t METH;
    uint8_t PREC;
    uint8_t APPROX;
    uint32_t EnumCS;  // 0 unless METH is 1
    uint8_t* extra;   // bytes after the fixed fields (the ICC profile for METH 2)
    uint32_t extra_count;
};

struct PaletteRecord {
    uint16_t NE;
    uint8_t NPC;
    uint8_t* B;          // NPC depth bytes: bit 7 sign, bits 0-6 depth - 1
    uint32_t* entries;   // NE x NPC, entry j of column k at j * NPC + k
};

struct ComponentMappingRecord {
    uint32_t count;
    uint16_t* CMP;
    uint8_t* MTYP;
    uint8_t* PCOL;
};

struct ChannelDefinitionRecord {
    uint16_t N;
    uint16_t* Cn;    // N + 1 entries each; index N holds 0xFFFF
    uint16_t* Typ;
    uint16_t* Asoc;
};

struct ResolutionValues {
    uint16_t VRcN, VRcD, HRcN, HRcD;
    int8_t VRcE, HRcE;
};

struct ResolutionRecord {
    ResolutionValues* capture;
    ResolutionValues* display;
};

struct Jp2HeaderRecord {
    ImageHeaderRecord* image_header;
    BitsPerComponentRecord* bits_per_component;
    ColourSpecRecord* colour_box;
    PaletteRecord* palette;
    ComponentMappingRecord* component_mapping;
    ChannelDefinitionRecord* channel_definition;
    ResolutionRecord* resolution;
};

}  // namespace dravex

// The public handle's record (declared by the calling interface, outside the namespace).
struct Jp2Decoder {
    MemOps* ops;
    dravex::ByteReader* reader;
    jp2_message_hook error_hook;
    jp2_message_hook warning_hook;
    dravex::FileTypeRecord* file_type;
    dravex::Jp2HeaderRecord* jp2_header;
    struct jpcdec* jpcdec;  // attached at the codestream box, reading through `reader`
    dravex::ChannelList* channel_list;
    int32_t colour_space;     // EnumCS of the retained colr box (0 for METH 2)
    uint32_t convert_colour;  // 0 switches colour conversion off
    uint32_t parsed;          // 1 after a successful jp2_parse
    uint64_t max_pixels;      // passed on to the codestream decoder (jp2_set_max_pixels)
    uint16_t component_count; // min(codestream components, 32): decoded per row
    // Output
    uint32_t width, height;
    uint16_t out_count;
    uint32_t out_offset[dravex::kJp2MaxChannels];
    uint32_t out_pixel_stride;
    uint32_t output_ready;
    dravex::Jp2OutputPlan plan;
    // Per channel the plan reads (index i of plan.used): its component, the palette column
    // it maps through (-1: the sample itself) and one row of its samples.
    uint16_t source_component[dravex::kJp2MaxChannels];
    int16_t source_column[dravex::kJp2MaxChannels];
    int32_t* channel_rows[dravex::kJp2MaxChannels];
    uint8_t* component_row;                  // width x component_count bytes
    uint32_t direct;  // 1: the codestream's rows go straight to the caller's (see jp2_set_output)
};

namespace dravex {

// Report helpers: jp2_fail always returns 0.
int jp2_fail(Jp2Decoder* j, const char* message);
void jp2_warn(Jp2Decoder* j, const char* message);

// Top-level boxes. `avail` is what the enclosing range holds from the box's first byte.
[[nodiscard]] int jp2_read_box_header(Jp2Decoder* j, BoxHeader* h, uint32_t avail);
[[nodiscard]] int jp2_parse_boxes(Jp2Decoder* j);
[[nodiscard]] int jp2_parse_file_type(Jp2Decoder* j, const BoxHeader* h);
void jp2_file_type_release(MemOps* ops, FileTypeRecord* ft);

// JP2 Header superbox and its sub-boxes, with the reader on the box content.
[[nodiscard]] int jp2_parse_header_box(Jp2Decoder* j, const BoxHeader* h);
// Also read at the top level, where a mapping box may stand in for one inside the header.
[[nodiscard]] int jp2_parse_component_mapping(Jp2Decoder* j, const BoxHeader* h);
void jp2_header_release(MemOps* ops, Jp2HeaderRecord* hdr);
void jp2_palette_release(MemOps* ops, PaletteRecord* p);
void jp2_mapping_release(MemOps* ops, ComponentMappingRecord* m);

// Channel list from the header records and the codestream's component count. Sets
// component_count = min(component_num, 32); channels naming a component past those are
// dropped, and the list holds at most 32 channels (one warning for either cut).
[[nodiscard]] int jp2_build_channel_list(Jp2Decoder* j, uint16_t component_num);
void jp2_channel_list_release(MemOps* ops, ChannelList* list);

}  // namespace dravex
