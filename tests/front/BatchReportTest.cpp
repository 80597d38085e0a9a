// JSON strings of any bytes, and the lines an earlier results file reports done.
#include <gtest/gtest.h>

#include "front/BatchReport.h"

TEST(BatchReport, JsonStringKeepsValidUtf8AndEscapesEverythingElse) {
    struct Case { std::string name, text, json; };
    const Case cases[] = {
        {"plain", "out/a b.png", "\"out/a b.png\""},
        {"the two JSON reserves", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"control characters", std::string("\x01\t\n\x1f\x7f", 5), "\"\\u0001\\t\\n\\u001f\\u007f\""},
        {"a NUL", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"two-, three- and four-byte UTF-8 kept", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", "\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        {"a byte that starts nothing", "a\xff", "\"a\\u00ff\""},
        {"a lead byte cut short", "\xc3", "\"\\u00c3\""},
        {"an overlong slash", "\xc0\xaf", "\"\\u00c0\\u00af\""},
        {"a surrogate written in UTF-8", "\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},
        {"past U+10FFFF", "\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},
        {"a continuation byte alone, then ASCII", "\x80z", "\"\\u0080z\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(JsonString(c.text), c.json);
    }
}

TEST(BatchReport, FinishedLinesAreTheOkAndSkippedOnesOfEitherForm) {
    struct Case {
        std::string name, results;
        std::map<long, std::pair<std::string, bool>> finished;  // line -> output, as printed
    };
    const Case cases[] = {
        {"tab-separated: ok and skipped count, warnings and errors do not",
         "1\tok\ta.png\n2\twarning\tdamaged\n2\tok\tb.png\n3\terror\tCannot open\n4\tskipped\td.png\n",
         {{1, {"a.png", true}}, {2, {"b.png", true}}, {4, {"d.png", true}}}},
        {"a line cut short by a kill is passed over", "1\tok\ta.png\n2\tok\tb.p", {{1, {"a.png", true}}}},
        {"JSON: escapes decoded, a byte outside UTF-8 read back as the byte",
         "{\"line\":7,\"input\":\"x\",\"code\":\"5\",\"output\":\"a\\u00ff\\\"\\u00e9.png\",\"status\":\"ok\",\"warnings\":[\"w\"],"
         "\"message\":null,\"width\":3,\"height\":2,\"bytes\":10,\"ms\":1}\n"
         "{\"line\":8,\"output\":\"b.png\",\"status\":\"error\",\"warnings\":[]}\n"
         "{\"line\":9,\"output\":\"\\ud83d\\ude00\",\"status\":\"skipped\"}\n"
         "{\"summary\":true,\"lines\":3}\n",
         {{7, {"a\xff\"\xe9.png", false}}, {9, {"\xf0\x9f\x98\x80", false}}}},
        {"not results: garbage, a nested object, a broken escape",
         "hello\n{\"line\":1,\"output\":{\"a\":1},\"status\":\"ok\"}\n{\"line\":2,\"output\":\"\\x\",\"status\":\"ok\"}\n"
         "{\"line\":3,\"output\":\"c\",\"status\":\"ok\"} trailing\n5\tok\n",
         {}},
        {"results of several files: the later one counts", "1\tok\told.png\n1\tok\tnew.png\n", {{1, {"new.png", true}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::map<long, std::pair<std::string, bool>> got;
        for (const auto& [number, line] : FinishedLines(c.results)) got[number] = {line.Output, line.Printable};
        EXPECT_EQ(got, c.finished);
    }
}
