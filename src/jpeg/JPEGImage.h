#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "jpeg/JPEGError.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"

// The platform's JPEG picture, coded by libjpeg. It holds the compressed data; decoding
// happens when the picture is assigned to a bitmap, with the settings in force then, and
// compressing happens when a bitmap (or rows) is assigned to it. Every libjpeg error
// becomes EJPEG "JPEG error #<libjpeg's message code>"; libjpeg's warnings (a truncated
// file, stray bytes) do not stop decoding, and the rows libjpeg fills in for missing data
// are kept.
namespace host {

enum TJPEGPerformance : uint8_t { jpBestQuality, jpBestSpeed };
enum TJPEGScale : uint8_t { jsFullSize, jsHalf, jsQuarter, jsEighth };

// Rows to compress: Row(y) gives row y (0 = top) of Width pixels, one byte (grey) or
// three bytes (blue, green, red) each; the pointer need stay valid only until the next
// call. One-byte rows always give a one-component (greyscale) file.
struct TJPEGRows {
    int32_t Width = 0;
    int32_t Height = 0;
    int Components = 3;
    std::function<const uint8_t*(int32_t y)> Row;
    // Marker segments written after the file's JFIF header, in this order: the marker
    // (0xE0 + n for APPn) and the payload without its length field (at most 65533 bytes).
    struct TMarker {
        int Code = 0;
        std::vector<uint8_t> Payload;
    };
    std::vector<TMarker> Markers;
};

class TJPEGImage : public TGraphic {
public:
    PIXMORPH_CLASS_NAME(TJPEGImage)
    TJPEGImage();
    ~TJPEGImage() override;

    // Decoding: jpBestQuality is libjpeg's accurate integer DCT with smooth upsampling,
    // jpBestSpeed the fast DCT with plain upsampling. Scale divides both sides by 1, 2, 4, 8.
    TJPEGPerformance Performance = jpBestQuality;
    TJPEGScale Scale = jsFullSize;
    // Block smoothing of progressive files that are not yet complete.
    bool Smoothing = true;
    // Set by reading when the file has one component; when set before compressing a
    // colour bitmap, the file is written with one component.
    bool Grayscale = false;
    // Compressing: libjpeg's quality scale with baseline tables forced.
    int CompressionQuality = 90;
    bool ProgressiveEncoding = false;

    // The size of the decoded picture at the current Scale; 0 when empty.
    int32_t Width() const override;
    int32_t Height() const override;
    // A JPEG picture is not resized: these do nothing.
    void SetWidth(int32_t) override {}
    void SetHeight(int32_t) override {}
    bool Empty() const override { return data_.GetSize() == 0; }

    // Takes everything from the stream's position to its end and reads the header:
    // EJPEG for data libjpeg does not accept as a JPEG header (the picture is then empty).
    void LoadFromStream(TStream& stream) override;
    // Writes the compressed data as it is (nothing for an empty picture).
    void SaveToStream(TStream& stream) override;
    // Decodes into a bitmap and paints it.
    void Draw(TCanvas& canvas, const TRect& rect) override;
    std::unique_ptr<TGraphic> NewInstance() const override { return std::make_unique<TJPEGImage>(); }

    // Another TJPEGImage: its data and settings. A bitmap: compressed at once, taken as
    // 24 bits per pixel, with the settings in force now.
    void Assign(TPersistent& Source) override;
    // A bitmap: decoded into it. Colour files give 24 bits; one-component files 8 bits
    // with a grey ramp palette (all 256 levels); CMYK and YCCK files are converted to RGB,
    // Adobe's inverted CMYK included. A header whose decoded size no buffer may have
    // fails with ELinearBitmap "Invalid bitmap size" before anything image-sized exists.
    void AssignTo(TPersistent& Dest) override;

    void Compress(const TJPEGRows& rows);
    void CompressBitmap(const TBitmap& bitmap);
    const TMemoryStream& Data() const { return data_; }
    // The compressed data as bytes.
    const std::vector<uint8_t>& Bytes() const { return data_.Data(); }

private:
    void ReadHeader();
    // Reading it moves its position, which is no change of the picture.
    mutable TMemoryStream data_;
    int32_t imageWidth_ = 0;
    int32_t imageHeight_ = 0;
};

// Unit initialisation: registers "jpeg" and "jpg" with the picture framework. Idempotent.
void InitializeJPEGImage();
void FinalizeJPEGImage();

}  // namespace host
