// The picker's own logic, apart from the terminal: its lines, its preview in the framed
// panel, its colour label, and the default answer when nobody can be asked.
#include <gtest/gtest.h>

#include "codecs/ICOLoader.h"
#include "picture/Dialogs.h"

namespace {

// An image whose pixel x, y (from the top) has palette index (x + y) % 4, masked on the diagonal.
void fill(TIconImage& image) {
    for (int i = 0; i < 4; ++i) {
        image.Palette[4 * i] = static_cast<uint8_t>(40 * i);      // red
        image.Palette[4 * i + 1] = static_cast<uint8_t>(10 + i);  // green
        image.Palette[4 * i + 2] = 200;                            // blue
    }
    for (int y = 0; y < image.Height; ++y)
        for (int x = 0; x < image.Width; ++x) {
            const int row = image.Height - 1 - y;
            image.XorBits[static_cast<size_t>(row) * image.XorRowBytes + x] = static_cast<uint8_t>((x + y) % 4);
            if (x == y) image.AndMask[static_cast<size_t>(row) * image.AndRowBytes + x / 8] |= 0x80 >> (x % 8);
        }
}

host::TColor paletteColor(int i) { return host::RGB(static_cast<uint8_t>(40 * i), static_cast<uint8_t>(10 + i), 200); }

}  // namespace

TEST(IconSelectionForm, ListsEveryImageAndPreviewsTheChosenOneInsideTheFrames) {
    TIconList list;
    list.FileType = TIconList::ftCursor;
    fill(list.Add(6, 5, 8));
    fill(list.Add(250, 100, 8));
    TIconSelectionForm form(list, 0x0000FF);  // red
    form.FormShow();
    EXPECT_EQ(form.SelectBox.Items, (std::vector<std::string>{"Cursor 6 x 5 8 bit", "Cursor 250 x 100 8 bit"}));
    EXPECT_EQ(form.ItemIndex(), 0);
    EXPECT_EQ(form.ColorLabel, "$ff0000");
    EXPECT_EQ(form.ColorPanel, 0x0000FF);
    EXPECT_EQ(form.PanelFrame.Width(), 8);
    EXPECT_EQ(form.PanelFrame.Height(), 7);

    host::TBitmap panel;
    panel.SetPixelFormat(host::pf24bit);
    panel.SetSize(8, 7);
    form.PanelFrame.Paint(panel.Canvas());
    // A lowered bevel: shadow at the top and left, highlight at the bottom and right.
    EXPECT_EQ(panel.GetPixel(3, 0), clBtnShadow);
    EXPECT_EQ(panel.GetPixel(0, 3), clBtnShadow);
    EXPECT_EQ(panel.GetPixel(3, 6), clBtnHighlight);
    EXPECT_EQ(panel.GetPixel(7, 3), clBtnHighlight);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 6; ++x)
            ASSERT_EQ(panel.GetPixel(x + 1, y + 1), x == y ? 0x0000FF : paletteColor((x + y) % 4)) << x << "," << y;

    // A large image is previewed in a panel of at most 193 x 73.
    form.SelectBox.ItemIndex = 1;
    form.SelectBoxChange();
    EXPECT_EQ(form.PanelFrame.Width(), 193);
    EXPECT_EQ(form.PanelFrame.Height(), 73);
    EXPECT_EQ(form.PanelFrame.Buffer().Width(), 191);
}

TEST(IconSelectionForm, FilesOfAnotherTypeGetNoWordAndNobodyToAskMeansTheFirstImage) {
    host::SetAskUser(false);
    TIconList list;
    list.FileType = TIconList::ftAny;
    fill(list.Add(3, 2, 8));
    fill(list.Add(4, 4, 8));
    TIconSelectionForm form(list, 0x123456);
    form.FormShow();
    EXPECT_EQ(form.SelectBox.Items, (std::vector<std::string>{" 3 x 2 8 bit", " 4 x 4 8 bit"}));
    form.SelectBox.ItemIndex = 1;
    EXPECT_EQ(form.ShowModal(), host::mrOk);
    EXPECT_EQ(form.ItemIndex(), 0);
    EXPECT_EQ(form.Color(), 0x123456);
    // The colour dialog cannot be answered either, and changes nothing.
    form.TransparentButtonClick();
    EXPECT_EQ(form.Color(), 0x123456);
}
