// What one small conversion costs inside a batch: 1,000 tiles of 120 x 90 converted from
// BMP to PNG by `pixmorph --batch -j 2`, by a shell loop of single calls, and by the peers
// that convert many files from one start (`gm batch`, `mogrify`, `gm mogrify`) where they
// are installed. Wall clock on the temporary folder's disk; the contenders take turns, and
// each row keeps its median of the rounds. Ratio = the other's time / the batch's.
//
// The batch does more than the peers for each file: it syncs every output before it takes
// its name and syncs the folder before it deletes the input (the peers do neither, and
// keep their inputs).
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

using bench_support::runMeasured;
namespace fs = std::filesystem;

namespace {

constexpr int Tiles = 1000;
constexpr int Width = 120, Height = 90;
constexpr int Rounds = 5;

// A 24-bit bottom-up BMP of a gradient that differs from tile to tile.
std::vector<uint8_t> Tile(int n) {
    const int row = (Width * 3 + 3) / 4 * 4;
    const uint32_t pixels = static_cast<uint32_t>(row * Height), size = 54 + pixels;
    std::vector<uint8_t> bmp(size, 0);
    const auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) bmp[at + i] = static_cast<uint8_t>(value >> (8 * i));
    };
    bmp[0] = 'B';
    bmp[1] = 'M';
    put(2, size, 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, Width, 4);
    put(22, Height, 4);
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, pixels, 4);
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width * 3; ++x) bmp[54 + y * row + x] = static_cast<uint8_t>(x * 2 + y + n);
    return bmp;
}

std::string TileName(int n) { return "t" + std::to_string(n) + ".bmp"; }
std::string PngName(int n) { return "t" + std::to_string(n) + ".png"; }

// The folder's tiles written afresh (outputs of a previous round removed).
void FreshTiles(const fs::path& dir, const std::vector<std::vector<uint8_t>>& tiles) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (int n = 0; n < Tiles; ++n) {
        std::ofstream out(dir / TileName(n), std::ios::binary);
        out.write(reinterpret_cast<const char*>(tiles[static_cast<size_t>(n)].data()),
                  static_cast<std::streamsize>(tiles[static_cast<size_t>(n)].size()));
    }
    ::sync();  // the copies' write-back is not charged to whoever runs next
}

int PngsIn(const fs::path& dir) {
    int count = 0;
    for (int n = 0; n < Tiles; ++n) count += fs::exists(dir / PngName(n));
    return count;
}

bool Installed(const std::string& program) {
    return std::system(("command -v " + program + " > /dev/null 2>&1").c_str()) == 0;
}

struct Contender {
    std::string name;
    std::vector<std::string> argv;
    std::vector<double> seconds = {};
    int failures = 0;

    double Median() {
        std::sort(seconds.begin(), seconds.end());
        return seconds.empty() ? 0 : seconds[seconds.size() / 2];
    }
};

}  // namespace

int main() {
    const fs::path root = fs::temp_directory_path() / ("pixmorph-batch-bench-" + std::to_string(::getpid()));
    const fs::path work = root / "work";
    fs::create_directories(root);
    std::vector<std::vector<uint8_t>> tiles;
    for (int n = 0; n < Tiles; ++n) tiles.push_back(Tile(n));

    std::string manifest, gmScript, loop = "cd '" + work.string() + "' && for n in $(seq 0 " + std::to_string(Tiles - 1) +
                                                 "); do '" PIXMORPH_BINARY "' t$n.bmp 5 t$n.png || exit 1; done";
    std::vector<std::string> inputs;
    for (int n = 0; n < Tiles; ++n) {
        manifest += (work / TileName(n)).string() + "\t5\t" + (work / PngName(n)).string() + "\n";
        gmScript += "convert " + (work / TileName(n)).string() + " " + (work / PngName(n)).string() + "\n";
        inputs.push_back(work / TileName(n));
    }
    std::ofstream(root / "manifest.txt") << manifest;
    std::ofstream(root / "gm-script.txt") << gmScript;

    std::vector<Contender> contenders = {
        {"pixmorph --batch -j 2", {PIXMORPH_BINARY, "--batch", "-j", "2", root / "manifest.txt"}},
        {"shell loop of single calls", {"/bin/sh", "-c", loop}},
    };
    if (Installed("gm")) {
        contenders.push_back({"gm batch", {"gm", "batch", "-echo", "off", "-stop-on-error", "on", root / "gm-script.txt"}});
        std::vector<std::string> argv{"gm", "mogrify", "-format", "png"};
        argv.insert(argv.end(), inputs.begin(), inputs.end());
        contenders.push_back({"gm mogrify", argv});
    }
    if (Installed("mogrify")) {
        std::vector<std::string> argv{"mogrify", "-format", "png"};
        argv.insert(argv.end(), inputs.begin(), inputs.end());
        contenders.push_back({"mogrify (ImageMagick)", argv});
    }

    for (int round = 0; round < Rounds; ++round) {
        for (Contender& c : contenders) {
            FreshTiles(work, tiles);
            const auto cost = runMeasured(c.argv);
            if (cost.exitCode != 0 || PngsIn(work) != Tiles) ++c.failures;
            c.seconds.push_back(cost.seconds);
        }
    }

    std::printf("%d tiles of %d x %d, BMP to PNG; median of %d rounds, wall clock\n", Tiles, Width, Height, Rounds);
    const double batch = contenders[0].Median();
    int failures = 0;
    for (Contender& c : contenders) {
        const double median = c.Median();
        std::printf("  %-28s %7.3f s  %6.3f ms a file  ratio %5.2f%s\n", c.name.c_str(), median, median * 1e3 / Tiles,
                    median / batch, c.failures ? "  (FAILED)" : "");
        failures += c.failures;
    }
    fs::remove_all(root);
    return failures ? 1 : 0;
}
