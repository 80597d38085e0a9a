#include "image/ImageMetadata.h"

#include "platform/ByteOrder.h"

namespace {

constexpr uint16_t OrientationTag = 0x0112;
constexpr uint16_t TypeShort = 3;
constexpr size_t IfdEntryBytes = 12;

class TTiffReader {
public:
    TTiffReader(const uint8_t* bytes, size_t size, bool bigEndian) : bytes_(bytes), size_(size), big_(bigEndian) {}
    bool Has(size_t at, size_t count) const { return at <= size_ && count <= size_ - at; }
    uint16_t U16(size_t at) const { return big_ ? host::ReadBE16(bytes_ + at) : host::ReadLE16(bytes_ + at); }
    uint32_t U32(size_t at) const { return big_ ? host::ReadBE32(bytes_ + at) : host::ReadLE32(bytes_ + at); }

private:
    const uint8_t* bytes_;
    size_t size_;
    bool big_;
};

}  // namespace

int ExifOrientation(const uint8_t* tiff, size_t size) {
    if (size < 8) return 0;
    bool big = false;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else if (!(tiff[0] == 'I' && tiff[1] == 'I'))
        return 0;
    const TTiffReader r(tiff, size, big);
    if (r.U16(2) != 42) return 0;
    const size_t ifd = r.U32(4);
    if (!r.Has(ifd, 2)) return 0;
    const size_t entries = r.U16(ifd);
    // One pass over IFD0's entries, each inside the data: no offsets are followed.
    for (size_t i = 0; i < entries; ++i) {
        const size_t at = ifd + 2 + i * IfdEntryBytes;
        if (!r.Has(at, IfdEntryBytes)) return 0;
        if (r.U16(at) != OrientationTag) continue;
        if (r.U16(at + 2) != TypeShort || r.U32(at + 4) != 1) return 0;
        const int value = r.U16(at + 8);
        return value >= 1 && value <= 8 ? value : 0;
    }
    return 0;
}

std::vector<uint8_t> MinimalExif(int orientation) {
    // "MM", 42, IFD0 at 8; one entry: the tag, SHORT, count 1, the value left-justified
    // in its four bytes; no next IFD.
    return {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 1, 0x01, 0x12, 0, TypeShort, 0, 0, 0, 1,
            0, static_cast<uint8_t>(orientation), 0, 0, 0, 0, 0, 0};
}

bool CarriesProfile(const std::string& ext) { return ext == "PNG" || ext == "JPG" || ext == "JPEG"; }

bool CarriesOrientation(const std::string& ext) { return CarriesProfile(ext); }
