#pragma once
// Marker-segment records of one header and the tile-part record.
#include <cstdint>

namespace dravex {

struct MarkerHeader {
    uint16_t code;    // 0xFF00 .. 0xFFFF
    uint16_t length;  // segment length as stored (counts its own 2 bytes); 0: no segment
};

// Marker codes.
constexpr uint16_t kMarkerSOC = 0xFF4F, kMarkerSIZ = 0xFF51, kMarkerCOD = 0xFF52,
                   kMarkerCOC = 0xFF53, kMarkerTLM = 0xFF55, kMarkerPLM = 0xFF57,
                   kMarkerPLT = 0xFF58, kMarkerQCD = 0xFF5C, kMarkerQCC = 0xFF5D,
                   kMarkerRGN = 0xFF5E, kMarkerPOC = 0xFF5F, kMarkerPPM = 0xFF60,
                   kMarkerPPT = 0xFF61, kMarkerCRG = 0xFF63, kMarkerCOM = 0xFF64,
                   kMarkerSOT = 0xFF90, kMarkerSOP = 0xFF91, kMarkerEPH = 0xFF92,
                   kMarkerSOD = 0xFF93, kMarkerEOC = 0xFFD9;

// Component coding-style part shared by COD (SPcod) and COC (SPcoc).
struct CodingStylePart {
    uint8_t levels;          // NL
    uint8_t xcb, ycb;        // exponent offsets as coded (width = 2^(xcb + 2))
    uint8_t cblk_style;      // code-block style bits
    uint8_t transform;       // 0 = 9/7, 1 = 5/3
    uint8_t* precinct_sizes; // levels + 1 bytes (low nibble PPx, high PPy) or nullptr
};

struct CodSegment {
    uint8_t Scod;        // bit 0 precincts given, bit 1 SOP, bit 2 EPH
    uint8_t progression; // 0 LRCP .. 4 CPRL
    uint16_t layers;
    uint8_t mct;
    CodingStylePart part;
};

struct CocSegment {
    uint16_t component;
    uint8_t Scoc;
    CodingStylePart part;
};

struct QuantSegment {
    uint16_t component;  // QCC only
    uint8_t style;       // Sqcd/Sqcc byte: bits 0-4 style, 5-7 guard bits
    uint16_t* values;    // count values as coded
    uint16_t count;
};

struct RgnSegment {
    uint16_t component;
    uint8_t Srgn;
    uint8_t SPrgn;
};

struct PocSegment {
    uint16_t count;
    uint8_t* RSpoc;
    uint16_t* CSpoc;
    uint16_t* LYEpoc;
    uint8_t* REpoc;
    uint16_t* CEpoc;
    uint8_t* Ppoc;
    PocSegment* next;
};

// Packed packet headers collected from PPM (main header) or PPT (tile-part headers).
struct PackedHeaders {
    uint8_t* data;
    uint32_t length;
};

// The coding-parameter segments of one header. Owns every record in it.
struct MarkerSet {
    uint16_t component_count;
    CodSegment* cod;
    CocSegment** coc;    // component_count slots
    QuantSegment* qcd;
    QuantSegment** qcc;  // component_count slots
    RgnSegment** rgn;    // component_count slots
    PocSegment* poc;     // list in codestream order
    PackedHeaders ppt;   // PPT bytes of this tile-part header, Zppt order (may be empty)
};

struct TilePartRecord {
    uint16_t Isot;
    uint32_t Psot;      // 0: runs up to EOC
    uint8_t TPsot;
    uint8_t TNsot;
    uint32_t consumed;  // bytes accounted for from the first byte of SOT
    uint32_t sot_pos;   // reader position of the SOT marker's first byte
};

}  // namespace dravex
