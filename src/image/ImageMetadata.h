#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What a picture carries beside its pixels, and what reading it had to leave behind. A
// decoder fills it; the front end carries it across the hand-over to the encoder, which
// writes what its format can hold, and names the rest.

// The most profile bytes a picture carries: as many as a JPEG's APP2 segments can hold
// (255 segments of 65519 bytes). A larger profile is not carried (and is named as lost).
inline constexpr size_t MaxProfileBytes = size_t{255} * 65519;

struct TImageMetadata {
    // The embedded ICC colour profile, byte for byte; empty for none.
    std::vector<uint8_t> IccProfile;
    // The EXIF orientation, 1 to 8; 0 for none.
    int Orientation = 0;
    // Set by the decoder for what the image model could not take from the file.
    bool AlphaDropped = false;    // an alpha channel or transparency reduced or dropped
    // One colour stands for transparency, which the codec that read it keeps when it
    // writes the image again, and no other codec does.
    bool TransparentColour = false;
    bool DepthReduced = false;    // samples of more than 8 bits
    bool FramesDropped = false;   // images after the first
    bool ProfileDropped = false;  // a profile that could not be read (damaged or too large)

    void Clear() { *this = TImageMetadata(); }
};

// The EXIF orientation in a TIFF structure (from its byte-order mark: "II" or "MM"):
// tag 0x0112 of IFD0, a SHORT of 1 to 8. 0 when it is absent or the structure is damaged;
// nothing outside the size bytes is read.
int ExifOrientation(const uint8_t* tiff, size_t size);

// The smallest TIFF structure holding orientation (1 to 8): big-endian, IFD0 with the one
// tag and no next IFD. The payload of a PNG eXIf chunk, and of a JPEG APP1 segment behind
// ExifSignature.
std::vector<uint8_t> MinimalExif(int orientation);

// The 6 bytes that start an EXIF APP1 segment.
inline constexpr char ExifSignature[6] = {'E', 'x', 'i', 'f', 0, 0};

// The names of what a conversion could not keep, in the order they are reported.
inline constexpr const char* LostAlpha = "alpha";
inline constexpr const char* LostFrames = "frames";
inline constexpr const char* LostDepth = "depth";
inline constexpr const char* LostProfile = "profile";
inline constexpr const char* LostOrientation = "orientation";
inline constexpr const char* LostColours = "colours";

// What an output of the codec family for ext (upper case, as the registry takes it) can
// hold of the metadata.
bool CarriesProfile(const std::string& ext);
bool CarriesOrientation(const std::string& ext);
