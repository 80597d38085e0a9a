#include "codecs/WMFLoader.h"

#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"
#include "metafile/Metafile.h"
#include "streams/HostStream.h"
#include "streams/MemStream.h"
#include "streams/Streams.h"

namespace {

// The colours of a picture in the order they first occur, up to a palette's worth, with
// each one's index.
class FirstColours {
public:
    // The index of the colour of a pixel word (its top byte is not part of it), collected
    // now if it is new; false once a palette is full.
    bool indexOf(uint32_t pixel, uint8_t& index) {
        const uint32_t rgb = pixel & 0xFFFFFF;
        if (rgb == last_ && collected_ > 0) {
            index = lastIndex_;
            return true;
        }
        auto found = indices_.find(rgb);
        if (found == indices_.end()) {
            if (collected_ == 256) return false;
            uint8_t* entry = palette_ + 3 * collected_;
            entry[0] = static_cast<uint8_t>(rgb), entry[1] = static_cast<uint8_t>(rgb >> 8);
            entry[2] = static_cast<uint8_t>(rgb >> 16);
            found = indices_.emplace(rgb, static_cast<uint8_t>(collected_++)).first;
        }
        last_ = rgb, lastIndex_ = found->second;
        index = lastIndex_;
        return true;
    }
    // Blue, green, red; the entries after the collected colours are black.
    const uint8_t* palette() const { return palette_; }

private:
    std::unordered_map<uint32_t, uint8_t> indices_;
    uint8_t palette_[PaletteBytes] = {};
    int collected_ = 0;
    uint32_t last_ = 0;
    uint8_t lastIndex_ = 0;
};

void storeBGR(const uint32_t* pixels, int32_t width, uint8_t* row) {
    for (int32_t x = 0; x < width; ++x, row += 3) {
        row[0] = static_cast<uint8_t>(pixels[x]);
        row[1] = static_cast<uint8_t>(pixels[x] >> 8);
        row[2] = static_cast<uint8_t>(pixels[x] >> 16);
    }
}

bool storeIndexed(const uint32_t* pixels, int32_t width, uint8_t* row, FirstColours& colours) {
    for (int32_t x = 0; x < width; ++x)
        if (!colours.indexOf(pixels[x], row[x])) return false;
    return true;
}

// The first rows of an 8-bit picture become 24 bits: it has more colours than a palette holds.
void widenToTrueColour(TLinearBitmap& bitmap, int32_t rows) {
    TLinearBitmap wide;
    wide.New(bitmap.Width, bitmap.Height, pfBGR24);
    for (int32_t y = 0; y < rows; ++y) {
        const uint8_t* s = bitmap.ScanLine(y);
        uint8_t* d = wide.ScanLine(y);
        for (int32_t x = 0; x < bitmap.Width; ++x, d += 3) std::memcpy(d, bitmap.Palette.get() + 3 * s[x], 3);
    }
    bitmap.TakeOver(wide);
}

}  // namespace

void RenderMetafile(host::TMetafile& metafile, TLinearBitmap& bitmap) {
    const int32_t width = metafile.Width(), height = metafile.Height();
    host::CheckPictureSize(width, height);
    TLinearBitmap picture;
    picture.New(width, height, pfIndexed8);
    FirstColours colours;
    metafile.DrawBands(width, height, [&](int32_t top, int32_t rows, const uint32_t* pixels) {
        for (int32_t y = top; y < top + rows; ++y, pixels += width) {
            if (picture.PixelFormat == pfIndexed8) {
                if (storeIndexed(pixels, width, picture.ScanLine(y), colours)) continue;
                std::memcpy(picture.Palette.get(), colours.palette(), PaletteBytes);
                widenToTrueColour(picture, y);
            }
            storeBGR(pixels, width, picture.ScanLine(y));
        }
    });
    if (picture.PixelFormat == pfIndexed8) std::memcpy(picture.Palette.get(), colours.palette(), PaletteBytes);
    bitmap.TakeOver(picture);
}

std::string TWMFLoader::GetLoadFilter() { return "Windows metafile (*.wmf,*.emf)|*.wmf;*.emf"; }

std::string TWMFLoader::GetSaveFilter() {
    return "Windows metafile (*.wmf)|*.wmf|Windows enhanced metafile (*.emf)|*.emf";
}

void TWMFLoader::LoadFromStream(TBaseStream& Stream, const std::string&, TLinearBitmap& Bitmap) {
    std::unique_ptr<TMemStream> copy;
    TSeekableStream* seekable = &SeekableView(Stream, copy);
    host::TMetafile metafile;
    {
        TSeekableHostStream host(seekable);
        metafile.LoadFromStream(host);
    }
    RenderMetafile(metafile, Bitmap);
}

void TWMFLoader::SaveToStream(TBaseStream& Stream, const std::string& Ext, TLinearBitmap& Bitmap) {
    if (!Bitmap.Present) throw ELinearBitmap("Invalid bitmap size");
    host::TMetafile metafile;
    metafile.SetWidth(Bitmap.Width);
    metafile.SetHeight(Bitmap.Height);
    if (Bitmap.PixelFormat == pfIndexed8) {
        const host::TPaletteHandle palette = PaletteToHandle(Bitmap.Palette.get(), 256);
        metafile.SetPalette(palette.get());
    }
    {
        host::TMetafileCanvas canvas(metafile);
        canvas.SetStretchBltMode(host::COLORONCOLOR);
        Bitmap.Draw(canvas, host::Rect(0, 0, Bitmap.Width, Bitmap.Height), false);
    }
    metafile.SetEnhanced(!Ext.empty() && (Ext[0] == 'E' || Ext[0] == 'e'));
    WithHostStream(Stream, [&](host::TStream& host) { metafile.SaveToStream(host); });
}

int64_t CountColors(const TLinearBitmap& Bitmap, int64_t Limit) {
    if (!Bitmap.Present) return 0;
    int64_t count = 0;
    if (Bitmap.PixelFormat == pfBGR24) {
        // One bit per 24-bit colour: 2 MiB.
        std::vector<uint64_t> seen(size_t{1} << 18);
        for (int32_t y = 0; y < Bitmap.Height; ++y) {
            const uint8_t* p = Bitmap.ScanLine(y);
            for (int32_t x = 0; x < Bitmap.Width; ++x, p += 3) {
                const uint32_t c = p[0] | p[1] << 8 | p[2] << 16;
                uint64_t& word = seen[c >> 6];
                const uint64_t bit = uint64_t{1} << (c & 63);
                if (word & bit) continue;
                word |= bit;
                if (++count > Limit) return count;
            }
        }
        return count;
    }
    uint32_t histogram[256] = {};
    for (int32_t i = 0; i < Bitmap.Size; ++i) ++histogram[Bitmap.Map[i]];
    for (uint32_t bin : histogram) count += bin != 0;
    return count;
}

void InitializeWMFLoader() { RegisterLoaderOnce<TWMFLoader>(); }
