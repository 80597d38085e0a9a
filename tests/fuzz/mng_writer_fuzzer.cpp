// Arbitrary small pictures through the PNG and JNG writers behind codes 104 and 105: the
// colour collection, palette order, depth packing and mask handling. Every PNG that libmng
// writes is read back by our own PNG reader and must hold exactly the picture's pixels.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "codecs/PNGLoader.h"
#include "front/Units.h"
#include "image/LinarBitmap.h"
#include "mng/NGImages.h"
#include "platform/Stream.h"
#include "streams/MemStream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    InitializeUnits();
    const uint8_t mode = data[0];
    const int width = 1 + data[1] % 48, height = 1 + data[2] % 48;
    // Few colours (palette depths 1 to 8) or many (RGB), chosen by the input.
    const int colours = 1 + (data[3] % 2 ? data[3] : data[3] % 20);
    data += 4;
    size -= 4;

    ng::TNGImage image;
    ng::TNGBitmap& bitmap = image.Bitmap();
    bitmap.NewImage(host::pf24bit, width, height);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const size_t i = static_cast<size_t>(y * width + x);
            const int k = size ? data[i % size] * (1 + static_cast<int>(i / size)) % colours : 0;
            uint8_t* p = bitmap.ScanLine(y) + 3 * x;
            p[0] = static_cast<uint8_t>(k * 37);
            p[1] = static_cast<uint8_t>(k);
            p[2] = static_cast<uint8_t>(k >> 8);
        }
    if (mode & 2) bitmap.MaskColor = host::RGB(0, 0, 0);  // colour 0 becomes transparent
    host::TMemoryStream out;
    if (mode & 1) {
        bitmap.CreateJNG();
        image.SaveToStream(out);
        return 0;
    }
    bitmap.CreatePNG();
    image.SaveToStream(out);

    TMemStream stream;
    stream.Write(out.Memory(), out.GetSize());
    stream.Seek(0);
    TLinearBitmap read;
    PNGLoader().LoadFromStream(stream, "PNG", read);
    read.ChangePixelFormat(pfBGR24);
    if (read.Width != width || read.Height != height) std::abort();
    for (int y = 0; y < height; ++y)
        if (std::memcmp(read.ScanLine(y), bitmap.ScanLine(y), static_cast<size_t>(width) * 3) != 0) std::abort();
    return 0;
}
