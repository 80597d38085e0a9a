#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <pixmorph/plugin.h>

#include "image/DynamicLists.h"
#include "image/LinarBitmap.h"

// One loaded plug-in library. Plain data: the entries live in a TDynamicList.
struct TPluginEntry {
    void* Module;        // dlopen handle; null when the library could not be loaded
    char* LoadFilter;    // own copies of the library's filters (never null)
    char* SaveFilter;
    PixmorphImageFunction LoadImage;
    PixmorphImageFunction SaveImage;
    PixmorphFreeFunction FreeImage;
};

// Called with each library file found by LoadPlugins.
using TPluginNotify = void (*)(void* NotifyData, const std::string& FileName);

// The codec that serves the formats of the image plug-ins: shared libraries in one
// directory that export the functions of <pixmorph/plugin.h>. It is registered first,
// so an extension that a plug-in names is served by the plug-in even where a native
// codec exists; among plug-ins the first in scan order (file names sorted) wins.
class TImageDLLLoader : public TBitmapLoader {
public:
    PIXMORPH_CLASS_NAME(TImageDLLLoader)
    TImageDLLLoader();
    ~TImageDLLLoader() override;

    TPluginEntry* Entries = nullptr;  // kept up to date by EntryList
    TDynamicList EntryList;

    // What the caller should warn of after LoadPlugins, one text each: a library that others
    // could have placed or changed (see PluginDistrust), which is not opened, and a filter
    // without its zero within 4096 bytes, which is ignored.
    std::vector<std::string> Warnings;

    // Loads every "*.so" of Directory (no other place is searched), in the order of the
    // sorted file names, and registers the extensions of their load filters with the
    // picture framework; adds to Warnings. True when at least one library was taken.
    bool LoadPlugins(const std::string& Directory, TPluginNotify Notify, void* NotifyData);
    // Unloads every library and forgets the entries.
    void UnloadPlugins();

    std::string GetLoadFilter() override;
    std::string GetSaveFilter() override;
    // Whether a filter names Ext as a whole extension ("*.ppmx" does not name "ppm").
    bool CanLoad(const std::string& Ext) override;
    bool CanSave(const std::string& Ext) override;
    // Through the first plug-in whose filter names Ext.
    void LoadFromFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) override;
    void SaveToFile(const std::string& FileName, const std::string& Ext, TLinearBitmap& Bitmap) override;
};

// Fills Bitmap from a container a plug-in delivered. Only the bytes the container's
// sizes describe are read; absurd sizes raise "Error in bitmap data", unknown formats
// ELinearBitmap "Unsupported bitmap format" / "Unsupported pixel format". Returns the
// container's channel count.
int FillBitmapFromContainer(const TImageContainer& Image, TLinearBitmap& Bitmap);

// The message for a plug-in's non-zero result; format holds one "%d".
std::string PluginResultMessage(int32_t Result, const char* Format);

// The unit's loader, registered first with the codec registry by InitializeImageDLLLoader.
TImageDLLLoader& ImageDLLLoader();
void InitializeImageDLLLoader();
// Shutdown: unloads the plug-ins and takes back their picture-framework registrations.
void FinalizeImageDLLLoader();
