#include "streams/Streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/Exceptions.h"
#include "platform/Files.h"

namespace {
constexpr int64_t CopyBlockSize = 4096;
}

int64_t ReadUpTo(TBaseStream& stream, void* buffer, int64_t count) {
    if (!stream.StrictRead) return stream.Read(buffer, count);
    struct Restore {
        TBaseStream& stream;
        ~Restore() { stream.SetStrictRead(true); }
    } restore{stream};
    stream.SetStrictRead(false);
    return stream.Read(buffer, count);
}

void TBaseStream::CopyFrom(TBaseStream& source) {
    uint8_t buffer[CopyBlockSize];
    while (!source.Eof()) {
        const int64_t n = ReadUpTo(source, buffer, CopyBlockSize);
        if (n <= 0) break;  // a source that cannot tell its end must not spin here
        Write(buffer, n);
    }
}

void TBaseStream::CopyTo(TBaseStream* dest, int64_t count) {
    uint8_t buffer[CopyBlockSize];
    int64_t total = 0;
    while (total < count) {
        // Asking for no more than is left keeps a strict stream from raising at its end.
        const int64_t available = Available();
        if (available == 0) break;
        int64_t want = std::min(count - total, CopyBlockSize);
        if (available > 0) want = std::min(want, available);
        const int64_t n = Read(buffer, want);
        if (n <= 0) break;
        if (dest) dest->Write(buffer, n);
        total += n;
    }
}

void TFilterStream::SetStrictRead(bool value) {
    StrictRead = value;
    Inner->SetStrictRead(value);
}

void FreeChain(TBaseStream* stream) {
    while (stream) {
        auto* filter = dynamic_cast<TFilterStream*>(stream);
        TBaseStream* inner = filter ? filter->Inner : nullptr;
        delete stream;
        stream = inner;
    }
}

// ---------------------------------------------------------------- TFileStream

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : FileName(fileName) {
    if ((mode & (fsRead | fsWrite)) == 0)
        throw EInOutError("Either read, write or full access must be specified in call to CreateFile");
    CanRead = (mode & fsRead) != 0;
    CanWrite = (mode & fsWrite) != 0;
    int flags = CanRead && CanWrite ? O_RDWR : CanWrite ? O_WRONLY : O_RDONLY;
    if (mode & fsCreate) flags |= O_CREAT | O_TRUNC;
    // Sharing bits have no counterpart here: POSIX locks are advisory.
    Handle = host::OpenFile(fileName, flags);
    if (Handle < 0)
        throw EInOutError(Format("Error opening \"%s\" - %s", fileName.c_str(), LastErrorText().c_str()));
}

TFileStream::TFileStream(int handle) {
    if (handle < 0) RaiseLastOSError(errno);
    Handle = handle;
    CanRead = CanWrite = true;
}

TFileStream::~TFileStream() {
    if (Handle >= 0) ::close(Handle);
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    const int64_t total = host::WriteAll(Handle, buffer, count);
    if (total < 0) {
        const int error = errno;
        throw EInOutError(Format("Error writing to stream - %s", SysErrorMessage(error).c_str()), error);
    }
    // The same text serves short writes as short reads.
    if (total < count && StrictRead) throw EInOutError("Read less than expected");
    return total;
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    const int64_t total = host::ReadAll(Handle, buffer, count);
    if (total < 0) throw EInOutError(Format("Error reading from stream - %s", LastErrorText().c_str()));
    if (total < count && StrictRead) throw EInOutError("Read less than expected");
    return total;
}

void TFileStream::Flush() {
    if (::fdatasync(Handle) != 0 && errno != EINVAL)
        throw EInOutError(Format("IO-error: %s", LastErrorText().c_str()));
}

int64_t TFileStream::GetPosition() {
    const off_t position = ::lseek(Handle, 0, SEEK_CUR);
    if (position < 0) throw EInOutError(Format("IO-error: %s", LastErrorText().c_str()));
    return position;
}

int64_t TFileStream::GetSize() {
    struct stat info;
    if (::fstat(Handle, &info) != 0) throw EInOutError(Format("IO-error: %s", LastErrorText().c_str()));
    return info.st_size;
}

void TFileStream::Seek(int64_t position) {
    if (::lseek(Handle, position, SEEK_SET) < 0)
        throw EInOutError(Format("Error moving file pointer - %s", LastErrorText().c_str()));
}

void TFileStream::Truncate() {
    if (::ftruncate(Handle, GetPosition()) != 0)
        throw EInOutError(
            Format("Error truncating file \"%s\" - %s", FileName.c_str(), LastErrorText().c_str()));
}

void TFileStream::Delete() {
    const int handle = Handle;
    Handle = -1;
    if (handle >= 0 && ::close(handle) != 0)
        throw EInOutError(Format("Error closing \"%s\" - %s", FileName.c_str(), LastErrorText().c_str()));
    if (::unlink(FileName.c_str()) != 0)
        throw EInOutError(Format("Error deleting \"%s\" - %s", FileName.c_str(), LastErrorText().c_str()));
}
