#pragma once

#include <cstddef>
#include <cstdint>

#include "metafile/player/PlayBudget.h"

// Plays the records of a Windows metafile or an enhanced metafile onto a block of
// 0x00RRGGBB pixels with cairo (aliased, as the platform's own drawing is), which the
// first play loads (Exception "libcairo.so.2 was not loaded correctly" when it cannot). Every
// field a record names is checked against the record and the data before it is read;
// a record that does not fit, names an object that does not exist or carries a bitmap
// that does not fit is skipped, and an unknown record is skipped too.
namespace host {

struct PlayTarget {
    uint32_t* Pixels = nullptr;  // Height rows of StrideBytes bytes, 0x00RRGGBB words
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t StrideBytes = 0;
    // Where the block lies in the whole picture when it is played in parts: brush
    // patterns stay anchored at the picture's origin.
    int32_t OriginX = 0;
    int32_t OriginY = 0;
};

// Where the picture goes on the target, in target pixels (may reach beyond it).
struct PlayRect {
    double Left = 0, Top = 0, Right = 0, Bottom = 0;
};

// Enhanced metafile: the whole file (header record first). The picture frame, turned
// into the reference device's pixels, is mapped onto dest. The budget is shared by every
// band of one picture; past it, EInvalidGraphic "Metafile is not valid".
void PlayEnhancedMetafile(const uint8_t* data, size_t size, const PlayTarget& target, const PlayRect& dest,
                          PlayBudget& budget);

// Windows metafile: the standard record data (the 18-byte header first, without the
// placeable header). The window, which starts as the placeable bounding box, is
// mapped onto dest.
void PlayWindowsMetafile(const uint8_t* data, size_t size, int16_t boundsLeft, int16_t boundsTop,
                         int16_t boundsRight, int16_t boundsBottom, const PlayTarget& target, const PlayRect& dest,
                         PlayBudget& budget);

}  // namespace host
