#include "streams/MemStream.h"

#include <algorithm>
#include <cstring>

#include "platform/Exceptions.h"

TMemStream::TMemStream() { CanRead = CanWrite = true; }

void TMemStream::Clear() {
    blocks_.clear();
    current_ = -1;
    offset_ = size_ = position_ = 0;
}

int64_t TMemStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count) {
        if (offset_ == currentCapacity()) {
            if (!hasNext()) {
                const int64_t capacity = std::max(BlockSize, count - done);
                blocks_.push_back(
                    Block{capacity, std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(capacity))});
            }
            ++current_;
            offset_ = 0;
        }
        const int64_t n = std::min(count - done, currentCapacity() - offset_);
        std::memcpy(blocks_[current_].data.get() + offset_, in + done, static_cast<size_t>(n));
        offset_ += n;
        done += n;
    }
    position_ += done;
    size_ = std::max(size_, position_);
    return done;
}

int64_t TMemStream::Read(void* buffer, int64_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    int64_t done = 0;
    while (done < count && position_ < size_) {
        if (offset_ == currentCapacity()) {
            if (!hasNext()) break;
            ++current_;
            offset_ = 0;
        }
        const int64_t n = std::min({count - done, size_ - position_, currentCapacity() - offset_});
        std::memcpy(out + done, blocks_[current_].data.get() + offset_, static_cast<size_t>(n));
        offset_ += n;
        position_ += n;
        done += n;
    }
    if (done < count && StrictRead) throw EInOutError(Format("Error reading from stream - %s", ClassName()));
    return done;
}

void TMemStream::Seek(int64_t p) {
    if (p == position_) return;
    if (p < 0 || p > size_) throw EInOutError("Error moving stream pointer");
    if (p < position_) {
        position_ = 0;
        current_ = blocks_.empty() ? -1 : 0;
        offset_ = 0;
    }
    if (offset_ == currentCapacity()) {
        if (!hasNext()) throw Exception("Error in MemStream.Seek");
        ++current_;
        offset_ = 0;
    }
    const int64_t step = std::min(currentCapacity() - offset_, p - position_);
    offset_ += step;
    position_ += step;
    while (position_ < p) {
        if (!hasNext()) throw Exception("Error in MemStream.Seek 2");
        ++current_;
        offset_ = std::min(p - position_, currentCapacity());
        position_ += offset_;
    }
}

void TMemStream::Truncate() {
    blocks_.resize(static_cast<size_t>(current_ + 1));
    size_ = position_;
}

TSeekableStream& SeekableView(TBaseStream& stream, std::unique_ptr<TMemStream>& holder) {
    if (auto* seekable = dynamic_cast<TSeekableStream*>(&stream)) return *seekable;
    holder = std::make_unique<TMemStream>();
    holder->CopyFrom(stream);
    holder->Seek(0);
    return *holder;
}
