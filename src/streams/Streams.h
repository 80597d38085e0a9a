#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Object.h"

// The library's own stream hierarchy. Filters (buffering, compression, checksums,
// bit access) stack over one base stream; a filter never owns the stream it wraps,
// and FreeChain releases a whole stack from the top down.
class TBaseStream : public TObject {
public:
    PIXMORPH_CLASS_NAME(TBaseStream)
    TBaseStream() = default;
    TBaseStream(const TBaseStream&) = delete;
    TBaseStream& operator=(const TBaseStream&) = delete;

    bool CanWrite = false;
    bool CanRead = false;
    // On: a transfer of fewer bytes than asked raises instead of returning the short count.
    bool StrictRead = true;

    virtual void SetStrictRead(bool value) { StrictRead = value; }
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // EOF in the original; that name is the C library's macro.
    virtual bool Eof() { return Available() == 0; }
    virtual int64_t Available() = 0;
    virtual void Flush() {}
    // Appends everything Source has left, whatever Source's StrictRead.
    virtual void CopyFrom(TBaseStream& source);

    // Moves up to count bytes to dest, or skips them when dest is null; stops at the end.
    void CopyTo(TBaseStream* dest, int64_t count);
};

class TFilterStream : public TBaseStream {
public:
    PIXMORPH_CLASS_NAME(TFilterStream)
    explicit TFilterStream(TBaseStream* inner) : Inner(inner) {}

    TBaseStream* Inner;

    void SetStrictRead(bool value) override;
    int64_t Write(const void* buffer, int64_t count) override { return Inner->Write(buffer, count); }
    int64_t Read(void* buffer, int64_t count) override { return Inner->Read(buffer, count); }
    int64_t Available() override { return Inner->Available(); }
};

// Reads up to count bytes and returns how many: fewer only where the stream ends, which
// is no failure here, whatever the stream's StrictRead (a trailer that may be missing, the
// last block of a copy, a header probed before the format is known). The one place where a
// reader relaxes a stream; the stream is as strict as before afterwards, also on a failure.
int64_t ReadUpTo(TBaseStream& stream, void* buffer, int64_t count);

// Releases stream, then the stream it wraps, and so on down to the innermost one.
// Writers flush explicitly before releasing: a destructor cannot report a failed write.
void FreeChain(TBaseStream* stream);

struct FreeChainDeleter {
    void operator()(TBaseStream* stream) const { FreeChain(stream); }
};
// Owns a whole stack of streams through its top.
template <class T>
using StreamChain = std::unique_ptr<T, FreeChainDeleter>;

class TSeekableStream : public TBaseStream {
public:
    PIXMORPH_CLASS_NAME(TSeekableStream)
    virtual int64_t GetPosition() = 0;
    virtual int64_t GetSize() = 0;
    virtual void Seek(int64_t position) = 0;
    // The stream ends at the current position.
    virtual void Truncate() = 0;
};

// Mode bits of TFileStream.
enum : unsigned {
    fsRead = 1,
    fsWrite = 2,
    fsCreate = 4,
    fsShareRead = 8,
    fsShareWrite = 16,
};

class TFileStream : public TSeekableStream {
public:
    PIXMORPH_CLASS_NAME(TFileStream)
    TFileStream(const std::string& fileName, unsigned mode);
    // Wraps an open descriptor, which the stream then owns; -1 raises EOSError for errno.
    explicit TFileStream(int handle);
    ~TFileStream() override;

    int Handle = -1;
    std::string FileName;

    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Available() override { return GetSize() - GetPosition(); }
    void Flush() override;
    int64_t GetPosition() override;
    int64_t GetSize() override;
    void Seek(int64_t position) override;
    void Truncate() override;
    // Closes the file and removes it from disk; the object is then spent.
    void Delete();
};
