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

void ReportCurrentError() {
    if (const auto text = CurrentErrorText()) host::ShowErrorBox(ApplicationTitle, *text);
}

void LoadProgramPlugins() {
    // Once per process: a batch worker converts many times from one scan of the folder.
    static bool loaded = false;
    if (!std::exchange(loaded, true)) ImageDLLLoader().LoadPlugins(ProgramDir, nullptr, nullptr);
}
