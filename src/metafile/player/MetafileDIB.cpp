#include "metafile/player/MetafileDIB.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "metafile/MetafileLimits.h"

namespace host {

namespace {

constexpr uint32_t BI_RGB_COMPRESSION = 0;
constexpr uint32_t BI_BITFIELDS_COMPRESSION = 3;
constexpr uint32_t CoreHeaderSize = 12;
constexpr uint32_t InfoHeaderSize = 40;
// From this size on (version 2 and later headers) the colour masks are part of the header.
constexpr uint32_t MaskedHeaderSize = 52;

// The fields of either header kind that decoding needs.
struct DIBHeader {
    uint32_t headerSize = 0;
    int32_t width = 0, height = 0;
    uint32_t bitCount = 0, compression = BI_RGB_COMPRESSION, colorsUsed = 0;
    size_t tableEntry = 4;  // bytes per colour-table entry
    uint32_t masks[3] = {0xFF0000, 0xFF00, 0xFF};
    size_t tableOffset = 0;
};

bool validBitCount(uint32_t bitCount) {
    return bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 || bitCount == 24 || bitCount == 32;
}

int maskShift(uint32_t mask) {
    int shift = 0;
    while (mask && !(mask & 1)) {
        mask >>= 1;
        ++shift;
    }
    return shift;
}

uint32_t maskChannel(uint32_t value, uint32_t mask) {
    if (!mask) return 0;
    const int shift = maskShift(mask);
    const uint32_t max = mask >> shift;
    return static_cast<uint32_t>((uint64_t{(value & mask) >> shift} * 255 + max / 2) / max);
}

uint32_t maskedRGB(uint32_t value, const uint32_t masks[3]) {
    return maskChannel(value, masks[0]) << 16 | maskChannel(value, masks[1]) << 8 | maskChannel(value, masks[2]);
}

bool readSizes(const MetafileReader& header, DIBHeader& dib) {
    dib.headerSize = header.u32(0);
    if (dib.headerSize == CoreHeaderSize) {
        if (!header.has(0, CoreHeaderSize)) return false;
        dib.width = header.u16(4);
        dib.height = header.i16(6);
        dib.bitCount = header.u16(10);
        dib.tableEntry = 3;
    } else if (dib.headerSize >= InfoHeaderSize && header.has(0, dib.headerSize)) {
        dib.width = header.i32(4);
        dib.height = header.i32(8);
        dib.bitCount = header.u16(14);
        dib.compression = header.u32(16);
        dib.colorsUsed = header.u32(32);
    } else {
        return false;
    }
    if (dib.width <= 0 || dib.height == 0 || dib.height == INT32_MIN || dib.width > MaxPictureSide) return false;
    return std::abs(dib.height) <= MaxPictureSide;
}

// The colour masks, and where the colour table starts.
bool readMasks(const MetafileReader& header, DIBHeader& dib) {
    dib.tableOffset = dib.headerSize;
    if (dib.compression == BI_BITFIELDS_COMPRESSION) {
        if (dib.bitCount != 16 && dib.bitCount != 32) return false;
        const size_t at = dib.headerSize >= MaskedHeaderSize ? InfoHeaderSize : dib.headerSize;
        if (!header.has(at, 12)) return false;
        for (int i = 0; i < 3; ++i) dib.masks[i] = header.u32(at + 4 * i);
        if (dib.headerSize < MaskedHeaderSize) dib.tableOffset += 12;
    } else if (dib.compression != BI_RGB_COMPRESSION) {
        return false;
    } else if (dib.bitCount == 16) {
        dib.masks[0] = 0x7C00, dib.masks[1] = 0x03E0, dib.masks[2] = 0x001F;
    }
    return validBitCount(dib.bitCount);
}

// A short table gives what it has; the rest stays black.
void readColorTable(const MetafileReader& header, const DIBHeader& dib, uint32_t usage,
                    const std::vector<uint32_t>& palette, uint32_t table[256]) {
    if (dib.bitCount > 8) return;
    uint32_t count = dib.colorsUsed && dib.colorsUsed < (1u << dib.bitCount) ? dib.colorsUsed : 1u << dib.bitCount;
    const size_t entry = usage == DIB_PAL_COLORS ? 2 : dib.tableEntry;
    const size_t available = header.size() > dib.tableOffset ? (header.size() - dib.tableOffset) / entry : 0;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, available));
    for (uint32_t i = 0; i < count; ++i) {
        const size_t at = dib.tableOffset + i * entry;
        if (usage == DIB_PAL_COLORS) {
            const uint16_t index = header.u16(at);
            table[i] = index < palette.size() ? palette[index] : 0;
        } else {
            table[i] = uint32_t{header.u8(at + 2)} << 16 | uint32_t{header.u8(at + 1)} << 8 | header.u8(at);
        }
    }
}

void decodeRow(const uint8_t* s, uint32_t* d, const DIBHeader& dib, const uint32_t table[256]) {
    const int32_t width = dib.width;
    switch (dib.bitCount) {
        case 1:
            for (int32_t x = 0; x < width; ++x) d[x] = table[s[x >> 3] >> (7 - (x & 7)) & 1];
            break;
        case 4:
            for (int32_t x = 0; x < width; ++x) d[x] = table[(x & 1) ? s[x >> 1] & 15 : s[x >> 1] >> 4];
            break;
        case 8:
            for (int32_t x = 0; x < width; ++x) d[x] = table[s[x]];
            break;
        case 16:
            for (int32_t x = 0; x < width; ++x) d[x] = maskedRGB(s[2 * x] | s[2 * x + 1] << 8, dib.masks);
            break;
        case 24:
            for (int32_t x = 0; x < width; ++x)
                d[x] = uint32_t{s[3 * x + 2]} << 16 | uint32_t{s[3 * x + 1]} << 8 | s[3 * x];
            break;
        case 32:
            if (dib.compression == BI_RGB_COMPRESSION) {
                for (int32_t x = 0; x < width; ++x)
                    d[x] = uint32_t{s[4 * x + 2]} << 16 | uint32_t{s[4 * x + 1]} << 8 | s[4 * x];
            } else {
                for (int32_t x = 0; x < width; ++x)
                    d[x] = maskedRGB(s[4 * x] | s[4 * x + 1] << 8 | s[4 * x + 2] << 16 | uint32_t{s[4 * x + 3]} << 24,
                                     dib.masks);
            }
            break;
    }
}

// Size in bytes of a packed bitmap's header and colour table (what precedes the rows).
size_t packedHeaderSize(const MetafileReader& dib, uint32_t usage) {
    const uint32_t headerSize = dib.u32(0);
    if (headerSize == CoreHeaderSize) {
        const uint32_t bitCount = dib.u16(10);
        return CoreHeaderSize + (bitCount <= 8 ? (size_t{1} << bitCount) * (usage == DIB_PAL_COLORS ? 2 : 3) : 0);
    }
    if (headerSize < InfoHeaderSize || headerSize > dib.size()) return SIZE_MAX;
    const uint32_t bitCount = dib.u16(14), compression = dib.u32(16), used = dib.u32(32);
    size_t size = headerSize;
    if (compression == BI_BITFIELDS_COMPRESSION && headerSize < MaskedHeaderSize) size += 12;
    if (bitCount <= 8) {
        const uint64_t count = used && used < (1u << bitCount) ? used : uint64_t{1} << bitCount;
        size += static_cast<size_t>(count) * (usage == DIB_PAL_COLORS ? 2 : 4);
    } else if (used && used <= 65536) {
        size += static_cast<size_t>(used) * 4;
    }
    return size;
}

}  // namespace

DecodedDIB DecodeDIB(const MetafileReader& header, const MetafileReader& bits, uint32_t usage,
                     const std::vector<uint32_t>& palette) {
    DecodedDIB out;
    DIBHeader dib;
    if (!readSizes(header, dib) || !readMasks(header, dib)) return out;
    const bool topDown = dib.height < 0;
    const int32_t rows = topDown ? -dib.height : dib.height;
    uint32_t table[256] = {};
    readColorTable(header, dib, usage, palette, table);
    const uint64_t stride = (uint64_t{static_cast<uint32_t>(dib.width)} * dib.bitCount + 31) / 32 * 4;
    if (!bits.hasArray(0, rows, stride)) return out;
    out.surface = MakeSurface(CAIRO_FORMAT_RGB24, dib.width, rows);
    if (!out.surface) return out;
    const CairoLibrary& cairo = Cairo();
    cairo.surface_flush(out.surface.get());
    uint8_t* data = cairo.image_surface_get_data(out.surface.get());
    const int dstStride = cairo.image_surface_get_stride(out.surface.get());
    for (int32_t y = 0; y < rows; ++y)
        decodeRow(bits.data() + (topDown ? y : rows - 1 - y) * stride,
                  reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * dstStride), dib, table);
    cairo.surface_mark_dirty(out.surface.get());
    out.width = dib.width;
    out.height = rows;
    return out;
}

bool SplitPackedDIB(const MetafileReader& packed, uint32_t usage, MetafileReader& header, MetafileReader& bits) {
    const size_t headerBytes = packedHeaderSize(packed, usage);
    if (headerBytes > packed.size()) return false;
    header = packed.sub(0, headerBytes);
    bits = packed.sub(headerBytes, packed.size() - headerBytes);
    return true;
}

}  // namespace host
