#include "codecs/ICOLoader.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>

#include "platform/Exceptions.h"
#include "streams/MemStream.h"
#include "streams/Streams.h"
#include "platform/SysUtils.h"

namespace {

const char* const IconDescription = "Windows icon";
const char* const CursorDescription = "Windows cursor";

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Colour of palette entry i of a linear bitmap's blue-green-red table.
host::TColor TableColor(const uint8_t* table, int i) {
    return host::RGB(table[3 * i + 2], table[3 * i + 1], table[3 * i]);
}

void SetMaskBit(TIconImage& image, int32_t x, int32_t fileRow) {
    image.AndMask[static_cast<size_t>(fileRow) * image.AndRowBytes + (x >> 3)] |= static_cast<uint8_t>(0x80 >> (x & 7));
}

}  // namespace

// ---------------------------------------------------------------- TIconSelectionForm

TIconSelectionForm::TIconSelectionForm(const TIconList& List, host::TColor Color) : list_(List) {
    ColorDialog.Color = Color;
    ColorDialog.Options = host::cdFullOpen | host::cdAnyColor;
    ColorDialog.CustomColors = {"ColorA=FE00FF"};
    PanelFrame.BevelOuter = bvLowered;
    PanelFrame.SetBounds(8, 40, PreviewWidth, PreviewHeight);
}

void TIconSelectionForm::FormShow() {
    const char* kind = list_.FileType == TIconList::ftIcon     ? "Icon"
                       : list_.FileType == TIconList::ftCursor ? "Cursor"
                                                               : "";
    SelectBox.Items.clear();
    for (int32_t i = 0; i < list_.Count(); ++i) {
        const TIconImage& image = list_[i];
        SelectBox.Items.push_back(Format("%s %d x %d %d bit", kind, image.Width, image.Height, image.BitCount));
    }
    SelectBox.ItemIndex = 0;
    SelectBoxChange();
}

void TIconSelectionForm::SelectBoxChange() {
    if (SelectBox.ItemIndex < 0 || SelectBox.ItemIndex >= list_.Count()) return;
    const TIconImage& image = list_[SelectBox.ItemIndex];
    PanelFrame.SetBounds(PanelFrame.Left, PanelFrame.Top, std::min(image.Width + 2, PreviewWidth),
                         std::min(image.Height + 2, PreviewHeight));
    host::TCanvas& canvas = PanelFrame.DrawCanvas();
    canvas.Brush.Color = Color();
    canvas.FillRect(host::Rect(0, 0, PanelFrame.Buffer().Width(), PanelFrame.Buffer().Height()));
    image.Draw(canvas, 0, 0);
    ColorLabel = Format("$%s", host::HexColor(Color()).c_str());
    ColorPanel = Color();
}

void TIconSelectionForm::TransparentButtonClick() {
    if (ColorDialog.Execute()) SelectBoxChange();
}

void TIconSelectionForm::Render(host::TTerminalDialog& Terminal) {
    Terminal.ClearScreen();
    std::string text = Caption + "\n\n";
    for (size_t i = 0; i < SelectBox.Items.size(); ++i)
        text += Format("%s%2zu  %s\n", static_cast<int32_t>(i) == SelectBox.ItemIndex ? " > " : "   ", i + 1,
                       SelectBox.Items[i].c_str());
    text += "\n";
    Terminal.Write(text);

    host::TBitmap panel;
    panel.SetPixelFormat(host::pf24bit);
    panel.SetSize(PanelFrame.Width(), PanelFrame.Height());
    PanelFrame.Paint(panel.Canvas());
    Terminal.ShowBitmap(panel);

    Terminal.Write("\n" + TransparentButton + ": " + host::TTerminalDialog::Swatch(ColorPanel) + " " + ColorLabel +
                   "\n" + Label1 + "\n\n" +
                   "number: choose that image   t: " + TransparentButton + "   empty line or o: Ok   c: Cancel\n> ");
}

int TIconSelectionForm::ShowModal() {
    if (!host::CanAskUser()) {
        // The default button, as a person pressing Enter at once would choose.
        SelectBox.ItemIndex = list_.Count() > 0 ? 0 : -1;
        return host::mrOk;
    }
    FormShow();
    host::TTerminalDialog terminal;
    std::string notice;
    for (;;) {
        Render(terminal);
        if (!notice.empty()) terminal.Write(notice);
        notice.clear();
        std::string answer;
        if (!terminal.ReadLine(answer)) {
            terminal.Write("\n");
            return host::mrCancel;
        }
        answer = UpperCase(Trimmed(answer));
        if (answer.empty() || answer == "O" || answer == "OK") return host::mrOk;
        if (answer == "C" || answer == "CANCEL") return host::mrCancel;
        if (answer == "T") {
            TransparentButtonClick();
            continue;
        }
        const bool digits = answer.size() <= 5 && std::all_of(answer.begin(), answer.end(), ::isdigit);
        const long number = digits ? std::stol(answer) : 0;
        if (number >= 1 && number <= list_.Count()) {
            SelectBox.ItemIndex = static_cast<int32_t>(number - 1);
            SelectBoxChange();
            continue;
        }
        notice = "(no such choice: " + answer + ") ";
    }
}

// ---------------------------------------------------------------- TICOLoader

std::string TICOLoader::GetLoadFilter() {
    return std::string(IconDescription) + " (*.ico)|*.ico|" + CursorDescription + " (*.cur)|*.cur";
}

void TICOLoader::LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    std::unique_ptr<TMemStream> copy;
    TSeekableStream* seekable = &SeekableView(Stream, copy);
    TIconList list;
    list.LoadFromStream(*seekable);
    if (list.Count() == 0) throw ELinearBitmap("No icons in file");

    TIconSelectionForm form(list, TransparentColor);
    if (form.ShowModal() != host::mrOk) throw EAbort("Operation aborted");
    TransparentColor = form.Color();
    const TIconImage& image = list[form.ItemIndex()];
    if (list.FileType == TIconList::ftCursor) {
        HotSpotX = image.HotSpotX;
        HotSpotY = image.HotSpotY;
    }
    TLinearBitmap result;
    image.AssignTo(result, TransparentColor);
    Bitmap.TakeOver(result);
    // One image is read; the others of the file are not. Masked pixels take one colour,
    // which only this codec writes back as the mask; partial alpha is not kept at all.
    Bitmap.Metadata.FramesDropped = list.Count() > 1;
    bool masked = false, partial = false;
    for (int32_t row = 0; row < image.Height; ++row)
        for (int32_t x = 0; x < image.Width; ++x) {
            masked = masked || image.Transparent(x, row);
            if (image.BitCount != 32) continue;
            const uint8_t alpha = image.XorBits[static_cast<size_t>(row) * image.XorRowBytes + static_cast<size_t>(x) * 4 + 3];
            masked = masked || alpha < 128;
            partial = partial || (alpha != 0 && alpha != 255);
        }
    Bitmap.Metadata.TransparentColour = masked;
    Bitmap.Metadata.AlphaDropped = partial;
}

void TICOLoader::SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    if (!Bitmap.Present) throw ELinearBitmap("Invalid bitmap size");
    if (Bitmap.Width > 255 || Bitmap.Height > 255) throw Exception("Image is too large for icon");
    const TLinearBitmap* source = &Bitmap;
    std::unique_ptr<TLinearBitmap> converted;
    if (Bitmap.PixelFormat == pfGray16 || Bitmap.PixelFormat == pfBGRX32) {
        converted = std::make_unique<TLinearBitmap>(Bitmap);
        converted->ChangePixelFormat(pfBGR24);
        source = converted.get();
    }
    const int32_t width = source->Width, height = source->Height;
    const host::TColor key = TransparentColor & 0xFFFFFF;

    TIconList list;
    list.FileType = UpperCase(Ext) == "ICO" ? TIconList::ftIcon : TIconList::ftCursor;
    TIconImage* image;
    if (source->PixelFormat == pfBGR24) {
        image = &list.Add(width, height, 24);
        const uint8_t keyBGR[3] = {host::GetBValue(key), host::GetGValue(key), host::GetRValue(key)};
        for (int32_t r = 0; r < height; ++r) {
            const uint8_t* s = source->ScanLine(height - 1 - r);
            uint8_t* d = image->XorBits.data() + static_cast<size_t>(r) * image->XorRowBytes;
            for (int32_t x = 0; x < width; ++x, s += 3, d += 3) {
                if (std::memcmp(s, keyBGR, 3) == 0) {
                    d[0] = d[1] = d[2] = 0;
                    SetMaskBit(*image, x, r);
                } else {
                    std::memcpy(d, s, 3);
                }
            }
        }
    } else if (source->PixelFormat == pfIndexed8) {
        const uint8_t* table = source->Palette ? source->Palette.get() : GrayPalette;
        bool transparent[256];
        for (int i = 0; i < 256; ++i) transparent[i] = TableColor(table, i) == key;
        int highest = 1;
        for (int32_t y = 0; y < height; ++y) {
            const uint8_t* s = source->ScanLine(y);
            for (int32_t x = 0; x < width; ++x)
                if (!transparent[s[x]]) highest = std::max<int>(highest, s[x]);
        }
        const int bits = highest > 15 ? 8 : 4;
        image = &list.Add(width, height, bits);
        for (int32_t r = 0; r < height; ++r) {
            const uint8_t* s = source->ScanLine(height - 1 - r);
            uint8_t* d = image->XorBits.data() + static_cast<size_t>(r) * image->XorRowBytes;
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t index = s[x];
                if (transparent[index]) {
                    SetMaskBit(*image, x, r);
                    if (bits == 8) d[x] = 0;
                } else if (bits == 8) {
                    d[x] = index;
                } else {
                    d[x >> 1] |= static_cast<uint8_t>((x & 1) ? index : index << 4);
                }
            }
        }
        for (int i = 0; i < (1 << bits); ++i) {
            uint8_t* entry = image->Palette.data() + 4 * i;
            if (transparent[i]) continue;  // stays all zero
            entry[0] = table[3 * i + 2];
            entry[1] = table[3 * i + 1];
            entry[2] = table[3 * i];
        }
    } else {
        throw ELinearBitmap("Unsupported pixel format");
    }
    if (list.FileType == TIconList::ftCursor) {
        image->HotSpotX = HotSpotX;
        image->HotSpotY = HotSpotY;
    } else {
        // An icon's entry holds its colour planes and depth in those fields; a cursor's
        // hot spot there would describe the image wrongly.
        image->HotSpotX = 1;
        image->HotSpotY = image->BitCount;
    }
    list.SaveToStream(Stream);
}

// ---------------------------------------------------------------- unit

void InitializeICOLoader() {
    if (!RegisterLoaderOnce<TICOLoader>()) return;
    host::TPicture::RegisterFileFormat<TICOGraphic>("ICO", IconDescription);
    host::TPicture::RegisterFileFormat<TCURGraphic>("CUR", CursorDescription);
}

void FinalizeICOLoader() {
    host::TPicture::UnregisterGraphicClass<TCURGraphic>();
    host::TPicture::UnregisterGraphicClass<TICOGraphic>();
}

TICOLoader& ICOLoader() {
    InitializeICOLoader();
    return SharedLoader<TICOLoader>();
}
