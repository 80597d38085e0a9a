#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "gif/GIFDecoder.h"
#include "gif/GIFImage.h"
#include "platform/ByteOrder.h"
#include "platform/CheckedSize.h"

// Reading a GIF stream into the object model. Recoverable defects are warnings and reading
// goes on; hard ones raise GIFException.

namespace {

constexpr int64_t ReadBufferSize = 64 * 1024;

// Every frame is weighed against its own image data: LZW gives at most a few thousand
// pixels per byte of code data (a 12-bit code stands for at most 4095 pixels), so a frame
// larger than that cannot be mostly real data. What a frame claims beyond its data comes
// from one allowance for the whole file, which keeps small truncated files loadable with
// their pixels left at the fill, but not thousands of frames without data.
constexpr int64_t PixelsPerDataByte = 4096;
// Extensions kept in front of one image or the trailer.
constexpr int MaxKeptExtensions = 4096;

// Reads the source through a buffer, so that the many small reads and the steps back
// of block parsing cost no system calls. Seeking works on the logical position; the
// source is moved only when the buffer is refilled and by Sync.
class ReadAhead : public host::TStream {
public:
    PIXMORPH_CLASS_NAME(ReadAhead)
    explicit ReadAhead(host::TStream& source)
        : source_(source), base_(source.GetPosition()), size_(source.GetSize()),
          buffer_(static_cast<size_t>(ReadBufferSize)) {}

    int64_t Read(void* buffer, int64_t count) override {
        auto* out = static_cast<uint8_t*>(buffer);
        int64_t done = 0;
        while (done < count) {
            if (position_ >= length_ && !Fill()) break;
            const int64_t n = std::min(count - done, length_ - position_);
            std::memcpy(out + done, buffer_.data() + position_, static_cast<size_t>(n));
            position_ += n;
            done += n;
        }
        return done;
    }
    int64_t Write(const void*, int64_t) override { throw EStreamError("Invalid stream operation"); }
    void SetSize(int64_t) override { throw EStreamError("Invalid stream operation"); }
    int64_t GetSize() override { return size_; }
    int64_t Seek(int64_t offset, uint16_t origin) override {
        const int64_t current = base_ + position_;
        int64_t target = origin == host::soBeginning ? offset : origin == host::soCurrent ? current + offset : size_ + offset;
        target = std::max<int64_t>(target, 0);
        if (target >= base_ && target <= base_ + length_) {
            position_ = target - base_;
        } else {
            base_ = target;
            position_ = length_ = 0;
        }
        return target;
    }
    // Leaves the source where reading stopped.
    void Sync() { source_.Seek(base_ + position_, host::soBeginning); }

    // Takes pixels from the file's allowance; false when it cannot pay for them.
    bool Spend(int64_t pixels) {
        if (pixels > allowance_) return false;
        allowance_ -= pixels;
        return true;
    }

private:
    bool Fill() {
        base_ += length_;
        position_ = length_ = 0;
        if (base_ >= size_) return false;
        source_.Seek(base_, host::soBeginning);
        length_ = source_.Read(buffer_.data(), ReadBufferSize);
        return length_ > 0;
    }

    host::TStream& source_;
    int64_t base_;  // source position of buffer_[0]
    int64_t size_;
    std::vector<uint8_t> buffer_;
    int64_t position_ = 0;
    int64_t length_ = 0;
    int64_t allowance_ = GIFPixelAllowance;
};

void ReadExact(host::TStream& stream, void* buffer, int64_t count) {
    if (stream.Read(buffer, count) != count) throw GIFException("Premature end of data");
}

// The next byte, or -1 at the end of the stream.
int ReadByte(host::TStream& stream) {
    uint8_t b;
    return stream.Read(&b, 1) == 1 ? b : -1;
}

void StepBack(host::TStream& stream) { stream.Seek(-1, host::soCurrent); }

// -1 at the end of the stream.
int PeekByte(host::TStream& stream) {
    const int b = ReadByte(stream);
    if (b >= 0) StepBack(stream);
    return b;
}

void ReadColorMap(host::TStream& stream, TGIFColorMap& map, int count) {
    TGIFColor colors[256];
    ReadExact(stream, colors, int64_t{count} * 3);
    map.SetEntries(colors, count);
}

// Data sub-blocks up to a zero-length block or the end of the stream, each as one line.
void ReadText(host::TStream& stream, TGIFText& text) {
    char block[255];
    for (int length; (length = ReadByte(stream)) > 0;) {
        ReadExact(stream, block, length);
        text.emplace_back(block, static_cast<size_t>(length));
    }
}

// ---------------------------------------------------------------- extension registries

enum class ExtensionKind { None, Text, GraphicControl, Comment, Application, UnknownApplication, Loop };

// Label to class, searched from the last entry.
struct TExtensionList {
    static ExtensionKind Find(int label) {
        static constexpr struct {
            uint8_t Label;
            ExtensionKind Kind;
        } entries[] = {{bsPlainTextExtension, ExtensionKind::Text},
                       {bsGraphicControlExtension, ExtensionKind::GraphicControl},
                       {bsCommentExtension, ExtensionKind::Comment},
                       {bsApplicationExtension, ExtensionKind::Application}};
        for (auto it = std::rbegin(entries); it != std::rend(entries); ++it)
            if (it->Label == label) return it->Kind;
        return ExtensionKind::None;
    }
};

// Application identifier and authentication code (all 11 bytes) to class.
struct TAppExtensionList {
    static ExtensionKind Find(const char (&identifier)[11]) {
        static constexpr const char* entries[] = {"NETSCAPE2.0", "ANIMEXTS1.0"};
        for (auto it = std::rbegin(entries); it != std::rend(entries); ++it)
            if (std::memcmp(*it, identifier, 11) == 0) return ExtensionKind::Loop;
        return ExtensionKind::UnknownApplication;
    }
};

// The class asked for a more specific one, with the stream at the data behind the label.
ExtensionKind SubExtension(ExtensionKind kind, host::TStream& stream) {
    if (kind != ExtensionKind::Application) return kind;
    const int size = ReadByte(stream);
    char identifier[11];
    if (size == 10) {
        if (stream.Read(identifier, 10) == 10) return ExtensionKind::UnknownApplication;
    } else if (size == 11) {
        if (stream.Read(identifier, 11) == 11) return TAppExtensionList::Find(identifier);
    } else if (size > 11) {
        // Blocks larger than the standard's are kept as they are, like any unknown kind.
        return ExtensionKind::UnknownApplication;
    }
    return kind;
}

// Reads the label at the stream and finds its class; the stream is left where it was.
ExtensionKind FindExtension(host::TStream& stream) {
    const int64_t at = stream.GetPosition();
    ExtensionKind kind = TExtensionList::Find(ReadByte(stream));
    if (kind != ExtensionKind::None) {
        const int64_t data = stream.GetPosition();
        for (ExtensionKind more; (more = SubExtension(kind, stream)) != kind;) {
            kind = more;
            stream.Seek(data, host::soBeginning);
        }
    }
    stream.Seek(at, host::soBeginning);
    return kind;
}

std::unique_ptr<TGIFExtension> NewExtension(ExtensionKind kind, TGIFSubImage* frame) {
    switch (kind) {
        case ExtensionKind::Text: return std::make_unique<TGIFTextExtension>(frame);
        case ExtensionKind::GraphicControl: return std::make_unique<TGIFGraphicControlExtension>(frame);
        case ExtensionKind::Comment: return std::make_unique<TGIFCommentExtension>(frame);
        case ExtensionKind::Loop: return std::make_unique<TGIFAppExtNSLoop>(frame);
        case ExtensionKind::Application:  // an application block too short for an identifier
        case ExtensionKind::UnknownApplication: return std::make_unique<TGIFUnknownAppExtension>(frame);
        case ExtensionKind::None: break;
    }
    throw GIFException("Unknown extension type");
}

// ---------------------------------------------------------------- raster

// The bytes of image data in the sub-blocks that follow the minimum code size byte at the
// stream's position, up to the terminator or the end of the stream; the stream stays put.
int64_t FrameDataBytes(host::TStream& stream) {
    const int64_t start = stream.GetPosition();
    const int64_t available = std::max<int64_t>(stream.GetSize() - start, 0);
    int64_t bytes = 0;
    if (ReadByte(stream) >= 0) {
        for (int length; bytes < available && (length = ReadByte(stream)) > 0;) {
            bytes += length;
            stream.Seek(length, host::soCurrent);
        }
    }
    stream.Seek(start, host::soBeginning);
    return std::min(bytes, available);
}

// Whether the frame's pixels are paid for: by its own data, and what lies beyond that by
// the file's allowance.
bool Affordable(host::TStream& stream, int64_t pixels) {
    // -1: the data could pay for more than the frame has.
    const int64_t paid = productWithin({FrameDataBytes(stream), PixelsPerDataByte}, pixels);
    if (paid < 0) return true;
    const int64_t beyondData = pixels - paid;
    if (auto* reader = dynamic_cast<ReadAhead*>(&stream)) return reader->Spend(beyondData);
    return beyondData <= GIFPixelAllowance;
}

// The rows of an interlaced frame in the order they are stored: every eighth from row 0,
// every eighth from row 4, every fourth from row 2, every second from row 1.
class InterlacedRows {
public:
    explicit InterlacedRows(int32_t height) : height_(height) {}
    bool More() const { return row_ < height_; }
    int32_t Row() const { return row_; }
    void Next() {
        row_ += step_;
        while (row_ >= height_ && step_ > 0) {
            if (pass_ > 0) step_ /= 2;
            ++pass_;
            row_ = step_ / 2;
        }
    }

private:
    int32_t height_;
    int32_t row_ = 0, step_ = 8, pass_ = 0;
};

// Decodes straight into the frame's rows; pixels the data does not reach keep `fill`.
void DecodePixels(TGIFDecoder& decoder, TGIFSubImage& frame, uint8_t fill) {
    const int32_t width = frame.Width(), height = frame.Height();
    uint8_t* data = frame.Data();
    if (!frame.Interlaced()) {
        const int64_t pixels = int64_t{width} * height;
        const int64_t done = decoder.Decode(data, pixels);
        std::memset(data + done, fill, static_cast<size_t>(pixels - done));
        return;
    }
    InterlacedRows rows(height);
    for (int32_t i = 0; i < height && rows.More(); ++i, rows.Next()) {
        uint8_t* row = data + int64_t{rows.Row()} * width;
        const int64_t done = decoder.Decode(row, width);
        if (done == width) continue;
        std::memset(row + done, fill, static_cast<size_t>(width - done));
        for (++i, rows.Next(); i < height && rows.More(); ++i, rows.Next())
            std::memset(data + int64_t{rows.Row()} * width, fill, static_cast<size_t>(width));
        return;
    }
}

void DecodeRaster(TGIFSubImage& frame, host::TStream& stream) {
    const int64_t pixels = int64_t{frame.Width()} * frame.Height();  // both 16-bit
    if (!Affordable(stream, pixels)) throw GIFException("Premature end of data");

    frame.AllocatePixels();
    uint8_t fill = 0;
    if (frame.Transparent() && frame.GraphicControlExtension())
        fill = frame.GraphicControlExtension()->TransparentColorIndex();

    const int minimumCodeSize = ReadByte(stream);
    if (minimumCodeSize < 0) {
        if (pixels > 0) std::memset(frame.Data(), fill, static_cast<size_t>(pixels));
        return;
    }
    TGIFDecoder decoder(stream, minimumCodeSize,
                        [&frame](const std::string& message) { frame.ReportWarning(gsWarning, message); });
    try {
        DecodePixels(decoder, frame, fill);
    } catch (...) {
        try {
            decoder.Finish();
        } catch (...) {
            // The first error is the one to report.
        }
        throw;
    }
    decoder.Finish();
}

}  // namespace

// ---------------------------------------------------------------- the image

void TGIFImage::LoadFromStream(host::TStream& stream) {
    const int64_t start = stream.GetPosition();
    Progress(this, psStarting, 0, "Loading...");
    bool ok = false;
    try {
        Clear();
        ReadAhead reader(stream);
        header_->LoadFromStream(reader);
        images_->LoadFromStream(reader, nullptr);
        if (!HasImage()) throw GIFException("Invalid GIF data");
        if (!FirstFrameOnly) {
            TGIFTrailer trailer(this);
            trailer.LoadFromStream(reader);
        }
        reader.Sync();
        ok = true;
    } catch (...) {
        stream.Seek(start, host::soBeginning);
        try {
            Progress(this, psEnding, 0, "Loading...");
        } catch (...) {
            // The reading error is the one that counts.
        }
        throw;
    }
    if (ok) Progress(this, psEnding, 100, "Loading...");
}

void TGIFHeader::LoadFromStream(host::TStream& stream) {
    const int64_t start = stream.GetPosition();
    char signature[6];
    ReadExact(stream, signature, 6);
    auto isGIF = [&] {
        return std::toupper(static_cast<unsigned char>(signature[0])) == 'G' &&
               std::toupper(static_cast<unsigned char>(signature[1])) == 'I' &&
               std::toupper(static_cast<unsigned char>(signature[2])) == 'F';
    };
    if (!isGIF()) {
        // Some writers put a 4-byte length in front of the file.
        stream.Seek(start + 4, host::soBeginning);
        ReadExact(stream, signature, 6);
        if (!isGIF()) throw GIFException("Invalid GIF signature");
    }
    SetVersion(std::memcmp(signature + 3, "87a", 3) == 0   ? gv87a
               : std::memcmp(signature + 3, "89a", 3) == 0 ? gv89a
                                                           : gvUnknown);
    TLogicalScreenDescriptor descriptor;
    ReadExact(stream, &descriptor, sizeof(descriptor));
    Descriptor() = descriptor;
    if (descriptor.PackedFields & lsdGlobalColorTable)
        ReadColorMap(stream, ColorMap(), 2 << (descriptor.PackedFields & lsdColorTableSize));
    else
        ColorMap().Clear();
}

void TGIFImageList::LoadFromStream(host::TStream& stream, TObject*) {
    TGIFImage* image = Image();
    auto skipZeros = [&] {
        int b;
        while ((b = ReadByte(stream)) == 0) {
        }
        return b;
    };
    const int64_t size = std::max<int64_t>(stream.GetSize(), 1);
    bool anyShown = false, warned = false;
    int64_t frames = 0;
    for (int b = skipZeros(); b >= 0; b = skipZeros()) {
        StepBack(stream);
        if (b == bsTrailer) return;  // the trailer reads its own byte
        if (b != bsExtensionIntroducer && b != bsImageDescriptor) {
            if (!warned) ReportWarning(gsWarning, "Unknown GIF block type");
            // A stray block after an image ends the frames; before one, the image is
            // looked for past it.
            if (anyShown) return;
            warned = true;
            ReadByte(stream);
            continue;
        }
        warned = false;
        CheckFrameLimit(++frames);
        auto frame = std::make_unique<TGIFSubImage>(image);
        frame->LoadFromStream(stream);
        const bool shown = frame->Data() != nullptr;
        anyShown = anyShown || shown;
        Add(std::move(frame));
        if (image) image->Progress(image, psRunning, static_cast<int>(stream.GetPosition() * 100 / size), "Loading...");
        if (shown && image && image->FirstFrameOnly) return;
    }
}

void TGIFTrailer::LoadFromStream(host::TStream& stream) {
    const int b = ReadByte(stream);
    if (b >= 0 && b != bsTrailer) ReportWarning(gsWarning, "Invalid Image trailer");
}

void TGIFSubImage::LoadFromStream(host::TStream& stream) {
    Clear();
    extensions_->LoadFromStream(stream, this);
    // Only the image separator starts an image: anything else leaves the frame without one.
    if (PeekByte(stream) != bsImageDescriptor) return;

    TImageDescriptor descriptor;
    ReadExact(stream, &descriptor, sizeof(descriptor));
    if (descriptor.Width == 0 || descriptor.Height == 0) {
        if (Image()) {
            descriptor.Width = Image()->Header().Width();
            descriptor.Height = Image()->Header().Height();
        }
        ReportWarning(gsWarning, "Image exceeds Logical Screen size");
    }
    descriptor_ = descriptor;
    if (descriptor.PackedFields & idLocalColorTable)
        ReadColorMap(stream, *colorMap_, 2 << (descriptor.PackedFields & idColorTableSize));
    DecodeRaster(*this, stream);
}

// Stray bytes up to the next block are skipped, so that the image they stand in front of
// keeps its extensions and is still read; a zero still ends the frame's extensions.
void TGIFExtensionList::LoadFromStream(host::TStream& stream, TObject*) {
    int b = ReadByte(stream);
    if (b < 0) return;
    bool warned = false, droppedAny = false;
    while (b != bsImageDescriptor && b != bsTrailer) {
        if (b != bsExtensionIntroducer) {
            if (!warned) ReportWarning(gsWarning, "Invalid extension introducer");
            warned = true;
            if (b == 0) break;
            if ((b = ReadByte(stream)) < 0) return;
            continue;
        }
        warned = false;
        const ExtensionKind kind = FindExtension(stream);
        StepBack(stream);
        std::unique_ptr<TGIFExtension> extension = NewExtension(kind, SubImage());
        extension->LoadFromStream(stream);
        // Each kept extension costs many times the few bytes it may take in the file; past
        // what any real file has, the rest are read (and take effect) but not kept.
        if (Count() < MaxKeptExtensions) {
            Add(std::move(extension));
        } else if (Count() == MaxKeptExtensions && !droppedAny) {
            ReportWarning(gsWarning, "Too many extensions: the rest were left out");
            droppedAny = true;
        }
        b = ReadByte(stream);
        if (b < 0) return;
    }
    StepBack(stream);
}

// ---------------------------------------------------------------- extensions

void TGIFExtension::LoadFromStream(host::TStream& stream) {
    uint8_t bytes[2];
    ReadExact(stream, bytes, 2);
    if (bytes[0] != bsExtensionIntroducer) throw GIFException("Invalid extension introducer");
    if (bytes[1] != ExtensionType()) throw GIFException("Internal error: Extension Instance does not match Extension Label");
}

void TGIFGraphicControlExtension::LoadFromStream(host::TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    TGraphicControlBlock block;
    if (stream.Read(&block, sizeof(block)) != static_cast<int64_t>(sizeof(block))) {
        ReportWarning(gsWarning, "Premature end of data");
        return;
    }
    block_ = block;
    if (Transparent() && SubImage()) SubImage()->SetTransparent(true);
}

void TGIFCommentExtension::LoadFromStream(host::TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    text_.clear();
    ReadText(stream, text_);
}

void TGIFTextExtension::LoadFromStream(host::TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    ReadExact(stream, &block_, sizeof(block_));
    text_.clear();
    ReadText(stream, text_);
}

void TGIFApplicationExtension::LoadFromStream(host::TStream& stream) {
    TGIFExtension::LoadFromStream(stream);
    const int size = ReadByte(stream);
    if (size < 10) throw GIFException("Unsupported Application Extension block size");
    char bytes[11];
    ReadExact(stream, bytes, 11);
    std::memcpy(identifier_.Identifier, bytes, 8);
    std::memcpy(identifier_.Authentication, bytes + 8, 3);
    // A 10-byte block has no last authentication byte: that byte is the next one again.
    stream.Seek(size - 11, host::soCurrent);
    LoadData(stream);
}

void TGIFUnknownAppExtension::LoadData(host::TStream& stream) {
    blocks_.clear();
    for (int length; (length = ReadByte(stream)) > 0;) {
        TGIFBlock block;
        block.Data.resize(static_cast<size_t>(length));
        ReadExact(stream, block.Data.data(), length);
        blocks_.push_back(std::move(block));
    }
}

void TGIFAppExtNSLoop::LoadData(host::TStream& stream) {
    for (int length; (length = ReadByte(stream)) > 0;) {
        uint8_t block[255];
        ReadExact(stream, block, length);
        switch (block[0] & 7) {
            case 1:
                if (length < 3) throw GIFException("Invalid GIF data");
                loops_ = host::ReadLE16(block + 1);
                break;
            case 2:
                if (length < 5) throw GIFException("Invalid GIF data");
                bufferSize_ = host::ReadLE32(block + 1);
                break;
            default: break;
        }
    }
}
