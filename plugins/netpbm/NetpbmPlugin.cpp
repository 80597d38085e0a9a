// The sample image plug-in: Netpbm grey and colour images (.pgm, .ppm, .pnm).
// Reads P2, P3, P5 and P6 files of any maxval; writes P5 (.pgm), P6 (.ppm), and for
// .pnm P5 when the image is grey and P6 otherwise.

#include <pixmorph/plugin.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Netpbm.h"

namespace {

// The decoder needs the size, so a file the image model could not hold anyway is refused early.
constexpr long MaxFileSize = 0x7FFFFFFFL;
// Beyond the result codes that pixmorph names: the file could not be written completely.
constexpr int32_t WriteFailed = 6;

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

int32_t DecodeFile(const char* name, netpbm::Image& image) {
    File file(std::fopen(name, "rb"));
    if (!file) return PixmorphCannotOpen;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return PixmorphBadData;
    const long size = std::ftell(file.get());
    if (size < 0 || size > MaxFileSize || std::fseek(file.get(), 0, SEEK_SET) != 0) return PixmorphBadData;
    netpbm::FileSource source(file.get(), static_cast<size_t>(size));
    return netpbm::Decode(source, image);
}

bool SameText(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20)) return false;
    return *a == *b;
}

const uint8_t* RowOf(const TImageContainer& image, int32_t y) {
    return static_cast<const uint8_t*>(image.Pixels) + int64_t{y} * image.BytesPerLine;
}

// The rows as written, one at a time: as they are, or converted into one row of its own.
// Grey from colour or an indexed image goes through the luma of the colours (a grey
// palette gives its own levels back); colour from an indexed image through the palette.
netpbm::RowSource RowsFor(const TImageContainer& image, int channelsIn, bool grey, bool converted,
                          std::vector<uint8_t>& line) {
    if (!converted) return [&image](int32_t y) { return RowOf(image, y); };
    line.resize(static_cast<size_t>(image.Width) * (grey ? 1 : 3));
    const auto* palette = static_cast<const uint8_t*>(image.Palette);
    return [&image, &line, channelsIn, grey, palette](int32_t y) {
        const uint8_t* row = RowOf(image, y);
        for (int32_t x = 0; x < image.Width; ++x) {
            const uint8_t* bgr = channelsIn == 3 ? row + 3 * x : palette ? palette + 3 * row[x] : nullptr;
            if (grey) {
                line[x] = bgr ? netpbm::Luma(bgr[0], bgr[1], bgr[2]) : row[x];
            } else if (bgr) {
                std::memcpy(&line[3 * x], bgr, 3);
            } else {
                line[3 * x] = line[3 * x + 1] = line[3 * x + 2] = row[x];
            }
        }
        return static_cast<const uint8_t*>(line.data());
    };
}

// Every entry grey: the image can be written as grey without losing colour.
bool GreyPalette(const TImageContainer& image) {
    const auto* palette = static_cast<const uint8_t*>(image.Palette);
    if (!palette) return true;
    for (int i = 0; i < 256; ++i)
        if (palette[3 * i] != palette[3 * i + 1] || palette[3 * i] != palette[3 * i + 2]) return false;
    return true;
}

// Entry i is grey level i: the indices are the grey levels themselves.
bool IdentityPalette(const TImageContainer& image) {
    const auto* palette = static_cast<const uint8_t*>(image.Palette);
    if (!palette) return true;
    for (int i = 0; i < 256; ++i)
        if (palette[3 * i] != i || palette[3 * i + 1] != i || palette[3 * i + 2] != i) return false;
    return true;
}

}  // namespace

char* LibGetLoadFilter() noexcept {
    static char filter[] = "Netpbm image (*.ppm;*.pgm;*.pnm)|*.ppm;*.pgm;*.pnm";
    return filter;
}

char* LibGetSaveFilter() noexcept {
    static char filter[] =
        "Portable pixmap (*.ppm)|*.ppm|Portable graymap (*.pgm)|*.pgm|Portable anymap (*.pnm)|*.pnm";
    return filter;
}

int32_t LibLoadImage(char* FileName, char* Extension, TImageContainer* Image) noexcept {
    return PixmorphGuard([&]() -> int32_t {
        netpbm::Image decoded;
        if (const int32_t result = DecodeFile(FileName, decoded)) return result;
        const int bytesPerPixel = decoded.sixteenBit ? 2 : decoded.channels;
        *Image = TImageContainer{};
        Image->Width = decoded.width;
        Image->Height = decoded.height;
        Image->BytesPerLine = decoded.width * bytesPerPixel;
        Image->PixelFormat = decoded.channels == 3  ? PixmorphBGR24
                             : decoded.sixteenBit ? PixmorphGray16
                                                  : PixmorphIndexed8;
        // Packed rows from malloc with spare bytes behind: pixmorph may keep them.
        Image->Pixels = decoded.pixels.release();
        Image->Reserved = PixmorphKeepRows;
        return PixmorphOk;
    });
}

int32_t LibFreeImage(TImageContainer* Image) noexcept {
    std::free(Image->Pixels);
    Image->Pixels = nullptr;
    return PixmorphOk;
}

int32_t LibSaveImage(char* FileName, char* Extension, TImageContainer* Image) noexcept {
    return PixmorphGuard([&]() -> int32_t {
        const TImageContainer& image = *Image;
        if (image.PixelFormat != PixmorphIndexed8 && image.PixelFormat != PixmorphBGR24) return PixmorphBadPixelFormat;
        const int channelsIn = image.PixelFormat == PixmorphBGR24 ? 3 : 1;
        if (image.Width <= 0 || image.Height <= 0 || !image.Pixels ||
            image.BytesPerLine < int64_t{image.Width} * channelsIn)
            return PixmorphBadData;

        const bool grey = SameText(Extension, "PGM") ||
                          (SameText(Extension, "PNM") && channelsIn == 1 && GreyPalette(image));
        const bool converted = grey ? !(channelsIn == 1 && IdentityPalette(image)) : channelsIn == 1;
        std::vector<uint8_t> line;
        const netpbm::RowSource rows = RowsFor(image, channelsIn, grey, converted, line);

        File out(std::fopen(FileName, "wb"));
        if (!out) return PixmorphCannotOpen;
        const bool written = netpbm::Encode(image.Width, image.Height, grey ? 1 : 3, rows,
                                            [&](const uint8_t* data, size_t size) {
                                                return std::fwrite(data, 1, size, out.get()) == size;
                                            });
        if (std::fclose(out.release()) != 0) return written ? PixmorphCannotClose : WriteFailed;
        return written ? PixmorphOk : WriteFailed;
    });
}
