#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/Exceptions.h"
#include "platform/Files.h"

// The program's own directory, with a trailing "/"; plug-ins are looked up there.
// Set once by InitializeFileUtils.
extern std::string ProgramDir;
void InitializeFileUtils();

// Writes a copy of input in which every byte is shifted by delta (mod 256).
// The output appears complete or not at all.
void ShiftFileBytes(const std::string& input, const std::string& output, int delta);

// Whether RelocateFile may move the input when it cannot be copied.
enum class TRelocation { CopyOnly, CopyOrMove };

// Copies input to output without overwriting: the copy is made in a private file beside
// output and takes the name only when complete, so an interrupted call leaves nothing.
// Raises when output already exists ("File exists", checked before anything is copied,
// so a full disk does not hide it) or the copy cannot be made; with CopyOrMove a regular
// file that cannot be copied is renamed instead (never a folder, a device or a symbolic
// link: a link is copied from the file it names, or not at all). The input stays; the
// caller decides whether it goes.
void RelocateFile(const std::string& input, const std::string& output, TRelocation relocation);

bool CopyFileTo(const std::string& source, const std::string& dest, bool overwrite);

// Whether the input of a completed conversion was converted or moved (code 108), for the
// warning of an input that stays.
enum class TInputFate { Converted, Moved };

// The input of a completed conversion goes, unless it is not a regular file (a device, a
// pipe, /dev/stdin) or the output took its place. An input that the system will not
// delete (a folder without write access) stays: the text of the warning that says so,
// naming the input and the system's reason, comes back for the caller to report.
std::optional<std::string> DeleteConvertedInput(const std::string& input, const std::string& output,
                                                TInputFate fate = TInputFate::Converted);

// Raises "Cannot create file "%s". %s" when output can be no file at all: a folder, a loop
// of symbolic links or a socket. For callers that choose a writer by the output's name
// before anything is opened.
void RefuseImpossibleOutput(const std::string& output);

// Where a conversion writes its output. An output that is a regular file or new is
// written to a private file beside it (unnamed where the file system allows, else named
// with mode 0600) that gets its final permissions, is synced and only then takes the
// name, in Commit; until then an earlier file of that name is untouched, and an
// uncommitted private file leaves nothing behind. A device or a pipe is written in place.
// A device or a pipe that cannot seek (a FIFO, /dev/stdout on a pipe or a terminal)
// gets the whole file at Commit: the writer, which may seek back, writes into memory.
// Through a symbolic link the file it names is replaced and the link stays; a replaced
// file keeps its permission bits (and owner and group where the process may set them).
class TAtomicOutput {
public:
    // How a private file that cannot be created is reported: as the platform's file
    // stream does ("Cannot create file ..."), or as the library's ("Error opening ...").
    enum class OpenErrors { Platform, LibraryStream };
    // Whether the writer may seek back (an encoder filling in lengths), or writes its
    // bytes in order, which a pipe may then take as they come.
    enum class Writing { MaySeek, InOrder };
    explicit TAtomicOutput(std::string finalPath, OpenErrors errors = OpenErrors::Platform,
                           Writing writing = Writing::MaySeek);
    ~TAtomicOutput();
    TAtomicOutput(const TAtomicOutput&) = delete;
    TAtomicOutput& operator=(const TAtomicOutput&) = delete;

    // The path a writer opens, prepared on first use; a failure raises
    // "Cannot create file "%s". %s" (or the library's "Error opening "%s" - %s") naming
    // the final path.
    const std::string& Path();
    // Runs writer on Path(). A failure to write is raised as "Cannot create file "%s". %s"
    // with the final path and the system's reason; no message names the private file.
    void Write(const std::function<void(const std::string& path)>& writer);
    void Commit();

private:
    [[noreturn]] void raiseNamingOutput(const Exception& failure) const;
    // Opens the device or pipe target_ and, when it cannot seek and the writer may, sends
    // the writer to a file in memory instead.
    void prepareInPlace(bool isPipe);

    std::string finalPath_;
    OpenErrors errors_;
    Writing writing_;
    std::string target_;  // finalPath_ with its links followed
    std::string path_;
    std::unique_ptr<host::TPrivateFile> file_;  // none when written in place
    // A pipe's write end, held from before the writer opens it until the end: a writer
    // may open it for reading and writing, which does not wait for the reader, and what
    // it wrote before the reader came would be lost.
    int pipeWriter_ = -1;
    int spool_ = -1;  // the memory file a writer that may seek fills for a pipe
    bool committed_ = false;
};

// One output written by writer and committed: the usual use of TAtomicOutput.
void WriteOutput(const std::string& output, const std::function<void(const std::string& path)>& writer,
                 TAtomicOutput::OpenErrors errors = TAtomicOutput::OpenErrors::Platform,
                 TAtomicOutput::Writing writing = TAtomicOutput::Writing::MaySeek);
