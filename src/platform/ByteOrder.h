#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

// Little-endian fields as Windows-era files store them. The one place that assembles
// them: every reader of headers and records takes its integers from here.
namespace host {

// Big-endian fields (PNG and MNG chunks, JPEG segments, Motorola-order TIFF).
inline uint16_t ReadBE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
inline uint32_t ReadBE32(const uint8_t* p) { return uint32_t{ReadBE16(p)} << 16 | ReadBE16(p + 2); }

inline uint16_t ReadLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
inline uint32_t ReadLE32(const uint8_t* p) { return uint32_t{ReadLE16(p)} | uint32_t{ReadLE16(p + 2)} << 16; }
inline int16_t ReadLE16Signed(const uint8_t* p) { return static_cast<int16_t>(ReadLE16(p)); }
inline int32_t ReadLE32Signed(const uint8_t* p) { return static_cast<int32_t>(ReadLE32(p)); }

inline void WriteLE16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}
inline void WriteLE32(uint8_t* p, uint32_t value) {
    WriteLE16(p, static_cast<uint16_t>(value));
    WriteLE16(p + 2, static_cast<uint16_t>(value >> 16));
}

// Eight bytes at once, for code that scans or moves bytes a word at a time: the first byte
// is the lowest of the word, so std::countr_zero of a word of flags finds the first byte.
inline uint64_t ReadLE64(const uint8_t* p) {
    uint64_t value;
    std::memcpy(&value, p, sizeof value);
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    return value;
}
inline void WriteLE64(uint8_t* p, uint64_t value) {
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    std::memcpy(p, &value, sizeof value);
}

}  // namespace host
