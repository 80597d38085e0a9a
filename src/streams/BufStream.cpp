#include "streams/BufStream.h"

#include <cstring>

#include "platform/Exceptions.h"

namespace {

int32_t checkedBufferSize(int32_t size) {
    if (size == -1) return DefaultBufferSize;
    if (size < 2) throw EStreamCreate("Invalid buffer size");
    return size;
}

}  // namespace

TBufferedStream::TBufferedStream(int32_t readBufferSize, int32_t writeBufferSize, TBaseStream* stream)
    : TFilterStream(stream) {
    CanRead = stream->CanRead;
    CanWrite = stream->CanWrite;
    StrictRead = stream->StrictRead;

    if (CanRead && readBufferSize != 0) {
        ReadBufferSize = checkedBufferSize(readBufferSize);
        readBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(ReadBufferSize));
    }
    if (CanWrite && writeBufferSize != 0) {
        WriteBufferSize = checkedBufferSize(writeBufferSize);
        writeBuffer_ = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(WriteBufferSize));
    }
    // Relax only once nothing can fail any more, so a failed construction leaves the
    // inner stream as it was.
    InnerRelaxed = stream->CanRead && readBufferSize != 0 && stream->StrictRead;
    if (InnerRelaxed) stream->SetStrictRead(false);
}

TBufferedStream::~TBufferedStream() {
    try {
        Flush();
    } catch (...) {
        // A destructor cannot report; writers flush explicitly beforehand.
    }
    if (InnerRelaxed) {
        try {
            Inner->SetStrictRead(true);
        } catch (...) {
        }
    }
}

void TBufferedStream::SetStrictRead(bool value) {
    StrictRead = value;
    if (!InnerRelaxed) Inner->SetStrictRead(value);
}

int32_t TBufferedStream::RefillReadBuffer() {
    ReadPos = ReadCount = 0;
    const int64_t n = Inner->Read(readBuffer_.get(), ReadBufferSize);
    ReadCount = n > 0 ? static_cast<int32_t>(n) : 0;
    return ReadCount;
}

int64_t TBufferedStream::Read(void* buffer, int64_t count) {
    if (!readBuffer_) return Inner->Read(buffer, count);
    if (count <= 0) return 0;
    auto* out = static_cast<uint8_t*>(buffer);
    const int64_t avail = ReadCount - ReadPos;
    if (count <= avail) {
        std::memcpy(out, readBuffer_.get() + ReadPos, static_cast<size_t>(count));
        ReadPos += static_cast<int32_t>(count);
        return count;
    }
    if (avail > 0) std::memcpy(out, readBuffer_.get() + ReadPos, static_cast<size_t>(avail));
    const int64_t rest = count - avail;
    ReadPos = ReadCount = 0;
    if (rest >= ReadBufferSize) {
        // Large requests bypass the buffer: one inner call.
        const int64_t n = Inner->Read(out + avail, rest);
        if (n < rest && StrictRead) throw EInOutError("Read less than expected");
        return avail + n;
    }
    const int64_t n = Inner->Read(readBuffer_.get(), ReadBufferSize);
    if (n < rest) {
        if (n > 0) std::memcpy(out + avail, readBuffer_.get(), static_cast<size_t>(n));
        if (StrictRead) throw EInOutError("Read less than expected");
        return avail + (n > 0 ? n : 0);
    }
    std::memcpy(out + avail, readBuffer_.get(), static_cast<size_t>(rest));
    ReadCount = static_cast<int32_t>(n);
    ReadPos = static_cast<int32_t>(rest);
    return count;
}

void TBufferedStream::writeOutBuffer() {
    if (WriteCount <= 0) return;
    const int64_t n = Inner->Write(writeBuffer_.get(), WriteCount);
    if (n >= WriteCount) {
        WriteCount = 0;
        return;
    }
    // Keep what the inner stream did not take, so nothing is lost or sent twice.
    const int64_t written = n > 0 ? n : 0;
    std::memmove(writeBuffer_.get(), writeBuffer_.get() + written, static_cast<size_t>(WriteCount - written));
    WriteCount -= static_cast<int32_t>(written);
    throw EInOutError("Read less than expected");
}

int64_t TBufferedStream::Write(const void* buffer, int64_t count) {
    if (!writeBuffer_) return Inner->Write(buffer, count);
    if (count <= 0) return 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    const int64_t free = WriteBufferSize - WriteCount;
    if (count <= free) {
        std::memcpy(writeBuffer_.get() + WriteCount, in, static_cast<size_t>(count));
        WriteCount += static_cast<int32_t>(count);
        return count;
    }
    std::memcpy(writeBuffer_.get() + WriteCount, in, static_cast<size_t>(free));
    WriteCount = WriteBufferSize;
    // A short inner write raises here; the caller's first `free` bytes are then in the
    // buffer (kept for the next Flush) and the rest was not taken.
    writeOutBuffer();
    const int64_t rest = count - free;
    if (rest >= WriteBufferSize) {
        const int64_t m = Inner->Write(in + free, rest);
        if (m < rest && StrictRead) throw EInOutError("Read less than expected");
        return free + (m > 0 ? m : 0);
    }
    std::memcpy(writeBuffer_.get(), in + free, static_cast<size_t>(rest));
    WriteCount = static_cast<int32_t>(rest);
    return count;
}

void TBufferedStream::Flush() {
    if (writeBuffer_) writeOutBuffer();
}

int64_t TBufferedStream::Available() { return Inner->Available() + ReadCount - ReadPos; }

StreamChain<TBufferedStream> OpenBufferedFile(const std::string& fileName, bool forWriting) {
    if (forWriting) {
        auto file = std::make_unique<TFileStream>(fileName, fsRead | fsWrite | fsCreate | fsShareRead);
        StreamChain<TBufferedStream> result(std::make_unique<TBufferedStream>(0, -1, file.get()).release());
        file.release();
        return result;
    }
    auto file = std::make_unique<TFileStream>(fileName, fsRead | fsShareRead);
    StreamChain<TBufferedStream> result(std::make_unique<TBufferedStream>(-1, 0, file.get()).release());
    file.release();
    return result;
}
