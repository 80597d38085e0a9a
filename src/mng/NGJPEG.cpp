#include "mng/NGJPEG.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "jpeg/JPEGBoundary.h"
#include "mng/NGConst.h"
#include "mng/NGErrors.h"
#include "platform/Exceptions.h"

namespace ngjpeg {

namespace {

const std::vector<const char*> JpegNames = {
    "jpeg_CreateDecompress", "jpeg_stdio_src", "jpeg_read_header", "jpeg_calc_output_dimensions",
    "jpeg_start_decompress", "jpeg_read_scanlines", "jpeg_finish_decompress", "jpeg_destroy_decompress",
    "jpeg_has_multiple_scans", "jpeg_consume_input", "jpeg_start_output", "jpeg_finish_output", "jpeg_destroy",
    "jpeg_CreateCompress", "jpeg_stdio_dest", "jpeg_set_defaults", "jpeg_set_quality", "jpeg_set_colorspace",
    "jpeg_simple_progression", "jpeg_start_compress", "jpeg_write_scanlines", "jpeg_finish_compress",
    "jpeg_resync_to_restart",
};

// A load of its own, made on first use and kept until the program ends; the libjpeg names
// are found through libmng's dependencies.
struct JpegEntries {
    void* handle = nullptr;
    std::vector<void*> addresses = std::vector<void*>(JpegNames.size(), nullptr);

    JpegEntries() {
        handle = ::dlopen(ng::LibmngName, RTLD_NOW | RTLD_LOCAL);
        if (!handle) return;
        for (size_t i = 0; i < JpegNames.size(); ++i) addresses[i] = ::dlsym(handle, JpegNames[i]);
    }
    ~JpegEntries() {
        if (handle) ::dlclose(handle);
    }
    JpegEntries(const JpegEntries&) = delete;
    JpegEntries& operator=(const JpegEntries&) = delete;
};

JpegEntries& Entries() {
    static JpegEntries entries;
    return entries;
}

size_t IndexOf(const char* name) {
    for (size_t i = 0; i < JpegNames.size(); ++i)
        if (std::strcmp(JpegNames[i], name) == 0) return i;
    return SIZE_MAX;
}

// A missing entry point fails the save up front: calling nothing in its place would
// leave the compressor waiting for rows that never get written.
template <class F>
F Need(const char* name) {
    JpegEntries& entries = Entries();
    if (!entries.handle) throw ng::ENGDLLNotLoaded(ng::SDLLNotLoaded);
    const size_t index = IndexOf(name);
    void* address = index == SIZE_MAX ? nullptr : entries.addresses[index];
    if (!address) throw ng::ENGFuncUnknown(ng::SFuncUnknown);
    return reinterpret_cast<F>(address);
}

constexpr int RowsPerCall = 16;

using fn_CreateCompress = void (*)(j_compress_ptr, int version, size_t structSize);
using fn_compress = void (*)(j_compress_ptr);
using fn_set_quality = void (*)(j_compress_ptr, int quality, boolean baseline);
using fn_set_colorspace = void (*)(j_compress_ptr, J_COLOR_SPACE);
using fn_start_compress = void (*)(j_compress_ptr, boolean writeAllTables);
using fn_write_scanlines = JDIMENSION (*)(j_compress_ptr, JSAMPARRAY rows, JDIMENSION count);
using fn_destroy = void (*)(j_common_ptr);

// The entry points a compression calls, resolved before any C code runs.
struct CompressEntries {
    fn_CreateCompress createCompress = Need<fn_CreateCompress>("jpeg_CreateCompress");
    fn_compress setDefaults = Need<fn_compress>("jpeg_set_defaults");
    fn_set_quality setQuality = Need<fn_set_quality>("jpeg_set_quality");
    fn_set_colorspace setColorspace = Need<fn_set_colorspace>("jpeg_set_colorspace");
    fn_compress simpleProgression = Need<fn_compress>("jpeg_simple_progression");
    fn_start_compress startCompress = Need<fn_start_compress>("jpeg_start_compress");
    fn_write_scanlines writeScanlines = Need<fn_write_scanlines>("jpeg_write_scanlines");
    fn_compress finishCompress = Need<fn_compress>("jpeg_finish_compress");
    fn_destroy destroy = Need<fn_destroy>("jpeg_destroy");
};

// One compression into memory: libjpeg's object with its managers, destroyed through the
// resolved entry point on every path. It stays where it was made, since libjpeg keeps
// pointers to its parts.
class Compression {
public:
    Compression(const CompressEntries& entries, std::vector<uint8_t>& output) : entries_(entries), output_(output) {
        host::InstallJPEGErrorManager(errors_, nullptr);
        cinfo_.err = &errors_.pub;
    }
    ~Compression() { entries_.destroy(reinterpret_cast<j_common_ptr>(&cinfo_)); }
    Compression(const Compression&) = delete;
    Compression& operator=(const Compression&) = delete;

    // Red, green, blue input of the bitmap's size, with the settings of the picture.
    void Start(const host::TBitmap& bitmap, const TJPEGImage& settings) {
        host::RunJPEGCalls(errors_, [&] {
            entries_.createCompress(&cinfo_, JPEG_LIB_VERSION, sizeof(jpeg_compress_struct));
            host::InstallJPEGMemoryDestination(&cinfo_, destination_, output_);
            cinfo_.image_width = static_cast<JDIMENSION>(bitmap.Width());
            cinfo_.image_height = static_cast<JDIMENSION>(bitmap.Height());
            cinfo_.input_components = 3;
            cinfo_.in_color_space = JCS_RGB;
            entries_.setDefaults(&cinfo_);
            entries_.setQuality(&cinfo_, settings.CompressionQuality, TRUE);
            if (settings.Grayscale) entries_.setColorspace(&cinfo_, JCS_GRAYSCALE);
            if (settings.ProgressiveEncoding) entries_.simpleProgression(&cinfo_);
            entries_.startCompress(&cinfo_, TRUE);
        });
    }

    // Hands libjpeg count rows; false when it stops taking them.
    bool WriteRows(JSAMPROW* rows, int count) {
        bool stalled = false;
        host::RunJPEGCalls(errors_, [&] {
            for (int done = 0; done < count && !stalled;) {
                const JDIMENSION written =
                    entries_.writeScanlines(&cinfo_, rows + done, static_cast<JDIMENSION>(count - done));
                stalled = written == 0;
                done += static_cast<int>(written);
            }
        });
        return !stalled;
    }

    void Finish() {
        host::RunJPEGCalls(errors_, [&] { entries_.finishCompress(&cinfo_); });
    }

private:
    const CompressEntries& entries_;
    std::vector<uint8_t>& output_;
    host::JPEGErrorManager errors_{};
    jpeg_compress_struct cinfo_{};
    host::JPEGMemoryDestination destination_{};
};

// Up to RowsPerCall rows of the bitmap from row y on, blue, green, red turned into red,
// green, blue; returns how many.
int ConvertRows(const host::TBitmap& bitmap, int32_t y, JSAMPROW* rows) {
    const int32_t width = bitmap.Width();
    const int count = std::min<int32_t>(bitmap.Height() - y, RowsPerCall);
    for (int i = 0; i < count; ++i) {
        const uint8_t* in = bitmap.ScanLine(y + i);
        uint8_t* out = rows[i];
        for (int32_t x = 0; x < width; ++x, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
    }
    return count;
}

// The bitmap as 24 bits per pixel: itself, or a converted copy held in converted.
const host::TBitmap& As24Bit(const host::TBitmap& source, std::unique_ptr<host::TBitmap>& converted) {
    if (source.PixelFormat() == host::pf24bit) return source;
    converted = std::make_unique<host::TBitmap>();
    converted->Assign(const_cast<host::TBitmap&>(source));
    converted->SetPixelFormat(host::pf24bit);
    return *converted;
}

}  // namespace

const std::vector<const char*>& JpegEntryNames() { return JpegNames; }

void* JpegEntryAddress(const char* name) {
    const size_t index = IndexOf(name);
    return index == SIZE_MAX ? nullptr : Entries().addresses[index];
}

void* ReplaceJpegEntryForTesting(const char* name, void* address) {
    const size_t index = IndexOf(name);
    if (index == SIZE_MAX) return nullptr;
    std::swap(Entries().addresses[index], address);
    return address;
}

std::vector<uint8_t> TJPEGImage::Compress(const host::TBitmap& source) const {
    // The compressor reads blue, green, red rows of 24 bits.
    std::unique_ptr<host::TBitmap> converted;
    const host::TBitmap& bitmap = As24Bit(source, converted);
    const CompressEntries entries;

    const auto rowBytes = static_cast<size_t>(bitmap.Width()) * 3;
    std::vector<uint8_t> buffer(std::max<size_t>(rowBytes, 3) * RowsPerCall);
    JSAMPROW rows[RowsPerCall];
    for (int i = 0; i < RowsPerCall; ++i) rows[i] = buffer.data() + static_cast<size_t>(i) * rowBytes;

    std::vector<uint8_t> output;
    Compression jpeg(entries, output);
    jpeg.Start(bitmap, *this);
    for (int32_t y = 0; y < bitmap.Height();) {
        const int count = ConvertRows(bitmap, y, rows);
        if (!jpeg.WriteRows(rows, count)) throw EJPEG(Format(host::SJPEGError, 0));
        y += count;
    }
    jpeg.Finish();
    return output;
}

}  // namespace ngjpeg
