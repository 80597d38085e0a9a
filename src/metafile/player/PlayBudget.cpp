#include "metafile/player/PlayBudget.h"

#include <algorithm>

#include "metafile/MetafileLimits.h"
#include "platform/Exceptions.h"

namespace host {

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
