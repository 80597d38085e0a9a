// Arbitrary bytes as the text of a small enhanced metafile: the input chooses the picture's
// size, the font (height, width, escapement, weight, flags), a world transform, the text
// alignment and background, and then one text record after another (ExtTextOut or
// PolyTextOut, with or without advances, a rectangle and its options) whose characters
// come from the input too. Byte-level fuzzing of whole metafiles seldom builds a font and
// a text record that agree; this target reaches the glyph paths of the player every time.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/WMFLoader.h"
#include "fuzz/FuzzBounds.h"
#include "fuzz/FuzzLoad.h"
#include "metafile/MetafileRecordTypes.h"

namespace {

// Reads the input front to back; past its end every value is zero.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint32_t u32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t{byte()} << (8 * i);
        return v;
    }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool more() const { return at_ < size_; }

private:
    const uint8_t* data_;
    size_t size_, at_ = 0;
};

class Records {
public:
    void add(const std::vector<uint32_t>& fields, const std::vector<uint8_t>& tail = {}) {
        const size_t start = bytes_.size();
        for (uint32_t v : fields) put(v);
        bytes_.insert(bytes_.end(), tail.begin(), tail.end());
        while (bytes_.size() % 4) bytes_.push_back(0);
        const auto length = static_cast<uint32_t>(bytes_.size() - start);
        std::memcpy(bytes_.data() + start + 4, &length, 4);
        ++count_;
    }
    // The whole file: header, records, end.
    std::vector<uint8_t> file(int32_t width, int32_t height) {
        add({host::EMR_EOF, 0, 0, 16, 20});
        Records head;
        head.add({host::EMR_HEADER, 0, 0, 0, static_cast<uint32_t>(width - 1), static_cast<uint32_t>(height - 1), 0, 0,
                  static_cast<uint32_t>(width * 2540 / 96), static_cast<uint32_t>(height * 2540 / 96), 0x464D4520,
                  0x10000, 0, count_ + 1, 4, 0, 0, 0, 960, 960, 254, 254});
        std::vector<uint8_t> out = head.bytes_;
        out.insert(out.end(), bytes_.begin(), bytes_.end());
        const auto total = static_cast<uint32_t>(out.size());
        std::memcpy(out.data() + 48, &total, 4);
        return out;
    }

private:
    void put(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    std::vector<uint8_t> bytes_;
    uint32_t count_ = 0;
};

constexpr int MaxTextRecords = 8;
constexpr uint32_t MaxCharacters = 64;

// One EMRTEXT (40 bytes) whose string and advances follow at stringAt within its record.
std::vector<uint32_t> emrText(Input& in, uint32_t count, uint32_t stringAt, bool advances) {
    const uint32_t x = in.u32(), y = in.u32(), options = in.u16();
    const uint32_t dxAt = advances ? stringAt + (count * 2 + 3) / 4 * 4 : 0;
    return {x, y, count, stringAt, options, in.u32(), in.u32(), in.u32(), in.u32(), dxAt};
}

std::vector<uint8_t> textTail(Input& in, uint32_t count, bool advances) {
    std::vector<uint8_t> tail;
    for (uint32_t i = 0; i < count; ++i) {
        const uint16_t c = in.u16();
        tail.push_back(static_cast<uint8_t>(c)), tail.push_back(static_cast<uint8_t>(c >> 8));
    }
    while (tail.size() % 4) tail.push_back(0);
    if (advances)
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t dx = static_cast<int8_t>(in.byte()) * 64;
            for (int b = 0; b < 4; ++b) tail.push_back(static_cast<uint8_t>(dx >> (8 * b)));
        }
    return tail;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TWMFLoader codec;
    UseUserImageLimit();
    Input in(data, size);
    const int32_t width = 1 + in.byte() % 200, height = 1 + in.byte() % 200;
    Records records;
    // The font: height, width, escapement, orientation, weight, then italic, underline,
    // strike-out and character set, and a face the input picks from three.
    std::vector<uint8_t> face(64, 0);
    const char* faces[] = {"Arial", "Courier New", "Times New Roman"};
    const char* name = faces[in.byte() % 3];
    for (size_t i = 0; name[i]; ++i) face[2 * i] = static_cast<uint8_t>(name[i]);
    std::vector<uint32_t> font = {host::EMR_EXTCREATEFONTINDIRECTW, 0, 1, in.u32(), in.u32(), in.u32(), in.u32(),
                                  in.u32(), in.u32(), 0};
    std::vector<uint8_t> fontTail = face;
    records.add(font, fontTail);
    records.add({host::EMR_SELECTOBJECT, 0, 1});
    records.add({host::EMR_SETTEXTALIGN, 0, static_cast<uint32_t>(in.byte() & 0x1F)});
    records.add({host::EMR_SETBKMODE, 0, static_cast<uint32_t>(1 + (in.byte() & 1))});
    if (in.byte() & 1) {
        // A world transform of six floats taken as they come.
        std::vector<uint32_t> transform = {host::EMR_SETWORLDTRANSFORM, 0};
        for (int i = 0; i < 6; ++i) transform.push_back(in.u32());
        records.add(transform);
    }
    if (in.byte() & 1) records.add({host::EMR_INTERSECTCLIPRECT, 0, in.u32(), in.u32(), in.u32(), in.u32()});
    for (int r = 0; r < MaxTextRecords && in.more(); ++r) {
        const uint8_t kind = in.byte();
        const bool advances = kind & 2;
        if (kind & 1) {
            // PolyTextOut of up to four strings, their texts after the EMRTEXT array.
            const uint32_t strings = 1 + (kind >> 2 & 3);
            std::vector<uint32_t> fields = {host::EMR_POLYTEXTOUTW, 0, 0, 0, 0, 0, 1, 0, 0, strings};
            std::vector<uint8_t> tail;
            uint32_t at = 40 + 40 * strings;
            for (uint32_t s = 0; s < strings; ++s) {
                const uint32_t count = in.byte() % MaxCharacters;
                const std::vector<uint32_t> text = emrText(in, count, at, advances);
                fields.insert(fields.end(), text.begin(), text.end());
                const std::vector<uint8_t> t = textTail(in, count, advances);
                tail.insert(tail.end(), t.begin(), t.end());
                at += static_cast<uint32_t>(t.size());
            }
            records.add(fields, tail);
        } else {
            const uint32_t count = in.byte() % MaxCharacters;
            std::vector<uint32_t> fields = {host::EMR_EXTTEXTOUTW, 0, 0, 0, 0, 0, 1, 0, 0};
            const std::vector<uint32_t> text = emrText(in, count, 76, advances);
            fields.insert(fields.end(), text.begin(), text.end());
            records.add(fields, textTail(in, count, advances));
        }
    }
    const std::vector<uint8_t> file = records.file(width, height);
    return FuzzLoad(codec, "EMF", file.data(), file.size());
}
