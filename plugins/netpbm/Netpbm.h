#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

// Netpbm grey and colour images (PGM "P2"/"P5", PPM "P3"/"P6") for the sample plug-in.
// Files are read and written a block at a time: the image is the only whole-image buffer.
namespace netpbm {

// Where the decoder takes its bytes from.
class Source {
public:
    virtual ~Source() = default;
    // Up to n bytes into dest; fewer only at the end.
    virtual size_t Read(uint8_t* dest, size_t n) = 0;
    // Bytes from the start to the end (the decoder refuses sizes the data cannot fill).
    virtual size_t Size() const = 0;
};

class MemorySource : public Source {
public:
    MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    size_t Read(uint8_t* dest, size_t n) override;
    size_t Size() const override { return size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// An open file of a known size, read from its start.
class FileSource : public Source {
public:
    FileSource(std::FILE* file, size_t size) : file_(file), size_(size) {}
    size_t Read(uint8_t* dest, size_t n) override { return std::fread(dest, 1, n, file_); }
    size_t Size() const override { return size_; }

private:
    std::FILE* file_;
    size_t size_;
};

struct FreeBlock {
    void operator()(uint8_t* p) const { std::free(p); }
};

// Bytes after the pixels, zero, which the image owner may read and write (pixmorph keeps
// the rows as its image and reads a word at the very end).
inline constexpr size_t SpareBytes = 4;

struct Image {
    int32_t width = 0;
    int32_t height = 0;
    int channels = 0;         // 1 grey, 3 red-green-blue
    bool sixteenBit = false;  // grey only: samples scaled to 0..65535
    // Rows without gaps, from malloc, SpareBytes more than size. Grey: one byte, or two
    // little-endian bytes when sixteenBit; colour: blue, green, red (samples scaled to 0..255).
    std::unique_ptr<uint8_t[], FreeBlock> pixels;
    size_t size = 0;
};

// 0, or 3 (the plug-in result code for bad data), also when no memory is left.
int32_t Decode(Source& source, Image& image);

// Gives row y (0 = top) of grey (channels 1) or blue-green-red (channels 3) bytes.
using RowSource = std::function<const uint8_t*(int32_t y)>;
// Takes the next bytes of the file; false stops the writing.
using Sink = std::function<bool(const uint8_t* data, size_t size)>;

// Writes "P5" or "P6" with maxval 255 a block at a time; false when write refused a block.
bool Encode(int32_t width, int32_t height, int channels, const RowSource& row, const Sink& write);

// Rec. 601 luma of blue, green, red, rounded.
inline uint8_t Luma(uint8_t blue, uint8_t green, uint8_t red) {
    return static_cast<uint8_t>((299 * red + 587 * green + 114 * blue + 500) / 1000);
}

}  // namespace netpbm
