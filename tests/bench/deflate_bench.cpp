// Our deflate and inflate beside zlib's, in one run over the same inputs: PNG-filtered rows
// of the photographs (what a PNG encoder compresses), the photographs as BMP files, a text
// and 1 MB of random bytes. Prints speeds, sizes and ratios.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "compress/Deflate.h"
#include "streams/MemStream.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes runCommand(const std::string& command) {
    Bytes out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.insert(out.end(), buf, buf + n);
    ::pclose(p);
    return out;
}

int paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Adaptive PNG filtering of RGB rows: per row the filter with the least sum of absolute
// (signed) residuals, as libpng's default heuristic does.
Bytes filterRows(const Bytes& rgb, size_t width, size_t height) {
    const size_t stride = width * 3, bpp = 3;
    Bytes out;
    out.reserve((stride + 1) * height);
    Bytes prior(stride, 0), candidate(stride), best(stride);
    for (size_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb.data() + y * stride;
        long bestSum = -1;
        int bestType = 0;
        for (int type = 0; type < 5; ++type) {
            long sum = 0;
            for (size_t x = 0; x < stride; ++x) {
                const int a = x >= bpp ? row[x - bpp] : 0, b = prior[x], c = x >= bpp ? prior[x - bpp] : 0;
                int predicted = 0;
                switch (type) {
                    case 1: predicted = a; break;
                    case 2: predicted = b; break;
                    case 3: predicted = (a + b) / 2; break;
                    case 4: predicted = paeth(a, b, c); break;
                }
                candidate[x] = static_cast<uint8_t>(row[x] - predicted);
                sum += std::abs(static_cast<int8_t>(candidate[x]));
            }
            if (bestSum < 0 || sum < bestSum) {
                bestSum = sum;
                bestType = type;
                best = candidate;
            }
        }
        out.push_back(static_cast<uint8_t>(bestType));
        out.insert(out.end(), best.begin(), best.end());
        std::memcpy(prior.data(), row, stride);
    }
    return out;
}

struct Input {
    std::string name;
    Bytes data;
};

std::vector<Input> loadInputs() {
    std::vector<Input> inputs;
    Bytes rows, bmps;
    for (const char* photo : {"TwoWings.jpg", "Storm.jpg", "Ubuntu-Mate-Cold-no-logo.png"}) {
        if (!bench_support::haveTestdata()) break;
        const std::string path = bench_support::testdata(std::string("photos/") + photo);
        const Bytes size = runCommand("convert '" + path + "' -format '%w %h' info:");
        size_t w = 0, h = 0;
        if (std::sscanf(std::string(size.begin(), size.end()).c_str(), "%zu %zu", &w, &h) != 2) continue;
        const Bytes rgb = runCommand("convert '" + path + "' -depth 8 rgb:-");
        if (rgb.size() != w * h * 3) continue;
        const Bytes filtered = filterRows(rgb, w, h);
        rows.insert(rows.end(), filtered.begin(), filtered.end());
        const Bytes bmp = runCommand("convert '" + path + "' -type TrueColor bmp3:-");
        bmps.insert(bmps.end(), bmp.begin(), bmp.end());
    }
    if (!rows.empty()) inputs.push_back({"filtered photo rows", rows});
    if (!bmps.empty()) inputs.push_back({"photos as BMP", bmps});
    // English text: the licence texts every Debian system carries.
    Bytes text = runCommand("cat /usr/share/common-licenses/*");
    if (!text.empty()) inputs.push_back({"text (licences)", text});
    Bytes random(1 << 20);
    std::mt19937 rng(1);
    for (auto& b : random) b = static_cast<uint8_t>(rng());
    inputs.push_back({"random 1 MiB", random});
    return inputs;
}

// Best of several runs, in seconds.
// The best of at least `runs` runs, repeated until a quarter of a second has passed:
// a run of a few microseconds is otherwise measured mostly by the clock and the
// first touch of fresh buffers.
double timeIt(const std::function<void()>& f, int runs) {
    constexpr double MinimumTotal = 0.25;
    double best = 1e9, total = 0;
    for (int i = 0; i < runs || total < MinimumTotal; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, t);
        total += t;
    }
    return best;
}

Bytes ourDeflate(const Bytes& data) {
    TMemStream m;
    TDeflateStream d(&m, 1);
    d.Write(data.data(), static_cast<int64_t>(data.size()));
    d.Finish();
    Bytes out(static_cast<size_t>(m.GetSize()));
    m.Seek(0);
    m.Read(out.data(), static_cast<int64_t>(out.size()));
    return out;
}

Bytes zlibDeflate(const Bytes& data, int level) {
    z_stream z{};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Both decompressors hand out 64 KiB at a time, as a reader consuming rows would; both read
// the compressed data from memory prepared beforehand.
void ourInflate(TMemStream& compressed, Bytes& out) {
    compressed.Seek(0);
    TDeflateStream d(&compressed, 0);
    for (size_t done = 0; done < out.size();) {
        const size_t n = std::min<size_t>(65536, out.size() - done);
        d.Read(out.data() + done, static_cast<int64_t>(n));
        done += n;
    }
}

std::unique_ptr<TMemStream> memoryOf(const Bytes& bytes) {
    auto m = std::make_unique<TMemStream>();
    m->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
    return m;
}

// zlib fed the way a stream reader feeds it: 64 KiB of input at a time from the same
// memory stream our decompressor reads.
void zlibInflate(TMemStream& compressed, Bytes& out) {
    compressed.Seek(0);
    compressed.StrictRead = false;
    z_stream z{};
    inflateInit2(&z, -15);
    static uint8_t input[65536];
    for (size_t done = 0; done < out.size();) {
        if (z.avail_in == 0) {
            z.next_in = input;
            z.avail_in = static_cast<uInt>(compressed.Read(input, sizeof input));
        }
        const size_t n = std::min<size_t>(65536, out.size() - done);
        z.next_out = out.data() + done;
        z.avail_out = static_cast<uInt>(n);
        const int rc = inflate(&z, Z_NO_FLUSH);
        done += n - z.avail_out;
        if (rc != Z_OK && rc != Z_BUF_ERROR) break;
    }
    inflateEnd(&z);
    compressed.StrictRead = true;
}

}  // namespace

int main() {
    const auto inputs = loadInputs();
    const int runs = 3;
    std::printf("%-20s %10s | %-9s %11s %9s | %-9s %11s %9s | speed vs zlib-1/6/9\n", "input", "bytes", "ours MB/s",
                "size", "", "zlib-6", "size", "");
    for (const auto& in : inputs) {
        const double mb = static_cast<double>(in.data.size()) / 1e6;
        Bytes ours;
        const double tOurs = timeIt([&] { ours = ourDeflate(in.data); }, runs);
        Bytes z[10];
        double tz[10] = {};
        // Level 9 is slow enough that one run is a fair measure.
        for (int level : {1, 6, 9})
            tz[level] = timeIt([&] { z[level] = zlibDeflate(in.data, level); }, level == 9 ? 1 : runs);
        std::printf("%s (%zu bytes)\n", in.name.c_str(), in.data.size());
        std::printf("  deflate  ours     %8.1f MB/s  %10zu bytes (%.3f of input)\n", mb / tOurs, ours.size(),
                    static_cast<double>(ours.size()) / static_cast<double>(in.data.size()));
        for (int level : {1, 6, 9})
            std::printf("  deflate  zlib -%d  %8.1f MB/s  %10zu bytes   ours is %.2fx as fast, size %.3f of zlib's\n",
                        level, mb / tz[level], z[level].size(), tz[level] / tOurs,
                        static_cast<double>(ours.size()) / static_cast<double>(z[level].size()));
        Bytes out(in.data.size());
        auto zMem = memoryOf(z[6]), oursMem = memoryOf(ours);
        const double tOurInflateZ = timeIt([&] { ourInflate(*zMem, out); }, runs);
        const bool okZ = out == in.data;
        const double tZlibInflateZ = timeIt([&] { zlibInflate(*zMem, out); }, runs);
        const double tOurInflateO = timeIt([&] { ourInflate(*oursMem, out); }, runs);
        const bool okO = out == in.data;
        const double tZlibInflateO = timeIt([&] { zlibInflate(*oursMem, out); }, runs);
        std::printf("  inflate zlib-6 data: ours %8.1f MB/s, zlib %8.1f MB/s: ours is %.2fx as fast%s\n",
                    mb / tOurInflateZ, mb / tZlibInflateZ, tZlibInflateZ / tOurInflateZ, okZ ? "" : "  WRONG OUTPUT");
        std::printf("  inflate our data:    ours %8.1f MB/s, zlib %8.1f MB/s: ours is %.2fx as fast%s\n",
                    mb / tOurInflateO, mb / tZlibInflateO, tZlibInflateO / tOurInflateO, okO ? "" : "  WRONG OUTPUT");
    }
    // Short inputs: the fixed costs of a stream (its tables are set up lazily).
    const Bytes small(inputs.back().data.begin(), inputs.back().data.begin() + 300);
    Bytes smallText(300);
    for (size_t i = 0; i < smallText.size(); ++i) smallText[i] = static_cast<uint8_t>("abcdefgh "[i * 7 % 9]);
    for (const Bytes* in : {&small, static_cast<const Bytes*>(&smallText)}) {
        const int reps = 2000;
        const double tOurs = timeIt([&] { for (int i = 0; i < reps; ++i) ourDeflate(*in); }, 3) / reps;
        const double tZlib = timeIt([&] { for (int i = 0; i < reps; ++i) zlibDeflate(*in, 6); }, 3) / reps;
        std::printf("300-byte %s input: ours %.1f us, zlib -6 %.1f us per stream (ours is %.2fx as fast)\n",
                    in == &small ? "random" : "text", tOurs * 1e6, tZlib * 1e6, tZlib / tOurs);
    }
    return 0;
}
