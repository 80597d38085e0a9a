#pragma once

// JPEG compression through the libjpeg entry points that libmng's library brings along,
// for the JPEG data inside JNG files. The entry points are resolved on first use by a
// load of their own.
#include <cstdint>
#include <string>
#include <vector>

#include "jpeg/JPEGError.h"
#include "picture/Graphics.h"

namespace ngjpeg {

// The 23 libjpeg names in their fixed order.
const std::vector<const char*>& JpegEntryNames();
// The resolved address of one of them (loads on first use; null when absent).
void* JpegEntryAddress(const char* name);
// Test seam: a stand-in for one resolved entry point; returns the address it replaces.
void* ReplaceJpegEntryForTesting(const char* name, void* address);

// Compresses a picture as a baseline (or progressive) JPEG stream.
class TJPEGImage {
public:
    bool ProgressiveEncoding = false;
    bool Grayscale = false;
    int CompressionQuality = 90;

    // The JPEG data of a copy of the bitmap taken as 24 bits per pixel. Raises
    // EJPEG "JPEG error #%d" for a libjpeg error and ENGFuncUnknown when an entry point
    // it needs is missing.
    std::vector<uint8_t> Compress(const host::TBitmap& bitmap) const;
};

}  // namespace ngjpeg
