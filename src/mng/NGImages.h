#pragma once

// The run-time binding to libmng and the picture classes built on it. The library is
// loaded by name on the first load request (never at start-up), counted, and freed when
// the count falls back to zero; every entry point is resolved once into a table.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mng/NGErrors.h"
#include "mng/NGTypes.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"

namespace ng {

// ---------------------------------------------------------------- the library

// Count + 1; the first request loads the library and resolves both tables. A library
// that cannot be loaded leaves the tables empty: the first call then raises ENGDLLNotLoaded.
void LoadLibmng();
// Count - 1 (not below 0); at 0 the tables are cleared and the library is freed.
void UnloadLibmng();
bool LibmngLoaded();
int LibmngLoadCount();

// Holds one load request for its lifetime.
class TLibmngReference {
public:
    TLibmngReference() { LoadLibmng(); }
    ~TLibmngReference() { UnloadLibmng(); }
    TLibmngReference(const TLibmngReference&) = delete;
    TLibmngReference& operator=(const TLibmngReference&) = delete;
};

// The names of both tables in their fixed order.
const std::vector<const char*>& LibmngEntryNames();
const std::vector<const char*>& ZlibEntryNames();
// The resolved address of a name of either table (null when absent or not loaded).
void* EntryAddress(const char* name);

// Test seams: the file name the next first load uses, and a stand-in for one resolved
// entry point of the loaded library (returns the address it replaces).
void SetLibraryNameForTesting(const std::string& name);
void* ReplaceEntryForTesting(const char* name, void* address);

// The version check of every new image: refuses major 0 and 1.0.0 to 1.0.4.
void CheckLibmngVersion();

// ---------------------------------------------------------------- compression

struct TCompressed {
    std::vector<uint8_t> Data;
    int Result = 0;  // zlib's result code; Data is empty unless it is 0
};

// A PNG's image data as its chunks carry it.
struct TPNGData {
    uint8_t ColourType = 0;
    uint8_t BitDepth = 8;
    std::vector<uint8_t> Compressed;
    // An indexed image's entries: red | green << 8 | blue << 16 | alpha << 24.
    std::vector<uint32_t> Palette;
};

class TNGImage;

// A 24-bit device-independent bitmap that owns one libmng handle, with the settings and
// status of writing it as PNG or JNG.
class TNGBitmap : public host::TBitmap {
public:
    PIXMORPH_CLASS_NAME(TNGBitmap)
    TNGBitmap();
    ~TNGBitmap() override;

    mng_handle MngHandle = nullptr;

    // Transparency sources: a colour (-1: none) or a mask picture (red byte = alpha).
    int32_t MaskColor = -1;
    std::shared_ptr<host::TBitmap> AlphaMask;

    int ZLibLevel, ZLibMethod, ZLibWindowBits, ZLibMemLevel, ZLibStrategy;
    int IDATSize;
    int JPEGQuality;
    bool JPEGProgressive = false;
    int JDATSize;

    bool Creating() const { return creating_; }
    bool Writing() const { return writing_; }
    bool Reading() const { return reading_; }
    bool Displaying() const { return displaying_; }
    bool Running() const { return running_; }
    bool Dynamic() const { return dynamic_; }
    // Mirrors libmng's status; observers hear of every change.
    void RefreshStatus();

    void AddObserver(TNGImage* image);
    void RemoveObserver(TNGImage* image);
    size_t ObserverCount() const { return observers_.size(); }

    // Builds the chunks of a PNG (or JNG) of the bitmap in libmng's create mode.
    void CreatePNG();
    void CreateJNG();
    // zlib through the library with the bitmap's settings. extraRoom > 0 starts with that
    // many more multiples of the growth step of output space (for a repeat after a
    // buffer error).
    TCompressed CompressZ(const std::vector<uint8_t>& input, int extraRoom = 0);

    // libmng reads and writes through the current stream (the file variants own theirs).
    void LoadFromFile(const std::string& fileName) override;
    void SaveToFile(const std::string& fileName) override;
    void LoadFromStream(host::TStream& stream) override;
    void SaveToStream(host::TStream& stream) override;

    // ENGImageException with libmng's last error and the step that met it.
    [[noreturn]] void RaiseMngError(const char* step);

    uint32_t TimerInterval() const { return timerInterval_; }

private:
    friend struct Callbacks;
    // Compresses, starting again with more room while zlib reports a buffer error.
    std::vector<uint8_t> CompressOrFail(const std::vector<uint8_t>& input);
    using RowMaker = std::function<void(int32_t y, uint8_t* row)>;
    void CreateStreamedPNG(const TPNGData& header, size_t rowSize, const RowMaker& makeRow);
    // One attempt: Z_OK, or zlib's result that stopped it.
    int TryStreamedPNG(const TPNGData& header, size_t rowSize, const RowMaker& makeRow);
    void PutPNGChunks(const TPNGData& png);
    // Reset, create, IHDR, sRGB and an indexed image's palette; then IEND.
    void PutPNGHeader(const TPNGData& png);
    void PutPNGEnd();
    void PutJNGChunks(uint8_t colourType, uint8_t alphaDepth, const std::vector<uint8_t>& alpha,
                      const std::vector<uint8_t>& jpeg);
    // PLTE, and tRNS up to the last entry that is not opaque.
    void PutPalette(const std::vector<uint32_t>& keys);
    void PutDataChunks(const std::vector<uint8_t>& data, int chunkSize, bool jpeg, const char* step);
    void Check(mng_retcode result, const char* step);
    // Raises what a callback recorded during the library call that just returned.
    void RethrowPending();
    void Read(const char* readStep, const char* displayStep);
    void Write(const char* step);
    // The alpha mask as a black-and-white bitmap of the image's size.
    std::unique_ptr<host::TBitmap> MonochromeMask() const;

    TLibmngReference library_;
    std::vector<TNGImage*> observers_;
    host::TStream* stream_ = nullptr;
    std::unique_ptr<host::TStream> ownedStream_;
    std::exception_ptr pending_;
    uint32_t timerInterval_ = 0;
    bool timerActive_ = false;
    bool creating_ = false, writing_ = false, reading_ = false, displaying_ = false, running_ = false,
         dynamic_ = false;
};

// A picture held in a TNGBitmap, which images assigned from each other share.
class TNGImage : public host::TGraphic {
public:
    PIXMORPH_CLASS_NAME(TNGImage)
    // Loads the library and checks its version before anything else.
    TNGImage();
    ~TNGImage() override;

    int32_t Width() const override { return bitmap_->Width(); }
    int32_t Height() const override { return bitmap_->Height(); }
    void SetWidth(int32_t value) override { bitmap_->SetWidth(value); }
    void SetHeight(int32_t value) override { bitmap_->SetHeight(value); }
    bool Empty() const override { return bitmap_->Empty(); }
    void Draw(host::TCanvas& canvas, const host::TRect& rect) override { bitmap_->Draw(canvas, rect); }

    // Another TNGImage: share its bitmap. A platform bitmap: a new bitmap with a copy.
    void Assign(host::TPersistent& Source) override;
    // Like assigning a platform bitmap, but its pixels move here instead of being copied.
    void TakeOver(host::TBitmap& Source);

    void LoadFromFile(const std::string& fileName) override { bitmap_->LoadFromFile(fileName); }
    void SaveToFile(const std::string& fileName) override { bitmap_->SaveToFile(fileName); }
    void LoadFromStream(host::TStream& stream) override { bitmap_->LoadFromStream(stream); }
    void SaveToStream(host::TStream& stream) override { bitmap_->SaveToStream(stream); }
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TNGImage>(); }

    void SavePNGToFile(const std::string& fileName);
    void SaveJNGToFile(const std::string& fileName);
    void CopyToClipboard();

    TNGBitmap& Bitmap() { return *bitmap_; }

    // Observer handlers, called by the bitmap.
    virtual void StatusChanged() {}
    virtual void HeaderProcessed(uint32_t width, uint32_t height) {}
    virtual void RefreshRequested(const host::TRect& rect) {}

private:
    void Replace(std::shared_ptr<TNGBitmap> bitmap);

    TLibmngReference library_;
    std::shared_ptr<TNGBitmap> bitmap_;
};

class TPNGImage : public TNGImage {
public:
    PIXMORPH_CLASS_NAME(TPNGImage)
};
class TJNGImage : public TNGImage {
public:
    PIXMORPH_CLASS_NAME(TJNGImage)
};
class TMNGImage : public TNGImage {
public:
    PIXMORPH_CLASS_NAME(TMNGImage)
};

// Unit initialisation: the MNG, JNG and PNG classes join the picture framework (no
// library is loaded until an image is made). Idempotent.
void InitializeNGImages();
void FinalizeNGImages();

}  // namespace ng
