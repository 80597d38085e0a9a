#include "metafile/player/PlayBudget.h"

#include <algorithm>

#include "metafile/MetafileLimits.h"
#include "platform/Exceptions.h"

namespace host {

namespace {

// Records played over all bands: a large file played in many bands replays every record
// in each of them.
constexpr int64_t MaxRecordsPlayed = int64_t{1} << 22;
// The sum of the squares of the paths' points.
constexpr int64_t MaxPathWork = int64_t{1} << 31;
// Pixels covered: so many times the picture, plus a fixed allowance for small pictures.
constexpr int64_t CoveragePerPicturePixel = 16;
constexpr int64_t CoverageAllowance = int64_t{1} << 30;

}  // namespace

PlayBudget::PlayBudget(int64_t picturePixels)
    : maxArea_(std::max<int64_t>(0, picturePixels) * CoveragePerPicturePixel + CoverageAllowance) {}

void PlayBudget::exceeded() { throw EInvalidGraphic(SInvalidMetafile); }

void PlayBudget::record() {
    if (++records_ > MaxRecordsPlayed) exceeded();
}

void PlayBudget::path(int64_t points) {
    if (points > MaxPathPoints) exceeded();
    pathWork_ += points * points;
    if (pathWork_ > MaxPathWork) exceeded();
}

void PlayBudget::area(int64_t pixels, int64_t weight) {
    area_ += pixels * weight;
    if (area_ > maxArea_) exceeded();
}

}  // namespace host
