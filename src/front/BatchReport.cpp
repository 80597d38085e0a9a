#include "front/BatchReport.h"

#include <optional>
#include <string_view>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/SysUtils.h"

namespace {

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at text[at], 0 when the byte there starts none
// (overlong forms, surrogates and values past U+10FFFF are not valid).
size_t Utf8SequenceAt(const std::string& text, size_t at) {
    const auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0; };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < length; ++i)
        if (!IsContinuation(byte(i))) return 0;
    return length;
}

std::string NumberOrNull(int64_t value) { return value < 0 ? "null" : std::to_string(value); }

std::string TextOrNull(const std::string& text) { return text.empty() ? "null" : JsonString(text); }

const char* StatusName(TLineStatus status) {
    switch (status) {
        case TLineStatus::Ok: return "ok";
        case TLineStatus::Skipped: return "skipped";
        default: return "error";
    }
}

void AppendUtf8(std::string& text, uint32_t code) {
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xC0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xE0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        text += static_cast<char>(0xF0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        text += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// The members of one JSON results object: strings decoded, numbers and literals as
// written, a list as "[]" (none is read back). Only the flat objects this program writes
// are read: anything nested, or any syntax error, makes it no object.
class TFlatJsonReader {
public:
    explicit TFlatJsonReader(const std::string& text) : text_(text) {}

    bool Read(std::map<std::string, std::string>& members) {
        Blanks();
        if (!Take('{')) return false;
        Blanks();
        if (Take('}')) return AtEnd();
        for (;;) {
            std::string name, value;
            Blanks();
            if (!String(name)) return false;
            Blanks();
            if (!Take(':')) return false;
            Blanks();
            if (!Value(value)) return false;
            members[name] = value;
            Blanks();
            if (Take('}')) return AtEnd();
            if (!Take(',')) return false;
        }
    }

private:
    bool AtEnd() {
        Blanks();
        return at_ == text_.size();
    }
    void Blanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' || text_[at_] == '\r')) ++at_;
    }
    bool Take(char c) {
        if (at_ >= text_.size() || text_[at_] != c) return false;
        ++at_;
        return true;
    }
    bool Hex4(uint32_t& code) {
        if (text_.size() - at_ < 4) return false;
        code = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
            if (digit < 0) return false;
            code = code * 16 + static_cast<uint32_t>(digit);
        }
        return true;
    }
    bool String(std::string& out) {
        if (!Take('"')) return false;
        while (at_ < text_.size()) {
            const char c = text_[at_++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < ' ') return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) return false;
            const char escaped = text_[at_++];
            switch (escaped) {
                case '"': case '\\': case '/': out += escaped; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    uint32_t code = 0;
                    if (!Hex4(code)) return false;
                    if (code >= 0xD800 && code <= 0xDBFF) {
                        uint32_t low = 0;
                        if (!Take('\\') || !Take('u') || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    }
                    // This program escapes a byte outside valid UTF-8 as its value below 256.
                    if (code < 0x100)
                        out += static_cast<char>(code);
                    else
                        AppendUtf8(out, code);
                    break;
                }
                default: return false;
            }
        }
        return false;
    }
    bool Value(std::string& out) {
        if (at_ < text_.size() && text_[at_] == '"') return String(out);
        if (Take('[')) {
            // A list of strings (the warnings): read past, never nested.
            Blanks();
            if (Take(']')) return (out = "[]", true);
            for (;;) {
                std::string item;
                Blanks();
                if (!String(item)) return false;
                Blanks();
                if (Take(']')) return (out = "[]", true);
                if (!Take(',')) return false;
            }
        }
        const size_t start = at_;
        while (at_ < text_.size() && std::string_view("-+.0123456789eEtruefalsn").find(text_[at_]) != std::string::npos) ++at_;
        out = text_.substr(start, at_ - start);
        return !out.empty();
    }

    const std::string& text_;
    size_t at_ = 0;
};

std::optional<long> LineNumber(const std::string& text) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) return {};
    return std::stol(text);
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = Utf8SequenceAt(text, i);
        if (length == 0) {
            json += Format("\\u%04x", c);
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c == '\n') {
            json += "\\n";
        } else if (c == '\t') {
            json += "\\t";
        } else if (c < ' ' || c == 0x7F) {
            json += Format("\\u%04x", c);
        } else {
            json.append(text, i, length);
        }
        i += length;
    }
    return json + "\"";
}

std::string JsonResultLine(const TManifestLine& line, TLineStatus status, const TConversionOutcome& outcome) {
    std::string warnings, lost;
    for (const std::string& warning : outcome.Warnings) warnings += (warnings.empty() ? "" : ",") + JsonString(warning);
    for (const std::string& what : outcome.Lost) lost += (lost.empty() ? "" : ",") + JsonString(what);
    std::string message = "null";
    if (status == TLineStatus::Error) {
        message = outcome.Error.empty() ? Format("\"exit status %d without a message\"", outcome.ExitStatus())
                                        : JsonString(outcome.Error);
    }
    return "{\"line\":" + std::to_string(line.LineNumber) + ",\"input\":" + TextOrNull(line.Input) +
           ",\"code\":" + TextOrNull(line.Code) + ",\"output\":" + TextOrNull(line.Output) + ",\"status\":\"" +
           StatusName(status) + "\",\"warnings\":[" + warnings + "],\"message\":" + message +
           ",\"width\":" + NumberOrNull(outcome.Width) + ",\"height\":" + NumberOrNull(outcome.Height) +
           ",\"bytes\":" + NumberOrNull(outcome.Bytes) + ",\"ms\":" + NumberOrNull(outcome.Ms) + ",\"lost\":[" + lost + "]}\n";
}

std::string JsonSummaryLine(const TLineCounts& counts, int64_t ms) {
    return "{\"summary\":true,\"lines\":" + std::to_string(counts.Lines) + ",\"ok\":" + std::to_string(counts.Ok) +
           ",\"error\":" + std::to_string(counts.Errors) + ",\"skipped\":" + std::to_string(counts.Skipped) +
           ",\"with_warnings\":" + std::to_string(counts.Warned) + ",\"ms\":" + std::to_string(ms) + "}\n";
}

std::map<long, TFinishedLine> FinishedLines(const std::string& results) {
    std::map<long, TFinishedLine> finished;
    std::vector<std::string> lines = SplitAt(results, '\n');
    lines.pop_back();  // after the last line end: nothing, or a line cut short
    for (const std::string& text : lines) {
        if (!text.empty() && text[0] == '{') {
            std::map<std::string, std::string> members;
            if (!TFlatJsonReader(text).Read(members)) continue;
            const std::optional<long> number = LineNumber(members["line"]);
            const std::string& status = members["status"];
            if (number && (status == "ok" || status == "skipped") && members.count("output"))
                finished[*number] = {members["output"], false};
            continue;
        }
        const std::vector<std::string> fields = SplitAt(text, '\t');
        if (fields.size() != 3) continue;
        const std::optional<long> number = LineNumber(fields[0]);
        if (number && (fields[1] == "ok" || fields[1] == "skipped")) finished[*number] = {fields[2], true};
    }
    return finished;
}
