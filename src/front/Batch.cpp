#include "front/Batch.h"

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

#include "front/BatchProgress.h"
#include "front/BatchManifest.h"
#include "front/BatchWorkers.h"
#include "front/ConversionOutcome.h"
#include "front/FrontEnd.h"
#include "front/Main.h"
#include "front/Units.h"
#include "picture/Dialogs.h"
#include "platform/Exceptions.h"
#include "platform/Stream.h"
#include "platform/SysUtils.h"

namespace {

const char* const BatchOption = "--batch";
const char* const UsageLine =
    "usage: pixmorph --batch [-j N] [--first-line N] [--strict] [--auto-orient] <manifest>   (a file, or - for "
    "standard input)";
const char* const HelpDetails =
    "Each manifest line is input<TAB>code<TAB>output, converted as \"pixmorph input code output\" would;\n"
    "empty lines and lines starting with # are skipped. One result line per manifest line on\n"
    "standard output, in manifest order: N<TAB>ok<TAB>output, N<TAB>warning<TAB>message before\n"
    "its ok, or N<TAB>error<TAB>message; N<TAB>lost<TAB>what,... before the ok of a line whose output\n"
    "could not hold all its input had.\n"
    "  -j N            N worker processes (default: the number of cores)\n"
    "  --first-line N  number the manifest's first line N (for a chunk of a larger manifest)\n"
    "  --strict        fail every line whose output could not hold all its input has\n"
    "  --auto-orient   turn the pixels by the EXIF orientation for outputs that cannot carry it\n";

constexpr int ProgressIntervalMs = 100;
constexpr int64_t ManifestBlockSize = 1 << 16;

struct TBatchOptions {
    size_t Workers = static_cast<size_t>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
    long FirstLine = 1;
    TConversionOptions Conversion;
    std::string Manifest;
};

// A decimal number of at least 1, nothing else.
std::optional<long> PositiveNumber(const std::string& text) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return {};
    const long value = std::stol(text);
    return value >= 1 ? std::optional<long>(value) : std::nullopt;
}

// The options after "--batch"; nothing when they are not a batch call.
std::optional<TBatchOptions> ParseOptions(const std::vector<std::string>& args) {
    TBatchOptions options;
    for (size_t i = 0; i < args.size(); ++i) {
        const bool valued = (args[i] == "-j" || args[i] == "--first-line") && i + 1 < args.size();
        if (args[i] == StrictOption || args[i] == AutoOrientOption) {
            (args[i] == StrictOption ? options.Conversion.Strict : options.Conversion.AutoOrient) = true;
            continue;
        }
        if (!valued) {
            // An option it does not know is refused, not taken for a manifest's name.
            if (i + 1 != args.size() || args[i].empty() || (args[i][0] == '-' && args[i] != "-")) return {};
            options.Manifest = args[i];
            return options;
        }
        const std::optional<long> number = PositiveNumber(args[++i]);
        if (!number) return {};
        if (args[i - 1] == "-j")
            options.Workers = static_cast<size_t>(*number);
        else
            options.FirstLine = *number;
    }
    return {};
}

std::string ReadManifest(const std::string& name) {
    host::TFileStream file(name == "-" ? "/dev/stdin" : name, host::fmOpenRead);
    std::string text;
    char block[ManifestBlockSize];
    while (const int64_t count = file.Read(block, ManifestBlockSize)) text.append(block, static_cast<size_t>(count));
    return text;
}

// The line's result as result lines: warnings first, then "ok" with the output, or
// "error" with the message. Text from paths and files has its control characters shown
// as "\xNN", so that it can split no line and drive no terminal.
std::string ResultLines(const TManifestLine& line, const TConversionOutcome& outcome) {
    const auto resultLine = [&](const char* kind, const std::string& text) {
        return std::to_string(line.LineNumber) + "\t" + kind + "\t" + PrintableText(text) + "\n";
    };
    std::string text;
    for (const std::string& warning : outcome.Warnings) text += resultLine("warning", warning);
    if (outcome.Succeeded() && !outcome.Lost.empty()) {
        std::string lost;
        for (const std::string& what : outcome.Lost) lost += (lost.empty() ? "" : ",") + what;
        text += resultLine("lost", lost);
    }
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

TConversionOutcome OutcomeOf(const TJobReport& report) {
    TConversionOutcome outcome;
    if (report.Crash) {
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
    TBatchResults(const std::vector<TManifestLine>& lines, TBatchProgress& progress)
        : lines_(lines), results_(lines.size()), progress_(progress) {}

    void Record(size_t index, TConversionOutcome outcome) {
        if (outcome.Succeeded())
            ++tally_.Converted;
        else
            ++tally_.Failed;
        if (!outcome.Warnings.empty()) ++tally_.Warnings;
        notAConversion_ = notAConversion_ || outcome.Status == TConversionStatus::NotAConversion;
        results_[index] = std::move(outcome);
    }

    void PrintReady() {
        std::string text;
        for (; printed_ < results_.size() && results_[printed_]; ++printed_) {
            text += ResultLines(lines_[printed_], *results_[printed_]);
            results_[printed_].reset();
        }
        if (text.empty()) return;
        progress_.Clear();
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

    const TBatchTally& Tally() const { return tally_; }

    int ExitStatus() const {
        if (notAConversion_) return ExitNotAConversion;
        return tally_.Failed ? ExitFailed : ExitCompleted;
    }

private:
    const std::vector<TManifestLine>& lines_;
    std::vector<std::optional<TConversionOutcome>> results_;
    size_t printed_ = 0;
    TBatchTally tally_;
    bool notAConversion_ = false;
    TBatchProgress& progress_;
};

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
// line); a signal sent to a worker alone still ends it.
void LeaveTerminalSignalsToTheBatch() {
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGTERM, SIG_DFL);
}

int ConvertLines(const std::vector<TManifestLine>& lines, size_t workers, const TConversionOptions& options) {
    std::vector<size_t> conversions;
    for (size_t i = 0; i < lines.size(); ++i)
        if (lines[i].Refused.empty()) conversions.push_back(i);
    TBatchProgress progress(conversions.size());
    TBatchResults results(lines, progress);
    for (size_t i = 0; i < lines.size(); ++i)
        if (!lines[i].Refused.empty()) results.Record(i, NotRun(TConversionStatus::NotAConversion, lines[i].Refused));
    CatchStopSignals();
    {
        // A worker converts a line as "pixmorph input code output" converts it, the units
        // being up already; its report is the conversion's outcome.
        TWorkerPool pool(std::min(workers, conversions.size()), [&lines, &options](size_t job) {
            LeaveTerminalSignalsToTheBatch();
            const TManifestLine& line = lines[job];
            return EncodeOutcome(RunConversion({line.Input, line.Code, line.Output}, options));
        });
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
                results.Record(index, OutcomeOf(report));
                ++done;
            }
            results.PrintReady();
            progress.Update(done);
        }
    }
    results.PrintReady();
    progress.Finish(results.Tally());
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
    if (RunReportingErrors([&] { lines = ParseManifest(ReadManifest(options->Manifest), options->FirstLine); })) {
        RefuseConflictingLines(lines);
        status = ConvertLines(lines, options->Workers, options->Conversion);
    }
    FinalizeUnits();
    return status;
}
