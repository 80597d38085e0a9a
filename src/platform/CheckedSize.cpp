#include "platform/CheckedSize.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <iterator>
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

struct NamedLimitInfo {
    const char* Variable;
    const char* Unit;  // what one of the limit counts, in the message
};
constexpr NamedLimitInfo NamedLimits[] = {
    {"PIXMORPH_MAX_PIXELS", "pixels per image"},
    {"PIXMORPH_MAX_SIDE", "pixels per side"},
    {"PIXMORPH_MAX_FRAMES", "frames per file"},
    {"PIXMORPH_MAX_SECONDS", "CPU seconds per conversion"},
};
constexpr size_t NamedLimitCount = std::size(NamedLimits);

// A positive whole number, or 0 (no limit) for anything else.
int64_t limitFromEnvironment(const char* variable) {
    const char* text = std::getenv(variable);
    if (!text || !*text) return 0;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || value <= 0) return 0;
    return static_cast<int64_t>(value);
}

std::atomic<int64_t> limitOverrides[NamedLimitCount] = {-1, -1, -1, -1};

const NamedLimitInfo& infoOf(TNamedLimit limit) { return NamedLimits[static_cast<size_t>(limit)]; }

[[noreturn]] void raiseOver(TNamedLimit limit, const std::string& value) {
    const NamedLimitInfo& info = infoOf(limit);
    throw ELimitExceeded(value + " is over the limit of " + std::to_string(NamedLimit(limit)) + " " + info.Unit +
                         " that " + info.Variable + " sets; a larger " + info.Variable + " converts it");
}

}  // namespace

int64_t NamedLimit(TNamedLimit limit) {
    static const auto configured = [] {
        std::array<int64_t, NamedLimitCount> values{};
        for (size_t i = 0; i < NamedLimitCount; ++i) values[i] = limitFromEnvironment(NamedLimits[i].Variable);
        return values;
    }();
    const size_t index = static_cast<size_t>(limit);
    const int64_t set = limitOverrides[index].load(std::memory_order_relaxed);
    return set >= 0 ? set : configured[index];
}

void SetNamedLimit(TNamedLimit limit, int64_t value) {
    limitOverrides[static_cast<size_t>(limit)].store(value < 0 ? -1 : value, std::memory_order_relaxed);
}

void CheckImageLimits(int64_t width, int64_t height) {
    // Called for every image made: the message is only put together for one that is over.
    const auto size = [&] { return std::to_string(width) + " x " + std::to_string(height); };
    const int64_t side = NamedLimit(TNamedLimit::Side);
    if (side > 0 && std::max(width, height) > side)
        raiseOver(TNamedLimit::Side, "An image side of " + std::to_string(std::max(width, height)) + " pixels (" + size() + ")");
    const int64_t pixels = NamedLimit(TNamedLimit::Pixels);
    if (pixels > 0 && width > 0 && height > 0 && width > pixels / height)
        raiseOver(TNamedLimit::Pixels, "An image of " + size() + " = " + std::to_string(width * height) + " pixels");
}

void CheckFrameLimit(int64_t frame) {
    const int64_t frames = NamedLimit(TNamedLimit::Frames);
    if (frames > 0 && frame > frames) raiseOver(TNamedLimit::Frames, "A file of more than " + std::to_string(frames) + " frames");
}

std::string CpuLimitMessage(int64_t seconds) {
    const NamedLimitInfo& info = infoOf(TNamedLimit::Seconds);
    return "A conversion of more than " + std::to_string(seconds) + " CPU seconds is over the limit of " +
           std::to_string(seconds) + " " + info.Unit + " that " + info.Variable + " sets; a larger " + info.Variable +
           " converts it";
}

int64_t MaxImageBytes() {
    static const int64_t configured = fromEnvironment();
    const int64_t set = overridden.load(std::memory_order_relaxed);
    return set > 0 ? set : configured;
}

void SetMaxImageBytes(int64_t bytes) {
    overridden.store(bytes > 0 ? std::min(bytes, MaxBufferSize) : 0, std::memory_order_relaxed);
}
