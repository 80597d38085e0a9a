#pragma once

#include <string>
#include <vector>

// Damage that a decoder read past instead of failing (a file that ends early, corrupt
// data it skipped): the conversion goes on with what the file held, and the front end
// warns and keeps the input, so the only intact copy of what survived is not lost unseen.
namespace host {

// Records one damage for the conversion in progress; a text already recorded is kept once.
void ReportDamage(const std::string& what);

// The damage recorded since the last call, in the order reported; the record is emptied.
std::vector<std::string> TakeDamageReports();

}  // namespace host
