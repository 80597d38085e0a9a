// BMP to BMP through the codec path: pixmorph (code 5) beside ImageMagick's convert on
// a 12-megapixel 24-bit bitmap made from one of the photographs, in one run.
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

using bench_support::Best;

namespace {

constexpr int Runs = 5;

template <class Prepare>
Best measure(const std::vector<std::string>& argv, Prepare prepare) {
    return bench_support::measureBest(argv, prepare, Runs);
}

}  // namespace

int main() {
    char pattern[] = "/tmp/pixmorph-bmp-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::filesystem::path dir = pattern;
    const std::string source = (dir / "source.bmp").string();
    const std::string input = (dir / "in.bmp").string();
    const std::string ours = (dir / "ours.bmp").string();
    const std::string theirs = (dir / "theirs.bmp").string();

    // Without the photographs a smooth gradient of the same size stands in.
    std::vector<std::string> make{"/usr/bin/convert", "-size", "4000x3000", "gradient:navy-orange"};
    if (bench_support::haveTestdata()) make = {"/usr/bin/convert", bench_support::testdata("photos/Storm.jpg")};
    make.insert(make.end(), {"-resize", "4000x3000!", "-type", "TrueColor", "BMP3:" + source});
    const ProcessCost made = runMeasured(make);
    if (made.exitCode != 0) {
        std::fprintf(stderr, "could not make the test bitmap with convert\n");
        return 1;
    }
    const double imageMB = 4000.0 * 3000.0 * 3.0 / 1e6;

    // The codec path deletes its input after a conversion, so each run gets a fresh copy.
    const Best pixmorph = measure({PIXMORPH_BINARY, input, "5", ours}, [&] {
        std::filesystem::remove(ours);
        std::filesystem::copy_file(source, input, std::filesystem::copy_options::overwrite_existing);
    });
    const Best convert = measure({"/usr/bin/convert", source, "BMP3:" + theirs},
                                 [&] { std::filesystem::remove(theirs); });

    std::printf("BMP -> BMP, 4000 x 3000 x 24 bits (%.1f MB of pixels), best of %d runs\n", imageMB, Runs);
    std::printf("%-26s %10s %10s %14s %10s\n", "", "wall s", "cpu s", "peak RSS MB", "x image");
    std::printf("%-26s %10.3f %10.3f %14.1f %10.2f%s\n", "pixmorph in.bmp 5 out.bmp", pixmorph.seconds,
                pixmorph.cpuSeconds, pixmorph.peakRssKb / 1024.0, pixmorph.peakRssKb * 1024.0 / 1e6 / imageMB,
                pixmorph.failures ? "  (FAILED runs)" : "");
    std::printf("%-26s %10.3f %10.3f %14.1f %10.2f%s\n", "convert in.bmp out.bmp", convert.seconds,
                convert.cpuSeconds, convert.peakRssKb / 1024.0, convert.peakRssKb * 1024.0 / 1e6 / imageMB,
                convert.failures ? "  (FAILED runs)" : "");
    // On a shared machine the wall clock mostly measures waiting for a core; the CPU time
    // (user + system) is what each program itself costs.
    std::printf("speed-up over convert: %.2fx wall clock, %.2fx CPU time (target >= 5x)\n",
                convert.seconds / pixmorph.seconds, convert.cpuSeconds / pixmorph.cpuSeconds);
    std::printf("memory: %.2fx the image (target < 3x); convert %.2fx\n",
                pixmorph.peakRssKb * 1024.0 / 1e6 / imageMB, convert.peakRssKb * 1024.0 / 1e6 / imageMB);

    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return pixmorph.failures ? 1 : 0;
}
