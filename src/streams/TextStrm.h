#pragma once

#include <cstdint>
#include <string>

#include "streams/BufStream.h"

// Reads text lines from any library stream. The first line read tells which character
// ends lines (LF, or CR when a CR comes before the first LF); the other line-break
// character is dropped wherever it occurs, so LF, CR LF and CR texts read alike.
class TTextStream : public TBufferedStream {
public:
    PIXMORPH_CLASS_NAME(TTextStream)
    using TBufferedStream::TBufferedStream;

    int32_t LineCount = 0;
    // Character codes; -1: detected on the next line read (LineTerminator), none (IgnoredChar).
    int32_t LineTerminator = -1;
    int32_t IgnoredChar = -1;
    // Longest line a reader is prepared to hold; -1: no limit. A longer line raises
    // EInOutError instead of growing without bound on data that is not text.
    int64_t MaxLineLength = -1;

    // The next line without its terminator; the number of characters in it. At the end
    // of the data a started line is returned, otherwise EInOutError is raised.
    int32_t ReadLine(std::string& Line);

private:
    // Scans the buffered bytes: how many belong to the line, how many follow them that
    // are dropped (0 or 1), and whether the line ends there.
    struct Scan {
        int32_t take = 0;
        int32_t skip = 0;
        bool ended = false;
    };
    Scan DetectTerminator(const uint8_t* data, int32_t count);
    Scan ScanKnown(const uint8_t* data, int32_t count) const;
};
