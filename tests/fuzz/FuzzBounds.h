#pragma once

// The readers whose work and memory follow their data (JPEG, GIF, PCX, PNG, icons,
// metafiles) are fuzzed at the image limit users get, not at the lower one of the other
// targets: the files that break a bound claim large images and only cost what their data
// pays for, so a lower limit would refuse them before the bound is reached.
// scripts/run-fuzzers.sh gives these targets the memory (an image at the limit, libjpeg's
// coefficients beside it, the sanitizer's quarantine) and the time per input to match.
#include <cstdint>

#include "platform/CheckedSize.h"

// Back to the environment's or the default limit, the one every conversion runs with.
inline void UseUserImageLimit() { SetMaxImageBytes(0); }
