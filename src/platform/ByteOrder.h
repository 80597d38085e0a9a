#pragma once

#include <cstdint>

// Little-endian fields as Windows-era files store them. The one place that assembles
// them: every reader of headers and records takes its integers from here.
namespace host {

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

}  // namespace host
