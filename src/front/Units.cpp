#include "front/Units.h"

#include "codecs/BMPLoader.h"
#include "codecs/JPEGLoader.h"
#include "front/FileUtils.h"
#include "codecs/PNGLoader.h"
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

    // 5. JPEGLoader.
    InitializeJPEGLoader();

    // 6. PNGLoader.
    InitializePNGLoader();

    // 7. HIPSLoader.

    // 8. BMPLoader.
    InitializeBMPLoader();

    // 9. PCXLoader.

    // 10. WMFLoader.
}
