#include "platform/MessageBox.h"

#include <cstdio>

namespace host {

void ShowErrorBox(const std::string& caption, const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
}

}  // namespace host
