#pragma once

#include <cstdint>
#include <memory>

// Small memory helpers used by the codecs.

// Releases a heap block held in a variable and leaves the variable empty.
template <class T>
void ReleaseAndClear(std::unique_ptr<T>& block) {
    block.reset();
}

// Index of the first Value in Buffer[0, Count), or -1.
int64_t ScanByte(const void* Buffer, int64_t Count, uint8_t Value);
// Index of the first two-byte sequence Value (low byte first) lying wholly inside
// Buffer[0, Count), or -1.
int64_t ScanWord(const void* Buffer, int64_t Count, uint16_t Value);
// Sets Count bytes to 0.
void ZeroMem(void* Buffer, int64_t Count);
