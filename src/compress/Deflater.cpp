#include "compress/Deflater.h"

#include "compress/Deflate.h"
#include "compress/DeflateFormat.h"
#include "platform/ByteOrder.h"

using namespace deflate;

namespace {

constexpr int32_t MaxStoredLength = 65535;
// Bytes held before Huffman coding: the ring keeps 32 KiB of history behind them.
constexpr int32_t MaxHuffmanPending = 32767;
constexpr int TokenBatch = 64;

}  // namespace

TDeflater::TDeflater(TBaseStream* inner) : out_(inner), fixed_(out_) {}

int64_t TDeflater::Write(const uint8_t* data, int64_t count, uint8_t blockType) {
    const int32_t capacity = blockType == TDeflateStream::btStored ? MaxStoredLength : MaxHuffmanPending;
    int64_t taken = 0;
    while (count > 0 || flushRequested_) {
        const int64_t n = finder_.Append(data + taken, count, capacity);
        count -= n;
        taken += n;
        codePending(blockType);
    }
    return taken;
}

void TDeflater::codePending(uint8_t blockType) {
    const int32_t pending = finder_.Pending();
    switch (blockType) {
        case TDeflateStream::btFixed:
            if (pending >= MaxMatch || flushRequested_) compressFixed();
            break;
        case TDeflateStream::btStored:
            if (pending == MaxStoredLength || flushRequested_) writeStoredBlock();
            break;
        default:
            if (pending >= MaxMatch || flushRequested_) compressDynamic();
            break;
    }
}

void TDeflater::Flush(uint8_t blockType) {
    while (finder_.Pending() != 0 || blockOpen_ || finalBlock_) {
        flushRequested_ = true;
        Write(nullptr, 0, blockType);
    }
    out_.DrainBytes();
    out_.WriteOut();
}

void TDeflater::Finish(uint8_t blockType) {
    finished_ = true;
    finalBlock_ = true;
    Flush(blockType);
    out_.AlignToByte();
    out_.WriteOut();
}

// The look-ahead a match is searched with: room for a longest match, or on a flush
// every match there is.
int32_t TDeflater::lookaheadNeeded() const { return flushRequested_ ? MinMatch : MaxMatch; }

// Codes literals and matches into the block while the look-ahead allows and the block
// has room. Tokens come from the match finder in batches no larger than the block can
// take before it is full.
template <class Block>
void TDeflater::codeLookahead(Block& block) {
    if (finder_.Pending() > 0) finder_.EnsureIndex();
    TMatchFinder::TToken tokens[TokenBatch];
    while (!block.Full()) {
        const int n = finder_.TakeTokens(tokens, block.TokensBeforeFull(TokenBatch), lookaheadNeeded());
        if (n == 0) break;
        for (int i = 0; i < n; ++i) {
            if (tokens[i].length < MinMatch)
                block.AddLiteral(tokens[i].literal);
            else
                block.AddMatch(tokens[i].length, tokens[i].distance);
        }
    }
}

// On a flush: the bytes too few for a match.
template <class Block>
void TDeflater::codeRemainingLiterals(Block& block) {
    while (finder_.Pending() > 0) {
        block.AddLiteral(finder_.HeadByte());
        finder_.Advance(1);
    }
}

void TDeflater::closeBlock() {
    flushRequested_ = false;
    blockOpen_ = false;
}

void TDeflater::compressDynamic() {
    if (!blockOpen_) {
        dynamic_.Begin();
        blockOpen_ = true;
    }
    codeLookahead(dynamic_);
    if (dynamic_.Full()) {
        writeDynamicBlock();
    } else if (flushRequested_) {
        codeRemainingLiterals(dynamic_);
        writeDynamicBlock();
    }
}

// The final block only when nothing is left pending behind it.
void TDeflater::writeDynamicBlock() {
    const bool last = finder_.Pending() == 0 && finalBlock_;
    if (last) finalBlock_ = false;
    dynamic_.Write(out_, last);
    closeBlock();
}

void TDeflater::compressFixed() {
    if (!blockOpen_) {
        fixed_.Begin(finalBlock_);
        finalBlock_ = false;
        blockOpen_ = true;
    }
    codeLookahead(fixed_);
    if (flushRequested_) {
        codeRemainingLiterals(fixed_);
        fixed_.End();
        closeBlock();
    }
}

void TDeflater::writeStoredBlock() {
    out_.PutBlockHeader(finalBlock_, StoredBlock);
    out_.AlignToByte();
    const uint32_t length = static_cast<uint32_t>(finder_.Pending());
    uint8_t sizes[4];
    host::WriteLE16(sizes, static_cast<uint16_t>(length));
    host::WriteLE16(sizes + 2, static_cast<uint16_t>(~length));
    out_.PutBytes(sizes, 4);
    while (finder_.Pending() > 0) {
        const int32_t n = finder_.ContiguousPending();
        out_.PutBytes(finder_.HeadData(), static_cast<size_t>(n));
        finder_.Skip(n);
    }
    flushRequested_ = false;
    finalBlock_ = false;
}
