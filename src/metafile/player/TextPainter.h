#pragma once

#include <cstdint>
#include <vector>

#include "metafile/player/Painter.h"

// The text records: a run of characters in the selected font, aligned at a reference
// point, on an optional opaque or clipping rectangle.
namespace host {

enum : uint32_t { TA_UPDATECP = 1, TA_RIGHT = 2, TA_CENTER = 6, TA_BOTTOM = 8, TA_BASELINE = 24 };
enum : uint32_t { ETO_OPAQUE = 2, ETO_CLIPPED = 4, ETO_GLYPH_INDEX = 0x10, ETO_PDY = 0x2000 };

struct TextRun {
    double x = 0, y = 0;           // the reference point, logical
    std::vector<uint32_t> chars;   // code points
    std::vector<double> dx;        // logical advances, when the record gives them
    uint32_t options = 0;          // ETO_ flags
    const double* rect = nullptr;  // left, top, right, bottom, logical; none when null
};

void DrawText(Painter& painter, const TextRun& run);

}  // namespace host
