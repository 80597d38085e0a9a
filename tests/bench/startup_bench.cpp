// Start-up cost of one conversion call against a trivial program, and the byte shift
// of a large file, the two things the parent application pays for on every call.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "bench/BenchSupport.h"

using bench_support::runMeasured;

namespace {

constexpr int Rounds = 200;

double meanSeconds(const std::vector<std::string>& argv) {
    double total = 0;
    for (int i = 0; i < Rounds; ++i) total += runMeasured(argv).seconds;
    return total / Rounds;
}

}  // namespace

int main() {
    const auto dir = std::filesystem::temp_directory_path() / ("pixmorph-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string small = dir / "small.txt";
    std::ofstream(small) << "a small file for code 107\n";

    const double trivial = meanSeconds({"/bin/true"});
    const double bare = meanSeconds({PIXMORPH_BINARY, "--version"});
    const double ours = meanSeconds({PIXMORPH_BINARY, small, "109", dir / "out.txt"});
    std::printf("/bin/true: %.3f ms; pixmorph --version: %.3f ms (ratio %.2f); "
                "code 109 on a 26-byte file: %.3f ms (ratio %.2f)\n",
                trivial * 1e3, bare * 1e3, bare / trivial, ours * 1e3, ours / trivial);

    const std::string big = dir / "big.bin";
    {
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 131);
        std::ofstream out(big, std::ios::binary);
        for (int i = 0; i < 100; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    const auto shift = runMeasured({PIXMORPH_BINARY, big, "109", dir / "big.out"});
    const auto copy = runMeasured({"cp", big, dir / "big.cp"});
    std::printf("code 109 on 100 MiB: %.3f s, peak %ld KiB; cp: %.3f s; ratio %.2f\n", shift.seconds,
                shift.peakRssKb, copy.seconds, shift.seconds / copy.seconds);

    std::filesystem::remove_all(dir);
    return shift.exitCode == 0 ? 0 : 1;
}
