#pragma once

#include <string>

// The program's own directory, with a trailing "/"; plug-ins are looked up there.
// Set once by InitializeFileUtils.
extern std::string ProgramDir;
void InitializeFileUtils();

// Writes a copy of input in which every byte is shifted by delta (mod 256).
// The output appears complete or not at all.
void ShiftFileBytes(const std::string& input, const std::string& output, int delta);

// Copies input to output without overwriting, then tries to rename it there, so the data
// ends up at output. Raises when output already exists or nothing could be copied or moved.
void RelocateFile(const std::string& input, const std::string& output);

bool CopyFileTo(const std::string& source, const std::string& dest, bool overwrite);

// Where a conversion writes its output: a fresh file beside the final one with the same
// extension, renamed over the final name only by Commit. Until then an earlier file of
// that name is untouched; an uncommitted temporary file is removed.
// Through a symbolic link the file it names is replaced and the link stays; a replaced
// file keeps its permission bits (and owner and group where the process may set them).
class TAtomicOutput {
public:
    // How a temporary file that cannot be created is reported: as the platform's file
    // stream does ("Cannot create file ..."), or as the library's ("Error opening ...").
    enum class OpenErrors { Platform, LibraryStream };
    explicit TAtomicOutput(std::string finalPath, OpenErrors errors = OpenErrors::Platform);
    ~TAtomicOutput();
    TAtomicOutput(const TAtomicOutput&) = delete;
    TAtomicOutput& operator=(const TAtomicOutput&) = delete;

    // The temporary file's path, created on first use; a failure raises
    // "Cannot create file "%s". %s" (or the library's "Error opening "%s" - %s") naming
    // the final path.
    const std::string& Path();
    void Commit();

private:
    std::string finalPath_;
    OpenErrors errors_;
    std::string target_;  // finalPath_ with its links followed
    std::string tempPath_;
    bool committed_ = false;
};
