#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "codecs/IconList.h"
#include "codecs/PanelFrame.h"
#include "image/LinarBitmap.h"
#include "image/LinearGraphic.h"
#include "picture/Dialogs.h"

// The picker shown for every icon or cursor read: one line per image, a preview on the
// transparent colour, and the choice of that colour. Without a person to answer it takes
// its default button at once: image 0 and the colour it was given.
class TIconSelectionForm : public TObject {
public:
    PIXMORPH_CLASS_NAME(TIconSelectionForm)
    TIconSelectionForm(const TIconList& List, host::TColor Color);

    static constexpr int32_t ClientWidth = 296;
    static constexpr int32_t ClientHeight = 169;
    static constexpr int32_t PreviewWidth = 193;
    static constexpr int32_t PreviewHeight = 73;
    const std::string Caption = "Select icon to import from file";

    struct {
        std::vector<std::string> Items;
        int32_t ItemIndex = -1;
    } SelectBox;
    TDoubleBufferedPanel PanelFrame;
    const std::string OkButton = "&Ok";
    const std::string CancelButton = "&Cancel";
    const std::string TransparentButton = "Transparent color";
    host::TColor ColorPanel = clBtnFace;
    std::string ColorLabel;
    const std::string Label1 = "Note that writing of files with multiple icons is not supported.";
    host::TColorDialog ColorDialog;  // its Color is the dialog's transparent colour

    host::TColor Color() const { return ColorDialog.Color; }
    int32_t ItemIndex() const { return SelectBox.ItemIndex; }

    void FormShow();
    void SelectBoxChange();
    void TransparentButtonClick();
    // mrOk or mrCancel.
    int ShowModal();
    // The dialog as the terminal shows it.
    void Render(host::TTerminalDialog& Terminal);

private:
    const TIconList& list_;
};

// The registry's codec for "ICO" and "CUR". Within one conversion it remembers the
// transparent colour chosen and the hot spot of the cursor read, for the write that follows.
class TICOLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(TICOLoader)
    host::TColor TransparentColor = 0xFF00FF;
    int32_t HotSpotX = 0;
    int32_t HotSpotY = 0;

    bool CanLoad(const std::string& Ext) override { return Ext == "ICO" || Ext == "CUR"; }
    bool CanSave(const std::string& Ext) override { return Ext == "ICO" || Ext == "CUR"; }
    std::string GetLoadFilter() override;
    // ELinearBitmap "No icons in file" for an empty directory; EAbort when the picker is
    // cancelled. Bitmap changes only when the whole read succeeds.
    void LoadFromStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
    // One image: 24 bits for pfBGR24 (and for pfGray16 and pfBGRX32, brought to it first),
    // 4 or 8 bits for palette images. Pixels of TransparentColor are masked. Ext "ICO"
    // writes an icon, anything else a cursor with the remembered hot spot.
    // Exception "Image is too large for icon" above 255 pixels either way.
    void SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) override;
};

// The picture framework's icon and cursor classes: their streams hold the codec's files.
class TICOGraphic : public TLinearGraphic {
public:
    PIXMORPH_CLASS_NAME(TICOGraphic)
    void LoadFromStream(host::TStream& Stream) override { LoadThroughCodec(Stream, "ICO"); }
    void SaveToStream(host::TStream& Stream) override { SaveThroughCodec(Stream, "ICO"); }
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TICOGraphic>(); }
};

class TCURGraphic : public TLinearGraphic {
public:
    PIXMORPH_CLASS_NAME(TCURGraphic)
    void LoadFromStream(host::TStream& Stream) override { LoadThroughCodec(Stream, "CUR"); }
    void SaveToStream(host::TStream& Stream) override { SaveThroughCodec(Stream, "CUR"); }
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TCURGraphic>(); }
};

// Unit initialisation: creates and registers the one codec and the picture framework's
// "ICO" and "CUR" classes. Idempotent.
void InitializeICOLoader();
// Takes back the picture framework's registrations.
void FinalizeICOLoader();
// The registered codec (code 103 writes its icons through it).
TICOLoader& ICOLoader();
