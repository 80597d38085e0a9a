#pragma once

#include <cstdint>

#include "compress/BitWriter.h"
#include "compress/DynamicBlock.h"
#include "compress/FixedBlock.h"
#include "compress/MatchFinder.h"
#include "streams/Streams.h"

// The compressor behind a compressing TDeflateStream: takes the bytes written into the
// match finder's window and codes them, once enough are pending or a flush asks, in blocks
// of the type the stream's policy names (TDeflateStream::btDynamic, btFixed, btStored).
class TDeflater {
public:
    explicit TDeflater(TBaseStream* inner);

    int64_t Write(const uint8_t* data, int64_t count, uint8_t blockType);
    // Ends the current block (not as the final one) and hands every complete byte on.
    void Flush(uint8_t blockType);
    // Writes the final block and the last partial byte. Marked finished first: after a
    // failed write a second attempt would repeat output.
    void Finish(uint8_t blockType);
    // Ends without writing anything more.
    void Abandon() { finished_ = true; }
    bool Finished() const { return finished_; }
    int32_t Pending() const { return finder_.Pending(); }

private:
    void codePending(uint8_t blockType);
    int32_t lookaheadNeeded() const;
    template <class Block>
    void codeLookahead(Block& block);
    template <class Block>
    void codeRemainingLiterals(Block& block);
    void compressDynamic();
    void writeDynamicBlock();
    void compressFixed();
    void writeStoredBlock();
    void closeBlock();

    TBitWriter out_;
    TMatchFinder finder_;
    TFixedBlock fixed_;
    TDynamicBlock dynamic_;
    bool finished_ = false;
    bool finalBlock_ = false;      // the next block written is the last
    bool flushRequested_ = false;  // code every pending byte and end the block
    bool blockOpen_ = false;
};
