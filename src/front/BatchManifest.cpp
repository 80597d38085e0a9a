#include "front/BatchManifest.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>

#include "front/Main.h"
#include "platform/SysUtils.h"


namespace {

constexpr const char* MalformedMessage = "Malformed line: expected input, code and output separated by tabs.";
constexpr unsigned char Delete = 0x7F;

bool HoldsControlCharacter(const std::string& field) {
    return std::any_of(field.begin(), field.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < ' ' || byte == Delete;
    });
}

bool IsMalformed(const std::vector<std::string>& fields) {
    return fields.size() != 3 ||
           std::any_of(fields.begin(), fields.end(), [](const std::string& f) { return f.empty() || HoldsControlCharacter(f); });
}

// The file a path names, as one text for every spelling of it.
std::string FileIdentity(const std::string& argument) {
    const std::string path = PreparedPath(argument);
    std::error_code error;
    const std::filesystem::path named = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    return error ? path : named.string();
}

// Many lines may write a character device (/dev/null): it keeps no file to fight over.
bool IsSharedDevice(const std::string& identity) {
    struct stat info {};
    return ::stat(identity.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

void Refuse(TManifestLine& line, const std::string& why) {
    if (line.Refused.empty()) line.Refused = why;
}

std::string SharedOutput(const TManifestLine& line, const TManifestLine& other) {
    return "Output \"" + line.Output + "\" is also written by line " + std::to_string(other.LineNumber);
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
        if (IsMalformed(fields)) {
            entry.Refused = MalformedMessage;
            continue;
        }
        entry.Input = fields[0];
        entry.Code = fields[1];
        entry.Output = fields[2];
    }
    return lines;
}

void RefuseConflictingLines(std::vector<TManifestLine>& lines) {
    std::map<std::string, size_t> writers;  // the first line writing each file
    for (size_t i = 0; i < lines.size(); ++i) {
        // A line that converts nothing writes nothing; it fails on its own.
        if (!lines[i].Refused.empty() || !NamesAConversion(lines[i].Code)) continue;
        const std::string output = FileIdentity(lines[i].Output);
        if (IsSharedDevice(output)) continue;
        const auto [first, isFirst] = writers.emplace(output, i);
        if (isFirst) continue;
        TManifestLine& firstWriter = lines[first->second];
        Refuse(firstWriter, SharedOutput(firstWriter, lines[i]));
        Refuse(lines[i], SharedOutput(lines[i], firstWriter));
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].Input.empty() || !NamesAConversion(lines[i].Code)) continue;
        const auto writer = writers.find(FileIdentity(lines[i].Input));
        if (writer == writers.end()) continue;
        const TManifestLine& writing = lines[writer->second];
        if (writer->second == i) continue;  // a line reading its own output fails on its own, as its single call does
        Refuse(lines[i], "Input \"" + lines[i].Input + "\" is written by line " + std::to_string(writing.LineNumber));
        Refuse(lines[writer->second],
               "Output \"" + writing.Output + "\" is read by line " + std::to_string(lines[i].LineNumber));
    }
}
