#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace bench_support {

ProcessCost runMeasured(const std::vector<std::string>& argv) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::dup2(null, 2);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    ProcessCost cost;
    cost.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cost.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    cost.peakRssKb = usage.ru_maxrss;
    cost.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                      static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return cost;
}

bool haveTestdata() {
    static const bool present = [] {
        const bool found = test_data::testdataFolderExists();
        if (!found)
            std::fprintf(stderr, "test data not found at %s: the photographs are left out (set PIXMORPH_TESTDATA)\n",
                         testdataRoot().c_str());
        return found;
    }();
    return present;
}

}  // namespace bench_support
