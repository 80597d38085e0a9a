#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "picture/PixelBuffer.h"

// A block grows keeping its first bytes, whether it is the library's own (small, or large
// enough to be a mapping of its own with huge-page advice) or lent; a lent one goes back.
TEST(PixelBuffer, GrowingKeepsTheKeptBytesAndGivesLentBlocksBack) {
    struct Lease : host::PixelLease {  // records that it went back
        explicit Lease(bool& returned) : returned(returned) {}
        ~Lease() override { returned = true; }
        bool& returned;
    };
    const struct {
        const char* block;
        int64_t size, grown;
        bool lent;
    } cases[] = {
        {"own, small", 1000, 5000, false},
        {"own, advised huge pages", int64_t{9} << 20, int64_t{24} << 20, false},
        {"lent", 1000, 5000, true},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> lender(static_cast<size_t>(c.size + host::PixelBufferSpare)), pattern(static_cast<size_t>(c.size));
        for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<uint8_t>(i * 7 + 3);
        bool returned = false;
        host::PixelBuffer block = c.lent ? host::BorrowPixels(lender.data(), std::make_unique<Lease>(returned))
                                         : host::AllocatePixels(c.size);
        std::memcpy(block.get(), pattern.data(), pattern.size());
        host::PixelBuffer grown = host::GrowPixels(std::move(block), c.size, c.grown);
        EXPECT_EQ(std::memcmp(grown.get(), pattern.data(), pattern.size()), 0) << c.block;
        std::memset(grown.get() + c.size, 1, static_cast<size_t>(c.grown - c.size + host::PixelBufferSpare));
        EXPECT_EQ(returned, c.lent) << c.block;
    }
}
