#include "compress/Deflate.h"

#include "compress/DeflateFormat.h"
#include "compress/Deflater.h"
#include "compress/Inflater.h"
#include "platform/Exceptions.h"

TDeflateStream::TDeflateStream(TBaseStream* stream, int32_t mode) : THuffmanBitStream(stream) {
    bool compress;
    if (mode == -1) {
        PIXMORPH_ASSERT(stream->CanWrite || stream->CanRead, "Assertion failure", "Deflate");
        compress = stream->CanWrite;
    } else {
        PIXMORPH_ASSERT((mode == 1 && stream->CanWrite) || (mode == 0 && stream->CanRead), "Assertion failure",
                        "Deflate");
        compress = mode == 1;
    }
    if (compress) {
        CanWrite = true;
        deflater_ = std::make_unique<TDeflater>(stream);
    } else {
        CanRead = true;
        inflater_ = std::make_unique<TInflater>(stream);
    }
}

TDeflateStream::~TDeflateStream() {
    if (deflater_ && !deflater_->Finished()) {
        try {
            Finish();
        } catch (...) {
            // A destructor cannot report; writers call Finish() themselves.
        }
    }
}

bool TDeflateStream::Finished() const { return deflater_ ? deflater_->Finished() : inflater_->Finished(); }

int64_t TDeflateStream::Available() {
    if (deflater_) return Inner->Available() + deflater_->Pending();
    return inflater_->Available();
}

// ====================================================================== decompression

int64_t TDeflateStream::Read(void* buffer, int64_t count) {
    CanWrite = false;
    if (deflater_) {
        // A compressing stream has nothing to read; it is not written any more either.
        if (StrictRead && count > 0) deflate::raiseShortRead();
        return 0;
    }
    return inflater_->Read(static_cast<uint8_t*>(buffer), count, StrictRead);
}

void TDeflateStream::StopDecoding() {
    if (inflater_) inflater_->Stop();
}

int64_t TDeflateStream::UnusedInputCount() const { return inflater_ ? inflater_->UnusedInputCount() : 0; }

int64_t TDeflateStream::ReadAfterEnd(void* buffer, int64_t count) {
    PIXMORPH_ASSERT(inflater_ && inflater_->Finished(), "Assertion failure", "Deflate");
    return inflater_->ReadAfterEnd(static_cast<uint8_t*>(buffer), count, StrictRead);
}

// ====================================================================== compression

int64_t TDeflateStream::Write(const void* buffer, int64_t count) {
    if (!CanWrite) throw EInOutError("Stream not open for write");
    if (count <= 0) return 0;
    return deflater_->Write(static_cast<const uint8_t*>(buffer), count, BlockType);
}

void TDeflateStream::Flush() {
    if (!CanWrite) return;
    deflater_->Flush(BlockType);
}

void TDeflateStream::Finish() {
    if (!deflater_ || deflater_->Finished()) return;
    if (!CanWrite) {
        deflater_->Abandon();
        return;
    }
    deflater_->Finish(BlockType);
    CanWrite = false;
}
