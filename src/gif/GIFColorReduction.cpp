#include "gif/GIFColorReduction.h"

std::unique_ptr<host::TBitmap> ReduceToPalette(host::TBitmap& Bitmap, uint8_t ReductionMethod, uint8_t DitherMethod,
                                               host::HPALETTE Palette, int32_t ReductionDepth) {
    auto result = std::make_unique<host::TBitmap>();
    if (ReductionMethod == rmNone) {
        result->Assign(Bitmap);
        result->SetPixelFormat(host::pf24bit);
    }
    return result;
}
