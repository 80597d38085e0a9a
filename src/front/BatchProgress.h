#pragma once

#include <chrono>
#include <cstddef>

#include "front/BatchReport.h"

// The batch's progress line on standard error, shown only when standard error is a
// terminal: done / total, files per second and the time left, redrawn at most ten times a
// second, cleared at the end and followed by a one-line summary.
class TBatchProgress {
public:
    explicit TBatchProgress(size_t total);
    TBatchProgress(const TBatchProgress&) = delete;
    TBatchProgress& operator=(const TBatchProgress&) = delete;

    bool Shown() const { return shown_; }
    void Update(size_t done);
    // Takes the progress line off the terminal, so that what is printed next (result
    // lines on the same terminal) starts a line of its own; the next Update draws it again.
    void Clear();
    void Finish(const TLineCounts& counts);

private:
    using Clock = std::chrono::steady_clock;
    double SecondsSinceStart() const;
    void Draw(size_t done);

    size_t total_;
    bool shown_;
    Clock::time_point start_ = Clock::now();
    Clock::time_point lastDrawn_{};
    bool drawn_ = false;
};
