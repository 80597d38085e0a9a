#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "TestData.h"
#include "platform/CheckedSize.h"

namespace testing_support {

// The message of the E that action raises, or "<no exception>".
template <class E, class F>
std::string messageOf(F&& action) {
    try {
        action();
    } catch (const E& e) {
        return e.Message();
    }
    return "<no exception>";
}

// A fresh directory per test, removed with everything in it afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& text);
bool fileExists(const std::string& path);
// Names in a directory, without "." and "..".
std::vector<std::string> listDirectory(const std::string& path);

// The shared test data: its folder, a path below it, and whether the folder is there.
using test_data::testdata;
using test_data::testdataRoot;
inline bool haveTestdata() { return test_data::testdataFolderExists(); }

// CI must never pass by skipping: there (CI set in the environment) a missing folder fails.
bool testdataRequired();

// First statement of a test that reads the shared test data: without the folder the test is
// skipped, or fails under CI.
#define PIXMORPH_REQUIRE_TESTDATA()                                                            \
    do {                                                                                       \
        if (!::testing_support::haveTestdata()) {                                              \
            if (::testing_support::testdataRequired())                                         \
                GTEST_FAIL() << "test data not found at " << ::testing_support::testdataRoot() \
                             << " (CI needs it; set PIXMORPH_TESTDATA)";                       \
            GTEST_SKIP() << "test data not found at " << ::testing_support::testdataRoot();    \
        }                                                                                      \
    } while (0)

// Lowers the library's limit on one image buffer for the life of the object.
class ScopedImageLimit {
public:
    explicit ScopedImageLimit(int64_t bytes) { SetMaxImageBytes(bytes); }
    ~ScopedImageLimit() { SetMaxImageBytes(0); }
    ScopedImageLimit(const ScopedImageLimit&) = delete;
    ScopedImageLimit& operator=(const ScopedImageLimit&) = delete;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs the built pixmorph binary with the given arguments (no shell) and waits for it.
// fileSizeLimit > 0 caps the size of any file the child writes (as a full disk would).
RunResult runPixmorph(const std::vector<std::string>& args, long fileSizeLimit = 0);
// Runs any program (argv[0] is looked up in PATH).
RunResult runProgram(const std::vector<std::string>& argv, long fileSizeLimit = 0);

}  // namespace testing_support
