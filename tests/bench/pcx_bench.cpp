// PCX reading and writing through the codec path beside ImageMagick's convert, on a
// 12-megapixel photograph, in one run.
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

using bench_support::Best;
using bench_support::measureBest;
using bench_support::runMeasured;

namespace {

void report(const char* job, const Best& ours, const Best& theirs, double imageMB) {
    std::printf("%s\n", job);
    std::printf("  %-10s %8.3f s wall %8.3f s cpu %8.1f MB peak (%.2fx image)%s\n", "pixmorph", ours.seconds,
                ours.cpuSeconds, ours.peakRssKb / 1024.0, ours.peakRssKb * 1024.0 / 1e6 / imageMB,
                ours.failures ? "  FAILED runs" : "");
    std::printf("  %-10s %8.3f s wall %8.3f s cpu %8.1f MB peak%s\n", "convert", theirs.seconds, theirs.cpuSeconds,
                theirs.peakRssKb / 1024.0, theirs.failures ? "  FAILED runs" : "");
    std::printf("  speed-up over convert: %.2fx wall, %.2fx CPU (target >= 5x)\n", theirs.seconds / ours.seconds,
                theirs.cpuSeconds / ours.cpuSeconds);
}

}  // namespace

int main() {
    char pattern[] = "/tmp/pixmorph-pcx-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::filesystem::path dir = pattern;
    auto path = [&](const char* name) { return (dir / name).string(); };
    namespace fs = std::filesystem;

    if (runMeasured({"/usr/bin/convert", bench_support::testdata("photos/Storm.jpg"), "-resize", "4000x3000!", "-type",
                     "TrueColor", "BMP3:" + path("source.bmp")})
            .exitCode != 0) {
        std::fprintf(stderr, "could not make the test bitmap with convert\n");
        return 1;
    }
    fs::copy_file(path("source.bmp"), path("copy.bmp"));
    if (runMeasured({PIXMORPH_BINARY, path("copy.bmp"), "5", path("source.pcx")}).exitCode != 0) return 1;
    const double imageMB = 4000.0 * 3000.0 * 3.0 / 1e6;
    auto fresh = [&](const char* from, const char* to, const char* result) {
        return [&, from, to, result] {
            fs::remove(path(result));
            fs::copy_file(path(from), path(to), fs::copy_options::overwrite_existing);
        };
    };

    // The codec path deletes its input, so each run gets a fresh copy (outside the timing).
    const Best writeOurs = measureBest({PIXMORPH_BINARY, path("in.bmp"), "5", path("ours.pcx")},
                                       fresh("source.bmp", "in.bmp", "ours.pcx"));
    const Best writeTheirs = measureBest({"/usr/bin/convert", path("source.bmp"), path("theirs.pcx")},
                                         [&] { fs::remove(path("theirs.pcx")); });
    const Best readOurs = measureBest({PIXMORPH_BINARY, path("in.pcx"), "5", path("ours.bmp")},
                                      fresh("source.pcx", "in.pcx", "ours.bmp"));
    const Best readTheirs = measureBest({"/usr/bin/convert", path("source.pcx"), "BMP3:" + path("theirs.bmp")},
                                        [&] { fs::remove(path("theirs.bmp")); });

    std::printf("PCX, 4000 x 3000 x 24 bits (%.1f MB of pixels), best of 5 runs\n", imageMB);
    report("BMP -> PCX (writing)", writeOurs, writeTheirs, imageMB);
    report("PCX -> BMP (reading)", readOurs, readTheirs, imageMB);

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return writeOurs.failures || readOurs.failures ? 1 : 0;
}
