#pragma once
// Segment parsers (SIZ, COD, COC, QCD, QCC, RGN, POC) and the per-tile-component resolution
// of coding style, quantisation and ROI. Parsers take the reader just after the length word.
#include <cstdint>

#include "codestream/image_header.h"
#include "codestream/jpc_segments.h"

namespace dravex {

struct CodestreamReader;

[[nodiscard]] int jpc_parse_siz(CodestreamReader* cr, const MarkerHeader* m);
void jpc_free_siz_arrays(CodestreamReader* cr);

[[nodiscard]] CodSegment* jpc_parse_cod(CodestreamReader* cr, const MarkerHeader* m);
[[nodiscard]] CocSegment* jpc_parse_coc(CodestreamReader* cr, const MarkerHeader* m);
[[nodiscard]] QuantSegment* jpc_parse_qcd(CodestreamReader* cr, const MarkerHeader* m);
[[nodiscard]] QuantSegment* jpc_parse_qcc(CodestreamReader* cr, const MarkerHeader* m);
[[nodiscard]] RgnSegment* jpc_parse_rgn(CodestreamReader* cr, const MarkerHeader* m);
[[nodiscard]] PocSegment* jpc_parse_poc(CodestreamReader* cr, const MarkerHeader* m);
void jpc_free_cod(CodestreamReader* cr, CodSegment* s);
void jpc_free_coc(CodestreamReader* cr, CocSegment* s);
void jpc_free_quant(CodestreamReader* cr, QuantSegment* s);
void jpc_free_rgn(CodestreamReader* cr, RgnSegment* s);
void jpc_free_poc(CodestreamReader* cr, PocSegment* s);

// Reported when no COD or QCD segment covers what is being decoded.
inline constexpr const char* kJpcMsgMissingCod = "Missing COD marker.";
inline constexpr const char* kJpcMsgMissingQcd = "Missing QCD marker.";

// Resolution for one tile-component; `part` (the tile's first tile-part header) may be null.
// First match: tile-part COC, tile-part COD, main COC, main COD.
const CodingStylePart* jpc_resolve_coding_style(const MarkerSet* main, const MarkerSet* part,
                                                uint16_t component);
// Tile-level values: tile-part COD, else main COD.
const CodSegment* jpc_resolve_cod(const MarkerSet* main, const MarkerSet* part);
// First match: tile-part QCC, tile-part QCD, main QCC, main QCD.
const QuantSegment* jpc_resolve_quant(const MarkerSet* main, const MarkerSet* part,
                                      uint16_t component);
// Tile-part RGN, else main RGN; nullptr when neither applies.
const RgnSegment* jpc_resolve_rgn(const MarkerSet* main, const MarkerSet* part,
                                  uint16_t component);
// Code-block size warnings for the resolved exponents (already + 2), by Rsiz.
void jpc_check_code_block_size(CodestreamReader* cr, uint8_t xcb, uint8_t ycb);
// Quantisation of one band: its magnitude bit-planes (M_b) and step in the fixed point.
struct BandQuant {
    uint8_t magnitude_bits;
    uint32_t step_mantissa;
    int32_t step_exponent;
};
// The quantisation of band b of resolution r of a tile-component with `levels` decomposition
// levels and `precision` bits. Returns 0 (after reporting) when the segment has too few values
// or the values give unusable shift counts.
[[nodiscard]] int jpc_band_quant(CodestreamReader* cr, const QuantSegment* q, uint32_t precision,
                                 uint32_t levels, uint32_t r, uint32_t b, BandQuant* band);

}  // namespace dravex
