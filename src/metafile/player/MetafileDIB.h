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

// The fields of either header kind that reading the pixels needs.
struct DIBHeader {
    uint32_t headerSize = 0;
    int32_t width = 0, height = 0;
    uint32_t bitCount = 0, compression = 0, colorsUsed = 0;
    size_t tableEntry = 4;  // bytes per colour-table entry
    uint32_t masks[3] = {0xFF0000, 0xFF00, 0xFF};
    size_t tableOffset = 0;
};

// A bitmap as its record carries it. Its pixels are read where they are sampled: a
// bitmap of any size drawn into a few pixels costs those pixels, and a surface of it is
// made only for the transforms that need one, no larger than they can show.
class DIBSource {
public:
    DIBSource() = default;
    // present: the rows bits holds, from the first stored; the rest read as black.
    DIBSource(const DIBHeader& header, const MetafileReader& bits, const uint32_t table[256], int32_t present);

    // False when the bitmap could not be read.
    bool valid() const { return header_.width > 0; }
    int32_t width() const { return header_.width; }
    int32_t height() const { return rows_; }
    // Row y (counted from the top) at the given columns, as 0x00RRGGBB words.
    void sampleRow(int32_t y, const int32_t* columns, size_t count, uint32_t* out) const;
    // The bitmap as an RGB24 surface of at most maxPixels: every step-th column and row
    // (steps of 1 unless it is larger); null when it cannot be made.
    Surface surface(int64_t maxPixels, int32_t& stepX, int32_t& stepY) const;

private:
    const uint8_t* row(int32_t y) const;

    DIBHeader header_;
    MetafileReader bits_;
    int32_t rows_ = 0;
    int32_t present_ = 0;
    size_t stride_ = 0;
    uint32_t table_[256] = {};
};

// header: the information header with its colour table; bits: the pixel rows.
// DIB_PAL_COLORS takes the colour table as indices into palette (0x00RRGGBB entries).
// Run-length and embedded JPEG/PNG bitmaps are not read (an invalid source). Rows that
// bits lacks are black and reported through host::ReportDamage; with none there at all
// the source is invalid.
DIBSource ReadDIB(const MetafileReader& header, const MetafileReader& bits, uint32_t usage,
                  const std::vector<uint32_t>& palette);

// A packed bitmap (header, colour table and rows in one block), as the Windows
// metafile records carry it, split into its header and its rows; false when the header
// does not fit.
bool SplitPackedDIB(const MetafileReader& packed, uint32_t usage, MetafileReader& header, MetafileReader& bits);

}  // namespace host
