#include "image/MemUtils.h"

#include <cstring>

int64_t ScanByte(const void* Buffer, int64_t Count, uint8_t Value) {
    if (Count <= 0) return -1;
    const auto* p = static_cast<const uint8_t*>(Buffer);
    const void* hit = std::memchr(p, Value, static_cast<size_t>(Count));
    return hit ? static_cast<const uint8_t*>(hit) - p : -1;
}

int64_t ScanWord(const void* Buffer, int64_t Count, uint16_t Value) {
    const auto* p = static_cast<const uint8_t*>(Buffer);
    const uint8_t low = static_cast<uint8_t>(Value), high = static_cast<uint8_t>(Value >> 8);
    for (int64_t i = 0; i + 1 < Count;) {
        const int64_t at = ScanByte(p + i, Count - 1 - i, low);
        if (at < 0) return -1;
        i += at;
        if (p[i + 1] == high) return i;
        ++i;
    }
    return -1;
}

void ZeroMem(void* Buffer, int64_t Count) {
    if (Count > 0) std::memset(Buffer, 0, static_cast<size_t>(Count));
}
