#include "mng/NGImages.h"

#include <dlfcn.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "mng/NGConst.h"
#include "jpeg/JPEGBoundary.h"
#include "mng/NGJPEG.h"
#include "picture/PixelBuffer.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"
#include "platform/Files.h"

namespace ng {

// ---------------------------------------------------------------- the entry-point tables

namespace {

const std::vector<const char*> LibmngNames = {
    "mng_version_text", "mng_version_so", "mng_version_dll", "mng_version_major", "mng_version_minor",
    "mng_version_release", "mng_version_beta", "mng_supports_func", "mng_initialize", "mng_reset", "mng_cleanup",
    "mng_read", "mng_write", "mng_create", "mng_readdisplay", "mng_display", "mng_display_resume",
    "mng_display_freeze", "mng_display_reset", "mng_trapevent", "mng_getlasterror",
    "mng_setcb_memalloc", "mng_setcb_memfree", "mng_setcb_openstream", "mng_setcb_closestream",
    "mng_setcb_readdata", "mng_setcb_writedata", "mng_setcb_errorproc", "mng_setcb_processheader",
    "mng_setcb_processtext", "mng_setcb_processsave", "mng_setcb_processseek", "mng_setcb_processneed",
    "mng_setcb_processmend", "mng_setcb_processunknown", "mng_setcb_processterm", "mng_setcb_getcanvasline",
    "mng_setcb_getalphaline", "mng_setcb_getbkgdline", "mng_setcb_refresh", "mng_setcb_gettickcount",
    "mng_setcb_settimer",
    "mng_getcb_memalloc", "mng_getcb_memfree", "mng_getcb_openstream", "mng_getcb_closestream",
    "mng_getcb_readdata", "mng_getcb_writedata", "mng_getcb_errorproc", "mng_getcb_processheader",
    "mng_getcb_processtext", "mng_getcb_processsave", "mng_getcb_processseek", "mng_getcb_processneed",
    "mng_getcb_processmend", "mng_getcb_processunknown", "mng_getcb_processterm", "mng_getcb_getcanvasline",
    "mng_getcb_getalphaline", "mng_getcb_getbkgdline", "mng_getcb_refresh", "mng_getcb_gettickcount",
    "mng_getcb_settimer",
    "mng_set_userdata", "mng_set_canvasstyle", "mng_set_bkgdstyle", "mng_set_bgcolor", "mng_set_usebkgd",
    "mng_set_storechunks", "mng_set_cacheplayback", "mng_set_viewgammaint", "mng_set_displaygammaint",
    "mng_set_dfltimggammaint", "mng_set_srgb", "mng_set_outputprofile", "mng_set_outputprofile2",
    "mng_set_outputsrgb", "mng_set_srgbprofile", "mng_set_srgbprofile2", "mng_set_srgbimplicit",
    "mng_set_maxcanvassize",
    "mng_get_userdata", "mng_get_sigtype", "mng_get_imagetype", "mng_get_imagewidth", "mng_get_imageheight",
    "mng_get_ticks", "mng_get_framecount", "mng_get_layercount", "mng_get_playtime", "mng_get_simplicity",
    "mng_get_bitdepth", "mng_get_colortype", "mng_get_compression", "mng_get_filter", "mng_get_interlace",
    "mng_get_alphabitdepth", "mng_get_alphacompression", "mng_get_alphafilter", "mng_get_alphainterlace",
    "mng_get_alphadepth", "mng_get_bgcolor", "mng_get_usebkgd", "mng_get_viewgammaint",
    "mng_get_displaygammaint", "mng_get_dfltimggammaint", "mng_get_srgb", "mng_get_maxcanvaswidth",
    "mng_get_maxcanvasheight", "mng_get_starttime", "mng_get_runtime", "mng_get_currentframe",
    "mng_get_currentlayer", "mng_get_currentplaytime",
    "mng_status_error", "mng_status_reading", "mng_status_suspendbreak", "mng_status_creating",
    "mng_status_writing", "mng_status_displaying", "mng_status_running", "mng_status_timerbreak",
    "mng_status_dynamic",
    "mng_putchunk_ihdr", "mng_putchunk_plte", "mng_putchunk_idat", "mng_putchunk_iend", "mng_putchunk_trns",
    "mng_putchunk_gama", "mng_putchunk_chrm", "mng_putchunk_srgb", "mng_putchunk_iccp", "mng_putchunk_text",
    "mng_putchunk_ztxt", "mng_putchunk_itxt", "mng_putchunk_bkgd", "mng_putchunk_phys", "mng_putchunk_sbit",
    "mng_putchunk_splt", "mng_putchunk_hist", "mng_putchunk_time", "mng_putchunk_jhdr", "mng_putchunk_jdat",
    "mng_putchunk_jsep",
};

const std::vector<const char*> ZlibNames = {
    "deflateInit_", "inflateInit_", "deflateInit2_", "inflateInit2_", "zlibVersion", "deflateInit", "deflate",
    "deflateEnd", "inflateInit", "inflate", "inflateEnd", "deflateInit2", "deflateSetDictionary", "deflateCopy",
    "deflateReset", "deflateParams", "inflateInit2", "inflateSetDictionary", "inflateSync", "inflateReset",
    "compress", "compress2", "uncompress", "adler32", "crc32", "zError", "inflateSyncPoint", "get_crc_table",
};

struct LibraryState {
    std::string name = LibmngName;
    void* handle = nullptr;
    int count = 0;
    // libmng's names first, then zlib's.
    std::vector<void*> addresses = std::vector<void*>(LibmngNames.size() + ZlibNames.size(), nullptr);
};

LibraryState& Library() {
    static LibraryState state;
    return state;
}

size_t IndexOf(const char* name) {
    for (size_t i = 0; i < LibmngNames.size(); ++i)
        if (std::strcmp(LibmngNames[i], name) == 0) return i;
    for (size_t i = 0; i < ZlibNames.size(); ++i)
        if (std::strcmp(ZlibNames[i], name) == 0) return LibmngNames.size() + i;
    return SIZE_MAX;
}

template <class F>
F Entry(size_t index) {
    LibraryState& library = Library();
    if (!library.handle) throw ENGDLLNotLoaded(SDLLNotLoaded);
    void* address = index < library.addresses.size() ? library.addresses[index] : nullptr;
    if (!address) throw ENGFuncUnknown(SFuncUnknown);
    return reinterpret_cast<F>(address);
}

// The entry point of a name with its C signature; each call site looks its name up once.
#define NG_ENTRY(type, name)                     \
    Entry<type>([] {                             \
        static const size_t index = IndexOf(name); \
        return index;                            \
    }())

using fn_deflateInit2 = int (*)(z_stream*, int level, int method, int windowBits, int memLevel, int strategy,
                                const char* version, int streamSize);
using fn_deflate = int (*)(z_stream*, int flush);
using fn_deflateEnd = int (*)(z_stream*);

}  // namespace

void LoadLibmng() {
    LibraryState& library = Library();
    if (++library.count != 1) return;
    library.handle = ::dlopen(library.name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library.handle) return;
    // zlib's names are found through libmng's own dependencies.
    for (size_t i = 0; i < LibmngNames.size(); ++i) library.addresses[i] = ::dlsym(library.handle, LibmngNames[i]);
    for (size_t i = 0; i < ZlibNames.size(); ++i)
        library.addresses[LibmngNames.size() + i] = ::dlsym(library.handle, ZlibNames[i]);
}

void UnloadLibmng() {
    LibraryState& library = Library();
    if (library.count == 0) return;
    if (--library.count != 0) return;
    std::fill(library.addresses.begin(), library.addresses.end(), nullptr);
    if (library.handle) ::dlclose(library.handle);
    library.handle = nullptr;
}

bool LibmngLoaded() { return Library().handle != nullptr; }
int LibmngLoadCount() { return Library().count; }

const std::vector<const char*>& LibmngEntryNames() { return LibmngNames; }
const std::vector<const char*>& ZlibEntryNames() { return ZlibNames; }

void* EntryAddress(const char* name) {
    const size_t index = IndexOf(name);
    return index == SIZE_MAX ? nullptr : Library().addresses[index];
}

void SetLibraryNameForTesting(const std::string& name) { Library().name = name; }

void* ReplaceEntryForTesting(const char* name, void* address) {
    const size_t index = IndexOf(name);
    if (index == SIZE_MAX || !LibmngLoaded()) return nullptr;
    std::swap(Library().addresses[index], address);
    return address;
}

void CheckLibmngVersion() {
    const int major = NG_ENTRY(fn_version_int, "mng_version_major")();
    const bool tooOld =
        major == 0 || (major == 1 && NG_ENTRY(fn_version_int, "mng_version_minor")() == 0 &&
                       NG_ENTRY(fn_version_int, "mng_version_release")() < 5);
    if (tooOld) throw ENGImageException(Format(SVersionTooOld, SNGImageVersion, SLibmngRequired));
}

// ---------------------------------------------------------------- callbacks

// Every callback finds its bitmap through the handle's user data. None lets an exception
// into libmng: it is recorded on the bitmap, the library hears of a failure, and the
// caller raises it again once the library call has returned.
struct Callbacks {
    template <class R, class Body>
    static R Guard(mng_handle handle, R failure, Body&& body) noexcept {
        TNGBitmap* bitmap = nullptr;
        try {
            bitmap = static_cast<TNGBitmap*>(NG_ENTRY(fn_get_userdata, "mng_get_userdata")(handle));
            if (!bitmap) return failure;
            return body(*bitmap);
        } catch (...) {
            if (bitmap && !bitmap->pending_) bitmap->pending_ = std::current_exception();
            return failure;
        }
    }

    static mng_ptr Alloc(mng_size_t length) noexcept { return std::calloc(1, length ? length : 1); }
    static void Free(mng_ptr block, mng_size_t) noexcept { std::free(block); }

    static mng_bool OpenStream(mng_handle) noexcept { return MNG_TRUE; }

    static mng_bool CloseStream(mng_handle handle) noexcept {
        return Guard(handle, MNG_FALSE, [](TNGBitmap& bitmap) {
            if (bitmap.ownedStream_) {
                auto owned = std::move(bitmap.ownedStream_);
                bitmap.stream_ = nullptr;
                if (auto* file = dynamic_cast<host::TFileStream*>(owned.get())) file->Close();
            }
            return MNG_TRUE;
        });
    }

    static mng_bool ReadData(mng_handle handle, mng_ptr buffer, mng_uint32 length, mng_uint32* read) noexcept {
        *read = 0;
        return Guard(handle, MNG_FALSE, [&](TNGBitmap& bitmap) {
            host::TStream* stream = bitmap.stream_;
            if (stream && stream->GetPosition() < stream->GetSize())
                *read = static_cast<mng_uint32>(std::max<int64_t>(0, stream->Read(buffer, length)));
            return MNG_TRUE;
        });
    }

    static mng_bool WriteData(mng_handle handle, mng_ptr buffer, mng_uint32 length, mng_uint32* written) noexcept {
        *written = 0;
        return Guard(handle, MNG_FALSE, [&](TNGBitmap& bitmap) {
            if (!bitmap.stream_) return MNG_FALSE;
            bitmap.stream_->WriteBuffer(buffer, length);
            *written = length;
            return MNG_TRUE;
        });
    }

    static mng_bool ErrorProc(mng_handle, mng_int32, mng_int8, mng_chunkid, mng_uint32, mng_int32, mng_int32,
                              mng_pchar) noexcept {
        return MNG_FALSE;
    }

    static mng_bool ProcessHeader(mng_handle handle, mng_uint32 width, mng_uint32 height) noexcept {
        return Guard(handle, MNG_FALSE, [&](TNGBitmap& bitmap) {
            if (width > INT32_MAX || height > INT32_MAX) throw ELinearBitmap("Invalid bitmap size");
            checkedSize({int64_t{width}, int64_t{height}, 3});
            bitmap.NewImage(host::pf24bit, static_cast<int32_t>(width), static_cast<int32_t>(height));
            // libmng writes the rows of each interlace pass and of each partial frame as it
            // decodes them, so the canvas may stay sparse: small pages only.
            if (height > 0) AvoidHugePages(bitmap.ScanLine(0), int64_t{bitmap.RowBytes()} * height);
            for (TNGImage* image : bitmap.observers_) image->HeaderProcessed(width, height);
            return MNG_TRUE;
        });
    }

    // The chunk-level events need nothing from the images that observe the bitmap.
    static mng_bool ProcessText(mng_handle, mng_uint8, mng_pchar, mng_pchar, mng_pchar, mng_pchar) noexcept {
        return MNG_TRUE;
    }
    static mng_bool ProcessSave(mng_handle) noexcept { return MNG_TRUE; }
    static mng_bool ProcessSeek(mng_handle, mng_pchar) noexcept { return MNG_TRUE; }
    static mng_bool ProcessNeed(mng_handle, mng_pchar) noexcept { return MNG_TRUE; }
    static mng_bool ProcessMend(mng_handle, mng_uint32, mng_uint32) noexcept { return MNG_TRUE; }
    static mng_bool ProcessUnknown(mng_handle, mng_chunkid, mng_uint32, mng_ptr) noexcept { return MNG_TRUE; }
    static mng_bool ProcessTerm(mng_handle, mng_uint8, mng_uint8, mng_uint32, mng_uint32) noexcept {
        return MNG_TRUE;
    }

    static mng_ptr GetCanvasLine(mng_handle handle, mng_uint32 line) noexcept {
        return Guard(handle, static_cast<mng_ptr>(nullptr), [&](TNGBitmap& bitmap) -> mng_ptr {
            if (bitmap.PixelFormat() != host::pf24bit || line >= static_cast<mng_uint32>(bitmap.Height()))
                return nullptr;
            return bitmap.ScanLine(static_cast<int32_t>(line));
        });
    }

    static mng_bool Refresh(mng_handle handle, mng_uint32 x, mng_uint32 y, mng_uint32 width,
                            mng_uint32 height) noexcept {
        return Guard(handle, MNG_FALSE, [&](TNGBitmap& bitmap) {
            const auto rect = host::Rect(static_cast<int32_t>(x), static_cast<int32_t>(y),
                                         static_cast<int32_t>(x + width), static_cast<int32_t>(y + height));
            for (TNGImage* image : bitmap.observers_) image->RefreshRequested(rect);
            return MNG_TRUE;
        });
    }

    static mng_uint32 GetTickCount(mng_handle) noexcept { return host::TickCount(); }

    static mng_bool SetTimer(mng_handle handle, mng_uint32 milliseconds) noexcept {
        return Guard(handle, MNG_FALSE, [&](TNGBitmap& bitmap) {
            bitmap.timerInterval_ = milliseconds;
            bitmap.timerActive_ = true;
            return MNG_TRUE;
        });
    }
};

namespace {

template <class Callback>
mng_retcode SetCallback(size_t index, mng_handle handle, Callback callback) {
    return Entry<mng_retcode (*)(mng_handle, Callback)>(index)(handle, callback);
}

}  // namespace

// ---------------------------------------------------------------- TNGBitmap

TNGBitmap::TNGBitmap()
    : ZLibLevel(DefaultZLibLevel),
      ZLibMethod(DefaultZLibMethod),
      ZLibWindowBits(DefaultZLibWindowBits),
      ZLibMemLevel(DefaultZLibMemLevel),
      ZLibStrategy(DefaultZLibStrategy),
      IDATSize(DefaultIDATSize),
      JPEGQuality(DefaultJPEGQuality),
      JDATSize(DefaultJDATSize) {
    NewImage(host::pf24bit, 0, 0);
    MngHandle = NG_ENTRY(fn_initialize, "mng_initialize")(this, Callbacks::Alloc, Callbacks::Free, nullptr);
    if (!MngHandle) throw ENGImageException(Format(SMngError, "", "Create/initialize", 0, 0, 0, 0, 0));
    try {
        // The callbacks find this bitmap again through the user data: make sure they can.
        if (NG_ENTRY(fn_get_userdata, "mng_get_userdata")(MngHandle) != this) RaiseMngError("Create/initialize");
        Check(NG_ENTRY(fn_set_bool, "mng_set_storechunks")(MngHandle, MNG_TRUE), "Create/set_storechunks");
        const auto setcb = [&](const char* name, auto callback) {
            const size_t index = IndexOf(name);
            Check(SetCallback(index, MngHandle, callback), (std::string("Create/") + (name + 4)).c_str());
        };
        setcb("mng_setcb_openstream", &Callbacks::OpenStream);
        setcb("mng_setcb_closestream", &Callbacks::CloseStream);
        setcb("mng_setcb_readdata", &Callbacks::ReadData);
        setcb("mng_setcb_writedata", &Callbacks::WriteData);
        setcb("mng_setcb_errorproc", &Callbacks::ErrorProc);
        setcb("mng_setcb_processheader", &Callbacks::ProcessHeader);
        setcb("mng_setcb_processtext", &Callbacks::ProcessText);
        setcb("mng_setcb_processsave", &Callbacks::ProcessSave);
        setcb("mng_setcb_processseek", &Callbacks::ProcessSeek);
        setcb("mng_setcb_processneed", &Callbacks::ProcessNeed);
        setcb("mng_setcb_processmend", &Callbacks::ProcessMend);
        setcb("mng_setcb_processunknown", &Callbacks::ProcessUnknown);
        setcb("mng_setcb_processterm", &Callbacks::ProcessTerm);
        setcb("mng_setcb_getcanvasline", &Callbacks::GetCanvasLine);
        setcb("mng_setcb_refresh", &Callbacks::Refresh);
        setcb("mng_setcb_gettickcount", &Callbacks::GetTickCount);
        setcb("mng_setcb_settimer", &Callbacks::SetTimer);
        Check(NG_ENTRY(fn_set_uint32, "mng_set_canvasstyle")(MngHandle, MNG_CANVAS_BGR8), "Create/set_canvasstyle");
        Check(NG_ENTRY(fn_set_uint32, "mng_set_bkgdstyle")(MngHandle, MNG_CANVAS_BGR8), "Create/set_canvasstyle");
        RefreshStatus();
    } catch (...) {
        NG_ENTRY(fn_cleanup, "mng_cleanup")(&MngHandle);
        throw;
    }
}

TNGBitmap::~TNGBitmap() {
    timerActive_ = false;
    if (!MngHandle) return;
    try {
        NG_ENTRY(fn_cleanup, "mng_cleanup")(&MngHandle);
    } catch (...) {
        // Nothing more can be released without the entry point.
    }
}

void TNGBitmap::RefreshStatus() {
    const bool creating = NG_ENTRY(fn_status, "mng_status_creating")(MngHandle) != 0;
    const bool writing = NG_ENTRY(fn_status, "mng_status_writing")(MngHandle) != 0;
    const bool reading = NG_ENTRY(fn_status, "mng_status_reading")(MngHandle) != 0;
    const bool displaying = NG_ENTRY(fn_status, "mng_status_displaying")(MngHandle) != 0;
    const bool running = NG_ENTRY(fn_status, "mng_status_running")(MngHandle) != 0;
    const bool dynamic = NG_ENTRY(fn_status, "mng_status_dynamic")(MngHandle) != 0;
    const bool changed = creating != creating_ || writing != writing_ || reading != reading_ ||
                         displaying != displaying_ || running != running_ || dynamic != dynamic_;
    creating_ = creating;
    writing_ = writing;
    reading_ = reading;
    displaying_ = displaying;
    running_ = running;
    dynamic_ = dynamic;
    if (changed)
        for (TNGImage* image : observers_) image->StatusChanged();
}

void TNGBitmap::AddObserver(TNGImage* image) {
    if (std::find(observers_.begin(), observers_.end(), image) == observers_.end()) observers_.push_back(image);
}

void TNGBitmap::RemoveObserver(TNGImage* image) {
    observers_.erase(std::remove(observers_.begin(), observers_.end(), image), observers_.end());
}

void TNGBitmap::RethrowPending() {
    if (!pending_) return;
    std::exception_ptr pending = std::move(pending_);
    pending_ = nullptr;
    std::rethrow_exception(pending);
}

void TNGBitmap::Check(mng_retcode result, const char* step) {
    RethrowPending();
    if (result != 0) RaiseMngError(step);
}

void TNGBitmap::RaiseMngError(const char* step) {
    mng_int8 severity = 0;
    mng_chunkid chunk = 0;
    mng_uint32 chunkSequence = 0;
    mng_int32 extra1 = 0, extra2 = 0;
    mng_pchar text = nullptr;
    const mng_retcode code = NG_ENTRY(fn_getlasterror, "mng_getlasterror")(MngHandle, &severity, &chunk,
                                                                          &chunkSequence, &extra1, &extra2, &text);
    throw ENGImageException(Format(SMngError, text ? text : "", step, code, severity,
                                   static_cast<int>(chunkSequence), extra1, extra2));
}

// ---- reading and writing through the current stream

namespace {

// Leaves the bitmap without a current stream on every path.
template <class F>
void WithStream(host::TStream*& current, std::unique_ptr<host::TStream>& owned, F&& work) {
    struct Reset {
        host::TStream*& current;
        std::unique_ptr<host::TStream>& owned;
        ~Reset() {
            current = nullptr;
            owned.reset();
        }
    } reset{current, owned};
    work();
}

}  // namespace

void TNGBitmap::Read(const char* readStep, const char* displayStep) {
    Check(NG_ENTRY(fn_handle, "mng_read")(MngHandle), readStep);
    const mng_retcode shown = NG_ENTRY(fn_handle, "mng_display")(MngHandle);
    RethrowPending();
    // An animation asks to be woken again later; its first frame is there.
    if (shown != 0 && shown != MNG_NEEDTIMERWAIT) RaiseMngError(displayStep);
    RefreshStatus();
}

void TNGBitmap::Write(const char* step) {
    Check(NG_ENTRY(fn_handle, "mng_write")(MngHandle), step);
    RefreshStatus();
}

namespace {

constexpr uint8_t JNGSignature[8] = {0x8B, 'J', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// libmng decodes a JNG's JPEG data with a libjpeg of its own, where no guard of ours can
// watch the scans go by; the JPEG reader's limits are therefore checked on the file before
// libmng sees it: the image's size within the image limit and the scans (start-of-scan
// markers in the JPEG data, where any other 0xFF is stuffed or a restart) at most
// MaxJPEGScans. The stream is left where it was.
void CheckJNGBeforeDecoding(host::TStream& stream) {
    const int64_t start = stream.GetPosition();
    uint8_t signature[8] = {};
    if (stream.Read(signature, 8) != 8 || std::memcmp(signature, JNGSignature, 8) != 0) {
        stream.SetPosition(start);
        return;
    }
    int scans = 0;
    uint8_t previous = 0;
    std::vector<uint8_t> data;
    for (;;) {
        uint8_t head[8];
        if (stream.Read(head, 8) != 8) break;
        const uint32_t length = host::ReadBE32(head);
        if (length > 0x7FFFFFFF) break;
        if (std::memcmp(head + 4, "JHDR", 4) == 0 && length >= 8) {
            uint8_t size[8];
            if (stream.Read(size, 8) != 8) break;
            checkedSize({int64_t{host::ReadBE32(size)}, int64_t{host::ReadBE32(size + 4)}, 3});
            stream.Seek(int64_t{length} - 8 + 4, host::soCurrent);
        } else if (std::memcmp(head + 4, "JDAT", 4) == 0) {
            data.resize(length);
            if (stream.Read(data.data(), length) != length) break;
            for (uint8_t b : data) {
                if (previous == 0xFF && b == 0xDA && ++scans > host::MaxJPEGScans)
                    throw EJPEG(Format(host::SJPEGError, JERR_BAD_PROGRESSION));
                previous = b;
            }
            stream.Seek(4, host::soCurrent);
        } else if (std::memcmp(head + 4, "IEND", 4) == 0) {
            break;
        } else {
            stream.Seek(int64_t{length} + 4, host::soCurrent);
        }
    }
    stream.SetPosition(start);
}

}  // namespace

void TNGBitmap::LoadFromFile(const std::string& fileName) {
    WithStream(stream_, ownedStream_, [&] {
        ownedStream_ = std::make_unique<host::TFileStream>(fileName, host::fmOpenRead);
        stream_ = ownedStream_.get();
        CheckJNGBeforeDecoding(*stream_);
        Read("LoadFromFile/read", "LoadFromFile/display");
    });
}

void TNGBitmap::LoadFromStream(host::TStream& stream) {
    WithStream(stream_, ownedStream_, [&] {
        stream_ = &stream;
        CheckJNGBeforeDecoding(stream);
        Read("LoadFromStream/read", "LoadFromStream/display");
    });
}

void TNGBitmap::SaveToFile(const std::string& fileName) {
    WithStream(stream_, ownedStream_, [&] {
        auto file = std::make_unique<host::TFileStream>(fileName, host::fmCreate);
        host::TFileStream& created = *file;
        ownedStream_ = std::move(file);
        stream_ = ownedStream_.get();
        Write("SaveToFile/write");
        // Normally closed by the library's close callback; a failing final write-back is
        // reported either way.
        if (ownedStream_) created.Close();
    });
}

void TNGBitmap::SaveToStream(host::TStream& stream) {
    WithStream(stream_, ownedStream_, [&] {
        stream_ = &stream;
        Write("SaveToStream/write");
    });
}

// ---- compression

namespace {

// A deflate stream of the loaded zlib. Once started it is ended through the resolved
// entry point on every path; it stays where it was made, since zlib keeps a pointer to it.
class DeflateStream {
public:
    DeflateStream(fn_deflate deflate, fn_deflateEnd deflateEnd) : deflate_(deflate), deflateEnd_(deflateEnd) {}
    ~DeflateStream() {
        if (started_) deflateEnd_(&stream_);
    }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;

    int Start(fn_deflateInit2 init, const std::vector<uint8_t>& input, const TNGBitmap& settings) {
        stream_.next_in = const_cast<Bytef*>(input.data());
        stream_.avail_in = static_cast<uInt>(input.size());
        return Start(init, settings);
    }
    int Start(fn_deflateInit2 init, const TNGBitmap& settings) {
        const int result = init(&stream_, settings.ZLibLevel, settings.ZLibMethod, settings.ZLibWindowBits,
                                settings.ZLibMemLevel, settings.ZLibStrategy, ZlibVersionText,
                                static_cast<int>(sizeof(z_stream)));
        started_ = result == Z_OK;
        return result;
    }
    // Compresses into the output behind what it holds so far.
    int Deflate(std::vector<uint8_t>& output) {
        stream_.next_out = output.data() + stream_.total_out;
        stream_.avail_out = static_cast<uInt>(output.size() - stream_.total_out);
        return deflate_(&stream_, Z_FINISH);
    }
    // Compresses `input` into the room behind `used` bytes of `output`; both counts advance.
    int Step(const uint8_t* input, size_t& taken, size_t inputSize, uint8_t* output, size_t& used,
             size_t outputSize, int flush) {
        stream_.next_in = const_cast<Bytef*>(input + taken);
        stream_.avail_in = static_cast<uInt>(inputSize - taken);
        stream_.next_out = output + used;
        stream_.avail_out = static_cast<uInt>(outputSize - used);
        const int result = deflate_(&stream_, flush);
        taken = inputSize - stream_.avail_in;
        used = outputSize - stream_.avail_out;
        return result;
    }
    int End() {
        started_ = false;
        return deflateEnd_(&stream_);
    }
    uLong TotalOut() const { return stream_.total_out; }

private:
    fn_deflate deflate_;
    fn_deflateEnd deflateEnd_;
    z_stream stream_{};
    bool started_ = false;
};

// Runs the stream to its end, giving the output growth more bytes whenever it fills.
// out holds the compressed data and zlib's result; no data unless the result is Z_OK.
void DeflateAll(DeflateStream& stream, size_t growth, TCompressed& out) {
    for (;;) {
        const int result = stream.Deflate(out.Data);
        if (result == Z_OK) {
            out.Data.resize(out.Data.size() + growth);
        } else if (result == Z_STREAM_END) {
            out.Data.resize(stream.TotalOut());
            out.Result = stream.End();
            if (out.Result != Z_OK) out.Data.clear();
            return;
        } else {
            out.Data.clear();
            out.Result = result;
            return;
        }
    }
}

}  // namespace

TCompressed TNGBitmap::CompressZ(const std::vector<uint8_t>& input, int extraRoom) {
    TLibmngReference library;
    TCompressed out;
    const auto n = static_cast<double>(input.size());
    if (input.size() > UINT32_MAX / 2) throw ELinearBitmap("Invalid bitmap size");
    const auto growth = static_cast<size_t>(std::nearbyint(0.2 * n)) + 64;
    out.Data.resize(static_cast<size_t>(std::nearbyint(1.1 * n)) + 12 + static_cast<size_t>(extraRoom) * growth);

    const auto init = NG_ENTRY(fn_deflateInit2, "deflateInit2_");
    DeflateStream stream(NG_ENTRY(fn_deflate, "deflate"), NG_ENTRY(fn_deflateEnd, "deflateEnd"));
    out.Result = stream.Start(init, input, *this);
    if (out.Result != Z_OK) {
        out.Data.clear();
        return out;
    }
    DeflateAll(stream, growth, out);
    return out;
}

std::vector<uint8_t> TNGBitmap::CompressOrFail(const std::vector<uint8_t>& input) {
    TCompressed compressed;
    for (int attempt = 0; attempt < MaxCompressAttempts; ++attempt) {
        compressed = CompressZ(input, attempt);
        if (compressed.Result != Z_BUF_ERROR) break;
    }
    if (compressed.Result != Z_OK || compressed.Data.empty()) throw ENGImageException(SSeriousZlib);
    return std::move(compressed.Data);
}

void TNGBitmap::PutDataChunks(const std::vector<uint8_t>& data, int chunkSize, bool jpeg, const char* step) {
    const auto put = jpeg ? NG_ENTRY(fn_putchunk_data, "mng_putchunk_jdat")
                          : NG_ENTRY(fn_putchunk_data, "mng_putchunk_idat");
    const size_t size = chunkSize > 0 ? static_cast<size_t>(chunkSize) : std::max<size_t>(data.size(), 1);
    for (size_t offset = 0; offset < data.size(); offset += size) {
        const size_t length = std::min(size, data.size() - offset);
        Check(put(MngHandle, static_cast<mng_uint32>(length), const_cast<uint8_t*>(data.data()) + offset), step);
    }
}

std::unique_ptr<host::TBitmap> TNGBitmap::MonochromeMask() const {
    auto mono = std::make_unique<host::TBitmap>();
    mono->SetPixelFormat(host::pf1bit);
    mono->SetSize(Width(), Height());
    if (AlphaMask && !AlphaMask->Empty())
        mono->Canvas().StretchBitmap(host::Rect(0, 0, Width(), Height()), *AlphaMask,
                                     host::Rect(0, 0, AlphaMask->Width(), AlphaMask->Height()), false);
    return mono;
}

// ---- PNG

namespace {

struct PaletteEntry {
    uint32_t key;  // red | green << 8 | blue << 16 | alpha << 24
    uint32_t count;
    bool Opaque() const { return (key >> 24) == 255; }
};

// Distinct colour-and-alpha values in order of first appearance, up to 256.
class ColourCounter {
public:
    ColourCounter() { std::fill(std::begin(slots_), std::end(slots_), int16_t{-1}); }

    // false when key would be a 257th distinct value.
    bool Add(uint32_t key) {
        if (key == lastKey_ && last_ >= 0) {
            ++entries[static_cast<size_t>(last_)].count;
            return true;
        }
        size_t slot = Hash(key);
        while (slots_[slot] >= 0) {
            if (entries[static_cast<size_t>(slots_[slot])].key == key) {
                last_ = slots_[slot];
                lastKey_ = key;
                ++entries[static_cast<size_t>(last_)].count;
                return true;
            }
            slot = (slot + 1) & (SlotCount - 1);
        }
        if (entries.size() == 256) return false;
        slots_[slot] = static_cast<int16_t>(entries.size());
        entries.push_back({key, 1});
        last_ = slots_[slot];
        lastKey_ = key;
        return true;
    }

    // After the entries were reordered: each key finds its new position.
    void Reindex() {
        std::fill(std::begin(slots_), std::end(slots_), int16_t{-1});
        for (size_t i = 0; i < entries.size(); ++i) {
            size_t slot = Hash(entries[i].key);
            while (slots_[slot] >= 0) slot = (slot + 1) & (SlotCount - 1);
            slots_[slot] = static_cast<int16_t>(i);
        }
        last_ = -1;
    }

    uint8_t IndexOf(uint32_t key) {
        if (key == lastKey_ && last_ >= 0) return static_cast<uint8_t>(last_);
        size_t slot = Hash(key);
        while (entries[static_cast<size_t>(slots_[slot])].key != key) slot = (slot + 1) & (SlotCount - 1);
        last_ = slots_[slot];
        lastKey_ = key;
        return static_cast<uint8_t>(last_);
    }

    std::vector<PaletteEntry> entries;

private:
    static constexpr size_t SlotCount = 1024;
    static size_t Hash(uint32_t key) { return (key * 0x9E3779B1u) >> 22; }
    int16_t slots_[SlotCount];
    uint32_t lastKey_ = 0;
    int last_ = -1;
};

// Transparent entries first; within each group the more used first.
void OrderPalette(std::vector<PaletteEntry>& entries) {
    for (size_t a = 0; a < entries.size(); ++a)
        for (size_t c = a + 1; c < entries.size(); ++c) {
            const bool aOpaque = entries[a].Opaque(), cOpaque = entries[c].Opaque();
            if ((aOpaque && !cOpaque) || (aOpaque == cOpaque && entries[a].count < entries[c].count))
                std::swap(entries[a], entries[c]);
        }
}

std::vector<int> CandidateDepths(size_t colours) {
    if (colours <= 2) return {1, 2, 4, 8};
    if (colours <= 4) return {2, 4, 8};
    if (colours <= 16) return {4, 8};
    return {8};
}

constexpr uint8_t PngTrueColour = 2;
constexpr uint8_t PngIndexed = 3;
constexpr uint8_t PngTrueColourAlpha = 6;
constexpr uint8_t OpaqueAlpha = 255;
constexpr int32_t NoMaskColor = -1;

// Whether a blue, green, red pixel has the colour.
bool IsColour(const uint8_t* bgr, int32_t colour) {
    return bgr[2] == host::GetRValue(colour) && bgr[1] == host::GetGValue(colour) && bgr[0] == host::GetBValue(colour);
}

uint32_t ColourKey(const uint8_t* bgr, uint8_t alpha) {
    return uint32_t{bgr[2]} | uint32_t{bgr[1]} << 8 | uint32_t{bgr[0]} << 16 | uint32_t{alpha} << 24;
}

// The alpha of each pixel of a row: from the mask picture, else from the mask colour;
// without either every pixel is opaque.
class RowAlpha {
public:
    RowAlpha(const host::TBitmap& image, std::unique_ptr<host::TBitmap> mask, int32_t maskColor)
        : image_(image),
          mask_(std::move(mask)),
          maskColor_(maskColor),
          alpha_(static_cast<size_t>(image.Width()), OpaqueAlpha),
          maskRow_(mask_ ? static_cast<size_t>(image.Width()) : 0) {}

    bool Present() const { return mask_ || maskColor_ != NoMaskColor; }
    // Takes the alphas of row y.
    void Load(int32_t y) {
        if (mask_) {
            mask_->ReadRowRGB(y, 0, image_.Width(), maskRow_.data());
            for (size_t x = 0; x < alpha_.size(); ++x) alpha_[x] = static_cast<uint8_t>(maskRow_[x] >> 16);
        } else if (maskColor_ != NoMaskColor) {
            const uint8_t* row = image_.ScanLine(y);
            for (size_t x = 0; x < alpha_.size(); ++x) alpha_[x] = IsColour(row + 3 * x, maskColor_) ? 0 : OpaqueAlpha;
        }
    }
    uint8_t operator[](int64_t x) const { return alpha_[static_cast<size_t>(x)]; }
    bool AnyTransparent() const {
        return std::any_of(alpha_.begin(), alpha_.end(), [](uint8_t a) { return a != OpaqueAlpha; });
    }

private:
    const host::TBitmap& image_;
    const std::unique_ptr<host::TBitmap> mask_;
    const int32_t maskColor_;
    std::vector<uint8_t> alpha_;
    std::vector<uint32_t> maskRow_;
};

struct ColourSurvey {
    bool many = false;      // more than 256 distinct colour-and-alpha values
    bool anyAlpha = false;  // a pixel that is not opaque
};

bool AnyTransparentPixel(int32_t height, RowAlpha& alpha) {
    for (int32_t y = 0; y < height; ++y) {
        alpha.Load(y);
        if (alpha.AnyTransparent()) return true;
    }
    return false;
}

// Counts the distinct colour-and-alpha values up to the 257th.
ColourSurvey SurveyColours(const host::TBitmap& image, RowAlpha& alpha, ColourCounter& counter) {
    ColourSurvey survey;
    const int64_t w = image.Width();
    for (int32_t y = 0; y < image.Height() && !survey.many; ++y) {
        const uint8_t* row = image.ScanLine(y);
        alpha.Load(y);
        for (int64_t x = 0; x < w; ++x) {
            if (!counter.Add(ColourKey(row + 3 * x, alpha[x]))) {
                survey.many = true;
                break;
            }
            if (alpha[x] != OpaqueAlpha) survey.anyAlpha = true;
        }
    }
    // Counting stopped at the 257th colour, but a transparent pixel further on still
    // decides whether the image keeps an alpha channel.
    if (survey.many && alpha.Present() && !survey.anyAlpha) survey.anyAlpha = AnyTransparentPixel(image.Height(), alpha);
    return survey;
}

// Row y as red, green, blue (and alpha) samples behind filter byte 0.
void TrueColourRow(const host::TBitmap& image, RowAlpha& alpha, bool withAlpha, int32_t y, uint8_t* out) {
    const int64_t w = image.Width();
    const int64_t channels = withAlpha ? 4 : 3;
    const uint8_t* row = image.ScanLine(y);
    if (withAlpha) alpha.Load(y);
    *out++ = 0;
    for (int64_t x = 0; x < w; ++x, out += channels) {
        out[0] = row[3 * x + 2];
        out[1] = row[3 * x + 1];
        out[2] = row[3 * x];
        if (withAlpha) out[3] = alpha[x];
    }
}

// Compressed data cut into chunks of a fixed size (0 or less: one chunk of everything),
// each handed on as soon as it is full, so the whole data is never held.
class ChunkCutter {
public:
    ChunkCutter(int chunkSize, std::function<void(const uint8_t*, size_t)> put)
        : whole_(chunkSize <= 0), put_(std::move(put)), chunk_(whole_ ? WholeGrowth : static_cast<size_t>(chunkSize)) {}

    // Room for more output: a full chunk goes first (a single chunk grows instead).
    void MakeRoom() {
        if (used_ < chunk_.size()) return;
        if (whole_) {
            chunk_.resize(chunk_.size() * 2);
            return;
        }
        put_(chunk_.data(), used_);
        used_ = 0;
    }
    // The last chunk, when it holds anything.
    void PutRest() {
        if (used_ > 0) put_(chunk_.data(), used_);
        used_ = 0;
    }
    uint8_t* Data() { return chunk_.data(); }
    size_t& Used() { return used_; }
    size_t Size() const { return chunk_.size(); }

private:
    static constexpr size_t WholeGrowth = size_t{1} << 16;
    const bool whole_;
    const std::function<void(const uint8_t*, size_t)> put_;
    std::vector<uint8_t> chunk_;
    size_t used_ = 0;
};

// Deflates one row (with Z_FINISH: the last, until the stream ends) into the cutter.
// Z_OK or Z_STREAM_END, else zlib's result.
int DeflateRow(DeflateStream& stream, const std::vector<uint8_t>& row, ChunkCutter& out, int flush) {
    size_t taken = 0;
    for (;;) {
        out.MakeRoom();
        const int result = stream.Step(row.data(), taken, row.size(), out.Data(), out.Used(), out.Size(), flush);
        const bool rowTaken = taken == row.size();
        // Asked again after filling the room exactly, zlib may have had nothing more to give.
        if (result == Z_BUF_ERROR && rowTaken && flush != Z_FINISH) return Z_OK;
        if (result != Z_OK) return result;
        if (flush != Z_FINISH && rowTaken && out.Used() < out.Size()) return Z_OK;
    }
}

// One palette index per pixel, row after row.
std::vector<uint8_t> PaletteIndices(const host::TBitmap& image, RowAlpha& alpha, ColourCounter& counter) {
    const int64_t w = image.Width();
    std::vector<uint8_t> indices(static_cast<size_t>(checkedSize({w, int64_t{image.Height()}})));
    for (int32_t y = 0; y < image.Height(); ++y) {
        alpha.Load(y);
        const uint8_t* row = image.ScanLine(y);
        uint8_t* out = indices.data() + y * w;
        for (int64_t x = 0; x < w; ++x) out[x] = counter.IndexOf(ColourKey(row + 3 * x, alpha[x]));
    }
    return indices;
}

// The indices packed bits to a sample, each row behind filter byte 0.
std::vector<uint8_t> PackedIndexRows(const std::vector<uint8_t>& indices, int64_t w, int32_t height, int bits) {
    const int64_t rowSize = 1 + (w * bits + 7) / 8;
    std::vector<uint8_t> raw(static_cast<size_t>(checkedSize({rowSize, int64_t{height}})));
    const int perByte = 8 / bits;
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* out = raw.data() + y * rowSize + 1;
        const uint8_t* in = indices.data() + y * w;
        if (bits == 8) {
            std::memcpy(out, in, static_cast<size_t>(w));
            continue;
        }
        for (int64_t x = 0; x < w; ++x)
            out[x / perByte] |= static_cast<uint8_t>(in[x] << (8 - bits * (x % perByte + 1)));
    }
    return raw;
}

// The index rows compressed at every depth that holds the palette; from the largest
// depth down, a smaller one wins only by being strictly smaller.
template <class Compress>
void PackSmallest(const host::TBitmap& image, const std::vector<uint8_t>& indices, TPNGData& png,
                  Compress&& compress) {
    const std::vector<int> depths = CandidateDepths(png.Palette.size());
    for (auto depth = depths.rbegin(); depth != depths.rend(); ++depth) {
        std::vector<uint8_t> candidate = compress(PackedIndexRows(indices, image.Width(), image.Height(), *depth));
        if (png.Compressed.empty() || candidate.size() < png.Compressed.size()) {
            png.Compressed = std::move(candidate);
            png.BitDepth = static_cast<uint8_t>(*depth);
        }
    }
}

template <class Compress>
TPNGData IndexedImage(const host::TBitmap& image, RowAlpha& alpha, ColourCounter& counter, Compress&& compress) {
    TPNGData png;
    png.ColourType = PngIndexed;
    OrderPalette(counter.entries);
    counter.Reindex();
    for (const PaletteEntry& entry : counter.entries) png.Palette.push_back(entry.key);
    PackSmallest(image, PaletteIndices(image, alpha, counter), png, compress);
    return png;
}

}  // namespace

void TNGBitmap::CreatePNG() {
    SetPixelFormat(host::pf24bit);
    RowAlpha alpha(*this, AlphaMask ? MonochromeMask() : nullptr, MaskColor);
    ColourCounter counter;
    const ColourSurvey survey = SurveyColours(*this, alpha, counter);
    if (survey.many) {
        const bool withAlpha = survey.anyAlpha;
        const int64_t rowSize = checkedAdd(1, checkedSize({int64_t{Width()}, int64_t{withAlpha ? 4 : 3}}));
        if (checkedSize({rowSize, int64_t{Height()}}) > int64_t{UINT32_MAX / 2}) throw ELinearBitmap("Invalid bitmap size");
        TPNGData header;
        header.ColourType = withAlpha ? PngTrueColourAlpha : PngTrueColour;
        CreateStreamedPNG(header, static_cast<size_t>(rowSize),
                          [&](int32_t y, uint8_t* row) { TrueColourRow(*this, alpha, withAlpha, y, row); });
        return;
    }
    const auto compress = [this](const std::vector<uint8_t>& raw) { return CompressOrFail(raw); };
    const TPNGData png = IndexedImage(*this, alpha, counter, compress);
    if (png.Compressed.empty()) throw ENGImageException(SSeriousZlib);
    PutPNGChunks(png);
}

// Rows are made, deflated and put as IDAT chunks one at a time: neither the filtered image
// nor its compressed data is ever held whole. An attempt that zlib stops with a buffer
// error starts again from the top, a few times at most; a failure leaves no part-made PNG.
void TNGBitmap::CreateStreamedPNG(const TPNGData& header, size_t rowSize, const RowMaker& makeRow) {
    int result = Z_BUF_ERROR;
    for (int attempt = 0; attempt < MaxCompressAttempts && result == Z_BUF_ERROR; ++attempt)
        result = TryStreamedPNG(header, rowSize, makeRow);
    if (result != Z_OK) {
        NG_ENTRY(fn_handle, "mng_reset")(MngHandle);
        RefreshStatus();
        throw ENGImageException(SSeriousZlib);
    }
    RefreshStatus();
}

int TNGBitmap::TryStreamedPNG(const TPNGData& header, size_t rowSize, const RowMaker& makeRow) {
    TLibmngReference library;
    DeflateStream stream(NG_ENTRY(fn_deflate, "deflate"), NG_ENTRY(fn_deflateEnd, "deflateEnd"));
    int result = stream.Start(NG_ENTRY(fn_deflateInit2, "deflateInit2_"), *this);
    if (result != Z_OK) return result;
    PutPNGHeader(header);
    const auto put = NG_ENTRY(fn_putchunk_data, "mng_putchunk_idat");
    ChunkCutter cutter(IDATSize, [&](const uint8_t* data, size_t size) {
        Check(put(MngHandle, static_cast<mng_uint32>(size), const_cast<uint8_t*>(data)), "CreatePNG/putchunk_idat");
    });
    std::vector<uint8_t> row(rowSize);
    for (int32_t y = 0; y < Height(); ++y) {
        makeRow(y, row.data());
        result = DeflateRow(stream, row, cutter, y + 1 == Height() ? Z_FINISH : Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END) return result;
    }
    result = stream.End();
    if (result != Z_OK) return result;
    cutter.PutRest();
    PutPNGEnd();
    return Z_OK;
}

void TNGBitmap::PutPNGChunks(const TPNGData& png) {
    PutPNGHeader(png);
    PutDataChunks(png.Compressed, IDATSize, false, "CreatePNG/putchunk_idat");
    PutPNGEnd();
    RefreshStatus();
}

void TNGBitmap::PutPNGEnd() { Check(NG_ENTRY(fn_handle, "mng_putchunk_iend")(MngHandle), "CreatePNG/putchunk_iend"); }

void TNGBitmap::PutPNGHeader(const TPNGData& png) {
    Check(NG_ENTRY(fn_handle, "mng_reset")(MngHandle), "CreatePNG/reset");
    Check(NG_ENTRY(fn_handle, "mng_create")(MngHandle), "CreatePNG/create");
    Check(NG_ENTRY(fn_putchunk_ihdr, "mng_putchunk_ihdr")(MngHandle, static_cast<mng_uint32>(Width()),
                                                          static_cast<mng_uint32>(Height()), png.BitDepth,
                                                          png.ColourType, 0, 0, 0),
          "CreatePNG/putchunk_ihdr");
    Check(NG_ENTRY(fn_putchunk_srgb, "mng_putchunk_srgb")(MngHandle, MNG_FALSE, 0), "CreatePNG/putchunk_srgb");
    if (png.ColourType == PngIndexed) PutPalette(png.Palette);
}

void TNGBitmap::PutPalette(const std::vector<uint32_t>& keys) {
    mng_palette8 palette{};
    mng_uint8arr alphas{};
    mng_uint8arr raw{};
    mng_uint32 transparent = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
        palette[i] = {static_cast<uint8_t>(keys[i]), static_cast<uint8_t>(keys[i] >> 8),
                      static_cast<uint8_t>(keys[i] >> 16)};
        alphas[i] = static_cast<uint8_t>(keys[i] >> 24);
        if (alphas[i] != OpaqueAlpha) transparent = static_cast<mng_uint32>(i + 1);
    }
    Check(NG_ENTRY(fn_putchunk_plte, "mng_putchunk_plte")(MngHandle, static_cast<mng_uint32>(keys.size()), palette),
          "CreatePNG/putchunk_plte");
    if (transparent > 0)
        Check(NG_ENTRY(fn_putchunk_trns, "mng_putchunk_trns")(MngHandle, MNG_FALSE, MNG_FALSE, PngIndexed,
                                                              transparent, alphas, 0, 0, 0, 0, 0, raw),
              "CreatePNG/putchunk_trns");
}

// ---- JNG

namespace {

constexpr uint8_t JngColour = 10;
constexpr uint8_t JngColourAlpha = 14;

// The mask's red bytes as 8-bit alpha rows, each behind filter byte 0.
std::vector<uint8_t> MaskAlphaRows(const host::TBitmap& mask) {
    const int64_t w = mask.Width();
    const int64_t rowSize = w + 1;
    std::vector<uint8_t> raw(static_cast<size_t>(checkedSize({rowSize, int64_t{mask.Height()}})));
    std::vector<uint32_t> line(static_cast<size_t>(w));
    for (int32_t y = 0; y < mask.Height(); ++y) {
        mask.ReadRowRGB(y, 0, mask.Width(), line.data());
        uint8_t* out = raw.data() + y * rowSize + 1;
        for (int64_t x = 0; x < w; ++x) out[x] = static_cast<uint8_t>(line[x] >> 16);
    }
    return raw;
}

// 1-bit alpha rows, each behind filter byte 0: 0 where the pixel has the mask colour.
std::vector<uint8_t> MaskColourAlphaRows(const host::TBitmap& image, int32_t maskColor) {
    const int64_t w = image.Width();
    const int64_t rowSize = 1 + (w + 7) / 8;
    std::vector<uint8_t> raw(static_cast<size_t>(checkedSize({rowSize, int64_t{image.Height()}})), 0xFF);
    for (int32_t y = 0; y < image.Height(); ++y) {
        uint8_t* out = raw.data() + y * rowSize;
        out[0] = 0;
        const uint8_t* row = image.ScanLine(y);
        for (int64_t x = 0; x < w; ++x)
            if (IsColour(row + 3 * x, maskColor)) out[1 + x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
    }
    return raw;
}

}  // namespace

void TNGBitmap::CreateJNG() {
    SetPixelFormat(host::pf24bit);
    ngjpeg::TJPEGImage jpeg;
    jpeg.ProgressiveEncoding = JPEGProgressive;
    jpeg.CompressionQuality = JPEGQuality;
    const std::vector<uint8_t> jpegData = jpeg.Compress(*this);

    uint8_t colourType = JngColour, alphaDepth = 0;
    std::vector<uint8_t> alphaRaw;
    if (AlphaMask) {
        colourType = JngColourAlpha;
        alphaDepth = 8;
        alphaRaw = MaskAlphaRows(*MonochromeMask());
    } else if (MaskColor != NoMaskColor) {
        colourType = JngColourAlpha;
        alphaDepth = 1;
        alphaRaw = MaskColourAlphaRows(*this, MaskColor);
    }
    std::vector<uint8_t> alphaCompressed;
    if (!alphaRaw.empty()) alphaCompressed = CompressOrFail(alphaRaw);
    PutJNGChunks(colourType, alphaDepth, alphaCompressed, jpegData);
}

void TNGBitmap::PutJNGChunks(uint8_t colourType, uint8_t alphaDepth, const std::vector<uint8_t>& alpha,
                             const std::vector<uint8_t>& jpeg) {
    Check(NG_ENTRY(fn_handle, "mng_reset")(MngHandle), "CreateJNG/reset");
    Check(NG_ENTRY(fn_handle, "mng_create")(MngHandle), "CreateJNG/create");
    Check(NG_ENTRY(fn_putchunk_jhdr, "mng_putchunk_jhdr")(MngHandle, static_cast<mng_uint32>(Width()),
                                                          static_cast<mng_uint32>(Height()), colourType, 8, 8, 0,
                                                          alphaDepth, 0, 0, 0),
          "CreateJNG/putchunk_jhdr");
    Check(NG_ENTRY(fn_putchunk_srgb, "mng_putchunk_srgb")(MngHandle, MNG_FALSE, 0), "CreateJNG/putchunk_srgb");
    if (!alpha.empty()) PutDataChunks(alpha, IDATSize, false, "CreateJNG/putchunk_idat");
    PutDataChunks(jpeg, JDATSize, true, "CreateJNG/putchunk_jdat");
    Check(NG_ENTRY(fn_handle, "mng_putchunk_iend")(MngHandle), "CreateJNG/putchunk_iend");
    RefreshStatus();
}

// ---------------------------------------------------------------- TNGImage

TNGImage::TNGImage() {
    CheckLibmngVersion();
    Replace(std::make_shared<TNGBitmap>());
}

TNGImage::~TNGImage() {
    if (bitmap_) bitmap_->RemoveObserver(this);
}

void TNGImage::Replace(std::shared_ptr<TNGBitmap> bitmap) {
    if (bitmap == bitmap_) return;
    if (bitmap_) bitmap_->RemoveObserver(this);
    bitmap_ = std::move(bitmap);
    bitmap_->AddObserver(this);
}

void TNGImage::Assign(host::TPersistent& Source) {
    if (auto* image = dynamic_cast<TNGImage*>(&Source)) {
        SetTransparent(image->Transparent());
        Replace(image->bitmap_);
    } else if (auto* bitmap = dynamic_cast<host::TBitmap*>(&Source)) {
        auto copy = std::make_shared<TNGBitmap>();
        copy->host::TBitmap::Assign(*bitmap);
        Replace(std::move(copy));
    } else {
        host::TGraphic::Assign(Source);
    }
}

void TNGImage::TakeOver(host::TBitmap& Source) {
    auto bitmap = std::make_shared<TNGBitmap>();
    bitmap->host::TBitmap::TakeOver(Source);
    Replace(std::move(bitmap));
}

void TNGImage::SavePNGToFile(const std::string& fileName) {
    if (bitmap_->Writing() || bitmap_->Displaying()) throw ENGImageException(SPNGSaveState);
    if (!bitmap_->Creating()) bitmap_->CreatePNG();
    bitmap_->SaveToFile(fileName);
}

void TNGImage::SaveJNGToFile(const std::string& fileName) {
    if (bitmap_->Writing() || bitmap_->Displaying()) throw ENGImageException(SJNGSaveState);
    if (!bitmap_->Creating()) bitmap_->CreateJNG();
    bitmap_->SaveToFile(fileName);
}

void TNGImage::CopyToClipboard() { throw ENGImageException(SClipboard); }

void InitializeNGImages() {
    static bool initialized = false;
    if (initialized) return;
    initialized = true;
    host::TPicture::RegisterFileFormat<TMNGImage>("MNG", "Multiple-image Network Graphics");
    host::TPicture::RegisterFileFormat<TJNGImage>("JNG", "JPEG Network Graphics");
    host::TPicture::RegisterFileFormat<TPNGImage>("PNG", "Portable Network Graphics");
}

void FinalizeNGImages() {
    host::TPicture::UnregisterGraphicClass<TMNGImage>();
    host::TPicture::UnregisterGraphicClass<TJNGImage>();
    host::TPicture::UnregisterGraphicClass<TPNGImage>();
}

}  // namespace ng
