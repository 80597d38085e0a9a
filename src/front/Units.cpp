#include "front/Units.h"

#include "codecs/BMPLoader.h"
#include "codecs/HIPSLoader.h"
#include "codecs/PCXLoader.h"
#include "codecs/ICOLoader.h"
#include "codecs/JPEGLoader.h"
#include "front/FileUtils.h"
#include "gif/GIFImage.h"
#include "codecs/PNGLoader.h"
#include "codecs/WMFLoader.h"
#include "image/LinarBitmap.h"
#include "image/LinearGraphic.h"
#include "mng/NGImages.h"
#include "platform/Graphics.h"
#include "platform/JPEGImage.h"
#include "plugins/ImageDLLLoader.h"

// Each unit's initialisation, in order. A unit's slot stays a comment until it exists.
// Units register their graphic classes with the picture framework from their
// initialisation (one RegisterFileFormat<Class>(extension, description) line each), so
// this is also the order of those registrations, where the class registered last for an
// extension wins: the icon unit's "CUR", the JPEG unit's, the libmng and GIF units'
// (slots 5a and 5b), then PNG/MNG, HIPS, BMP and PCX. The plug-ins' extensions come
// last, when the plug-ins are loaded. FinalizeUnits takes them back.

void InitializeUnits() {
    static bool initialized = false;
    if (initialized) return;
    initialized = true;

    // 1. LinarBitmap: GrayPalette and the empty registry Loaders.
    InitializeLinarBitmap();

    // 2. FileUtils: ProgramDir.
    InitializeFileUtils();

    // 3. ImageDLLLoader: the plug-in codec, registered first.
    InitializeImageDLLLoader();

    // 4. ICOLoader.
    InitializeICOLoader();

    // 5. JPEGLoader.
    InitializeJPEGLoader();

    // 5a. NGImages: the libmng-backed MNG, JNG and PNG graphic classes.
    ng::InitializeNGImages();

    // 5b. GIFImage: the GIF graphic class.
    InitializeGIFImage();

    // 6. PNGLoader.
    InitializePNGLoader();

    // 7. HIPSLoader.
    InitializeHIPSLoader();

    // 8. BMPLoader.
    InitializeBMPLoader();

    // 9. PCXLoader.
    InitializePCXLoader();

    // 10. WMFLoader.
    InitializeWMFLoader();
}

// Shutdown, in the reverse order of the initialisations: each unit takes back its
// picture-framework registrations and releases what it loaded.
void FinalizeUnits() {
    // 9. PCXLoader.
    host::TPicture::UnregisterGraphicClass<TPCXGraphic>();

    // 8. BMPLoader.
    host::TPicture::UnregisterGraphicClass<TVKBitmap>();

    // 7. HIPSLoader.
    host::TPicture::UnregisterGraphicClass<THIPSGraphic>();

    // 6. PNGLoader.
    host::TPicture::UnregisterGraphicClass<TPNGGraphic>();
    host::TPicture::UnregisterGraphicClass<TMNGGraphic>();

    // 5b. GIFImage.
    host::TPicture::UnregisterGraphicClass<TGIFImage>();

    // 5a. NGImages.
    host::TPicture::UnregisterGraphicClass<ng::TMNGImage>();
    host::TPicture::UnregisterGraphicClass<ng::TJNGImage>();
    host::TPicture::UnregisterGraphicClass<ng::TPNGImage>();

    // 5. JPEGLoader.
    host::TPicture::UnregisterGraphicClass<host::TJPEGImage>();

    // 3. ImageDLLLoader: the plug-ins are unloaded.
    FinalizeImageDLLLoader();
}
