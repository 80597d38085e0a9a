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

// Each unit's initialisation, in order. A unit's slot stays a comment until it exists.

void InitializeUnits() {
    static bool initialized = false;
    if (initialized) return;
    initialized = true;

    // 1. LinarBitmap: GrayPalette and the empty registry Loaders.
    InitializeLinarBitmap();

    // 2. FileUtils: ProgramDir.
    InitializeFileUtils();

    // 3. ImageDLLLoader: the plug-in codec, registered first.

    // 4. ICOLoader.
    InitializeICOLoader();

    // 5. JPEGLoader.
    InitializeJPEGLoader();

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

    // GIFImage: the "GIF" graphic class of the picture framework.
    InitializeGIFImage();
}
