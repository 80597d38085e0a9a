// A plug-in for the loader's tests: the extension it is asked for says what it does
// (KEEP and KEEPPAD lend rows from malloc with PixmorphKeepRows). Built seven times: as
// it is; CLAIM_PPM (it names only "*.ppm" and answers with one marker pixel); CLAIM_PPMX
// (the same for "*.ppmx"); NO_FREE (no LibFreeImage: the loader must ignore it);
// LOAD_ONLY (no LibSaveImage, no save filter); UNTERMINATED (its load filter runs
// without a zero up to memory that cannot be read); ABORTS (it names only "*.abrt" and
// aborts the process on every file); SPINS (it names only "*.spin" and computes without
// end on every file, a runaway conversion).

#include <pixmorph/plugin.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int32_t frees = 0;
uint8_t pixels[64];
[[maybe_unused]] uint8_t palette[768];

[[maybe_unused]] int32_t Fill(TImageContainer* image, int32_t width, int32_t height, int32_t bytesPerLine, int32_t format) {
    for (size_t i = 0; i < sizeof pixels; ++i) pixels[i] = static_cast<uint8_t>(10 + i);
    *image = TImageContainer{width, height, bytesPerLine, format, pixels, nullptr, 0};
    return PixmorphOk;
}

}  // namespace

// How often LibFreeImage was called, for the tests to read.
extern "C" __attribute__((visibility("default"))) int32_t TestFreeCount() { return frees; }

char* LibGetLoadFilter() noexcept {
#if defined(CLAIM_PPM)
    static char filter[] = "Marker (*.ppm)|*.ppm";
#elif defined(CLAIM_PPMX)
    static char filter[] = "Marker (*.ppmx)|*.ppmx";
#elif defined(ABORTS)
    static char filter[] = "Aborts (*.abrt)|*.abrt";
#elif defined(SPINS)
    static char filter[] = "Spins (*.spin)|*.spin";
#elif defined(UNTERMINATED)
    // A page of text without a zero, followed by a page nobody may read.
    const long page = sysconf(_SC_PAGESIZE);
    static char* filter = nullptr;
    if (!filter) {
        void* pages = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (pages == MAP_FAILED) return nullptr;
        filter = static_cast<char*>(pages);
        std::memset(filter, 'x', page);
        std::memcpy(filter + 10, "(*.unt)|*.unt|", 14);
        mprotect(filter + page, page, PROT_NONE);
        filter += 10;
    }
#else
    static char filter[] =
        "Scripted (*.ok8)|*.ok8;*.pal8;*.g16;*.c4;*.p2;*.p4;*.r2;*.r3;*.r4;*.r5;*.r7;*.ok8;*.keep;*.keeppad|"
        "Scripted errors|*.f00;*.f05;*.f31;*.negw;*.zeroh;*.nullpix;*.shortbpl;*.bigsize;*.Ok8";
#endif
    return filter;
}

#ifndef LOAD_ONLY
char* LibGetSaveFilter() noexcept {
    static char filter[] = "Scripted (*.dump)|*.dump;*.s9";
    return filter;
}

// Writes the container's fields and its rows (Width × bytes per pixel each) as they arrive.
int32_t LibSaveImage(char* FileName, char* Extension, TImageContainer* Image) noexcept {
    if (std::strcmp(Extension, "S9") == 0) return 9;
    std::FILE* file = std::fopen(FileName, "wb");
    if (!file) return PixmorphCannotOpen;
    std::fprintf(file, "%d %d %d %d %d\n", Image->Width, Image->Height, Image->BytesPerLine, Image->PixelFormat,
                 Image->Palette ? 1 : 0);
    const int32_t rowBytes = Image->Width * (Image->PixelFormat == PixmorphBGR24 ? 3 : 1);
    for (int32_t y = 0; y < Image->Height; ++y)
        std::fwrite(static_cast<const uint8_t*>(Image->Pixels) + y * Image->BytesPerLine, 1, rowBytes, file);
    return std::fclose(file) == 0 ? PixmorphOk : PixmorphCannotClose;
}
#endif

int32_t LibLoadImage(char* FileName, char* Extension, TImageContainer* Image) noexcept {
#if defined(ABORTS)
    std::abort();
#elif defined(SPINS)
    for (volatile unsigned long turn = 0;; turn = turn + 1) {
    }
#elif defined(CLAIM_PPM) || defined(CLAIM_PPMX)
    pixels[0] = 1;
    pixels[1] = 2;
    pixels[2] = 3;
    *Image = TImageContainer{1, 1, 3, PixmorphBGR24, pixels, nullptr, 0};
    return PixmorphOk;
#else
    const std::string ext = Extension;
    if (ext.size() == 2 && ext[0] == 'R') return ext[1] - '0';
    if (ext == "OK8") return Fill(Image, 3, 2, 4, PixmorphIndexed8);  // one byte of padding per row
    if (ext == "PAL8") {
        for (int i = 0; i < 768; ++i) palette[i] = static_cast<uint8_t>(255 - i % 256);
        Fill(Image, 2, 2, 2, PixmorphIndexed8);
        Image->Palette = palette;
        return PixmorphOk;
    }
    if (ext == "G16") return Fill(Image, 2, 2, 4, PixmorphGray16);
    if (ext == "KEEP" || ext == "KEEPPAD") {  // 2 x 2 of 24 bits, lent; KEEPPAD with padded rows
        const int32_t bytesPerLine = ext == "KEEP" ? 6 : 8;
        auto* lent = static_cast<uint8_t*>(std::calloc(2 * bytesPerLine + 4, 1));
        if (!lent) return PixmorphBadData;
        for (int i = 0; i < 2 * bytesPerLine; ++i) lent[i] = static_cast<uint8_t>(10 + i);
        *Image = TImageContainer{2, 2, bytesPerLine, PixmorphBGR24, lent, nullptr, PixmorphKeepRows};
        return PixmorphOk;
    }
    if (ext == "C4") return Fill(Image, 2, 2, 8, PixmorphBGRX32);
    if (ext == "P2") return Fill(Image, 2, 2, 2, PixmorphPlanar | 2);
    if (ext == "P4") return Fill(Image, 2, 2, 2, PixmorphPlanar | 4);
    if (ext == "F00") return Fill(Image, 2, 2, 2, 0x00);
    if (ext == "F05") return Fill(Image, 2, 2, 2, 0x05);
    if (ext == "F31") return Fill(Image, 2, 2, 2, 0x31);
    if (ext == "NEGW") return Fill(Image, -2, 2, 2, PixmorphIndexed8);
    if (ext == "ZEROH") return Fill(Image, 2, 0, 2, PixmorphIndexed8);
    if (ext == "NULLPIX") {
        Fill(Image, 2, 2, 2, PixmorphIndexed8);
        Image->Pixels = nullptr;
        return PixmorphOk;
    }
    if (ext == "SHORTBPL") return Fill(Image, 4, 2, 11, PixmorphBGR24);
    if (ext == "BIGSIZE") return Fill(Image, 0x40000000, 0x40000000, 0x40000000, PixmorphIndexed8);
    return PixmorphBadData;
#endif
}

#ifndef NO_FREE
int32_t LibFreeImage(TImageContainer* Image) noexcept {
    ++frees;
    // The container comes back as LibLoadImage left it.
    if (Image->Reserved == PixmorphKeepRows) std::free(Image->Pixels);
    Image->Pixels = nullptr;
    return PixmorphOk;
}
#endif
