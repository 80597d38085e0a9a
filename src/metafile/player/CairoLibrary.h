#pragma once

#include <cairo.h>

#include <cstdint>
#include <memory>

// The renderer, loaded on the first metafile drawn: a conversion that draws no metafile
// never loads cairo nor the font and display libraries it brings.
namespace host {

inline constexpr const char* CairoLibraryName = "libcairo.so.2";
inline constexpr const char* SCairoNotLoaded = "libcairo.so.2 was not loaded correctly";

// Every cairo function the player calls, each listed once.
#define PIXMORPH_CAIRO_FUNCTIONS(X)                                                                      \
    X(append_path) X(arc) X(arc_negative) X(clip) X(close_path) X(copy_path) X(create) X(curve_to)       \
    X(destroy) X(fill) X(fill_extents) X(font_extents) X(font_options_create) X(font_options_destroy)    \
    X(font_options_set_antialias) X(font_options_set_hint_metrics) X(get_source) X(has_current_point)    \
    X(identity_matrix) X(image_surface_create) X(image_surface_create_for_data)                          \
    X(image_surface_get_data) X(image_surface_get_height) X(image_surface_get_stride)                    \
    X(image_surface_get_width) X(line_to) X(mask_surface) X(matrix_init_identity)                        \
    X(matrix_init_translate) X(matrix_invert) X(matrix_multiply) X(matrix_transform_point) X(move_to)    \
    X(new_path) X(new_sub_path) X(paint) X(path_destroy) X(pattern_add_color_stop_rgb)                   \
    X(pattern_create_for_surface) X(pattern_create_linear) X(pattern_destroy) X(pattern_set_extend)      \
    X(pattern_set_filter) X(pattern_set_matrix) X(pop_group_to_source) X(push_group) X(rectangle)        \
    X(reset_clip) X(restore) X(rotate) X(save) X(scale) X(select_font_face) X(set_antialias) X(set_dash) \
    X(set_fill_rule) X(set_font_options) X(set_font_size) X(set_line_cap) X(set_line_join)               \
    X(set_line_width) X(set_matrix) X(set_operator)                                                      \
    X(set_miter_limit) X(set_source) X(set_source_rgb) X(set_source_surface) X(set_tolerance)            \
    X(show_text) X(status) X(stroke) X(stroke_extents) X(surface_destroy) X(surface_flush)               \
    X(surface_mark_dirty) X(surface_status) X(text_extents) X(text_path) X(transform) X(translate)

// The entry points, resolved once; each has the type of the function it stands for.
struct CairoLibrary {
#define PIXMORPH_CAIRO_ENTRY(name) decltype(&::cairo_##name) name = nullptr;
    PIXMORPH_CAIRO_FUNCTIONS(PIXMORPH_CAIRO_ENTRY)
#undef PIXMORPH_CAIRO_ENTRY
};

// Loads the library on first use and keeps it until the program ends. Exception
// "libcairo.so.2 was not loaded correctly" when it or one of its functions is missing.
const CairoLibrary& Cairo();

// One owner per cairo object, released through the loaded library.
struct CairoDeleter {
    void operator()(cairo_t* c) const { Cairo().destroy(c); }
    void operator()(cairo_surface_t* s) const { Cairo().surface_destroy(s); }
    void operator()(cairo_pattern_t* p) const { Cairo().pattern_destroy(p); }
    void operator()(cairo_path_t* p) const { Cairo().path_destroy(p); }
    void operator()(cairo_font_options_t* o) const { Cairo().font_options_destroy(o); }
};
using Context = std::unique_ptr<cairo_t, CairoDeleter>;
using Pattern = std::unique_ptr<cairo_pattern_t, CairoDeleter>;
using FontOptions = std::unique_ptr<cairo_font_options_t, CairoDeleter>;
// Surfaces and paths are shared by the states a metafile saves and the objects it selects.
using Surface = std::shared_ptr<cairo_surface_t>;
using Path = std::shared_ptr<cairo_path_t>;

// An image surface of a size the renderer takes; null for any other size or a failure.
// ELinearBitmap "Invalid bitmap size" past the image limit.
Surface MakeSurface(cairo_format_t format, int32_t width, int32_t height);
// The context's current path; null when cairo could not copy it.
Path CopyPath(cairo_t* cr);
// A 0x00RRGGBB colour as the context's source.
void SetSourceColor(cairo_t* cr, uint32_t rgb);

}  // namespace host
