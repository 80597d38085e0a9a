#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <cstring>

#include "TestSupport.h"
#include "front/FileUtils.h"
#include "front/FrontEnd.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/SysUtils.h"

using namespace testing_support;

TEST(StrToInt, PlatformIntegerRules) {
    EXPECT_EQ(StrToInt("100"), 100);
    EXPECT_EQ(StrToInt("  -5"), -5);
    EXPECT_EQ(StrToInt("+7"), 7);
    EXPECT_EQ(StrToInt("$64"), 100);
    EXPECT_EQ(StrToInt("x1F"), 31);
    EXPECT_EQ(StrToInt("0X10"), 16);
    EXPECT_EQ(StrToInt("-$10"), -16);
    EXPECT_EQ(StrToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(StrToInt("0100"), 100);
    for (const char* bad : {"", " ", "2147483648", "$100000000", "1 ", "1e3", "--1", "$", "0x", "\t1"}) {
        try {
            StrToInt(bad);
            ADD_FAILURE() << bad;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(MessageBoxText, AFullStopIsAddedOnlyAfterCharactersThatSortAfterIt) {
    EXPECT_EQ(MessageBoxText("Bitmap image is not valid"), "Bitmap image is not valid.");
    EXPECT_EQ(MessageBoxText("done."), "done.");
    EXPECT_EQ(MessageBoxText("what?"), "what?.");  // '?' sorts after '.'
    EXPECT_EQ(MessageBoxText("Unsupported file format: "), "Unsupported file format: ");
    EXPECT_EQ(MessageBoxText("a-"), "a-");
    EXPECT_EQ(MessageBoxText(""), "");
}

TEST(FileUtils, IncludeTrailingBackslash) {
    EXPECT_EQ(host::IncludeTrailingBackslash(""), "");
    EXPECT_EQ(host::IncludeTrailingBackslash("/usr/lib/"), "/usr/lib/");
    EXPECT_EQ(host::IncludeTrailingBackslash("C:\\x\\"), "C:\\x\\");
    EXPECT_EQ(host::IncludeTrailingBackslash("/usr/lib"), "/usr/lib/");
}

TEST(FileUtils, ProgramDirIsTheExecutablesDirectoryWhereverTheCallerStands) {
    char cwd[4096];
    ASSERT_TRUE(::getcwd(cwd, sizeof cwd));
    ASSERT_EQ(::chdir("/"), 0);
    InitializeFileUtils();
    ASSERT_EQ(::chdir(cwd), 0);
    ASSERT_FALSE(ProgramDir.empty());
    EXPECT_EQ(ProgramDir.back(), '/');
    EXPECT_EQ(ProgramDir.front(), '/');
    EXPECT_TRUE(fileExists(ProgramDir + "pixmorph_tests"));
}

TEST(FileUtils, RelocateOntoAnExistingFileChangesNothing) {
    TempDir dir;
    writeFile(dir / "in", std::string("in"));
    writeFile(dir / "out", std::string("out"));
    EXPECT_THROW(RelocateFile(dir / "in", dir / "out", TRelocation::CopyOrMove), EFCreateError);
    EXPECT_EQ(readFile(dir / "out"), std::vector<uint8_t>({'o', 'u', 't'}));
    EXPECT_EQ(readFile(dir / "in"), std::vector<uint8_t>({'i', 'n'}));
}

TEST(FileUtils, CopyFileToHonoursOverwrite) {
    TempDir dir;
    writeFile(dir / "a", std::string("A"));
    writeFile(dir / "b", std::string("B"));
    EXPECT_FALSE(CopyFileTo(dir / "a", dir / "b", false));
    EXPECT_EQ(readFile(dir / "b"), std::vector<uint8_t>{'B'});
    EXPECT_TRUE(CopyFileTo(dir / "a", dir / "b", true));
    EXPECT_EQ(readFile(dir / "b"), std::vector<uint8_t>{'A'});
}

TEST(FileUtils, AtomicOutputIsInvisibleUntilCommittedAndCleansUpWhenNot) {
    TempDir dir;
    writeFile(dir / "photo.bmp", std::string("earlier"));
    {
        TAtomicOutput out(dir / "photo.bmp");
        writeFile(out.Path(), std::string("half"));
        EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"photo.bmp"});
    }
    EXPECT_EQ(listDirectory(dir.path()), std::vector<std::string>{"photo.bmp"});
    EXPECT_EQ(readFile(dir / "photo.bmp"), std::vector<uint8_t>({'e', 'a', 'r', 'l', 'i', 'e', 'r'}));
    {
        TAtomicOutput out(dir / "noext");
        writeFile(out.Path(), std::string("new"));
        out.Commit();
    }
    EXPECT_EQ(readFile(dir / "noext"), std::vector<uint8_t>({'n', 'e', 'w'}));
}

TEST(FileUtils, AWriterThatSeeksBackGivesAPipeTheWholeFile) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    // As /dev/stdout names a pipe: a /proc link that reads "pipe:[N]".
    const std::string output = "/proc/self/fd/" + std::to_string(ends[1]);
    EXPECT_EQ(host::ResolveLinks(output), output);
    EXPECT_EQ(host::KindOfFile(output), host::FileKind::Fifo);
    WriteOutput(output, [](const std::string& path) {
        const int fd = ::open(path.c_str(), O_WRONLY);
        // A length filled in afterwards.
        EXPECT_TRUE(::write(fd, "XXXX", 4) == 4 && ::lseek(fd, 0, SEEK_SET) == 0 && ::write(fd, "AB", 2) == 2);
        ::close(fd);
    });
    ::close(ends[1]);
    char got[8] = {};
    EXPECT_EQ(::read(ends[0], got, sizeof got), 4);
    ::close(ends[0]);
    EXPECT_STREQ(got, "ABXX");
}

TEST(FileUtils, AFolderOrALoopOfLinksAsOutputIsRefusedWithTheSystemsReason) {
    TempDir dir;
    ASSERT_EQ(::mkdir((dir / "d").c_str(), 0755), 0);
    ASSERT_TRUE(::symlink("l2", (dir / "l1").c_str()) == 0 && ::symlink("l1", (dir / "l2").c_str()) == 0);
    writeFile(dir / "in", std::string("in"));
    const std::pair<std::string, int> refusals[] = {{"d", EISDIR}, {"l1", ELOOP}};
    for (const auto& [name, error] : refusals) {
        const std::string path = dir / name;  // lambdas cannot capture a structured binding in C++20
        const std::string expected = "Cannot create file \"" + path + "\". " + std::strerror(error);
        EXPECT_EQ(messageOf<Exception>([&] { RefuseImpossibleOutput(path); }), expected);
        EXPECT_EQ(messageOf<Exception>([&] { WriteOutput(path, [](const std::string&) {}); }), expected);
        EXPECT_EQ(messageOf<Exception>([&] { RelocateFile(dir / "in", path, TRelocation::CopyOrMove); }), expected);
    }
    EXPECT_NO_THROW(RefuseImpossibleOutput(dir / "new.png"));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "l1"));
    EXPECT_TRUE(fileExists(dir / "in"));
}
