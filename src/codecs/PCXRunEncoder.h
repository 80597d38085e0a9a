#pragma once

#include <cstdint>
#include <vector>

// A count byte holds these two top bits and the count in the six below.
inline constexpr uint8_t PCXRunMarker = 0xC0;
inline constexpr int32_t PCXMaxRun = 63;

// The run-length coding of PCX rows: a run of 2 to 63 equal bytes, or a single byte of
// 0xC0 and above, is written as 0xC0 + count and the byte; any other byte stands as
// itself. Runs are cut at 63 and never continue into the next row.
//
// Rows are looked at 64 bytes at a time: one mask marks the bytes equal to their
// successor, another the bytes that would read as counts. Only the tokens that need a
// count are visited; the literal bytes between them are copied a word at a time.
class PCXRunEncoder {
public:
    // Bytes that Encode may read past a row's end, and write past the longest encoding.
    static constexpr int32_t InputSlack = 16;
    static constexpr int32_t OutputSlack = 16;

    explicit PCXRunEncoder(int32_t width);

    // Writes the runs of `width` bytes at row (readable up to InputSlack bytes beyond) to
    // out, which holds 2 * width + OutputSlack bytes. Returns the end of the encoding.
    uint8_t* Encode(const uint8_t* row, uint8_t* out);

private:
    void MarkRow(const uint8_t* row);

    int32_t width_;
    // Bit i of the row's bit masks: equal_, byte i equals byte i + 1 (never for the last);
    // countLike_, byte i is 0xC0 or above. One spare zero word ends each.
    std::vector<uint64_t> equal_;
    std::vector<uint64_t> countLike_;
};
