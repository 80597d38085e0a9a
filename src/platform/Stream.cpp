#include "platform/Stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Exceptions.h"
#include "platform/Files.h"

namespace host {

int64_t TStream::GetSize() {
    const int64_t position = Seek(0, soCurrent);
    const int64_t size = Seek(0, soEnd);
    Seek(position, soBeginning);
    return size;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error", WriteErrorCode());
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    constexpr int64_t BlockSize = 1 << 16;
    if (count == 0) {
        source.SetPosition(0);
        count = source.GetSize();
    }
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min(count, BlockSize)));
    int64_t copied = 0;
    while (copied < count) {
        const int64_t n = std::min(count - copied, BlockSize);
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        copied += n;
    }
    return copied;
}

// ---------------------------------------------------------------- TFileStream

TFileStream::TFileStream(const std::string& fileName, unsigned mode) : fileName_(fileName) {
    if (mode == fmCreate) {
        fd_ = OpenFile(fileName, O_RDWR | O_CREAT | O_TRUNC);
        if (fd_ < 0) {
            const std::string reason = LastErrorText();
            throw EFCreateError(Format("Cannot create file \"%s\". %s", ExpandFileName(fileName).c_str(), reason.c_str()));
        }
        return;
    }
    const int access = (mode & 3) == fmOpenWrite ? O_WRONLY : (mode & 3) == fmOpenReadWrite ? O_RDWR : O_RDONLY;
    fd_ = OpenFile(fileName, access);
    if (fd_ < 0) {
        const std::string reason = LastErrorText();
        throw EFOpenError(Format("Cannot open file \"%s\". %s", ExpandFileName(fileName).c_str(), reason.c_str()));
    }
}

TFileStream::~TFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

void TFileStream::Close() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) throw EWriteError("Stream write error", errno);
}

// The platform's streams report a failed transfer as a short one; ReadBuffer and
// WriteBuffer turn that into their errors.
int64_t TFileStream::Read(void* buffer, int64_t count) { return std::max<int64_t>(0, ReadAll(fd_, buffer, count)); }

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    const int64_t written = WriteAll(fd_, buffer, count);
    // A write that moves nothing without an error is a full disk.
    if (written < count) writeError_ = written < 0 ? errno : ENOSPC;
    return std::max<int64_t>(0, written);
}

int64_t TFileStream::Seek(int64_t offset, uint16_t origin) {
    const int whence = origin == soCurrent ? SEEK_CUR : origin == soEnd ? SEEK_END : SEEK_SET;
    return ::lseek(fd_, offset, whence);
}

void TFileStream::SetSize(int64_t newSize) {
    if (::ftruncate(fd_, newSize) != 0) throw EStreamError(LastErrorText());
    if (GetPosition() > newSize) Seek(newSize, soBeginning);
}

// ---------------------------------------------------------------- TMemoryStream

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    const int64_t size = GetSize();
    const int64_t n = std::max<int64_t>(0, std::min(count, size - position_));
    if (n > 0) std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    const int64_t end = position_ + count;
    if (end > GetSize()) data_.resize(static_cast<size_t>(end));
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, uint16_t origin) {
    const int64_t base = origin == soCurrent ? position_ : origin == soEnd ? GetSize() : 0;
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
}

void TMemoryStream::SetSize(int64_t newSize) {
    data_.resize(static_cast<size_t>(std::max<int64_t>(0, newSize)));
    position_ = std::min(position_, GetSize());
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
    TFileStream file(fileName, fmOpenRead);
    const int64_t size = file.GetSize();
    data_.resize(static_cast<size_t>(size));
    file.ReadBuffer(data_.data(), size);
    position_ = 0;
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
    TFileStream file(fileName, fmCreate);
    file.WriteBuffer(data_.data(), GetSize());
    file.Close();
}

}  // namespace host
