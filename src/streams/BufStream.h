#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "streams/Streams.h"

// Buffer size used wherever -1 is given; fixed for the whole run.
inline constexpr int32_t DefaultBufferSize = 65536;

// A read buffer and a write buffer in front of another library stream, so that codecs
// can read and write small pieces cheaply. The inner stream is not owned.
//
// Writers must call Flush() themselves before releasing the stream (FreeChain):
// the destructor flushes too, but a destructor cannot report a failed write, so an
// error there is dropped and the data is lost silently.
class TBufferedStream : public TFilterStream {
public:
    PIXMORPH_CLASS_NAME(TBufferedStream)
    // Sizes in bytes; -1 for DefaultBufferSize, 0 for no buffer on that side.
    // A size of 1 or below -1 for a side the inner stream supports raises
    // EStreamCreate "Invalid buffer size".
    TBufferedStream(int32_t readBufferSize, int32_t writeBufferSize, TBaseStream* stream);
    ~TBufferedStream() override;

    // The constructor switched the inner stream's StrictRead off (refills may come back
    // short at the end of the data); the destructor switches it on again.
    bool InnerRelaxed = false;
    int32_t ReadPos = 0;
    int32_t ReadCount = 0;
    int32_t ReadBufferSize = 0;
    int32_t WriteCount = 0;
    int32_t WriteBufferSize = 0;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    // Hands the waiting bytes to the inner stream (the inner stream itself is not flushed).
    // A short write raises EInOutError "Read less than expected"; the unwritten bytes stay.
    void Flush() override;
    // Inner bytes left plus the unread bytes of the read buffer.
    int64_t Available() override;
    // Sets the own flag. While the inner stream is relaxed for buffering it stays relaxed:
    // a strict inner stream would raise on the short refill at the end of the data.
    void SetStrictRead(bool value) override;

    // The unread bytes of the read buffer, for readers that scan in place.
    const uint8_t* BufferedData() const { return readBuffer_.get() + ReadPos; }
    int32_t BufferedCount() const { return ReadCount - ReadPos; }

protected:
    // Replaces the read buffer's contents by one inner read of ReadBufferSize bytes;
    // the number of bytes it delivered (0 at the end of the data).
    int32_t RefillReadBuffer();

private:
    // Writes WriteCount bytes to the inner stream; keeps what it did not accept.
    void writeOutBuffer();

    std::unique_ptr<uint8_t[]> readBuffer_;
    std::unique_ptr<uint8_t[]> writeBuffer_;
};

// A file behind a buffer of DefaultBufferSize: for writing a new file (created anew,
// read and write access, shared for reading) with a write buffer; for reading an
// existing file (shared for reading) with a read buffer. Release it with FreeChain
// (the StreamChain does); call Flush() before that when writing, so errors are seen.
StreamChain<TBufferedStream> OpenBufferedFile(const std::string& fileName, bool forWriting);
