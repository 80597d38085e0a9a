#pragma once

#include <cstdint>

// Asks the system to back a large block with two-megabyte pages where it allows that
// (transparent huge pages in "madvise" mode). Big images are otherwise faulted in four
// kilobytes at a time, which costs more than copying their pixels. Blocks below a few
// megabytes are left alone.
void PreferHugePages(void* data, int64_t size);
