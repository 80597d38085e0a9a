#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// What one job came to in a worker process: the report the job returned, or how the
// worker died while running it.
struct TJobReport {
    std::string Report;
    std::optional<std::string> Crash;  // "crashed (signal N)": the job did not end by itself
    int Signal = 0;                    // the signal that ended the worker, if one did
    bool TimedOut = false;             // the pool stopped it: it ran past the time limit
};

// Runs job number job inside a worker process and returns its report, as bytes that the
// pool carries to the parent unchanged. Whatever the job prints is thrown away: the
// parent's standard output holds result lines only.
using TJobRunner = std::function<std::string(size_t job)>;

// A pool of forked worker processes, each running one job at a time. A worker that dies
// fails only the job it was running and is replaced by a fresh one on the next Start.
// A worker hands the memory of a job back to the system before it takes the next one
// (malloc_trim); one that still holds more than 32 MiB then ends, and a fresh one takes
// the next job. When no further worker can be started (too many processes or open
// files), the pool goes on with the workers it has. Workers end with the process that
// started them, even when it is killed.
//
// With a time limit, a worker whose job runs longer is told to end (SIGTERM, so that it
// removes what it was writing) and killed (SIGKILL) if it is still there a moment later;
// the job's report says it timed out, and a fresh worker takes the next job.
class TWorkerPool {
public:
    // timeoutMs: the longest a job may run, 0 for no limit.
    TWorkerPool(size_t size, TJobRunner runner, int64_t timeoutMs = 0);
    // Closes the job channels, so that idle workers end, and waits for them.
    ~TWorkerPool();
    TWorkerPool(const TWorkerPool&) = delete;
    TWorkerPool& operator=(const TWorkerPool&) = delete;

    bool CanStart() const;
    bool Busy() const;
    // Hands the job to an idle worker, starting one if the pool may grow; false when the
    // pool could not grow and has no idle worker (the job waits for a running one to
    // end). Raises the system's error when no worker is running and none can be started.
    bool Start(size_t job);
    // Tells every worker running a job to end (SIGTERM): the job is given up, its output
    // not left behind; Collect reports it as a crash.
    void Abandon();
    // Waits at most timeoutMs (-1: until one ends) for running jobs to end; a job past the
    // time limit is stopped on the way.
    std::vector<std::pair<size_t, TJobReport>> Collect(int timeoutMs);

private:
    struct Worker {
        pid_t Pid = -1;
        int Fd = -1;  // the parent's end of the channel: job numbers out, reports in
        std::optional<size_t> Job;
        bool Ended = false;  // crashed, or ended after its last report
        int64_t Deadline = 0;    // when its job is to be stopped (ms of the steady clock), 0 for never
        int64_t KillAt = 0;      // when it is killed if it has not ended since it was told to
        bool TimedOut = false;   // it was told to end for running past the limit
    };
    // Stops the jobs past their time; returns the milliseconds until the next deadline
    // (-1 for none).
    int StopLateJobs();
    Worker* IdleWorker();
    Worker Spawn();
    // The worker's side: runs the jobs its channel names until the channel closes.
    [[noreturn]] void ServeJobs(int fd) noexcept;
    // The report of the worker's job once its channel has something (or has ended).
    TJobReport ReportOf(Worker& worker);
    // Closes the worker's channel and waits for it: how it ended.
    std::string EndOf(Worker& worker);

    size_t size_;
    TJobRunner runner_;
    int64_t timeoutMs_;
    int lastSignal_ = 0;  // of the worker EndOf waited for
    std::vector<Worker> workers_;
};
