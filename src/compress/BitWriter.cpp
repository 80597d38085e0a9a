#include "compress/BitWriter.h"

#include <algorithm>

#include "compress/DeflateFormat.h"

TBitWriter::TBitWriter(TBaseStream* inner) : inner_(inner) { buffer_.reserve(WriteOutSize); }

void TBitWriter::PutBytes(const uint8_t* bytes, size_t n) {
    buffer_.insert(buffer_.end(), bytes, bytes + n);
    if (buffer_.size() >= WriteOutSize) WriteOut();
}

void TBitWriter::DrainBytes() {
    while (count_ >= 8) {
        buffer_.push_back(static_cast<uint8_t>(acc_));
        acc_ >>= 8;
        count_ -= 8;
    }
}

void TBitWriter::AlignToByte() {
    DrainBytes();
    if (count_ > 0) {
        buffer_.push_back(static_cast<uint8_t>(acc_));
        acc_ = 0;
        count_ = 0;
    }
}

void TBitWriter::WriteOut() {
    if (buffer_.empty()) return;
    const int64_t n = inner_->Write(buffer_.data(), static_cast<int64_t>(buffer_.size()));
    if (n < static_cast<int64_t>(buffer_.size())) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::max<int64_t>(n, 0));
        deflate::raiseShortRead();
    }
    buffer_.clear();
}
