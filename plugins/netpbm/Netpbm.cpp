#include "Netpbm.h"

#include <cstring>
#include <limits>

namespace netpbm {

namespace {

constexpr int32_t BadData = 3;
constexpr int64_t MaxPixelBytes = std::numeric_limits<int32_t>::max();

class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool AtEnd() const { return pos_ >= size_; }
    size_t Position() const { return pos_; }
    size_t Left() const { return size_ - pos_; }
    const uint8_t* Here() const { return data_ + pos_; }

    // Blanks and "#" comments up to the next token.
    void SkipSpace() {
        while (pos_ < size_) {
            const uint8_t c = data_[pos_];
            if (c == '#') {
                while (pos_ < size_ && data_[pos_] != '\n' && data_[pos_] != '\r') ++pos_;
            } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
                ++pos_;
            } else {
                return;
            }
        }
    }

    // A decimal number up to limit; false for none or one too large.
    bool Number(int64_t limit, int64_t& value) {
        SkipSpace();
        if (pos_ >= size_ || data_[pos_] < '0' || data_[pos_] > '9') return false;
        value = 0;
        while (pos_ < size_ && data_[pos_] >= '0' && data_[pos_] <= '9') {
            value = value * 10 + (data_[pos_++] - '0');
            if (value > limit) return false;
        }
        return true;
    }

    bool Byte(uint8_t& value) {
        if (pos_ >= size_) return false;
        value = data_[pos_++];
        return true;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

uint32_t Scale(int64_t sample, int64_t maxval, uint32_t top) {
    return static_cast<uint32_t>((sample * top + maxval / 2) / maxval);
}

}  // namespace

int32_t Decode(const uint8_t* data, size_t size, Image& image) {
    Reader in(data, size);
    uint8_t p, kind;
    if (!in.Byte(p) || !in.Byte(kind) || p != 'P') return BadData;
    const bool ascii = kind == '2' || kind == '3';
    if (!ascii && kind != '5' && kind != '6') return BadData;
    const int channels = kind == '3' || kind == '6' ? 3 : 1;

    int64_t width, height, maxval;
    if (!in.Number(std::numeric_limits<int32_t>::max(), width) ||
        !in.Number(std::numeric_limits<int32_t>::max(), height) || !in.Number(65535, maxval))
        return BadData;
    if (width == 0 || height == 0 || maxval == 0) return BadData;
    const int bytesPerSample = maxval > 255 ? 2 : 1;
    const bool sixteenBit = channels == 1 && bytesPerSample == 2;
    const int outBytes = sixteenBit ? 2 : channels;
    if (width > MaxPixelBytes / height || width * height > MaxPixelBytes / outBytes) return BadData;
    const int64_t samples = width * height * channels;

    // Whatever the file claims, the data must be there before anything is allocated: a
    // binary sample takes its bytes, a text sample at least one digit and a blank.
    if (ascii) {
        if (samples > static_cast<int64_t>(in.Left()) / 2 + 1) return BadData;
    } else {
        uint8_t blank;
        if (!in.Byte(blank) || (blank != ' ' && blank != '\t' && blank != '\n' && blank != '\r')) return BadData;
        if (samples > static_cast<int64_t>(in.Left()) / bytesPerSample) return BadData;
    }

    image.width = static_cast<int32_t>(width);
    image.height = static_cast<int32_t>(height);
    image.channels = channels;
    image.sixteenBit = sixteenBit;
    image.pixels.assign(static_cast<size_t>(width * height * outBytes), 0);
    uint8_t* out = image.pixels.data();
    const uint8_t* raw = in.Here();
    for (int64_t i = 0; i < samples; ++i) {
        int64_t sample;
        if (ascii) {
            if (!in.Number(maxval, sample)) return BadData;
        } else {
            sample = bytesPerSample == 2 ? (raw[2 * i] << 8 | raw[2 * i + 1]) : raw[i];
            if (sample > maxval) return BadData;
        }
        if (sixteenBit) {
            const uint32_t value = Scale(sample, maxval, 65535);
            out[2 * i] = static_cast<uint8_t>(value);
            out[2 * i + 1] = static_cast<uint8_t>(value >> 8);
        } else {
            const auto value = static_cast<uint8_t>(maxval == 255 ? sample : Scale(sample, maxval, 255));
            // The file holds red, green, blue; the image blue, green, red.
            const int64_t at = channels == 3 ? i - i % 3 + (2 - i % 3) : i;
            out[at] = value;
        }
    }
    return 0;
}

std::vector<uint8_t> Encode(const uint8_t* pixels, int32_t width, int32_t height, int64_t rowStride, int channels) {
    const std::string header = std::string(channels == 1 ? "P5" : "P6") + "\n" + std::to_string(width) + " " +
                               std::to_string(height) + "\n255\n";
    std::vector<uint8_t> file(header.begin(), header.end());
    const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(channels);
    file.reserve(file.size() + rowBytes * static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = pixels + y * rowStride;
        if (channels == 1) {
            file.insert(file.end(), row, row + rowBytes);
        } else {
            for (int32_t x = 0; x < width; ++x) {
                const uint8_t* bgr = row + 3 * x;
                file.insert(file.end(), {bgr[2], bgr[1], bgr[0]});
            }
        }
    }
    return file;
}

}  // namespace netpbm
