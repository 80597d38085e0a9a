#pragma once

// Hand-made Windows bitmap files for the BMP codec's tests: every byte is written
// here field by field, so the expected pixels follow from the layout alone.
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace bmp_bytes {

using Bytes = std::vector<uint8_t>;

inline void u16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void u32(Bytes& b, uint32_t v) {
    u16(b, v & 0xFFFF);
    u16(b, v >> 16);
}
inline void append(Bytes& b, std::initializer_list<uint8_t> bytes) { b.insert(b.end(), bytes); }
inline void append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }

struct Info {
    uint32_t headerSize = 40;
    int32_t width = 1;
    int32_t height = 1;
    uint32_t planes = 1;
    uint32_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t colorsUsed = 0;
    // Written inside V4/V5 headers (offset 40 of the header) or, for a 40-byte header
    // with compression 3, right behind it.
    std::vector<uint32_t> masks;
};

// File header + info header (+ masks) + colour table + pixels. dataOffset 0 means
// "right behind the table"; tableEntrySize 3 or 4.
inline Bytes file(const Info& info, const std::vector<uint32_t>& table, const Bytes& pixels,
                  int tableEntrySize = 4, uint32_t dataOffset = 0) {
    Bytes h;
    if (info.headerSize == 12) {
        u32(h, 12);
        u16(h, static_cast<uint32_t>(info.width));
        u16(h, static_cast<uint32_t>(info.height));
        u16(h, info.planes);
        u16(h, info.bitCount);
    } else {
        u32(h, info.headerSize);
        u32(h, static_cast<uint32_t>(info.width));
        u32(h, static_cast<uint32_t>(info.height));
        u16(h, info.planes);
        u16(h, info.bitCount);
        u32(h, info.compression);
        u32(h, 0);  // image size
        u32(h, 2835);
        u32(h, 2835);
        u32(h, info.colorsUsed);
        u32(h, 0);  // important colours
        if (info.headerSize > 40) {
            for (uint32_t m : info.masks) u32(h, m);
        }
        h.resize(info.headerSize, 0);
        if (info.headerSize == 40)
            for (uint32_t m : info.masks) u32(h, m);
    }
    Bytes t;
    for (uint32_t rgb : table) {  // 0xRRGGBB
        t.push_back(static_cast<uint8_t>(rgb));
        t.push_back(static_cast<uint8_t>(rgb >> 8));
        t.push_back(static_cast<uint8_t>(rgb >> 16));
        if (tableEntrySize == 4) t.push_back(0);
    }
    const uint32_t offset = dataOffset ? dataOffset : static_cast<uint32_t>(14 + h.size() + t.size());
    Bytes f;
    append(f, {'B', 'M'});
    u32(f, 0);  // file size: ignored by readers
    u32(f, 0);
    u32(f, offset);
    append(f, h);
    append(f, t);
    if (f.size() < offset) f.resize(offset, 0xEE);
    append(f, pixels);
    return f;
}

// The 10-byte header of a bitmap without file header, followed by the rows.
inline Bytes headerless(uint32_t width, uint32_t height, uint32_t widthBytes, uint32_t bitCount, const Bytes& rows,
                        uint32_t planes = 1) {
    Bytes f;
    u16(f, 0);
    u16(f, width);
    u16(f, height);
    u16(f, widthBytes);
    f.push_back(static_cast<uint8_t>(planes));
    f.push_back(static_cast<uint8_t>(bitCount));
    append(f, rows);
    return f;
}

}  // namespace bmp_bytes
