#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/Stream.h"

// Reads the LZW-coded image data of one GIF frame: the codes packed least significant bit
// first into data sub-blocks, up to the zero-length terminator.
//
// Two ways through the same table. The classic one follows prefix links one pixel at a
// time through a stack; it takes every code, also those of damaged data, and is the rule.
// While the data is well formed (every code is in the table or the one being defined),
// whole strings are written straight into the caller's pixels instead: each entry keeps
// its string's length, first pixel and last up to eight pixels, and links to the entry
// that holds the eight before those, so a string goes out a word at a time, back to
// front. Both ways see the same bits and define the same entries; the first code the fast
// way does not take is left in the bit buffer for the classic one.
class TGIFDecoder {
public:
    using TWarning = std::function<void(const std::string& message)>;

    // The stream stands just behind the minimum code size byte. A size that puts the
    // clear code at or beyond the 4096-entry tables raises "Invalid GIF data".
    TGIFDecoder(host::TStream& Stream, int MinimumCodeSize, TWarning Warning);
    ~TGIFDecoder();
    TGIFDecoder(const TGIFDecoder&) = delete;
    TGIFDecoder& operator=(const TGIFDecoder&) = delete;

    // The end of the data is no failure: a damaged frame keeps the pixels before it (the
    // warning callback tells of it). So it is a step of its own, not a number in the code's
    // place.
    struct TStep {
        enum TKind { Read, EndCode, DataEnded } Kind;
        int32_t Value;  // a pixel index (possibly above 255: callers keep the low 8 bits), or a code
    };

    // The next code of Size bits (Read), or DataEnded. The very first call returns the
    // clear code without reading, so that decoding starts from clean tables.
    TStep ReadCode(int Size);
    // The next pixel index (Read), the end code, or DataEnded.
    TStep DecodeNext();
    // Stores up to Count pixels; returns how many before the data ended. Bytes of Target
    // behind that count, up to Count, may have been written over.
    int64_t Decode(uint8_t* Target, int64_t Count);
    // Consumes what is left of the frame's data: the end code, if that is next, and every
    // sub-block up to the terminator.
    void Finish();

private:
    struct Tables;

    // The classic step for one code that has been read.
    TStep Interpret(TStep code);
    // Whole strings of well-formed data into Target from `done`; stops before the first
    // code it does not take, or when the pixels or the gathered data run short.
    int64_t DecodeStrings(uint8_t* Target, int64_t done, int64_t Count);
    // Pixels left on the stack, into Target from `done`.
    int64_t DrainStack(uint8_t* Target, int64_t done, int64_t Count);
    // Adds entry nextCode_: the string of `prefix` followed by the pixel `last`.
    void DefineEntry(int32_t prefix, uint8_t last);
    // An entry's string a word at a time: its last pixels and its shape (see Tables).
    struct Words {
        uint64_t tail;
        uint32_t shape;
    };
    static Words Extend(Words prefix, int32_t prefixCode, uint8_t last);
    // Writes one entry in both views.
    static void SetEntry(Tables& t, int32_t code, int32_t prefix, uint8_t last, Words words);
    void ResetTables();
    void Push(uint8_t value);

    // Moves the unread bytes of the window to its front and appends sub-blocks behind them.
    void Gather();
    // The next sub-block's length; 0 at the terminator or the end of the stream, after
    // which nothing more is gathered.
    int NextBlockLength();
    // The next byte of image data, or -1 at the end of the data.
    int NextByte();
    // The end of the bytes that whole-word reads may use.
    int32_t WordReadEnd() const { return truncatedAt_ >= 0 ? truncatedAt_ : windowEnd_; }
    void SkipBlocks();

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
    // Whether the table holds only strings and oldCode_ is one of them: the fast way's
    // condition, set by a clear code followed by a pixel, lost to a code beyond the table.
    bool wellFormed_ = false;

    // As reading one sub-block at a time sees the data: the terminator met, nothing more
    // to fetch. They change when decoding reaches that point, whatever was gathered ahead.
    bool terminatorSeen_ = false;
    bool exhausted_ = false;

    // Sub-block contents gathered ahead, without their length bytes. truncatedAt_ is where
    // a sub-block that the stream cut short starts (-1: none), reported when reached.
    std::vector<uint8_t> window_;
    int32_t windowPos_ = 0;
    int32_t windowEnd_ = 0;
    int32_t truncatedAt_ = -1;
    bool truncationReported_ = false;
    bool gatheredAll_ = false;
    bool terminatorRead_ = false;

    // Bits not yet taken, least significant first. Bits above bitCount_ are zero or the
    // next bytes' bits in their place.
    uint64_t bitBuffer_ = 0;
    int bitCount_ = 0;

    std::unique_ptr<Tables> tables_;
    int stackTop_ = 0;
};
