#include "metafile/player/PlayBudget.h"

#include <algorithm>

#include "metafile/MetafileLimits.h"
#include "picture/BitmapTypes.h"
#include "platform/Exceptions.h"

namespace host {

PlayBudget::PlayBudget(int64_t picturePixels)
    : maxArea_(std::max<int64_t>(0, picturePixels) * CoveragePerPicturePixel + CoverageAllowance) {}

namespace {

[[noreturn]] void exceeded() { throw EInvalidGraphic(SInvalidMetafile); }

}  // namespace

void PlayBudget::check() const {
    const double used = static_cast<double>(records_) / MaxRecordsPlayed +
                        static_cast<double>(pathWork_) / MaxPathWork +
                        static_cast<double>(area_) / static_cast<double>(maxArea_);
    if (used > 1.0) exceeded();
}

void PlayBudget::record() {
    ++records_;
    check();
}

void PlayBudget::path(int64_t points) {
    if (points > MaxPathPoints) exceeded();
    pathWork_ += points * points;
    check();
}

void PlayBudget::area(int64_t pixels, int64_t weight) {
    // Each factor is bounded alone before the product is formed.
    if (pixels > maxArea_ || weight > maxArea_) exceeded();
    area_ += pixels * weight;
    check();
}

void PlayBudget::glyphs(int64_t count) {
    if (count <= 0) return;
    if (count > MaxRecordsPlayed) exceeded();
    records_ += count * GlyphRecordShare;
    check();
}

}  // namespace host
