// Rendering the largest sample Windows metafile to a bitmap: pixmorph (code 5, WMF to
// BMP) beside ImageMagick's convert at the same 96 pixels per inch, in one run.
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

using bench_support::ProcessCost;
using bench_support::runMeasured;

namespace {

constexpr int Runs = 7;

using bench_support::Best;

template <class Prepare>
Best measure(const std::vector<std::string>& argv, Prepare prepare) {
    return bench_support::measureBest(argv, prepare, Runs);
}

}  // namespace

int main() {
    // The largest file of the sample folder.
    const std::filesystem::path folder = bench_support::testdata("metafile/wmf-libwmf");
    std::filesystem::path largest;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        if (entry.path().extension() == ".wmf" &&
            (largest.empty() || entry.file_size() > std::filesystem::file_size(largest)))
            largest = entry.path();
    if (largest.empty()) {
        std::fprintf(stderr, "no sample metafiles in %s\n", folder.c_str());
        return 1;
    }
    char pattern[] = "/tmp/pixmorph-wmf-bench-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::filesystem::path dir = pattern;
    const std::string input = (dir / "in.wmf").string();
    const std::string ours = (dir / "ours.bmp").string();
    const std::string theirs = (dir / "theirs.bmp").string();

    // The codec path deletes its input after a conversion, so each run gets a fresh copy.
    const Best pixmorph = measure({PIXMORPH_BINARY, input, "5", ours}, [&] {
        std::filesystem::remove(ours);
        std::filesystem::copy_file(largest, input, std::filesystem::copy_options::overwrite_existing);
    });
    const Best convert = measure({"/usr/bin/convert", "-density", "96", largest.string(), "BMP3:" + theirs},
                                 [&] { std::filesystem::remove(theirs); });

    std::printf("WMF -> BMP, %s (%ju bytes), best of %d runs\n", largest.filename().c_str(),
                static_cast<uintmax_t>(std::filesystem::file_size(largest)), Runs);
    std::printf("%-34s %10s %10s %14s\n", "", "wall s", "cpu s", "peak RSS MB");
    std::printf("%-34s %10.3f %10.3f %14.1f%s\n", "pixmorph in.wmf 5 out.bmp", pixmorph.seconds, pixmorph.cpuSeconds,
                pixmorph.peakRssKb / 1024.0, pixmorph.failures ? "  (FAILED runs)" : "");
    std::printf("%-34s %10.3f %10.3f %14.1f%s\n", "convert -density 96 in.wmf out.bmp", convert.seconds,
                convert.cpuSeconds, convert.peakRssKb / 1024.0,
                convert.failures ? "  (exit status 1: it finds no font for the text, the picture is written)" : "");
    std::printf("speed-up over convert: %.2fx wall clock, %.2fx CPU time (target >= 2x)\n",
                convert.seconds / pixmorph.seconds, convert.cpuSeconds / pixmorph.cpuSeconds);

    std::filesystem::remove_all(dir, error);
    return pixmorph.failures ? 1 : 0;
}
