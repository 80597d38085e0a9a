#include "gif/GIFDecoder.h"

#include <algorithm>
#include <cstring>

#include "platform/ByteOrder.h"
#include "gif/GIFTypes.h"
#include "platform/Exceptions.h"

namespace {

constexpr int TableSize = 4096;
constexpr int MaxCodeSize = 12;
constexpr int MaxSubBlock = 255;
// Sub-block contents gathered ahead of the decoder, about sixty-four sub-blocks.
constexpr int32_t WindowBytes = 64 * MaxSubBlock;
// Strings go out in words of this many pixels, and the bit buffer is refilled a word at a time.
constexpr int WordBytes = 8;
// A refill leaves at least this many bits in the buffer: more than the longest code.
constexpr int RefilledBits = 56;

}  // namespace

struct TGIFDecoder::Tables {
    // The classic table: an entry's string is its prefix's string and its suffix.
    uint16_t prefix[TableSize];
    uint8_t suffix[TableSize];
    // The longest string is shorter than the table, plus the one pushed for a code that is
    // being defined; a longer chain can only come from a table entry that loops.
    uint8_t stack[TableSize + 1];
    // The same strings a word at a time. tail: the string's last (length - 1) % 8 + 1
    // pixels, the first of them in the low byte, zeros above. shape: the length - 1, the
    // entry whose string is all the pixels before the tail (a multiple of eight) and the
    // first pixel, packed so that one small array answers the questions of every code.
    uint64_t tail[TableSize];
    uint32_t shape[TableSize];

    static constexpr int HeadShift = 12;
    static constexpr int FirstShift = 24;
    static constexpr uint32_t FieldMask = TableSize - 1;
    static int32_t LengthMinusOne(uint32_t shape) { return static_cast<int32_t>(shape & FieldMask); }
    static int32_t Head(uint32_t shape) { return static_cast<int32_t>(shape >> HeadShift & FieldMask); }
    static uint8_t First(uint32_t shape) { return static_cast<uint8_t>(shape >> FirstShift); }
};

TGIFDecoder::TGIFDecoder(host::TStream& Stream, int MinimumCodeSize, TWarning Warning)
    : stream_(Stream), warning_(std::move(Warning)), minimumCodeSize_(MinimumCodeSize) {
    if (MinimumCodeSize < 0 || MinimumCodeSize > 11) throw GIFException("Invalid GIF data");
    clearCode_ = 1 << MinimumCodeSize;
    endCode_ = clearCode_ + 1;
    codeSize_ = MinimumCodeSize + 1;
    limit_ = 2 * clearCode_;
    nextCode_ = clearCode_ + 2;
    window_.resize(WindowBytes);
    // Entries from the clear code up read as prefix 0 and suffix 0 until they are defined.
    tables_ = std::make_unique<Tables>();
    Tables& t = *tables_;
    for (int32_t i = 0; i < clearCode_; ++i) {
        t.suffix[i] = static_cast<uint8_t>(i);
        t.tail[i] = static_cast<uint8_t>(i);
        t.shape[i] = uint32_t{static_cast<uint8_t>(i)} << Tables::FirstShift;
    }
}

TGIFDecoder::~TGIFDecoder() = default;

// ---------------------------------------------------------------- input

void TGIFDecoder::Gather() {
    if (gatheredAll_) return;
    const int32_t kept = windowEnd_ - windowPos_;
    std::memmove(window_.data(), window_.data() + windowPos_, static_cast<size_t>(kept));
    if (truncatedAt_ >= 0) truncatedAt_ -= windowPos_;
    windowPos_ = 0;
    windowEnd_ = kept;
    while (!gatheredAll_ && windowEnd_ + MaxSubBlock <= WindowBytes) {
        const int length = NextBlockLength();
        if (length == 0) break;
        const auto got = static_cast<int32_t>(std::max<int64_t>(stream_.Read(window_.data() + windowEnd_, length), 0));
        if (got < length) {
            truncatedAt_ = windowEnd_;
            gatheredAll_ = true;
        }
        windowEnd_ += got;
    }
}

int TGIFDecoder::NextBlockLength() {
    uint8_t length = 0;
    const bool read = stream_.Read(&length, 1) == 1;
    terminatorRead_ = read && length == 0;
    gatheredAll_ = length == 0;
    return length;
}

int TGIFDecoder::NextByte() {
    if (windowPos_ == windowEnd_) Gather();
    // Reading block by block meets the cut-short block here: it reports it and fetches nothing after it.
    if (windowPos_ == truncatedAt_ && !truncationReported_) {
        truncationReported_ = exhausted_ = true;
        if (warning_) warning_("Premature end of data");
    }
    if (windowPos_ == windowEnd_) return -1;
    return window_[static_cast<size_t>(windowPos_++)];
}

TGIFDecoder::TStep TGIFDecoder::ReadCode(int Size) {
    if (start_) {
        start_ = false;
        return {TStep::Read, clearCode_};
    }
    while (bitCount_ < Size) {
        const int byte = NextByte();
        if (byte < 0) {
            exhausted_ = true;
            terminatorSeen_ = terminatorRead_;
            if (bitCount_ == 0 && terminatorSeen_ && warning_) warning_("Decoder bit buffer under-run");
            return {TStep::DataEnded, 0};
        }
        bitBuffer_ |= uint64_t{static_cast<uint8_t>(byte)} << bitCount_;
        bitCount_ += 8;
    }
    const auto code = static_cast<int32_t>(bitBuffer_ & ((uint64_t{1} << Size) - 1));
    bitBuffer_ >>= Size;
    bitCount_ -= Size;
    return {TStep::Read, code};
}

// What was gathered ahead is dropped with the rest.
void TGIFDecoder::SkipBlocks() {
    windowPos_ = windowEnd_ = 0;
    truncatedAt_ = -1;
    for (int length; !gatheredAll_ && (length = NextBlockLength()) > 0;) {
        const int64_t at = stream_.GetPosition();
        const int64_t size = stream_.GetSize();
        if (at + length > size) {
            // The data ends inside this sub-block: stand at the end rather than past it.
            stream_.Seek(size, host::soBeginning);
            gatheredAll_ = true;
        } else {
            stream_.Seek(length, host::soCurrent);
        }
    }
    exhausted_ = true;
    terminatorSeen_ = terminatorRead_;
}

// ---------------------------------------------------------------- the table

void TGIFDecoder::ResetTables() {
    // Only the entries defined since the last reset differ from their start.
    Tables& t = *tables_;
    const int32_t firstEntry = clearCode_ + 2;
    if (nextCode_ > firstEntry) {
        const auto defined = static_cast<size_t>(nextCode_ - firstEntry);
        std::memset(t.prefix + firstEntry, 0, defined * sizeof t.prefix[0]);
        std::memset(t.suffix + firstEntry, 0, defined);
    }
    codeSize_ = minimumCodeSize_ + 1;
    limit_ = 2 * clearCode_;
    nextCode_ = firstEntry;
    stackTop_ = 0;
}

// The word view of the string of `prefix` (its tail and shape) followed by the pixel `last`.
inline TGIFDecoder::Words TGIFDecoder::Extend(Words prefix, int32_t prefixCode, uint8_t last) {
    const int32_t lengthMinusOne = Tables::LengthMinusOne(prefix.shape);
    const int tailBytes = lengthMinusOne % WordBytes + 1;
    const bool fullTail = tailBytes == WordBytes;
    const auto head = static_cast<uint32_t>(fullTail ? prefixCode : Tables::Head(prefix.shape));
    return {fullTail ? last : prefix.tail | uint64_t{last} << (8 * (tailBytes % WordBytes)),
            (static_cast<uint32_t>(lengthMinusOne + 1) & Tables::FieldMask) | head << Tables::HeadShift |
                (prefix.shape & ~uint32_t{0} << Tables::FirstShift)};
}

inline void TGIFDecoder::SetEntry(Tables& t, int32_t code, int32_t prefix, uint8_t last, Words words) {
    t.prefix[code] = static_cast<uint16_t>(prefix);
    t.suffix[code] = last;
    t.tail[code] = words.tail;
    t.shape[code] = words.shape;
}

void TGIFDecoder::DefineEntry(int32_t prefix, uint8_t last) {
    if (nextCode_ >= TableSize) return;
    // The word view is meaningless (and unused) while the table is not well formed.
    Tables& t = *tables_;
    SetEntry(t, nextCode_, prefix, last, Extend({t.tail[prefix], t.shape[prefix]}, prefix, last));
    ++nextCode_;
    if (nextCode_ >= limit_ && limit_ < TableSize) {
        limit_ *= 2;
        ++codeSize_;
    }
}

void TGIFDecoder::Push(uint8_t value) {
    if (stackTop_ >= TableSize + 1) throw GIFException("Circular decoder table entry");
    tables_->stack[stackTop_++] = value;
}

// ---------------------------------------------------------------- decoding

TGIFDecoder::TStep TGIFDecoder::DecodeNext() {
    if (stackTop_ > 0) return {TStep::Read, tables_->stack[--stackTop_]};
    return Interpret(ReadCode(codeSize_));
}

TGIFDecoder::TStep TGIFDecoder::Interpret(TStep step) {
    if (step.Kind == TStep::DataEnded) return step;
    int32_t code = step.Value;
    if (code == clearCode_) {
        ResetTables();
        do step = ReadCode(codeSize_);
        while (step.Kind == TStep::Read && step.Value == clearCode_);
        if (step.Kind == TStep::DataEnded) return step;
        code = step.Value;
        // An end code straight after a clear ends the data like any other end code.
        if (code != endCode_) {
            firstCode_ = oldCode_ = code;
            wellFormed_ = code < clearCode_;
            return {TStep::Read, code};
        }
    }
    if (code == endCode_) {
        if (!terminatorSeen_) SkipBlocks();
        return {TStep::EndCode, code};
    }
    const Tables& t = *tables_;
    const int32_t inCode = code;
    if (code >= nextCode_) {
        // Beyond the one being defined, the code becomes old code unlike any string.
        if (code > nextCode_) wellFormed_ = false;
        Push(static_cast<uint8_t>(firstCode_));
        code = oldCode_;
    }
    while (code >= clearCode_) {
        Push(t.suffix[code]);
        if (t.prefix[code] == code) throw GIFException("Circular decoder table entry");
        code = t.prefix[code];
    }
    firstCode_ = t.suffix[code];
    Push(static_cast<uint8_t>(firstCode_));
    DefineEntry(oldCode_, static_cast<uint8_t>(firstCode_));
    oldCode_ = inCode;
    return {TStep::Read, tables_->stack[--stackTop_]};
}

int64_t TGIFDecoder::DrainStack(uint8_t* Target, int64_t done, int64_t Count) {
    const uint8_t* stack = tables_->stack;
    while (stackTop_ > 0 && done < Count) Target[done++] = stack[--stackTop_];
    return done;
}

int64_t TGIFDecoder::DecodeStrings(uint8_t* Target, int64_t done, int64_t Count) {
    if (windowPos_ + WordBytes > WordReadEnd()) Gather();
    Tables& t = *tables_;
    // The state lives in locals: the pixel stores could otherwise alias the members.
    const uint8_t* const window = window_.data();
    const int32_t lastWordRead = WordReadEnd() - WordBytes;
    const int32_t clearCode = clearCode_;
    int32_t position = windowPos_;
    uint64_t bits = bitBuffer_;
    int bitCount = bitCount_;
    int codeSize = codeSize_;
    int32_t nextCode = nextCode_, oldCode = oldCode_;
    uint8_t* out = Target + done;
    uint8_t* const end = Target + Count;
    // The old code's string, carried from one code to the next.
    Words old = {t.tail[oldCode], t.shape[oldCode]};
    for (;;) {
        if (bitCount < codeSize) {
            if (position > lastWordRead) break;
            bits |= host::ReadLE64(window + position) << bitCount;
            position += (63 - bitCount) / 8;
            bitCount |= RefilledBits;
        }
        const auto code = static_cast<int32_t>(bits & ((uint32_t{1} << codeSize) - 1));
        if (code > nextCode || static_cast<uint32_t>(code - clearCode) < 2) break;
        // The code being defined stands for the entry it defines: the old string and its
        // own first pixel.
        const bool defining = code == nextCode;
        const Words known = defining ? old : Words{t.tail[code], t.shape[code]};
        const uint8_t first = Tables::First(known.shape);
        const Words entry = Extend(old, oldCode, first);
        const Words string = defining ? entry : known;
        const int32_t lengthMinusOne = Tables::LengthMinusOne(string.shape);
        // Whole words must fit in the target.
        if (end - out <= (lengthMinusOne | (WordBytes - 1))) break;
        bits >>= codeSize;
        bitCount -= codeSize;
        if (nextCode < TableSize) {
            SetEntry(t, nextCode, oldCode, first, entry);
            // The limit of the code size is always 1 << codeSize.
            if (++nextCode >= (1 << codeSize) && codeSize < MaxCodeSize) ++codeSize;
        }
        uint8_t* word = out + (lengthMinusOne & ~(WordBytes - 1));
        host::WriteLE64(word, string.tail);
        for (int32_t head = Tables::Head(string.shape); word != out; head = Tables::Head(t.shape[head])) {
            word -= WordBytes;
            host::WriteLE64(word, t.tail[head]);
        }
        out += lengthMinusOne + 1;
        oldCode = code;
        old = string;
    }
    windowPos_ = position;
    bitBuffer_ = bits;
    bitCount_ = bitCount;
    codeSize_ = codeSize;
    limit_ = 1 << codeSize;
    nextCode_ = nextCode;
    oldCode_ = oldCode;
    // As the classic way leaves it: the first pixel of the last string.
    firstCode_ = Tables::First(old.shape);
    return out - Target;
}

int64_t TGIFDecoder::Decode(uint8_t* Target, int64_t Count) {
    int64_t done = DrainStack(Target, 0, Count);
    while (done < Count) {
        if (wellFormed_) done = DecodeStrings(Target, done, Count);
        if (done == Count) break;
        const TStep step = DecodeNext();
        if (step.Kind != TStep::Read) break;
        Target[done++] = static_cast<uint8_t>(step.Value);
        done = DrainStack(Target, done, Count);
    }
    return done;
}

void TGIFDecoder::Finish() {
    // Pixels beyond the frame are dropped, so that the code after them is read.
    stackTop_ = 0;
    if (exhausted_) return;
    if (DecodeNext().Kind != TStep::EndCode && !exhausted_) SkipBlocks();
}
