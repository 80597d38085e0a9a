#include "platform/HugePages.h"

#include <sys/mman.h>

void PreferHugePages(void* data, int64_t size) {
    constexpr uintptr_t Huge = uintptr_t{1} << 21;
    if (!data || size < static_cast<int64_t>(4 * Huge)) return;
    const uintptr_t start = reinterpret_cast<uintptr_t>(data);
    const uintptr_t begin = (start + Huge - 1) & ~(Huge - 1);
    const uintptr_t end = (start + static_cast<uintptr_t>(size)) & ~(Huge - 1);
    if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}
