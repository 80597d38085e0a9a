#include "image/LinearGraphic.h"

#include "streams/HostStream.h"

void TLinearGraphic::AssignTo(host::TPersistent& Dest) {
    if (auto* linear = dynamic_cast<TLinearGraphic*>(&Dest)) {
        Image.AssignTo(linear->Image);
        return;
    }
    Image.AssignTo(Dest);
}

void TLinearGraphic::Draw(host::TCanvas& Canvas, const host::TRect& Rect) {
    Canvas.SetStretchBltMode(host::COLORONCOLOR);
    Image.Draw(Canvas, Rect, false);
}

void TLinearGraphic::SetHeight(int32_t Value) { Image.ResizeCanvas(Image.Width, Value, 0, 0, 0); }

void TLinearGraphic::SetWidth(int32_t Value) { Image.ResizeCanvas(Value, Image.Height, 0, 0, 0); }

void TLinearGraphic::LoadFromFile(const std::string& FileName) { Image.LoadFromFile(FileName); }

void TLinearGraphic::SaveToFile(const std::string& FileName) { Image.SaveToFile(FileName); }

void TLinearGraphic::LoadFromStream(host::TStream& Stream) {
    host::TBitmap bitmap;
    bitmap.LoadFromStream(Stream);
    Image.TakeOverPlatformBitmap(bitmap);
}

void TLinearGraphic::SaveToStream(host::TStream& Stream) {
    host::TBitmap bitmap;
    Image.AssignTo(bitmap);
    bitmap.SaveToStream(Stream);
}

void TLinearGraphic::LoadThroughCodec(host::TStream& Stream, const char* Ext) {
    THostFilterStream wrapper(&Stream);
    Image.LoadFromStream(wrapper, Ext);
}

void TLinearGraphic::SaveThroughCodec(host::TStream& Stream, const char* Ext) {
    THostFilterStream wrapper(&Stream);
    Image.SaveToStream(wrapper, Ext);
}
