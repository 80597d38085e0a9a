// What one small conversion costs inside a batch: 1,000 tiles of 120 x 90 converted from
// BMP to PNG by `pixmorph --batch -j 2`, by a shell loop of single calls, and by the peers
// that convert many files from one start (`gm batch`, `mogrify`, `gm mogrify`) where they
// are installed. Wall clock on the temporary folder's disk, and the CPU time (user and
// system) of the contender and its children; the contenders take turns, and each row keeps
// its medians of the rounds. Ratio = the other's time / the batch's.
//
// Every run gets a folder of its own, and nothing is deleted until the end: on a file
// system that will not reuse a recently deleted inode at once (ext4 without a journal), a
// file created after many deletions costs the kernel a scan over them, and one run's clean-up
// would be charged to the next.
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

// The tiles written into a new folder.
void FreshTiles(const fs::path& dir, const std::vector<std::vector<uint8_t>>& tiles) {
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

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// A contender's command for the tiles in a folder.
using CommandFor = std::vector<std::string> (*)(const fs::path& dir, const fs::path& root);

struct Contender {
    std::string name;
    CommandFor command;
    std::vector<double> seconds = {};
    std::vector<double> cpuSeconds = {};
    int failures = 0;
};

std::vector<std::string> Inputs(const fs::path& dir) {
    std::vector<std::string> inputs;
    for (int n = 0; n < Tiles; ++n) inputs.push_back(dir / TileName(n));
    return inputs;
}

// The manifest (or gm script) for the folder, written beside it.
std::string Listing(const fs::path& dir, const fs::path& root, bool gm) {
    std::string text;
    for (int n = 0; n < Tiles; ++n) {
        const std::string in = dir / TileName(n), out = dir / PngName(n);
        text += gm ? "convert " + in + " " + out + "\n" : in + "\t5\t" + out + "\n";
    }
    const fs::path path = root / (dir.filename().string() + (gm ? ".gm" : ".txt"));
    std::ofstream(path) << text;
    return path;
}

std::vector<std::string> Batch(const fs::path& dir, const fs::path& root) {
    return {PIXMORPH_BINARY, "--batch", "-j", "2", Listing(dir, root, false)};
}
std::vector<std::string> Loop(const fs::path& dir, const fs::path&) {
    return {"/bin/sh", "-c",
            "cd '" + dir.string() + "' && for n in $(seq 0 " + std::to_string(Tiles - 1) + "); do '" PIXMORPH_BINARY
            "' t$n.bmp 5 t$n.png || exit 1; done"};
}
std::vector<std::string> GmBatch(const fs::path& dir, const fs::path& root) {
    return {"gm", "batch", "-echo", "off", "-stop-on-error", "on", Listing(dir, root, true)};
}
std::vector<std::string> GmMogrify(const fs::path& dir, const fs::path&) {
    std::vector<std::string> argv{"gm", "mogrify", "-format", "png"};
    for (const std::string& input : Inputs(dir)) argv.push_back(input);
    return argv;
}
std::vector<std::string> Mogrify(const fs::path& dir, const fs::path&) {
    std::vector<std::string> argv{"mogrify", "-format", "png"};
    for (const std::string& input : Inputs(dir)) argv.push_back(input);
    return argv;
}

}  // namespace

int main() {
    const fs::path root = fs::temp_directory_path() / ("pixmorph-batch-bench-" + std::to_string(::getpid()));
    fs::create_directories(root);
    std::vector<std::vector<uint8_t>> tiles;
    for (int n = 0; n < Tiles; ++n) tiles.push_back(Tile(n));

    std::vector<Contender> contenders = {{"pixmorph --batch -j 2", Batch}, {"shell loop of single calls", Loop}};
    if (Installed("gm")) {
        contenders.push_back({"gm batch", GmBatch});
        contenders.push_back({"gm mogrify", GmMogrify});
    }
    if (Installed("mogrify")) contenders.push_back({"mogrify (ImageMagick)", Mogrify});

    for (int round = 0; round < Rounds; ++round) {
        for (size_t i = 0; i < contenders.size(); ++i) {
            Contender& c = contenders[i];
            const fs::path dir = root / ("r" + std::to_string(round) + "-" + std::to_string(i));
            FreshTiles(dir, tiles);
            const auto cost = runMeasured(c.command(dir, root));
            if (cost.exitCode != 0 || PngsIn(dir) != Tiles) ++c.failures;
            c.seconds.push_back(cost.seconds);
            c.cpuSeconds.push_back(cost.cpuSeconds);
        }
    }

    std::printf("%d tiles of %d x %d, BMP to PNG; medians of %d rounds\n", Tiles, Width, Height, Rounds);
    std::printf("  %-28s %9s %8s %7s %9s %7s\n", "", "wall", "a file", "ratio", "CPU", "ratio");
    const double batch = Median(contenders[0].seconds), batchCpu = Median(contenders[0].cpuSeconds);
    int failures = 0;
    for (Contender& c : contenders) {
        const double wall = Median(c.seconds), cpu = Median(c.cpuSeconds);
        std::printf("  %-28s %7.3f s %5.2f ms %6.2fx %7.3f s %6.2fx%s\n", c.name.c_str(), wall, wall * 1e3 / Tiles,
                    wall / batch, cpu, cpu / batchCpu, c.failures ? "  (FAILED)" : "");
        failures += c.failures;
    }
    fs::remove_all(root);
    return failures ? 1 : 0;
}
