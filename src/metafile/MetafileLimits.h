#pragma once

#include <cstdint>

// What a metafile may ask of the machine: the one guard on the size its picture is drawn
// at (for every path that draws one, and for the writer, which must record nothing the
// reader would refuse), and the message that refuses data beyond what it can read.
namespace host {

// The platform's message for data that is no metafile it can read, or that asks more of
// the player than any real picture does.
inline constexpr const char* SInvalidMetafile = "Metafile is not valid";

// The renderer's surfaces, and so a picture and a bitmap inside one, have at most this
// many pixels a side.
inline constexpr int32_t MaxPictureSide = 32767;

// ELinearBitmap "Invalid bitmap size" unless width × height pixels can be drawn: both
// sides from 1 to MaxPictureSide, and the picture at 24 bits within the image limit.
void CheckPictureSize(int32_t width, int32_t height);

}  // namespace host
