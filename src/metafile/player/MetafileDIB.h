#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "metafile/player/CairoLibrary.h"
#include "metafile/player/MetafileReader.h"
#include "picture/Graphics.h"

// Device-independent bitmaps as the bitmap and pattern-brush records carry them.
namespace host {

// A colour table of indices into the selected logical palette (DIB_RGB_COLORS: of colours).
inline constexpr uint32_t DIB_PAL_COLORS = 1;

struct DecodedDIB {
    Surface surface;  // RGB24; null when the bitmap could not be decoded
    int32_t width = 0, height = 0;
};

// header: the information header with its colour table; bits: the pixel rows.
// DIB_PAL_COLORS takes the colour table as indices into palette (0x00RRGGBB entries).
// Run-length and embedded JPEG/PNG bitmaps are not decoded.
DecodedDIB DecodeDIB(const MetafileReader& header, const MetafileReader& bits, uint32_t usage,
                     const std::vector<uint32_t>& palette);

// A packed bitmap (header, colour table and rows in one block), as the Windows
// metafile records carry it, split into its header and its rows; false when the header
// does not fit.
bool SplitPackedDIB(const MetafileReader& packed, uint32_t usage, MetafileReader& header, MetafileReader& bits);

}  // namespace host
