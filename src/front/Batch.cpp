#include "front/Batch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>

#include "front/BatchProgress.h"
#include "front/BatchManifest.h"
#include "front/BatchReport.h"
#include "front/BatchWorkers.h"
#include "front/ConversionOutcome.h"
#include "front/FrontEnd.h"
#include "front/Main.h"
#include "front/Units.h"
#include "picture/Dialogs.h"
#include "platform/CheckedSize.h"
#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/Stream.h"
#include "platform/SysUtils.h"

namespace {

const char* const BatchOption = "--batch";
const char* const UsageLine =
    "usage: pixmorph --batch [-j N] [--first-line N] [--json] [--resume RESULTS]... [--timeout SECONDS]\n"
    "                        [--slice K/N] [--strict] [--auto-orient] <manifest>   (a file, or - for standard input)";
const char* const HelpDetails =
    "Each manifest line is input<TAB>code<TAB>output, converted as \"pixmorph input code output\" would;\n"
    "empty lines and lines starting with # are skipped. One result line per manifest line on\n"
    "standard output, in manifest order: N<TAB>ok<TAB>output, N<TAB>warning<TAB>message before\n"
    "its ok, or N<TAB>error<TAB>message.\n"
    "  -j N            N worker processes (default: the number of cores)\n"
    "  --first-line N  number the manifest's first line N (for a chunk of a larger manifest)\n"
    "  --json          result lines as JSON Lines: one object per manifest line (line, input, code,\n"
    "                  output, status ok/error/skipped, warnings, message, width, height, bytes, ms,\n"
    "                  lost: what the output could not hold of its input),\n"
    "                  then {\"summary\": true, ...} with the counts\n"
    "  --resume RESULTS  lines that RESULTS (result lines of an earlier run of the same manifest,\n"
    "                  tab-separated or JSON; may be given several times) reports ok or skipped, and\n"
    "                  whose output exists, are reported skipped and not converted again; so are lines\n"
    "                  whose output exists while the input their code deletes is gone\n"
    "  --timeout SECONDS  a line that runs longer is stopped (its worker is replaced) and fails with\n"
    "                  \"timed out after SECONDS s\"; its input stays and no output is left\n"
    "  --slice K/N     convert only the K-th (1 to N) of N near-equal contiguous parts of the\n"
    "                  manifest's lines, numbered as in the whole manifest (one task of a job array)\n"
    "  --strict        fail every line whose output could not hold all its input has\n"
    "  --auto-orient   turn the pixels by the EXIF orientation for outputs that cannot carry it\n"
    "Limits (environment): PIXMORPH_MAX_PIXELS, PIXMORPH_MAX_SIDE, PIXMORPH_MAX_FRAMES,\n"
    "PIXMORPH_MAX_SECONDS (CPU seconds per conversion), PIXMORPH_MAX_IMAGE_BYTES; see pixmorph(1).\n";

constexpr int ProgressIntervalMs = 100;
constexpr int64_t ManifestBlockSize = 1 << 16;

struct TBatchOptions {
    size_t Workers = static_cast<size_t>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
    long FirstLine = 1;
    TConversionOptions Conversion;
    bool Json = false;
    std::vector<std::string> Resume;  // results files of earlier runs
    long TimeoutSeconds = 0;          // 0: none
    long SliceIndex = 1, SliceCount = 1;
    std::string Manifest;
};

// A decimal number of at least 1, nothing else.
std::optional<long> PositiveNumber(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return {};
    const long value = std::stol(text);
    return value >= 1 ? std::optional<long>(value) : std::nullopt;
}

// "K/N" with 1 <= K <= N.
bool ParseSlice(const std::string& text, TBatchOptions& options) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    const std::optional<long> index = PositiveNumber(text.substr(0, slash));
    const std::optional<long> count = PositiveNumber(text.substr(slash + 1));
    if (!index || !count || *index > *count) return false;
    options.SliceIndex = *index;
    options.SliceCount = *count;
    return true;
}

// The options after "--batch"; nothing when they are not a batch call.
std::optional<TBatchOptions> ParseOptions(const std::vector<std::string>& args) {
    TBatchOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--json") {
            options.Json = true;
            continue;
        }
        if (option == StrictOption || option == AutoOrientOption) {
            (option == StrictOption ? options.Conversion.Strict : options.Conversion.AutoOrient) = true;
            continue;
        }
        const bool valued = (option == "-j" || option == "--first-line" || option == "--resume" ||
                             option == "--timeout" || option == "--slice") &&
                            i + 1 < args.size();
        if (!valued) {
            // An option it does not know is refused, not taken for a manifest's name.
            if (i + 1 != args.size() || option.empty() || (option[0] == '-' && option != "-")) return {};
            options.Manifest = option;
            return options;
        }
        const std::string& value = args[++i];
        if (option == "--resume") {
            options.Resume.push_back(value);
            continue;
        }
        if (option == "--slice") {
            if (!ParseSlice(value, options)) return {};
            continue;
        }
        const std::optional<long> number = PositiveNumber(value);
        if (!number) return {};
        if (option == "-j")
            options.Workers = static_cast<size_t>(*number);
        else if (option == "--timeout")
            options.TimeoutSeconds = *number;
        else
            options.FirstLine = *number;
    }
    return {};
}

std::string ReadWholeFile(const std::string& name) {
    host::TFileStream file(name == "-" ? "/dev/stdin" : name, host::fmOpenRead);
    std::string text;
    char block[ManifestBlockSize];
    while (const int64_t count = file.Read(block, ManifestBlockSize)) text.append(block, static_cast<size_t>(count));
    return text;
}

// The line's result as result lines: warnings first, then "ok" with the output, or
// "error" with the message. Text from paths and files has its control characters shown
// as "\xNN", so that it can split no line and drive no terminal.
std::string ResultLines(const TManifestLine& line, TLineStatus status, const TConversionOutcome& outcome) {
    const auto resultLine = [&](const char* kind, const std::string& text) {
        return std::to_string(line.LineNumber) + "\t" + kind + "\t" + PrintableText(text) + "\n";
    };
    if (status == TLineStatus::Skipped) return resultLine("skipped", line.Output);
    std::string text;
    for (const std::string& warning : outcome.Warnings) text += resultLine("warning", warning);
    if (outcome.Succeeded()) return text + resultLine("ok", line.Output);
    std::string message = outcome.Error;
    if (message.empty()) message = Format("exit status %d without a message", outcome.ExitStatus());
    return text + resultLine("error", message);
}

// A line that did not run: refused (malformed, or in conflict with another line), or
// failed before it could start.
TConversionOutcome NotRun(TConversionStatus status, const std::string& why) {
    TConversionOutcome outcome;
    outcome.Fail(status, MessageBoxText(why));
    return outcome;
}

TConversionOutcome OutcomeOf(const TJobReport& report, long timeoutSeconds) {
    TConversionOutcome outcome;
    if (report.TimedOut) {
        outcome.Fail(TConversionStatus::Failed, Format("timed out after %ld s", timeoutSeconds));
    } else if (report.Crash && report.Signal == SIGXCPU && NamedLimit(TNamedLimit::Seconds) > 0) {
        outcome.Fail(TConversionStatus::Failed, MessageBoxText(CpuLimitMessage(NamedLimit(TNamedLimit::Seconds))));
    } else if (report.Crash) {
        outcome.Fail(TConversionStatus::Failed, *report.Crash);
    } else if (auto decoded = DecodeOutcome(report.Report)) {
        outcome = std::move(*decoded);
    } else {
        outcome.Fail(TConversionStatus::Failed, "crashed (no report)");
    }
    return outcome;
}

// The result lines of a batch, printed in the manifest's order as soon as every line
// before them has its result.
class TBatchResults {
public:
    TBatchResults(const std::vector<TManifestLine>& lines, TBatchProgress& progress, bool json)
        : lines_(lines), results_(lines.size()), progress_(progress), json_(json) {}

    void Record(size_t index, TConversionOutcome outcome) {
        notAConversion_ = notAConversion_ || outcome.Status == TConversionStatus::NotAConversion;
        const TLineStatus status = outcome.Succeeded() ? TLineStatus::Ok : TLineStatus::Error;
        Count(status, outcome);
        results_[index] = TLineResult{status, std::move(outcome)};
    }

    void RecordSkipped(size_t index) {
        Count(TLineStatus::Skipped, {});
        results_[index] = TLineResult{TLineStatus::Skipped, {}};
    }

    void PrintReady() {
        std::string text;
        for (; printed_ < results_.size() && results_[printed_]; ++printed_) {
            const TLineResult& result = *results_[printed_];
            text += json_ ? JsonResultLine(lines_[printed_], result.Status, result.Outcome)
                          : ResultLines(lines_[printed_], result.Status, result.Outcome);
            results_[printed_].reset();
        }
        if (text.empty()) return;
        progress_.Clear();
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

    const TLineCounts& Counts() const { return counts_; }

    // The closing summary of JSON results.
    void PrintSummary(int64_t ms) {
        if (!json_) return;
        progress_.Clear();
        std::fputs(JsonSummaryLine(counts_, ms).c_str(), stdout);
        std::fflush(stdout);
    }

    int ExitStatus() const {
        if (notAConversion_) return ExitNotAConversion;
        return counts_.Errors ? ExitFailed : ExitCompleted;
    }

private:
    struct TLineResult {
        TLineStatus Status;
        TConversionOutcome Outcome;
    };

    void Count(TLineStatus status, const TConversionOutcome& outcome) {
        ++counts_.Lines;
        ++(status == TLineStatus::Ok ? counts_.Ok : status == TLineStatus::Skipped ? counts_.Skipped : counts_.Errors);
        if (!outcome.Warnings.empty()) ++counts_.Warned;
    }

    const std::vector<TManifestLine>& lines_;
    std::vector<std::optional<TLineResult>> results_;
    size_t printed_ = 0;
    TLineCounts counts_;
    bool notAConversion_ = false;
    TBatchProgress& progress_;
    bool json_;
};

// The file a manifest path names ("*" standing for a blank) exists as a regular file.
bool FileExists(const std::string& argument) {
    struct stat info {};
    return ::stat(PreparedPath(argument).c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool PathExists(const std::string& argument) {
    struct stat info {};
    return ::lstat(PreparedPath(argument).c_str(), &info) == 0;
}

// Whether a resumed run passes the line over: an earlier run reported it done and its
// output is there; or its output is there and the input its code deletes after a
// completed conversion is gone (a run stopped between the two and its result line).
bool DoneBefore(const TManifestLine& line, const std::map<long, TFinishedLine>& finished) {
    if (!line.Refused.empty() || !FileExists(line.Output)) return false;
    const auto reported = finished.find(line.LineNumber);
    if (reported != finished.end() &&
        reported->second.Output == (reported->second.Printable ? PrintableText(line.Output) : line.Output))
        return true;
    return ConversionDeletesInput(line.Code) && !PathExists(line.Input);
}

// The K-th of N near-equal contiguous parts of the lines.
void KeepSlice(std::vector<TManifestLine>& lines, long index, long count) {
    const size_t total = lines.size();
    const size_t begin = total * static_cast<size_t>(index - 1) / static_cast<size_t>(count);
    const size_t end = total * static_cast<size_t>(index) / static_cast<size_t>(count);
    lines = std::vector<TManifestLine>(lines.begin() + static_cast<std::ptrdiff_t>(begin),
                                       lines.begin() + static_cast<std::ptrdiff_t>(end));
}

// The signals that stop a batch: the first stops handing out lines and lets those in
// flight finish; a second abandons them (their workers are told to end, which leaves no
// output and keeps their inputs).
volatile std::sig_atomic_t stopSignal = 0;
volatile std::sig_atomic_t stopRequests = 0;
constexpr int StopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnStopSignal(int signal) {
    stopSignal = signal;
    stopRequests = stopRequests + 1;
}

void CatchStopSignals() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : StopSignals) ::sigaction(signal, &action, nullptr);
}

// Workers leave the signals of a terminal to the batch (which lets them finish their
// line); a signal sent to a worker alone still ends it. SIGTERM goes back to its default,
// so that the file layer's handler, which removes a named private file before the signal
// ends the process, takes it as in a single call.
void LeaveTerminalSignalsToTheBatch() {
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGTERM, SIG_DFL);
}

int ConvertLines(const std::vector<TManifestLine>& lines, const TBatchOptions& options,
                 const std::map<long, TFinishedLine>& finished) {
    const auto start = std::chrono::steady_clock::now();
    std::vector<size_t> conversions;
    std::vector<size_t> skipped;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!lines[i].Refused.empty()) continue;
        if (!options.Resume.empty() && DoneBefore(lines[i], finished))
            skipped.push_back(i);
        else
            conversions.push_back(i);
    }
    TBatchProgress progress(conversions.size());
    TBatchResults results(lines, progress, options.Json);
    for (size_t i = 0; i < lines.size(); ++i)
        if (!lines[i].Refused.empty()) results.Record(i, NotRun(TConversionStatus::NotAConversion, lines[i].Refused));
    for (size_t i : skipped) results.RecordSkipped(i);
    CatchStopSignals();
    {
        // A worker converts a line as "pixmorph input code output" converts it, the units
        // being up already; its report is the conversion's outcome.
        TWorkerPool pool(std::min(options.Workers, conversions.size()), [&lines, &options](size_t job) {
            // Once per worker (the batch itself never runs a job, so each fork starts unset).
            static bool prepared = false;
            if (!prepared) {
                LeaveTerminalSignalsToTheBatch();
                EndConversionsOverCpuLimitBySignal();
                prepared = true;
            }
            const TManifestLine& line = lines[job];
            return EncodeOutcome(RunConversion({line.Input, line.Code, line.Output}, options.Conversion));
        }, int64_t{options.TimeoutSeconds} * 1000);
        size_t started = 0, done = 0;
        while ((started < conversions.size() && !stopRequests) || pool.Busy()) {
            while (started < conversions.size() && !stopRequests && pool.CanStart()) {
                const size_t index = conversions[started];
                try {
                    if (!pool.Start(index)) break;
                } catch (...) {
                    results.Record(index, NotRun(TConversionStatus::Failed,
                                                     "No worker could be started: " + CurrentErrorText().value_or("")));
                    ++done;
                }
                ++started;
            }
            if (stopRequests > 1) pool.Abandon();
            for (auto& [index, report] : pool.Collect(progress.Shown() || stopRequests ? ProgressIntervalMs : -1)) {
                results.Record(index, OutcomeOf(report, options.TimeoutSeconds));
                ++done;
            }
            results.PrintReady();
            progress.Update(done);
        }
    }
    results.PrintReady();
    // A run stopped before its end has no summary: its results are not all there.
    if (!stopRequests)
        results.PrintSummary(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    progress.Finish(results.Counts());
    if (stopRequests) return 128 + stopSignal;
    return results.ExitStatus();
}

}  // namespace

bool IsBatchCall(int argc, char** argv) { return argc >= 2 && std::strcmp(argv[1], BatchOption) == 0; }

int RunBatch(int argc, char** argv) {
    const std::vector<std::string> args = CommandLineArguments(argc, argv);
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (rest.size() == 1 && (rest[0] == "--help" || rest[0] == "-h")) {
        std::printf("%s\n\n%s", UsageLine, HelpDetails);
        return ExitCompleted;
    }
    const std::optional<TBatchOptions> options = ParseOptions(rest);
    if (!options) {
        std::fprintf(stderr, "%s\n", UsageLine);
        return ExitNotAConversion;
    }
    InitializeUnits();
    // Many conversions run at once and unattended: none of them asks at the terminal.
    host::SetAskUser(false);
    std::vector<TManifestLine> lines;
    int status = ExitNotAConversion;
    std::map<long, TFinishedLine> finished;
    if (RunReportingErrors([&] {
            lines = ParseManifest(ReadWholeFile(options->Manifest), options->FirstLine);
            for (const std::string& results : options->Resume) {
                for (auto& [number, line] : FinishedLines(ReadWholeFile(results))) finished[number] = std::move(line);
            }
        })) {
        // Conflicts are found in the whole manifest, so that every slice refuses what one
        // run would.
        RefuseConflictingLines(lines);
        KeepSlice(lines, options->SliceIndex, options->SliceCount);
        status = ConvertLines(lines, *options, finished);
    }
    FinalizeUnits();
    return status;
}
