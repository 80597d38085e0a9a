#include "picture/BitmapTypes.h"

#include "platform/CheckedSize.h"

namespace host {

int BitsOfPixelFormat(TPixelFormat format) {
    switch (format) {
        case pf1bit: return 1;
        case pf4bit: return 4;
        case pf8bit: return 8;
        case pf15bit:
        case pf16bit: return 16;
        case pf32bit:
        case pfCustom: return 32;
        default: return 24;
    }
}

int64_t PackedRowBytes(int32_t width, int bits) { return (checkedSize({width, bits}) + 7) / 8; }

}  // namespace host
