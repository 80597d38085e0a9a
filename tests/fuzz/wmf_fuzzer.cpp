// Arbitrary bytes to the metafile codec: the header checks and the record walk of loading,
// then every record of the player in bands of the picture's own size, within the same
// image limit and playback budget as any conversion. Small pictures are also saved as the
// other kind, which renders and records them again.
#include <cstdint>
#include <cstring>

#include "codecs/WMFLoader.h"
#include "fuzz/FuzzBounds.h"
#include "fuzz/FuzzLoad.h"
#include "metafile/Metafile.h"
#include "platform/Exceptions.h"
#include "picture/Graphics.h"

namespace {

constexpr int64_t ResavedPicturePixels = 65536;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TWMFLoader codec;
    UseUserImageLimit();
    FuzzLoad(codec, "EMF", data, size);
    host::TMetafile metafile;
    try {
        host::TMemoryStream stream;
        stream.WriteBuffer(data, static_cast<int64_t>(size));
        stream.SetPosition(0);
        metafile.LoadFromStream(stream);
        if (metafile.Width() <= 0 || metafile.Height() <= 0 ||
            int64_t{metafile.Width()} * metafile.Height() > ResavedPicturePixels)
            return 0;
        metafile.SetEnhanced(!metafile.Enhanced());
        if (metafile.Bytes().size() < 22) __builtin_trap();
    } catch (const Exception&) {
    }
    return 0;
}
