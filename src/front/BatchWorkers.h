#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What one job came to in a worker process: the exit status the job reported, or how the
// worker died while running it, and everything the job printed until then.
struct TJobReport {
    int ExitStatus = 0;
    std::string Printed;
    std::optional<std::string> Crash;  // "crashed (signal N)": the job did not end by itself
};

// Standard output and standard error sent to a memory file (fd, or a fresh one) for the
// life of the object, then back where they went before. The object owns the file.
class TCapturedOutput {
public:
    explicit TCapturedOutput(int fd = -1);
    ~TCapturedOutput();
    TCapturedOutput(const TCapturedOutput&) = delete;
    TCapturedOutput& operator=(const TCapturedOutput&) = delete;

    // Writes out what the standard streams still buffer.
    void Flush();
    // What was printed since the file was last emptied; the file starts empty again.
    std::string Take();
    void Clear();

private:
    int fd_;
    int savedOutput_;
    int savedError_;
};

// Runs job number job inside a worker process; what it prints goes to standard output
// and standard error, which the worker captures.
using TJobRunner = std::function<int(size_t job)>;

// A pool of forked worker processes, each running one job at a time. A worker that dies
// fails only the job it was running and is replaced by a fresh one on the next Start.
// A worker hands the memory of a job back to the system before it takes the next one
// (malloc_trim); one that still holds more than 32 MiB then ends, and a fresh one takes
// the next job.
class TWorkerPool {
public:
    TWorkerPool(size_t size, TJobRunner runner);
    // Closes the job channels, so that idle workers end, and waits for them.
    ~TWorkerPool();
    TWorkerPool(const TWorkerPool&) = delete;
    TWorkerPool& operator=(const TWorkerPool&) = delete;

    bool CanStart() const;
    bool Busy() const;
    void Start(size_t job);
    // Waits at most timeoutMs (-1: until one ends) for running jobs to end.
    std::vector<std::pair<size_t, TJobReport>> Collect(int timeoutMs);

private:
    struct Worker {
        pid_t Pid = -1;
        int Fd = -1;        // the parent's end of the channel: job numbers out, reports in
        int OutputFd = -1;  // the memory file that the worker's standard output and error go to
        std::optional<size_t> Job;
        bool Ended = false;  // crashed, or ended after its last report
    };
    Worker& IdleWorker();
    Worker Spawn();
    // The worker's side: runs the jobs its channel names until the channel closes.
    [[noreturn]] void ServeJobs(int fd, int output) noexcept;
    // The report of the worker's job once its channel has something (or has ended).
    TJobReport ReportOf(Worker& worker);
    // Closes the worker's channel and waits for it: how it ended.
    std::string EndOf(Worker& worker);

    size_t size_;
    TJobRunner runner_;
    std::vector<Worker> workers_;
};
