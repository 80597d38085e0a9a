#pragma once

#include <cstdint>
#include <memory>

#include "compress/DecodeTable.h"
#include "compress/Huffman.h"
#include "streams/Streams.h"

// The decompressor behind a decompressing TDeflateStream: decodes raw deflate from the
// wrapped stream into a window of decoded bytes and hands them out. Reads the wrapped stream
// in blocks of up to its Available() bytes (one byte when it says 0 or less and more input
// is needed); the bytes taken beyond the end of the compressed data stay readable.
class TInflater {
public:
    explicit TInflater(TBaseStream* inner);

    // Up to count decoded bytes; past the end of the final block fewer, or with `strict`
    // EInOutError "Read less than expected".
    int64_t Read(uint8_t* buffer, int64_t count, bool strict);
    // Decoded bytes not yet read plus the input that is or may be waiting.
    int64_t Available() const;
    bool Finished() const { return finished_; }
    // Ends decoding where it stands, as if the final block ended there.
    void Stop();
    // After the end: the bytes taken from the wrapped stream beyond the compressed data.
    int64_t UnusedInputCount() const;
    // After the end: the bytes that follow the compressed data.
    int64_t ReadAfterEnd(uint8_t* buffer, int64_t count, bool strict);

private:
    // Settles the history owed for direct copies on every way out of a read.
    struct HistorySettler;

    void flushHistory();
    void topUp();
    bool fetch(bool force);
    void refill();
    void need(int n);
    uint32_t bits(int n);
    // A table entry and its value with the extra bits added.
    struct Decoded {
        uint32_t entry;
        uint32_t value;
    };
    Decoded decode(const deflate::DecodeTable& table);
    uint32_t walk(const THuffmanTree& tree);
    void takeBytes(uint8_t* dst, int64_t n);
    void alignToByte();
    void finish();

    int64_t handOut(uint8_t* dst, int64_t count);
    void keepOnlyHistory();
    int64_t decodeInto(uint8_t* dst, int64_t count);

    void readBlockHeader();
    void readStoredBlock();
    void copyStoredToCaller(uint32_t length);
    void copyStoredToWindow(int64_t length);
    void readDynamicHeader();
    std::unique_ptr<THuffmanTree> readCodeLengthTree(uint32_t count);
    void readCodeLengths(const THuffmanTree& codeLengthTree, uint8_t* lengths, uint32_t count);
    void buildDynamicTables(uint8_t* lengths, uint32_t literalCount);

    void endOfBlock();
    void fastSymbols(int64_t end);
    void slowSymbol(const deflate::DecodeTable& literal, const deflate::DecodeTable& distance);
    void run(int64_t want);

    TBaseStream* inner_;
    bool finished_ = false;

    std::unique_ptr<uint8_t[]> in_;
    int64_t inPos_ = 0, inEnd_ = 0;
    uint64_t bitBuf_ = 0;
    int bitCount_ = 0;

    std::unique_ptr<uint8_t[]> out_;
    int64_t pos_ = 0;    // where the next decoded byte goes
    int64_t mark_ = 0;   // next decoded byte to hand out
    int64_t total_ = 0;  // bytes decoded so far
    bool inBlock_ = false;  // inside a Huffman-coded block
    bool lastBlock_ = false;
    const deflate::DecodeTable* literal_ = nullptr;
    const deflate::DecodeTable* distance_ = nullptr;
    deflate::DecodeTable dynLiteral_, dynDistance_;
    THuffmanTree literalTree_, distanceTree_;
    uint8_t tail_[8] = {};
    int tailPos_ = 0, tailCount_ = 0;

    // Where the caller wants its next bytes in this read; a stored block may be copied
    // there directly.
    uint8_t* direct_ = nullptr;
    int64_t directWant_ = 0;
    int64_t directDone_ = 0;
    // Bytes given straight to the caller in this read whose copy the window still owes.
    const uint8_t* histEnd_ = nullptr;
    int64_t histLen_ = 0;
};
