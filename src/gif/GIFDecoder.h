#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Stream.h"

// Reads the LZW-coded image data of one GIF frame: the codes packed least significant bit
// first into data sub-blocks, up to the zero-length terminator.
class TGIFDecoder {
public:
    using TWarning = std::function<void(const std::string& message)>;

    // The stream stands just behind the minimum code size byte. A size that puts the
    // clear code at or beyond the 4096-entry tables raises "Invalid GIF data".
    TGIFDecoder(host::TStream& Stream, int MinimumCodeSize, TWarning Warning);
    TGIFDecoder(const TGIFDecoder&) = delete;
    TGIFDecoder& operator=(const TGIFDecoder&) = delete;

    // The next code of Size bits, or -1 when the data has run out. The very first call
    // returns the clear code without reading, so that decoding starts from clean tables.
    int32_t ReadCode(int Size);
    // The next pixel index (possibly above 255: callers keep the low 8 bits), -1 when the
    // data has run out, -2 at the end code.
    int32_t DecodeNext();
    // Stores up to Count pixels; returns how many before the data ended.
    int64_t Decode(uint8_t* Target, int64_t Count);
    // Consumes what is left of the frame's data: the end code, if that is next, and every
    // sub-block up to the terminator.
    void Finish();

private:
    static constexpr int TableSize = 4096;

    // Reads the next sub-block; false at the terminator or the end of the stream.
    bool FetchBlock();
    void SkipBlocks();
    void ResetTables();
    void Push(uint8_t value);

    host::TStream& stream_;
    TWarning warning_;
    int minimumCodeSize_;
    int codeSize_;
    int32_t clearCode_;
    int32_t endCode_;
    int32_t nextCode_;
    int32_t limit_;
    int32_t firstCode_ = 0;
    int32_t oldCode_ = 0;
    bool start_ = true;
    bool terminatorSeen_ = false;
    bool exhausted_ = false;

    // Bits not yet taken, least significant first, and the current sub-block.
    uint64_t bitBuffer_ = 0;
    int bitCount_ = 0;
    uint8_t block_[255];
    int blockLength_ = 0;
    int blockPosition_ = 0;

    uint16_t prefix_[TableSize];
    uint8_t suffix_[TableSize];
    // The longest string is shorter than the table, plus the one pushed for a code that is
    // being defined; a longer chain can only come from a table entry that loops.
    uint8_t stack_[TableSize + 1];
    int stackTop_ = 0;
};
