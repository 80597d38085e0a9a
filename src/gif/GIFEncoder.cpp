#include "gif/GIFEncoder.h"

#include <algorithm>

// ---------------------------------------------------------------- block writer

int64_t TGIFStream::Read(void*, int64_t) { throw GIFException("Invalid stream operation"); }
int64_t TGIFStream::Write(const void*, int64_t) { throw GIFException("Invalid stream operation"); }
int64_t TGIFStream::Seek(int64_t, uint16_t) { throw GIFException("Invalid stream operation"); }
void TGIFStream::SetSize(int64_t) { throw GIFException("Invalid stream operation"); }

int64_t TGIFWriter::Write(const void* buffer, int64_t count) {
    dirty_ = true;
    auto* from = static_cast<const uint8_t*>(buffer);
    int64_t left = count;
    while (left > 0) {
        const int64_t n = std::min<int64_t>(left, 256 - fillCount_);
        std::memcpy(buffer_ + fillCount_, from, static_cast<size_t>(n));
        fillCount_ += static_cast<int>(n);
        from += n;
        left -= n;
        if (fillCount_ == 256) FlushBlock();
    }
    // Whatever is left over after the last full block is still pending.
    dirty_ = fillCount_ > 1;
    return count;
}

void TGIFWriter::FlushBlock() {
    if (fillCount_ <= 0) return;
    buffer_[0] = static_cast<uint8_t>(fillCount_ - 1);
    const int count = fillCount_;
    fillCount_ = 1;
    dirty_ = false;
    stream_.WriteBuffer(buffer_, count);
}

// ---------------------------------------------------------------- encoder base

void TGIFEncoder::ColorNotInColorTable() { throw GIFException("Color not in color table"); }

void TGIFEncoder::EncodeImage(host::TStream& stream, int bitsPerPixel, int32_t colorCount, const uint8_t* pixels,
                              bool interlaced, int32_t height, int32_t width) {
    Stream = &stream;
    ColorCount = colorCount;
    BitsPerPixel = static_cast<uint8_t>(std::clamp(bitsPerPixel, 2, 8));
    Data = pixels;
    Interlaced = interlaced;
    Height = height;
    Width = width;
    InitialCodeWidth = BitsPerPixel + 1;

    const uint8_t minimumCodeSize = BitsPerPixel;
    stream.WriteBuffer(&minimumCodeSize, 1);

    CodeWidth = InitialCodeWidth;
    WidthLimit = static_cast<int16_t>((1 << CodeWidth) - 1);
    ClearCode = static_cast<int16_t>(1 << BitsPerPixel);
    EOICode = static_cast<int16_t>(ClearCode + 1);
    FirstFreeCode = static_cast<int16_t>(ClearCode + 2);
    BitBuffer = 0;
    BitCount = 0;
    ClearPending = false;

    RowCountdown = interlaced ? int64_t{width} : int64_t{width} * std::max(height, 0);
    Row = 0;
    Pass = 0;
    Pixel = Data;

    Writer = std::make_unique<TGIFWriter>(stream);
    try {
        if (Data && width > 0 && height > 0) EncodePixels();
        EmitCode(EOICode);
    } catch (...) {
        // The sub-block already gathered still reaches the stream; an error from writing it
        // would only hide the first one.
        try {
            Writer->Finish();
        } catch (...) {
        }
        Writer.reset();
        throw;
    }
    Writer->Finish();
    Writer.reset();
    const uint8_t terminator = 0;
    stream.WriteBuffer(&terminator, 1);
}

void TGIFEncoder::EmitCode(int code) { PutCode(code); }

void TGIFEncoder::EmitClear() {
    ClearPending = true;
    EmitCode(ClearCode);
}

// Interlaced frames go out in four passes: every 8th row from 0, every 8th from 4,
// every 4th from 2, every 2nd from 1. Passes that start below the last row are skipped.
bool TGIFEncoder::NextInterlacedRow() {
    static constexpr int32_t Step[4] = {8, 8, 4, 2};
    static constexpr int32_t Start[4] = {0, 4, 2, 1};
    RowCountdown = Width;
    Row += Step[Pass];
    while (Row >= Height) {
        if (++Pass > 3) return false;
        Row = Start[Pass];
    }
    Pixel = Data + int64_t{Row} * Width;
    return true;
}

// ---------------------------------------------------------------- LZW

void TLZWEncoder::EmitCode(int code) {
    PutCode(code);
    // Runs after the code is out and before this step's new entry: the width grows for the
    // code after the one written when NextCode first passed the limit.
    if (NextCode > WidthLimit || ClearPending) {
        if (ClearPending) {
            CodeWidth = InitialCodeWidth;
            WidthLimit = static_cast<int16_t>((1 << CodeWidth) - 1);
            ClearPending = false;
        } else {
            ++CodeWidth;
            WidthLimit = CodeWidth == 12 ? int16_t{4096} : static_cast<int16_t>((1 << CodeWidth) - 1);
        }
    }
}

void TLZWEncoder::EmitClear() {
    TGIFEncoder::EmitClear();
    Dictionary->Reset();
    NextCode = static_cast<int16_t>(ClearCode + 2);
}

void TLZWEncoder::EncodePixels() {
    Dictionary = std::make_unique<THashTable>();
    struct Release {
        std::unique_ptr<THashTable>& table;
        ~Release() { table.reset(); }
    } release{Dictionary};

    EmitClear();
    THashTable& table = *Dictionary;
    // Indices are bytes: with 256 colours or more no pixel can be out of range.
    const uint32_t colorCount = static_cast<uint32_t>(std::max(ColorCount, 0));
    const bool checkColors = colorCount < 256;
    // The pixels go by runs of the frame's row order (the whole image when it is not
    // interlaced) with the cursor and the string matched so far held in registers.
    const uint8_t* p = Pixel;
    const uint8_t* end = p + RowCountdown;
    uint32_t match = *p++;
    if (match >= colorCount) ColorNotInColorTable();
    for (;;) {
        while (p < end) {
            const uint32_t c = *p++;
            if (checkColors && c >= colorCount) ColorNotInColorTable();
            const uint32_t key = (match << 8) | c;
            const uint16_t code = table.Find(key);
            if (code != THashTable::NotFound) {
                match = code;
                continue;
            }
            TLZWEncoder::EmitCode(static_cast<int>(match));
            match = c;
            if (NextCode < 4095) {
                table.Add(key, static_cast<uint16_t>(NextCode));
                ++NextCode;
            } else {
                TLZWEncoder::EmitClear();
            }
        }
        // The run is used up: the row order decides whether another one follows.
        RowCountdown = 1;
        if (!NextPixel()) break;
        p = Pixel;
        end = p + RowCountdown;
    }
    MatchCode = static_cast<int16_t>(match);
    TLZWEncoder::EmitCode(MatchCode);
}

// ---------------------------------------------------------------- RLE

int32_t IntSqrt(int32_t x) {
    if (x < 2) return x;
    int64_t r = 1;
    for (int32_t t = x; t > 0; t /= 4) r *= 2;
    // Newton's steps from above; they end on the root or one past it.
    for (int guard = 0; guard < 64; ++guard) {
        const int64_t next = (x / r + r) / 2;
        if (next == r || next == r + 1) break;
        r = next;
    }
    return static_cast<int32_t>(r);
}

int32_t RunCost(int32_t count, int32_t limit) {
    const int64_t per = int64_t{limit} * (limit + 1) / 2;
    int64_t left = count;
    int32_t cost = 0;
    if (per > 0) {
        while (left >= per) {
            cost += limit;
            left -= per;
        }
    }
    if (left > 0) {
        // The smallest n with n(n+1)/2 >= left.
        int64_t n = IntSqrt(static_cast<int32_t>(left));
        while (n > 0 && n * (n + 1) >= 2 * left) --n;
        while (n * (n + 1) < 2 * left) ++n;
        cost += static_cast<int32_t>(n);
    }
    return cost;
}

void TRLEEncoder::EmitClear() {
    WidthBumpAt = WidthBumpInit;
    ClearAt = ClearAtInit;
    CodesSinceClear = 0;
    RunTableLength = 0;
    TGIFEncoder::EmitClear();
    CodeWidth = InitialCodeWidth;
}

void TRLEEncoder::EmitRunCode(int code) {
    ClearPending = false;
    EmitCode(code);
    ++CodesSinceClear;
    if (CodesSinceClear >= WidthBumpAt) {
        ++CodeWidth;
        WidthBumpAt += 1 << (CodeWidth - 1);
    }
    if (CodesSinceClear >= ClearAt) EmitClear();
}

void TRLEEncoder::EncodePixels() {
    WidthBumpInit = ClearCode - 1;
    ClearAtInit = BitsPerPixel <= 3 ? 9 : ClearCode - 2;
    RunCodeLimit = 4095 - FirstFreeCode;
    EmitClear();
    CurrentPixel = -1;
    int32_t count = 0;
    do {
        const int32_t c = *Pixel++;
        if (c >= ColorCount) ColorNotInColorTable();
        if (count > 0 && c != CurrentPixel) {
            FlushRun(count);
            count = 0;
        }
        if (c == CurrentPixel) {
            ++count;
        } else {
            CurrentPixel = c;
            count = 1;
        }
    } while (NextPixel());
    FlushRun(count);
}

void TRLEEncoder::FlushRun(int32_t count) {
    if (count == 1)
        EmitRunCode(CurrentPixel);
    else if (ClearPending)
        FlushAfterClear(count);
    else if (RunTableLength >= 2 && RunTablePixel == CurrentPixel)
        FlushFromTable(count);
    else
        FlushByRepeat(count);
}

void TRLEEncoder::FlushAfterClear(int32_t count) {
    ClearAt = RunCodeLimit;
    RunTablePixel = CurrentPixel;
    int32_t k = 1;
    while (count > 0) {
        if (k == 1) {
            RunTableLength = 1;
            EmitRunCode(CurrentPixel);
            count -= 1;
        } else if (k <= count) {
            RunTableLength = k;
            EmitRunCode(FirstFreeCode + k - 2);
            count -= k;
        } else {
            ++RunTableLength;
            EmitRunCode(count == 1 ? CurrentPixel : FirstFreeCode + count - 2);
            break;
        }
        k = CodesSinceClear == 0 ? 1 : k + 1;
    }
    ClearAt = ClearAtInit;
    if (CodesSinceClear >= ClearAtInit) EmitClear();
}

void TRLEEncoder::FlushByRepeat(int32_t count) {
    if (RunCost(count, RunCodeLimit) + 1 < count) {
        EmitClear();
        FlushAfterClear(count);
        return;
    }
    for (int32_t i = 0; i < count; ++i) EmitRunCode(CurrentPixel);
}

void TRLEEncoder::FlushFromTable(int32_t count) {
    const int32_t length = RunTableLength;
    int32_t n = count / length;
    int32_t rest = count % length;
    int32_t restCost = rest > 0 ? 1 : 0;
    if (CodesSinceClear + n + restCost > RunCodeLimit) {
        n = RunCodeLimit - CodesSinceClear;
        rest = count - n * length;
        restCost = RunCost(rest, RunCodeLimit) + 1;
    }
    if (RunCost(count, RunCodeLimit) + 1 < n + restCost) {
        EmitClear();
        FlushAfterClear(count);
        return;
    }
    ClearAt = RunCodeLimit;
    for (int32_t i = 0; i < n; ++i) EmitRunCode(FirstFreeCode + length - 2);
    if (rest > 0) {
        if (ClearPending)
            FlushAfterClear(rest);
        else
            EmitRunCode(rest == 1 ? CurrentPixel : FirstFreeCode + rest - 2);
    }
    ClearAt = ClearAtInit;
    if (CodesSinceClear >= ClearAtInit) EmitClear();
}

std::unique_ptr<TGIFEncoder> CreateGIFEncoder(uint8_t encoderKind) {
    if (encoderKind == GIFEncoderRLE) return std::make_unique<TRLEEncoder>();
    return std::make_unique<TLZWEncoder>();
}
