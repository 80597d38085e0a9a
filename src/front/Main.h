#pragma once

#include <optional>
#include <string>
#include <vector>

#include "front/ConversionOutcome.h"
#include "front/FileUtils.h"
#include "platform/SysUtils.h"

class TLinearBitmap;
struct TImageMetadata;

// The size of an image a conversion read.
struct TImageSize {
    int64_t Width = 0;
    int64_t Height = 0;
};

// Codes from here up name an entry of the fixed table; the codes below convert through
// the codec registry, with the plug-ins loaded.
inline constexpr int FirstFixedCode = 100;

// What a call asks of a conversion besides its three arguments.
struct TConversionOptions {
    // A conversion whose output could not hold all the input has fails instead, naming
    // what would be lost; nothing is written and the input stays.
    bool Strict = false;
    // An EXIF orientation is applied to the pixels of an output that cannot carry it.
    bool AutoOrient = false;
};

inline constexpr const char* StrictOption = "--strict";
inline constexpr const char* AutoOrientOption = "--auto-orient";

// Takes the options off the front of a call's arguments, as long as more than the three
// arguments of a conversion remain: the three-argument call is never read as options.
TConversionOptions TakeConversionOptions(std::vector<std::string>& args);

// The front end: one conversion per run, in two phases as the hidden main window ran them.
// The creation phase converts; the show phase deletes the input of a completed codec-path
// conversion and closes. A phase's failure ends only that phase; the outcome keeps the
// first one, and nothing is printed here.
class TMainForm {
public:
    // args: the command-line arguments without the program name.
    explicit TMainForm(std::vector<std::string> args, TConversionOptions options = {})
        : args_(std::move(args)), options_(options) {}

    void FormCreate();
    void FormShow();

    // Whether a code of the fixed table deletes its input after a completed conversion.
    static bool FixedCodeDeletesInput(const std::string& code);

    const TConversionOutcome& Outcome() const { return outcome_; }

private:
    std::string Argument(size_t index) const;
    // A path argument with every "*" standing for a blank.
    std::string PreparedPath(size_t index) const;
    // false when the code text selects no entry of the fixed table.
    bool RunFixedCode(const std::string& code, const std::string& input, const std::string& output);
    // The size of the image converted, into the outcome.
    void RecordSize(TImageSize size);
    // Records the warning of an input that a completed conversion could not delete.
    void KeepInputWarning(const std::optional<std::string>& warning);
    template <class Action>
    void RunPhase(Action&& action);

    // Runs the conversion of the code, with the codecs and the damage record of this
    // conversion alone.
    void Convert(int code);

    std::vector<std::string> args_;
    TConversionOptions options_;
    std::optional<int> code_;  // as the creation phase read it
    bool completed_ = false;
    bool damaged_ = false;  // a decoder read past damage: the input stays
    bool notAConversion_ = false;
    TConversionOutcome outcome_;
};

// A path argument with every "*" standing for a blank, as the call uses it.
std::string PreparedPath(std::string argument);

// Whether a call with this code converts anything: a number below 100, or a code of the
// fixed table as written there.
bool NamesAConversion(const std::string& code);

// Whether a conversion of the code deletes its input once it completes (unless damage
// read past keeps it).
bool ConversionDeletesInput(const std::string& code);

// One call of the program with these arguments (without the program name), the units
// being up: its outcome. Prints nothing (but see EndConversionsOverCpuLimitBySignal).
TConversionOutcome RunConversion(const std::vector<std::string>& args, const TConversionOptions& options = {});

// A conversion over PIXMORPH_MAX_SECONDS ends the process by SIGXCPU (a batch worker:
// the batch reports it) instead of reporting it and exiting with the failure status.
void EndConversionsOverCpuLimitBySignal();

// The codec path of the codes below 100: the input read by the codec of its extension,
// handed over through a platform bitmap with what the decoder found beside the pixels,
// and written by the codec of the output's extension. The plug-ins are loaded first by
// the caller; the input stays. Returns the size of the image converted and what the
// output could not hold (see TConversionOutcome::Lost); with options.Strict a conversion
// that would lose anything raises EConvertError naming it before anything is written.
struct TCodecConversion {
    TImageSize Size;
    std::vector<std::string> Lost;
};
TCodecConversion ConvertWithCodecs(const std::string& input, const std::string& output,
                                   const TConversionOptions& options = {});

// With options.Strict, raises EConvertError naming what would be lost, if anything.
void RefuseLossIfStrict(const std::vector<std::string>& lost, const TConversionOptions& options);

// What an output of outputExt cannot hold of a picture read from a file of inputExt with
// this metadata; orientated: its orientation was applied to the pixels.
std::vector<std::string> LostInConversion(const TImageMetadata& metadata, const std::string& inputExt,
                                          const std::string& outputExt, bool orientated);

// Writes image through the codec of the output's extension.
void SaveWithCodecs(TLinearBitmap& image, const std::string& output, TAtomicOutput::OpenErrors errors);

// The whole program: start-up, both phases, and the exit status.
int RunApplication(int argc, char** argv);
