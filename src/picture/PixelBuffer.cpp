#include "picture/PixelBuffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/CheckedSize.h"

namespace host {

void PixelDeleter::operator()(uint8_t* p) noexcept {
    if (lease_)
        lease_.reset();
    else
        std::free(p);
}

int64_t PixelBufferBytes(int64_t size) {
    return checkedAdd(checkedSize({size}, MaxImageBytes() - PixelBufferSpare), PixelBufferSpare);
}

PixelBuffer AllocatePixels(int64_t size) {
    const int64_t total = PixelBufferBytes(size);
    // calloc: fresh pages come zeroed from the system without being touched.
    auto* p = static_cast<uint8_t*>(std::calloc(static_cast<size_t>(total), 1));
    if (!p) throw EOutOfMemory("Out of memory");
    PreferHugePages(p, total);
    return PixelBuffer(p);
}

PixelBuffer GrowPixels(PixelBuffer pixels, int64_t kept, int64_t size) {
    const int64_t total = PixelBufferBytes(size);
    if (!pixels || pixels.get_deleter().Lent()) {
        PixelBuffer grown = AllocatePixels(size);
        if (pixels && kept > 0) std::memcpy(grown.get(), pixels.get(), static_cast<size_t>(std::min(kept, size)));
        return grown;
    }
    // realloc remaps the pages of a large block rather than copying them.
    auto* p = static_cast<uint8_t*>(std::realloc(pixels.get(), static_cast<size_t>(total)));
    if (!p) throw EOutOfMemory("Out of memory");
    (void)pixels.release();
    PreferHugePages(p, total);
    return PixelBuffer(p);
}

PixelBuffer BorrowPixels(uint8_t* pixels, std::unique_ptr<PixelLease> lease) {
    return PixelBuffer(pixels, PixelDeleter(std::move(lease)));
}

}  // namespace host

namespace {

// The advice covers every page of the block, not only its whole huge pages: a large
// block is a mapping of its own, and advice over part of it would split it in pieces that
// the system can no longer grow by remapping (GrowPixels).
void adviseHugePages(void* data, int64_t size, int advice) {
    constexpr uintptr_t Huge = uintptr_t{1} << 21;
    if (!data || size < static_cast<int64_t>(4 * Huge)) return;
    const auto page = static_cast<uintptr_t>(::sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t begin = start & ~(page - 1);
    const uintptr_t end = (start + static_cast<uintptr_t>(size) + page - 1) & ~(page - 1);
    ::madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}

}  // namespace

void PreferHugePages(void* data, int64_t size) { adviseHugePages(data, size, MADV_HUGEPAGE); }

void AvoidHugePages(void* data, int64_t size) { adviseHugePages(data, size, MADV_NOHUGEPAGE); }
