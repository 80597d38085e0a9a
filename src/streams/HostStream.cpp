#include "streams/HostStream.h"

#include "platform/Exceptions.h"

THostStream::THostStream(TBaseStream* stream) : stream_(stream) {
    stream_->SetStrictRead(false);
}

int64_t THostStream::Seek(int64_t, uint16_t) { throw EStreamError("Seeking not supported"); }
int64_t THostStream::GetSize() { throw EStreamError("Seeking not supported"); }
void THostStream::SetSize(int64_t) { throw EStreamError("Seeking not supported"); }

int64_t TSeekableHostStream::Seek(int64_t offset, uint16_t origin) {
    int64_t position;
    switch (origin) {
        case host::soBeginning: position = offset; break;
        case host::soCurrent: position = offset + seekable_->GetPosition(); break;
        case host::soEnd: position = offset + seekable_->GetSize(); break;
        default: throw EStreamError("Unknown seek origin");
    }
    seekable_->Seek(position);
    return position;
}

void TSeekableHostStream::SetSize(int64_t newSize) {
    const int64_t position = seekable_->GetPosition();
    if (newSize < seekable_->GetSize()) {
        seekable_->Seek(newSize);
        seekable_->Truncate();
        if (position < newSize) seekable_->Seek(position);
    } else {
        seekable_->Seek(newSize);
        seekable_->Seek(position);
    }
}

THostFilterStream::THostFilterStream(host::TStream* stream) : stream_(stream) {
    CanRead = CanWrite = true;
}
