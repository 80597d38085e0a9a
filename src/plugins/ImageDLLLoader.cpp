#include "plugins/ImageDLLLoader.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "image/LinearGraphic.h"
#include "platform/CheckedSize.h"
#include "platform/Files.h"
#include "picture/Graphics.h"
#include "picture/PixelBuffer.h"
#include "platform/SysUtils.h"
#include "plugins/PluginTrust.h"

namespace {

// The extension handed to a plug-in fits a buffer of this many characters plus the zero.
constexpr size_t ExtensionLength = 260;
// A plug-in's filter, with its terminating zero, fits in this many bytes; a string
// without a zero that soon is refused, so it can never send us reading through the
// plug-in's memory.
constexpr size_t MaxFilterBytes = 4096;

bool IsLetterDigitOrUnderscore(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// Whether the filter names Ext as a whole extension: "*." and Ext, then no further letter,
// digit or underscore, so that "*.ppmx" names neither "ppm" nor "p".
bool NamesExtension(const std::string& filter, const std::string& ext) {
    if (ext.empty()) return false;
    const std::string text = UpperCase(filter), pattern = "*." + UpperCase(ext);
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) {
        const size_t end = at + pattern.size();
        if (end == text.size() || !IsLetterDigitOrUnderscore(text[end])) return true;
    }
    return false;
}

std::string PluginWarning(const std::string& path, const std::string& what) {
    return Format("plug-in \"%s\" %s", path.c_str(), what.c_str());
}

struct Descriptor {
    int fd;
    ~Descriptor() { ::close(fd); }
};

// The plug-in's string up to its zero, copied a byte at a time through a pipe: the kernel
// reports memory that cannot be read instead of faulting, so a string that runs into
// unmapped memory ends the copy, and no byte past the zero is ever touched. False when no
// zero lies within MaxFilterBytes bytes that can be read.
bool ReadPluginString(const char* text, std::string& result) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    const Descriptor reading{fds[0]}, writing{fds[1]};
    std::string bytes;
    for (size_t at = 0; at < MaxFilterBytes; ++at) {
        char c = 0;
        if (::write(writing.fd, text + at, 1) != 1 || ::read(reading.fd, &c, 1) != 1) return false;
        if (c == '\0') {
            result = std::move(bytes);
            return true;
        }
        bytes.push_back(c);
    }
    return false;
}

// An own copy of the filter a plug-in hands out (empty when it has none, or when it is
// refused, which the warning names).
char* CopyFilter(PixmorphFilterFunction get, const std::string& path, std::vector<std::string>& warnings) {
    const char* text = get ? get() : nullptr;
    std::string filter;
    if (text && !ReadPluginString(text, filter))
        warnings.push_back(
            PluginWarning(path, Format("filter ignored: no end within %d bytes", static_cast<int>(MaxFilterBytes))));
    char* copy = static_cast<char*>(std::malloc(filter.size() + 1));
    if (!copy) throw EOutOfMemory("Out of memory");
    std::memcpy(copy, filter.c_str(), filter.size() + 1);
    return copy;
}

struct Export {
    const char* windowsName;
    const char* elfName;
};
constexpr Export LoadImageExport{PIXMORPH_SYMBOL_LOAD_IMAGE, PIXMORPH_ELF_SYMBOL_LOAD_IMAGE};
constexpr Export SaveImageExport{PIXMORPH_SYMBOL_SAVE_IMAGE, PIXMORPH_ELF_SYMBOL_SAVE_IMAGE};
constexpr Export FreeImageExport{PIXMORPH_SYMBOL_FREE_IMAGE, PIXMORPH_ELF_SYMBOL_FREE_IMAGE};
constexpr Export LoadFilterExport{PIXMORPH_SYMBOL_GET_LOAD_FILTER, PIXMORPH_ELF_SYMBOL_GET_LOAD_FILTER};
constexpr Export SaveFilterExport{PIXMORPH_SYMBOL_GET_SAVE_FILTER, PIXMORPH_ELF_SYMBOL_GET_SAVE_FILTER};

// By the Windows name, else by the C++ name a library built from <pixmorph/plugin.h> has.
template <class F>
F Lookup(void* module, const Export& name) {
    void* address = dlsym(module, name.windowsName);
    if (!address) address = dlsym(module, name.elfName);
    return reinterpret_cast<F>(address);
}

// Every extension the load filter names, once, in upper case, for the picture framework.
void RegisterExtensions(const char* loadFilter) {
    const std::string filter = UpperCase(loadFilter) + "|";
    std::set<std::string> seen;
    for (size_t at = filter.find("*."); at != std::string::npos; at = filter.find("*.", at + 2)) {
        size_t end = at + 2;
        while (end < filter.size() && IsLetterDigitOrUnderscore(filter[end])) ++end;
        const std::string ext = filter.substr(at + 2, end - at - 2);
        if (ext.empty() || !seen.insert(ext).second) continue;
        host::TPicture::RegisterFileFormat<TLinearGraphic>(ext, ext);
    }
}

// The regular files "*.so" of a directory, sorted, so the order never depends on the
// file system.
std::vector<std::string> LibraryFiles(const std::string& directory) {
    std::vector<std::string> names;
    // No directory is no plug-ins: the current directory never stands in for it.
    if (directory.empty()) return names;
    DIR* dir = opendir(directory.c_str());
    if (!dir) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() <= 3 || name.compare(name.size() - 3, 3, ".so") != 0) continue;
        struct stat info {};
        if (stat((directory + name).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// The loader hands the plug-in writable copies, so a plug-in that writes into its
// arguments cannot touch ours.
std::vector<char> CString(const std::string& text, size_t limit = std::string::npos) {
    const std::string cut = text.substr(0, limit);
    std::vector<char> buffer(cut.begin(), cut.end());
    buffer.push_back('\0');
    return buffer;
}

[[noreturn]] void BadData() { throw Exception("Error in bitmap data"); }

int32_t CallPlugin(PixmorphImageFunction function, const std::string& fileName, const std::string& ext,
                   TImageContainer& image) {
    std::vector<char> name = CString(fileName);
    std::vector<char> extension = CString(ext, ExtensionLength);
    return function(name.data(), extension.data(), &image);
}

// The image format of a container's packed rows, for the formats the image model holds
// the same way, or pfNone.
uint8_t PackedFormatOf(const TImageContainer& image) {
    uint8_t format;
    int bytesPerPixel;
    switch (image.PixelFormat) {
        case PixmorphIndexed8:
        case PixmorphIndexed8Planar: format = pfIndexed8, bytesPerPixel = 1; break;
        case PixmorphGray16: format = pfGray16, bytesPerPixel = 2; break;
        case PixmorphBGR24: format = pfBGR24, bytesPerPixel = 3; break;
        default: return pfNone;
    }
    // The sizes the copy would accept, so that both ways refuse the same containers alike.
    const bool sound = image.Width > 0 && image.Height > 0 && image.Pixels &&
                       productWithin({image.Width, bytesPerPixel}) == image.BytesPerLine &&
                       productWithin({image.BytesPerLine, image.Height}) >= 0;
    return sound ? format : uint8_t{pfNone};
}

struct CloseModule {
    void operator()(void* module) const { dlclose(module); }
};
using Module = std::unique_ptr<void, CloseModule>;

// Another reference to the library that holds function, so that it stays loaded while
// the reference is held; null when there is none to take.
Module HoldLibraryOf(PixmorphFreeFunction function) {
    Dl_info info;
    if (!dladdr(reinterpret_cast<void*>(function), &info) || !info.dli_fname) return nullptr;
    return Module(dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD));
}

// Rows a plug-in lent (PixmorphKeepRows): LibFreeImage takes them back when the image
// lets them go, and until then the library stays loaded.
class PluginRows : public host::PixelLease {
public:
    PluginRows(const TImageContainer& image, PixmorphFreeFunction free, Module library)
        : image_(image), free_(free), library_(std::move(library)) {}
    ~PluginRows() override { free_(&image_); }
    PluginRows(const PluginRows&) = delete;
    PluginRows& operator=(const PluginRows&) = delete;

private:
    TImageContainer image_;
    PixmorphFreeFunction free_;
    Module library_;  // let go after LibFreeImage has returned
};

// The palette of an indexed container: its own, or grey when it has none.
void CopyContainerPalette(const TImageContainer& Image, TLinearBitmap& Bitmap) {
    std::memcpy(Bitmap.Palette.get(), Image.Palette ? static_cast<const uint8_t*>(Image.Palette) : GrayPalette,
                PaletteBytes);
}

}  // namespace

// ---------------------------------------------------------------- containers

std::string PluginResultMessage(int32_t Result, const char* FormatText) {
    switch (Result) {
        case 2: return "Unable to open file";
        case 3: return "Error in bitmap data";
        case 4: return "Unsupported pixel format";
        case 5: return "Unable to close file";
        default:
            return Format(FormatText && *FormatText ? FormatText : "Process failed: %d", static_cast<int>(Result));
    }
}

int FillBitmapFromContainer(const TImageContainer& Image, TLinearBitmap& Bitmap) {
    const int32_t code = Image.PixelFormat;
    const int channels = code & 0x0F;
    const int layout = (code >> 4) & 0x0F;
    if (code < 0 || code > 0xFF) throw ELinearBitmap("Unsupported pixel format");
    if (channels == 0) throw ELinearBitmap("Unsupported bitmap format");

    uint8_t format;
    int bytesPerPixel = 0;  // 0: planar
    if (code == 0x01 || code == 0x11) {
        format = pfIndexed8;
        bytesPerPixel = 1;
    } else if (code == 0x21) {
        format = pfGray16;
        bytesPerPixel = 2;
    } else if (code == 0x03) {
        format = pfBGR24;
        bytesPerPixel = 3;
    } else if (code == 0x04) {
        format = pfBGRX32;
        bytesPerPixel = 4;
    } else if (layout == 1) {
        format = pfBGR24;
    } else {
        throw ELinearBitmap("Unsupported pixel format");
    }

    // The container describes its own pixels; nothing beyond what it claims is read.
    if (Image.Width <= 0 || Image.Height <= 0 || Image.BytesPerLine < 0 || !Image.Pixels) BadData();
    const auto* pixels = static_cast<const uint8_t*>(Image.Pixels);
    if (bytesPerPixel) {
        const int64_t rowBytes = productWithin({Image.Width, bytesPerPixel});
        if (rowBytes < 0 || Image.BytesPerLine < rowBytes || productWithin({Image.BytesPerLine, Image.Height}) < 0)
            BadData();
        if (format == pfBGRX32) {
            // Straight into 24 bits: the fourth byte is not kept.
            Bitmap.New(Image.Width, Image.Height, pfBGR24);
            for (int32_t y = 0; y < Image.Height; ++y) {
                const uint8_t* s = pixels + int64_t{y} * Image.BytesPerLine;
                uint8_t* d = Bitmap.ScanLine(y);
                for (int32_t x = 0; x < Image.Width; ++x) std::memcpy(d + 3 * x, s + 4 * x, 3);
            }
            return channels;
        }
        Bitmap.New(Image.Width, Image.Height, format);
        for (int32_t y = 0; y < Image.Height; ++y)
            std::memcpy(Bitmap.ScanLine(y), pixels + int64_t{y} * Image.BytesPerLine, static_cast<size_t>(rowBytes));
        if (format == pfIndexed8) CopyContainerPalette(Image, Bitmap);
    } else {
        if (productWithin({Image.Width, Image.Height, channels}) < 0) BadData();
        Bitmap.New(Image.Width, Image.Height, pfBGR24);
        if (channels == 2) Bitmap.FillBytes(0);
        InterleavePlanes(Bitmap, pixels, channels);
    }
    return channels;
}

// ---------------------------------------------------------------- TImageDLLLoader

TImageDLLLoader::TImageDLLLoader() : EntryList(sizeof(TPluginEntry), &Entries) {}

TImageDLLLoader::~TImageDLLLoader() { UnloadPlugins(); }

void TImageDLLLoader::UnloadPlugins() {
    for (int32_t i = 0; i < EntryList.Count; ++i) {
        if (Entries[i].Module) dlclose(Entries[i].Module);
        std::free(Entries[i].LoadFilter);
        std::free(Entries[i].SaveFilter);
    }
    EntryList.Clear();
}

bool TImageDLLLoader::LoadPlugins(const std::string& Directory, TPluginNotify Notify, void* NotifyData) {
    struct FreeText {
        void operator()(char* text) const { std::free(text); }
    };
    const std::string directory = host::IncludeTrailingBackslash(Directory);
    const uid_t trustedOwner = ExecutableOwner();
    bool taken = false;
    for (const std::string& name : LibraryFiles(directory)) {
        if (Notify) Notify(NotifyData, name);
        // The path holds a "/", so it is opened as it stands: the library search path
        // never supplies a plug-in.
        const std::string path = directory + name;
        const std::string distrust = PluginDistrust(path, trustedOwner);
        if (!distrust.empty()) {
            Warnings.push_back(PluginWarning(path, "not loaded: " + distrust));
            continue;
        }
        Module module(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
        PixmorphImageFunction loadImage = nullptr, saveImage = nullptr;
        PixmorphFreeFunction freeImage = nullptr;
        PixmorphFilterFunction loadFilter = nullptr, saveFilter = nullptr;
        if (module) {
            loadImage = Lookup<PixmorphImageFunction>(module.get(), LoadImageExport);
            saveImage = Lookup<PixmorphImageFunction>(module.get(), SaveImageExport);
            freeImage = Lookup<PixmorphFreeFunction>(module.get(), FreeImageExport);
            if (!freeImage || (!loadImage && !saveImage)) continue;  // unloaded and forgotten
            loadFilter = Lookup<PixmorphFilterFunction>(module.get(), LoadFilterExport);
            saveFilter = Lookup<PixmorphFilterFunction>(module.get(), SaveFilterExport);
        }
        // A library that could not be loaded keeps an entry with nothing in it, which is
        // never chosen.
        std::unique_ptr<char, FreeText> loadText(CopyFilter(loadFilter, path, Warnings));
        std::unique_ptr<char, FreeText> saveText(CopyFilter(saveFilter, path, Warnings));
        EntryList.AddItem();
        Entries[EntryList.Count - 1] =
            TPluginEntry{module.get(), loadText.get(), saveText.get(), loadImage, saveImage, freeImage};
        const bool loaded = module != nullptr;
        module.release();
        loadText.release();
        saveText.release();
        if (!loaded) continue;
        RegisterExtensions(Entries[EntryList.Count - 1].LoadFilter);
        taken = true;
    }
    return taken;
}

namespace {

std::string JoinFilters(const TPluginEntry* entries, int32_t count, bool save) {
    std::string joined;
    for (int32_t i = 0; i < count; ++i) {
        const TPluginEntry& entry = entries[i];
        const char* filter = save ? entry.SaveFilter : entry.LoadFilter;
        if (!(save ? entry.SaveImage : entry.LoadImage) || !filter || !*filter) continue;
        if (!joined.empty() && joined.back() != '|') joined += '|';
        joined += filter;
    }
    return joined;
}

}  // namespace

std::string TImageDLLLoader::GetLoadFilter() { return JoinFilters(Entries, EntryList.Count, false); }

std::string TImageDLLLoader::GetSaveFilter() { return JoinFilters(Entries, EntryList.Count, true); }

bool TImageDLLLoader::CanLoad(const std::string& Ext) { return NamesExtension(GetLoadFilter(), Ext); }

bool TImageDLLLoader::CanSave(const std::string& Ext) { return NamesExtension(GetSaveFilter(), Ext); }

void TImageDLLLoader::LoadFromFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) {
    const TPluginEntry* chosen = nullptr;
    for (int32_t i = 0; i < EntryList.Count && !chosen; ++i)
        if (Entries[i].LoadImage && NamesExtension(Entries[i].LoadFilter, Ext)) chosen = &Entries[i];
    if (!chosen) throw ELinearBitmap("Unsupported file format");

    TImageContainer image{};
    const int32_t result = CallPlugin(chosen->LoadImage, FileName, Ext, image);
    if (result != 0) throw Exception(PluginResultMessage(result, "Error in bitmap data: %d"));

    // The container is the plug-in's until it is handed back, also when filling fails.
    struct Release {
        PixmorphFreeFunction free;
        TImageContainer* image;
        bool done = false;
        ~Release() {
            if (!done) free(image);
        }
    } release{chosen->FreeImage, &image};
    const uint8_t kept = image.Reserved == PixmorphKeepRows ? PackedFormatOf(image) : uint8_t{pfNone};
    // Rows are kept only while their library can be held loaded.
    if (Module library = kept != pfNone ? HoldLibraryOf(chosen->FreeImage) : nullptr) {
        auto lease = std::make_unique<PluginRows>(image, chosen->FreeImage, std::move(library));
        // From here the lease hands the rows back, whatever fails.
        release.done = true;
        Bitmap.AdoptRows(image.Width, image.Height, kept,
                         host::BorrowPixels(static_cast<uint8_t*>(image.Pixels), std::move(lease)));
        if (kept == pfIndexed8) CopyContainerPalette(image, Bitmap);
        return;
    }
    const int channels = FillBitmapFromContainer(image, Bitmap);
    if (channels > 3)
        throw ELinearBitmap(Format("The image contains %d color planes, only 3 were loaded", channels));
}

void TImageDLLLoader::SaveToFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) {
    const TPluginEntry* chosen = nullptr;
    for (int32_t i = 0; i < EntryList.Count && !chosen; ++i)
        if (Entries[i].SaveImage && NamesExtension(Entries[i].SaveFilter, Ext)) chosen = &Entries[i];
    if (!chosen) throw ELinearBitmap("Unsupported file format");

    TImageContainer image{};
    if (Bitmap.PixelFormat == pfIndexed8)
        image.PixelFormat = PixmorphIndexed8;
    else if (Bitmap.PixelFormat == pfBGR24)
        image.PixelFormat = PixmorphBGR24;
    else
        throw ELinearBitmap("Unsupported pixel format");
    image.Width = Bitmap.Width;
    image.Height = Bitmap.Height;
    image.BytesPerLine = Bitmap.BytesPerLine;
    image.Pixels = Bitmap.Map.get();
    image.Palette = Bitmap.PixelFormat == pfIndexed8 ? Bitmap.Palette.get() : nullptr;
    const int32_t result = CallPlugin(chosen->SaveImage, FileName, Ext, image);
    if (result != 0) throw Exception(PluginResultMessage(result, "Error writing image file: %d"));
}

// ---------------------------------------------------------------- unit

namespace {
TImageDLLLoader* TheLoader = nullptr;
}

TImageDLLLoader& ImageDLLLoader() {
    InitializeImageDLLLoader();
    return *TheLoader;
}

void InitializeImageDLLLoader() {
    if (TheLoader) return;
    static TImageDLLLoader instance;
    TheLoader = &instance;
    RegisterLoader(TheLoader);
}

void FinalizeImageDLLLoader() {
    if (TheLoader) TheLoader->UnloadPlugins();
    host::TPicture::UnregisterGraphicClass<TLinearGraphic>();
}
