#pragma once

// pixmorph --batch [-j N] [--first-line N] [--json] [--resume RESULTS]... [--timeout S]
// [--slice K/N] MANIFEST: many conversions from one start. Every manifest line
// "input<TAB>code<TAB>output" is converted as "pixmorph input code output" converts it, in
// worker processes that run the same conversion; one result line per manifest line (or
// per line of the slice) goes to standard output, in the manifest's order, tab-separated
// or as JSON. Lines an earlier run's results report done are skipped; a line past the
// time limit is stopped.

// True when the command line asks for the batch mode.
bool IsBatchCall(int argc, char** argv);

// The whole batch: 0 when every line converted, 1 when any failed, 2 when the manifest
// could not be read, a line was malformed or named no conversion.
int RunBatch(int argc, char** argv);
