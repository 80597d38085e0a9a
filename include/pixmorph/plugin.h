/* Pixmorph image plug-ins: the interface between pixmorph and a plug-in library.
 *
 * A plug-in is a shared library ("name.so") in the directory of the pixmorph executable.
 * It defines some of the five functions declared below; including this header exports
 * them under the names the loader looks for, so a plug-in is written as plain C++:
 *
 *     #include <pixmorph/plugin.h>
 *     char* LibGetLoadFilter() noexcept { return const_cast<char*>("My format (*.my)|*.my"); }
 *     int32_t LibLoadImage(char* FileName, char* Extension, TImageContainer* Image) noexcept { ... }
 *     int32_t LibFreeImage(TImageContainer* Image) noexcept { ... }
 *
 * and built with `c++ -shared -fPIC $(pkg-config --cflags pixmorph-plugin)`.
 *
 * Rules for plug-ins:
 * - LibFreeImage is required, and LibLoadImage or LibSaveImage (or both).
 * - The filters are file-dialog filters: descriptions and pattern lists alternate,
 *   separated by "|"; patterns are "*." and an extension; several patterns in one list
 *   are separated by ";". The strings stay valid while the library is loaded.
 * - LibLoadImage fills the container; what it allocates is the plug-in's until
 *   LibFreeImage, which pixmorph calls exactly once for every successful load, with a
 *   container holding the values LibLoadImage left in it. Rows follow each other
 *   BytesPerLine bytes apart, top row first. Normally pixmorph copies the pixels out
 *   and calls LibFreeImage at once.
 * - LibLoadImage may instead lend its rows, so that the image is held once, not twice:
 *   it sets Reserved to PixmorphKeepRows, and promises that Pixels holds
 *   BytesPerLine x Height bytes and at least 4 more behind them, all of which pixmorph
 *   may read and write, and that nothing else touches them until LibFreeImage. Where
 *   the layout fits (codes 0x01, 0x11, 0x21 and 0x03 with rows packed, BytesPerLine =
 *   Width x bytes per pixel), pixmorph then keeps the rows as its image and calls
 *   LibFreeImage only when that image goes, which may be after further calls into the
 *   plug-in; the library stays loaded until then. Otherwise it copies as usual.
 * - LibSaveImage reads the container (code 1 or 3, pointing into pixmorph's image) and
 *   must not keep its pointers.
 * - The functions return 0 for success or one of the PixmorphResult codes; any other
 *   value is reported as a number. No exception may leave them (they are noexcept:
 *   one that escapes ends the process); PixmorphGuard turns one into a result code.
 */
#ifndef PIXMORPH_PLUGIN_H
#define PIXMORPH_PLUGIN_H

#include <stdint.h>

/* The image record both sides exchange; the platform's natural layout. */
typedef struct TImageContainer TImageContainer;
struct TImageContainer {
    int32_t Width;        /* pixels */
    int32_t Height;       /* pixels */
    int32_t BytesPerLine; /* bytes from one row to the next */
    int32_t PixelFormat;  /* PixmorphPixelFormat */
    void* Pixels;         /* the rows, top row first */
    void* Palette;        /* 256 entries of blue, green, red, or null */
    int32_t Reserved;     /* 0, or PixmorphKeepRows from LibLoadImage (see the rules) */
};

/* Reserved of a loaded container: pixmorph may keep the rows until LibFreeImage. */
enum PixmorphContainerFlags { PixmorphKeepRows = 1 };

/* Pixel formats: the low 4 bits give the number of channels, the high 4 bits the layout. */
enum PixmorphPixelFormat {
    PixmorphIndexed8 = 0x01,       /* one byte per pixel: palette index, or grey without palette */
    PixmorphIndexed8Planar = 0x11, /* the same */
    PixmorphGray16 = 0x21,         /* two bytes per pixel, little-endian grey */
    PixmorphBGR24 = 0x03,          /* blue, green, red */
    PixmorphBGRX32 = 0x04,         /* blue, green, red and a fourth byte (not kept) */
    PixmorphPlanar = 0x10          /* | channels (2 to 15): one Width x Height byte plane per
                                      channel, one after the other: blue, green, red, ... */
};

/* Results. */
enum PixmorphResult {
    PixmorphOk = 0,
    PixmorphCannotOpen = 2,          /* "Unable to open file" */
    PixmorphBadData = 3,             /* "Error in bitmap data" */
    PixmorphBadPixelFormat = 4,      /* "Unsupported pixel format" */
    PixmorphCannotClose = 5          /* "Unable to close file" */
};

/* The names the loader looks the functions up under. First the names they have on
 * Windows; GNU, gold and LLVM linkers all read "@" in a symbol name as the start of a
 * symbol version, so no ELF library can export those. Then the names the C++
 * declarations below get on Linux (the Itanium C++ ABI), which is what a plug-in that
 * includes this header exports. */
#define PIXMORPH_SYMBOL_LOAD_IMAGE "?LibLoadImage@@YGHPAD0PAUTImageContainer@@@Z"
#define PIXMORPH_SYMBOL_SAVE_IMAGE "?LibSaveImage@@YGHPAD0PAUTImageContainer@@@Z"
#define PIXMORPH_SYMBOL_FREE_IMAGE "?LibFreeImage@@YGHPAUTImageContainer@@@Z"
#define PIXMORPH_SYMBOL_GET_LOAD_FILTER "?LibGetLoadFilter@@YGPADXZ"
#define PIXMORPH_SYMBOL_GET_SAVE_FILTER "?LibGetSaveFilter@@YGPADXZ"
#define PIXMORPH_ELF_SYMBOL_LOAD_IMAGE "_Z12LibLoadImagePcS_P15TImageContainer"
#define PIXMORPH_ELF_SYMBOL_SAVE_IMAGE "_Z12LibSaveImagePcS_P15TImageContainer"
#define PIXMORPH_ELF_SYMBOL_FREE_IMAGE "_Z12LibFreeImageP15TImageContainer"
#define PIXMORPH_ELF_SYMBOL_GET_LOAD_FILTER "_Z16LibGetLoadFilterv"
#define PIXMORPH_ELF_SYMBOL_GET_SAVE_FILTER "_Z16LibGetSaveFilterv"

#ifdef __cplusplus

/* Exports a function from a plug-in built with hidden visibility (-fvisibility=hidden):
 * the declarations below carry it, so the definitions need nothing more. */
#define PIXMORPH_EXPORT extern "C++" __attribute__((visibility("default")))

PIXMORPH_EXPORT int32_t LibLoadImage(char* FileName, char* Extension, TImageContainer* Image) noexcept;
PIXMORPH_EXPORT int32_t LibSaveImage(char* FileName, char* Extension, TImageContainer* Image) noexcept;
PIXMORPH_EXPORT int32_t LibFreeImage(TImageContainer* Image) noexcept;
PIXMORPH_EXPORT char* LibGetLoadFilter() noexcept;
PIXMORPH_EXPORT char* LibGetSaveFilter() noexcept;

/* Runs body (returning int32_t) and returns its result; an exception that leaves body
 * becomes the result onException instead. */
template <class Body>
inline int32_t PixmorphGuard(Body&& body, int32_t onException = PixmorphBadData) noexcept {
    try {
        return body();
    } catch (...) {
        return onException;
    }
}

/* The function types pixmorph calls through. */
typedef int32_t (*PixmorphImageFunction)(char* FileName, char* Extension, TImageContainer* Image);
typedef int32_t (*PixmorphFreeFunction)(TImageContainer* Image);
typedef char* (*PixmorphFilterFunction)();

#endif /* __cplusplus */

#endif /* PIXMORPH_PLUGIN_H */
