#include "platform/DamageReport.h"

#include <algorithm>
#include <utility>

namespace host {
namespace {

// A file damaged all through may report at every block: a few kinds are enough to act on.
constexpr size_t MaxReports = 16;

std::vector<std::string>& reports() {
    static std::vector<std::string> recorded;
    return recorded;
}

}  // namespace

void ReportDamage(const std::string& what) {
    auto& recorded = reports();
    if (recorded.size() < MaxReports && std::find(recorded.begin(), recorded.end(), what) == recorded.end())
        recorded.push_back(what);
}

std::vector<std::string> TakeDamageReports() { return std::exchange(reports(), {}); }

}  // namespace host
