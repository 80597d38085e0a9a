#include "compress/CRC32Stream.h"

#include <array>

#include "platform/ByteOrder.h"

namespace {

// Slicing-by-8: table k advances the register over a byte followed by k zero bytes,
// so eight bytes are folded in per step with the same result as the byte-wise rule.
constexpr std::array<std::array<uint32_t, 256>, 8> makeTables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (uint32_t n = 0; n < 256; ++n)
        for (int k = 1; k < 8; ++k) t[k][n] = t[0][t[k - 1][n] & 0xFF] ^ (t[k - 1][n] >> 8);
    return t;
}

constexpr auto Tables = makeTables();

}  // namespace

const uint32_t CRC32Table[256] = {
#define ROW(i) Tables[0][i], Tables[0][i + 1], Tables[0][i + 2], Tables[0][i + 3], \
               Tables[0][i + 4], Tables[0][i + 5], Tables[0][i + 6], Tables[0][i + 7]
    ROW(0),   ROW(8),   ROW(16),  ROW(24),  ROW(32),  ROW(40),  ROW(48),  ROW(56),
    ROW(64),  ROW(72),  ROW(80),  ROW(88),  ROW(96),  ROW(104), ROW(112), ROW(120),
    ROW(128), ROW(136), ROW(144), ROW(152), ROW(160), ROW(168), ROW(176), ROW(184),
    ROW(192), ROW(200), ROW(208), ROW(216), ROW(224), ROW(232), ROW(240), ROW(248),
#undef ROW
};

uint32_t UpdateCRC32Register(uint32_t c, const void* buffer, size_t count) {
    const auto* p = static_cast<const uint8_t*>(buffer);
    while (count >= 8) {
        const uint32_t lo = host::ReadLE32(p) ^ c;  // byte 0 meets the register's low byte
        const uint32_t hi = host::ReadLE32(p + 4);
        c = Tables[7][lo & 0xFF] ^ Tables[6][(lo >> 8) & 0xFF] ^ Tables[5][(lo >> 16) & 0xFF] ^
            Tables[4][lo >> 24] ^ Tables[3][hi & 0xFF] ^ Tables[2][(hi >> 8) & 0xFF] ^
            Tables[1][(hi >> 16) & 0xFF] ^ Tables[0][hi >> 24];
        p += 8;
        count -= 8;
    }
    while (count--) c = Tables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c;
}

TCRC32Stream::TCRC32Stream(TBaseStream* stream) : TFilterStream(stream) {
    CanRead = stream->CanRead;
    CanWrite = stream->CanWrite;
}

void TCRC32Stream::UpdateCRC(const void* buffer, int64_t count) {
    if (count > 0) CRCRegister = UpdateCRC32Register(CRCRegister, buffer, static_cast<size_t>(count));
}

int64_t TCRC32Stream::Write(const void* buffer, int64_t count) {
    UpdateCRC(buffer, count);
    return Inner->Write(buffer, count);
}

int64_t TCRC32Stream::Read(void* buffer, int64_t count) {
    const int64_t n = Inner->Read(buffer, count);
    UpdateCRC(buffer, n);
    return n;
}
