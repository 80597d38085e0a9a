#pragma once

#include <string>
#include <vector>

#include "front/BatchWorkers.h"

// pixmorph --batch [-j N] [--first-line N] MANIFEST: many conversions from one start.
// Every manifest line "input<TAB>code<TAB>output" is converted as "pixmorph input code
// output" converts it, in worker processes that run the same conversion; one result line
// per manifest line goes to standard output, in the manifest's order.

// One line of a manifest: a conversion, or a line that is none (Malformed says why).
struct TManifestLine {
    long LineNumber = 0;
    std::string Input, Code, Output;
    std::string Malformed;
};

// The lines of a manifest's text, the first one numbered firstLine; empty lines and
// lines starting with "#" are skipped.
std::vector<TManifestLine> ParseManifest(const std::string& text, long firstLine);

// A line's result lines and what they count as.
struct TLineResult {
    std::string Text;
    bool Failed = false;
    bool HasWarnings = false;
    bool NotAConversion = false;  // malformed, or a code no conversion has
};

// What a line's conversion reported (the reports "pixmorph" prints as "Pixmorph: ...")
// turned into result lines: warnings first, then "ok" with the output, or "error" with
// the report.
TLineResult LineResult(const TManifestLine& line, const TJobReport& report);

// True when the command line asks for the batch mode.
bool IsBatchCall(int argc, char** argv);

// The whole batch: 0 when every line converted, 1 when any failed, 2 when the manifest
// could not be read, a line was malformed or named no conversion.
int RunBatch(int argc, char** argv);
