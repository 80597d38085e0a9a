#include "front/FileUtils.h"

#include <cerrno>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/Stream.h"

std::string ProgramDir;

namespace {

constexpr int64_t ShiftBlockSize = 1 << 20;

std::string directoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The extension with its dot, as the codec registry will see it in the temporary name.
std::string extensionOf(const std::string& path) {
    const auto dot = path.find_last_of("./\\:");
    return dot != std::string::npos && path[dot] == '.' ? path.substr(dot) : std::string();
}

[[noreturn]] void raiseCreateError(const std::string& path, int error) {
    throw EFCreateError(Format("Cannot create file \"%s\". %s", path.c_str(), SysErrorMessage(error).c_str()));
}

[[noreturn]] void raiseOpenError(const std::string& path, int error) {
    throw EFOpenError(Format("Cannot open file \"%s\". %s", path.c_str(), SysErrorMessage(error).c_str()));
}

}  // namespace

void InitializeFileUtils() { ProgramDir = directoryOf(host::ExecutablePath()); }

std::string IncludeTrailingBackslash(const std::string& path) {
    if (path.empty() || path.back() == '\\' || path.back() == '/') return path;
    return path + "/";
}

bool CopyFileTo(const std::string& source, const std::string& dest, bool overwrite) {
    return host::CopyFile(source, dest, !overwrite);
}

// ---------------------------------------------------------------- TAtomicOutput

TAtomicOutput::TAtomicOutput(std::string finalPath) : finalPath_(std::move(finalPath)) {}

TAtomicOutput::~TAtomicOutput() {
    if (!committed_ && !tempPath_.empty()) host::DeleteFile(tempPath_);
}

const std::string& TAtomicOutput::Path() {
    if (tempPath_.empty()) {
        try {
            tempPath_ = host::CreateUniqueFile(directoryOf(finalPath_), "pixmorph-", extensionOf(finalPath_), 0666);
        } catch (const EOSError&) {
            raiseCreateError(finalPath_, errno);
        }
    }
    return tempPath_;
}

void TAtomicOutput::Commit() {
    if (!host::ReplaceFile(Path(), finalPath_)) raiseCreateError(finalPath_, errno);
    committed_ = true;
}

// ---------------------------------------------------------------- conversions

void ShiftFileBytes(const std::string& input, const std::string& output, int delta) {
    host::TFileStream in(input, host::fmOpenRead);
    TAtomicOutput target(output);
    host::TFileStream out(target.Path(), host::fmOpenWrite);
    const int64_t size = in.GetSize();
    std::vector<uint8_t> block(static_cast<size_t>(std::min(size, ShiftBlockSize)));
    for (int64_t done = 0; done < size;) {
        const int64_t n = std::min(size - done, ShiftBlockSize);
        in.ReadBuffer(block.data(), n);
        for (int64_t i = 0; i < n; ++i) block[i] = static_cast<uint8_t>(block[i] + delta);
        out.WriteBuffer(block.data(), n);
        done += n;
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
