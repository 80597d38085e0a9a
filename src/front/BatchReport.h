#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "front/BatchManifest.h"
#include "front/ConversionOutcome.h"

// The results of a batch as programs read them: result lines in JSON, and the lines an
// earlier results file reports done.

// What became of one manifest line in a batch.
enum class TLineStatus { Ok, Error, Skipped };

// text as a JSON string, quotes included. Valid UTF-8 is kept as it is, control
// characters and the two that JSON reserves are escaped, and each byte that is not part of
// valid UTF-8 is written as "\u00XX" with the byte's value (so a decoder that knows this
// program reads the very bytes back; any other reads the byte's Latin-1 character).
std::string JsonString(const std::string& text);

// The line's result as one JSON object on one line (with its line end): line, input,
// code, output, status, warnings, message, width, height, bytes, ms; null where the line
// has no such value.
std::string JsonResultLine(const TManifestLine& line, TLineStatus status, const TConversionOutcome& outcome);

// The counts of a batch's lines by what became of them.
struct TLineCounts {
    int64_t Lines = 0, Ok = 0, Errors = 0, Skipped = 0, Warned = 0;
};

// The closing object of a JSON results file: {"summary": true, ...counts, "ms": ...}.
std::string JsonSummaryLine(const TLineCounts& counts, int64_t ms);

// A line an earlier results file reports done, with the output it names: as the
// manifest has it (JSON), or as a tab-separated result line shows it (PrintableText).
struct TFinishedLine {
    std::string Output;
    bool Printable = false;
};

// The lines an earlier results file (result lines, tab-separated or JSON, in any order,
// several files one after the other) reports "ok" or "skipped", by line number. A line
// cut short (the run was killed while writing it) and lines that are not results are
// passed over.
std::map<long, TFinishedLine> FinishedLines(const std::string& results);
