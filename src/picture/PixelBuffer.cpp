#include "picture/PixelBuffer.h"

#include <sys/mman.h>

#include <cstdlib>

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

PixelBuffer BorrowPixels(uint8_t* pixels, std::unique_ptr<PixelLease> lease) {
    return PixelBuffer(pixels, PixelDeleter(std::move(lease)));
}

}  // namespace host

namespace {

void adviseHugePages(void* data, int64_t size, int advice) {
    constexpr uintptr_t Huge = uintptr_t{1} << 21;
    if (!data || size < static_cast<int64_t>(4 * Huge)) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t begin = (start + Huge - 1) & ~(Huge - 1);
    const uintptr_t end = (start + static_cast<uintptr_t>(size)) & ~(Huge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, advice);
}

}  // namespace

void PreferHugePages(void* data, int64_t size) { adviseHugePages(data, size, MADV_HUGEPAGE); }

void AvoidHugePages(void* data, int64_t size) { adviseHugePages(data, size, MADV_NOHUGEPAGE); }
