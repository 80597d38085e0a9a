#pragma once

#include <cstdint>
#include <memory>

#include "compress/Huffman.h"

class TInflater;
class TDeflater;

// Raw deflate (RFC 1951) over a library stream, in one direction chosen at creation.
// No zlib header or trailer: the PNG codec writes and reads those around it.
//
// Compressing: the program's own greedy compressor (a 64 KiB ring window, every byte pair
// indexed with its last 64 positions, no lazy matching) with one of three block policies:
// dynamic Huffman blocks (default), fixed Huffman blocks, or stored blocks. Its output is
// fully determined by the bytes written and the Flush calls.
//   Call Finish() when done: it writes the final block and the last partial byte to the
//   wrapped stream and reports errors. Only after Finish() may bytes that follow the
//   compressed data (a checksum) be written to the wrapped stream. The destructor
//   finishes a stream that was not finished, but drops any error.
//
// Decompressing: reads the wrapped stream in blocks of up to Available() bytes (one byte
// when Available() is 0 or less and more input is needed), so the wrapped stream's
// Available() must not promise bytes that cannot be read without harm. The bytes taken
// beyond the end of the compressed data are handed back through ReadAfterEnd().
//
// The stream only picks the direction: TDeflater (Deflater.h) compresses, TInflater
// (Inflater.h) decompresses.
class TDeflateStream : public THuffmanBitStream {
public:
    PIXMORPH_CLASS_NAME(TDeflateStream)
    enum : uint8_t { btDynamic = 0, btFixed = 1, btStored = 2 };

    // mode -1: compress when the stream can be written, else decompress when it can be
    // read; 1: compress; 0: decompress. No possible direction fails an assertion.
    TDeflateStream(TBaseStream* stream, int32_t mode);
    ~TDeflateStream() override;

    // Block policy of a compressing stream; set before the first Write.
    uint8_t BlockType = btDynamic;

    // Compresses; raises EInOutError "Stream not open for write" unless compressing.
    int64_t Write(const void* buffer, int64_t count) override;
    // Decompresses. Past the end of the final block: 0, or with StrictRead
    // EInOutError "Read less than expected". Damaged data raises Exception
    // "Error in compressed data" or the assertion error "Invalid Huffman code".
    int64_t Read(void* buffer, int64_t count) override;
    // Compressing: ends the current block (not as the final one) and hands every complete
    // byte to the wrapped stream. Decompressing: nothing.
    void Flush() override;
    // Compressing: writes the final block and the last partial byte. Idempotent.
    void Finish();
    int64_t Available() override;

    // Decompressing, after the final block: the bytes taken from the wrapped stream
    // beyond the end of the compressed data (the rest of the last byte's bits dropped).
    int64_t UnusedInputCount() const;
    // Decompressing, after the final block: reads the bytes that follow the compressed data,
    // first those already taken from the wrapped stream, then from the wrapped stream.
    // A short result with StrictRead on raises EInOutError "Read less than expected".
    int64_t ReadAfterEnd(void* buffer, int64_t count);
    // True once the final block has been decoded completely.
    bool Finished() const;
    // Decompressing: ends decoding where it stands, as if the final block ended there.
    // The whole bytes taken from the wrapped stream and not yet decoded then count as
    // the bytes after the end (UnusedInputCount, ReadAfterEnd); bits of a started byte
    // are dropped. Bytes decoded but not yet read can still be read.
    void StopDecoding();

private:
    // One of the two, for the direction chosen at creation.
    std::unique_ptr<TDeflater> deflater_;
    std::unique_ptr<TInflater> inflater_;
};
