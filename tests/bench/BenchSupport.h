#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "TestData.h"

namespace bench_support {

struct ProcessCost {
    int exitCode = -1;
    double seconds = 0;     // wall clock
    double cpuSeconds = 0;  // the child's user + system time
    long peakRssKb = 0;  // the child's peak resident memory
};

// Runs a program (looked up in PATH, no shell), output discarded, and measures it.
ProcessCost runMeasured(const std::vector<std::string>& argv);

using test_data::testdata;
using test_data::testdataRoot;
// Whether the folder is there; the first call without it prints one notice that the
// photographs are left out, so a clone without the data still benchmarks what it can.
bool haveTestdata();

// A whole file's bytes (empty when it cannot be read).
inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The shortest wall-clock time of `rounds` calls of f, in seconds.
template <class F>
double BestSeconds(int rounds, F&& f) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

// The best wall and CPU time and the largest peak memory of several runs of one command.
struct Best {
    double seconds = 1e30;
    double cpuSeconds = 1e30;
    long peakRssKb = 0;
    int failures = 0;
};

// Runs argv `runs` times, calling prepare() before each run (outside the measurement).
template <class Prepare>
Best measureBest(const std::vector<std::string>& argv, Prepare prepare, int runs = 5) {
    Best best;
    for (int i = 0; i < runs; ++i) {
        prepare();
        const ProcessCost cost = runMeasured(argv);
        if (cost.exitCode != 0) ++best.failures;
        if (cost.seconds < best.seconds) best.seconds = cost.seconds;
        if (cost.cpuSeconds < best.cpuSeconds) best.cpuSeconds = cost.cpuSeconds;
        if (cost.peakRssKb > best.peakRssKb) best.peakRssKb = cost.peakRssKb;
    }
    return best;
}

}  // namespace bench_support
