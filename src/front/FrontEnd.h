#pragma once

#include <optional>
#include <string>
#include <vector>

// What pixmorph and pixmorph-open share: the command line's fixed answers (help, version,
// a wrong number of arguments), the exit statuses and the one report of a failure.

inline constexpr int ExitCompleted = 0;
inline constexpr int ExitFailed = 1;
// A call the program does not run: the wrong number of arguments, or an unknown code.
inline constexpr int ExitNotAConversion = 2;

// The caption of every report.
inline constexpr const char* ApplicationTitle = "Pixmorph";

// How one program is called.
struct TCommandLineRules {
    const char* ProgramName;  // "--version" prints it before the version number
    const char* UsageLine;    // "--help" prints it on standard output, a wrong call on standard error
    const char* HelpDetails;  // printed after the usage line and a blank line; null for none
    size_t ArgumentCount;     // the arguments of a call to run
};

// The command line without the program name.
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Answers "--help" (or "-h") and "--version", and refuses any other argument count than
// the rules' with the usage line. The exit status when the command line was answered so;
// nothing when it is a call to run.
std::optional<int> AnswerCommandLine(const TCommandLineRules& rules, const std::vector<std::string>& args);

// The report text of a message: a "." is added when the last character sorts after ".".
std::string MessageBoxText(const std::string& message);

// Called inside a catch block: the report text of the exception being handled, nothing
// for a silent abort. An exception of no known family goes on.
std::optional<std::string> CurrentErrorText();

// text as it may reach a terminal: a run of line breaks becomes one blank, every other
// control character (C0, DEL, and C1 written in UTF-8) is shown as "\xNN", so that text
// taken from a file can neither split a report nor drive the terminal.
std::string PrintableText(const std::string& text);

// The one place where both programs print: "Pixmorph: <text>" on standard error, as
// PrintableText.
void PrintReport(const std::string& text);

// Called inside a catch block: reports the exception being handled once, as CurrentErrorText.
void ReportCurrentError();

// Runs action; whatever it raises is reported once. false when it raised.
template <class Action>
bool RunReportingErrors(Action&& action) {
    try {
        action();
        return true;
    } catch (...) {
        ReportCurrentError();
        return false;
    }
}

// The image plug-ins of the program's own directory, loaded before a conversion that
// reads or writes through the codec registry; later calls load nothing. What loading
// warned of, which every conversion through the registry reports, as each separate call
// of the program would.
const std::vector<std::string>& LoadProgramPlugins();
