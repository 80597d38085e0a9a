#include "codecs/PanelFrame.h"

#include <algorithm>

namespace {

// One bevel of the given width: top and left in one colour, bottom and right in the other.
void Frame3D(host::TCanvas& canvas, host::TRect& rect, host::TColor topLeft, host::TColor bottomRight, int32_t width) {
    for (int32_t i = 0; i < width && rect.Width() > 0 && rect.Height() > 0; ++i) {
        canvas.Brush.Color = topLeft;
        canvas.FillRect(host::Rect(rect.Left, rect.Top, rect.Right, rect.Top + 1));
        canvas.FillRect(host::Rect(rect.Left, rect.Top, rect.Left + 1, rect.Bottom));
        canvas.Brush.Color = bottomRight;
        canvas.FillRect(host::Rect(rect.Left, rect.Bottom - 1, rect.Right, rect.Bottom));
        canvas.FillRect(host::Rect(rect.Right - 1, rect.Top + 1, rect.Right, rect.Bottom));
        rect = host::Rect(rect.Left + 1, rect.Top + 1, rect.Right - 1, rect.Bottom - 1);
    }
}

void PaintBevel(host::TCanvas& canvas, host::TRect& rect, TBevelCut cut, int32_t width) {
    if (cut == bvNone) return;
    const bool lowered = cut == bvLowered;
    Frame3D(canvas, rect, lowered ? clBtnShadow : clBtnHighlight, lowered ? clBtnHighlight : clBtnShadow, width);
}

}  // namespace

void TPanelFrame::SetBounds(int32_t ALeft, int32_t ATop, int32_t AWidth, int32_t AHeight) {
    Left = ALeft;
    Top = ATop;
    width_ = std::max(AWidth, 0);
    height_ = std::max(AHeight, 0);
}

int32_t TPanelFrame::FrameWidth() const {
    const int bevels = (BevelOuter != bvNone) + (BevelInner != bvNone);
    return BevelWidth * bevels + 2 * BorderWidth;
}

void TPanelFrame::Paint(host::TCanvas& Canvas) {
    host::TRect rect = host::Rect(0, 0, width_, height_);
    PaintBevel(Canvas, rect, BevelOuter, BevelWidth);
    const host::TColor saved = Canvas.Brush.Color;
    Frame3D(Canvas, rect, Color, Color, BorderWidth);
    PaintBevel(Canvas, rect, BevelInner, BevelWidth);
    Canvas.Brush.Color = saved;
    PaintContents(Canvas);
    if (OnPaint) OnPaint(*this, Canvas);
}

TDoubleBufferedPanel::TDoubleBufferedPanel() { buffer_.SetPixelFormat(host::pf24bit); }

void TDoubleBufferedPanel::SetBounds(int32_t ALeft, int32_t ATop, int32_t AWidth, int32_t AHeight) {
    TPanelFrame::SetBounds(ALeft, ATop, AWidth, AHeight);
    const int32_t frame = FrameWidth();
    buffer_.SetSize(std::max(width_ - 2 * frame, 0), std::max(height_ - 2 * frame, 0));
}

void TDoubleBufferedPanel::PaintContents(host::TCanvas& Canvas) {
    const int32_t frame = FrameWidth();
    if (!buffer_.Empty())
        Canvas.StretchBitmap(host::Rect(frame, frame, frame + buffer_.Width(), frame + buffer_.Height()), buffer_,
                             host::Rect(0, 0, buffer_.Width(), buffer_.Height()), false);
}
