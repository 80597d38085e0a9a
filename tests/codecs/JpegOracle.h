#pragma once

#include <cstdint>
#include <string>
#include <vector>

// libjpeg, linked into the tests only, as the independent decoder and as the maker of
// JPEG files with features the tests need (CMYK, YCCK, sampling, restarts, scripts).
namespace jpeg_oracle {

using Bytes = std::vector<uint8_t>;

struct Options {
    bool fast = false;       // JDCT_IFAST and plain upsampling instead of JDCT_ISLOW and smooth
    bool smoothing = true;   // block smoothing
    unsigned scaleDenom = 1;
};

struct Decoded {
    bool ok = false;
    int errorCode = 0;   // libjpeg's message code when not ok
    long warnings = 0;
    int width = 0, height = 0;
    int components = 0;  // 1 grey, 3 RGB (CMYK and YCCK files are turned into RGB)
    bool adobe = false;
    Bytes pixels;        // rows top-down: grey bytes or red, green, blue
};

// Decodes with libjpeg's memory source. CMYK and YCCK files come out of libjpeg as CMYK
// and are turned into RGB here: with Adobe's marker the values are inverted (255 = no
// ink), red = C' * K' / 255 rounded; without it red = (255 - C) * (255 - K) / 255.
Decoded Decode(const Bytes& file, const Options& options = {});

struct Encoding {
    int quality = 90;
    bool progressive = false;
    int restartRows = 0;
    // Sampling of the first component (the others are 1x1).
    int hSample = 2, vSample = 2;
    bool arithmetic = false;
    // For 4-component input: write as YCCK instead of CMYK.
    bool ycck = false;
    bool adobeMarker = true;
    // Every scan of the file repeated this many extra times (progressive files only).
    int repeatLastScan = 0;
};

// Encodes width x height pixels of components bytes each: 1 grey, 3 RGB, 4 CMYK.
Bytes Encode(int width, int height, int components, const Bytes& pixels, const Encoding& encoding = {});

struct Segment {
    uint8_t marker = 0;
    Bytes payload;  // without the length field
};
// The marker segments before the first scan's data (SOI excluded).
std::vector<Segment> HeaderSegments(const Bytes& file);

// The ICC profile of a file as libjpeg reassembles it (jpeg_read_icc_profile) from its APP2
// segments; empty when there is none or libjpeg finds the segments inconsistent.
Bytes IccProfile(const Bytes& file);

// The standard's example quantisation tables (luminance, chrominance) in natural order,
// scaled as libjpeg scales them for a quality with baseline forced.
std::vector<int> ScaledTable(bool chrominance, int quality);

// The 64 values of a DQT entry (8-bit precision, zigzag order as in the file) in natural order.
std::vector<int> NaturalOrderTable(const uint8_t* zigzag);

// PSNR in dB of two byte arrays of equal length.
double Psnr(const Bytes& a, const Bytes& b);

}  // namespace jpeg_oracle
