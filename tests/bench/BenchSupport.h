#pragma once

#include <string>
#include <vector>

namespace bench_support {

struct ProcessCost {
    int exitCode = -1;
    double seconds = 0;     // wall clock
    double cpuSeconds = 0;  // the child's user + system time
    long peakRssKb = 0;  // the child's peak resident memory
};

// Runs a program (looked up in PATH, no shell), output discarded, and measures it.
ProcessCost runMeasured(const std::vector<std::string>& argv);

// The shared test-data folder: PIXMORPH_TESTDATA from the environment, else the build's default.
const std::string& testdataRoot();
// Whether the folder is there; the first call without it prints one notice that the
// photographs are left out, so a clone without the data still benchmarks what it can.
bool haveTestdata();
std::string testdata(const std::string& relative);

}  // namespace bench_support
