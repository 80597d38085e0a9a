#pragma once

#include <cstddef>
#include <cstdint>

#include "streams/Streams.h"

// CRC-32 of ISO 3309 / ITU-T V.42 (reflected polynomial 0xEDB88320), as PNG and zlib use it.
// Runs a register (start 0xFFFFFFFF, no final complement) over the bytes.
uint32_t UpdateCRC32Register(uint32_t crcRegister, const void* buffer, size_t count);

// The standard 256-entry table (entry 1 is 0x77073096).
extern const uint32_t CRC32Table[256];

// A pass-through filter that runs every byte read or written through the CRC-32.
class TCRC32Stream : public TFilterStream {
public:
    PIXMORPH_CLASS_NAME(TCRC32Stream)
    explicit TCRC32Stream(TBaseStream* stream);

    uint32_t CRCRegister = 0xFFFFFFFFu;

    int64_t Write(const void* buffer, int64_t count) override;
    // Only the bytes actually delivered enter the register.
    int64_t Read(void* buffer, int64_t count) override;
    // Not forwarded: the CRC stream has nothing of its own to write out.
    void Flush() override {}

    void ResetCRC() { CRCRegister = 0xFFFFFFFFu; }
    // The CRC-32 of everything passed since the last reset.
    uint32_t GetCRC() const { return ~CRCRegister; }
    void UpdateCRC(const void* buffer, int64_t count);
};
