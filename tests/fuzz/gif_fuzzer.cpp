// Arbitrary bytes to the GIF reader: every input must end in an image or in one of the
// system's exceptions, never in a crash, a hang or unbounded memory.
#include <cstddef>
#include <cstdint>

#include "fuzz/FuzzBounds.h"
#include "gif/GIFImage.h"
#include "platform/Exceptions.h"
#include "platform/Stream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    UseUserImageLimit();
    host::TMemoryStream stream;
    if (size) stream.Write(data, static_cast<int64_t>(size));
    stream.SetPosition(0);
    TGIFImage image;
    int warnings = 0;
    image.WarningHandler = [&warnings](TObject*, TGIFSeverity, const std::string&) { ++warnings; };
    try {
        image.LoadFromStream(stream);
    } catch (const Exception&) {
        return 0;
    }
    // What was read must also write; large frames are left out to keep the runs quick.
    int64_t pixels = 0;
    for (int i = 0; i < image.Images().Count(); ++i) pixels += image.Images().SubImage(i)->DataSize();
    if (pixels > (int64_t{1} << 20)) return 0;
    try {
        host::TMemoryStream out;
        image.SaveToStream(out);
    } catch (const Exception&) {
    }
    return 0;
}
