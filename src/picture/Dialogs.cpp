#include "picture/Dialogs.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

#include "platform/Files.h"

namespace host {

namespace {

bool askingAllowed = true;

void WriteTerminal(const std::string& text) {
    if (!text.empty()) WriteAll(STDERR_FILENO, text.data(), static_cast<int64_t>(text.size()));
}

std::string Background(TColor color) {
    char text[32];
    std::snprintf(text, sizeof text, "\x1b[48;2;%d;%d;%dm", GetRValue(color), GetGValue(color), GetBValue(color));
    return text;
}

std::string Foreground(TColor color) {
    char text[32];
    std::snprintf(text, sizeof text, "\x1b[38;2;%d;%d;%dm", GetRValue(color), GetGValue(color), GetBValue(color));
    return text;
}

const char* const ResetColors = "\x1b[0m";

}  // namespace

bool CanAskUser() { return askingAllowed && ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1; }

void SetAskUser(bool allowed) { askingAllowed = allowed; }

void TTerminalDialog::Write(const std::string& text) { WriteTerminal(text); }

bool TTerminalDialog::ReadLine(std::string& line) {
    // Byte by byte: whatever follows the line stays unread for the next question.
    line.clear();
    for (;;) {
        char c;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return !line.empty();
        if (c == '\n') break;
        if (c != '\r') line.push_back(c);
    }
    return true;
}

int TTerminalDialog::Columns() const {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

void TTerminalDialog::ShowBitmap(const TBitmap& bitmap) {
    if (bitmap.Empty()) return;
    const TBitmap* shown = &bitmap;
    TBitmap shrunk;
    const int32_t columns = std::max(Columns() - 1, 1);
    if (bitmap.Width() > columns) {
        const int32_t height = std::max<int32_t>(1, static_cast<int32_t>(int64_t{bitmap.Height()} * columns / bitmap.Width()));
        shrunk.SetPixelFormat(pf24bit);
        shrunk.SetSize(columns, height);
        shrunk.Canvas().StretchBitmap(Rect(0, 0, columns, height), bitmap, Rect(0, 0, bitmap.Width(), bitmap.Height()),
                                      false);
        shown = &shrunk;
    }
    std::vector<uint32_t> upper(static_cast<size_t>(shown->Width())), lower(upper.size());
    std::string text;
    for (int32_t y = 0; y < shown->Height(); y += 2) {
        shown->ReadRowRGB(y, 0, shown->Width(), upper.data());
        const bool pair = y + 1 < shown->Height();
        if (pair) shown->ReadRowRGB(y + 1, 0, shown->Width(), lower.data());
        // Row words hold blue in the low byte; colours hold red there.
        auto color = [](uint32_t word) { return RGB(word >> 16 & 0xFF, word >> 8 & 0xFF, word & 0xFF); };
        for (size_t x = 0; x < upper.size(); ++x) {
            // A last row without a partner keeps the terminal's own background below it.
            text += pair ? Background(color(lower[x])) : std::string(ResetColors);
            text += Foreground(color(upper[x]));
            text += "\xe2\x96\x80";  // upper half block
        }
        text += ResetColors;
        text += "\n";
    }
    Write(text);
}

std::string TTerminalDialog::Swatch(TColor color) { return Background(color) + "  " + ResetColors; }

void TTerminalDialog::ClearScreen() { Write("\x1b[H\x1b[2J"); }

bool ParseHexColor(const std::string& text, TColor& color) {
    std::string digits = text;
    if (!digits.empty() && (digits[0] == '$' || digits[0] == '#')) digits.erase(0, 1);
    if (digits.size() != 6) return false;
    uint32_t value = 0;
    for (char c : digits) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    color = RGB(static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value));
    return true;
}

std::string HexColor(TColor color) {
    char text[8];
    std::snprintf(text, sizeof text, "%02x%02x%02x", GetRValue(color), GetGValue(color), GetBValue(color));
    return text;
}

namespace {

struct CustomColor {
    char letter;
    TColor color;
};

// The custom colours given as "ColorA=FE00FF" ... "ColorP=...".
std::vector<CustomColor> ParseCustomColors(const std::vector<std::string>& entries) {
    std::vector<CustomColor> colors;
    for (const std::string& entry : entries) {
        TColor color;
        if (entry.size() > 7 && entry.compare(0, 5, "Color") == 0 && entry[6] == '=' &&
            ParseHexColor(entry.substr(7), color))
            colors.push_back({static_cast<char>(std::toupper(static_cast<unsigned char>(entry[5]))), color});
    }
    return colors;
}

}  // namespace

bool TColorDialog::Execute() {
    if (!CanAskUser()) return false;
    TTerminalDialog terminal;
    const std::vector<CustomColor> customs = ParseCustomColors(CustomColors);
    std::string offered;
    for (const CustomColor& custom : customs)
        offered += std::string(", ") + custom.letter + " for " + TTerminalDialog::Swatch(custom.color) + " " +
                   HexColor(custom.color);
    for (;;) {
        terminal.Write("Color as rrggbb" + offered + " (now " + TTerminalDialog::Swatch(Color) + " " + HexColor(Color) +
                       ", empty line: keep): ");
        std::string answer;
        if (!terminal.ReadLine(answer) || answer.empty()) return false;
        TColor chosen;
        if (ParseHexColor(answer, chosen)) {
            Color = chosen;
            return true;
        }
        for (const CustomColor& custom : customs) {
            if (answer.size() == 1 && std::toupper(static_cast<unsigned char>(answer[0])) == custom.letter) {
                Color = custom.color;
                return true;
            }
        }
        terminal.Write("Not a colour: " + answer + "\n");
    }
}

}  // namespace host
