#include <gtest/gtest.h>

#include "picture/Dialogs.h"

TEST(ColorDialogText, HexadecimalColoursReadAndWriteRedFirst) {
    struct Case {
        const char* text;
        bool ok;
        host::TColor color;
    };
    const Case cases[] = {
        {"ff0000", true, 0x0000FF}, {"$00FF00", true, 0x00FF00}, {"#0000ff", true, 0xFF0000},
        {"fE00Ff", true, 0xFF00FE}, {"fff", false, 0},           {"gg0000", false, 0},
        {"", false, 0},             {"$", false, 0},             {"1234567", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        host::TColor color = -1;
        EXPECT_EQ(host::ParseHexColor(c.text, color), c.ok);
        if (c.ok) {
            EXPECT_EQ(color, c.color);
        }
    }
    EXPECT_EQ(host::HexColor(0xFF00FF), "ff00ff");
    EXPECT_EQ(host::HexColor(0x563412), "123456");
}
