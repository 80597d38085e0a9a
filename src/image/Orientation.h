#pragma once

#include <cstdint>

class TLinearBitmap;

// Turns the image so that it shows as its EXIF orientation (1 to 8) says it is to be
// shown: 2 mirrored left to right, 3 turned half round, 4 mirrored top to bottom, 5
// mirrored about the main diagonal, 6 turned a quarter clockwise, 7 mirrored about the
// other diagonal, 8 turned a quarter anticlockwise. 5 to 8 swap width and height. Any
// other value, and an empty image, leave it as it is. The palette stays.
void ApplyOrientation(TLinearBitmap& image, int orientation);
