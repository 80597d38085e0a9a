// Code 104 (BMP to PNG through libmng) beside ImageMagick's BMP -> PNG and beside our own
// PNG writer (code 5 into .png), on a 12-megapixel photograph as a 24-bit bitmap, in one
// run; code 105 (JNG) beside ImageMagick's BMP -> JNG for scale.
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

constexpr int Runs = 3;

struct Best {
    double seconds = 1e30;
    double cpuSeconds = 1e30;
    long peakRssKb = 0;
    int failures = 0;
    uintmax_t outputBytes = 0;
};

// Each run starts from a fresh copy of the input (the fixed codes delete theirs).
Best measure(const std::vector<std::string>& argv, const std::string& source, const std::string& input,
             const std::string& output) {
    Best best;
    for (int i = 0; i < Runs; ++i) {
        fs::remove(output);
        if (input != source) fs::copy_file(source, input, fs::copy_options::overwrite_existing);
        const ProcessCost cost = runMeasured(argv);
        if (cost.exitCode != 0 || !fs::exists(output)) ++best.failures;
        best.seconds = std::min(best.seconds, cost.seconds);
        best.cpuSeconds = std::min(best.cpuSeconds, cost.cpuSeconds);
        best.peakRssKb = std::max(best.peakRssKb, cost.peakRssKb);
        std::error_code ignored;
        best.outputBytes = fs::file_size(output, ignored);
    }
    return best;
}

void print(const char* label, const Best& b) {
    std::printf("%-34s %9.3f %9.3f %12.1f %12ju%s\n", label, b.seconds, b.cpuSeconds, b.peakRssKb / 1024.0,
                b.outputBytes, b.failures ? "  (FAILED runs)" : "");
}

}  // namespace

int main() {
    char pattern[] = "/tmp/pixmorph-mng-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    const std::string source = (dir / "source.bmp").string();
    const std::string input = (dir / "in.bmp").string();
    const ProcessCost made = runMeasured({"/usr/bin/convert", bench_support::testdata("photos/Storm.jpg"), "-resize",
                                          "4000x3000!", "-type", "TrueColor", "BMP3:" + source});
    if (made.exitCode != 0) {
        std::fprintf(stderr, "could not make the test bitmap with convert\n");
        return 1;
    }

    const std::string png104 = (dir / "ours104.png").string(), png5 = (dir / "ours5.png").string(),
                      pngIM = (dir / "im.png").string(), jng105 = (dir / "ours105.jng").string(),
                      jngIM = (dir / "im.jng").string();
    const Best code104 = measure({PIXMORPH_BINARY, input, "104", png104}, source, input, png104);
    const Best code5 = measure({PIXMORPH_BINARY, input, "5", png5}, source, input, png5);
    const Best convertPng = measure({"/usr/bin/convert", source, pngIM}, source, source, pngIM);
    const Best code105 = measure({PIXMORPH_BINARY, input, "105", jng105}, source, input, jng105);
    const Best convertJng = measure({"/usr/bin/convert", source, "-quality", "90", jngIM}, source, source, jngIM);

    std::printf("BMP -> PNG / JNG, 4000 x 3000 x 24 bits (36 MB of pixels), best of %d runs\n", Runs);
    std::printf("%-34s %9s %9s %12s %12s\n", "", "wall s", "cpu s", "peak RSS MB", "output bytes");
    print("pixmorph in.bmp 104 out.png", code104);
    print("pixmorph in.bmp 5 out.png", code5);
    print("convert in.bmp out.png", convertPng);
    print("pixmorph in.bmp 105 out.jng", code105);
    print("convert in.bmp -quality 90 out.jng", convertJng);
    // On a shared machine the wall clock mostly measures waiting for a core; CPU time is
    // what each program itself costs.
    std::printf("code 104 vs convert BMP->PNG: %.2fx wall, %.2fx CPU (target >= 1x)\n",
                convertPng.seconds / code104.seconds, convertPng.cpuSeconds / code104.cpuSeconds);
    std::printf("code 104 vs our own PNG writer (code 5): %.2fx wall, %.2fx CPU (below 1: libmng costs more)\n",
                code5.seconds / code104.seconds, code5.cpuSeconds / code104.cpuSeconds);
    std::printf("code 105 vs convert BMP->JNG: %.2fx wall, %.2fx CPU\n", convertJng.seconds / code105.seconds,
                convertJng.cpuSeconds / code105.cpuSeconds);

    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return code104.failures || code105.failures ? 1 : 0;
}
