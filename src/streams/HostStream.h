#pragma once

#include "platform/Stream.h"
#include "streams/Streams.h"

// Adapters between the platform's streams (which platform graphics use) and the
// library's. Neither side owns the stream it wraps.

// Platform code reading or writing a library stream, forward only.
class THostStream : public host::TStream {
public:
    PIXMORPH_CLASS_NAME(THostStream)
    // Switches the library stream's StrictRead off: platform readers expect short counts.
    explicit THostStream(TBaseStream* stream);

    int64_t Read(void* buffer, int64_t count) override { return stream_->Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override { return stream_->Write(buffer, count); }
    int64_t Seek(int64_t offset, uint16_t origin) override;
    int64_t GetSize() override;
    void SetSize(int64_t newSize) override;

private:
    TBaseStream* stream_;
};

class TSeekableHostStream : public THostStream {
public:
    PIXMORPH_CLASS_NAME(TSeekableHostStream)
    explicit TSeekableHostStream(TSeekableStream* stream) : THostStream(stream), seekable_(stream) {}

    int64_t Seek(int64_t offset, uint16_t origin) override;
    int64_t GetSize() override { return seekable_->GetSize(); }
    // Shrinks the stream; growing only moves the position there and back.
    void SetSize(int64_t newSize) override;

private:
    TSeekableStream* seekable_;
};

// Calls use(host::TStream&) with a platform stream over the library stream: one that
// seeks when the library stream can, a forward-only one otherwise.
template <class Use>
void WithHostStream(TBaseStream& stream, Use&& use) {
    if (auto* seekable = dynamic_cast<TSeekableStream*>(&stream)) {
        TSeekableHostStream host(seekable);
        use(host);
    } else {
        THostStream host(&stream);
        use(host);
    }
}

// Library code using a platform stream.
class THostFilterStream : public TSeekableStream {
public:
    PIXMORPH_CLASS_NAME(THostFilterStream)
    explicit THostFilterStream(host::TStream* stream);

    int64_t Write(const void* buffer, int64_t count) override { return stream_->Write(buffer, count); }
    int64_t Read(void* buffer, int64_t count) override { return stream_->Read(buffer, count); }
    int64_t Available() override { return stream_->GetSize() - stream_->GetPosition(); }
    int64_t GetPosition() override { return stream_->GetPosition(); }
    int64_t GetSize() override { return stream_->GetSize(); }
    void Seek(int64_t position) override { stream_->Seek(position, host::soBeginning); }
    void Truncate() override { stream_->SetSize(stream_->GetPosition()); }

private:
    host::TStream* stream_;
};
