// The paths users compare us on, each beside the tool they know, in one run over a
// 12-megapixel mosaic cut from the photographs (an image no test reads): inflate and
// deflate beside zlib on the mosaic's PNG rows, PNG to BMP, BMP to PNG, PCX writing and
// GIF reading (through pixmorph-open, on the mosaic cut to 256 colours) beside
// ImageMagick's convert, the peak memory of code 104, code 100 beside cp, and the peak
// memory of plug-in conversions. Commands run in turn, ours then the peer's, and each
// figure is the median of the runs; ratios are peer / ours (above 1: we are faster)
// except where a line says otherwise.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "compress/Deflate.h"
#include "streams/MemStream.h"

using bench_support::ReadAll;
using bench_support::runMeasured;
using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

namespace {

// Nine runs: on a virtual machine a fresh huge page now and then costs the host's page
// fault on top of its zeroing (0.1 s for the mosaic's bitmap), often enough that three
// such runs in five would now and then set the median.
constexpr int Runs = 9;
constexpr int MosaicWidth = 4000, MosaicHeight = 3000;
constexpr double MiB = 1024.0 * 1024.0;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Four 2000 x 1500 pieces of the two photographs, two of them mirrored, as a BMP.
bool makeMosaic(const std::string& bmp) {
    const std::string wings = bench_support::testdata("photos/TwoWings.jpg");
    const std::string storm = bench_support::testdata("photos/Storm.jpg");
    const std::vector<std::string> argv = {
        "/usr/bin/convert", "(", "(", wings, "-gravity", "northwest", "-crop", "2000x1500+0+0", "+repage", ")",
        "(", storm, "-resize", "2250x1500", "-gravity", "center", "-crop", "2000x1500+0+0", "+repage", ")",
        "+append", ")", "(", "(", storm, "-resize", "2250x1500", "-flop", "-gravity", "east", "-crop",
        "2000x1500+0+0", "+repage", ")", "(", wings, "-gravity", "southeast", "-crop", "2000x1500+0+0", "+repage",
        "-flop", ")", "+append", ")", "-append", "-type", "TrueColor", "BMP3:" + bmp};
    return runMeasured(argv).exitCode == 0;
}

struct Paired {
    double ours = 0, peer = 0;  // medians of the CPU time
    double oursWall = 0, peerWall = 0;  // medians of the wall-clock time
    long oursPeakKb = 0, peerPeakKb = 0;
    int failures = 0;
};

// Runs our command and the peer's in turn; prepare() before each of ours, outside the
// measure (our conversions delete their input: it gives them a fresh copy); settle()
// before each command of both, outside the measure too.
Paired runPaired(const std::vector<std::string>& ours, const std::vector<std::string>& peer,
                 const std::function<void()>& prepare, const std::function<void()>& settle = [] {}) {
    std::vector<double> a, b, aWall, bWall;
    Paired p;
    for (int i = 0; i < Runs; ++i) {
        prepare();
        settle();
        const auto x = runMeasured(ours);
        settle();
        const auto y = runMeasured(peer);
        p.failures += (x.exitCode != 0) + (y.exitCode != 0);
        a.push_back(x.cpuSeconds);
        b.push_back(y.cpuSeconds);
        aWall.push_back(x.seconds);
        bWall.push_back(y.seconds);
        p.oursPeakKb = std::max(p.oursPeakKb, x.peakRssKb);
        p.peerPeakKb = std::max(p.peerPeakKb, y.peakRssKb);
    }
    p.ours = median(a);
    p.peer = median(b);
    p.oursWall = median(aWall);
    p.peerWall = median(bWall);
    return p;
}

// The zlib stream of a PNG's IDAT chunks without its two header bytes and its trailer.
Bytes rawDeflateOfPng(const Bytes& png) {
    Bytes z;
    for (size_t p = 8; p + 12 <= png.size();) {
        const size_t n = size_t{png[p]} << 24 | size_t{png[p + 1]} << 16 | size_t{png[p + 2]} << 8 | png[p + 3];
        if (p + 12 + n > png.size()) break;
        if (std::equal(png.begin() + static_cast<long>(p) + 4, png.begin() + static_cast<long>(p) + 8, "IDAT"))
            z.insert(z.end(), png.begin() + static_cast<long>(p) + 8, png.begin() + static_cast<long>(p + 8 + n));
        p += 12 + n;
    }
    return z.size() > 6 ? Bytes(z.begin() + 2, z.end() - 4) : Bytes{};
}

// This thread's CPU time: what else runs on the machine is not counted.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Medians of our run and the peer's, taken in turn so that both meet the same load.
template <class Ours, class Peer>
Paired pairedMedians(Ours&& ours, Peer&& peer) {
    std::vector<double> a, b;
    for (int i = 0; i < Runs; ++i) {
        double start = threadSeconds();
        ours();
        a.push_back(threadSeconds() - start);
        start = threadSeconds();
        peer();
        b.push_back(threadSeconds() - start);
    }
    Paired p;
    p.ours = median(a);
    p.peer = median(b);
    return p;
}

// Both read the compressed rows from memory and hand out 64 KiB at a time.
// The compressed rows sit in a memory stream filled once, outside the measure, as zlib's
// sit in their buffer.
void ourInflate(TMemStream& compressed, Bytes& out) {
    compressed.Seek(0);
    TDeflateStream d(&compressed, 0);
    for (size_t done = 0; done < out.size(); done += 65536)
        d.Read(out.data() + done, static_cast<int64_t>(std::min<size_t>(65536, out.size() - done)));
}

bool zlibInflate(const Bytes& compressed, Bytes& out) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(compressed.data());
    z.avail_in = static_cast<uInt>(compressed.size());
    int rc = Z_OK;
    for (size_t done = 0; done < out.size() && rc == Z_OK;) {
        const size_t n = std::min<size_t>(65536, out.size() - done);
        z.next_out = out.data() + done;
        z.avail_out = static_cast<uInt>(n);
        rc = inflate(&z, Z_NO_FLUSH);
        done += n - z.avail_out;
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}

size_t ourDeflate(const Bytes& data) {
    TMemStream m;
    TDeflateStream d(&m, 1);
    d.Write(data.data(), static_cast<int64_t>(data.size()));
    d.Finish();
    return static_cast<size_t>(m.GetSize());
}

size_t zlibDeflate6(const Bytes& data) {
    uLongf size = compressBound(static_cast<uLong>(data.size()));
    Bytes out(size);
    compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), 6);
    return size;
}

void printRow(const char* path, double ours, double peer, const char* unit, const std::string& note) {
    std::printf("%-44s %9.3f %s %9.3f %s %7.2fx  %s\n", path, ours, unit, peer, unit, peer / ours, note.c_str());
}

void compressionRows(const std::string& png) {
    const Bytes compressed = rawDeflateOfPng(ReadAll(png));
    Bytes rows(static_cast<size_t>(MosaicWidth) * 3 * MosaicHeight + MosaicHeight);
    Bytes check(rows.size());
    if (!zlibInflate(compressed, rows)) {
        std::printf("the mosaic's PNG rows could not be inflated by zlib\n");
        return;
    }
    TMemStream source;
    source.Write(compressed.data(), static_cast<int64_t>(compressed.size()));
    const Paired in = pairedMedians([&] { ourInflate(source, check); }, [&] { zlibInflate(compressed, rows); });
    printRow("inflate vs zlib (PNG rows, CPU)", in.ours * 1e3, in.peer * 1e3, "ms", check == rows ? "" : "WRONG OUTPUT");
    size_t oursSize = 0, zlibSize = 0;
    const Paired out = pairedMedians([&] { oursSize = ourDeflate(rows); }, [&] { zlibSize = zlibDeflate6(rows); });
    char note[64];
    std::snprintf(note, sizeof note, "size %.3f of zlib's", static_cast<double>(oursSize) / static_cast<double>(zlibSize));
    printRow("deflate vs zlib -6 (PNG rows, CPU)", out.ours * 1e3, out.peer * 1e3, "ms", note);
}

// Code 100 beside cp of the same file, by the clock (both write an output that exists
// already). The disk is flushed before each command: cp leaves its 36 MB to be written
// back after it ends, and code 100, which syncs its output before it replaces the old one,
// would otherwise wait for cp's write-back as well as its own. Then the peak memory of a
// conversion through the Netpbm plug-in each way, beside convert's.
void copyAndPluginRows(const fs::path& dir, const std::string& bmp, double imageMiB) {
    const std::string ppm = dir / "mosaic.ppm", input = dir / "plugin-input";
    if (runMeasured({"/usr/bin/convert", bmp, ppm}).exitCode != 0) return;
    const Paired copy = runPaired({PIXMORPH_BINARY, bmp, "100", dir / "copy.bmp"}, {"/bin/cp", bmp, dir / "cp.bmp"}, [] {},
                                  [] { ::sync(); });
    char note[96];
    std::snprintf(note, sizeof note, "code 100 takes %.2f times cp's time (target at most 1.2)%s",
                  copy.oursWall / copy.peerWall, copy.failures ? ", FAILED RUNS" : "");
    printRow("code 100 vs cp (wall)", copy.oursWall * 1e3, copy.peerWall * 1e3, "ms", note);
    struct Direction {
        const char* path;
        std::string source, ours, peerOut;
    };
    const Direction directions[] = {
        {"peak memory, BMP to PPM plug-in", bmp, input + ".bmp", dir / "peer.ppm"},
        {"peak memory, PPM to BMP plug-in", ppm, input + ".ppm", "BMP3:" + (dir / "peer.bmp").string()},
    };
    for (const Direction& d : directions) {
        const std::string out = d.source == bmp ? dir / "plugin.ppm" : dir / "plugin.bmp";
        const Paired run = runPaired({PIXMORPH_BINARY, d.ours, "5", out}, {"/usr/bin/convert", d.source, d.peerOut},
                                     [&] { fs::copy_file(d.source, d.ours, fs::copy_options::overwrite_existing); });
        std::printf("%-44s %9.1f MiB %9.1f MiB %7.2fx  of the image (target at most 1.6x); convert peaks at %.2fx%s\n",
                    d.path, run.oursPeakKb / 1024.0, imageMiB, run.oursPeakKb / 1024.0 / imageMiB,
                    run.peerPeakKb / 1024.0 / imageMiB, run.failures ? ", FAILED RUNS" : "");
    }
}

// pixmorph-open is built beside pixmorph.
std::string OpenBinary() { return (fs::path(PIXMORPH_BINARY).parent_path() / "pixmorph-open").string(); }

// PCX writing (code 5, BMP to PCX) and GIF reading (pixmorph-open, GIF to BMP) beside
// convert doing the same. The GIF is the mosaic cut to 256 colours by convert, made
// before anything is timed.
void pcxAndGifRows(const std::string& bmp, const fs::path& dir) {
    const std::string input = dir / "pcx-input.bmp", ourPcx = dir / "ours.pcx", peerPcx = dir / "peer.pcx";
    const Paired pcx = runPaired({PIXMORPH_BINARY, input, "5", ourPcx}, {"/usr/bin/convert", bmp, peerPcx},
                                 [&] { fs::copy_file(bmp, input, fs::copy_options::overwrite_existing); });
    printRow("PCX writing vs ImageMagick", pcx.ours, pcx.peer, "s ", pcx.failures ? "FAILED RUNS" : "");

    const std::string gif = dir / "mosaic.gif", ourBmp = dir / "from-gif.bmp", peerBmp = dir / "peer-from-gif.bmp";
    if (runMeasured({"/usr/bin/convert", bmp, "-colors", "256", gif}).exitCode != 0) {
        std::printf("the mosaic could not be cut to 256 colours by convert\n");
        return;
    }
    const Paired read = runPaired({OpenBinary(), gif, ourBmp}, {"/usr/bin/convert", gif, "BMP3:" + peerBmp}, [] {});
    printRow("GIF reading (pixmorph-open) vs ImageMagick", read.ours, read.peer, "s ", read.failures ? "FAILED RUNS" : "");
}

}  // namespace

// "peers_bench compression" times only the in-process rows (inflate and deflate).
int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!bench_support::haveTestdata()) return 0;
    const fs::path dir = fs::temp_directory_path() / ("pixmorph-peers-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string bmp = dir / "mosaic.bmp", png = dir / "mosaic.png";
    if (!makeMosaic(bmp) || runMeasured({"/usr/bin/convert", bmp, png}).exitCode != 0) {
        std::fprintf(stderr, "could not make the mosaic with convert\n");
        return 1;
    }
    const double imageMiB = MosaicWidth * 3.0 * MosaicHeight / MiB;
    std::printf("12-megapixel mosaic (%dx%d, %.1f MiB of pixels); medians of %d runs each, ratio = peer / ours\n",
                MosaicWidth, MosaicHeight, imageMiB, Runs);
    std::printf("%-44s %12s %12s %8s\n", "path", "ours", "peer", "ratio");
    compressionRows(png);
    if (argc > 1 && std::string(argv[1]) == "compression") {
        fs::remove_all(dir);
        return 0;
    }

    const std::string input = dir / "input", outBmp = dir / "out.bmp", outPng = dir / "out.png",
                      peerPng = dir / "peer.png", out104 = dir / "out104.png";
    const auto freshCopy = [](const std::string& source, const std::string& target) {
        return [source, target] { fs::copy_file(source, target, fs::copy_options::overwrite_existing); };
    };
    const Paired toBmp =
        runPaired({PIXMORPH_BINARY, input + ".png", "5", outBmp}, {"/usr/bin/convert", png, "BMP3:" + outBmp},
                  freshCopy(png, input + ".png"));
    printRow("PNG to BMP vs convert (CPU)", toBmp.ours, toBmp.peer, "s ", toBmp.failures ? "FAILED RUNS" : "");
    const Paired toPng =
        runPaired({PIXMORPH_BINARY, input + ".bmp", "5", outPng}, {"/usr/bin/convert", bmp, peerPng},
                  freshCopy(bmp, input + ".bmp"));
    char note[64];
    std::snprintf(note, sizeof note, "PNG %.3f of convert's size%s",
                  static_cast<double>(fs::file_size(outPng)) / static_cast<double>(fs::file_size(peerPng)),
                  toPng.failures ? ", FAILED RUNS" : "");
    printRow("BMP to PNG vs convert (CPU)", toPng.ours, toPng.peer, "s ", note);
    pcxAndGifRows(bmp, dir);
    const Paired code104 =
        runPaired({PIXMORPH_BINARY, input + ".bmp", "104", out104}, {"/usr/bin/convert", bmp, peerPng},
                  freshCopy(bmp, input + ".bmp"));
    std::printf("%-44s %9.1f MiB %9.1f MiB %7.2fx  of the image (target at most 1.6x); convert BMP to PNG peaks at %.2fx%s\n",
                "peak memory of code 104", code104.oursPeakKb / 1024.0, imageMiB, code104.oursPeakKb / 1024.0 / imageMiB,
                code104.peerPeakKb / 1024.0 / imageMiB, code104.failures ? ", FAILED RUNS" : "");
    copyAndPluginRows(dir, bmp, imageMiB);
    fs::remove_all(dir);
    return 0;
}
