#include "Netpbm.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

namespace netpbm {

namespace {

constexpr int32_t BadData = 3;
constexpr int64_t MaxPixelBytes = std::numeric_limits<int32_t>::max();
// Bytes read from the source, or gathered for the sink, at a time.
constexpr size_t BlockSize = 1 << 16;

// The source's bytes through a block buffer; tokens are taken a byte at a time.
class Reader {
public:
    explicit Reader(Source& source) : source_(source), left_(source.Size()), buffer_(BlockSize) {}

    // Bytes the source holds beyond those taken.
    size_t Left() const { return left_; }

    bool Byte(uint8_t& value) {
        if (!Peek(value)) return false;
        Take(1);
        return true;
    }

    // Blanks and "#" comments up to the next token.
    void SkipSpace() {
        uint8_t c;
        while (Peek(c)) {
            if (c == '#') {
                while (Peek(c) && c != '\n' && c != '\r') Take(1);
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                Take(1);
            } else {
                return;
            }
        }
    }

    // A decimal number up to limit; false for none or one too large.
    bool Number(int64_t limit, int64_t& value) {
        SkipSpace();
        uint8_t c;
        if (!Peek(c) || c < '0' || c > '9') return false;
        value = 0;
        while (Peek(c) && c >= '0' && c <= '9') {
            Take(1);
            value = value * 10 + (c - '0');
            if (value > limit) return false;
        }
        return true;
    }

    // Exactly n bytes into dest; false when the source ends first.
    bool Raw(uint8_t* dest, size_t n) {
        const size_t buffered = std::min(n, len_ - pos_);
        std::memcpy(dest, buffer_.data() + pos_, buffered);
        Take(buffered);
        if (buffered == n) return true;
        const size_t rest = n - buffered;
        const size_t got = source_.Read(dest + buffered, rest);
        left_ -= std::min(left_, got);
        return got == rest;
    }

private:
    bool Peek(uint8_t& c) {
        if (pos_ == len_) {
            pos_ = 0;
            len_ = source_.Read(buffer_.data(), BlockSize);
            if (len_ == 0) return false;
        }
        c = buffer_[pos_];
        return true;
    }

    void Take(size_t n) {
        pos_ += n;
        left_ -= std::min(left_, n);
    }

    Source& source_;
    size_t left_;
    std::vector<uint8_t> buffer_;
    size_t pos_ = 0;
    size_t len_ = 0;
};

uint32_t Scale(int64_t sample, int64_t maxval, uint32_t top) {
    return static_cast<uint32_t>((sample * top + maxval / 2) / maxval);
}

// What the header says, and how samples are stored in the image.
struct Layout {
    int channels = 0;
    int64_t maxval = 0;
    int bytesPerSample = 1;  // in a binary file
    bool sixteenBit = false;

    // Sample i of the file into the image.
    void Put(uint8_t* out, int64_t i, int64_t sample) const {
        if (sixteenBit) {
            const uint32_t value = Scale(sample, maxval, 65535);
            out[2 * i] = static_cast<uint8_t>(value);
            out[2 * i + 1] = static_cast<uint8_t>(value >> 8);
            return;
        }
        const auto value = static_cast<uint8_t>(maxval == 255 ? sample : Scale(sample, maxval, 255));
        // The file holds red, green, blue; the image blue, green, red.
        out[channels == 3 ? i - i % 3 + (2 - i % 3) : i] = value;
    }
};

int32_t DecodeText(Reader& in, const Layout& layout, int64_t samples, uint8_t* out) {
    for (int64_t i = 0; i < samples; ++i) {
        int64_t sample;
        if (!in.Number(layout.maxval, sample)) return BadData;
        layout.Put(out, i, sample);
    }
    return 0;
}

// Samples of one byte at full range need no checks: grey is taken as it is, colour turned
// round pixel by pixel.
void StoreFullRangeBytes(const uint8_t* raw, size_t count, int channels, uint8_t* out) {
    if (channels == 1) {
        std::memcpy(out, raw, count);
        return;
    }
    for (size_t i = 0; i < count; i += 3) {
        out[i] = raw[i + 2];
        out[i + 1] = raw[i + 1];
        out[i + 2] = raw[i];
    }
}

// Binary samples a block at a time, from first on.
int32_t StoreBinary(const uint8_t* raw, int64_t first, int64_t count, const Layout& layout, uint8_t* out) {
    if (layout.bytesPerSample == 1 && layout.maxval == 255) {
        StoreFullRangeBytes(raw, static_cast<size_t>(count), layout.channels, out + first);
        return 0;
    }
    for (int64_t k = 0; k < count; ++k) {
        const int64_t sample = layout.bytesPerSample == 2 ? (raw[2 * k] << 8 | raw[2 * k + 1]) : raw[k];
        if (sample > layout.maxval) return BadData;
        layout.Put(out, first + k, sample);
    }
    return 0;
}

int32_t DecodeBinary(Reader& in, const Layout& layout, int64_t samples, uint8_t* out) {
    // Whole pixels per block, so that a colour pixel never straddles two.
    const int64_t perBlock = static_cast<int64_t>(BlockSize) / (3 * layout.bytesPerSample) * 3;
    std::vector<uint8_t> raw(static_cast<size_t>(perBlock * layout.bytesPerSample));
    for (int64_t first = 0; first < samples; first += perBlock) {
        const int64_t count = std::min(perBlock, samples - first);
        if (!in.Raw(raw.data(), static_cast<size_t>(count * layout.bytesPerSample))) return BadData;
        if (const int32_t result = StoreBinary(raw.data(), first, count, layout, out)) return result;
    }
    return 0;
}

}  // namespace

size_t MemorySource::Read(uint8_t* dest, size_t n) {
    const size_t take = std::min(n, size_ - pos_);
    std::memcpy(dest, data_ + pos_, take);
    pos_ += take;
    return take;
}

int32_t Decode(Source& source, Image& image) {
    Reader in(source);
    uint8_t p, kind;
    if (!in.Byte(p) || !in.Byte(kind) || p != 'P') return BadData;
    const bool ascii = kind == '2' || kind == '3';
    if (!ascii && kind != '5' && kind != '6') return BadData;
    Layout layout;
    layout.channels = kind == '3' || kind == '6' ? 3 : 1;

    int64_t width, height;
    if (!in.Number(std::numeric_limits<int32_t>::max(), width) ||
        !in.Number(std::numeric_limits<int32_t>::max(), height) || !in.Number(65535, layout.maxval))
        return BadData;
    if (width == 0 || height == 0 || layout.maxval == 0) return BadData;
    layout.bytesPerSample = layout.maxval > 255 ? 2 : 1;
    layout.sixteenBit = layout.channels == 1 && layout.bytesPerSample == 2;
    const int outBytes = layout.sixteenBit ? 2 : layout.channels;
    if (width > MaxPixelBytes / height || width * height > MaxPixelBytes / outBytes) return BadData;
    const int64_t samples = width * height * layout.channels;

    // Whatever the file claims, the data must be there before anything is allocated: a
    // binary sample takes its bytes, a text sample at least one digit and a blank.
    if (ascii) {
        if (samples > static_cast<int64_t>(in.Left()) / 2 + 1) return BadData;
    } else {
        uint8_t blank;
        if (!in.Byte(blank) || (blank != ' ' && blank != '\t' && blank != '\n' && blank != '\r')) return BadData;
        if (samples > static_cast<int64_t>(in.Left()) / layout.bytesPerSample) return BadData;
    }

    image.width = static_cast<int32_t>(width);
    image.height = static_cast<int32_t>(height);
    image.channels = layout.channels;
    image.sixteenBit = layout.sixteenBit;
    image.size = static_cast<size_t>(width * height * outBytes);
    image.pixels.reset(static_cast<uint8_t*>(std::calloc(image.size + SpareBytes, 1)));
    if (!image.pixels) return BadData;
    return ascii ? DecodeText(in, layout, samples, image.pixels.get())
                 : DecodeBinary(in, layout, samples, image.pixels.get());
}

bool Encode(int32_t width, int32_t height, int channels, const RowSource& row, const Sink& write) {
    const std::string header = std::string(channels == 1 ? "P5" : "P6") + "\n" + std::to_string(width) + " " +
                               std::to_string(height) + "\n255\n";
    if (!write(reinterpret_cast<const uint8_t*>(header.data()), header.size())) return false;
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
    std::vector<uint8_t> block;
    block.reserve(std::max(BlockSize, rowBytes));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* source = row(y);
        const size_t at = block.size();
        block.resize(at + rowBytes);
        if (channels == 1)
            std::memcpy(block.data() + at, source, rowBytes);
        else
            StoreFullRangeBytes(source, rowBytes, 3, block.data() + at);  // blue-green-red to red-green-blue
        if (block.size() + rowBytes > block.capacity() || y == height - 1) {
            if (!write(block.data(), block.size())) return false;
            block.clear();
        }
    }
    return true;
}

}  // namespace netpbm
