#include "front/ConversionOutcome.h"

#include <cstring>

#include "front/FrontEnd.h"

namespace {

constexpr const char* WarningPrefix = "warning: ";

// The encoding: little fields in the machine's order (both ends are this program),
// strings as their length and bytes.
class TOutcomeWriter {
public:
    void Number(int64_t value) { bytes_.append(reinterpret_cast<const char*>(&value), sizeof value); }
    void Text(const std::string& text) {
        Number(static_cast<int64_t>(text.size()));
        bytes_ += text;
    }
    std::string Take() { return std::move(bytes_); }

private:
    std::string bytes_;
};

class TOutcomeReader {
public:
    explicit TOutcomeReader(const std::string& bytes) : bytes_(bytes) {}
    bool Number(int64_t& value) {
        if (bytes_.size() - at_ < sizeof value) return false;
        std::memcpy(&value, bytes_.data() + at_, sizeof value);
        at_ += sizeof value;
        return true;
    }
    bool Text(std::string& text) {
        int64_t size = 0;
        if (!Number(size) || size < 0 || static_cast<uint64_t>(size) > bytes_.size() - at_) return false;
        text.assign(bytes_, at_, static_cast<size_t>(size));
        at_ += static_cast<size_t>(size);
        return true;
    }
    bool AtEnd() const { return at_ == bytes_.size(); }

private:
    const std::string& bytes_;
    size_t at_ = 0;
};

}  // namespace

int TConversionOutcome::ExitStatus() const {
    switch (Status) {
        case TConversionStatus::Completed: return ExitCompleted;
        case TConversionStatus::NotAConversion: return ExitNotAConversion;
        default: return ExitFailed;
    }
}

void TConversionOutcome::Fail(TConversionStatus status, std::string error) {
    if (!Succeeded()) return;
    Status = status;
    Error = std::move(error);
}

void TConversionOutcome::Warn(const std::string& warning) { Warnings.push_back(warning); }

void PrintOutcome(const TConversionOutcome& outcome) {
    for (const std::string& warning : outcome.Warnings) PrintReport(WarningPrefix + warning);
    if (!outcome.Succeeded() && !outcome.Error.empty()) PrintReport(outcome.Error);
}

std::string EncodeOutcome(const TConversionOutcome& outcome) {
    TOutcomeWriter writer;
    writer.Number(static_cast<int64_t>(outcome.Status));
    writer.Text(outcome.Error);
    writer.Number(static_cast<int64_t>(outcome.Warnings.size()));
    for (const std::string& warning : outcome.Warnings) writer.Text(warning);
    writer.Number(static_cast<int64_t>(outcome.Lost.size()));
    for (const std::string& what : outcome.Lost) writer.Text(what);
    for (int64_t measure : {outcome.Width, outcome.Height, outcome.Bytes, outcome.Ms}) writer.Number(measure);
    return writer.Take();
}

std::optional<TConversionOutcome> DecodeOutcome(const std::string& bytes) {
    TOutcomeReader reader(bytes);
    TConversionOutcome outcome;
    int64_t status = 0, warnings = 0;
    if (!reader.Number(status) || status < 0 || status > static_cast<int64_t>(TConversionStatus::NotAConversion) ||
        !reader.Text(outcome.Error) || !reader.Number(warnings) || warnings < 0)
        return std::nullopt;
    outcome.Status = static_cast<TConversionStatus>(status);
    for (int64_t i = 0; i < warnings; ++i)
        if (!reader.Text(outcome.Warnings.emplace_back())) return std::nullopt;
    int64_t lost = 0;
    if (!reader.Number(lost) || lost < 0) return std::nullopt;
    for (int64_t i = 0; i < lost; ++i)
        if (!reader.Text(outcome.Lost.emplace_back())) return std::nullopt;
    for (int64_t* measure : {&outcome.Width, &outcome.Height, &outcome.Bytes, &outcome.Ms})
        if (!reader.Number(*measure) || *measure < -1) return std::nullopt;
    if (!reader.AtEnd()) return std::nullopt;
    return outcome;
}
