#include "front/FileUtils.h"

#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <utility>
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

[[noreturn]] void raiseCreateError(const std::string& path, const std::string& reason) {
    throw EFCreateError(Format("Cannot create file \"%s\". %s", host::ExpandFileName(path).c_str(), reason.c_str()));
}

[[noreturn]] void raiseCreateError(const std::string& path, int error) { raiseCreateError(path, SysErrorMessage(error)); }

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

// An output of this kind cannot be opened and written as a file.
constexpr const char* SocketOutputReason = "A socket cannot be written as a file";

// Copies everything that in holds into out; a failure raises naming the side that failed.
void copyInto(int in, int out, const std::string& input, const std::string& output) {
    std::vector<uint8_t> block(static_cast<size_t>(ShiftBlockSize));
    for (;;) {
        const int64_t n = host::ReadAll(in, block.data(), ShiftBlockSize);
        if (n < 0) raiseOpenError(input, errno);
        if (n == 0) return;
        // A write that moves nothing without an error is a full disk.
        const int64_t written = host::WriteAll(out, block.data(), n);
        if (written != n) raiseCreateError(output, written < 0 ? errno : ENOSPC);
    }
}

// The reason a path cannot be an output at all, 0 when it may be one.
int impossibleOutputReason(host::FileKind kind) {
    switch (kind) {
        case host::FileKind::Directory: return EISDIR;
        case host::FileKind::LinkLoop: return ELOOP;
        default: return 0;
    }
}

// The copy of RelocateFile: a private file beside output, published only when complete
// and never over an existing name.
void publishCopy(const std::string& input, const std::string& output) {
    const ScopedDescriptor in(host::OpenFile(input, O_RDONLY));
    if (in.get() < 0) raiseOpenError(input, errno);
    // What the output is decides the message before any byte is copied: a full disk must
    // not hide that the name is taken.
    if (const int reason = impossibleOutputReason(host::KindOfFile(output))) raiseCreateError(output, reason);
    if (host::PathIsTaken(output)) raiseCreateError(output, EEXIST);
    std::unique_ptr<host::TPrivateFile> copy;
    try {
        copy = std::make_unique<host::TPrivateFile>(host::ExtractFilePath(output), "pixmorph-", extensionOf(output));
    } catch (const EOSError& e) {
        raiseCreateError(output, e.ErrorCode());
    }
    copyInto(in.get(), copy->Handle(), input, output);
    struct stat info;
    // The copy carries the input's permission bits over, as a new file under the umask.
    if (::fstat(in.get(), &info) == 0) copy->SetPermissions(host::UmaskedMode(info.st_mode & 07777));
    if (!copy->Publish(output, /*replace=*/false)) raiseCreateError(output, errno);
}

}  // namespace

void InitializeFileUtils() { ProgramDir = host::ExtractFilePath(host::ExecutablePath()); }

bool CopyFileTo(const std::string& source, const std::string& dest, bool overwrite) {
    return host::CopyFile(source, dest, !overwrite);
}

std::optional<std::string> DeleteConvertedInput(const std::string& input, const std::string& output,
                                                TInputFate fate) {
    std::error_code error;
    if (std::filesystem::equivalent(input, output, error)) return std::nullopt;
    // An input that is gone already (renamed by the move) needs no deleting.
    if (!host::IsDeletableFile(input) || host::DeleteFile(input) || errno == ENOENT) return std::nullopt;
    const std::string reason = SysErrorMessage(errno);
    const std::string name = host::ExpandFileName(input);
    if (fate == TInputFate::Moved)
        return Format("Cannot delete file \"%s\", so it was copied, not moved. %s.", name.c_str(), reason.c_str());
    return Format("Cannot delete file \"%s\". %s.", name.c_str(), reason.c_str());
}

void RefuseImpossibleOutput(const std::string& output) {
    const host::FileKind kind = host::KindOfFile(output);
    if (const int reason = impossibleOutputReason(kind)) raiseCreateError(output, reason);
    if (kind == host::FileKind::Socket) raiseCreateError(output, SocketOutputReason);
}

// ---------------------------------------------------------------- TAtomicOutput

TAtomicOutput::TAtomicOutput(std::string finalPath, OpenErrors errors, Writing writing)
    : finalPath_(std::move(finalPath)), errors_(errors), writing_(writing) {}

TAtomicOutput::~TAtomicOutput() {
    if (pipeWriter_ >= 0) ::close(pipeWriter_);
    if (spool_ >= 0) ::close(spool_);
}

void TAtomicOutput::prepareInPlace(bool isPipe) {
    path_ = target_;
    // A device written in order needs nothing more; opening it to ask could have effects.
    if (!isPipe && writing_ == Writing::InOrder) return;
    // A pipe waits for its reader here, as any program writing into one does.
    pipeWriter_ = host::OpenFile(target_, O_WRONLY);
    if (pipeWriter_ < 0) raiseCreateError(finalPath_, errno);
    if (writing_ == Writing::InOrder) return;
    if (host::IsSeekable(pipeWriter_)) {
        ::close(std::exchange(pipeWriter_, -1));
        return;
    }
    spool_ = host::CreateMemoryFile("pixmorph-output");
    if (spool_ < 0) raiseCreateError(finalPath_, errno);
    path_ = "/proc/self/fd/" + std::to_string(spool_);
}

const std::string& TAtomicOutput::Path() {
    if (!path_.empty()) return path_;
    // Through a link the file it names is replaced, and the link stays: the private file
    // goes beside that file so that it takes the name within one file system.
    target_ = host::ResolveLinks(finalPath_);
    const host::FileKind kind = host::KindOfFile(target_);
    switch (kind) {
        case host::FileKind::Fifo:
        case host::FileKind::Device:
            // Replacing /dev/null or a pipe by a regular file would break what reads it.
            prepareInPlace(kind == host::FileKind::Fifo);
            return path_;
        case host::FileKind::Socket:
        case host::FileKind::Other:
            raiseCreateError(finalPath_, SocketOutputReason);
        default:
            if (const int reason = impossibleOutputReason(kind)) raiseCreateError(finalPath_, reason);
            break;
    }
    try {
        file_ = std::make_unique<host::TPrivateFile>(host::ExtractFilePath(target_), "pixmorph-", extensionOf(finalPath_));
    } catch (const EOSError& e) {
        if (errors_ == OpenErrors::LibraryStream)
            throw EInOutError(Format("Error opening \"%s\" - %s", host::ExpandFileName(finalPath_).c_str(),
                                     SysErrorMessage(e.ErrorCode()).c_str()));
        raiseCreateError(finalPath_, e.ErrorCode());
    }
    path_ = file_->Path();
    return path_;
}

void TAtomicOutput::raiseNamingOutput(const Exception& failure) const {
    if (const int error = failure.WriteError()) raiseCreateError(finalPath_, error);
    std::string message = failure.Message();
    const auto at = message.find(path_);
    if ((file_ || spool_ >= 0) && at != std::string::npos) {
        message.replace(at, path_.size(), host::ExpandFileName(finalPath_));
        throw EFCreateError(message);
    }
    throw;
}

void TAtomicOutput::Write(const std::function<void(const std::string& path)>& writer) {
    const std::string& path = Path();
    try {
        writer(path);
    } catch (const Exception& failure) {
        raiseNamingOutput(failure);
    }
}

void TAtomicOutput::Commit() {
    Path();
    if (spool_ >= 0) {
        // The whole file, in order, now that the writer can no longer seek back.
        struct stat info;
        if (::fstat(spool_, &info) != 0 || host::CopyFileRange(spool_, 0, pipeWriter_, info.st_size) != info.st_size)
            raiseCreateError(finalPath_, errno);
    }
    if (file_) {
        // A file replaced keeps who may read it; a new one gets the usual mode. Either way
        // the mode is set before the file has a name anyone can open.
        host::AdoptPermissions(target_, *file_);
        if (!file_->Publish(target_, /*replace=*/true)) raiseCreateError(finalPath_, errno);
    }
    committed_ = true;
}

void WriteOutput(const std::string& output, const std::function<void(const std::string& path)>& writer,
                 TAtomicOutput::OpenErrors errors, TAtomicOutput::Writing writing) {
    TAtomicOutput target(output, errors, writing);
    target.Write(writer);
    target.Commit();
}

// ---------------------------------------------------------------- conversions

void ShiftFileBytes(const std::string& input, const std::string& output, int delta) {
    // Read to the end rather than to a size taken first: a pipe or a device has no size.
    const ScopedDescriptor in(host::OpenFile(input, O_RDONLY));
    if (in.get() < 0) raiseOpenError(input, errno);
    WriteOutput(output, [&](const std::string& path) {
        host::TFileStream out(path, host::fmOpenWrite);
        std::vector<uint8_t> block(static_cast<size_t>(ShiftBlockSize));
        for (;;) {
            const int64_t n = host::ReadAll(in.get(), block.data(), ShiftBlockSize);
            if (n < 0) raiseOpenError(input, errno);
            if (n == 0) break;
            for (int64_t i = 0; i < n; ++i) block[i] = static_cast<uint8_t>(block[i] + delta);
            out.WriteBuffer(block.data(), n);
        }
        out.Close();
    }, TAtomicOutput::OpenErrors::Platform, TAtomicOutput::Writing::InOrder);
}

void RelocateFile(const std::string& input, const std::string& output, TRelocation relocation) {
    try {
        publishCopy(input, output);
    } catch (const EStreamError&) {
        // A regular file that cannot be copied may still be renamed (no read access, no
        // room for a second copy); the rename refuses an existing output as the copy did.
        // A symbolic link is not: renamed, it would be the output, dangling where it was
        // relative, and the file the user named would not have moved.
        if (relocation != TRelocation::CopyOrMove || !host::IsDeletableFile(input) ||
            !host::IsPlainRegularFile(input) || !host::MoveFile(input, output))
            throw;
        host::SyncDirectory(host::ExtractFilePath(output));
        host::SyncDirectory(host::ExtractFilePath(input));
    }
}
