#pragma once

#include "picture/Graphics.h"

// The platform's stock palettes.
namespace host {

// The 20 static system colours (the stock default palette): entries 0-9 are the dark and
// standard colours the system keeps at the bottom of a 256-entry hardware palette, entries
// 10-19 those it keeps at the top. Owned by the platform; never released.
HPALETTE DefaultSystemPalette();

// A 256-entry palette for halftoning on the screen: the first ten system colours, the
// 6x6x6 colour cube (levels 0, 51, ... 255, red changing slowest), 20 grey levels between
// the cube's greys, and the last ten system colours.
TPaletteHandle CreateHalftonePalette();

}  // namespace host
