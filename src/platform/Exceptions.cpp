#include "platform/Exceptions.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

std::string Format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<size_t>(length) + 1);
        std::vsnprintf(result.data(), result.size(), fmt, args);
        result.resize(static_cast<size_t>(length));
    }
    va_end(args);
    return result;
}

std::string SysErrorMessage(int error) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text;
}

std::string LastErrorText() { return SysErrorMessage(errno); }

void RaiseLastOSError(int error) {
    throw EOSError(Format("System Error.  Code: %d.\n%s", error, SysErrorMessage(error).c_str()), error);
}

void AssertionFailed(const char* text, const char* unit, int line) {
    throw EAssertionFailed(Format("%s (%s, line %d)", text, unit, line));
}
