#pragma once

// Where the shared test data lives, for the test suite and the benchmarks alike.

#include <sys/stat.h>

#include <cstdlib>
#include <string>

namespace test_data {

// The shared test-data folder: PIXMORPH_TESTDATA from the environment, else the build's default.
inline const std::string& testdataRoot() {
    static const std::string root = [] {
        const char* fromEnvironment = std::getenv("PIXMORPH_TESTDATA");
        return std::string(fromEnvironment && *fromEnvironment ? fromEnvironment : PIXMORPH_TESTDATA);
    }();
    return root;
}

inline bool testdataFolderExists() {
    struct stat info {};
    return ::stat(testdataRoot().c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A path below the shared test data.
inline std::string testdata(const std::string& relative) { return testdataRoot() + "/" + relative; }

}  // namespace test_data
