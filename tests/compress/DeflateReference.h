#pragma once

// An independent, deliberately plain reader of raw deflate data for the tests: it records
// every block and every token, so that tests can check the block structure and the matches
// a compressor chose. Canonical codes are decoded by counting (as in RFC 1951), with no
// code shared with the library.

#include <cstdint>
#include <stdexcept>
#include <vector>

namespace deflate_reference {

// Base value and extra bits of each length symbol (from 257) and each distance symbol.
inline constexpr int lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
inline constexpr int lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                        2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
inline constexpr int distanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,
                                         33,  49,  65,  97,  129, 193,  257,  385,  513,  769,
                                         1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
inline constexpr int distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                          6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

struct Token {
    int length = 0;  // 0: literal
    int distance = 0;
    uint8_t literal = 0;
};

struct Block {
    bool final = false;
    int type = 0;
    int hlit = 0, hdist = 0, hclen = 0;
    std::vector<int> distanceLengths;  // dynamic blocks: the HDIST code lengths sent
    std::vector<Token> tokens;
};

struct Parsed {
    std::vector<Block> blocks;
    std::vector<uint8_t> data;
    size_t bytesUsed = 0;  // compressed bytes up to and including the last partial byte
};

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}

    Parsed parse() {
        Parsed out;
        bool last = false;
        while (!last) {
            Block b;
            b.final = last = bits(1);
            b.type = static_cast<int>(bits(2));
            if (b.type == 0) {
                bitCount_ = 0;
                bitBuf_ = 0;
                const uint32_t len = word16();
                const uint32_t nlen = word16();
                if ((len ^ 0xFFFF) != nlen) throw std::runtime_error("stored length");
                for (uint32_t i = 0; i < len; ++i) {
                    out.data.push_back(static_cast<uint8_t>(byte()));
                    Token t;
                    t.literal = out.data.back();
                    b.tokens.push_back(t);
                }
            } else if (b.type == 1 || b.type == 2) {
                Huff lit, dist;
                if (b.type == 1) {
                    int l[288];
                    for (int i = 0; i < 144; ++i) l[i] = 8;
                    for (int i = 144; i < 256; ++i) l[i] = 9;
                    for (int i = 256; i < 280; ++i) l[i] = 7;
                    for (int i = 280; i < 288; ++i) l[i] = 8;
                    lit.build(l, 288);
                    int d[30];
                    for (int& x : d) x = 5;
                    dist.build(d, 30);
                } else {
                    b.hlit = static_cast<int>(bits(5)) + 257;
                    b.hdist = static_cast<int>(bits(5)) + 1;
                    b.hclen = static_cast<int>(bits(4)) + 4;
                    static const int order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
                    int cl[19] = {};
                    for (int i = 0; i < b.hclen; ++i) cl[order[i]] = static_cast<int>(bits(3));
                    Huff clh;
                    clh.build(cl, 19);
                    int lengths[320] = {};
                    int i = 0;
                    while (i < b.hlit + b.hdist) {
                        const int s = decode(clh);
                        if (s < 16) {
                            lengths[i++] = s;
                        } else {
                            int rep = 0, v = 0;
                            if (s == 16) {
                                if (i == 0) throw std::runtime_error("repeat first");
                                v = lengths[i - 1];
                                rep = 3 + static_cast<int>(bits(2));
                            } else if (s == 17) {
                                rep = 3 + static_cast<int>(bits(3));
                            } else {
                                rep = 11 + static_cast<int>(bits(7));
                            }
                            if (i + rep > b.hlit + b.hdist) throw std::runtime_error("repeat past end");
                            while (rep--) lengths[i++] = v;
                        }
                    }
                    lit.build(lengths, b.hlit);
                    dist.build(lengths + b.hlit, b.hdist);
                    b.distanceLengths.assign(lengths + b.hlit, lengths + b.hlit + b.hdist);
                }
                for (;;) {
                    const int s = decode(lit);
                    Token t;
                    if (s < 256) {
                        t.literal = static_cast<uint8_t>(s);
                        out.data.push_back(t.literal);
                    } else if (s == 256) {
                        break;
                    } else {
                        if (s > 285) throw std::runtime_error("bad length symbol");
                        t.length = lengthBase[s - 257] + static_cast<int>(bits(lengthExtra[s - 257]));
                        const int ds = decode(dist);
                        if (ds > 29) throw std::runtime_error("bad distance symbol");
                        t.distance = distanceBase[ds] + static_cast<int>(bits(distanceExtra[ds]));
                        if (static_cast<size_t>(t.distance) > out.data.size()) throw std::runtime_error("too far");
                        for (int k = 0; k < t.length; ++k) out.data.push_back(out.data[out.data.size() - t.distance]);
                    }
                    b.tokens.push_back(t);
                }
            } else {
                throw std::runtime_error("block type 3");
            }
            out.blocks.push_back(std::move(b));
        }
        out.bytesUsed = pos_;
        return out;
    }

private:
    struct Huff {
        int count[16] = {};
        std::vector<int> symbol;
        void build(const int* lengths, int n) {
            symbol.assign(static_cast<size_t>(n), 0);
            for (int i = 0; i < n; ++i) ++count[lengths[i]];
            count[0] = 0;
            int offs[16] = {};
            for (int l = 1; l < 15; ++l) offs[l + 1] = offs[l] + count[l];
            for (int i = 0; i < n; ++i)
                if (lengths[i]) symbol[static_cast<size_t>(offs[lengths[i]]++)] = i;
        }
    };

    int decode(const Huff& h) {
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= 15; ++len) {
            code |= static_cast<int>(bits(1));
            const int c = h.count[len];
            if (code - c < first) return h.symbol[static_cast<size_t>(index + (code - first))];
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        throw std::runtime_error("no such code");
    }

    // Two bytes, low first; read in two statements because the operands of "|" have no
    // defined order of evaluation.
    uint32_t word16() {
        const uint32_t low = byte();
        const uint32_t high = byte();
        return low | high << 8;
    }

    uint32_t byte() {
        if (pos_ >= n_) throw std::runtime_error("out of input");
        return p_[pos_++];
    }
    uint32_t bits(int n) {
        uint64_t v = bitBuf_;
        while (bitCount_ < n) {
            v |= static_cast<uint64_t>(byte()) << bitCount_;
            bitCount_ += 8;
        }
        bitBuf_ = v >> n;
        bitCount_ -= n;
        return static_cast<uint32_t>(v & ((1ull << n) - 1));
    }

    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    uint64_t bitBuf_ = 0;
    int bitCount_ = 0;
};

inline Parsed parse(const std::vector<uint8_t>& bytes) { return Reader(bytes.data(), bytes.size()).parse(); }

}  // namespace deflate_reference
