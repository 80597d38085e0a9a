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

// Removes a file; false when it could not be removed.
bool DeleteFile(const std::string& path);

enum class CopyFailure { None, Source, Dest };

// Copies a file with its permission bits. With failIfExists an existing destination
// is refused (nothing is touched); otherwise it is replaced. A copy that fails part way
// leaves no partial destination behind. failure, when given, tells which side failed.
bool CopyFile(const std::string& source, const std::string& dest, bool failIfExists,
              CopyFailure* failure = nullptr);

// Renames a file; refuses (false, EEXIST) when the destination exists.
bool MoveFile(const std::string& source, const std::string& dest);

// Renames a file over an existing destination in one step.
bool ReplaceFile(const std::string& source, const std::string& dest);

bool FileExists(const std::string& path);

// The path made absolute against the working directory, "." and ".." folded away: file
// messages name the file in full whatever the caller typed.
std::string ExpandFileName(const std::string& path);

// The file a path finally names: symbolic links in its last component are followed (a
// dangling link gives the path it points to). Other paths come back unchanged.
std::string ResolveLinks(const std::string& path);

// Gives fresh the permission bits of existing, and its owner and group as far as the
// process may set them. Nothing happens when existing is not there.
void AdoptPermissions(const std::string& existing, const std::string& fresh);

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
