#include "platform/DamageReport.h"

#include <algorithm>

namespace host {
namespace {

// A file damaged all through may report at every block: a few kinds are enough to act on.
constexpr size_t MaxReports = 16;

TDamageRecord* current = nullptr;

}  // namespace

TDamageRecord::TDamageRecord() : outer_(current) { current = this; }

TDamageRecord::~TDamageRecord() { current = outer_; }

void TDamageRecord::Add(const std::string& what) {
    if (reports_.size() < MaxReports && std::find(reports_.begin(), reports_.end(), what) == reports_.end())
        reports_.push_back(what);
}

void ReportDamage(const std::string& what) {
    if (current) current->Add(what);
}

}  // namespace host
