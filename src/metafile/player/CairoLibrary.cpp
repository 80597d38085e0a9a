#include "metafile/player/CairoLibrary.h"

#include <dlfcn.h>

#include "metafile/MetafileLimits.h"
#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"

namespace host {

namespace {

CairoLibrary Load() {
    void* handle = ::dlopen(CairoLibraryName, RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw Exception(SCairoNotLoaded);
    CairoLibrary library;
    bool complete = true;
#define PIXMORPH_CAIRO_RESOLVE(name)                                                               \
    library.name = reinterpret_cast<decltype(library.name)>(::dlsym(handle, "cairo_" #name)); \
    complete = complete && library.name != nullptr;
    PIXMORPH_CAIRO_FUNCTIONS(PIXMORPH_CAIRO_RESOLVE)
#undef PIXMORPH_CAIRO_RESOLVE
    if (!complete) {
        ::dlclose(handle);
        throw Exception(SCairoNotLoaded);
    }
    // The handle stays open: fonts and surfaces live as long as the program.
    return library;
}

}  // namespace

const CairoLibrary& Cairo() {
    static const CairoLibrary library = Load();
    return library;
}

Surface MakeSurface(cairo_format_t format, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0 || width > MaxPictureSide || height > MaxPictureSide) return nullptr;
    // Every surface counts against the image limit like any other image buffer.
    checkedSize({width, height, format == CAIRO_FORMAT_A8 ? 1 : 4});
    const CairoLibrary& cairo = Cairo();
    Surface surface(cairo.image_surface_create(format, width, height), CairoDeleter());
    if (cairo.surface_status(surface.get()) != CAIRO_STATUS_SUCCESS) return nullptr;
    return surface;
}

Path CopyPath(cairo_t* cr) {
    Path path(Cairo().copy_path(cr), CairoDeleter());
    if (path->status != CAIRO_STATUS_SUCCESS) return nullptr;
    return path;
}

void SetSourceColor(cairo_t* cr, uint32_t rgb) {
    Cairo().set_source_rgb(cr, (rgb >> 16 & 0xFF) / 255.0, (rgb >> 8 & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

}  // namespace host
