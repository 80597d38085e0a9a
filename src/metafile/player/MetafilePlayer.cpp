#include "metafile/player/MetafilePlayer.h"

#include "metafile/player/EMFRecords.h"
#include "metafile/player/MetafileReader.h"
#include "metafile/player/Painter.h"
#include "metafile/player/WMFRecords.h"

namespace host {

namespace {

bool drawable(const PlayTarget& target) { return target.Pixels && target.Width > 0 && target.Height > 0; }

}  // namespace

void PlayEnhancedMetafile(const uint8_t* data, size_t size, const PlayTarget& target, const PlayRect& dest,
                          PlayBudget& budget) {
    if (!drawable(target)) return;
    Painter painter(target, true, budget);
    if (!painter.ready()) return;
    EMFRecords(painter).play(MetafileReader(data, size), dest);
}

void PlayWindowsMetafile(const uint8_t* data, size_t size, int16_t boundsLeft, int16_t boundsTop,
                         int16_t boundsRight, int16_t boundsBottom, const PlayTarget& target, const PlayRect& dest,
                         PlayBudget& budget) {
    if (!drawable(target)) return;
    Painter painter(target, false, budget);
    if (!painter.ready()) return;
    WMFRecords(painter).play(MetafileReader(data, size), boundsLeft, boundsTop, boundsRight, boundsBottom, dest);
}

}  // namespace host
