#include "front/Batch.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "front/BatchProgress.h"
#include "front/BatchWorkers.h"
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
    "usage: pixmorph --batch [-j N] [--first-line N] <manifest>   (a file, or - for standard input)";
const char* const HelpDetails =
    "Each manifest line is input<TAB>code<TAB>output, converted as \"pixmorph input code output\" would;\n"
    "empty lines and lines starting with # are skipped. One result line per manifest line on\n"
    "standard output, in manifest order: N<TAB>ok<TAB>output, N<TAB>warning<TAB>message before\n"
    "its ok, or N<TAB>error<TAB>message.\n"
    "  -j N            N worker processes (default: the number of cores)\n"
    "  --first-line N  number the manifest's first line N (for a chunk of a larger manifest)\n";

// How a call's reports begin on standard error: the report's caption, and the plug-in
// loader's warnings after it.
const std::string ReportPrefix = std::string(ApplicationTitle) + ": ";
const std::string WarningPrefix = ReportPrefix + "warning: ";
constexpr const char* MalformedMessage = "Malformed line: expected input, code and output separated by tabs.";
constexpr int ProgressIntervalMs = 100;
constexpr int64_t ManifestBlockSize = 1 << 16;

struct TBatchOptions {
    size_t Workers = static_cast<size_t>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN)));
    long FirstLine = 1;
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

std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t end; (end = text.find(separator, start)) != std::string::npos; start = end + 1)
        parts.push_back(text.substr(start, end - start));
    parts.push_back(text.substr(start));
    return parts;
}

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

// The reports a conversion printed, one per "Pixmorph: " line; a line without the prefix
// continues the report before it (a message with a line break), or stands as a warning.
struct TPrintedReports {
    std::vector<std::string> Warnings, Errors;
};

TPrintedReports SortReports(const std::string& printed) {
    TPrintedReports reports;
    std::string* last = nullptr;
    for (std::string text : SplitAt(printed, '\n')) {
        if (text.empty()) continue;
        // A tab in a message would split its result line.
        std::replace(text.begin(), text.end(), '\t', ' ');
        if (StartsWith(text, WarningPrefix)) {
            last = &reports.Warnings.emplace_back(text.substr(WarningPrefix.size()));
        } else if (StartsWith(text, ReportPrefix)) {
            last = &reports.Errors.emplace_back(text.substr(ReportPrefix.size()));
        } else if (last) {
            *last += " " + text;
        } else {
            last = &reports.Warnings.emplace_back(text);
        }
    }
    return reports;
}

// The distinct reports in their order, joined: a failure reported by both phases of a
// call shows once.
std::string JoinedDistinct(const std::vector<std::string>& reports) {
    std::string joined;
    for (size_t i = 0; i < reports.size(); ++i) {
        if (std::find(reports.begin(), reports.begin() + i, reports[i]) != reports.begin() + i) continue;
        joined += (joined.empty() ? "" : " ") + reports[i];
    }
    return joined;
}

std::string ResultLine(long lineNumber, const char* kind, const std::string& text) {
    return std::to_string(lineNumber) + "\t" + kind + "\t" + text + "\n";
}

// Runs manifest lines in a worker as "pixmorph input code output" runs them, the units
// being up already. The plug-ins are loaded once per worker, before its first conversion
// that uses them; what loading printed is printed again for each such conversion, as each
// separate call would print it.
class TLineConverter {
public:
    explicit TLineConverter(const std::vector<TManifestLine>& lines) : lines_(&lines) {}

    int operator()(size_t index) {
        const TManifestLine& line = (*lines_)[index];
        if (UsesPlugins(line.Code)) std::fputs(PluginLoadMessages().c_str(), stderr);
        TMainForm form({line.Input, line.Code, line.Output});
        form.FormCreate();
        form.FormShow();
        return form.ExitStatus();
    }

private:
    static bool UsesPlugins(const std::string& code) {
        int value = 0;
        return TryStrToInt(code, value) && value < FirstFixedCode;
    }

    const std::string& PluginLoadMessages() {
        if (!pluginLoadMessages_) {
            TCapturedOutput capture;
            LoadProgramPlugins();
            pluginLoadMessages_ = capture.Take();
        }
        return *pluginLoadMessages_;
    }

    const std::vector<TManifestLine>* lines_;
    std::optional<std::string> pluginLoadMessages_;
};

// The result lines of a batch, printed in the manifest's order as soon as every line
// before them has its result.
class TBatchResults {
public:
    explicit TBatchResults(size_t count) : results_(count) {}

    void Record(size_t index, TLineResult result) {
        if (result.Failed)
            ++tally_.Failed;
        else
            ++tally_.Converted;
        if (result.HasWarnings) ++tally_.Warnings;
        notAConversion_ = notAConversion_ || result.NotAConversion;
        results_[index] = std::move(result);
    }

    void PrintReady() {
        const size_t before = printed_;
        for (; printed_ < results_.size() && results_[printed_]; ++printed_) {
            std::fputs(results_[printed_]->Text.c_str(), stdout);
            results_[printed_].reset();
        }
        if (printed_ != before) std::fflush(stdout);
    }

    const TBatchTally& Tally() const { return tally_; }

    int ExitStatus() const {
        if (notAConversion_) return ExitNotAConversion;
        return tally_.Failed ? ExitFailed : ExitCompleted;
    }

private:
    std::vector<std::optional<TLineResult>> results_;
    size_t printed_ = 0;
    TBatchTally tally_;
    bool notAConversion_ = false;
};

int ConvertLines(const std::vector<TManifestLine>& lines, size_t workers) {
    TBatchResults results(lines.size());
    std::vector<size_t> conversions;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].Malformed.empty())
            conversions.push_back(i);
        else
            results.Record(i, LineResult(lines[i], {}));
    }
    TBatchProgress progress(conversions.size());
    {
        TWorkerPool pool(std::min(workers, conversions.size()), TLineConverter(lines));
        size_t started = 0, done = 0;
        while (started < conversions.size() || pool.Busy()) {
            while (started < conversions.size() && pool.CanStart()) pool.Start(conversions[started++]);
            for (auto& [index, report] : pool.Collect(progress.Shown() ? ProgressIntervalMs : -1)) {
                results.Record(index, LineResult(lines[index], report));
                ++done;
            }
            results.PrintReady();
            progress.Update(done);
        }
    }
    results.PrintReady();
    progress.Finish(results.Tally());
    return results.ExitStatus();
}

}  // namespace

std::vector<TManifestLine> ParseManifest(const std::string& text, long firstLine) {
    std::vector<TManifestLine> lines;
    long lineNumber = firstLine;
    for (std::string line : SplitAt(text, '\n')) {
        const long number = lineNumber++;
        // A manifest written with CR LF line ends reads as one written with LF.
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> fields = SplitAt(line, '\t');
        TManifestLine& entry = lines.emplace_back();
        entry.LineNumber = number;
        if (fields.size() != 3 || std::find(fields.begin(), fields.end(), "") != fields.end()) {
            entry.Malformed = MalformedMessage;
            continue;
        }
        entry.Input = fields[0];
        entry.Code = fields[1];
        entry.Output = fields[2];
    }
    return lines;
}

TLineResult LineResult(const TManifestLine& line, const TJobReport& report) {
    TLineResult result;
    if (!line.Malformed.empty()) {
        result.Failed = result.NotAConversion = true;
        result.Text = ResultLine(line.LineNumber, "error", line.Malformed);
        return result;
    }
    TPrintedReports reports = SortReports(report.Printed);
    result.Failed = report.Crash || report.ExitStatus != ExitCompleted;
    result.NotAConversion = !report.Crash && report.ExitStatus == ExitNotAConversion;
    // A completed call printed no report of failure, and a crash is the failure whatever
    // was reported before it: what they printed warns.
    if (!result.Failed || report.Crash)
        reports.Warnings.insert(reports.Warnings.end(), reports.Errors.begin(), reports.Errors.end());
    result.HasWarnings = !reports.Warnings.empty();
    for (const std::string& warning : reports.Warnings)
        result.Text += ResultLine(line.LineNumber, "warning", warning);
    if (!result.Failed) {
        result.Text += ResultLine(line.LineNumber, "ok", line.Output);
        return result;
    }
    std::string message = report.Crash ? *report.Crash : JoinedDistinct(reports.Errors);
    if (message.empty()) message = Format("exit status %d without a message", report.ExitStatus);
    result.Text += ResultLine(line.LineNumber, "error", message);
    return result;
}

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
    if (RunReportingErrors([&] { lines = ParseManifest(ReadManifest(options->Manifest), options->FirstLine); }))
        status = ConvertLines(lines, options->Workers);
    FinalizeUnits();
    return status;
}
