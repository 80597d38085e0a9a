#pragma once

#include <cstdint>

#include "streams/Streams.h"

// Reads and writes single bits, least-significant bit first (the bit order of deflate),
// over any library stream. One direction at a time; the fields serve both.
//
// Writers call Flush() before releasing the stream: the destructor flushes the last
// partial byte too, but cannot report a failed write.
class TBitStream : public TFilterStream {
public:
    PIXMORPH_CLASS_NAME(TBitStream)
    explicit TBitStream(TBaseStream* stream) : TFilterStream(stream) {}
    ~TBitStream() override;

    int32_t WriteBitCount = 0;  // bits waiting in BitBuffer (0..7 between calls)
    int32_t ReadBitPos = 0;     // next bit of BitBuffer; 0 = nothing loaded, 8 = used up
    uint8_t BitBuffer = 0;

    // Appends the low count bits of value, lowest first; count 0..32 (more fails an
    // assertion). Each completed byte goes to the wrapped stream at once.
    void WriteBits(uint32_t value, int32_t count);
    // Reads count bits into consecutive bytes of buffer (first bit in bit 0 of the
    // first byte; the last byte holds the remaining count mod 8 bits, upper bits zero).
    // Returns the bits delivered, fewer when the wrapped stream runs short.
    int32_t ReadBits(void* buffer, int32_t count);
    // The next bit; a short read is not noticed (the old byte's bits come again).
    int32_t ReadBit();
    // Completes the output byte and aligns the input to the next whole byte.
    void Flush() override;
    // The wrapped stream's Available plus ReadBitPos.
    int64_t Available() override { return Inner->Available() + ReadBitPos; }

protected:
    // Flush of the bit state alone, for subclasses that override Flush.
    void FlushBits();
};
