// pixmorph --batch against the single calls it stands for: a manifest must leave the same
// files, byte for byte, as one "pixmorph input code output" call per line, and report on
// each line what that call reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <random>

#include <sys/stat.h>

#include "TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr const char* Stripes = PIXMORPH_SOURCE_DIR "/samples/stripes.bmp";
constexpr const char* Sunset = PIXMORPH_SOURCE_DIR "/samples/sunset.bmp";
constexpr const char* WarningPrefix = "Pixmorph: warning: ";
constexpr const char* ReportPrefix = "Pixmorph: ";

// A copy of pixmorph in a folder of its own, with test plug-ins beside it (name, mode).
class ProgramWithPlugins {
public:
    explicit ProgramWithPlugins(const std::vector<std::pair<std::string, unsigned>>& plugins) {
        fs::permissions(dir_.path(), static_cast<fs::perms>(0755));
        fs::copy_file(PIXMORPH_BINARY, program());
        for (const auto& [name, mode] : plugins) {
            fs::copy_file(std::string(PIXMORPH_TEST_PLUGINS_DIR) + "/" + name + ".so", dir_ / (name + ".so"));
            fs::permissions(dir_ / (name + ".so"), static_cast<fs::perms>(mode));
        }
    }
    std::string program() const { return dir_ / "pixmorph"; }

private:
    TempDir dir_;
};

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Runs the program in folder (relative manifest paths are relative to it).
RunResult runIn(const std::string& folder, const std::string& program, const std::vector<std::string>& args,
                const std::string& input = "") {
    std::string command = "cd " + quoted(folder) + " && exec " + quoted(program);
    for (const std::string& arg : args) command += " " + quoted(arg);
    if (!input.empty()) command += " < " + quoted(input);
    return runProgram({"/bin/sh", "-c", command});
}

// The parts of text between separators (none after a trailing one).
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

std::string resultLine(long number, const std::string& kind, const std::string& text) {
    return std::to_string(number) + "\t" + kind + "\t" + text + "\n";
}

// The result lines a single call's exit and reports stand for: a call that died has its
// reports as warnings before the crash.
std::string resultsOfSingleCall(long number, const RunResult& call, const std::string& output) {
    const bool crashed = call.exitCode >= 128;
    std::string lines, errors;
    for (const std::string& report : split(call.err, '\n')) {
        const bool warning = report.rfind(WarningPrefix, 0) == 0;
        if (!warning && report.rfind(ReportPrefix, 0) != 0) continue;
        const std::string message = report.substr(std::string(warning ? WarningPrefix : ReportPrefix).size());
        if (warning || crashed)
            lines += resultLine(number, "warning", message);
        else if (errors.find(message) == std::string::npos)  // both phases of a call may report one failure
            errors += (errors.empty() ? "" : " ") + message;
    }
    if (crashed) return lines + resultLine(number, "error", "crashed (signal " + std::to_string(call.exitCode - 128) + ")");
    return lines + (call.exitCode == 0 ? resultLine(number, "ok", output) : resultLine(number, "error", errors));
}

std::string readText(const std::string& path) {
    const std::vector<uint8_t> bytes = readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

std::map<std::string, std::vector<uint8_t>> contentsOf(const std::string& folder) {
    std::map<std::string, std::vector<uint8_t>> contents;
    for (const std::string& name : listDirectory(folder)) contents[name] = readFile(folder + "/" + name);
    return contents;
}

}  // namespace

TEST(Batch, EveryLineLeavesTheFilesAndReportOfItsSingleCall) {
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> files;  // work-folder name, copied from
        std::vector<std::string> manifest;
        int exitCode;
        std::vector<std::string> options = {};                      // before the manifest
        std::vector<std::pair<std::string, unsigned>> plugins = {};  // beside the program
        bool viaStandardInput = false;
        std::string manifestArgument = {};                           // instead of the manifest's path
        std::string err = {};                                        // part of standard error
    };
    const std::string malformed = "Malformed line: expected input, code and output separated by tabs.";
    const Case cases[] = {
        {"codec path, bitmap copy and GIF; the inputs of 5 and 102 go",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}, {"c.bmp", Stripes}, {"d.bmp", Sunset}, {"e.bmp", Stripes}},
         {"a.bmp\t5\ta.png", "b.bmp\t100\tb2.bmp", "c.bmp\t102\tc.gif", "d.bmp\t5\td.pcx", "e.bmp\t102\te.gif"},
         0, {"-j", "2"}},
        {"the byte codes, a copy refused over an existing file, more workers than lines",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}, {"c.bmp", Stripes}, {"d.bmp", Sunset}, {"taken.bmp", Sunset}},
         {"a.bmp\t107\ta.bin", "b.bmp\t109\tb.bin", "c.bmp\t1010\ttaken.bmp", "d.bmp\t108\tmoved.bmp"}, 1,
         {"-j", "8"}},
        {"a missing input fails only its line",
         {{"a.bmp", Stripes}, {"c.bmp", Sunset}},
         {"a.bmp\t5\ta.png", "missing.bmp\t5\tm.png", "c.bmp\t100\tc2.bmp"}, 1},
        {"a plug-in that aborts fails only its line, the lines around it convert",
         {{"a.bmp", Stripes}, {"x.abrt", Stripes}, {"c.bmp", Stripes}, {"y.abrt", Stripes}},
         {"a.bmp\t5\ta.png", "x.abrt\t5\tx.png", "c.bmp\t102\tc.gif", "y.abrt\t5\ty.bmp"}, 1, {"-j", "1"},
         {{"aborts", 0755}, {"scripted", 0775}}},
        {"a plug-in the loader distrusts warns on every line that loads plug-ins",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}, {"c.bmp", Stripes}},
         {"a.bmp\t5\ta.png", "b.bmp\t100\tb2.bmp", "c.bmp\t5\tc.png"}, 0, {"-j", "1"}, {{"scripted", 0775}}},
        {"skipped and malformed lines: numbers stay the manifest's, the rest still runs",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}},
         {"# comment", "", "a.bmp\t5", "a.bmp 5 a.png", "a.bmp\t\ta.png", "b.bmp\t5\tb.png\r"}, 2},
        {"a code no conversion has, and a code that is no number",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}},
         {"a.bmp\t1999\ta.png", "b.bmp\tfive\tb.png", "b.bmp\t5\tb.png"}, 2},
        {"the manifest from standard input, numbered from --first-line",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}},
         {"a.bmp\t102\ta.gif", "b.bmp\t5\tb.png"}, 0, {"--first-line", "1001"}, {}, true},
        {"a manifest that cannot be read runs nothing", {{"a.bmp", Stripes}}, {}, 2, {}, {}, false, "absent.txt",
         "Pixmorph: Cannot open file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramWithPlugins program(c.plugins);
        TempDir single, batch, manifestDir;
        for (const auto& [name, source] : c.files) {
            fs::copy_file(source, single / name);
            fs::copy_file(source, batch / name);
        }
        long number = 1;
        for (size_t i = 0; i + 1 < c.options.size(); ++i)
            if (c.options[i] == "--first-line") number = std::stol(c.options[i + 1]);
        std::string manifest, expected;
        for (std::string line : c.manifest) {
            manifest += line + "\n";
            const long lineNumber = number++;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::vector<std::string> fields = split(line, '\t');
            if (line.empty() || line[0] == '#') continue;
            if (fields.size() != 3 || std::find(fields.begin(), fields.end(), "") != fields.end()) {
                expected += resultLine(lineNumber, "error", malformed);
                continue;
            }
            expected += resultsOfSingleCall(lineNumber, runIn(single.path(), program.program(), fields), fields[2]);
        }
        // Messages name files by their full path, which is the batch's folder there.
        for (size_t at; (at = expected.find(single.path())) != std::string::npos;)
            expected.replace(at, single.path().size(), batch.path());
        writeFile(manifestDir / "manifest.txt", manifest);
        std::vector<std::string> args{"--batch"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const std::string manifestPath = c.viaStandardInput ? "-" : manifestDir / "manifest.txt";
        args.push_back(c.manifestArgument.empty() ? manifestPath : c.manifestArgument);
        const RunResult r = runIn(batch.path(), program.program(), args,
                                  c.viaStandardInput ? manifestDir / "manifest.txt" : "");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out, expected);
        if (c.err.empty())
            EXPECT_EQ(r.err, "");
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(contentsOf(batch.path()), contentsOf(single.path()));
    }
}

namespace {

// The files of a mixed manifest: a name in the work folder and its bytes.
using FileSet = std::vector<std::pair<std::string, std::vector<uint8_t>>>;

std::vector<uint8_t> cutShort(const std::string& path, double share) {
    std::vector<uint8_t> bytes = readFile(path);
    bytes.resize(static_cast<size_t>(bytes.size() * share));
    return bytes;
}

// Every format family the batch reads or writes, with what each line could leave behind for
// the next: ancillary PNG chunks, a cursor's hot spot, damage read past on a line that fails.
FileSet mixedFiles() {
    FileSet files = {
        {"gamma.png", readFile(testdata("pngsuite/tbrn2c08.png"))},  // gAMA and a transparent colour
        {"palette.png", readFile(testdata("pngsuite/tbwn3p08.png"))},
        {"hot.cur", readFile(testdata("ico/faint/test-data/24bipp-6x6.cur"))},
        {"icon.ico", readFile(testdata("ico/faint/test-data/24bipp.ico"))},
        {"cut.jpg", cutShort(testdata("jpeg/libjpeg-turbo/testorig.jpg"), 0.6)},
        {"cut2.jpg", cutShort(testdata("jpeg/libjpeg-turbo/testorig.jpg"), 0.7)},
        {"whole.jpg", readFile(testdata("jpeg/libjpeg-turbo/testorig.jpg"))},
        {"pic.emf", readFile(testdata("metafile/emf-libemf2svg/test-001.emf"))},
        {"pic.wmf", readFile(testdata("metafile/wmf-libwmf/ant.wmf"))},
        {"grey.pgm", std::vector<uint8_t>{'P', '5', '\n', '2', ' ', '1', '\n', '2', '5', '5', '\n', 7, 200}},
    };
    for (const std::string& code : {"5a", "5b", "5c", "5d", "100", "101", "102", "103", "104", "105", "106", "107",
                                    "108", "109", "1010"})
        files.emplace_back("b" + code + ".bmp", readFile(code.size() % 2 ? Stripes : Sunset));
    return files;
}

const std::vector<std::string> MixedLines = {
    "gamma.png\t5\tgamma2.png", "b5a.bmp\t5\tb5a.png",    // gAMA and tRNS must not reach b5a.png
    "hot.cur\t5\thot2.cur",     "b5b.bmp\t5\tb5b.cur",    // nor the hot spot b5b.cur
    "cut.jpg\t5\tcut.xyz",      "b5c.bmp\t5\tb5c.png",    // damage on a failing line, then a clean one
    "cut2.jpg\t5\tcut2.bmp",    "whole.jpg\t5\twhole.png", "palette.png\t5\tpalette.pcx",
    "pic.emf\t5\tpic.png",      "pic.wmf\t5\tpic.bmp",    "icon.ico\t5\ticon.bmp",
    "grey.pgm\t5\tgrey.png",    "b5d.bmp\t5\tb5d.ppm",
    "b100.bmp\t100\tc100.bmp",  "b101.bmp\t101\tc101.jpg", "b102.bmp\t102\tc102.gif", "b103.bmp\t103\tc103.ico",
    "b104.bmp\t104\tc104.png",  "b105.bmp\t105\tc105.jng", "b106.bmp\t106\tc106.wmf", "b107.bmp\t107\tc107.bin",
    "b108.bmp\t108\tc108.bmp",  "b109.bmp\t109\tc109.bin", "b1010.bmp\t1010\tc1010.bmp",
};

}  // namespace

TEST(Batch, MixedManifestsInAnyOrderLeaveWhatTheirSingleCallsLeave) {
    PIXMORPH_REQUIRE_TESTDATA();
    const ProgramWithPlugins program({});
    fs::copy_file(PIXMORPH_NETPBM_PLUGIN, fs::path(program.program()).parent_path() / "pixmorph-netpbm.so");
    std::vector<std::string> reversed(MixedLines.rbegin(), MixedLines.rend()), rotated = MixedLines;
    std::rotate(rotated.begin(), rotated.begin() + 5, rotated.end());
    for (const auto& order : {MixedLines, reversed, rotated}) {
        SCOPED_TRACE(order.front());
        TempDir single, batch;
        for (const auto& [name, bytes] : mixedFiles()) {
            writeFile(single / name, bytes);
            writeFile(batch / name, bytes);
        }
        std::string manifest, expected;
        long number = 1;
        for (const std::string& line : order) {
            manifest += line + "\n";
            const std::vector<std::string> fields = split(line, '\t');
            expected += resultsOfSingleCall(number++, runIn(single.path(), program.program(), fields), fields[2]);
        }
        for (size_t at; (at = expected.find(single.path())) != std::string::npos;)
            expected.replace(at, single.path().size(), batch.path());
        writeFile(batch / "manifest.txt", manifest);
        const RunResult r = runIn(batch.path(), program.program(), {"--batch", "-j", "1", "manifest.txt"});
        EXPECT_EQ(r.exitCode, 1) << r.err;  // the damaged JPEG written as .xyz fails
        EXPECT_EQ(r.out, expected);
        fs::remove(batch / "manifest.txt");
        EXPECT_EQ(contentsOf(batch.path()), contentsOf(single.path()));
    }
}

TEST(Batch, LinesThatCannotRunSafelyAreRefusedAndTheRunStillEndsWithAResultPerLine) {
    struct Case {
        std::string name;
        std::string script;    // bash in a folder holding a.bmp, b.bmp, c.bmp; $P the program
        int exitCode;
        std::string out;       // standard output exactly
        std::string after;     // bash test of the folder afterwards
    };
    const std::string malformed = "error\tMalformed line: expected input, code and output separated by tabs.\n";
    const Case cases[] = {
        {"three lines writing one file: all refused, no input lost",
         "printf 'a.bmp\\t5\\tsame.png\\nb.bmp\\t5\\t./same.png\\nc.bmp\\t100\\tsame.png\\n' > m; $P --batch m", 2,
         "1\terror\tOutput \"same.png\" is also written by line 2.\n"
         "2\terror\tOutput \"./same.png\" is also written by line 1.\n"
         "3\terror\tOutput \"same.png\" is also written by line 1.\n",
         "test -e a.bmp && test -e b.bmp && test -e c.bmp && ! test -e same.png"},
        {"one line's output is another's input",
         "printf 'a.bmp\\t5\\tx.png\\nx.png\\t5\\tx.pcx\\nb.bmp\\t5\\tb.png\\n' > m; $P --batch m", 2,
         "1\terror\tOutput \"x.png\" is read by line 2.\n2\terror\tInput \"x.png\" is written by line 1.\n3\tok\tb.png\n",
         "test -e a.bmp && ! test -e x.png && ! test -e b.bmp"},
        {"a NUL or a control character in a field is malformed, not a cut path",
         "printf 'a.bmp\\0x\\t5\\ta.png\\nb.bmp\\t5\\tb\\033.png\\nc.bmp\\t5\\tc.png\\n' > m; $P --batch m", 2,
         "1\t" + malformed + "2\t" + malformed + "3\tok\tc.png\n", "test -e a.bmp && test -e b.bmp && ! test -e a.png"},
        {"many lines may write a device", "printf 'a.bmp\\t100\\t/dev/null\\nb.bmp\\t100\\t/dev/null\\n' > m; $P --batch m",
         0, "1\tok\t/dev/null\n2\tok\t/dev/null\n", "test -e a.bmp && test -e b.bmp"},
        {"more workers than descriptors allow: fewer workers, every line converted",
         "for i in $(seq 40); do cp a.bmp in$i.bmp; printf 'in%d.bmp\\t5\\tout%d.png\\n' $i $i; done > m;"
         " (ulimit -n 24; $P --batch -j 200 m) | cut -f2 | sort | uniq -c | tr -s ' '", 0, " 40 ok\n",
         "test $(ls out*.png | wc -l) = 40 && ! test -e in1.bmp"},
        {"SIGTERM: the line in flight finishes, no other starts, exit 143",
         "mkfifo f; (printf abc; sleep 1) > f & printf 'f\\t107\\tout\\na.bmp\\t5\\ta.png\\n' > m;"
         " $P --batch -j 1 m & p=$!; sleep 0.5; kill -TERM $p; wait $p", 143, "1\tok\tout\n",
         "test \"$(cat out)\" = ABC && test -e a.bmp && ! test -e a.png"},
        {"a second SIGINT abandons the line in flight: no output, input kept, exit 130",
         "mkfifo f; (printf abc; exec sleep 30) > f & w=$!; printf 'f\\t107\\tout\\na.bmp\\t5\\ta.png\\n' > m;"
         " $P --batch -j 1 m & p=$!; sleep 0.5; kill -INT $p; sleep 0.3; kill -INT $p; wait $p; s=$?; kill $w; exit $s",
         130, "1\terror\tcrashed (signal 15)\n", "! test -e out && test -p f && test -e a.bmp && ! test -e a.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const char* name : {"a.bmp", "b.bmp", "c.bmp"}) fs::copy_file(Stripes, dir / name);
        const RunResult r = runProgram({"/bin/bash", "-c", "cd '" + dir.path() + "' && P='" PIXMORPH_BINARY "' && " + c.script});
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(runProgram({"/bin/bash", "-c", "cd '" + dir.path() + "' && " + c.after}).exitCode, 0) << r.out;
    }
}

namespace {

// Runs a shell script in folder.
RunResult shellIn(const std::string& folder, const std::string& script) {
    return runProgram({"/bin/sh", "-c", "cd " + quoted(folder) + " || exit 99; " + script});
}

// The width and height a BMP's information header gives (little-endian at 18 and 22).
std::pair<int64_t, int64_t> bitmapSize(const std::string& path) {
    const std::vector<uint8_t> bytes = readFile(path);
    const auto field = [&](size_t at) {
        return static_cast<int32_t>(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24);
    };
    return {field(18), std::abs(field(22))};
}

// Each JSON line as "line status width height bytes warnings input message", or "summary
// lines ok error skipped", as Python's own JSON parser reads them: the input as the hex of
// its UTF-8 ("-" for null), the message's first 20 characters; "invalid" for a line that
// is no JSON.
const char* const JsonDigest = R"(
import json, sys
def n(v): return '-' if v is None else str(v)
for text in sys.stdin.buffer.read().split(b'\n')[:-1]:
    try:
        o = json.loads(text)
    except Exception:
        print('invalid'); continue
    if o.get('summary') is True:
        print('summary', o['lines'], o['ok'], o['error'], o['skipped']); continue
    assert o['ms'] is None or (isinstance(o['ms'], int) and o['ms'] >= 0)
    assert isinstance(o['warnings'], list) and all(isinstance(w, str) for w in o['warnings'])
    print(o['line'], o['status'], n(o['width']), n(o['height']), n(o['bytes']), len(o['warnings']),
          '-' if o['input'] is None else o['input'].encode('utf-8').hex(), (o['message'] or '-')[:20])
)";

std::string jsonDigest(const std::string& results) {
    TempDir dir;
    writeFile(dir / "results", results);
    writeFile(dir / "digest.py", std::string(JsonDigest));
    const RunResult r = runProgram({"/bin/sh", "-c", "python3 " + quoted(dir / "digest.py") + " < " + quoted(dir / "results")});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

}  // namespace

TEST(Batch, JsonResultsAreOneParsedObjectPerLineAndASummary) {
    struct Expected {
        long line;
        std::string status;
        bool sized;          // width and height are the input bitmap's
        std::string input;   // hex of the UTF-8 a JSON parser reads, "-" for null
        std::string message; // its first 20 characters, "-" for null
    };
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, std::string>> files;  // work-folder name, copied from
        std::vector<std::string> manifest;
        std::vector<Expected> expected;
    };
    const Case cases[] = {
        {"codec path, bitmap copy, GIF and a byte code",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}, {"c.bmp", Sunset}, {"d.bmp", Stripes}},
         {"a.bmp\t5\ta.png", "b.bmp\t100\tb2.bmp", "c.bmp\t102\tc.gif", "d.bmp\t109\td.bin"},
         {{1, "ok", true, "612e626d70", "-"}, {2, "ok", true, "622e626d70", "-"}, {3, "ok", true, "632e626d70", "-"},
          {4, "ok", false, "642e626d70", "-"}}},
        {"errors: missing input, malformed line, a code no conversion has; comments keep their numbers",
         {{"a.bmp", Stripes}},
         {"# comment", "m.bmp\t5\tm.png", "just one field", "a.bmp\t1999\ta.png", "a.bmp\t5\ta.png"},
         {{2, "error", false, "6d2e626d70", "Error opening \"m.bmp"}, {3, "error", false, "-", "Malformed line: expe"},
          {4, "error", false, "612e626d70", "Unsupported conversi"}, {5, "ok", true, "612e626d70", "-"}}},
        {"paths that are not UTF-8, or hold quotes and backslashes",
         {{"\xff\"\\.bmp", Stripes}, {"\xc3\xa9.bmp", Sunset}},
         {"\xff\"\\.bmp\t5\t\xfe.png", "\xc3\xa9.bmp\t100\t\xc3\xa9-2.bmp", "\xfe.bmp\t5\tz.png"},
         // 0xff and 0xfe are no UTF-8: each reads as the character of its value, U+00FF, U+00FE.
         {{1, "ok", true, "c3bf225c2e626d70", "-"}, {2, "ok", true, "c3a92e626d70", "-"},
          {3, "error", false, "c3be2e626d70", "Error opening \"\u00fe.bmp"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir work, manifestDir;
        for (const auto& [name, source] : c.files) fs::copy_file(source, work / name);
        std::string manifest;
        for (const std::string& line : c.manifest) manifest += line + "\n";
        // Sizes from the bitmaps' headers, taken before the run deletes its inputs.
        std::vector<std::string> sizes;
        for (const Expected& e : c.expected) {
            const std::vector<std::string> fields = split(c.manifest[static_cast<size_t>(e.line - 1)], '\t');
            const auto [w, h] = e.sized ? bitmapSize(work / fields[0]) : std::pair<int64_t, int64_t>{-1, -1};
            sizes.push_back(e.sized ? std::to_string(w) + " " + std::to_string(h) : "- -");
        }
        writeFile(manifestDir / "m.txt", manifest);
        const RunResult r = runIn(work.path(), PIXMORPH_BINARY, {"--batch", "-j", "2", "--json", manifestDir / "m.txt"});
        const std::vector<std::string> digest = split(jsonDigest(r.out), '\n');
        ASSERT_EQ(digest.size(), c.expected.size() + 1) << r.out;
        int64_t ok = 0;
        for (size_t i = 0; i < c.expected.size(); ++i) {
            const Expected& e = c.expected[i];
            const std::vector<std::string> fields = split(c.manifest[static_cast<size_t>(e.line - 1)], '\t');
            const std::string bytes = e.status == "ok" ? std::to_string(fs::file_size(work / fields[2])) : "-";
            ok += e.status == "ok";
            EXPECT_EQ(digest[i], std::to_string(e.line) + " " + e.status + " " + sizes[i] + " " + bytes + " 0 " +
                                     e.input + " " + e.message);
        }
        EXPECT_EQ(digest.back(), "summary " + std::to_string(c.expected.size()) + " " + std::to_string(ok) + " " +
                                     std::to_string(c.expected.size() - ok) + " 0");
    }
}

namespace {

// A manifest of count lines over small bitmaps made in folder: codes 5, 102 and 100 in
// turn (the first two delete their input).
std::string tileManifest(const std::string& folder, size_t count) {
    std::string manifest;
    const char* const codes[][2] = {{"5", "png"}, {"102", "gif"}, {"100", "bmp"}};
    for (size_t i = 0; i < count; ++i) {
        const std::string name = "t" + std::to_string(i);
        fs::copy_file(i % 2 ? Stripes : Sunset, folder + "/" + name + ".bmp");
        manifest += name + ".bmp\t" + codes[i % 3][0] + "\t" + name + "-out." + codes[i % 3][1] + "\n";
    }
    return manifest;
}

// Result lines of several runs in line order (a line's own lines keep their order).
std::string mergedByLine(const std::vector<std::string>& results) {
    std::multimap<long, std::string> lines;
    for (const std::string& text : results)
        for (const std::string& line : split(text, '\n')) lines.emplace(std::stol(line), line + "\n");
    std::string merged;
    for (const auto& [number, line] : lines) merged += line;
    return merged;
}

}  // namespace

TEST(Batch, SlicesRunAsSeparateProcessesMergeIntoOneRun) {
    struct Case {
        std::string name;
        size_t lines;
        int slices;
        std::vector<std::string> extra = {};  // lines after the tiles
    };
    const Case cases[] = {
        {"four slices of 23 lines", 23, 4},
        {"more slices than lines: some slices are empty", 2, 5},
        {"one slice is the whole run", 7, 1},
        {"lines in conflict fall in different slices: every slice refuses them as one run does", 6, 3,
         {"t0.bmp\t100\tsame.bmp", "t3.bmp\t100\tsame.bmp", "malformed"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir whole, sliced, manifestDir;
        std::string manifest = tileManifest(whole.path(), c.lines);
        tileManifest(sliced.path(), c.lines);
        for (const std::string& line : c.extra) manifest += line + "\n";
        writeFile(manifestDir / "m.txt", manifest);
        const RunResult one = runIn(whole.path(), PIXMORPH_BINARY, {"--batch", "-j", "2", manifestDir / "m.txt"});
        // The slices run side by side, as a job array's tasks do.
        std::string script;
        for (int k = 1; k <= c.slices; ++k)
            script += "exec " + quoted(PIXMORPH_BINARY) + " --batch -j 1 --slice " + std::to_string(k) + "/" +
                      std::to_string(c.slices) + " " + quoted(manifestDir / "m.txt") + " > " +
                      quoted(manifestDir / ("r" + std::to_string(k))) + " & ";
        const RunResult all = shellIn(sliced.path(), script + "wait");
        ASSERT_EQ(all.exitCode, 0) << all.err;
        std::vector<std::string> results;
        size_t largest = 0, smallest = c.lines + c.extra.size();
        for (int k = 1; k <= c.slices; ++k) {
            results.push_back(readText(manifestDir / ("r" + std::to_string(k))));
            const size_t count = split(results.back(), '\n').size();
            largest = std::max(largest, count);
            smallest = std::min(smallest, count);
        }
        EXPECT_EQ(mergedByLine(results), one.out);
        EXPECT_LE(largest - smallest, 1u) << "the parts are near-equal";
        EXPECT_EQ(contentsOf(sliced.path()), contentsOf(whole.path()));
    }
}

TEST(Batch, ARunKilledAtAnyMomentAndResumedLeavesWhatOneRunLeaves) {
    struct Case {
        std::string name;
        std::vector<std::string> options;
        unsigned seed;
    };
    const Case cases[] = {
        {"two workers, tab-separated results", {"-j", "2"}, 1},
        {"two workers, JSON results", {"-j", "2", "--json"}, 2},
        {"one worker, JSON results", {"-j", "1", "--json"}, 3},
    };
    constexpr size_t Lines = 240;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir clean, resumed, manifestDir;
        const std::string manifest = tileManifest(clean.path(), Lines);
        tileManifest(resumed.path(), Lines);
        writeFile(manifestDir / "m.txt", manifest);
        std::vector<std::string> args{"--batch"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(manifestDir / "m.txt");
        ASSERT_EQ(runIn(clean.path(), PIXMORPH_BINARY, args).exitCode, 0);

        std::mt19937 random(c.seed);
        std::string resumeOptions, lastResults;
        int runs = 0;
        for (bool finished = false; !finished; ++runs) {
            ASSERT_LT(runs, 60) << "the run never finished";
            std::string command = quoted(PIXMORPH_BINARY);
            for (const std::string& arg : args) command += " " + quoted(arg);
            const std::string results = manifestDir / ("r" + std::to_string(runs));
            command = "exec " + command.substr(0, command.size() - quoted(manifestDir / "m.txt").size()) +
                      resumeOptions + quoted(manifestDir / "m.txt") + " > " + quoted(results);
            // Killed once its results reach a random number of lines (at once for 0), while
            // its workers are anywhere in their lines; the first run is killed halfway at most.
            const size_t lines = random() % (runs ? Lines + 1 : Lines / 2);
            const RunResult r = shellIn(
                resumed.path(), ": > " + quoted(results) + "; (" + command + ") & pid=$!; while [ $(wc -l < " + quoted(results) + ") -lt " +
                                    std::to_string(lines) + " ] && kill -0 $pid 2>/dev/null; do sleep 0.005; done; " +
                                    "kill -9 $pid 2>/dev/null; wait $pid; echo $?");
            finished = r.out == "0\n";
            resumeOptions += "--resume " + quoted(results) + " ";
            lastResults = readText(results);
        }
        EXPECT_GT(runs, 1) << "no run was killed";
        // The run that finished reports every line once, ok or skipped.
        std::map<long, int> reported;
        for (const std::string& line : split(lastResults, '\n')) {
            if (line.find("\"summary\"") != std::string::npos) continue;
            const bool json = line[0] == '{';
            const long number = std::stol(json ? line.substr(8) : line);
            const bool done = json ? line.find("\"status\":\"ok\"") != std::string::npos ||
                                         line.find("\"status\":\"skipped\"") != std::string::npos
                                   : line.find("\tok\t") != std::string::npos || line.find("\tskipped\t") != std::string::npos;
            EXPECT_TRUE(done) << line;
            ++reported[number];
        }
        EXPECT_EQ(reported.size(), Lines);
        for (const auto& [number, count] : reported) EXPECT_EQ(count, 1) << "line " << number;
        EXPECT_EQ(contentsOf(resumed.path()), contentsOf(clean.path()));
    }
}

TEST(Batch, ALineOverTheTimeoutFailsAloneAndLeavesNoOutput) {
    struct Case {
        std::string name;
        std::vector<std::string> manifest;
        std::vector<std::string> expected;  // result lines
        std::vector<std::string> left;      // the folder's files afterwards (the program's copy aside)
    };
    const Case cases[] = {
        {"a conversion that computes without end, between two that convert",
         {"a.bmp\t5\ta.png", "x.spin\t5\tx.png", "b.bmp\t100\tb2.bmp"},
         {"1\tok\ta.png", "2\terror\ttimed out after 1 s", "3\tok\tb2.bmp"},
         {"a.png", "b.bmp", "b2.bmp", "fifo", "x.spin"}},
        {"a copy waiting for a pipe nobody writes; the worker that replaces it converts the rest",
         {"fifo\t1010\tcopy.bin", "a.bmp\t102\ta.gif", "x.spin\t5\tx.png", "b.bmp\t5\tb.png"},
         {"1\terror\ttimed out after 1 s", "2\tok\ta.gif", "3\terror\ttimed out after 1 s", "4\tok\tb.png"},
         {"a.gif", "b.png", "fifo", "x.spin"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramWithPlugins program({{"spins", 0755}});
        TempDir work, manifestDir;
        fs::copy_file(Stripes, work / "a.bmp");
        fs::copy_file(Sunset, work / "b.bmp");
        fs::copy_file(Stripes, work / "x.spin");
        ASSERT_EQ(::mkfifo((work / "fifo").c_str(), 0600), 0);
        std::string manifest, expected;
        for (const std::string& line : c.manifest) manifest += line + "\n";
        for (const std::string& line : c.expected) expected += line + "\n";
        writeFile(manifestDir / "m.txt", manifest);
        const RunResult r =
            runIn(work.path(), program.program(), {"--batch", "-j", "1", "--timeout", "1", manifestDir / "m.txt"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_EQ(r.out, expected);
        std::vector<std::string> left = listDirectory(work.path());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, c.left);
    }
}

TEST(Batch, EachNamedLimitFailsWithItsVariableInTheSingleCallAndTheBatch) {
    PIXMORPH_REQUIRE_TESTDATA();
    const std::string icons = testdata("ico/image-rs/images/multiple_entries_with_different_bit_depth.ico");
    struct Case {
        std::string name;
        std::string variable, value;
        std::string input, code, output;
        std::string message;  // the report, empty for a conversion that completes
    };
    const Case cases[] = {
        {"pixels: 96 x 64 over 6143", "PIXMORPH_MAX_PIXELS", "6143", Sunset, "5", "out.png",
         "An image of 96 x 64 = 6144 pixels is over the limit of 6143 pixels per image that PIXMORPH_MAX_PIXELS sets; "
         "a larger PIXMORPH_MAX_PIXELS converts it."},
        {"pixels: 96 x 64 within 6144", "PIXMORPH_MAX_PIXELS", "6144", Sunset, "5", "out.png", ""},
        {"side: the bitmap copy's rows are never held, the limit holds all the same", "PIXMORPH_MAX_SIDE", "95",
         Sunset, "100", "out.bmp",
         "An image side of 96 pixels (96 x 64) is over the limit of 95 pixels per side that PIXMORPH_MAX_SIDE sets; "
         "a larger PIXMORPH_MAX_SIDE converts it."},
        {"side: GIF writing", "PIXMORPH_MAX_SIDE", "63", Sunset, "102", "out.gif",
         "An image side of 96 pixels (96 x 64) is over the limit of 63 pixels per side that PIXMORPH_MAX_SIDE sets; "
         "a larger PIXMORPH_MAX_SIDE converts it."},
        {"side: not a number leaves no limit", "PIXMORPH_MAX_SIDE", "small", Sunset, "5", "out.png", ""},
        {"frames: an icon file of 9 images", "PIXMORPH_MAX_FRAMES", "2", icons, "5", "out.bmp",
         "A file of more than 2 frames is over the limit of 2 frames per file that PIXMORPH_MAX_FRAMES sets; "
         "a larger PIXMORPH_MAX_FRAMES converts it."},
        {"seconds: a conversion that computes without end", "PIXMORPH_MAX_SECONDS", "1", Stripes, "5", "out.png",
         "A conversion of more than 1 CPU seconds is over the limit of 1 CPU seconds per conversion that "
         "PIXMORPH_MAX_SECONDS sets; a larger PIXMORPH_MAX_SECONDS converts it."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramWithPlugins program({{"spins", 0755}});
        const std::string input = c.variable == "PIXMORPH_MAX_SECONDS" ? "in.spin" : "in" + fs::path(c.input).extension().string();
        for (const bool batch : {false, true}) {
            SCOPED_TRACE(batch ? "batch" : "single call");
            TempDir work;
            fs::copy_file(c.input, work / input);
            writeFile(work / "m.txt", input + "\t" + c.code + "\t" + c.output + "\n");
            const std::string call = batch ? "--batch m.txt" : quoted(input) + " " + c.code + " " + c.output;
            const RunResult r =
                shellIn(work.path(), c.variable + "=" + quoted(c.value) + " exec " + quoted(program.program()) + " " + call);
            if (c.message.empty()) {
                EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
                EXPECT_TRUE(fileExists(work / c.output));
                continue;
            }
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_EQ(batch ? r.out : r.err, batch ? "1\terror\t" + c.message + "\n" : "Pixmorph: " + c.message + "\n");
            EXPECT_TRUE(fileExists(work / input)) << "the input stays";
            EXPECT_FALSE(fileExists(work / c.output)) << "no output is left";
        }
    }
}
