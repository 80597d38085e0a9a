#pragma once

// The readers whose work and memory follow their data (JPEG, GIF, PCX, metafiles) are fuzzed at a
// larger image limit than the other targets, so that files claiming large images meet those
// bounds rather than the size check. scripts/run-fuzzers.sh gives these targets the memory
// (two such buffers, libjpeg's coefficients and the image, plus the sanitizer's quarantine)
// and the time per input to match.
#include <cstdint>

#include "platform/CheckedSize.h"

inline constexpr int64_t BoundedReaderImageBytes = int64_t{256} << 20;

inline void UseBoundedReaderLimit() { SetMaxImageBytes(BoundedReaderImageBytes); }
