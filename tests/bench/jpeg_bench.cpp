// JPEG beside libjpeg's own tools and ImageMagick, in one run on a 12-megapixel
// photograph: code 101 against cjpeg (quality 90, integer DCT) on the same bitmap, and
// JPEG decoding through the codec path (code 5, JPEG to BMP) against djpeg writing a
// bitmap, both also against convert; with the peak memory of each.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

using bench_support::ProcessCost;
using bench_support::runMeasured;
namespace fs = std::filesystem;

namespace {

constexpr int Runs = 5;

using bench_support::Best;

template <class Prepare>
Best measure(const std::vector<std::string>& argv, Prepare prepare) {
    return bench_support::measureBest(argv, prepare, Runs);
}

void row(const char* name, const Best& b, double imageMB) {
    std::printf("%-34s %9.3f %9.3f %12.1f %9.2f%s\n", name, b.seconds, b.cpuSeconds, b.peakRssKb / 1024.0,
                b.peakRssKb * 1024.0 / 1e6 / imageMB, b.failures ? "  (FAILED runs)" : "");
}

void ratios(const char* what, const Best& ours, const Best& peer, const char* target) {
    std::printf("  %-40s %6.2fx wall clock, %6.2fx CPU time (%s)\n", what, ours.seconds / peer.seconds,
                ours.cpuSeconds / peer.cpuSeconds, target);
}

}  // namespace

int main() {
    char pattern[] = "/tmp/pixmorph-jpeg-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    auto at = [&](const char* name) { return (dir / name).string(); };
    const std::string bitmap = at("source.bmp"), jpeg = at("source.jpg");

    const ProcessCost made = runMeasured({"/usr/bin/convert", bench_support::testdata("photos/TwoWings.jpg"), "-resize",
                                          "4000x3000!", "-type", "TrueColor", "BMP3:" + bitmap});
    const ProcessCost compressed = runMeasured({"cjpeg", "-quality", "90", "-dct", "int", "-outfile", jpeg, bitmap});
    if (made.exitCode != 0 || compressed.exitCode != 0) {
        std::fprintf(stderr, "could not make the test images with convert and cjpeg\n");
        return 1;
    }
    const double imageMB = 4000.0 * 3000.0 * 3.0 / 1e6;
    auto fresh = [&](const std::string& source, const std::string& copy, const std::string& output) {
        return [=] {
            std::error_code ignored;
            fs::remove(output, ignored);
            fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
        };
    };
    auto clear = [&](const std::string& output) {
        return [=] {
            std::error_code ignored;
            fs::remove(output, ignored);
        };
    };

    // Both pixmorph runs delete their input, so each run gets a fresh copy (not timed).
    const Best code101 = measure({PIXMORPH_BINARY, at("in.bmp"), "101", at("ours.jpg")},
                                 fresh(bitmap, at("in.bmp"), at("ours.jpg")));
    const Best cjpeg = measure({"cjpeg", "-quality", "90", "-dct", "int", "-outfile", at("cjpeg.jpg"), bitmap},
                               clear(at("cjpeg.jpg")));
    const Best convertEncode = measure({"/usr/bin/convert", bitmap, "-quality", "90", at("convert.jpg")},
                                       clear(at("convert.jpg")));
    const Best decode = measure({PIXMORPH_BINARY, at("in.jpg"), "5", at("ours.bmp")},
                                fresh(jpeg, at("in.jpg"), at("ours.bmp")));
    const Best djpeg = measure({"djpeg", "-dct", "int", "-bmp", "-outfile", at("djpeg.bmp"), jpeg},
                               clear(at("djpeg.bmp")));
    const Best convertDecode = measure({"/usr/bin/convert", jpeg, "BMP3:" + at("convert.bmp")},
                                       clear(at("convert.bmp")));

    std::printf("JPEG, 4000 x 3000 photograph (%.1f MB of pixels), best of %d runs\n", imageMB, Runs);
    std::printf("%-34s %9s %9s %12s %9s\n", "", "wall s", "cpu s", "peak RSS MB", "x image");
    row("pixmorph in.bmp 101 out.jpg", code101, imageMB);
    row("cjpeg -quality 90 -dct int", cjpeg, imageMB);
    row("convert in.bmp -quality 90 out.jpg", convertEncode, imageMB);
    row("pixmorph in.jpg 5 out.bmp", decode, imageMB);
    row("djpeg -dct int -bmp", djpeg, imageMB);
    row("convert in.jpg out.bmp", convertDecode, imageMB);
    // On a shared machine the wall clock mostly measures waiting for a core; the CPU time
    // (user + system) is what each program itself costs.
    std::printf("ours / peer:\n");
    ratios("code 101 / cjpeg", code101, cjpeg, "target <= 1.1x");
    ratios("JPEG -> BMP / djpeg", decode, djpeg, "target <= 1.1x");
    ratios("code 101 / convert", code101, convertEncode, "target <= 0.5x");
    ratios("JPEG -> BMP / convert", decode, convertDecode, "target <= 0.5x");
    std::printf("memory of code 101: %.2fx the image (target < 2.5x)\n", code101.peakRssKb * 1024.0 / 1e6 / imageMB);

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return code101.failures || decode.failures ? 1 : 0;
}
