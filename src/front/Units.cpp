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
#include "metafile/Metafile.h"
#include "mng/NGImages.h"
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

    // 0. Metafile: the picture framework's "emf" and "wmf", beside its own "bmp".
    host::InitializeMetafile();

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
    FinalizePCXLoader();
    FinalizeBMPLoader();
    FinalizeHIPSLoader();
    FinalizePNGLoader();
    FinalizeGIFImage();
    ng::FinalizeNGImages();
    FinalizeJPEGLoader();
    FinalizeICOLoader();
    FinalizeImageDLLLoader();
    host::FinalizeMetafile();
}
