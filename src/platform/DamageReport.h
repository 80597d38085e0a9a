#pragma once

#include <string>
#include <vector>

// Damage that a decoder read past instead of failing (a file that ends early, corrupt
// data it skipped): the conversion goes on with what the file held, and the front end
// warns and keeps the input, so the only intact copy of what survived is not lost unseen.
namespace host {

// The damage seen by one conversion. While a record lives, the damage reported goes to it
// (to the one made last, when records nest), and it dies with the conversion: nothing one
// file's damage left behind can reach the next conversion.
class TDamageRecord {
public:
    TDamageRecord();
    ~TDamageRecord();
    TDamageRecord(const TDamageRecord&) = delete;
    TDamageRecord& operator=(const TDamageRecord&) = delete;

    // What was reported, in order, each text once.
    const std::vector<std::string>& Reports() const { return reports_; }
    void Add(const std::string& what);

private:
    std::vector<std::string> reports_;
    TDamageRecord* outer_;
};

// Records one damage for the conversion in progress (its TDamageRecord); a text already
// recorded is kept once. With no conversion in progress there is nobody to warn, and the
// report is dropped.
void ReportDamage(const std::string& what);

}  // namespace host
