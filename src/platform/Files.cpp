#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <vector>

#include "platform/Exceptions.h"

namespace host {
namespace {

constexpr size_t CopyBlockSize = 1 << 20;

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { if (fd_ >= 0) ::close(fd_); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    // Closes now and reports whether the close (the last chance for a write error) succeeded.
    bool close() { const int fd = fd_; fd_ = -1; return ::close(fd) == 0; }

private:
    int fd_;
};

bool copyContent(int in, int out) {
    std::vector<char> buffer(CopyBlockSize);
    for (;;) {
        const int64_t n = ReadAll(in, buffer.data(), CopyBlockSize);
        if (n < 0) return false;
        if (n == 0) return true;
        if (WriteAll(out, buffer.data(), n) != n) return false;
    }
}

}  // namespace

int OpenFile(const std::string& path, int flags, unsigned permissions) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, permissions);
    if (fd < 0) return -1;
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}

int64_t ReadAll(int fd, void* buffer, int64_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t total = 0;
    while (total < count) {
        const ssize_t n = ::read(fd, out + total, static_cast<size_t>(count - total));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        total += n;
    }
    return total;
}

int64_t WriteAll(int fd, const void* buffer, int64_t count) {
    const auto* in = static_cast<const uint8_t*>(buffer);
    int64_t total = 0;
    while (total < count) {
        const ssize_t n = ::write(fd, in + total, static_cast<size_t>(count - total));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        total += n;
    }
    return total;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool FileExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

std::string ExpandFileName(const std::string& path) {
    std::filesystem::path full(path);
    if (full.is_relative()) {
        std::error_code error;
        const auto cwd = std::filesystem::current_path(error);
        if (!error) full = cwd / full;
    }
    return full.lexically_normal().string();
}

std::string ResolveLinks(const std::string& path) {
    constexpr int MaxLinks = 40;  // the kernel's own limit on a chain of links
    std::string current = path;
    for (int hop = 0; hop < MaxLinks; ++hop) {
        struct stat info;
        if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return current;
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<size_t>(n) >= target.size()) return current;
        target.resize(static_cast<size_t>(n));
        if (target[0] != '/') {
            const auto slash = current.find_last_of('/');
            if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
        }
        current = target;
    }
    return current;
}

void AdoptPermissions(const std::string& existing, const std::string& fresh) {
    struct stat info;
    if (::stat(existing.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return;
    // Owner first: changing it may clear set-id bits, which the mode then restores.
    if (::chown(fresh.c_str(), info.st_uid, info.st_gid) != 0) (void)::chown(fresh.c_str(), static_cast<uid_t>(-1), info.st_gid);
    (void)::chmod(fresh.c_str(), info.st_mode & 07777);
}

bool CopyFile(const std::string& source, const std::string& dest, bool failIfExists,
              CopyFailure* failure) {
    CopyFailure ignored;
    CopyFailure& side = failure ? *failure : ignored;
    side = CopyFailure::Source;
    FileDescriptor in(OpenFile(source, O_RDONLY));
    if (!in.valid()) return false;
    struct stat info;
    if (::fstat(in.get(), &info) != 0) return false;
    side = CopyFailure::Dest;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (failIfExists ? O_EXCL : O_TRUNC);
    FileDescriptor out(::open(dest.c_str(), flags, info.st_mode & 07777));  // dest may be new: no OpenFile
    if (!out.valid()) return false;
    if (!copyContent(in.get(), out.get()) || !out.close()) {
        const int error = errno;
        ::unlink(dest.c_str());
        errno = error;
        return false;
    }
    side = CopyFailure::None;
    return true;
}

bool MoveFile(const std::string& source, const std::string& dest) {
#ifdef SYS_renameat2
    constexpr unsigned RenameNoReplace = 1;
    if (::syscall(SYS_renameat2, AT_FDCWD, source.c_str(), AT_FDCWD, dest.c_str(), RenameNoReplace) == 0)
        return true;
    if (errno != ENOSYS && errno != EINVAL) return false;
#endif
    // File systems without renameat2: a hard link refuses an existing name too.
    if (::link(source.c_str(), dest.c_str()) != 0) return false;
    ::unlink(source.c_str());
    return true;
}

bool ReplaceFile(const std::string& source, const std::string& dest) {
    return ::rename(source.c_str(), dest.c_str()) == 0;
}

std::string TempDirectory() {
    const char* dir = std::getenv("TMPDIR");
    std::string result = (dir && *dir) ? dir : "/tmp";
    if (result.back() != '/') result += '/';
    return result;
}

std::string ExecutablePath() {
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
    if (n <= 0 || static_cast<size_t>(n) >= path.size()) return {};
    path.resize(static_cast<size_t>(n));
    return path;
}

std::string ExtractFilePath(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string IncludeTrailingBackslash(const std::string& path) {
    if (path.empty() || path.back() == '\\' || path.back() == '/') return path;
    return path + "/";
}

std::string CreateUniqueFile(const std::string& directory, const std::string& prefix,
                             const std::string& suffix, unsigned permissions) {
    static std::mt19937_64 generator{std::random_device{}()};
    constexpr int Attempts = 100;
    for (int attempt = 0; attempt < Attempts; ++attempt) {
        char random[17];
        std::snprintf(random, sizeof random, "%016llx", static_cast<unsigned long long>(generator()));
        std::string path = directory + prefix + random + suffix;
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, permissions);
        if (fd >= 0) {
            ::close(fd);
            return path;
        }
        if (errno != EEXIST) RaiseLastOSError(errno);
    }
    RaiseLastOSError(EEXIST);
}

uint32_t TickCount() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

}  // namespace host
