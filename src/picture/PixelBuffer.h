#pragma once

#include <cstdint>
#include <memory>

// Pixel rows of both bitmap kinds (the image model's and the platform's) live in one kind
// of block, so that a whole image can change hands between them without a copy.
namespace host {

struct FreeDeleter {
    void operator()(uint8_t* p) const noexcept;
};
using PixelBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;

// Row code may read a whole 32-bit word at the very end of an image.
inline constexpr int64_t PixelBufferSpare = 4;

// size bytes plus PixelBufferSpare, all zero, in huge pages where the system allows.
// Raises ELinearBitmap "Invalid bitmap size" for a size no buffer may have and
// EOutOfMemory "Out of memory" when the system refuses.
PixelBuffer AllocatePixels(int64_t size);

}  // namespace host

// Asks the system to back a large block with two-megabyte pages where it allows that
// (transparent huge pages in "madvise" mode). Big images are otherwise faulted in four
// kilobytes at a time, which costs more than copying their pixels. Blocks below a few
// megabytes are left alone.
void PreferHugePages(void* data, int64_t size);
