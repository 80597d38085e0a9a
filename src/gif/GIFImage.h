#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gif/GIFTypes.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"
#include "picture/PixelBuffer.h"
#include "platform/Stream.h"

// A GIF file as objects: the header with its global colour table, the frames with their
// extensions, local colour tables and pixel indices, and the trailer. Writing lives in
// GIFImage.cpp and the encoders in GIFEncoder.*; colour reduction in GIFColorReduction.*.

class TGIFImage;
class TGIFSubImage;
class TGIFGraphicControlExtension;

// Block introducers and extension labels.
inline constexpr uint8_t bsExtensionIntroducer = 0x21;  // "!"
inline constexpr uint8_t bsImageDescriptor = 0x2C;      // ","
inline constexpr uint8_t bsTrailer = 0x3B;              // ";"
inline constexpr uint8_t bsPlainTextExtension = 0x01;
inline constexpr uint8_t bsGraphicControlExtension = 0xF9;
inline constexpr uint8_t bsCommentExtension = 0xFE;
inline constexpr uint8_t bsApplicationExtension = 0xFF;

// Packed fields of the logical screen descriptor.
inline constexpr uint8_t lsdGlobalColorTable = 0x80;
inline constexpr uint8_t lsdColorResolution = 0x70;
inline constexpr uint8_t lsdColorSorted = 0x08;
inline constexpr uint8_t lsdColorTableSize = 0x07;
// Packed fields of the image descriptor.
inline constexpr uint8_t idLocalColorTable = 0x80;
inline constexpr uint8_t idInterlaced = 0x40;
inline constexpr uint8_t idSort = 0x20;
inline constexpr uint8_t idReserved = 0x18;
inline constexpr uint8_t idColorTableSize = 0x07;

// ---------------------------------------------------------------- colour maps

struct TGIFColor {
    uint8_t Red = 0, Green = 0, Blue = 0;
};
static_assert(sizeof(TGIFColor) == 3, "colour table entries are stored as written");

// A colour table of up to 256 RGB entries. Colours enter and leave as host::TColor values
// (red in the low byte).
class TGIFColorMap : public host::TPersistent {
public:
    PIXMORPH_CLASS_NAME(TGIFColorMap)
    TGIFColorMap() = default;

    int32_t Count() const { return count_; }
    int32_t Capacity() const { return capacity_; }
    // Set only by SortByUse (and by a reader that finds the sort flag); any change clears it.
    bool Optimized() const { return optimized_; }
    void SetOptimized(bool value) { optimized_ = value; }
    const TGIFColor* Data() const { return data_.get(); }

    // An index outside the map is reported as "Invalid color index" and entry 0 is used;
    // an empty map raises "Color table is empty".
    host::TColor Colors(int index);
    void SetColors(int index, host::TColor color);

    // "Color table overflow" when the map is full; returns the new entry's index.
    int AddColor(host::TColor color);
    // Exact match, or -1. A sorted map is searched from the front, any other from the back.
    int FindColor(host::TColor color) const;
    int FindOrAddColor(host::TColor color);
    // "Invalid color index" unless 0 <= index < Count.
    void DeleteColor(int index);
    void Clear();

    // 0 for an empty map, else the smallest b >= 1 with 2^b >= Count.
    int ColorBits() const;
    // Keeps the first count entries (count <= Count).
    void Truncate(int count);

    void FillFromPalette(host::HPALETTE palette);
    void FillFromColorTable(const host::TRGBQuad* table, int count);
    // Null for an empty map.
    host::TPaletteHandle MakePalette() const;
    // Red and blue of every entry swapped (colours gathered from blue-first scan lines).
    void SwapRedBlue();
    // Replaces the entries with count raw RGB triples (count <= 256).
    void SetEntries(const TGIFColor* colors, int count);

    // Writes the entries, then black entries up to 2^bits entries.
    void SaveToStream(host::TStream& stream, int bits) const;
    // Reads count entries (3 bytes each), replacing the map.
    void LoadFromStream(host::TStream& stream, int count);

    void Assign(host::TPersistent& Source) override;

    virtual void ReportWarning(TGIFSeverity severity, const std::string& message) = 0;
    // Reorders the entries by how often the pixels that use this map refer to them, most
    // used first, and drops the entries nothing uses. Only for maps of more than one colour.
    virtual void SortByUse();
    // Notified after every addition of a colour.
    virtual void MapChanged() {}

protected:
    // Counts of every index among the pixels of the frames that use this map.
    virtual void BuildHistogram(uint32_t counts[256]) = 0;
    // Rewrites those frames' pixels (and transparent indices) through an old-to-new table.
    virtual void MapImages(const uint8_t newIndex[256]) = 0;

private:
    void Grow(int needed);

    std::unique_ptr<TGIFColor[]> data_;
    int32_t capacity_ = 0;
    int32_t count_ = 0;
    bool optimized_ = false;
};

class TGIFHeader;

class TGIFGlobalColorMap : public TGIFColorMap {
public:
    PIXMORPH_CLASS_NAME(TGIFGlobalColorMap)
    explicit TGIFGlobalColorMap(TGIFHeader* header) : header_(header) {}
    TGIFHeader* Header() const { return header_; }
    void ReportWarning(TGIFSeverity severity, const std::string& message) override;

protected:
    void BuildHistogram(uint32_t counts[256]) override;
    void MapImages(const uint8_t newIndex[256]) override;

private:
    TGIFHeader* header_;
};

class TGIFLocalColorMap : public TGIFColorMap {
public:
    PIXMORPH_CLASS_NAME(TGIFLocalColorMap)
    explicit TGIFLocalColorMap(TGIFSubImage* subImage) : subImage_(subImage) {}
    TGIFSubImage* SubImage() const { return subImage_; }
    void ReportWarning(TGIFSeverity severity, const std::string& message) override;

protected:
    void BuildHistogram(uint32_t counts[256]) override;
    void MapImages(const uint8_t newIndex[256]) override;

private:
    TGIFSubImage* subImage_;
};

// ---------------------------------------------------------------- items

// Base of the header, the frames, the extensions and the trailer.
class TGIFItem : public host::TPersistent {
public:
    PIXMORPH_CLASS_NAME(TGIFItem)
    explicit TGIFItem(TGIFImage* image) : image_(image) {}

    TGIFImage* Image() const { return image_; }
    virtual TGIFVersion RequiredVersion() const { return gv87a; }
    virtual void ReportWarning(TGIFSeverity severity, const std::string& message);
    virtual void SaveToStream(host::TStream& stream) = 0;
    virtual void LoadFromStream(host::TStream& stream) = 0;
    virtual void SaveToFile(const std::string& fileName);
    virtual void LoadFromFile(const std::string& fileName);

private:
    TGIFImage* image_;
};

// Owning list of items, written in order.
class TGIFList : public TObject {
public:
    PIXMORPH_CLASS_NAME(TGIFList)
    explicit TGIFList(TGIFImage* image) : image_(image) {}
    TGIFList(const TGIFList&) = delete;
    TGIFList& operator=(const TGIFList&) = delete;

    TGIFImage* Image() const { return image_; }
    int Count() const { return static_cast<int>(items_.size()); }
    TGIFItem* Items(int index) const { return items_.at(static_cast<size_t>(index)).get(); }
    // Takes ownership; returns the item's index.
    int Add(std::unique_ptr<TGIFItem> item);
    void Insert(int index, std::unique_ptr<TGIFItem> item);
    void Delete(int index);
    // Removes the item without destroying it.
    std::unique_ptr<TGIFItem> Extract(int index);
    int IndexOf(const TGIFItem* item) const;
    void Clear();

    virtual void ReportWarning(TGIFSeverity severity, const std::string& message);
    virtual void SaveToStream(host::TStream& stream);
    // parent: the frame an extension list belongs to (null for the frame list).
    virtual void LoadFromStream(host::TStream& stream, TObject* parent) = 0;

private:
    // "List index out of bounds" unless 0 <= index < Count.
    int IndexCheck(int index) const;

    TGIFImage* image_;
    std::vector<std::unique_ptr<TGIFItem>> items_;
};

// The frames of an image.
class TGIFImageList : public TGIFList {
public:
    PIXMORPH_CLASS_NAME(TGIFImageList)
    using TGIFList::TGIFList;
    TGIFSubImage* SubImage(int index) const;
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream, TObject* parent) override;
};

class TGIFExtension;

// The extensions in front of one frame.
class TGIFExtensionList : public TGIFList {
public:
    PIXMORPH_CLASS_NAME(TGIFExtensionList)
    TGIFExtensionList(TGIFImage* image, TGIFSubImage* subImage) : TGIFList(image), subImage_(subImage) {}
    TGIFSubImage* SubImage() const { return subImage_; }
    TGIFExtension* Extension(int index) const;
    void LoadFromStream(host::TStream& stream, TObject* parent) override;

private:
    TGIFSubImage* subImage_;
};

// ---------------------------------------------------------------- header

// The logical screen descriptor in the layout in which it is written.
#pragma pack(push, 1)
struct TLogicalScreenDescriptor {
    uint16_t ScreenWidth = 0;
    uint16_t ScreenHeight = 0;
    uint8_t PackedFields = 0;
    uint8_t BackgroundColorIndex = 0;
    uint8_t AspectRatio = 0;
};
#pragma pack(pop)
static_assert(sizeof(TLogicalScreenDescriptor) == 7, "written as it is held");

class TGIFHeader : public TGIFItem {
public:
    PIXMORPH_CLASS_NAME(TGIFHeader)
    explicit TGIFHeader(TGIFImage* image);
    ~TGIFHeader() override;

    TLogicalScreenDescriptor& Descriptor() { return descriptor_; }
    const TLogicalScreenDescriptor& Descriptor() const { return descriptor_; }
    TGIFGlobalColorMap& ColorMap() { return *colorMap_; }
    const TGIFGlobalColorMap& ColorMap() const { return *colorMap_; }

    uint16_t Width() const { return descriptor_.ScreenWidth; }
    uint16_t Height() const { return descriptor_.ScreenHeight; }
    void SetWidth(uint16_t value) { descriptor_.ScreenWidth = value; }
    void SetHeight(uint16_t value) { descriptor_.ScreenHeight = value; }
    uint8_t BackgroundColorIndex() const { return descriptor_.BackgroundColorIndex; }
    void SetBackgroundColorIndex(uint8_t value) { descriptor_.BackgroundColorIndex = value; }
    uint8_t AspectRatio() const { return descriptor_.AspectRatio; }
    void SetAspectRatio(uint8_t value) { descriptor_.AspectRatio = value; }
    // The version bytes found by the reader (written ones follow RequiredVersion).
    TGIFVersion Version() const { return version_; }
    void SetVersion(TGIFVersion value) { version_ = value; }

    // All seven descriptor bytes zero and an empty global map.
    void Clear();
    // Recomputes the packed fields from the image's colour maps.
    void Prepare();

    void Assign(host::TPersistent& Source) override;
    // Signature, descriptor and global colour table.
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;

private:
    TLogicalScreenDescriptor descriptor_;
    std::unique_ptr<TGIFGlobalColorMap> colorMap_;
    TGIFVersion version_ = gvUnknown;
};

// ---------------------------------------------------------------- frames

#pragma pack(push, 1)
struct TImageDescriptor {
    uint8_t Separator = bsImageDescriptor;
    uint16_t Left = 0;
    uint16_t Top = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t PackedFields = 0;
};
#pragma pack(pop)
static_assert(sizeof(TImageDescriptor) == 10, "written as it is held");

class TGIFSubImage : public TGIFItem {
public:
    PIXMORPH_CLASS_NAME(TGIFSubImage)
    explicit TGIFSubImage(TGIFImage* image);
    ~TGIFSubImage() override;

    TGIFExtensionList& Extensions() { return *extensions_; }
    const TGIFExtensionList& Extensions() const { return *extensions_; }
    TGIFLocalColorMap& ColorMap() { return *colorMap_; }
    const TGIFLocalColorMap& ColorMap() const { return *colorMap_; }
    // The local map when it has entries, else the global map when that has entries, else
    // the (empty) local map.
    TGIFColorMap& EffectiveColorMap();

    TImageDescriptor& ImageDescriptor() { return descriptor_; }
    const TImageDescriptor& ImageDescriptor() const { return descriptor_; }
    int32_t Left() const { return descriptor_.Left; }
    int32_t Top() const { return descriptor_.Top; }
    int32_t Width() const { return descriptor_.Width; }
    int32_t Height() const { return descriptor_.Height; }
    bool Interlaced() const { return (descriptor_.PackedFields & idInterlaced) != 0; }
    void SetInterlaced(bool value);
    // Each change of size frees the pixels and allocates new zeroed ones. The logical
    // screen grows to hold the frame, with warnings when it was set before.
    void SetFrameBounds(int32_t left, int32_t top, int32_t width, int32_t height);
    void SetWidth(int32_t value) { SetFrameBounds(Left(), Top(), value, Height()); }
    void SetHeight(int32_t value) { SetFrameBounds(Left(), Top(), Width(), value); }

    // Width x height zeroed bytes (checked); replaces any pixels held.
    void AllocatePixels();
    void FreePixels();
    // Hands the pixels out without copying; the frame keeps its size and holds none.
    host::PixelBuffer ReleasePixels();
    uint8_t* Data() { return data_.get(); }
    const uint8_t* Data() const { return data_.get(); }
    int64_t DataSize() const { return dataSize_; }
    // "Invalid pixel coordinates" unless 0 <= y < Height (and 0 <= x < Width).
    uint8_t* PixelRow(int32_t y);
    uint8_t Pixels(int32_t x, int32_t y);
    void SetPixels(int32_t x, int32_t y, uint8_t value);

    // No pixels, or a width or height of 0.
    bool Empty() const { return !data_ || descriptor_.Width == 0 || descriptor_.Height == 0; }
    bool Transparent() const { return transparent_; }
    void SetTransparent(bool value) { transparent_ = value; }
    // The frame's first graphic control extension, or null.
    TGIFGraphicControlExtension* GraphicControlExtension() const { return graphicControlExtension_; }
    void SetGraphicControlExtension(TGIFGraphicControlExtension* value) { graphicControlExtension_ = value; }

    // Extensions, local colour map, pixels, size 0 x 0 and the transparent flag.
    void Clear();

    TGIFVersion RequiredVersion() const override;
    // A platform bitmap (1, 4, 8 bits as they are, other depths through colour reduction)
    // or another frame.
    void Assign(host::TPersistent& Source) override;
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;

private:
    void AssignBitmap(host::TBitmap& source);
    void AssignFrame(const TGIFSubImage& source);
    void ApplyMask(const host::TBitmap& mask);

    std::unique_ptr<TGIFExtensionList> extensions_;
    std::unique_ptr<TGIFLocalColorMap> colorMap_;
    TImageDescriptor descriptor_;
    host::PixelBuffer data_;
    int64_t dataSize_ = 0;
    bool transparent_ = false;
    TGIFGraphicControlExtension* graphicControlExtension_ = nullptr;
};

class TGIFTrailer : public TGIFItem {
public:
    PIXMORPH_CLASS_NAME(TGIFTrailer)
    using TGIFItem::TGIFItem;
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;
};

// ---------------------------------------------------------------- extensions

class TGIFExtension : public TGIFItem {
public:
    PIXMORPH_CLASS_NAME(TGIFExtension)
    explicit TGIFExtension(TGIFSubImage* subImage);

    TGIFSubImage* SubImage() const { return subImage_; }
    virtual uint8_t ExtensionType() const = 0;
    TGIFVersion RequiredVersion() const override { return gv89a; }
    // Introducer and label; subclasses then write their body.
    void SaveToStream(host::TStream& stream) override;
    // Reads and checks the introducer and the label; subclasses then read their body.
    void LoadFromStream(host::TStream& stream) override;

private:
    TGIFSubImage* subImage_;
};

#pragma pack(push, 1)
struct TGraphicControlBlock {
    uint8_t BlockSize = 4;
    uint8_t PackedFields = 0;
    uint16_t DelayTime = 0;  // hundredths of a second
    uint8_t TransparentColorIndex = 0;
    uint8_t Terminator = 0;
};
#pragma pack(pop)
static_assert(sizeof(TGraphicControlBlock) == 6, "written as it is held");

enum TDisposalMethod : uint8_t { dmNone = 0, dmNoDisposal = 1, dmBackground = 2, dmPrevious = 3 };

class TGIFGraphicControlExtension : public TGIFExtension {
public:
    PIXMORPH_CLASS_NAME(TGIFGraphicControlExtension)
    // Becomes the frame's graphic control extension when it has none yet.
    explicit TGIFGraphicControlExtension(TGIFSubImage* subImage);
    ~TGIFGraphicControlExtension() override;

    uint8_t ExtensionType() const override { return bsGraphicControlExtension; }
    TGraphicControlBlock& Block() { return block_; }
    const TGraphicControlBlock& Block() const { return block_; }

    bool Transparent() const { return (block_.PackedFields & 0x01) != 0; }
    void SetTransparent(bool value);
    uint8_t TransparentColorIndex() const { return block_.TransparentColorIndex; }
    // Checked against the frame's effective colour map: an index not below a non-zero
    // count is reported as "Invalid color index" and 0 is stored.
    void SetTransparentColorIndex(int index);
    bool UserInput() const { return (block_.PackedFields & 0x02) != 0; }
    void SetUserInput(bool value);
    TDisposalMethod Disposal() const { return static_cast<TDisposalMethod>((block_.PackedFields >> 2) & 7); }
    void SetDisposal(TDisposalMethod value);
    uint16_t Delay() const { return block_.DelayTime; }
    void SetDelay(uint16_t value) { block_.DelayTime = value; }

    void Assign(host::TPersistent& Source) override;
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;

private:
    TGraphicControlBlock block_;
};

// Text kept as lines; each line is written as its own run of sub-blocks.
using TGIFText = std::vector<std::string>;

class TGIFCommentExtension : public TGIFExtension {
public:
    PIXMORPH_CLASS_NAME(TGIFCommentExtension)
    using TGIFExtension::TGIFExtension;
    uint8_t ExtensionType() const override { return bsCommentExtension; }
    TGIFText& Text() { return text_; }
    const TGIFText& Text() const { return text_; }
    void Assign(host::TPersistent& Source) override;
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;

private:
    TGIFText text_;
};

#pragma pack(push, 1)
struct TPlainTextBlock {
    uint8_t BlockSize = 12;
    uint16_t Left = 0;
    uint16_t Top = 0;
    uint16_t Width = 0;
    uint16_t Height = 0;
    uint8_t CellWidth = 0;
    uint8_t CellHeight = 0;
    uint8_t TextFGColorIndex = 0;
    uint8_t TextBGColorIndex = 0;
};
#pragma pack(pop)
static_assert(sizeof(TPlainTextBlock) == 13, "written as it is held");

class TGIFTextExtension : public TGIFExtension {
public:
    PIXMORPH_CLASS_NAME(TGIFTextExtension)
    using TGIFExtension::TGIFExtension;
    uint8_t ExtensionType() const override { return bsPlainTextExtension; }
    TPlainTextBlock& Block() { return block_; }
    const TPlainTextBlock& Block() const { return block_; }
    TGIFText& Text() { return text_; }
    const TGIFText& Text() const { return text_; }
    void Assign(host::TPersistent& Source) override;
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;

private:
    TPlainTextBlock block_;
    TGIFText text_;
};

// The 8-byte application identifier and the 3-byte authentication code.
struct TGIFApplicationRec {
    char Identifier[8] = {};
    char Authentication[3] = {};
};
static_assert(sizeof(TGIFApplicationRec) == 11, "read and written as it is held");

class TGIFApplicationExtension : public TGIFExtension {
public:
    PIXMORPH_CLASS_NAME(TGIFApplicationExtension)
    using TGIFExtension::TGIFExtension;
    uint8_t ExtensionType() const override { return bsApplicationExtension; }
    TGIFApplicationRec& Identifier() { return identifier_; }
    const TGIFApplicationRec& Identifier() const { return identifier_; }
    // "NETSCAPE" + "2.0" style: 11 characters, cut or padded with zero bytes.
    void SetIdentifier(const std::string& elevenBytes);

    // $0B, the identifier, the data, $00.
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;

protected:
    // The data sub-blocks, without the terminating $00.
    virtual void SaveData(host::TStream& stream) = 0;
    // The data sub-blocks including the terminating zero-length block.
    virtual void LoadData(host::TStream& stream) = 0;

private:
    TGIFApplicationRec identifier_;
};

// One data sub-block as read.
struct TGIFBlock {
    std::vector<uint8_t> Data;  // at most 255 bytes
};

class TGIFUnknownAppExtension : public TGIFApplicationExtension {
public:
    PIXMORPH_CLASS_NAME(TGIFUnknownAppExtension)
    using TGIFApplicationExtension::TGIFApplicationExtension;
    std::vector<TGIFBlock>& Blocks() { return blocks_; }
    const std::vector<TGIFBlock>& Blocks() const { return blocks_; }
    void Assign(host::TPersistent& Source) override;

protected:
    void SaveData(host::TStream& stream) override;
    void LoadData(host::TStream& stream) override;

private:
    std::vector<TGIFBlock> blocks_;
};

// The looping extension ("NETSCAPE2.0"; also read as "ANIMEXTS1.0").
class TGIFAppExtNSLoop : public TGIFApplicationExtension {
public:
    PIXMORPH_CLASS_NAME(TGIFAppExtNSLoop)
    explicit TGIFAppExtNSLoop(TGIFSubImage* subImage);
    uint16_t Loops() const { return loops_; }
    void SetLoops(uint16_t value) { loops_ = value; }
    // 0: no buffer-size sub-block.
    uint32_t BufferSize() const { return bufferSize_; }
    void SetBufferSize(uint32_t value) { bufferSize_ = value; }
    void Assign(host::TPersistent& Source) override;

protected:
    void SaveData(host::TStream& stream) override;
    void LoadData(host::TStream& stream) override;

private:
    uint16_t loops_ = 0;
    uint32_t bufferSize_ = 0;
};

// ---------------------------------------------------------------- the image

class TGIFImage : public host::TGraphic {
public:
    PIXMORPH_CLASS_NAME(TGIFImage)
    TGIFImage();
    ~TGIFImage() override;
    TGIFImage(const TGIFImage&) = delete;
    TGIFImage& operator=(const TGIFImage&) = delete;

    TGIFHeader& Header() { return *header_; }
    const TGIFHeader& Header() const { return *header_; }
    TGIFImageList& Images() { return *images_; }
    const TGIFImageList& Images() const { return *images_; }
    TGIFGlobalColorMap& GlobalColorMap() { return header_->ColorMap(); }

    // The logical screen.
    int32_t Width() const override { return header_->Width(); }
    int32_t Height() const override { return header_->Height(); }
    void SetWidth(int32_t value) override;
    void SetHeight(int32_t value) override;
    bool Empty() const override { return images_->Count() == 0; }
    // Whether a frame holds an image (a frame of extensions only has none). Reading a file
    // without one fails.
    bool HasImage() const;

    // Frames, global colour map, screen size 0 x 0, packed fields recomputed.
    void Clear();
    // Appends a frame made from source (a platform bitmap or a frame); returns its index.
    int Add(host::TPersistent& source);

    // gvUnknown with no frames, else the most any frame needs.
    TGIFVersion RequiredVersion() const;
    int ImageColorBits() const;
    // -1 when no map has colours.
    int ScreenColorResolution() const;

    void Assign(host::TPersistent& Source) override;
    void AssignTo(host::TPersistent& Dest) override;
    // The first frame as AssignTo gives it to a bitmap: when it fills the bitmap, its rows
    // move there and the frame holds no pixels.
    void HandOverTo(host::TBitmap& bitmap) override;
    void SaveToStream(host::TStream& stream) override;
    void LoadFromStream(host::TStream& stream) override;
    // Writes through a buffer of its own: the encoders hand out small blocks.
    void SaveToFile(const std::string& fileName) override;
    // Paints the first frame stretched into rect.
    void Draw(host::TCanvas& canvas, const host::TRect& rect) override;
    std::unique_ptr<host::TGraphic> NewInstance() const override { return std::make_unique<TGIFImage>(); }

    // Progress notification: ending carries 100 after success and 0 when an error leaves.
    void Progress(TObject* sender, TProgressStage stage, int percent, const std::string& message);
    // Hands a warning to WarningHandler (dropped when none is set).
    void Warning(TObject* sender, TGIFSeverity severity, const std::string& message);

    uint8_t ReductionMethod = GIFDefaultReductionMethod;
    int32_t ReductionDepth = GIFDefaultReductionDepth;
    uint8_t DitherMethod = GIFDefaultDitherMethod;
    uint8_t EncoderKind = GIFDefaultEncoderKind;
    // Display settings; saving ignores them.
    uint16_t DrawOptions = GIFDefaultDrawOptions;
    int ThreadPriority = GIFDefaultThreadPriority;
    int AnimationSpeed = GIFDefaultAnimationSpeed;

    // Reading stops behind the first frame that holds an image, and leaves the trailer
    // unread: for users that show only that frame, such as the picture framework's class.
    bool FirstFrameOnly = false;

    TGIFWarning WarningHandler;
    TGIFProgressEvent OnProgress;

private:
    void ShowFirstFrame(host::TBitmap& bitmap, bool moveRows);

    std::unique_ptr<TGIFHeader> header_;
    std::unique_ptr<TGIFImageList> images_;
};

// Registers "GIF" ("GIF Image") with the platform's picture framework.
void InitializeGIFImage();
void FinalizeGIFImage();
