#pragma once

#include <cstdint>
#include <vector>

#include "compress/Huffman.h"
#include "platform/ByteOrder.h"
#include "streams/Streams.h"

// The compressor's bit output: bits least-significant first, collected 32 at a time into
// a buffer that goes to the wrapped stream in pieces of 64 KiB and when asked.
class TBitWriter {
public:
    explicit TBitWriter(TBaseStream* inner);

    // The low n bits of value, n 0..32.
    void PutBits(uint32_t value, int n) {
        acc_ |= uint64_t{value & (n == 32 ? 0xFFFFFFFFu : ((1u << n) - 1))} << count_;
        count_ += n;
        if (count_ >= 32) putWord();
    }
    void PutCode(const THuffmanCodes::TEntry& code) { PutBits(code.Code, static_cast<int>(code.Length)); }
    // The final-block bit and the two-bit block type.
    void PutBlockHeader(bool last, uint32_t type) {
        PutBits(last ? 1 : 0, 1);
        PutBits(type, 2);
    }
    // Whole bytes; the output must be aligned.
    void PutBytes(const uint8_t* bytes, size_t n);
    // Complete bytes to the buffer; a partial byte stays.
    void DrainBytes();
    // The partial byte goes to the buffer too, with zero high bits.
    void AlignToByte();
    // The buffer to the wrapped stream; a short write raises EInOutError "Read less than
    // expected" and keeps what was not written.
    void WriteOut();

private:
    static constexpr size_t WriteOutSize = 1 << 16;
    // Room kept behind WriteOutSize: a whole word and the bytes a drain may add first.
    static constexpr size_t BufferSlack = 16;

    // 32 complete bits to the buffer; the buffer to the stream once it holds 64 KiB.
    void putWord() {
        host::WriteLE32(buffer_.data() + used_, static_cast<uint32_t>(acc_));
        used_ += 4;
        acc_ >>= 32;
        count_ -= 32;
        if (used_ >= WriteOutSize) WriteOut();
    }
    void putByte(uint8_t byte) {
        reserve(1);
        buffer_[used_++] = byte;
    }
    void reserve(size_t n);

    TBaseStream* inner_;
    std::vector<uint8_t> buffer_;  // its first used_ bytes are waiting for the stream
    size_t used_ = 0;
    uint64_t acc_ = 0;
    int count_ = 0;
};
