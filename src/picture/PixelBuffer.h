#pragma once

#include <cstdint>
#include <memory>

// Pixel rows of both bitmap kinds (the image model's and the platform's) live in one kind
// of block, so that a whole image can change hands between them without a copy.
namespace host {

// A block that someone else lent (a plug-in's rows): destroying the lease gives it back.
class PixelLease {
public:
    virtual ~PixelLease() = default;
};

// Frees a block with std::free, or, for a lent block, ends its lease. A moved buffer takes
// the lease along, so a block goes back exactly once, when its last holder lets it go.
class PixelDeleter {
public:
    PixelDeleter() = default;
    explicit PixelDeleter(std::unique_ptr<PixelLease> lease) : lease_(std::move(lease)) {}
    void operator()(uint8_t* p) noexcept;
    bool Lent() const { return lease_ != nullptr; }

private:
    std::unique_ptr<PixelLease> lease_;
};
using PixelBuffer = std::unique_ptr<uint8_t[], PixelDeleter>;

// Row code may read a whole 32-bit word at the very end of an image.
inline constexpr int64_t PixelBufferSpare = 4;

// The bytes a buffer for size bytes of pixels takes (PixelBufferSpare more). Raises
// ELinearBitmap "Invalid bitmap size" for a size no buffer may have.
int64_t PixelBufferBytes(int64_t size);

// size bytes plus PixelBufferSpare, all zero, in huge pages where the system allows.
// Raises ELinearBitmap "Invalid bitmap size" for a size no buffer may have and
// EOutOfMemory "Out of memory" when the system refuses.
PixelBuffer AllocatePixels(int64_t size);

// The block made to hold size bytes (PixelBufferSpare more), its first kept bytes as they
// were and the rest undefined. An own block grows where it lies where the system can
// remap its pages instead of copying them, so the old and the new block are not held side
// by side; a lent one is copied and given back. Raises as AllocatePixels.
PixelBuffer GrowPixels(PixelBuffer pixels, int64_t kept, int64_t size);

// Someone else's block as pixels; it must hold the image and PixelBufferSpare more bytes,
// all of which the holder may read and write. It goes back by ending the lease.
PixelBuffer BorrowPixels(uint8_t* pixels, std::unique_ptr<PixelLease> lease);

}  // namespace host

// Asks the system to back a large block with two-megabyte pages where it allows that
// (transparent huge pages in "madvise" mode). Big images are otherwise faulted in four
// kilobytes at a time, which costs more than copying their pixels. Blocks below a few
// megabytes are left alone.
void PreferHugePages(void* data, int64_t size);
// Takes that advice back for a block not yet touched that may be filled sparsely (the
// first pass of an interlaced image writes one row in eight): in huge pages, each row
// written would make two megabytes of the block real.
void AvoidHugePages(void* data, int64_t size);
