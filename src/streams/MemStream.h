#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "streams/Streams.h"

// A seekable stream held in memory as a chain of blocks. Stored bytes are never moved
// or copied when the stream grows: each new block is at least BlockSize bytes, and a
// large single write gets one block of its own size.
class TMemStream : public TSeekableStream {
public:
    PIXMORPH_CLASS_NAME(TMemStream)
    static constexpr int64_t BlockSize = 4096;

    TMemStream();
    ~TMemStream() override = default;

    // Releases all blocks; the stream is empty again.
    void Clear();

    int64_t Write(const void* buffer, int64_t count) override;
    // A short read with StrictRead on raises "Error reading from stream - TMemStream"
    // after delivering what there was.
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Available() override { return size_ - position_; }
    int64_t GetPosition() override { return position_; }
    int64_t GetSize() override { return size_; }
    // Outside 0..Size raises "Error moving stream pointer" and leaves the position.
    void Seek(int64_t position) override;
    // Releases every block after the one holding the position; Size := Position.
    void Truncate() override;

    // Number of blocks in the chain (for tests of the growth rule).
    size_t BlockCount() const { return blocks_.size(); }
    int64_t BlockCapacity(size_t index) const { return blocks_[index].capacity; }

private:
    struct Block {
        int64_t capacity;
        std::unique_ptr<uint8_t[]> data;
    };

    // The chain; current_ = -1 stands for the empty block of capacity 0 that a stream
    // without blocks starts at, so the first transfer finds it full and moves on.
    std::vector<Block> blocks_;
    int64_t current_ = -1;
    int64_t offset_ = 0;  // inside the current block
    int64_t size_ = 0;
    int64_t position_ = 0;

    int64_t currentCapacity() const { return current_ < 0 ? 0 : blocks_[current_].capacity; }
    bool hasNext() const { return current_ + 1 < static_cast<int64_t>(blocks_.size()); }
};

// Stream itself when it can seek; otherwise its remaining bytes, taken into `holder`,
// positioned at their start. For readers that move about in their data.
TSeekableStream& SeekableView(TBaseStream& stream, std::unique_ptr<TMemStream>& holder);
