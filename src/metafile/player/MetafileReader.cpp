#include "metafile/player/MetafileReader.h"

#include <cmath>
#include <cstring>

namespace host {

float MetafileReader::f32(size_t offset) const {
    const uint32_t bits = u32(offset);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return std::isfinite(value) ? value : 0.0f;
}

MetafileReader MetafileReader::sub(size_t offset, size_t length) const {
    if (!has(offset, length)) return {};
    return {data_ + offset, length};
}

bool MetafileReader::readPoints(size_t offset, uint32_t count, std::vector<double>& points, size_t coordinateBytes) const {
    if (!hasArray(offset, count, 2 * coordinateBytes)) return false;
    points.resize(size_t{count} * 2);
    for (size_t i = 0; i < points.size(); ++i) {
        const size_t at = offset + coordinateBytes * i;
        points[i] = coordinateBytes == 4 ? i32(at) : i16(at);
    }
    return true;
}

bool MetafileReader::points32(size_t offset, uint32_t count, std::vector<double>& points) const {
    return readPoints(offset, count, points, 4);
}

bool MetafileReader::points16(size_t offset, uint32_t count, std::vector<double>& points) const {
    return readPoints(offset, count, points, 2);
}

}  // namespace host
