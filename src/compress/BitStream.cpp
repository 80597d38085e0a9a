#include "compress/BitStream.h"

#include "platform/Exceptions.h"

TBitStream::~TBitStream() {
    try {
        FlushBits();
    } catch (...) {
        // Writers flush explicitly; a destructor cannot report the failure.
    }
}

void TBitStream::WriteBits(uint32_t value, int32_t count) {
    PIXMORPH_ASSERT(count <= 32, "Assertion failure", "BitStream");
    while (count > 0) {
        const int32_t n = count < 8 ? count : 8;
        const uint32_t d = value & ((1u << n) - 1);
        BitBuffer = static_cast<uint8_t>(BitBuffer | (d << WriteBitCount));
        if (WriteBitCount + n >= 8) {
            Inner->Write(&BitBuffer, 1);
            BitBuffer = static_cast<uint8_t>(d >> (8 - WriteBitCount));
            WriteBitCount -= 8;
        }
        WriteBitCount += n;
        count -= n;
        value >>= 8;
    }
}

int32_t TBitStream::ReadBits(void* buffer, int32_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t delivered = 0;
    while (count > 0) {
        const int32_t n = count < 8 ? count : 8;
        if (ReadBitPos == 0 && Inner->Read(&BitBuffer, 1) != 1) break;
        uint32_t a = static_cast<uint32_t>(BitBuffer) >> ReadBitPos;
        if (ReadBitPos + n > 8) {
            if (Inner->Read(&BitBuffer, 1) != 1) break;
            a = (a & ((1u << (8 - ReadBitPos)) - 1)) | (static_cast<uint32_t>(BitBuffer) << (8 - ReadBitPos));
            ReadBitPos -= 8;
        }
        *out++ = static_cast<uint8_t>(a & ((1u << n) - 1));
        ReadBitPos += n;
        delivered += n;
        count -= n;
    }
    return delivered;
}

int32_t TBitStream::ReadBit() {
    if (ReadBitPos == 0 || ReadBitPos == 8) {
        Inner->Read(&BitBuffer, 1);
        ReadBitPos = 0;
    }
    return (BitBuffer >> ReadBitPos++) & 1;
}

void TBitStream::FlushBits() {
    if (WriteBitCount > 0) Inner->Write(&BitBuffer, 1);
    WriteBitCount = ReadBitPos = 0;
    BitBuffer = 0;
}

void TBitStream::Flush() { FlushBits(); }
