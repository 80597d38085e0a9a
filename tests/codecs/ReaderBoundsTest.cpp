#include <gtest/gtest.h>

#include <jerror.h>

#include <string>

#include "TestSupport.h"
#include "codecs/CodecBytes.h"
#include "codecs/JPEGLoader.h"
#include "codecs/PCXLoader.h"
#include "gif/GIFImage.h"
#include "picture/Graphics.h"
#include "platform/Stream.h"

using namespace testing_support;

namespace {

// How a crafted file is read: through the image model's codec, the whole GIF model, or the
// picture framework (as pixmorph-open reads it).
enum class Reader { Codec, GIFModel, Picture };

struct BoundCase {
    const char* file;  // below tests/fuzz/regressions/
    Reader reader;
    std::string outcome;  // "loaded W x H" or the message
};

std::string regression(const char* file) { return std::string(PIXMORPH_SOURCE_DIR) + "/tests/fuzz/regressions/" + file; }

std::string loaded(int32_t width, int32_t height) {
    return "loaded " + std::to_string(width) + " x " + std::to_string(height);
}

std::string outcomeOf(const BoundCase& c) {
    const std::string path = regression(c.file);
    try {
        if (c.reader == Reader::Picture) {
            host::TPicture picture;
            picture.LoadFromFile(path);
            return loaded(picture.Graphic()->Width(), picture.Graphic()->Height());
        }
        if (c.reader == Reader::GIFModel) {
            TGIFImage image;
            host::TFileStream stream(path, host::fmOpenRead);
            image.LoadFromStream(stream);
            return loaded(image.Width(), image.Height());
        }
        TLinearBitmap bitmap;
        const std::string ext = path.substr(path.size() - 3);
        TPCXLoader pcx;
        TJPEGLoader jpeg;
        TBitmapLoader& codec = ext == "pcx" ? static_cast<TBitmapLoader&>(pcx) : jpeg;
        const std::string outcome = codec_bytes::LoadOutcome(codec, ext, readFile(path), bitmap);
        return outcome == "loaded" ? loaded(bitmap.Width, bitmap.Height) : outcome;
    } catch (const Exception& e) {
        return e.Message();
    }
}

std::string jpegError(int code) { return "JPEG error #" + std::to_string(code); }

}  // namespace

// Small files claiming large images: each is refused, or read, without work or memory that
// its data does not pay for.
TEST(ReaderBounds, TinyFilesClaimingHugeImagesEndByTheirData) {
    const BoundCase cases[] = {
        // Data for less than one row of blocks in a hundred: libjpeg's premature-end codes.
        {"jpeg_fuzzer/baseline-18000-truncated.jpg", Reader::Codec, jpegError(JWRN_JPEG_EOF)},
        {"jpeg_fuzzer/baseline-9000-truncated.jpg", Reader::Codec, jpegError(JWRN_JPEG_EOF)},
        {"jpeg_fuzzer/grey-32000-truncated.jpg", Reader::Codec, jpegError(JWRN_JPEG_EOF)},
        {"jpeg_fuzzer/progressive-18000-truncated.jpg", Reader::Codec, jpegError(JWRN_HIT_MARKER)},
        {"jpeg_fuzzer/grey-progressive-8192-repeated-scans.jpg", Reader::Codec, jpegError(JWRN_HIT_MARKER)},
        // libjpeg's coefficients for 16384 x 16384 at full colour resolution exceed 1 GiB.
        {"jpeg_fuzzer/progressive-444-16384-coefficients.jpg", Reader::Codec, "Invalid bitmap size"},
        // 150 scans, and a scan sent again: no real encoder writes either.
        {"jpeg_fuzzer/progressive-150-full-scans.jpg", Reader::Codec, jpegError(JERR_BAD_PROGRESSION)},
        {"jpeg_fuzzer/progressive-repeated-refinement.jpg", Reader::Codec, jpegError(JERR_BAD_PROGRESSION)},
        // Xmax - Xmin + 1 = 65536 pixels in rows of one byte.
        {"pcx_fuzzer/window-wider-than-lines.pcx", Reader::Codec, "Invalid bitmap size"},
        {"gif_fuzzer/no-image-18900-screen.gif", Reader::GIFModel, "Invalid GIF data"},
        {"gif_fuzzer/no-image-18900-screen.gif", Reader::Picture, "Invalid GIF data"},
        // 4,000 frames of 240 x 240 with three bytes of data each: the file's allowance runs
        // out long before; the picture reads the first frame only.
        {"gif_fuzzer/empty-frames-4000x240.gif", Reader::GIFModel, "Premature end of data"},
        {"gif_fuzzer/empty-frames-4000x240.gif", Reader::Picture, loaded(240, 240)},
    };
    for (const BoundCase& c : cases) EXPECT_EQ(outcomeOf(c), c.outcome) << c.file;
}
