#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <vector>

// Record type to handler, for the record players of either kind. Types without a
// handler are records with no visible effect here, or unknown ones: they are skipped.
namespace host {

template <class Handler>
class RecordTable {
public:
    struct Entry {
        uint32_t type;
        Handler handler;
    };

    RecordTable(std::initializer_list<Entry> entries) : entries_(entries) {
        std::sort(entries_.begin(), entries_.end(), [](const Entry& a, const Entry& b) { return a.type < b.type; });
    }

    // The handler of a type; null when there is none.
    Handler find(uint32_t type) const {
        auto it = std::lower_bound(entries_.begin(), entries_.end(), type,
                                   [](const Entry& e, uint32_t t) { return e.type < t; });
        return it != entries_.end() && it->type == type ? it->handler : nullptr;
    }

private:
    std::vector<Entry> entries_;
};

}  // namespace host
