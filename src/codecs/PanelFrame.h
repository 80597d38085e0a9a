#pragma once

#include <cstdint>
#include <functional>

#include "picture/Graphics.h"
#include "platform/Object.h"

// A control framed by an outer bevel, a border of its own colour and an inner bevel.
// It paints no background of its own: what lies inside the frames is the paint event's.
enum TBevelCut : uint8_t { bvNone, bvLowered, bvRaised };

inline constexpr host::TColor clBtnShadow = 0x808080;
inline constexpr host::TColor clBtnHighlight = 0xFFFFFF;
inline constexpr host::TColor clBtnFace = 0xC0C0C0;

class TPanelFrame : public TObject {
public:
    PIXMORPH_CLASS_NAME(TPanelFrame)
    virtual ~TPanelFrame() = default;

    int32_t Left = 0, Top = 0;
    TBevelCut BevelOuter = bvRaised;
    TBevelCut BevelInner = bvNone;
    int32_t BevelWidth = 1;
    int32_t BorderWidth = 0;
    host::TColor Color = clBtnFace;
    // Called after the frames are painted, with the canvas the panel paints on.
    std::function<void(TPanelFrame& Sender, host::TCanvas& Canvas)> OnPaint;

    int32_t Width() const { return width_; }
    int32_t Height() const { return height_; }
    virtual void SetBounds(int32_t ALeft, int32_t ATop, int32_t AWidth, int32_t AHeight);
    // Bevel width for each bevel present plus the border on both sides of it.
    int32_t FrameWidth() const;
    // Paints the frames, then the contents, then the paint event, with the panel's
    // top-left corner at (0, 0) of Canvas.
    void Paint(host::TCanvas& Canvas);

protected:
    virtual void PaintContents(host::TCanvas& Canvas) {}

    int32_t width_ = 0, height_ = 0;
};

// A framed panel that draws through an off-screen bitmap of the area inside its frames.
class TDoubleBufferedPanel : public TPanelFrame {
public:
    PIXMORPH_CLASS_NAME(TDoubleBufferedPanel)
    TDoubleBufferedPanel();

    void SetBounds(int32_t ALeft, int32_t ATop, int32_t AWidth, int32_t AHeight) override;
    // Where the owner draws; it shows inside the frames on the next Paint.
    host::TCanvas& DrawCanvas() { return buffer_.Canvas(); }
    const host::TBitmap& Buffer() const { return buffer_; }

protected:
    void PaintContents(host::TCanvas& Canvas) override;

private:
    host::TBitmap buffer_;
};
