#pragma once

#include <cstdint>
#include <string>

// The platform's file services, on POSIX. Every function that reports failure
// through its result leaves errno set for LastErrorText().
namespace host {

// open(2) for a file: a directory is refused with EISDIR, since reading or writing one as
// a file can only fail later and less clearly. -1 on failure, errno set.
int OpenFile(const std::string& path, int flags, unsigned permissions = 0666);

// read(2) / write(2) until count bytes have moved or the file ends (interrupted calls are
// resumed); -1 when the system reports an error, errno set.
int64_t ReadAll(int fd, void* buffer, int64_t count);
int64_t WriteAll(int fd, const void* buffer, int64_t count);

// Copies count bytes of in, from offset on, to out at its position: inside the kernel
// (copy_file_range) where the two files allow it, else through a bounded buffer. Starts
// the write-back of what it copied as it goes, so that syncing out afterwards waits for
// little. The number of bytes copied, fewer only when in ends early; -1 with errno set on
// a failure, and failure (when given) telling which side failed.
enum class CopyFailure { None, Source, Dest };
int64_t CopyFileRange(int in, int64_t offset, int out, int64_t count, CopyFailure* failure = nullptr);

// Removes a file; false when it could not be removed.
bool DeleteFile(const std::string& path);



// Copies a file with its permission bits. With failIfExists an existing destination
// is refused (nothing is touched); otherwise it is replaced. A copy that fails part way
// leaves no partial destination behind. failure, when given, tells which side failed.
bool CopyFile(const std::string& source, const std::string& dest, bool failIfExists,
              CopyFailure* failure = nullptr);

// Renames a file; refuses (false, EEXIST) when the destination exists.
bool MoveFile(const std::string& source, const std::string& dest);

bool FileExists(const std::string& path);

// Whether the name exists in its folder, whatever it is (a dangling link counts).
bool PathIsTaken(const std::string& path);

// What a path names, its symbolic links followed. LinkLoop: a chain of links that never
// ends (ELOOP), which the system refuses to open.
enum class FileKind { Absent, Regular, Directory, Fifo, Socket, Device, Other, LinkLoop };
FileKind KindOfFile(const std::string& path);

// Whether path itself (its last component not followed) is a regular file, not a link.
bool IsPlainRegularFile(const std::string& path);

// Whether a device or a pipe open as fd can move its position: a pipe, a terminal or a
// socket cannot, and a writer that seeks back must then be given a file of its own.
bool IsSeekable(int fd);

// A file in memory (memfd), seekable and reachable by name through /proc; -1 with errno
// set on failure.
int CreateMemoryFile(const char* name);

// Whether removing path deletes a regular file: path is one, or a link to one that does
// not pass through /proc (/dev/stdin and /proc/self/fd/N name an open file of this
// process, and removing them would remove a system link, not the user's file).
bool IsDeletableFile(const std::string& path);

// Writes a file's data, or a folder's entries, through to the disk; false on failure.
bool SyncFile(int fd);
bool SyncDirectory(const std::string& directory);

// The permission bits a new file asking for mode gets under the process's umask.
unsigned UmaskedMode(unsigned mode = 0666);

// A new file in a folder that no other process can see or open before it is published:
// unnamed (O_TMPFILE, mode 0600) where the file system allows it, else a named file of
// mode 0600 with prefix and suffix around a random part. Unpublished, it leaves nothing
// behind: an unnamed file vanishes with the process, a named one is removed by the
// destructor, and by the process's handler of every signal that ends it by default (only
// SIGKILL, or a signal the caller handles itself, leaves it).
//
// Replacing an existing file from an unnamed one takes a hidden name beside it first,
// ".pixmorph-<hash of the file's name>-<slot>", locked (flock) by its process. A process
// killed between that link and the rename leaves the name; the next replacement of the
// same file removes every such name whose lock no living process holds.
class TPrivateFile {
public:
    // Raises EOSError with the errno of the failed creation.
    TPrivateFile(const std::string& directory, const std::string& prefix, const std::string& suffix);
    ~TPrivateFile();
    TPrivateFile(const TPrivateFile&) = delete;
    TPrivateFile& operator=(const TPrivateFile&) = delete;

    int Handle() const { return fd_; }
    // A name that opens this very file, for writers that open by name.
    const std::string& Path() const { return path_; }
    // Gives the file mode (and owner and group as far as the process may set them).
    void SetPermissions(unsigned mode, int owner = -1, int group = -1);
    // Syncs the file, gives it the name dest (replacing an existing file only when replace
    // is set; never a folder), then syncs dest's folder. false with errno set on failure,
    // and then nothing is published.
    bool Publish(const std::string& dest, bool replace);

private:
    bool linkAs(const std::string& dest) const;
    bool replaceWith(const std::string& dest);
    // The hidden name for replacing dest, its abandoned namesakes removed; linked to this
    // file. false with errno set when no name could be taken.
    bool stageBeside(const std::string& dest, std::string& staged);

    int fd_ = -1;
    std::string path_;
    std::string directory_;
    bool named_ = false;
    bool published_ = false;
    int pendingSlot_ = -1;  // the signal handler's entry for a named file
};

// Removes the named private files that are not published yet; safe in a handler of a
// signal that ends the process (SIGTERM in a batch worker, a CPU limit), so that such an
// end leaves no private file behind, as an unnamed one leaves none.
void RemovePrivateFilesNow() noexcept;

// The path made absolute against the working directory, "." and ".." folded away: file
// messages name the file in full whatever the caller typed.
std::string ExpandFileName(const std::string& path);

// The file a path finally names: symbolic links in its last component are followed (a
// dangling link gives the path it points to). Other paths come back unchanged. A link of
// /proc that names no path (/dev/stdout on a pipe: "pipe:[N]") is where the chain stops,
// since opening it reaches the pipe itself.
std::string ResolveLinks(const std::string& path);

// Gives fresh the permission bits of existing, and its owner and group as far as the
// process may set them; a file that is new gets UmaskedMode(). Either way only at
// publication does it become visible with them.
void AdoptPermissions(const std::string& existing, TPrivateFile& fresh);

// The system's directory for temporary files, with a trailing "/".
std::string TempDirectory();

// Full path of the running executable, from the kernel.
std::string ExecutablePath();

// The folder part of a path with its trailing "/" ("" when the path names no folder).
std::string ExtractFilePath(const std::string& path);

// The path with a trailing separator, unless it is empty or already ends in "\" or "/".
std::string IncludeTrailingBackslash(const std::string& path);

// Creates a new file that did not exist before: directory + prefix + random + suffix.
// Returns the path; the file is empty and closed. Raises EOSError on failure, with the
// errno of the failed creation as its ErrorCode.
// permissions are filtered by the umask as for any new file.
std::string CreateUniqueFile(const std::string& directory, const std::string& prefix,
                             const std::string& suffix, unsigned permissions = 0600);

// Milliseconds since some fixed point (the platform's tick count).
uint32_t TickCount();

}  // namespace host
