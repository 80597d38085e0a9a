#pragma once

#include <string>
#include <vector>

#include "front/FileUtils.h"
#include "platform/SysUtils.h"

class TLinearBitmap;

// Codes from here up name an entry of the fixed table; the codes below convert through
// the codec registry, with the plug-ins loaded.
inline constexpr int FirstFixedCode = 100;

// The front end: one conversion per run, in two phases as the hidden main window ran them.
// The creation phase converts; the show phase deletes the input of a completed codec-path
// conversion and closes. Each phase's failure is reported once and ends only that phase.
class TMainForm {
public:
    // args: the command-line arguments without the program name.
    explicit TMainForm(std::vector<std::string> args) : args_(std::move(args)) {}

    void FormCreate();
    void FormShow();

    // 0: the conversion completed (with warnings when the input was damaged); 1: an error
    // was reported or the user cancelled; 2: not a conversion call.
    int ExitStatus() const { return exitStatus_; }

private:
    std::string Argument(size_t index) const;
    // A path argument with every "*" standing for a blank.
    std::string PreparedPath(size_t index) const;
    // false when the code text selects no entry of the fixed table.
    bool RunFixedCode(const std::string& code, const std::string& input, const std::string& output);
    // Whether a code of the fixed table deletes its input after a completed conversion.
    static bool FixedCodeDeletesInput(const std::string& code);
    template <class Action>
    void RunPhase(Action&& action);

    std::vector<std::string> args_;
    bool completed_ = false;
    bool damaged_ = false;  // a decoder read past damage: the input stays
    int exitStatus_ = 0;
};

// The codec path of the codes below 100: the input read by the codec of its extension,
// handed over through a platform bitmap, and written by the codec of the output's
// extension. The plug-ins are loaded first by the caller; the input stays.
void ConvertWithCodecs(const std::string& input, const std::string& output);

// Writes image through the codec of the output's extension.
void SaveWithCodecs(TLinearBitmap& image, const std::string& output, TAtomicOutput::OpenErrors errors);

// The whole program: start-up, both phases, and the exit status.
int RunApplication(int argc, char** argv);
