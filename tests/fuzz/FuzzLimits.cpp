// Linked into every fuzz target and its replay: a lower limit on one image buffer, so that
// inputs claiming large images stay fast to run, whatever the target.
#include "platform/CheckedSize.h"

namespace {

constexpr int64_t FuzzMaxImageBytes = int64_t{32} << 20;

const bool limited = (SetMaxImageBytes(FuzzMaxImageBytes), true);

}  // namespace
