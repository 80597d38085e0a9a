// GIF decoding beside giflib's DGifSlurp, in one run over the same files: a 12-megapixel
// photograph written as GIF by ImageMagick (216-colour cube), an interlaced copy of it,
// and the animations of the test data. Both decoders read from memory.
#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "gif/GIFImage.h"

using bench_support::BestSeconds;
using bench_support::ReadAll;
using bench_support::runMeasured;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

struct MemReader {
    const Bytes* bytes;
    size_t at;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int count) {
    auto* r = static_cast<MemReader*>(gif->UserData);
    const size_t n = std::min<size_t>(static_cast<size_t>(count), r->bytes->size() - r->at);
    std::memcpy(out, r->bytes->data() + r->at, n);
    r->at += n;
    return static_cast<int>(n);
}

// The pixel count of every frame, so that both sides can be seen to have done the work.
int64_t GiflibDecode(const Bytes& file) {
    MemReader reader{&file, 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&reader, ReadFromMemory, &error);
    if (!gif) return -1;
    int64_t pixels = -1;
    if (DGifSlurp(gif) == GIF_OK) {
        pixels = 0;
        for (int i = 0; i < gif->ImageCount; ++i)
            pixels += int64_t{gif->SavedImages[i].ImageDesc.Width} * gif->SavedImages[i].ImageDesc.Height;
    }
    DGifCloseFile(gif, &error);
    return pixels;
}

int64_t OursDecode(const Bytes& file, TGIFImage& image) {
    host::TMemoryStream stream;
    stream.Write(file.data(), static_cast<int64_t>(file.size()));
    stream.SetPosition(0);
    image.LoadFromStream(stream);
    int64_t pixels = 0;
    for (int i = 0; i < image.Images().Count(); ++i) pixels += image.Images().SubImage(i)->DataSize();
    return pixels;
}

struct Input {
    std::string name;
    Bytes file;
};

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("pixmorph-gifread-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::vector<Input> inputs;
    for (bool interlaced : {false, true}) {
        const std::string gif = dir / (interlaced ? "photo-interlaced.gif" : "photo.gif");
        std::vector<std::string> argv = {"/usr/bin/convert", bench_support::testdata("photos/TwoWings.jpg"),
                                         "-resize", "4000x3000!", "-dither", "None", "-remap", "netscape:"};
        if (interlaced) argv.insert(argv.end(), {"-interlace", "GIF"});
        argv.push_back(gif);
        if (runMeasured(argv).exitCode != 0) {
            std::fprintf(stderr, "convert failed\n");
            return 1;
        }
        inputs.push_back({interlaced ? "photo 4000x3000 interl." : "photo 4000x3000", ReadAll(gif)});
    }
    for (const char* anim : {"giflib/pic/fire.gif", "image-rs/images/anim/large-gif-anim-combine.gif",
                             "giflib/pic/welcome2.gif"})
        inputs.push_back({fs::path(anim).filename().string(), ReadAll(bench_support::testdata(std::string("gif/") + anim))});

    std::printf("%-28s %10s %11s %11s %7s\n", "file", "bytes", "ours", "giflib", "ratio");
    for (const Input& input : inputs) {
        const int rounds = input.file.size() > (1 << 20) ? 5 : 30;
        int64_t ours = 0, theirs = 0;
        const double oursSeconds = BestSeconds(rounds, [&] {
            TGIFImage image;
            ours = OursDecode(input.file, image);
        });
        const double giflibSeconds = BestSeconds(rounds, [&] { theirs = GiflibDecode(input.file); });
        std::printf("%-28s %10zu %9.2fms %9.2fms %7.2f%s\n", input.name.c_str(), input.file.size(), oursSeconds * 1e3,
                    giflibSeconds * 1e3, giflibSeconds / oursSeconds, ours == theirs ? "" : "  (pixel counts differ)");
    }
    std::printf("(ratio = giflib time / our time: above 1 means we are faster)\n");
    fs::remove_all(dir);
    return 0;
}
