#include "front/BatchWorkers.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/Exceptions.h"
#include "platform/Files.h"

namespace {

// What a worker sends back after each job; what the job printed is in its output file.
struct ReportHeader {
    int32_t ExitStatus;
    uint32_t Retiring;  // the worker ends after this report
};

// A worker still this large once its freed memory went back to the system holds on to
// what a large image left behind (caches sized by it); it ends and a fresh one takes over.
constexpr int64_t RetireAboveResidentBytes = int64_t{32} << 20;

int64_t ResidentBytes() {
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    long size = 0, resident = 0;
    const bool read = std::fscanf(statm, "%ld %ld", &size, &resident) == 2;
    std::fclose(statm);
    return read ? int64_t{resident} * ::sysconf(_SC_PAGESIZE) : 0;
}

int NewOutputFile() {
    const int fd = ::memfd_create("pixmorph-batch-output", MFD_CLOEXEC);
    if (fd < 0) RaiseLastOSError(errno);
    return fd;
}

// The whole content of a file, whatever its descriptors' offset.
std::string ContentOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return {};
    std::string text(static_cast<size_t>(info.st_size), '\0');
    text.resize(static_cast<size_t>(std::max<ssize_t>(0, ::pread(fd, text.data(), text.size(), 0))));
    return text;
}

void Empty(int fd) {
    ::lseek(fd, 0, SEEK_SET);
    if (::ftruncate(fd, 0) != 0) return;  // a memory file always shrinks
}

bool ReadExactly(int fd, void* buffer, size_t count) {
    return host::ReadAll(fd, buffer, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
}

bool WriteExactly(int fd, const void* buffer, size_t count) {
    return host::WriteAll(fd, buffer, static_cast<int64_t>(count)) == static_cast<int64_t>(count);
}

// A job reads nothing from the batch's standard input (it may be the manifest).
void DetachStandardInput() {
    const int null = host::OpenFile("/dev/null", O_RDONLY);
    if (null < 0) return;
    ::dup2(null, STDIN_FILENO);
    ::close(null);
}

std::string HowItEnded(int status) {
    if (WIFSIGNALED(status)) return Format("crashed (signal %d)", WTERMSIG(status));
    return Format("crashed (exit status %d)", WEXITSTATUS(status));
}

}  // namespace

// ---------------------------------------------------------------- TCapturedOutput

TCapturedOutput::TCapturedOutput(int fd)
    : fd_(fd >= 0 ? fd : NewOutputFile()), savedOutput_(::dup(STDOUT_FILENO)), savedError_(::dup(STDERR_FILENO)) {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(fd_, STDOUT_FILENO);
    ::dup2(fd_, STDERR_FILENO);
}

TCapturedOutput::~TCapturedOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (auto [saved, standard] : {std::pair{savedOutput_, STDOUT_FILENO}, std::pair{savedError_, STDERR_FILENO}}) {
        if (saved < 0) continue;
        ::dup2(saved, standard);
        ::close(saved);
    }
    ::close(fd_);
}

void TCapturedOutput::Flush() {
    std::fflush(stdout);
    std::fflush(stderr);
}

std::string TCapturedOutput::Take() {
    Flush();
    std::string text = ContentOf(fd_);
    Empty(fd_);
    return text;
}

void TCapturedOutput::Clear() {
    Flush();
    Empty(fd_);
}

// ---------------------------------------------------------------- TWorkerPool

TWorkerPool::TWorkerPool(size_t size, TJobRunner runner) : size_(std::max<size_t>(1, size)), runner_(std::move(runner)) {}

TWorkerPool::~TWorkerPool() {
    for (Worker& worker : workers_) {
        ::close(worker.Fd);
        ::close(worker.OutputFd);
    }
    for (Worker& worker : workers_) ::waitpid(worker.Pid, nullptr, 0);
}

bool TWorkerPool::CanStart() const {
    return workers_.size() < size_ ||
           std::any_of(workers_.begin(), workers_.end(), [](const Worker& w) { return !w.Job; });
}

bool TWorkerPool::Busy() const {
    return std::any_of(workers_.begin(), workers_.end(), [](const Worker& w) { return w.Job.has_value(); });
}

TWorkerPool::Worker& TWorkerPool::IdleWorker() {
    for (Worker& worker : workers_)
        if (!worker.Job) return worker;
    workers_.push_back(Spawn());
    return workers_.back();
}

void TWorkerPool::Start(size_t job) {
    Worker& worker = IdleWorker();
    worker.Job = job;
    const uint32_t number = static_cast<uint32_t>(job);
    // A worker that is gone already shows as the end of its channel in Collect.
    ::send(worker.Fd, &number, sizeof number, MSG_NOSIGNAL);
}

TWorkerPool::Worker TWorkerPool::Spawn() {
    int channel[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) RaiseLastOSError(errno);
    // The output file stays readable here when the worker dies in the middle of a job.
    const int output = NewOutputFile();
    // Nothing buffered in this process may be written a second time by the child.
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        const int error = errno;
        for (int fd : {channel[0], channel[1], output}) ::close(fd);
        RaiseLastOSError(error);
    }
    if (pid == 0) {
        // Another worker's channel held open here would hide that worker's end.
        for (const Worker& other : workers_) {
            ::close(other.Fd);
            ::close(other.OutputFd);
        }
        ::close(channel[0]);
        ServeJobs(channel[1], output);
    }
    ::close(channel[1]);
    return Worker{pid, channel[0], output, std::nullopt};
}

void TWorkerPool::ServeJobs(int fd, int output) noexcept {
    std::signal(SIGPIPE, SIG_DFL);
    DetachStandardInput();
    TCapturedOutput capture(output);
    uint32_t job = 0;
    while (ReadExactly(fd, &job, sizeof job)) {
        capture.Clear();
        const int status = runner_(job);
        capture.Flush();
        // A large image's pages go back to the system now, not when a later job reuses them.
        ::malloc_trim(0);
        const bool retiring = ResidentBytes() > RetireAboveResidentBytes;
        const ReportHeader header{status, retiring};
        if (!WriteExactly(fd, &header, sizeof header) || retiring) break;
    }
    ::_exit(EXIT_SUCCESS);
}

std::string TWorkerPool::EndOf(Worker& worker) {
    ::close(worker.Fd);
    ::close(worker.OutputFd);
    int status = 0;
    ::waitpid(worker.Pid, &status, 0);
    return HowItEnded(status);
}

TJobReport TWorkerPool::ReportOf(Worker& worker) {
    ReportHeader header{};
    TJobReport report;
    const bool reported = ReadExactly(worker.Fd, &header, sizeof header);
    // Read before the worker takes another job, which empties the file first.
    report.Printed = ContentOf(worker.OutputFd);
    report.ExitStatus = header.ExitStatus;
    if (!reported)
        report.Crash = EndOf(worker);
    else if (header.Retiring)
        EndOf(worker);
    worker.Ended = !reported || header.Retiring;
    return report;
}

std::vector<std::pair<size_t, TJobReport>> TWorkerPool::Collect(int timeoutMs) {
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
