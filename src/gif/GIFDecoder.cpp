#include "gif/GIFDecoder.h"

#include <algorithm>

#include "platform/Exceptions.h"

TGIFDecoder::TGIFDecoder(host::TStream& Stream, int MinimumCodeSize, TWarning Warning)
    : stream_(Stream), warning_(std::move(Warning)), minimumCodeSize_(MinimumCodeSize) {
    if (MinimumCodeSize < 0 || MinimumCodeSize > 11) throw GIFException("Invalid GIF data");
    clearCode_ = 1 << MinimumCodeSize;
    endCode_ = clearCode_ + 1;
    codeSize_ = MinimumCodeSize + 1;
    limit_ = 2 * clearCode_;
    nextCode_ = clearCode_ + 2;
}

bool TGIFDecoder::FetchBlock() {
    blockLength_ = blockPosition_ = 0;
    if (exhausted_) return false;
    uint8_t length;
    if (stream_.Read(&length, 1) != 1) {
        exhausted_ = true;
        return false;
    }
    if (length == 0) {
        terminatorSeen_ = exhausted_ = true;
        return false;
    }
    const auto got = static_cast<int>(stream_.Read(block_, length));
    if (got < length) {
        if (warning_) warning_("Premature end of data");
        exhausted_ = true;
    }
    blockLength_ = std::max(got, 0);
    return blockLength_ > 0;
}

int32_t TGIFDecoder::ReadCode(int Size) {
    if (start_) {
        start_ = false;
        return clearCode_;
    }
    while (bitCount_ < Size) {
        if (blockPosition_ < blockLength_) {
            bitBuffer_ |= uint64_t{block_[blockPosition_++]} << bitCount_;
            bitCount_ += 8;
        } else if (!FetchBlock()) {
            if (bitCount_ == 0 && terminatorSeen_ && warning_) warning_("Decoder bit buffer under-run");
            return -1;
        }
    }
    const auto code = static_cast<int32_t>(bitBuffer_ & ((uint64_t{1} << Size) - 1));
    bitBuffer_ >>= Size;
    bitCount_ -= Size;
    return code;
}

void TGIFDecoder::SkipBlocks() {
    blockLength_ = blockPosition_ = 0;
    while (!exhausted_) {
        uint8_t length;
        if (stream_.Read(&length, 1) != 1) {
            exhausted_ = true;
        } else if (length == 0) {
            terminatorSeen_ = exhausted_ = true;
        } else {
            const int64_t at = stream_.GetPosition();
            const int64_t size = stream_.GetSize();
            if (at + length > size) {
                // The data ends inside this sub-block: stand at the end rather than past it.
                stream_.Seek(size, host::soBeginning);
                exhausted_ = true;
            } else {
                stream_.Seek(length, host::soCurrent);
            }
        }
    }
}

void TGIFDecoder::ResetTables() {
    for (int32_t i = 0; i < TableSize; ++i) {
        prefix_[i] = 0;
        suffix_[i] = i < clearCode_ ? static_cast<uint8_t>(i) : 0;
    }
    codeSize_ = minimumCodeSize_ + 1;
    limit_ = 2 * clearCode_;
    nextCode_ = clearCode_ + 2;
    stackTop_ = 0;
}

void TGIFDecoder::Push(uint8_t value) {
    if (stackTop_ >= TableSize + 1) throw GIFException("Circular decoder table entry");
    stack_[stackTop_++] = value;
}

int32_t TGIFDecoder::DecodeNext() {
    if (stackTop_ > 0) return stack_[--stackTop_];
    int32_t code = ReadCode(codeSize_);
    if (code < 0) return code;
    if (code == clearCode_) {
        ResetTables();
        do code = ReadCode(codeSize_);
        while (code == clearCode_);
        if (code < 0) return code;
        // An end code straight after a clear ends the data like any other end code.
        if (code != endCode_) {
            firstCode_ = oldCode_ = code;
            return code;
        }
    }
    if (code == endCode_) {
        if (!terminatorSeen_) SkipBlocks();
        return -2;
    }
    const int32_t inCode = code;
    if (code >= nextCode_) {
        Push(static_cast<uint8_t>(firstCode_));
        code = oldCode_;
    }
    while (code >= clearCode_) {
        Push(suffix_[code]);
        if (prefix_[code] == code) throw GIFException("Circular decoder table entry");
        code = prefix_[code];
    }
    firstCode_ = suffix_[code];
    Push(static_cast<uint8_t>(firstCode_));
    if (nextCode_ < TableSize) {
        prefix_[nextCode_] = static_cast<uint16_t>(oldCode_);
        suffix_[nextCode_] = static_cast<uint8_t>(firstCode_);
        ++nextCode_;
        if (nextCode_ >= limit_ && limit_ < TableSize) {
            limit_ *= 2;
            ++codeSize_;
        }
    }
    oldCode_ = inCode;
    return stack_[--stackTop_];
}

int64_t TGIFDecoder::Decode(uint8_t* Target, int64_t Count) {
    int64_t done = 0;
    while (done < Count) {
        if (stackTop_ > 0) {
            const int64_t n = std::min<int64_t>(stackTop_, Count - done);
            for (int64_t i = 0; i < n; ++i) Target[done++] = stack_[--stackTop_];
            continue;
        }
        const int32_t value = DecodeNext();
        if (value < 0) break;
        Target[done++] = static_cast<uint8_t>(value);
    }
    return done;
}

void TGIFDecoder::Finish() {
    // Pixels beyond the frame are dropped, so that the code after them is read.
    stackTop_ = 0;
    if (exhausted_) return;
    if (DecodeNext() != -2 && !exhausted_) SkipBlocks();
}
