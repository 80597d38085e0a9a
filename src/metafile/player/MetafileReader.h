#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ByteOrder.h"

// A bounded view of one record (or of the whole data). Every read is checked: outside
// the view a read gives 0 and has() says no, so nothing past the data is ever touched.
namespace host {

class MetafileReader {
public:
    MetafileReader() = default;
    MetafileReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }

    bool has(size_t offset, size_t length) const { return offset <= size_ && length <= size_ - offset; }
    // count elements of elementSize bytes at offset, without overflow.
    bool hasArray(size_t offset, uint64_t count, size_t elementSize) const {
        return offset <= size_ && count <= (size_ - offset) / elementSize;
    }

    uint8_t u8(size_t offset) const { return offset < size_ ? data_[offset] : 0; }
    uint16_t u16(size_t offset) const { return has(offset, 2) ? ReadLE16(data_ + offset) : 0; }
    int16_t i16(size_t offset) const { return static_cast<int16_t>(u16(offset)); }
    uint32_t u32(size_t offset) const { return has(offset, 4) ? ReadLE32(data_ + offset) : 0; }
    int32_t i32(size_t offset) const { return static_cast<int32_t>(u32(offset)); }
    // A float field; anything not finite reads as 0.
    float f32(size_t offset) const;

    // length bytes at offset as a view of their own; empty when they do not fit.
    MetafileReader sub(size_t offset, size_t length) const;

    // count (x, y) pairs of 32-bit or of 16-bit signed integers at offset into points;
    // false, with points untouched, when they do not fit.
    bool points32(size_t offset, uint32_t count, std::vector<double>& points) const;
    bool points16(size_t offset, uint32_t count, std::vector<double>& points) const;

private:
    bool readPoints(size_t offset, uint32_t count, std::vector<double>& points, size_t coordinateBytes) const;

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

}  // namespace host
