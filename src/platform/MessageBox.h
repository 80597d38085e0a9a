#pragma once

#include <string>

namespace host {

// The application's modal error box. Without a window system it becomes one report on
// standard error: "<caption>: <text>".
void ShowErrorBox(const std::string& caption, const std::string& text);

}  // namespace host
