#pragma once

#include <string>
#include <vector>

// A batch's manifest: one conversion per line, "input<TAB>code<TAB>output".

// One line of a manifest: a conversion, or a line that is none (Refused says why).
struct TManifestLine {
    long LineNumber = 0;
    std::string Input, Code, Output;
    std::string Refused;
};

// The lines of a manifest's text, the first one numbered firstLine; empty lines and
// lines starting with "#" are skipped. A line that is not three non-empty fields, or
// whose fields hold a control character (a NUL would cut a path short), is refused as
// malformed.
std::vector<TManifestLine> ParseManifest(const std::string& text, long firstLine);

// Refuses, before anything runs, the lines that would write the same file as another, or
// read a file that another line writes: lines run in parallel and in no fixed order, so
// either would leave a result that depends on the order. Paths are compared as the files
// they name (after "*" stands for a blank, relative to the working folder, through
// symbolic links); devices such as /dev/null may be written by any number of lines.
void RefuseConflictingLines(std::vector<TManifestLine>& lines);
