// pixmorph --batch against the single calls it stands for: a manifest must leave the same
// files, byte for byte, as one "pixmorph input code output" call per line, and report on
// each line what that call reported.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <regex>
#include <sstream>

#include "TestSupport.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

constexpr const char* Stripes = PIXMORPH_SOURCE_DIR "/samples/stripes.bmp";
constexpr const char* Sunset = PIXMORPH_SOURCE_DIR "/samples/sunset.bmp";
constexpr const char* WarningPrefix = "Pixmorph: warning: ";
constexpr const char* ReportPrefix = "Pixmorph: ";

// A copy of pixmorph in a folder of its own, with plug-ins beside it (a test plug-in's name
// or a full path, mode).
class ProgramWithPlugins {
public:
    explicit ProgramWithPlugins(const std::vector<std::pair<std::string, unsigned>>& plugins) {
        fs::permissions(dir_.path(), static_cast<fs::perms>(0755));
        fs::copy_file(PIXMORPH_BINARY, program());
        for (const auto& [name, mode] : plugins) {
            const fs::path from = name[0] == '/' ? name : std::string(PIXMORPH_TEST_PLUGINS_DIR) + "/" + name + ".so";
            fs::copy_file(from, dir_ / from.filename());
            fs::permissions(dir_ / from.filename(), static_cast<fs::perms>(mode));
        }
    }
    std::string program() const { return dir_ / "pixmorph"; }

private:
    TempDir dir_;
};

std::string quoted(const std::string& text) { return "'" + text + "'"; }

RunResult shellIn(const std::string& folder, const std::string& script) {
    return runProgram({"/bin/bash", "-c", "cd " + quoted(folder) + " || exit 99; " + script});
}

// Runs the program in folder (relative manifest paths are relative to it).
RunResult runIn(const std::string& folder, const std::string& program, const std::vector<std::string>& args,
                const std::string& input = "") {
    std::string command = "exec " + quoted(program);
    for (const std::string& arg : args) command += " " + quoted(arg);
    return shellIn(folder, input.empty() ? command : command + " < " + quoted(input));
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
        std::vector<std::pair<std::string, std::vector<uint8_t>>> files;  // work-folder name, bytes
        std::vector<std::string> manifest;
        int exitCode;
        std::vector<std::string> options = {};                      // before the manifest
        std::vector<std::pair<std::string, unsigned>> plugins = {};  // beside the program
        bool viaStandardInput = false;
        std::string manifestArgument = {};                           // instead of the manifest's path
        std::string err = {};                                        // part of standard error
    };
    const std::string malformed = "Malformed line: expected input, code and output separated by tabs.";
    const std::vector<uint8_t> stripes = readFile(Stripes), sunset = readFile(Sunset);
    std::vector<Case> cases = {
        {"codec path, bitmap copy and GIF; the inputs of 5 and 102 go",
         {{"a.bmp", stripes}, {"b.bmp", sunset}, {"c.bmp", stripes}, {"d.bmp", sunset}, {"e.bmp", stripes}},
         {"a.bmp\t5\ta.png", "b.bmp\t100\tb2.bmp", "c.bmp\t102\tc.gif", "d.bmp\t5\td.pcx", "e.bmp\t102\te.gif"},
         0, {"-j", "2"}},
        {"the byte codes, a copy refused over an existing file, more workers than lines",
         {{"a.bmp", stripes}, {"b.bmp", sunset}, {"c.bmp", stripes}, {"d.bmp", sunset}, {"taken.bmp", sunset}},
         {"a.bmp\t107\ta.bin", "b.bmp\t109\tb.bin", "c.bmp\t1010\ttaken.bmp", "d.bmp\t108\tmoved.bmp"}, 1,
         {"-j", "8"}},
        {"a missing input fails only its line",
         {{"a.bmp", stripes}, {"c.bmp", sunset}},
         {"a.bmp\t5\ta.png", "missing.bmp\t5\tm.png", "c.bmp\t100\tc2.bmp"}, 1},
        {"a plug-in that aborts fails only its line, the lines around it convert",
         {{"a.bmp", stripes}, {"x.abrt", stripes}, {"c.bmp", stripes}, {"y.abrt", stripes}},
         {"a.bmp\t5\ta.png", "x.abrt\t5\tx.png", "c.bmp\t102\tc.gif", "y.abrt\t5\ty.bmp"}, 1, {"-j", "1"},
         {{"aborts", 0755}, {"scripted", 0775}}},
        {"a plug-in the loader distrusts warns on every line that loads plug-ins",
         {{"a.bmp", stripes}, {"b.bmp", sunset}, {"c.bmp", stripes}},
         {"a.bmp\t5\ta.png", "b.bmp\t100\tb2.bmp", "c.bmp\t5\tc.png"}, 0, {"-j", "1"}, {{"scripted", 0775}}},
        {"skipped and malformed lines: numbers stay the manifest's, the rest still runs",
         {{"a.bmp", stripes}, {"b.bmp", sunset}},
         {"# comment", "", "a.bmp\t5", "a.bmp 5 a.png", "a.bmp\t\ta.png", "b.bmp\t5\tb.png\r"}, 2},
        {"a code no conversion has, and a code that is no number",
         {{"a.bmp", stripes}, {"b.bmp", sunset}},
         {"a.bmp\t1999\ta.png", "b.bmp\tfive\tb.png", "b.bmp\t5\tb.png"}, 2},
        {"the manifest from standard input, numbered from --first-line",
         {{"a.bmp", stripes}, {"b.bmp", sunset}},
         {"a.bmp\t102\ta.gif", "b.bmp\t5\tb.png"}, 0, {"--first-line", "1001"}, {}, true},
        {"a manifest that cannot be read runs nothing", {{"a.bmp", stripes}}, {}, 2, {}, {}, false, "absent.txt",
         "Pixmorph: Cannot open file"},
    };
    if (haveTestdata() || testdataRequired()) {
        // Every format family in one manifest, with what a line could leave behind for the next:
        // ancillary PNG chunks, a cursor's hot spot, damage read past on a line that fails.
        const auto data = [](const char* path) { return readFile(testdata(path)); };
        const std::vector<uint8_t> jpeg = data("jpeg/libjpeg-turbo/testorig.jpg");
        Case mixed{"a mixed manifest in three orders", {
            {"gamma.png", data("pngsuite/tbrn2c08.png")}, {"palette.png", data("pngsuite/tbwn3p08.png")},  // gAMA, tRNS
            {"hot.cur", data("ico/faint/test-data/24bipp-6x6.cur")}, {"icon.ico", data("ico/faint/test-data/24bipp.ico")},
            {"cut.jpg", {jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 6 / 10)}},
            {"cut2.jpg", {jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 7 / 10)}}, {"whole.jpg", jpeg},
            {"pic.emf", data("metafile/emf-libemf2svg/test-001.emf")}, {"pic.wmf", data("metafile/wmf-libwmf/ant.wmf")},
            {"grey.pgm", {'P', '5', '\n', '2', ' ', '1', '\n', '2', '5', '5', '\n', 7, 200}}}, {
            "gamma.png\t5\tgamma2.png", "b5a.bmp\t5\tb5a.png",    // gAMA and tRNS must not reach b5a.png
            "hot.cur\t5\thot2.cur",     "b5b.bmp\t5\tb5b.cur",    // nor the hot spot b5b.cur
            "cut.jpg\t5\tcut.xyz",      "b5c.bmp\t5\tb5c.png",    // damage on a failing line, then a clean one
            "cut2.jpg\t5\tcut2.bmp",    "whole.jpg\t5\twhole.png", "palette.png\t5\tpalette.pcx",
            "pic.emf\t5\tpic.png",      "pic.wmf\t5\tpic.bmp",    "icon.ico\t5\ticon.bmp",
            "grey.pgm\t5\tgrey.png",    "b5d.bmp\t5\tb5d.ppm",
            "b100.bmp\t100\tc100.bmp",  "b101.bmp\t101\tc101.jpg", "b102.bmp\t102\tc102.gif", "b103.bmp\t103\tc103.ico",
            "b104.bmp\t104\tc104.png",  "b105.bmp\t105\tc105.jng", "b106.bmp\t106\tc106.wmf", "b107.bmp\t107\tc107.bin",
            "b108.bmp\t108\tc108.bmp",  "b109.bmp\t109\tc109.bin", "b1010.bmp\t1010\tc1010.bmp"},
            1, {"-j", "1"}, {{PIXMORPH_NETPBM_PLUGIN, 0755}}};
        for (const std::string code : {"5a", "5b", "5c", "5d", "100", "101", "102", "103", "104", "105", "106",
                                       "107", "108", "109", "1010"})
            mixed.files.emplace_back("b" + code + ".bmp", code.size() % 2 ? stripes : sunset);
        cases.push_back(mixed);
        std::reverse(mixed.manifest.begin(), mixed.manifest.end());
        cases.push_back(mixed);
        std::rotate(mixed.manifest.begin(), mixed.manifest.begin() + 5, mixed.manifest.end());
        cases.push_back(mixed);
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramWithPlugins program(c.plugins);
        TempDir single, batch, manifestDir;
        for (const auto& [name, bytes] : c.files) {
            writeFile(single / name, bytes);
            writeFile(batch / name, bytes);
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


TEST(Batch, LinesThatCannotRunSafelyAreRefusedAndTheRunStillEndsWithAResultPerLine) {
    struct Case {
        std::string name;
        std::string script;  // bash in a folder holding a.bmp, b.bmp (96 x 64), c.bmp; $P the program
        int exitCode;
        std::string out;     // standard output exactly
        std::string after;   // bash test of the folder afterwards
    };
    const std::string malformed = "error\tMalformed line: expected input, code and output separated by tabs.\n";
    std::vector<Case> cases = {
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
        // A line over --timeout fails alone and leaves no output; x.spin computes without end.
        {"--timeout: a conversion that never ends, between two that convert",
         "cp a.bmp x.spin; printf 'a.bmp\\t5\\ta.png\\nx.spin\\t5\\tx.png\\nb.bmp\\t100\\tb2.bmp\\n' > m;"
         " $P --batch -j 1 --timeout 1 m", 1, "1\tok\ta.png\n2\terror\ttimed out after 1 s\n3\tok\tb2.bmp\n",
         "test \"$(echo *)\" = 'a.png b.bmp b2.bmp c.bmp m x.spin'"},
        {"--timeout: a copy waiting for a pipe nobody writes; the worker that replaces it converts the rest",
         "mkfifo f; cp a.bmp x.spin; printf 'f\\t1010\\tcopy.bin\\na.bmp\\t102\\ta.gif\\nx.spin\\t5\\tx.png\\nb.bmp\\t5\\tb.png\\n'"
         " > m; $P --batch -j 1 --timeout 1 m", 1,
         "1\terror\ttimed out after 1 s\n2\tok\ta.gif\n3\terror\ttimed out after 1 s\n4\tok\tb.png\n",
         "test \"$(echo *)\" = 'a.gif b.png c.bmp f m x.spin'"},
    };
    // A named limit fails the single call (on x.*) and the batch line (on y.*) alike, naming its
    // variable; the inputs stay, no output is left. An empty report: both convert.
    const auto limit = [&](const std::string& name, const std::string& setting, const std::string& source,
                           const std::string& in, const std::string& code, const std::string& out, std::string report) {
        const std::string variable = setting.substr(0, setting.find('='));
        const std::string script = "cp " + quoted(source) + " x." + in + "; cp x." + in + " y." + in + "; export " +
                                   setting + "; $P x." + in + " " + code + " x2." + out + " 2>&1; echo $?; printf 'y." +
                                   in + "\\t" + code + "\\ty2." + out + "\\n' > m; $P --batch m";
        if (report.empty())
            return cases.push_back({name, script, 0, "0\n1\tok\ty2." + out + "\n", "test \"$(echo [xy]*)\" = 'x2." + out +
                                    " y2." + out + "'"});
        report += " that " + variable + " sets; a larger " + variable + " converts it.";
        cases.push_back({name, script, 1, "Pixmorph: " + report + "\n1\n1\terror\t" + report + "\n",
                         "test \"$(echo [xy]*)\" = 'x." + in + " y." + in + "'"});
    };
    limit("pixels: 96 x 64 over 6143", "PIXMORPH_MAX_PIXELS=6143", Sunset, "bmp", "5", "png",
          "An image of 96 x 64 = 6144 pixels is over the limit of 6143 pixels per image");
    limit("pixels: 96 x 64 within 6144", "PIXMORPH_MAX_PIXELS=6144", Sunset, "bmp", "5", "png", "");
    limit("side: the bitmap copy's rows are never held, the limit holds all the same", "PIXMORPH_MAX_SIDE=95", Sunset,
          "bmp", "100", "bmp", "An image side of 96 pixels (96 x 64) is over the limit of 95 pixels per side");
    limit("side: GIF writing", "PIXMORPH_MAX_SIDE=63", Sunset, "bmp", "102", "gif",
          "An image side of 96 pixels (96 x 64) is over the limit of 63 pixels per side");
    limit("side: not a number leaves no limit", "PIXMORPH_MAX_SIDE=small", Sunset, "bmp", "5", "png", "");
    limit("seconds: a conversion that computes without end", "PIXMORPH_MAX_SECONDS=1", Stripes, "spin", "5", "png",
          "A conversion of more than 1 CPU seconds is over the limit of 1 CPU seconds per conversion");
    if (haveTestdata() || testdataRequired())
        limit("frames: an icon file of 9 images", "PIXMORPH_MAX_FRAMES=2",
              testdata("ico/image-rs/images/multiple_entries_with_different_bit_depth.ico"), "ico", "5", "bmp",
              "A file of more than 2 frames is over the limit of 2 frames per file");
    const ProgramWithPlugins program({{"spins", 0755}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        for (const auto& [name, source] : {std::pair{"a.bmp", Stripes}, {"b.bmp", Sunset}, {"c.bmp", Stripes}})
            fs::copy_file(source, dir / name);
        const RunResult r = shellIn(dir.path(), "P=" + quoted(program.program()) + "; " + c.script);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(shellIn(dir.path(), "LC_ALL=C; " + c.after).exitCode, 0) << r.out;
    }
}

TEST(Batch, JsonResultsAreOneParsedObjectPerLineAndASummary) {
    // Each JSON line as Python's own parser reads it: "line status width height bytes warnings
    // input message", bytes "=" when they are the output's size, the input as the hex of its UTF-8,
    // the message's first 20 characters, None for null. A line that is no JSON fails the script.
    const std::string digest = R"(
import json, os, sys
for text in sys.stdin.buffer.read().split(b'\n')[:-1]:
    o = json.loads(text)
    if o.get('summary') is True:
        print('summary', o['lines'], o['ok'], o['error'], o['skipped']); continue
    assert o['ms'] is None or (isinstance(o['ms'], int) and o['ms'] >= 0)
    assert isinstance(o['warnings'], list) and all(isinstance(w, str) for w in o['warnings'])
    out = o['output'] if o['output'] is None or os.path.exists(o['output']) else o['output'].encode('latin-1')
    size = os.path.getsize(out) if o['status'] == 'ok' else -1
    print(o['line'], o['status'], o['width'], o['height'], '=' if o['bytes'] == size else o['bytes'],
          len(o['warnings']), o['input'] and o['input'].encode('utf-8').hex(), str(o['message'])[:20])
)";
    struct Case {
        std::string name;
        std::vector<std::pair<std::string, const char*>> files;  // work-folder name, copied from
        std::string manifest, digest;  // stripes.bmp is 50 x 30, sunset.bmp 96 x 64
    };
    const Case cases[] = {
        {"codec path, bitmap copy, GIF and a byte code",
         {{"a.bmp", Stripes}, {"b.bmp", Sunset}, {"c.bmp", Sunset}, {"d.bmp", Stripes}},
         "a.bmp\t5\ta.png\nb.bmp\t100\tb2.bmp\nc.bmp\t102\tc.gif\nd.bmp\t109\td.bin\n",
         "1 ok 50 30 = 0 612e626d70 None\n2 ok 96 64 = 0 622e626d70 None\n3 ok 96 64 = 0 632e626d70 None\n"
         "4 ok None None = 0 642e626d70 None\nsummary 4 4 0 0\n"},
        {"errors: missing input, malformed line, a code no conversion has; comments keep their numbers",
         {{"a.bmp", Stripes}},
         "# comment\nm.bmp\t5\tm.png\njust one field\na.bmp\t1999\ta.png\na.bmp\t5\ta.png\n",
         "2 error None None None 0 6d2e626d70 Error opening \"m.bmp\n3 error None None None 0 None Malformed line: expe\n"
         "4 error None None None 0 612e626d70 Unsupported conversi\n5 ok 50 30 = 0 612e626d70 None\nsummary 4 1 3 0\n"},
        // 0xff and 0xfe are no UTF-8: each reads as the character of its value, U+00FF, U+00FE.
        {"paths that are not UTF-8, or hold quotes and backslashes",
         {{"\xff\"\\.bmp", Stripes}, {"\xc3\xa9.bmp", Sunset}},
         "\xff\"\\.bmp\t5\t\xfe.png\n\xc3\xa9.bmp\t100\t\xc3\xa9-2.bmp\n\xfe.bmp\t5\tz.png\n",
         "1 ok 50 30 = 0 c3bf225c2e626d70 None\n2 ok 96 64 = 0 c3a92e626d70 None\n"
         "3 error None None None 0 c3be2e626d70 Error opening \"\u00fe.bmp\nsummary 3 2 1 0\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir work, manifestDir;
        for (const auto& [name, source] : c.files) fs::copy_file(source, work / name);
        writeFile(manifestDir / "m.txt", c.manifest);
        writeFile(manifestDir / "digest.py", digest);
        const RunResult r = shellIn(work.path(), quoted(PIXMORPH_BINARY) + " --batch -j 2 --json " +
                                                     quoted(manifestDir / "m.txt") + " | python3 " + quoted(manifestDir / "digest.py"));
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, c.digest);
    }
}

// A manifest of count lines over small bitmaps copied into each folder: codes 5, 102 and 100 in
// turn (the first two delete their input).
static std::string tiles(size_t count, const std::vector<std::string>& folders) {
    std::string manifest;
    const char* const codes[][2] = {{"5", "png"}, {"102", "gif"}, {"100", "bmp"}};
    for (size_t i = 0; i < count; ++i) {
        const std::string name = "t" + std::to_string(i);
        for (const std::string& folder : folders) fs::copy_file(i % 2 ? Stripes : Sunset, folder + "/" + name + ".bmp");
        manifest += name + ".bmp\t" + codes[i % 3][0] + "\t" + name + "-out." + codes[i % 3][1] + "\n";
    }
    return manifest;
}

TEST(Batch, SlicesRunAsSeparateProcessesMergeIntoOneRun) {
    struct Case { size_t lines; int slices; std::string extra = {}; /* after the tiles */ };
    // More slices than lines leave some empty; lines in conflict that fall in different slices
    // are refused by every slice as by one run.
    const Case cases[] = {{23, 4}, {2, 5}, {7, 1}, {6, 3, "t0.bmp\t100\tsame.bmp\nt3.bmp\t100\tsame.bmp\nmalformed\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.lines) + " lines in " + std::to_string(c.slices) + " slices");
        TempDir whole, sliced, manifestDir;
        const std::string m = quoted(manifestDir / "m.txt"), n = std::to_string(c.slices);
        writeFile(manifestDir / "m.txt", tiles(c.lines, {whole.path(), sliced.path()}) + c.extra);
        const RunResult one = runIn(whole.path(), PIXMORPH_BINARY, {"--batch", "-j", "2", manifestDir / "m.txt"});
        // The slices run side by side, as a job array's tasks do; their parts are near-equal and
        // merge by line number (a line's own lines keep their order).
        const RunResult all = shellIn(
            sliced.path(), "for k in $(seq " + n + "); do " + quoted(PIXMORPH_BINARY) + " --batch -j 1 --slice $k/" + n +
                               " " + m + " > " + m + ".$k & done; wait; for k in $(seq " + n + "); do wc -l < " + m +
                               ".$k; done | sort -n | awk 'NR == 1 {a = $1} END {exit $1 - a > 1}' && sort -s -n -k1,1 " + m + ".*");
        EXPECT_EQ(all.exitCode, 0) << all.err;
        EXPECT_EQ(all.out, one.out);
        EXPECT_EQ(contentsOf(sliced.path()), contentsOf(whole.path()));
    }
}

TEST(Batch, ARunKilledAtAnyMomentAndResumedLeavesWhatOneRunLeaves) {
    constexpr size_t Lines = 240;
    for (const auto& [seed, options] : {std::pair{1u, "-j 2"}, {2u, "-j 2 --json"}, {3u, "-j 1 --json"}}) {
        SCOPED_TRACE(options);
        TempDir clean, resumed, manifestDir;
        const std::string m = quoted(manifestDir / "m.txt"), run = quoted(PIXMORPH_BINARY) + " --batch " + options + " ";
        writeFile(manifestDir / "m.txt", tiles(Lines, {clean.path(), resumed.path()}));
        ASSERT_EQ(shellIn(clean.path(), run + m).exitCode, 0);
        std::mt19937 random(seed);
        std::string resume, last;
        int runs = 0;
        for (bool finished = false; !finished; ++runs) {
            ASSERT_LT(runs, 60) << "the run never finished";
            const std::string results = quoted(manifestDir / ("r" + std::to_string(runs)));
            // Killed once its results reach a random number of lines (at once for 0), while its
            // workers are anywhere in their lines; the first run is killed halfway at most.
            const size_t lines = random() % (runs ? Lines + 1 : Lines / 2);
            const RunResult r = shellIn(resumed.path(), ": > " + results + "; (exec " + run + resume + m + " > " + results +
                                                            ") & pid=$!; while [ $(wc -l < " + results + ") -lt " +
                                                            std::to_string(lines) + " ] && kill -0 $pid 2>/dev/null; do sleep 0.005; done; " +
                                                            "kill -9 $pid 2>/dev/null; wait $pid; echo $?; cat " + results);
            finished = r.out.rfind("0\n", 0) == 0;
            resume += "--resume " + results + " ";
            last = r.out.substr(r.out.find('\n') + 1);
        }
        EXPECT_GT(runs, 1) << "no run was killed";
        // The run that finished reports every line once, ok or skipped.
        std::vector<long> reported, expected(Lines);
        std::iota(expected.begin(), expected.end(), 1);
        const std::regex done(R"re(^\{"line":(\d+),.*"status":"(ok|skipped)"|^(\d+)\t(ok|skipped)\t)re");
        for (const std::string& line : split(last, '\n')) {
            std::smatch match;
            if (line.find("\"summary\"") == std::string::npos)
                reported.push_back(!std::regex_search(line, match, done) ? -1 : std::stol(match[match[1].matched ? 1 : 3]));
        }
        std::sort(reported.begin(), reported.end());
        EXPECT_EQ(reported, expected);
        EXPECT_EQ(contentsOf(resumed.path()), contentsOf(clean.path()));
    }
}
