#include "platform/Files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <utility>
#include <vector>

#include "platform/Exceptions.h"

namespace host {
namespace {

constexpr size_t CopyBlockSize = 1 << 20;
// CopyFileRange starts the write-back after every step of this many bytes.
constexpr int64_t WriteBackStep = int64_t{8} << 20;
constexpr unsigned PrivateMode = 0600;
constexpr long ProcFileSystem = 0x9fa0;  // PROC_SUPER_MAGIC
constexpr int MaxLinks = 40;             // the kernel's own limit on a chain of links


// ---------------------------------------------------------------- names to remove on a signal

// The named files of this process that a signal must not leave behind: a named private
// file, the hidden name of a replacement. Kept in fixed buffers, since the handler may
// only read memory and call unlink.
constexpr size_t PendingNameSlots = 8;
constexpr size_t PendingNameLength = 4096;
enum PendingState : int { Free, Writing, Held };
struct PendingName {
    std::atomic<int> state{Free};  // Held once path is written; the handler reads only then
    std::atomic<int> fd{-1};       // the file open under that name, closed first
    char path[PendingNameLength];
};
PendingName pendingNames[PendingNameSlots];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads these flags");

// The signals whose default action ends the process and that a handler may catch.
constexpr int EndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,   SIGALRM, SIGUSR1, SIGUSR2,
                                 SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGABRT, SIGBUS,  SIGFPE,  SIGILL,
                                 SIGSEGV, SIGSYS};

void removePendingNames() {
    for (PendingName& name : pendingNames) {
        if (name.state.load(std::memory_order_acquire) != Held) continue;
        // Closed first: a file system that keeps an open file's name (FUSE renames it to
        // .fuse_hidden...) can then drop it at once.
        if (const int fd = name.fd.load(); fd >= 0) ::close(fd);
        ::unlink(name.path);
    }
}

extern "C" void removePendingNamesAndEnd(int signal) {
    const int savedErrno = errno;
    removePendingNames();
    // The handler was reset to the default on entry (SA_RESETHAND); the signal raised
    // again waits until the handler returns and then ends the process as it would have.
    ::raise(signal);
    errno = savedErrno;
}

// Installed once, the first time a name is registered, for the signals still at their
// default: a signal the program ignores or handles itself is left as it is.
void installSignalHandlers() {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) return;
    for (const int signal : EndingSignals) {
        struct sigaction current {};
        if (::sigaction(signal, nullptr, &current) != 0 || current.sa_handler != SIG_DFL ||
            (current.sa_flags & SA_SIGINFO))
            continue;
        struct sigaction handler {};
        handler.sa_handler = removePendingNamesAndEnd;
        sigemptyset(&handler.sa_mask);
        handler.sa_flags = SA_RESETHAND;
        ::sigaction(signal, &handler, nullptr);
    }
}

// A slot holding path until it is released; -1 when the path does not fit or every slot
// is taken (the name is then only removed by the destructor).
int registerPendingName(const std::string& path) {
    installSignalHandlers();
    if (path.size() >= PendingNameLength) return -1;
    for (size_t slot = 0; slot < PendingNameSlots; ++slot) {
        int expected = Free;
        if (!pendingNames[slot].state.compare_exchange_strong(expected, Writing)) continue;
        std::copy(path.begin(), path.end(), pendingNames[slot].path);
        pendingNames[slot].path[path.size()] = '\0';
        pendingNames[slot].fd.store(-1);
        pendingNames[slot].state.store(Held, std::memory_order_release);
        return static_cast<int>(slot);
    }
    return -1;
}

void releasePendingName(int slot) {
    if (slot >= 0) pendingNames[slot].state.store(Free, std::memory_order_release);
}

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

// Holds back every signal for the length of a scope, errno kept across its end.
class SignalBlock {
public:
    SignalBlock() {
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous_);
    }
    ~SignalBlock() {
        const int error = errno;
        ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
        errno = error;
    }
    SignalBlock(const SignalBlock&) = delete;
    SignalBlock& operator=(const SignalBlock&) = delete;

private:
    sigset_t previous_;
};

// How many replacements of one file may be under way at once; each takes a hidden name.
constexpr int StagingSlots = 64;

// copy_file_range refuses these pairs of files (another file system, a pipe, a device):
// the bytes then go through a buffer.
bool kernelCannotCopy(int error) {
    return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS || error == EBADF ||
           error == ETXTBSY;
}

// One step of CopyFileRange through a buffer: up to count bytes from in at offset.
int64_t copyThroughBuffer(int in, int64_t offset, int out, int64_t count, std::vector<uint8_t>& buffer,
                          CopyFailure& side) {
    buffer.resize(CopyBlockSize);
    int64_t got;
    do {
        got = ::pread(in, buffer.data(), std::min<int64_t>(count, CopyBlockSize), offset);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        side = CopyFailure::Source;
        return got;
    }
    side = CopyFailure::Dest;
    const int64_t written = WriteAll(out, buffer.data(), got);
    // A write that moves nothing without an error is a full disk.
    if (written >= 0 && written < got) errno = ENOSPC;
    return written == got ? got : -1;
}

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

int64_t CopyFileRange(int in, int64_t offset, int out, int64_t count, CopyFailure* failure) {
    CopyFailure ignored;
    CopyFailure& side = failure ? *failure : ignored;
    std::vector<uint8_t> buffer;
    bool inKernel = true;
    int64_t done = 0;
    while (done < count) {
        const int64_t step = std::min<int64_t>(count - done, WriteBackStep);
        int64_t n;
        if (inKernel) {
            loff_t from = offset + done;
            n = ::copy_file_range(in, &from, out, nullptr, static_cast<size_t>(step), 0);
            if (n < 0 && kernelCannotCopy(errno)) {
                inKernel = false;
                continue;
            }
            side = CopyFailure::Dest;
        } else {
            n = copyThroughBuffer(in, offset + done, out, step, buffer, side);
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) {
            side = CopyFailure::Source;  // in ended early
            break;
        }
        // Only a hint: a pipe or a device refuses it, and nothing is lost then.
        (void)::sync_file_range(out, 0, 0, SYNC_FILE_RANGE_WRITE);
        done += n;
    }
    return done;
}


bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool FileExists(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

bool PathIsTaken(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
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

namespace {

bool isInProc(const std::string& path) {
    struct statfs info;
    const std::string folder = ExtractFilePath(path);
    return ::statfs(folder.empty() ? "." : folder.c_str(), &info) == 0 && info.f_type == ProcFileSystem;
}

// The next path of a link chain; false at the end of the chain.
bool followLink(std::string& current) {
    struct stat info;
    if (::lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return false;
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<size_t>(n) >= target.size()) return false;
    target.resize(static_cast<size_t>(n));
    // /proc/self/fd/N of a pipe or a socket reads "pipe:[N]": no path, and opening the
    // link itself reaches the object.
    if (target[0] != '/' && isInProc(current)) return false;
    if (target[0] != '/') {
        const auto slash = current.find_last_of('/');
        if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = target;
    return true;
}

}  // namespace

std::string ResolveLinks(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop < MaxLinks && followLink(current); ++hop) {
    }
    return current;
}

FileKind KindOfFile(const std::string& path) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return errno == ELOOP ? FileKind::LinkLoop : FileKind::Absent;
    if (S_ISREG(info.st_mode)) return FileKind::Regular;
    if (S_ISDIR(info.st_mode)) return FileKind::Directory;
    if (S_ISFIFO(info.st_mode)) return FileKind::Fifo;
    if (S_ISSOCK(info.st_mode)) return FileKind::Socket;
    if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode)) return FileKind::Device;
    return FileKind::Other;
}

bool IsDeletableFile(const std::string& path) {
    std::string current = path;
    for (int hop = 0; hop <= MaxLinks; ++hop) {
        if (isInProc(current)) return false;
        if (!followLink(current)) return KindOfFile(current) == FileKind::Regular;
    }
    return false;
}

bool IsPlainRegularFile(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool IsSeekable(int fd) { return ::lseek(fd, 0, SEEK_CUR) >= 0; }

int CreateMemoryFile(const char* name) { return ::memfd_create(name, MFD_CLOEXEC); }

bool SyncFile(int fd) { return ::fsync(fd) == 0; }

bool SyncDirectory(const std::string& directory) {
    FileDescriptor folder(::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return folder.valid() && ::fsync(folder.get()) == 0;
}

unsigned UmaskedMode(unsigned mode) {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mode & ~mask;
}

void AdoptPermissions(const std::string& existing, TPrivateFile& fresh) {
    struct stat info;
    if (::stat(existing.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        fresh.SetPermissions(UmaskedMode());
        return;
    }
    fresh.SetPermissions(info.st_mode & 07777, static_cast<int>(info.st_uid), static_cast<int>(info.st_gid));
}

// ---------------------------------------------------------------- TPrivateFile

void RemovePrivateFilesNow() noexcept { removePendingNames(); }

TPrivateFile::TPrivateFile(const std::string& directory, const std::string& prefix, const std::string& suffix)
    : directory_(directory) {
    fd_ = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, PrivateMode);
    const std::string byDescriptor = "/proc/self/fd/" + std::to_string(fd_);
    if (fd_ >= 0 && ::access(byDescriptor.c_str(), W_OK) == 0) {
        path_ = byDescriptor;
        return;
    }
    // No unnamed files here (or no /proc to reach them by name): a named private one,
    // known to the signal handler from before it exists until it is published or removed.
    if (fd_ >= 0) ::close(fd_);
    const SignalBlock quiet;
    path_ = CreateUniqueFile(directory, prefix, suffix, PrivateMode);
    named_ = true;
    pendingSlot_ = registerPendingName(path_);
    fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        const int error = errno;
        ::unlink(path_.c_str());
        releasePendingName(std::exchange(pendingSlot_, -1));
        RaiseLastOSError(error);
    }
    if (pendingSlot_ >= 0) pendingNames[pendingSlot_].fd.store(fd_);
}

TPrivateFile::~TPrivateFile() {
    if (named_ && !published_) ::unlink(path_.c_str());
    releasePendingName(pendingSlot_);
    if (fd_ >= 0) ::close(fd_);
}

void TPrivateFile::SetPermissions(unsigned mode, int owner, int group) {
    // Owner first: changing it may clear set-id bits, which the mode then restores.
    if (owner >= 0 && ::fchown(fd_, static_cast<uid_t>(owner), static_cast<gid_t>(group)) != 0)
        (void)::fchown(fd_, static_cast<uid_t>(-1), static_cast<gid_t>(group));
    (void)::fchmod(fd_, mode & 07777);
}

bool TPrivateFile::linkAs(const std::string& dest) const {
    if (named_) return MoveFile(path_, dest);
    return ::linkat(AT_FDCWD, path_.c_str(), AT_FDCWD, dest.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

namespace {

// 64-bit FNV-1a: the same name gives the same hidden name in every build and process.
uint64_t nameHash(const std::string& text) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (const unsigned char c : text) hash = (hash ^ c) * 0x100000001b3ULL;
    return hash;
}

// Removes the hidden name path when the process that took it is gone: its lock (held on
// the file for as long as that process has it open) can be taken. A name whose lock is
// held, or a file system without locks, leaves the name alone.
void removeIfAbandoned(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened, named;
    if (!file.valid() || ::flock(file.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(file.get(), &opened) != 0) return;
    // The name may have been renamed away meanwhile: remove it only while it is this file.
    if (::lstat(path.c_str(), &named) == 0 && named.st_dev == opened.st_dev && named.st_ino == opened.st_ino)
        ::unlink(path.c_str());
}

}  // namespace

bool TPrivateFile::stageBeside(const std::string& dest, std::string& staged) {
    const auto slash = dest.find_last_of('/');
    char hash[17];
    std::snprintf(hash, sizeof hash, "%016llx",
                  static_cast<unsigned long long>(nameHash(slash == std::string::npos ? dest : dest.substr(slash + 1))));
    const std::string stem = directory_ + ".pixmorph-" + hash + "-";
    // Any other process replacing dest sees the lock from before the name exists. Where
    // the file system has no locks, no other process can take one either and the name is
    // never taken for abandoned.
    (void)::flock(fd_, LOCK_EX | LOCK_NB);
    for (int slot = 0; slot < StagingSlots; ++slot) {
        const std::string name = stem + std::to_string(slot);
        if (::access(name.c_str(), F_OK) == 0 || errno != ENOENT) removeIfAbandoned(name);
    }
    for (int slot = 0; slot < StagingSlots; ++slot) {
        staged = stem + std::to_string(slot);
        if (linkAs(staged)) return true;
        if (errno != EEXIST) return false;
    }
    errno = EBUSY;
    return false;
}

// Replacing takes a name beside dest and a rename over it. The signals that end a process
// wait until both are done, and the handler knows the name, so that only SIGKILL can leave
// it behind; the next replacement of dest removes it then.
bool TPrivateFile::replaceWith(const std::string& dest) {
    if (KindOfFile(dest) == FileKind::Directory) {
        errno = EISDIR;
        return false;
    }
    std::string staged = path_;
    const SignalBlock quiet;
    bool done = true;
    int stagedSlot = -1;
    if (!named_) {
        done = stageBeside(dest, staged);
        if (done) stagedSlot = registerPendingName(staged);
    }
    if (done && ::rename(staged.c_str(), dest.c_str()) != 0) {
        const int error = errno;
        if (!named_) ::unlink(staged.c_str());
        errno = error;
        done = false;
    }
    const int error = errno;
    releasePendingName(stagedSlot);
    errno = error;
    return done;
}

bool TPrivateFile::Publish(const std::string& dest, bool replace) {
    if (!SyncFile(fd_)) return false;
    // Where dest is new, the file takes its name in one step.
    if (!linkAs(dest) && !(replace && errno == EEXIST && replaceWith(dest))) return false;
    published_ = true;
    releasePendingName(std::exchange(pendingSlot_, -1));
    return SyncDirectory(ExtractFilePath(dest));
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
