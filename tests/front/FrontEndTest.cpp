// The front end as the parent application meets it: the real binary on real files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "TestSupport.h"

using namespace testing_support;

namespace {

std::vector<uint8_t> everyByte() {
    std::vector<uint8_t> v;
    for (int round = 0; round < 3; ++round)
        for (int b = 0; b < 256; ++b) v.push_back(static_cast<uint8_t>(b));
    return v;
}

std::vector<uint8_t> shifted(std::vector<uint8_t> v, int delta) {
    for (auto& b : v) b = static_cast<uint8_t>(b + delta);
    return v;
}

std::vector<uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// The report line for a message, as the user sees it on standard error.
std::string report(const std::string& message) { return "Pixmorph: " + message + "\n"; }

// Nothing but the named files is left in the directory (no temporary outputs).
void expectOnly(const TempDir& dir, std::vector<std::string> names) {
    auto actual = listDirectory(dir.path());
    std::sort(actual.begin(), actual.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(actual, names);
}

}  // namespace

TEST(ByteShift, Code107ThenCode109RestoresEveryByteAndOnly107DeletesItsInput) {
    TempDir dir;
    const auto original = everyByte();
    writeFile(dir / "in.bin", original);

    auto r = runPixmorph({dir / "in.bin", "107", dir / "mid.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fileExists(dir / "in.bin"));
    const auto mid = readFile(dir / "mid.bin");
    EXPECT_EQ(mid, shifted(original, -32));
    EXPECT_EQ(mid[0x20], 0x00);
    EXPECT_EQ(mid[0x00], 0xE0);
    EXPECT_EQ(mid[0xFF], 0xDF);

    r = runPixmorph({dir / "mid.bin", "109", dir / "back.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(fileExists(dir / "mid.bin"));
    EXPECT_EQ(readFile(dir / "back.bin"), original);
    expectOnly(dir, {"mid.bin", "back.bin"});
}

TEST(ByteShift, EmptyAndSingleByteFiles) {
    TempDir dir;
    writeFile(dir / "empty", std::vector<uint8_t>{});
    writeFile(dir / "one", std::vector<uint8_t>{0x10});
    EXPECT_EQ(runPixmorph({dir / "empty", "109", dir / "empty.out"}).exitCode, 0);
    EXPECT_TRUE(readFile(dir / "empty.out").empty());
    EXPECT_EQ(runPixmorph({dir / "one", "109", dir / "plus"}).exitCode, 0);
    EXPECT_EQ(readFile(dir / "plus"), std::vector<uint8_t>{0x30});
    EXPECT_EQ(runPixmorph({dir / "one", "107", dir / "minus"}).exitCode, 0);
    EXPECT_EQ(readFile(dir / "minus"), std::vector<uint8_t>{0xF0});
}

TEST(ByteShift, ExistingOutputIsReplacedWhole) {
    TempDir dir;
    writeFile(dir / "in", std::vector<uint8_t>{1, 2});
    writeFile(dir / "out", std::string(1000, 'x'));
    EXPECT_EQ(runPixmorph({dir / "in", "109", dir / "out"}).exitCode, 0);
    EXPECT_EQ(readFile(dir / "out"), (std::vector<uint8_t>{33, 34}));
}

TEST(PathArguments, EveryStarInAPathIsABlank) {
    TempDir dir;
    writeFile(dir / "a b c.bin", std::vector<uint8_t>{0x41});
    const auto r = runPixmorph({dir / "a*b*c.bin", "107", dir / "c*d.bin"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(dir / "c d.bin"), std::vector<uint8_t>{0x21});
    EXPECT_FALSE(fileExists(dir / "a b c.bin"));
}

TEST(CodeArgument, TextsThatAreNotIntegersAreReportedOnceAndChangeNothing) {
    TempDir dir;
    writeFile(dir / "in.bin", std::vector<uint8_t>{1});
    for (const std::string code : {"x", "1*7", "", "10 7", "0x", "+", "99999999999", "107 "}) {
        const auto r = runPixmorph({dir / "in.bin", code, dir / "out.bin"});
        EXPECT_EQ(r.exitCode, 1) << code;
        EXPECT_EQ(r.err, report("'" + code + "' is not a valid integer value.")) << code;
        expectOnly(dir, {"in.bin"});
    }
}

TEST(CodeArgument, NumbersOfAHundredOrMoreMustMatchATableEntryCharacterForCharacter) {
    TempDir dir;
    writeFile(dir / "in.bin", std::vector<uint8_t>{1});
    for (const std::string code : {"110", "0100", "0107", "$64", " 107", "+107", "0x6B", "2147483647"}) {
        const auto r = runPixmorph({dir / "in.bin", code, dir / "out.bin"});
        EXPECT_EQ(r.exitCode, 2) << code;
        EXPECT_EQ(r.err, report("Unsupported conversion code \"" + code + "\"")) << code;
        expectOnly(dir, {"in.bin"});
    }
}

TEST(CodeArgument, SignedAndHexadecimalCodesBelowAHundredTakeTheCodecPath) {
    TempDir dir;
    writeFile(dir / "in.xyz", std::vector<uint8_t>{1});
    for (const std::string code : {"-5", "$10", "x10", "0X1f", "  5", "-$10", "$FFFFFFFF"}) {
        const auto r = runPixmorph({dir / "in.xyz", code, dir / "out.xyz"});
        EXPECT_EQ(r.exitCode, 1) << code;
        EXPECT_EQ(r.err, report("Unsupported file format: XYZ.")) << code;
        expectOnly(dir, {"in.xyz"});
    }
}

TEST(CodecPath, ANameWithoutExtensionIsUnsupportedAndNothingIsDeleted) {
    TempDir dir;
    writeFile(dir / "noext", std::vector<uint8_t>{1});
    const auto r = runPixmorph({dir / "noext", "5", dir / "out.bmp"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Unsupported file format: "));
    expectOnly(dir, {"noext"});
}

TEST(CodeArgument, WrongNumberOfArgumentsPrintsUsageAndTouchesNothing) {
    TempDir dir;
    writeFile(dir / "in.bin", std::vector<uint8_t>{1});
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {dir / "in.bin"}, {dir / "in.bin", "107"}, {dir / "in.bin", "5", dir / "o.bmp", "x"}}) {
        const auto r = runPixmorph(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("usage: pixmorph <input> <code> <output>"), std::string::npos);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
        expectOnly(dir, {"in.bin"});
    }
}

TEST(CodeArgument, HelpAndVersion) {
    const auto help = runPixmorph({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    for (const char* code : {"100", "101", "106", "107", "108", "109", "1010"})
        EXPECT_NE(help.out.find(std::string("\n") + code + " "), std::string::npos) << code;
    const auto version = runPixmorph({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out.rfind("pixmorph ", 0), 0u);
}

TEST(Relocate, Code108MovesAnd1010CopiesWhenTheOutputIsAbsent) {
    TempDir dir;
    writeFile(dir / "a", std::string("payload"));
    auto r = runPixmorph({dir / "a", "1010", dir / "copy"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(dir / "copy"), readFile(dir / "a"));

    r = runPixmorph({dir / "a", "108", dir / "moved"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_FALSE(fileExists(dir / "a"));
    EXPECT_EQ(readFile(dir / "moved"), bytesOf("payload"));
    expectOnly(dir, {"copy", "moved"});
}

TEST(Relocate, AnExistingOutputIsNeverOverwrittenAndTheInputStays) {
    TempDir dir;
    for (const std::string code : {"108", "1010"}) {
        writeFile(dir / "in", std::string("new data"));
        writeFile(dir / "out", std::string("old"));
        const auto r = runPixmorph({dir / "in", code, dir / "out"});
        EXPECT_EQ(r.exitCode, 1) << code;
        EXPECT_EQ(r.err, report("Cannot create file \"" + dir / "out" + "\". File exists.")) << code;
        EXPECT_EQ(readFile(dir / "in"), bytesOf("new data"));
        EXPECT_EQ(readFile(dir / "out"), bytesOf("old"));
    }
}

TEST(Relocate, MissingInputIsAnErrorNotASuccess) {
    TempDir dir;
    const auto r = runPixmorph({dir / "none", "108", dir / "out"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Cannot open file \"" + dir / "none" + "\". No such file or directory."));
    expectOnly(dir, {});
}

TEST(Failures, UnreadableInputKeepsEverythingAsItWas) {
    TempDir dir;
    writeFile(dir / "out", std::string("earlier"));
    ::mkdir((dir / "folder").c_str(), 0755);
    for (const std::string code : {"107", "109"}) {
        auto r = runPixmorph({dir / "none", code, dir / "out"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.err, report("Cannot open file \"" + dir / "none" + "\". No such file or directory."));
        r = runPixmorph({dir / "folder", code, dir / "out"});
        EXPECT_EQ(r.err, report("Cannot open file \"" + dir / "folder" + "\". Is a directory."));
        EXPECT_EQ(readFile(dir / "out"), bytesOf("earlier"));
    }
    expectOnly(dir, {"out", "folder"});
}

TEST(Failures, OutputThatCannotBeCreatedKeepsTheInput) {
    TempDir dir;
    writeFile(dir / "in", std::string("data"));
    const std::string out = dir / "no-such-dir/out";
    for (const std::string code : {"107", "108", "1010"}) {
        const auto r = runPixmorph({dir / "in", code, out});
        EXPECT_EQ(r.exitCode, 1) << code;
        EXPECT_EQ(r.err, report("Cannot create file \"" + out + "\". No such file or directory.")) << code;
        EXPECT_TRUE(fileExists(dir / "in")) << code;
    }
    if (::geteuid() != 0) {  // root writes anywhere
        ::mkdir((dir / "locked").c_str(), 0555);
        const auto r = runPixmorph({dir / "in", "107", dir / "locked/out"});
        EXPECT_EQ(r.err, report("Cannot create file \"" + dir / "locked/out" + "\". Permission denied."));
        EXPECT_TRUE(fileExists(dir / "in"));
    }
}

TEST(Failures, AFullDiskLeavesTheEarlierOutputAndTheInput) {
    TempDir dir;
    writeFile(dir / "in", std::vector<uint8_t>(300000, 0x55));
    writeFile(dir / "out", std::string("earlier"));
    const auto r = runPixmorph({dir / "in", "107", dir / "out"}, /*fileSizeLimit=*/100000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Cannot create file \"" + dir / "out" + "\". File too large."));
    EXPECT_EQ(readFile(dir / "in").size(), 300000u);
    EXPECT_EQ(readFile(dir / "out"), bytesOf("earlier"));
    expectOnly(dir, {"in", "out"});
}

TEST(Failures, OutputNamingADirectoryIsReportedAndTheDirectoryStays) {
    TempDir dir;
    writeFile(dir / "in", std::string("data"));
    ::mkdir((dir / "target").c_str(), 0755);
    const auto r = runPixmorph({dir / "in", "107", dir / "target"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, report("Cannot create file \"" + dir / "target" + "\". Is a directory."));
    EXPECT_TRUE(fileExists(dir / "in"));
    expectOnly(dir, {"in", "target"});
}

TEST(Failures, InputAndOutputNamingTheSameFileKeepTheResult) {
    TempDir dir;
    writeFile(dir / "same", std::vector<uint8_t>{0x50});
    auto r = runPixmorph({dir / "same", "107", dir / "same"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readFile(dir / "same"), std::vector<uint8_t>{0x30});
    r = runPixmorph({dir / "same", "107", dir / "." + std::string("/same")});
    EXPECT_EQ(readFile(dir / "same"), std::vector<uint8_t>{0x10});
    expectOnly(dir, {"same"});
}

TEST(OutputFile, ReplacingThroughALinkKeepsTheLinkAndAnExistingFileKeepsItsPermissions) {
    TempDir dir;
    writeFile(dir / "in.bin", bytesOf("abc"));
    ::mkdir((dir / "real").c_str(), 0755);
    writeFile(dir / "real/target.bin", bytesOf("old bytes"));
    ::symlink("real/target.bin", (dir / "link.bin").c_str());
    ::chmod((dir / "real/target.bin").c_str(), 0600);
    writeFile(dir / "fresh.keep", bytesOf(""));
    struct Case { const char* output; const char* shouldBeAFile; mode_t mode; };
    const mode_t fresh = 0666 & ~[] { const mode_t m = ::umask(0); ::umask(m); return m; }();
    for (const Case c : {Case{"link.bin", "real/target.bin", 0600}, Case{"new.bin", "new.bin", fresh}}) {
        ASSERT_EQ(runPixmorph({dir / "in.bin", "109", dir / c.output}).exitCode, 0) << c.output;
        struct stat info;
        ASSERT_EQ(::lstat((dir / c.shouldBeAFile).c_str(), &info), 0) << c.output;
        EXPECT_TRUE(S_ISREG(info.st_mode)) << c.output;
        EXPECT_EQ(info.st_mode & 07777, c.mode) << c.output;
        EXPECT_EQ(readFile(dir / c.shouldBeAFile), shifted(bytesOf("abc"), 32)) << c.output;
    }
    struct stat link;
    ASSERT_EQ(::lstat((dir / "link.bin").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(listDirectory(dir / "real"), std::vector<std::string>{"target.bin"});
}

TEST(Messages, FileErrorsNameTheFullPathAndTheCodecIsChosenBeforeTheOutputIsTouched) {
    TempDir dir;
    writeFile(dir / "a.bmp", readFile(std::string(PIXMORPH_SOURCE_DIR) + "/samples/stripes.bmp"));
    const std::string d = std::filesystem::canonical(dir.path());
    struct Case { std::vector<std::string> args; std::string message; };
    const Case cases[] = {
        {{"nofile.bin", "107", "x.bin"}, "Cannot open file \"" + d + "/nofile.bin\". No such file or directory."},
        {{"a.bmp", "109", "nodir/x.bin"}, "Cannot create file \"" + d + "/nodir/x.bin\". No such file or directory."},
        {{"a.bmp", "3", "nodir/out.xyz"}, "Unsupported file format: XYZ."},
        {{"a.bmp", "3", "nodir/out.png"}, "Error opening \"" + d + "/nodir/out.png\" - No such file or directory."},
    };
    for (const auto& c : cases) {
        std::string command = "cd '" + d + "' && exec '" PIXMORPH_BINARY "'";
        for (const auto& a : c.args) command += " '" + a + "'";
        const RunResult r = runProgram({"/bin/sh", "-c", command});
        EXPECT_EQ(r.exitCode, 1) << command;
        EXPECT_EQ(r.err, report(c.message)) << command;
    }
    EXPECT_TRUE(fileExists(dir / "a.bmp"));
}

TEST(ByteShift, InputsWithoutASizeAreReadToTheEndAndUnreadableOnesGiveTheSystemsText) {
    TempDir dir;
    const RunResult pipe = runProgram({"/bin/bash", "-c",
                                       "exec '" PIXMORPH_BINARY "' <(printf abc) 109 '" + (dir / "out") + "'"});
    EXPECT_EQ(pipe.exitCode, 0) << pipe.err;
    EXPECT_EQ(readFile(dir / "out"), shifted(bytesOf("abc"), 32));
    // Memory a process has not mapped reads as an input/output error.
    const RunResult unreadable = runPixmorph({"/proc/self/mem", "109", dir / "mem"});
    EXPECT_EQ(unreadable.exitCode, 1);
    EXPECT_EQ(unreadable.err, report("Cannot open file \"/proc/self/mem\". Input/output error."));
    EXPECT_FALSE(fileExists(dir / "mem"));
}
