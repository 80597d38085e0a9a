#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"
#include "image/DynamicLists.h"
#include "streams/MemStream.h"

using namespace testing_support;

namespace {

struct Pair {
    uint32_t a, b;
};

// A list with its owner's pointer, as the plug-in loader holds one.
struct Owner {
    Pair* items = nullptr;
    TDynamicList list{sizeof(Pair), &items};

    void Add(uint32_t a, uint32_t b) {
        list.AddItem();
        items[list.Count - 1] = {a, b};
    }
};

std::vector<uint8_t> Contents(TMemStream& stream) {
    std::vector<uint8_t> bytes(static_cast<size_t>(stream.GetSize()));
    stream.Seek(0);
    stream.Read(bytes.data(), static_cast<int64_t>(bytes.size()));
    return bytes;
}

class Unsaved : public TStreamClass {
public:
    PIXMORPH_CLASS_NAME(TUnsaved)
};

}  // namespace

TEST(DynamicList, GrowsBySixteenThenDoublesOrByDeltaAndKeepsTheOwnersPointerCurrent) {
    struct Case {
        int32_t delta;      // from the start
        int32_t deltaAt16;  // set once 16 items are in
        int adds;
        int32_t capacity;
    };
    for (const Case c : {Case{0, 0, 1, 16}, Case{0, 0, 16, 16}, Case{0, 0, 17, 32}, Case{0, 0, 33, 64},
                         Case{0, 10, 17, 26}, Case{0, 10, 27, 36}, Case{10, 10, 1, 10}, Case{-1, -1, 17, 32}}) {
        Owner owner;
        owner.list.Delta = c.delta;
        for (int i = 0; i < c.adds; ++i) {
            if (i == 16) owner.list.Delta = c.deltaAt16;
            owner.Add(static_cast<uint32_t>(i), static_cast<uint32_t>(i * 3));
            ASSERT_EQ(owner.items, reinterpret_cast<Pair*>(owner.list.Data.get()));
        }
        EXPECT_EQ(owner.list.Capacity, c.capacity)
            << "delta " << c.delta << "/" << c.deltaAt16 << ", " << c.adds << " items";
        EXPECT_EQ(owner.list.Count, c.adds);
        for (int i = 0; i < c.adds; ++i) EXPECT_EQ(owner.items[i].b, static_cast<uint32_t>(i * 3));
    }
}

TEST(DynamicList, CapacityDeleteCompactAndClearKeepItemsInOrder) {
    Owner owner;
    for (uint32_t i = 0; i < 5; ++i) owner.Add(i, 100 + i);
    owner.list.SetCapacity(3);
    EXPECT_EQ(owner.list.Count, 3);
    EXPECT_EQ(owner.items[2].b, 102u);

    owner.list.DeleteItem(0);
    ASSERT_EQ(owner.list.Count, 2);
    EXPECT_EQ(owner.items[0].a, 1u);
    EXPECT_EQ(owner.items[1].a, 2u);
    EXPECT_EQ(owner.list.Capacity, 3);  // deleting never shrinks

    owner.list.Compact();
    EXPECT_EQ(owner.list.Capacity, 2);
    EXPECT_EQ(owner.items[1].b, 102u);

    const std::string failure = messageOf<EAssertionFailed>([&] { owner.list.DeleteItem(2); });
    EXPECT_EQ(failure.rfind("Assertion failure (DynamicLists, line ", 0), 0u) << failure;
    EXPECT_EQ(owner.list.Count, 2);

    Owner copy;
    copy.list.Assign(owner.list);
    EXPECT_EQ(copy.list.Count, 2);
    EXPECT_EQ(copy.list.Capacity, 2);
    EXPECT_EQ(copy.items[0].b, 101u);
    EXPECT_NE(copy.items, owner.items);

    owner.list.Clear();
    EXPECT_EQ(owner.items, nullptr);
    EXPECT_EQ(owner.list.Count, 0);
    EXPECT_EQ(owner.list.Capacity, 0);
}

TEST(DynamicList, SavesCountAndItemsLittleEndianAndLoadsThemBack) {
    Owner owner;
    owner.Add(0x04030201, 0x08070605);
    owner.Add(0x0C0B0A09, 0x100F0E0D);
    TMemStream stream;
    owner.list.SaveToStream(stream);
    std::vector<uint8_t> expected = {2, 0, 0, 0};
    for (uint8_t i = 1; i <= 16; ++i) expected.push_back(i);
    EXPECT_EQ(Contents(stream), expected);

    Owner loaded;
    loaded.Add(7, 7);
    stream.Seek(0);
    loaded.list.LoadFromStream(stream);
    ASSERT_EQ(loaded.list.Count, 2);
    EXPECT_EQ(std::memcmp(loaded.items, owner.items, 16), 0);

    TempDir dir;
    owner.list.SaveToFile(dir / "list.bin");
    EXPECT_EQ(readFile(dir / "list.bin"), expected);
    Owner fromFile;
    fromFile.list.LoadFromFile(dir / "list.bin");
    ASSERT_EQ(fromFile.list.Count, 2);
    EXPECT_EQ(fromFile.items[1].b, 0x100F0E0Du);
}

TEST(DynamicList, ShortOrLyingStreamsLeaveTheListEmptyWithoutAllocatingForTheClaim) {
    struct Case {
        std::vector<uint8_t> bytes;
        bool raises;
    };
    const Case cases[] = {
        {{2, 0, 0}, false},                        // fewer than 4 count bytes: simply empty
        {{0xFF, 0xFF, 0xFF, 0x7F, 1, 2}, true},    // two thousand million items claimed
        {{0xFF, 0xFF, 0xFF, 0xFF}, true},          // a negative count
        {{2, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, true},  // one item of two present
    };
    for (const Case& c : cases) {
        TMemStream stream;
        stream.Write(c.bytes.data(), static_cast<int64_t>(c.bytes.size()));
        stream.Seek(0);
        Owner owner;
        owner.Add(1, 1);
        if (c.raises) {
            EXPECT_EQ(messageOf<EInOutError>([&] { owner.list.LoadFromStream(stream); }), "Read less than expected");
        } else {
            owner.list.LoadFromStream(stream);
        }
        EXPECT_EQ(owner.list.Count, 0);
        EXPECT_EQ(owner.list.Capacity, 0);
    }
}

TEST(StreamClass, UnimplementedStreamingNamesTheClass) {
    Unsaved object;
    TMemStream stream;
    EXPECT_EQ(messageOf<Exception>([&] { object.SaveToStream(stream); }), "TUnsaved.SaveToStream not implemented");
    EXPECT_EQ(messageOf<Exception>([&] { object.LoadFromStream(stream); }), "TUnsaved.LoadFromStream not implemented");
}
