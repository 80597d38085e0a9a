#pragma once

#include <string>
#include <vector>

#include "picture/Graphics.h"

// Modal dialogs without a window system: a person at a terminal answers them on that
// terminal. When nobody can answer (standard input or standard error is not a terminal,
// as for a process another program starts) a dialog takes its default button at once,
// so such a process never waits for input.
namespace host {

enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2 };

// True when standard input and standard error are both terminals and asking is allowed.
bool CanAskUser();
// Programs that must never ask (a test run, a fuzzer) turn asking off for good.
void SetAskUser(bool allowed);

// The terminal a dialog talks to: it writes to standard error and reads from standard input.
class TTerminalDialog {
public:
    void Write(const std::string& text);
    // One line without its end; false at the end of the input.
    bool ReadLine(std::string& line);
    // Columns of the terminal (80 when it does not say).
    int Columns() const;
    // Paints a bitmap with coloured half blocks, two pixel rows a text line, shrunk to
    // fit the terminal's width.
    void ShowBitmap(const TBitmap& bitmap);
    // "  " on the colour's background.
    static std::string Swatch(TColor color);
    void ClearScreen();
};

// Options of the colour dialog.
enum TColorDialogOption : unsigned { cdFullOpen = 1, cdAnyColor = 2 };

// The colour dialog: asks for a colour as six hexadecimal digits (red, green, blue), or a
// letter for one of the custom colours ("ColorA=FE00FF").
class TColorDialog {
public:
    TColor Color = clBlack;
    unsigned Options = 0;
    std::vector<std::string> CustomColors;
    // True when a colour was chosen; false when the dialog was left (empty answer, end
    // of input) or nobody can answer.
    bool Execute();
};

// Parses "rrggbb", "$rrggbb" or "#rrggbb" (case-insensitive) into a colour; false otherwise.
bool ParseHexColor(const std::string& text, TColor& color);
// "rrggbb" in lower case, red first.
std::string HexColor(TColor color);

}  // namespace host
