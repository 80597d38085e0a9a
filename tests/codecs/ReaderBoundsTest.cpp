#include <gtest/gtest.h>

#include <jerror.h>

#include "TestSupport.h"
#include "codecs/BMPLoader.h"
#include "codecs/CodecBytes.h"
#include "codecs/JPEGLoader.h"
#include "codecs/PCXLoader.h"
#include "gif/GIFImage.h"
#include "picture/Graphics.h"

namespace {

// By the image model's codec, the whole GIF model, or the picture framework (as pixmorph-open).
enum class Reader { Codec, GIFModel, Picture };

// "W x H" when the file loads, else the message.
std::string outcomeOf(const std::string& file, Reader reader) {
    const std::string path = std::string(PIXMORPH_SOURCE_DIR) + "/tests/fuzz/regressions/" + file;
    auto size = [](int32_t w, int32_t h) { return std::to_string(w) + " x " + std::to_string(h); };
    try {
        if (reader == Reader::Picture) {
            host::TPicture picture;
            picture.LoadFromFile(path);
            return size(picture.Width(), picture.Height());
        }
        if (reader == Reader::GIFModel) {
            TGIFImage image;
            image.LoadFromFile(path);
            return size(image.Width(), image.Height());
        }
        TPCXLoader pcx;
        TJPEGLoader jpeg;
        TBMPLoader bmp;
        TLinearBitmap bitmap;
        const std::string ext = path.substr(path.size() - 3);
        TBitmapLoader& codec = ext == "pcx"   ? static_cast<TBitmapLoader&>(pcx)
                               : ext == "bmp" ? static_cast<TBitmapLoader&>(bmp)
                                              : jpeg;
        const std::string outcome = codec_bytes::LoadOutcome(codec, ext, testing_support::readFile(path), bitmap);
        return outcome == "loaded" ? size(bitmap.Width, bitmap.Height) : outcome;
    } catch (const Exception& e) {
        return e.Message();
    }
}

std::string jpegError(int code) { return "JPEG error #" + std::to_string(code); }

}  // namespace

// Small files claiming huge images end by what their data pays for.
TEST(ReaderBounds, TinyFilesClaimingHugeImagesEndByTheirData) {
    const struct {
        const char* file;
        Reader reader;
        std::string outcome;
    } cases[] = {
        // First scans ending before one row of blocks in a hundred.
        {"jpeg_fuzzer/baseline-18000-truncated.jpg", Reader::Codec, jpegError(JWRN_JPEG_EOF)},
        {"jpeg_fuzzer/grey-32000-truncated.jpg", Reader::Codec, jpegError(JWRN_JPEG_EOF)},
        // Several scans: the coefficient buffer they claim is more than their data could pay for.
        {"jpeg_fuzzer/progressive-18000-truncated.jpg", Reader::Codec, jpegError(JERR_INPUT_EOF)},
        {"jpeg_fuzzer/grey-progressive-8192-repeated-scans.jpg", Reader::Codec, jpegError(JERR_INPUT_EOF)},
        // Fifteen empty restart intervals of 65535 blocks: rows made of no data.
        {"jpeg_fuzzer/restart-empty-intervals-16000.jpg", Reader::Codec, jpegError(JWRN_HIT_MARKER)},
        // libjpeg's coefficients at 16384 x 16384, three full components: over 1 GiB.
        {"jpeg_fuzzer/progressive-444-16384-coefficients.jpg", Reader::Codec, "Invalid bitmap size"},
        {"jpeg_fuzzer/progressive-150-full-scans.jpg", Reader::Codec, jpegError(JERR_BAD_PROGRESSION)},
        {"jpeg_fuzzer/progressive-repeated-refinement.jpg", Reader::Codec, jpegError(JERR_BAD_PROGRESSION)},
        // 65536 columns in rows of one byte.
        {"pcx_fuzzer/window-wider-than-lines.pcx", Reader::Codec, "Invalid bitmap size"},
        // 70 bytes each: 2-bit rows widened, and a headerless 8-bit bitmap, of 1 GB at their
        // own depth and beyond the limit at 24 bits.
        {"bmp_fuzzer/own-2bit-1gb-dib.bmp", Reader::Codec, "Invalid bitmap size"},
        {"bmp_fuzzer/own-headerless-1gb-dib.bmp", Reader::Codec, "Invalid bitmap size"},
        // Top-down RLE8, which only the own reader takes: decoded into the image alone.
        {"bmp_fuzzer/own-topdown-rle8-4096.bmp", Reader::Codec, "4096 x 4096"},
        {"gif_fuzzer/no-image-18900-screen.gif", Reader::Picture, "Invalid GIF data"},
        // 4,000 frames of 240 x 240 with three bytes of data each.
        {"gif_fuzzer/empty-frames-4000x240.gif", Reader::GIFModel, "Premature end of data"},
        {"gif_fuzzer/empty-frames-4000x240.gif", Reader::Picture, "240 x 240"},
    };
    for (const auto& c : cases) EXPECT_EQ(outcomeOf(c.file, c.reader), c.outcome) << c.file;
}
