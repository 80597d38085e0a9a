#include "platform/CheckedSize.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr int64_t DefaultMaxImageBytes = int64_t{1} << 30;

std::atomic<int64_t> overridden{0};

// PIXMORPH_MAX_IMAGE_BYTES: a positive number of bytes with an optional K, M or G;
// anything else leaves the default.
int64_t fromEnvironment() {
    const char* text = std::getenv("PIXMORPH_MAX_IMAGE_BYTES");
    if (!text || !*text) return DefaultMaxImageBytes;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || value <= 0) return DefaultMaxImageBytes;
    int shift = 0;
    switch (*end) {
        case '\0': break;
        case 'k': case 'K': shift = 10; ++end; break;
        case 'm': case 'M': shift = 20; ++end; break;
        case 'g': case 'G': shift = 30; ++end; break;
        default: return DefaultMaxImageBytes;
    }
    if (*end != '\0') return DefaultMaxImageBytes;
    if (value > (MaxBufferSize >> shift)) return MaxBufferSize;
    return static_cast<int64_t>(value) << shift;
}

}  // namespace

int64_t MaxImageBytes() {
    static const int64_t configured = fromEnvironment();
    const int64_t set = overridden.load(std::memory_order_relaxed);
    return set > 0 ? set : configured;
}

void SetMaxImageBytes(int64_t bytes) {
    overridden.store(bytes > 0 ? std::min(bytes, MaxBufferSize) : 0, std::memory_order_relaxed);
}
