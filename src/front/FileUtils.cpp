#include "front/FileUtils.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/Stream.h"

std::string ProgramDir;

namespace {

constexpr int64_t ShiftBlockSize = 1 << 20;

// The extension with its dot, as the codec registry will see it in the temporary name.
std::string extensionOf(const std::string& path) {
    const auto dot = path.find_last_of("./\\:");
    return dot != std::string::npos && path[dot] == '.' ? path.substr(dot) : std::string();
}

[[noreturn]] void raiseCreateError(const std::string& path, int error) {
    throw EFCreateError(
        Format("Cannot create file \"%s\". %s", host::ExpandFileName(path).c_str(), SysErrorMessage(error).c_str()));
}

[[noreturn]] void raiseOpenError(const std::string& path, int error) {
    throw EFOpenError(
        Format("Cannot open file \"%s\". %s", host::ExpandFileName(path).c_str(), SysErrorMessage(error).c_str()));
}

class ScopedDescriptor {
public:
    explicit ScopedDescriptor(int fd) : fd_(fd) {}
    ~ScopedDescriptor() { if (fd_ >= 0) ::close(fd_); }
    ScopedDescriptor(const ScopedDescriptor&) = delete;
    ScopedDescriptor& operator=(const ScopedDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

void InitializeFileUtils() { ProgramDir = host::ExtractFilePath(host::ExecutablePath()); }

bool CopyFileTo(const std::string& source, const std::string& dest, bool overwrite) {
    return host::CopyFile(source, dest, !overwrite);
}

// ---------------------------------------------------------------- TAtomicOutput

TAtomicOutput::TAtomicOutput(std::string finalPath, OpenErrors errors)
    : finalPath_(std::move(finalPath)), errors_(errors) {}

TAtomicOutput::~TAtomicOutput() {
    if (!committed_ && !tempPath_.empty()) host::DeleteFile(tempPath_);
}

const std::string& TAtomicOutput::Path() {
    if (tempPath_.empty()) {
        // Through a link the file it names is replaced, and the link stays: the temporary
        // file goes beside that file so that the rename stays within one file system.
        // The extension stays the one typed, which chose the codec.
        target_ = host::ResolveLinks(finalPath_);
        try {
            tempPath_ = host::CreateUniqueFile(host::ExtractFilePath(target_), "pixmorph-", extensionOf(finalPath_), 0666);
        } catch (const EOSError& e) {
            const int error = e.ErrorCode();
            if (errors_ == OpenErrors::LibraryStream)
                throw EInOutError(
                    Format("Error opening \"%s\" - %s", finalPath_.c_str(), SysErrorMessage(error).c_str()));
            raiseCreateError(finalPath_, error);
        }
        // A file replaced keeps who may read it.
        host::AdoptPermissions(target_, tempPath_);
    }
    return tempPath_;
}

void TAtomicOutput::Commit() {
    if (!host::ReplaceFile(Path(), target_)) raiseCreateError(finalPath_, errno);
    committed_ = true;
}

// ---------------------------------------------------------------- conversions

void ShiftFileBytes(const std::string& input, const std::string& output, int delta) {
    // Read to the end rather than to a size taken first: a pipe or a device has no size.
    const ScopedDescriptor in(host::OpenFile(input, O_RDONLY));
    if (in.get() < 0) raiseOpenError(input, errno);
    TAtomicOutput target(output);
    host::TFileStream out(target.Path(), host::fmOpenWrite);
    std::vector<uint8_t> block(static_cast<size_t>(ShiftBlockSize));
    for (;;) {
        const int64_t n = host::ReadAll(in.get(), block.data(), ShiftBlockSize);
        if (n < 0) raiseOpenError(input, errno);
        if (n == 0) break;
        for (int64_t i = 0; i < n; ++i) block[i] = static_cast<uint8_t>(block[i] + delta);
        out.WriteBuffer(block.data(), n);
    }
    out.Close();
    target.Commit();
}

void RelocateFile(const std::string& input, const std::string& output) {
    host::CopyFailure failure;
    if (host::CopyFile(input, output, /*failIfExists=*/true, &failure)) {
        // The copy now occupies output, so this rename is refused and the input stays;
        // the caller decides whether it goes.
        host::MoveFile(input, output);
        return;
    }
    const int copyError = errno;
    if (failure == host::CopyFailure::Dest && copyError == EEXIST) raiseCreateError(output, copyError);
    // A file that cannot be copied may still be renamed (same file system, no read access).
    if (host::MoveFile(input, output)) return;
    if (failure == host::CopyFailure::Source) raiseOpenError(input, copyError);
    raiseCreateError(output, copyError);
}
