#include "front/BatchWorkers.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/Exceptions.h"
#include "platform/Files.h"

namespace {

// What a worker sends back after each job, before the report's bytes.
struct ReportHeader {
    uint32_t Size;
    uint32_t Retiring;  // the worker ends after this report
};

// A worker still this large once its freed memory went back to the system holds on to
// what a large image left behind (caches sized by it); it ends and a fresh one takes over.
constexpr int64_t RetireAboveResidentBytes = int64_t{32} << 20;

// Below this much held by the allocator (its heap and its mapped blocks) after a job, there
// is nothing worth handing back: trimming would only make the next job fault the same
// pages in again.
constexpr size_t TrimAboveHeldBytes = size_t{4} << 20;

// The worker's resident size, read through a descriptor opened once (one system call a
// job, not an open, a read and a close).
int64_t ResidentBytes(int statm) {
    char text[128];
    const ssize_t count = statm < 0 ? -1 : ::pread(statm, text, sizeof text - 1, 0);
    if (count <= 0) return 0;
    text[count] = '\0';
    long size = 0, resident = 0;
    if (std::sscanf(text, "%ld %ld", &size, &resident) != 2) return 0;
    return int64_t{resident} * ::sysconf(_SC_PAGESIZE);
}

// Hands a large job's freed memory back to the system; a small job's stays for the next.
// Returns whether the worker may still be large.
bool HandBackMemory() {
    const struct mallinfo2 held = ::mallinfo2();
    if (held.arena + held.hblkhd < TrimAboveHeldBytes) return false;
    ::malloc_trim(0);
    return true;
}

bool ReadExactly(int fd, void* buffer, size_t count) {
    return host::ReadAll(fd, buffer, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
}

bool WriteExactly(int fd, const void* buffer, size_t count) {
    return host::WriteAll(fd, buffer, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
}

// A job reads nothing from the batch's standard input (it may be the manifest), and what it
// prints (a plug-in's own chatter) reaches neither the result lines nor the terminal.
void DetachStandardStreams() {
    const int null = host::OpenFile("/dev/null", O_RDWR);
    if (null < 0) return;
    for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) ::dup2(null, standard);
    ::close(null);
}

// A worker told to end for running late gets this long to remove its private file before
// it is killed.
constexpr int64_t GraceMs = 2000;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string HowItEnded(int status) {
    if (WIFSIGNALED(status)) return Format("crashed (signal %d)", WTERMSIG(status));
    return Format("crashed (exit status %d)", WEXITSTATUS(status));
}

}  // namespace

// ---------------------------------------------------------------- TWorkerPool

TWorkerPool::TWorkerPool(size_t size, TJobRunner runner, int64_t timeoutMs)
    : size_(std::max<size_t>(1, size)), runner_(std::move(runner)), timeoutMs_(timeoutMs) {}

TWorkerPool::~TWorkerPool() {
    for (Worker& worker : workers_) ::close(worker.Fd);
    for (Worker& worker : workers_) ::waitpid(worker.Pid, nullptr, 0);
}

bool TWorkerPool::CanStart() const {
    return workers_.size() < size_ ||
           std::any_of(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.Job; });
}

bool TWorkerPool::Busy() const {
    return std::any_of(workers_.begin(), workers_.end(), [](const Worker& w) { return w.Job.has_value(); });
}

TWorkerPool::Worker* TWorkerPool::IdleWorker() {
    for (Worker& worker : workers_)
        if (!worker.Job) return &worker;
    try {
        workers_.push_back(Spawn());
    } catch (const EOSError&) {
        // Out of processes or descriptors: the workers running now take the rest.
        if (workers_.empty()) throw;
        size_ = workers_.size();
        return nullptr;
    }
    return &workers_.back();
}

bool TWorkerPool::Start(size_t job) {
    Worker* worker = IdleWorker();
    if (!worker) return false;
    worker->Job = job;
    worker->Deadline = timeoutMs_ > 0 ? NowMs() + timeoutMs_ : 0;
    worker->TimedOut = false;
    worker->KillAt = 0;
    const uint32_t number = static_cast<uint32_t>(job);
    // A worker that is gone already shows as the end of its channel in Collect.
    ::send(worker->Fd, &number, sizeof number, MSG_NOSIGNAL);
    return true;
}

TWorkerPool::Worker TWorkerPool::Spawn() {
    int channel[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) RaiseLastOSError(errno);
    // Nothing buffered in this process may be written a second time by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        for (int fd : {channel[0], channel[1]}) ::close(fd);
        RaiseLastOSError(error);
    }
    if (pid == 0) {
        // A batch killed outright takes its workers with it: none goes on converting
        // lines a resumed run converts again.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(EXIT_FAILURE);  // it died before the request took hold
        // Another worker's channel held open here would hide that worker's end.
        for (const Worker& other : workers_) ::close(other.Fd);
        ::close(channel[0]);
        ServeJobs(channel[1]);
    }
    ::close(channel[1]);
    return Worker{pid, channel[0], std::nullopt};
}

void TWorkerPool::ServeJobs(int fd) noexcept {
    std::signal(SIGPIPE, SIG_DFL);
    DetachStandardStreams();
    const int statm = host::OpenFile("/proc/self/statm", O_RDONLY);
    uint32_t job = 0;
    while (ReadExactly(fd, &job, sizeof job)) {
        const std::string report = runner_(job);
        // A large image's pages go back to the system now, not when a later job reuses them.
        const bool retiring = HandBackMemory() && ResidentBytes(statm) > RetireAboveResidentBytes;
        const ReportHeader header{static_cast<uint32_t>(report.size()), retiring};
        if (!WriteExactly(fd, &header, sizeof header) || !WriteExactly(fd, report.data(), report.size()) || retiring)
            break;
    }
    ::_exit(EXIT_SUCCESS);
}

void TWorkerPool::Abandon() {
    for (const Worker& worker : workers_)
        if (worker.Job) ::kill(worker.Pid, SIGTERM);
}

std::string TWorkerPool::EndOf(Worker& worker) {
    ::close(worker.Fd);
    int status = 0;
    ::waitpid(worker.Pid, &status, 0);
    lastSignal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return HowItEnded(status);
}

TJobReport TWorkerPool::ReportOf(Worker& worker) {
    ReportHeader header{};
    TJobReport report;
    bool reported = ReadExactly(worker.Fd, &header, sizeof header);
    if (reported) {
        report.Report.resize(header.Size);
        reported = ReadExactly(worker.Fd, report.Report.data(), header.Size);
    }
    if (!reported) {
        report.Crash = EndOf(worker);
        report.Signal = lastSignal_;
        report.TimedOut = worker.TimedOut;
    }
    else if (header.Retiring || worker.TimedOut)  // one told to end finished first: it ends all the same
        EndOf(worker);
    worker.Ended = !reported || header.Retiring || worker.TimedOut;
    return report;
}

int TWorkerPool::StopLateJobs() {
    const int64_t now = NowMs();
    int64_t next = -1;
    const auto wake = [&](int64_t at) { next = next < 0 ? at - now : std::min(next, at - now); };
    for (Worker& worker : workers_) {
        if (!worker.Job || !worker.Deadline) continue;
        if (!worker.TimedOut && now >= worker.Deadline) {
            worker.TimedOut = true;
            worker.KillAt = now + GraceMs;
            ::kill(worker.Pid, SIGTERM);
        }
        if (worker.TimedOut && worker.KillAt && now >= worker.KillAt) {
            ::kill(worker.Pid, SIGKILL);
            worker.KillAt = 0;
        }
        if (!worker.TimedOut) wake(worker.Deadline);
        else if (worker.KillAt) wake(worker.KillAt);
    }
    return next < 0 ? -1 : static_cast<int>(std::max<int64_t>(next, 1));
}

std::vector<std::pair<size_t, TJobReport>> TWorkerPool::Collect(int timeoutMs) {
    const int untilLate = StopLateJobs();
    if (untilLate >= 0) timeoutMs = timeoutMs < 0 ? untilLate : std::min(timeoutMs, untilLate);
    std::vector<pollfd> polled;
    for (const Worker& worker : workers_)
        if (worker.Job) polled.push_back({worker.Fd, POLLIN, 0});
    std::vector<std::pair<size_t, TJobReport>> ended;
    if (polled.empty() || ::poll(polled.data(), polled.size(), timeoutMs) <= 0) return ended;
    for (const pollfd& ready : polled) {
        if (!ready.revents) continue;
        auto worker = std::find_if(workers_.begin(), workers_.end(), [&](const Worker& w) { return w.Fd == ready.fd; });
        ended.emplace_back(*worker->Job, ReportOf(*worker));
        worker->Job.reset();
        if (worker->Ended) workers_.erase(worker);
    }
    return ended;
}
