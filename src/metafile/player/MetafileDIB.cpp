#include "metafile/player/MetafileDIB.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "metafile/MetafileLimits.h"
#include "platform/DamageReport.h"
#include "platform/Exceptions.h"

namespace host {

namespace {

constexpr uint32_t BI_RGB_COMPRESSION = 0;
constexpr uint32_t BI_BITFIELDS_COMPRESSION = 3;
constexpr uint32_t CoreHeaderSize = 12;
constexpr uint32_t InfoHeaderSize = 40;
// From this size on (version 2 and later headers) the colour masks are part of the header.
constexpr uint32_t MaskedHeaderSize = 52;

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

uint32_t bgr(const uint8_t* s) { return uint32_t{s[2]} << 16 | uint32_t{s[1]} << 8 | s[0]; }

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

DIBSource::DIBSource(const DIBHeader& header, const MetafileReader& bits, const uint32_t table[256], int32_t present)
    : header_(header), bits_(bits), rows_(header.height < 0 ? -header.height : header.height), present_(present),
      stride_((size_t{static_cast<uint32_t>(header.width)} * header.bitCount + 31) / 32 * 4) {
    std::copy(table, table + 256, table_);
}

const uint8_t* DIBSource::row(int32_t y) const {
    const int32_t stored = header_.height < 0 ? y : rows_ - 1 - y;
    return stored < present_ ? bits_.data() + stored * stride_ : nullptr;
}

void DIBSource::sampleRow(int32_t y, const int32_t* columns, size_t count, uint32_t* out) const {
    const uint8_t* s = row(y);
    if (!s) {
        std::fill(out, out + count, 0u);
        return;
    }
    const uint32_t* masks = header_.masks;
    switch (header_.bitCount) {
        case 1:
            for (size_t i = 0; i < count; ++i) out[i] = table_[s[columns[i] >> 3] >> (7 - (columns[i] & 7)) & 1];
            break;
        case 4:
            for (size_t i = 0; i < count; ++i)
                out[i] = table_[(columns[i] & 1) ? s[columns[i] >> 1] & 15 : s[columns[i] >> 1] >> 4];
            break;
        case 8:
            for (size_t i = 0; i < count; ++i) out[i] = table_[s[columns[i]]];
            break;
        case 16:
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* p = s + 2 * size_t(columns[i]);
                out[i] = maskedRGB(p[0] | p[1] << 8, masks);
            }
            break;
        case 24:
            for (size_t i = 0; i < count; ++i) out[i] = bgr(s + 3 * size_t(columns[i]));
            break;
        case 32:
            for (size_t i = 0; i < count; ++i) {
                const uint8_t* p = s + 4 * size_t(columns[i]);
                out[i] = header_.compression == BI_RGB_COMPRESSION
                             ? bgr(p)
                             : maskedRGB(p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24, masks);
            }
            break;
    }
}

Surface DIBSource::surface(int64_t maxPixels, int32_t& stepX, int32_t& stepY) const {
    stepX = stepY = 1;
    while (int64_t{(width() + stepX - 1) / stepX} * ((height() + stepY - 1) / stepY) > maxPixels) {
        if (stepX <= stepY) ++stepX;
        else ++stepY;
    }
    const int32_t w = (width() + stepX - 1) / stepX, h = (height() + stepY - 1) / stepY;
    Surface surface = MakeSurface(CAIRO_FORMAT_RGB24, w, h);
    if (!surface) return nullptr;
    std::vector<int32_t> columns(static_cast<size_t>(w));
    for (int32_t x = 0; x < w; ++x) columns[static_cast<size_t>(x)] = x * stepX;
    const CairoLibrary& cairo = Cairo();
    cairo.surface_flush(surface.get());
    uint8_t* data = cairo.image_surface_get_data(surface.get());
    const int dataStride = cairo.image_surface_get_stride(surface.get());
    for (int32_t y = 0; y < h; ++y)
        sampleRow(y * stepY, columns.data(), columns.size(),
                  reinterpret_cast<uint32_t*>(data + static_cast<size_t>(y) * dataStride));
    cairo.surface_mark_dirty(surface.get());
    return surface;
}

DIBSource ReadDIB(const MetafileReader& header, const MetafileReader& bits, uint32_t usage,
                  const std::vector<uint32_t>& palette) {
    DIBHeader dib;
    if (!readSizes(header, dib) || !readMasks(header, dib)) return {};
    const int32_t rows = dib.height < 0 ? -dib.height : dib.height;
    const uint64_t stride = (uint64_t{static_cast<uint32_t>(dib.width)} * dib.bitCount + 31) / 32 * 4;
    // Rows the record does not hold are black, and the damage is told; a bitmap without
    // a single row is not drawn.
    const int32_t present = static_cast<int32_t>(std::min<uint64_t>(rows, bits.size() / stride));
    if (present < rows)
        ReportDamage(Format("Metafile: Premature end of bitmap data (%d of %d rows missing)", rows - present, rows));
    if (present == 0) return {};
    uint32_t table[256] = {};
    readColorTable(header, dib, usage, palette, table);
    return DIBSource(dib, bits, table, present);
}

bool SplitPackedDIB(const MetafileReader& packed, uint32_t usage, MetafileReader& header, MetafileReader& bits) {
    const size_t headerBytes = packedHeaderSize(packed, usage);
    if (headerBytes > packed.size()) return false;
    header = packed.sub(0, headerBytes);
    bits = packed.sub(headerBytes, packed.size() - headerBytes);
    return true;
}

}  // namespace host
