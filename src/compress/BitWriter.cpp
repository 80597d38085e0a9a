#include "compress/BitWriter.h"

#include <algorithm>

#include "compress/DeflateFormat.h"

TBitWriter::TBitWriter(TBaseStream* inner) : inner_(inner) { buffer_.resize(WriteOutSize + BufferSlack); }

// Room for n more bytes and a word behind them.
void TBitWriter::reserve(size_t n) {
    if (used_ + n + BufferSlack > buffer_.size()) buffer_.resize(used_ + n + BufferSlack);
}

void TBitWriter::PutBytes(const uint8_t* bytes, size_t n) {
    reserve(n);
    std::copy(bytes, bytes + n, buffer_.begin() + static_cast<std::ptrdiff_t>(used_));
    used_ += n;
    if (used_ >= WriteOutSize) WriteOut();
}

void TBitWriter::DrainBytes() {
    while (count_ >= 8) {
        putByte(static_cast<uint8_t>(acc_));
        acc_ >>= 8;
        count_ -= 8;
    }
}

void TBitWriter::AlignToByte() {
    DrainBytes();
    if (count_ > 0) {
        putByte(static_cast<uint8_t>(acc_));
        acc_ = 0;
        count_ = 0;
    }
}

void TBitWriter::WriteOut() {
    if (used_ == 0) return;
    const int64_t n = inner_->Write(buffer_.data(), static_cast<int64_t>(used_));
    if (n < static_cast<int64_t>(used_)) {
        const size_t written = static_cast<size_t>(std::max<int64_t>(n, 0));
        std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(written),
                  buffer_.begin() + static_cast<std::ptrdiff_t>(used_), buffer_.begin());
        used_ -= written;
        deflate::raiseShortRead();
    }
    used_ = 0;
}
