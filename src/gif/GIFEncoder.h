#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "gif/GIFTypes.h"
#include "platform/Exceptions.h"
#include "platform/Stream.h"

// The table-based image data of one frame: the LZW minimum code size, the code stream
// cut into data sub-blocks of at most 255 bytes, and the zero-length terminator.

// A stream that only a GIF block writer may use: reading, writing and seeking raise
// "Invalid stream operation". It holds the target and one pending sub-block.
class TGIFStream : public host::TStream {
public:
    PIXMORPH_CLASS_NAME(TGIFStream)
    explicit TGIFStream(host::TStream& stream) : stream_(stream) {}

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, uint16_t origin) override;
    void SetSize(int64_t newSize) override;

protected:
    host::TStream& stream_;
    // Byte 0 is the sub-block's length, then up to 255 data bytes.
    uint8_t buffer_[256] = {};
    int fillCount_ = 1;
    bool dirty_ = false;
};

// Cuts what is written into sub-blocks: every block but the last carries 255 bytes.
class TGIFWriter final : public TGIFStream {
public:
    PIXMORPH_CLASS_NAME(TGIFWriter)
    explicit TGIFWriter(host::TStream& stream) : TGIFStream(stream) {}
    // Writes nothing: a pending block must go out through Finish, whose errors a
    // destructor could not report.
    ~TGIFWriter() override = default;

    int64_t Write(const void* buffer, int64_t count) override;
    void PutByte(uint8_t value) {
        dirty_ = true;
        buffer_[fillCount_++] = value;
        if (fillCount_ == 256) FlushBlock();
    }
    // Writes the pending sub-block, if any.
    void FlushBlock();
    // What destroying the writer does: the pending sub-block when anything was written.
    void Finish() {
        if (dirty_) FlushBlock();
    }
};

// Keys are (prefix code shl 8) or pixel; the 12-bit code sits below the key in one slot.
// An empty slot holds all ones. The home slot is one xor and one mask away from the key:
// on a hit the next key depends on the code found, so the hash is on the critical path
// of every pixel, and a division there would halve the encoder's speed.
class THashTable {
public:
    static constexpr int Size = 8192;
    static constexpr uint16_t NotFound = 0xFFFF;

    THashTable() { Reset(); }
    void Reset() { std::memset(slots_, 0xFF, sizeof(slots_)); }
    void Add(uint32_t key, uint16_t code) {
        uint32_t h = Home(key);
        while ((slots_[h] >> 12) != EmptyKey) h = (h + 1) & (Size - 1);
        slots_[h] = (key << 12) | (code & 0xFFFu);
    }
    uint16_t Find(uint32_t key) const {
        uint32_t h = Home(key);
        for (;;) {
            const uint32_t slot = slots_[h];
            const uint32_t slotKey = slot >> 12;
            if (slotKey == key) return static_cast<uint16_t>(slot & 0xFFFu);
            if (slotKey == EmptyKey) return NotFound;
            h = (h + 1) & (Size - 1);
        }
    }

private:
    // Keys stay below $FFFFF because prefix codes stay below 4095.
    static constexpr uint32_t EmptyKey = 0xFFFFF;
    static uint32_t Home(uint32_t key) { return (key ^ (key >> 12)) & (Size - 1); }

    uint32_t slots_[Size];
};

class TGIFEncoder {
public:
    TGIFEncoder() = default;
    virtual ~TGIFEncoder() = default;
    TGIFEncoder(const TGIFEncoder&) = delete;
    TGIFEncoder& operator=(const TGIFEncoder&) = delete;

    // Writes one frame's image data at the stream's position. "Color not in color table"
    // when a pixel is not below colorCount; the stream then keeps the sub-blocks written
    // so far and no terminator.
    void EncodeImage(host::TStream& stream, int bitsPerPixel, int32_t colorCount, const uint8_t* pixels,
                     bool interlaced, int32_t height, int32_t width);

    TGIFWarning WarningHandler;

protected:
    virtual void EmitCode(int code);
    virtual void EmitClear();
    virtual void EncodePixels() = 0;

    // Base code output, for subclasses that add to it.
    void PutCode(int code) {
        if (BitCount > 0)
            BitBuffer = (BitBuffer & ((1u << BitCount) - 1)) | (static_cast<uint32_t>(code) << BitCount);
        else
            BitBuffer = static_cast<uint32_t>(code);
        BitCount += CodeWidth;
        while (BitCount >= 8) {
            Writer->PutByte(static_cast<uint8_t>(BitBuffer));
            BitBuffer >>= 8;
            BitCount -= 8;
        }
        if (code == EOICode) {
            while (BitCount > 0) {
                Writer->PutByte(static_cast<uint8_t>(BitBuffer));
                BitBuffer >>= 8;
                BitCount -= 8;
            }
        }
    }
    // Advances to the next pixel in the frame's row order; false after the last one.
    // The cursor already points past the pixel just read.
    bool NextPixel() {
        if (--RowCountdown > 0) return true;
        if (!Interlaced) return false;
        return NextInterlacedRow();
    }
    [[noreturn]] static void ColorNotInColorTable();

    int32_t ColorCount = 0;
    uint8_t BitsPerPixel = 0;
    host::TStream* Stream = nullptr;
    int32_t Width = 0;
    int32_t Height = 0;
    bool Interlaced = false;
    const uint8_t* Data = nullptr;
    std::unique_ptr<TGIFWriter> Writer;
    uint32_t BitBuffer = 0;
    int32_t BitCount = 0;
    bool ClearPending = false;
    int32_t CodeWidth = 0;
    int32_t InitialCodeWidth = 0;
    int16_t WidthLimit = 0;
    int16_t ClearCode = 0;
    int16_t EOICode = 0;
    int16_t FirstFreeCode = 0;
    const uint8_t* Pixel = nullptr;
    int64_t RowCountdown = 0;
    int32_t Row = 0;
    int32_t Pass = 0;

private:
    bool NextInterlacedRow();
};

class TLZWEncoder final : public TGIFEncoder {
protected:
    void EmitCode(int code) override;
    void EmitClear() override;
    void EncodePixels() override;

private:
    int16_t MatchCode = 0;
    int16_t NextCode = 0;
    std::unique_ptr<THashTable> Dictionary;
};

// Emits only codes that every GIF decoder reads as runs of one pixel value, following the
// table the decoder builds so that width changes and clears fall where it expects them.
class TRLEEncoder final : public TGIFEncoder {
protected:
    void EmitClear() override;
    void EncodePixels() override;

private:
    void EmitRunCode(int code);
    void FlushRun(int32_t count);
    void FlushAfterClear(int32_t count);
    void FlushByRepeat(int32_t count);
    void FlushFromTable(int32_t count);

    int32_t RunCodeLimit = 0;
    int32_t WidthBumpInit = 0;
    int32_t ClearAtInit = 0;
    int32_t CurrentPixel = -1;
    int32_t RunTableLength = 0;
    int32_t RunTablePixel = 0;
    int32_t CodesSinceClear = 0;
    int32_t ClearAt = 0;
    int32_t WidthBumpAt = 0;
};

// Codes needed to send a run of count pixels from a freshly cleared table whose run codes
// grow by one each step up to limit.
int32_t RunCost(int32_t count, int32_t limit);
int32_t IntSqrt(int32_t x);

// The encoder EncoderKind selects: 1 RLE, anything else LZW.
std::unique_ptr<TGIFEncoder> CreateGIFEncoder(uint8_t encoderKind);
