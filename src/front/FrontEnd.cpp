#include "front/FrontEnd.h"

#include <cstdio>
#include <new>
#include <utility>

#include "front/FileUtils.h"
#include "platform/Exceptions.h"
#include "platform/MessageBox.h"
#include "plugins/ImageDLLLoader.h"

namespace {

constexpr const char* OutOfMemoryMessage = "Out of memory";
constexpr unsigned char Delete = 0x7F;
// C1 control characters in UTF-8: 0xC2 followed by 0x80 to 0x9F.
constexpr unsigned char C1Lead = 0xC2;
constexpr unsigned char C1First = 0x80;
constexpr unsigned char C1Last = 0x9F;

bool isLineBreak(char c) { return c == '\r' || c == '\n'; }

bool isC1(const std::string& text, size_t at) {
    return static_cast<unsigned char>(text[at]) == C1Lead && at + 1 < text.size() &&
           static_cast<unsigned char>(text[at + 1]) >= C1First && static_cast<unsigned char>(text[at + 1]) <= C1Last;
}

bool asksForHelp(const std::vector<std::string>& args) {
    return args.size() == 1 && (args[0] == "--help" || args[0] == "-h");
}

bool asksForVersion(const std::vector<std::string>& args) { return args.size() == 1 && args[0] == "--version"; }

void printHelp(const TCommandLineRules& rules) {
    std::printf("%s\n", rules.UsageLine);
    if (rules.HelpDetails) std::printf("\n%s", rules.HelpDetails);
}

}  // namespace

std::vector<std::string> CommandLineArguments(int argc, char** argv) { return {argv + 1, argv + argc}; }

std::optional<int> AnswerCommandLine(const TCommandLineRules& rules, const std::vector<std::string>& args) {
    if (asksForHelp(args)) {
        printHelp(rules);
        return ExitCompleted;
    }
    if (asksForVersion(args)) {
        std::printf("%s %s\n", rules.ProgramName, PIXMORPH_VERSION);
        return ExitCompleted;
    }
    if (args.size() != rules.ArgumentCount) {
        std::fprintf(stderr, "%s\n", rules.UsageLine);
        return ExitNotAConversion;
    }
    return std::nullopt;
}

std::string MessageBoxText(const std::string& message) {
    if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
    return message;
}

std::optional<std::string> CurrentErrorText() {
    try {
        throw;
    } catch (const EAbort&) {
        // A silent abort (a cancelled dialog) reports nothing.
        return std::nullopt;
    } catch (const Exception& e) {
        return MessageBoxText(e.Message());
    } catch (const std::bad_alloc&) {
        return MessageBoxText(OutOfMemoryMessage);
    } catch (const std::exception& e) {
        return MessageBoxText(e.what());
    }
}

std::string PrintableText(const std::string& text) {
    std::string printable;
    bool pendingBreak = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (isLineBreak(text[i])) {
            pendingBreak = !printable.empty();
            continue;
        }
        if (pendingBreak) printable += ' ';
        pendingBreak = false;
        if (isC1(text, i)) {
            printable += Format("\\x%02x", static_cast<unsigned char>(text[++i]));
        } else if (c < ' ' || c == Delete) {
            printable += Format("\\x%02x", c);
        } else {
            printable += text[i];
        }
    }
    return printable;
}

void PrintReport(const std::string& text) { host::ShowErrorBox(ApplicationTitle, PrintableText(text)); }

void ReportCurrentError() {
    if (const auto text = CurrentErrorText()) PrintReport(*text);
}

const std::vector<std::string>& LoadProgramPlugins() {
    // Once per process: a batch worker converts many times from one scan of the folder.
    static bool loaded = false;
    if (!std::exchange(loaded, true)) ImageDLLLoader().LoadPlugins(ProgramDir, nullptr, nullptr);
    return ImageDLLLoader().Warnings;
}
