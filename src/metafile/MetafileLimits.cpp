#include "metafile/MetafileLimits.h"

#include "platform/CheckedSize.h"

namespace host {

namespace {

constexpr int64_t DrawnBytesPerPixel = 3;

}  // namespace

void CheckPictureSize(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0 || width > MaxPictureSide || height > MaxPictureSide)
        throw ELinearBitmap("Invalid bitmap size");
    checkedSize({width, height, DrawnBytesPerPixel});
}

}  // namespace host
