#include "picture/BitmapTypes.h"

#include "platform/CheckedSize.h"

namespace host {

int64_t PackedRowBytes(int32_t width, int bits) { return (checkedSize({width, bits}) + 7) / 8; }

}  // namespace host
