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

// Files are read whole, so a file the decoder could not use anyway is refused early.
constexpr long MaxFileSize = 0x7FFFFFFFL;
// Beyond the result codes that pixmorph names: the file could not be written completely.
constexpr int32_t WriteFailed = 6;

struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

int32_t ReadWholeFile(const char* name, std::vector<uint8_t>& data) {
    File file(std::fopen(name, "rb"));
    if (!file) return PixmorphCannotOpen;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return PixmorphBadData;
    const long size = std::ftell(file.get());
    if (size < 0 || size > MaxFileSize || std::fseek(file.get(), 0, SEEK_SET) != 0) return PixmorphBadData;
    data.resize(static_cast<size_t>(size));
    if (size > 0 && std::fread(data.data(), 1, data.size(), file.get()) != data.size()) return PixmorphBadData;
    return PixmorphOk;
}

bool SameText(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20)) return false;
    return *a == *b;
}

// Grey rows for an indexed image: palette entries through their luma (a grey palette
// gives its own levels back).
std::vector<uint8_t> GreyRows(const TImageContainer& image, int channelsIn) {
    std::vector<uint8_t> grey(static_cast<size_t>(image.Width) * static_cast<size_t>(image.Height));
    const auto* palette = static_cast<const uint8_t*>(image.Palette);
    for (int32_t y = 0; y < image.Height; ++y) {
        const uint8_t* row = static_cast<const uint8_t*>(image.Pixels) + int64_t{y} * image.BytesPerLine;
        for (int32_t x = 0; x < image.Width; ++x) {
            const uint8_t* bgr = channelsIn == 3 ? row + 3 * x : palette ? palette + 3 * row[x] : nullptr;
            grey[static_cast<size_t>(y) * image.Width + x] = bgr ? netpbm::Luma(bgr[0], bgr[1], bgr[2]) : row[x];
        }
    }
    return grey;
}

std::vector<uint8_t> ColourRows(const TImageContainer& image) {
    std::vector<uint8_t> bgr(static_cast<size_t>(image.Width) * static_cast<size_t>(image.Height) * 3);
    const auto* palette = static_cast<const uint8_t*>(image.Palette);
    for (int32_t y = 0; y < image.Height; ++y) {
        const uint8_t* row = static_cast<const uint8_t*>(image.Pixels) + int64_t{y} * image.BytesPerLine;
        for (int32_t x = 0; x < image.Width; ++x) {
            uint8_t* out = &bgr[(static_cast<size_t>(y) * image.Width + x) * 3];
            if (palette) {
                std::memcpy(out, palette + 3 * row[x], 3);
            } else {
                out[0] = out[1] = out[2] = row[x];
            }
        }
    }
    return bgr;
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
        std::vector<uint8_t> data;
        if (const int32_t result = ReadWholeFile(FileName, data)) return result;
        netpbm::Image decoded;
        if (const int32_t result = netpbm::Decode(data.data(), data.size(), decoded)) return result;
        auto* pixels = static_cast<uint8_t*>(std::malloc(decoded.pixels.size()));
        if (!pixels) return PixmorphBadData;
        std::memcpy(pixels, decoded.pixels.data(), decoded.pixels.size());
        const int bytesPerPixel = decoded.sixteenBit ? 2 : decoded.channels;
        *Image = TImageContainer{};
        Image->Width = decoded.width;
        Image->Height = decoded.height;
        Image->BytesPerLine = decoded.width * bytesPerPixel;
        Image->PixelFormat = decoded.channels == 3  ? PixmorphBGR24
                             : decoded.sixteenBit ? PixmorphGray16
                                                  : PixmorphIndexed8;
        Image->Pixels = pixels;
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
        std::vector<uint8_t> rows;
        const uint8_t* pixels = static_cast<const uint8_t*>(image.Pixels);
        int64_t stride = image.BytesPerLine;
        if (grey && !(channelsIn == 1 && IdentityPalette(image))) {
            rows = GreyRows(image, channelsIn);
        } else if (!grey && channelsIn == 1) {
            rows = ColourRows(image);
        }
        if (!rows.empty()) {
            pixels = rows.data();
            stride = int64_t{image.Width} * (grey ? 1 : 3);
        }
        const std::vector<uint8_t> file = netpbm::Encode(pixels, image.Width, image.Height, stride, grey ? 1 : 3);

        std::FILE* out = std::fopen(FileName, "wb");
        if (!out) return PixmorphCannotOpen;
        const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
        if (std::fclose(out) != 0) return written ? PixmorphCannotClose : WriteFailed;
        return written ? PixmorphOk : WriteFailed;
    });
}
