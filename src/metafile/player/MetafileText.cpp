#include "metafile/player/MetafileText.h"

#include "platform/SysUtils.h"

namespace host {

namespace {

// Windows-1252 code points 0x80-0x9F; the rest of the code page is Latin-1.
const uint16_t Cp1252High[32] = {0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                 0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x8D,   0x017D, 0x8F,
                                 0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};

uint32_t symbolToUnicode(uint8_t c) {
    static const char16_t lower[] = u"\u03B1\u03B2\u03C7\u03B4\u03B5\u03C6\u03B3\u03B7\u03B9\u03D5\u03BA\u03BB\u03BC"
                                    u"\u03BD\u03BF\u03C0\u03B8\u03C1\u03C3\u03C4\u03C5\u03D6\u03C9\u03BE\u03C8\u03B6";
    static const char16_t upper[] = u"\u0391\u0392\u03A7\u0394\u0395\u03A6\u0393\u0397\u0399\u03D1\u039A\u039B\u039C"
                                    u"\u039D\u039F\u03A0\u0398\u03A1\u03A3\u03A4\u03A5\u03C2\u03A9\u039E\u03A8\u0396";
    if (c >= 'a' && c <= 'z') return lower[c - 'a'];
    if (c >= 'A' && c <= 'Z') return upper[c - 'A'];
    switch (c) {
        case 0x2D: return 0x2212;
        case 0xA3: return 0x2264;
        case 0xA5: return 0x221E;
        case 0xAE: return 0x2192;
        case 0xB1: return 0x00B1;
        case 0xB3: return 0x2265;
        case 0xB4: return 0x00D7;
        case 0xB6: return 0x2202;
        case 0xB9: return 0x2260;
        case 0xBB: return 0x2248;
        case 0xD6: return 0x221A;
        case 0xE5: return 0x2211;
        case 0xF2: return 0x222B;
        default: return c;
    }
}

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

}  // namespace

uint32_t AnsiToUnicode(uint8_t c, int charset) {
    if (charset == SYMBOL_CHARSET) return symbolToUnicode(c);
    return c >= 0x80 && c < 0xA0 ? Cp1252High[c - 0x80] : c;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x20) cp = ' ';
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | cp >> 18);
        out += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

const char* FontFamily(const std::string& face) {
    const std::string upper = UpperCase(face);
    for (const char* mono : {"COURIER", "MONO", "FIXED", "CONSOL"})
        if (contains(upper, mono)) return "DejaVu Sans Mono";
    for (const char* serif : {"TIMES", "SERIF", "ROMAN", "GEORGIA", "GARAMOND", "BOOK", "SYMBOL"})
        if (contains(upper, serif)) return "DejaVu Serif";
    return "DejaVu Sans";
}

}  // namespace host
