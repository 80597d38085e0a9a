// pixmorph --batch against the single calls it stands for: a manifest must leave the same
// files, byte for byte, as one "pixmorph input code output" call per line, and report on
// each line what that call reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

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
