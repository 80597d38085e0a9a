#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How one conversion ended, as a value: the code that converts produces it once; the
// single call prints it, a batch worker sends it to the batch as data.
enum class TConversionStatus : int32_t {
    Completed = 0,       // perhaps with warnings
    Failed = 1,          // Error says why
    Cancelled = 2,       // the user cancelled a dialog: nothing to say
    NotAConversion = 3,  // a code that no conversion has (Error says so)
};

struct TConversionOutcome {
    TConversionStatus Status = TConversionStatus::Completed;
    // In the order they arose: plug-ins not loaded, damage read past, an input left behind.
    std::vector<std::string> Warnings;
    // The report of a failure, as shown (see MessageBoxText).
    std::string Error;
    // What the output of a completed conversion could not hold of the input, by name
    // ("alpha", "frames", "depth", "profile", "orientation", "colours"), in that order.
    std::vector<std::string> Lost;

    // What the conversion handled, -1 where it has no such thing: the size of the image
    // converted (none for the byte codes), the bytes of the output written (none for a
    // device or a pipe, or when nothing was written), the wall-clock milliseconds spent.
    int64_t Width = -1;
    int64_t Height = -1;
    int64_t Bytes = -1;
    int64_t Ms = -1;

    // 0 completed, 1 failed or cancelled, 2 not a conversion.
    int ExitStatus() const;
    bool Succeeded() const { return Status == TConversionStatus::Completed; }

    // Records a failure; a conversion reports its first failure only.
    void Fail(TConversionStatus status, std::string error);
    void Warn(const std::string& warning);
};

// Prints the outcome as the single call reports it: "Pixmorph: warning: <text>" for each
// warning, then "Pixmorph: <error>"; nothing else.
void PrintOutcome(const TConversionOutcome& outcome);

// The outcome as bytes and back, for the channel between a batch worker and the batch.
std::string EncodeOutcome(const TConversionOutcome& outcome);
// Nothing when the bytes are not a whole outcome.
std::optional<TConversionOutcome> DecodeOutcome(const std::string& bytes);
