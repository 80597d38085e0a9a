#include "streams/TextStrm.h"

#include <cstring>

#include "platform/Exceptions.h"

namespace {

constexpr int32_t LF = 10;
constexpr int32_t CR = 13;

// Offset of the first `character` among count bytes, or -1 (also for character -1).
int32_t find(const uint8_t* data, int32_t count, int32_t character) {
    if (character < 0 || count <= 0) return -1;
    const void* hit = std::memchr(data, character, static_cast<size_t>(count));
    return hit ? static_cast<int32_t>(static_cast<const uint8_t*>(hit) - data) : -1;
}

}  // namespace

TTextStream::Scan TTextStream::DetectTerminator(const uint8_t* data, int32_t count) {
    const int32_t lf = find(data, count, LF);
    const int32_t cr = find(data, lf >= 0 ? lf : count, CR);
    if (lf >= 0 && cr < 0) {
        LineTerminator = LF;
        if (IgnoredChar == -1) IgnoredChar = CR;
        return {lf, 1, true};
    }
    if (cr >= 0) {
        LineTerminator = CR;
        if (IgnoredChar == -1) IgnoredChar = LF;
        return {cr, 1, true};
    }
    return {count, 0, false};
}

TTextStream::Scan TTextStream::ScanKnown(const uint8_t* data, int32_t count) const {
    const int32_t ignored = find(data, count, IgnoredChar);
    const int32_t terminator = find(data, ignored >= 0 ? ignored + 1 : count, LineTerminator);
    if (terminator >= 0) return {terminator, 1, true};
    if (ignored >= 0) return {ignored, 1, false};
    return {count, 0, false};
}

int32_t TTextStream::ReadLine(std::string& Line) {
    if (!CanRead || ReadBufferSize == 0) throw EInOutError("Cannot read from stream");
    Line.clear();
    for (;;) {
        if (BufferedCount() <= 0 && RefillReadBuffer() == 0) {
            if (!Line.empty()) break;
            throw EInOutError(Format("Error reading from stream - %s", "Read less than expected"));
        }
        const uint8_t* data = BufferedData();
        const Scan scan = LineTerminator == -1 ? DetectTerminator(data, BufferedCount())
                                               : ScanKnown(data, BufferedCount());
        if (MaxLineLength >= 0 && static_cast<int64_t>(Line.size()) + scan.take > MaxLineLength)
            throw EInOutError(Format("Error reading from stream - %s", "Line too long"));
        Line.append(reinterpret_cast<const char*>(data), static_cast<size_t>(scan.take));
        ReadPos += scan.take + scan.skip;
        if (scan.ended) break;
    }
    ++LineCount;
    return static_cast<int32_t>(Line.size());
}
