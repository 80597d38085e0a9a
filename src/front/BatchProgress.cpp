#include "front/BatchProgress.h"

#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>

namespace {

constexpr auto RedrawInterval = std::chrono::milliseconds(100);
// Carriage return and "erase to the end of the line".
constexpr const char* ClearLine = "\r\033[K";

std::string MinutesAndSeconds(double seconds) {
    const long whole = static_cast<long>(seconds + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

}  // namespace

TBatchProgress::TBatchProgress(size_t total) : total_(total), shown_(::isatty(STDERR_FILENO) == 1) {}

double TBatchProgress::SecondsSinceStart() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void TBatchProgress::Update(size_t done) {
    if (!shown_ || Clock::now() - lastDrawn_ < RedrawInterval) return;
    lastDrawn_ = Clock::now();
    Draw(done);
}

void TBatchProgress::Clear() {
    // Result lines going elsewhere cannot meet the progress line.
    if (!::isatty(STDOUT_FILENO) || !std::exchange(drawn_, false)) return;
    std::fputs(ClearLine, stderr);
    std::fflush(stderr);
    lastDrawn_ = {};
}

void TBatchProgress::Draw(size_t done) {
    drawn_ = true;
    const double elapsed = SecondsSinceStart();
    const double rate = elapsed > 0 ? done / elapsed : 0;
    const std::string left = rate > 0 ? MinutesAndSeconds((total_ - done) / rate) : "?";
    std::fprintf(stderr, "%s%zu / %zu  %.1f files/s  %s left", ClearLine, done, total_, rate, left.c_str());
    std::fflush(stderr);
}

void TBatchProgress::Finish(const TLineCounts& counts) {
    if (!shown_) return;
    std::fprintf(stderr, "%s%lld converted, %lld with warnings, %lld failed, %.1f s\n", ClearLine,
                 static_cast<long long>(counts.Ok), static_cast<long long>(counts.Warned),
                 static_cast<long long>(counts.Errors), SecondsSinceStart());
    std::fflush(stderr);
}
