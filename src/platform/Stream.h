#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Object.h"

// The platform's stream class, which platform graphics (bitmaps, icons, metafiles)
// read and write. The library's own streams meet it through the adapters of HostStream.
namespace host {

enum SeekOrigin : uint16_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
public:
    PIXMORPH_CLASS_NAME(TStream)

    // Transfer up to count bytes; the result is what was transferred.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // Returns the new position.
    virtual int64_t Seek(int64_t offset, uint16_t origin) = 0;
    virtual int64_t GetSize();
    virtual void SetSize(int64_t newSize) = 0;

    int64_t GetPosition() { return Seek(0, soCurrent); }
    void SetPosition(int64_t position) { Seek(position, soBeginning); }

    // Exactly count bytes or EReadError "Stream read error" / EWriteError "Stream write error"
    // (carrying the system's reason, when the system refused the write).
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);
    // The errno of this stream's last write that the system refused; 0 when none was.
    virtual int WriteErrorCode() const { return 0; }
    // Copies count bytes from source's position, or the whole of source when count is 0.
    int64_t CopyFrom(TStream& source, int64_t count);
};

enum FileMode : unsigned {
    fmOpenRead = 0x0000,
    fmOpenWrite = 0x0001,
    fmOpenReadWrite = 0x0002,
    fmCreate = 0xFFFF,
};

// A file opened by name. Opening failures raise EFOpenError "Cannot open file "%s". %s"
// and EFCreateError "Cannot create file "%s". %s" with the full path and the system's text.
class TFileStream : public TStream {
public:
    PIXMORPH_CLASS_NAME(TFileStream)
    TFileStream(const std::string& fileName, unsigned mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, uint16_t origin) override;
    void SetSize(int64_t newSize) override;
    // Closes the file, reporting a failure of the final write-back as EWriteError.
    void Close();
    int WriteErrorCode() const override { return writeError_; }
    const std::string& FileName() const { return fileName_; }
    // The open file, for transfers the kernel makes between files (CopyFileRange).
    int Handle() const { return fd_; }

private:
    std::string fileName_;
    int fd_ = -1;
    int writeError_ = 0;
};

// A growable block of memory.
class TMemoryStream : public TStream {
public:
    PIXMORPH_CLASS_NAME(TMemoryStream)
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, uint16_t origin) override;
    void SetSize(int64_t newSize) override;
    int64_t GetSize() override { return static_cast<int64_t>(data_.size()); }

    const uint8_t* Memory() const { return data_.data(); }
    std::vector<uint8_t>& Data() { return data_; }
    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);

private:
    std::vector<uint8_t> data_;
    int64_t position_ = 0;
};

}  // namespace host
