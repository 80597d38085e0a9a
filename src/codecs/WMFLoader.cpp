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

// The renderer draws on surfaces of at most this many pixels a side.
constexpr int32_t MaxRenderSide = 32767;

}  // namespace

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
    // The size comes from the file's frame: refuse what cannot be a bitmap before any
    // memory is taken for it.
    const int32_t width = metafile.Width(), height = metafile.Height();
    if (width <= 0 || height <= 0 || width > MaxRenderSide || height > MaxRenderSide)
        throw ELinearBitmap("Invalid bitmap size");
    checkedSize({width, height, 4});
    Bitmap.Assign(metafile);
    if (CountColors(Bitmap, 256) <= 256) ReduceToIndexed(Bitmap);
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

void ReduceToIndexed(TLinearBitmap& Bitmap) {
    if (!Bitmap.Present || Bitmap.PixelFormat != pfBGR24) return;
    // Colours in order of first appearance; with at most 256 of them every pixel finds
    // its own colour, which the nearest-colour search would also end on.
    std::unordered_map<uint32_t, uint8_t> index;
    uint8_t palette[PaletteBytes] = {};
    int collected = 0;
    for (int32_t y = 0; y < Bitmap.Height && collected <= 256; ++y) {
        const uint8_t* p = Bitmap.ScanLine(y);
        for (int32_t x = 0; x < Bitmap.Width; ++x, p += 3) {
            const uint32_t c = p[0] | p[1] << 8 | p[2] << 16;
            if (index.count(c)) continue;
            if (collected == 256) return;  // more colours than a palette holds: stays 24 bits
            index.emplace(c, static_cast<uint8_t>(collected));
            std::memcpy(palette + 3 * collected, p, 3);
            ++collected;
        }
    }
    TLinearBitmap source;
    source.TakeOver(Bitmap);
    Bitmap.New(source.Width, source.Height, pfIndexed8);
    std::memcpy(Bitmap.Palette.get(), palette, PaletteBytes);
    for (int32_t y = 0; y < source.Height; ++y) {
        const uint8_t* p = source.ScanLine(y);
        uint8_t* d = Bitmap.ScanLine(y);
        uint32_t last = UINT32_MAX;
        uint8_t lastIndex = 0;
        for (int32_t x = 0; x < source.Width; ++x, p += 3) {
            const uint32_t c = p[0] | p[1] << 8 | p[2] << 16;
            if (c != last) {
                last = c;
                lastIndex = index.find(c)->second;
            }
            d[x] = lastIndex;
        }
    }
}

void InitializeWMFLoader() { RegisterLoaderOnce<TWMFLoader>(); }
