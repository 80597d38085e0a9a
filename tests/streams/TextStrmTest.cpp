#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "platform/Exceptions.h"
#include "streams/MemStream.h"
#include "streams/TextStrm.h"

using namespace testing_support;

namespace {

struct LinesCase {
    const char* name;
    std::string text;
    int32_t bufferSize;
    int32_t presetTerminator;  // -1: detected
    std::vector<std::string> lines;
    int32_t terminator, ignored;
};

class TextLines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(TextLines, ReadsTheSameLinesWhateverTheLineBreaksAndBufferSize) {
    const LinesCase& c = GetParam();
    TMemStream memory;
    memory.Write(c.text.data(), static_cast<int64_t>(c.text.size()));
    memory.Seek(0);
    TTextStream text(c.bufferSize, 0, &memory);
    text.LineTerminator = text.IgnoredChar = c.presetTerminator;
    std::string line;
    for (const std::string& expected : c.lines) {
        EXPECT_EQ(text.ReadLine(line), static_cast<int32_t>(expected.size()));
        EXPECT_EQ(line, expected);
    }
    EXPECT_EQ(text.LineCount, static_cast<int32_t>(c.lines.size()));
    EXPECT_EQ(text.LineTerminator, c.terminator);
    EXPECT_EQ(text.IgnoredChar, c.ignored);
    EXPECT_EQ(messageOf<EInOutError>([&] { text.ReadLine(line); }),
              "Error reading from stream - Read less than expected");
}

const std::string longLine(100, 'x');

INSTANTIATE_TEST_SUITE_P(
    Texts, TextLines,
    ::testing::Values(
        LinesCase{"CRLF", "abc\r\ndef\r\n", -1, -1, {"abc", "def"}, 13, 10},
        LinesCase{"LF", "abc\ndef\n", -1, -1, {"abc", "def"}, 10, 13},
        LinesCase{"CR", "abc\rdef\r", -1, -1, {"abc", "def"}, 13, 10},
        LinesCase{"CRLFAcrossRefills", "abc\r\ndef\r\n" + longLine + "\r\nz", 2, -1, {"abc", "def", longLine, "z"}, 13, 10},
        LinesCase{"LFAcrossRefills", longLine + "\n\nend", 3, -1, {longLine, "", "end"}, 10, 13},
        LinesCase{"LastLineWithoutTerminator", "one\ntwo", -1, -1, {"one", "two"}, 10, 13},
        LinesCase{"PresetLFKeepsCR", "a\r\nb\r\n", 2, 10, {"a\r", "b\r"}, 10, 10}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextStream, WithoutReadBufferCannotRead) {
    TMemStream memory;
    TTextStream text(0, -1, &memory);
    std::string line;
    EXPECT_EQ(messageOf<EInOutError>([&] { text.ReadLine(line); }), "Cannot read from stream");
}

TEST(TextStream, ALineBeyondTheLimitFailsInsteadOfGrowing) {
    TMemStream memory;
    const std::string text(5000, 'a');
    memory.Write(text.data(), static_cast<int64_t>(text.size()));
    memory.Seek(0);
    TTextStream stream(16, 0, &memory);
    stream.MaxLineLength = 1000;
    std::string line;
    EXPECT_EQ(messageOf<EInOutError>([&] { stream.ReadLine(line); }), "Error reading from stream - Line too long");
    EXPECT_LE(line.size(), 1000u);
}

}  // namespace
