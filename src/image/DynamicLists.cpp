#include "image/DynamicLists.h"

#include <cstring>
#include <limits>
#include <new>

#include "platform/CheckedSize.h"
#include "streams/Streams.h"

namespace {

constexpr const char* Unit = "DynamicLists";
constexpr int32_t FirstCapacity = 16;

}  // namespace

TDynamicList::~TDynamicList() = default;

void TDynamicList::SetCapacity(int32_t N) {
    PIXMORPH_ASSERT(N >= 0, "Assertion failure", Unit);
    if (N == Capacity) return;
    std::unique_ptr<uint8_t[]> data;
    if (N > 0) {
        const int64_t bytes = productWithin({N, ItemSize});
        if (bytes < 0) throw EOutOfMemory("Out of memory");
        data = AllocateBytes(bytes);
        const int32_t kept = std::min(Count, N);
        if (kept > 0) std::memcpy(data.get(), Data.get(), static_cast<size_t>(int64_t{kept} * ItemSize));
    }
    Data = std::move(data);
    Capacity = N;
    storeData_(DataRef, Data.get());
    if (N < Count) Count = N;
    PIXMORPH_ASSERT(Count <= Capacity, "Assertion failure", Unit);
}

void TDynamicList::SetCount(int32_t N) {
    PIXMORPH_ASSERT(N >= 0, "Assertion failure", Unit);
    if (Capacity < N) SetCapacity(N);
    Count = N;
}

void TDynamicList::AddItem() {
    if (Count >= Capacity) {
        int64_t grown;
        if (Capacity == 0 && Delta == 0)
            grown = FirstCapacity;
        else if (Delta <= 0)
            grown = std::max<int64_t>(int64_t{Capacity} * 2, 1);
        else
            grown = int64_t{Capacity} + Delta;
        if (grown > std::numeric_limits<int32_t>::max()) throw EOutOfMemory("Out of memory");
        SetCapacity(static_cast<int32_t>(grown));
    }
    ++Count;
}

void TDynamicList::DeleteItem(int32_t Index) {
    PIXMORPH_ASSERT(Index >= 0 && Index < Count, "Assertion failure", Unit);
    const int64_t after = int64_t{Count - 1 - Index} * ItemSize;
    if (after > 0) std::memmove(Item(Index), Item(Index + 1), static_cast<size_t>(after));
    --Count;
}

void TDynamicList::Clear() { SetCapacity(0); }

void TDynamicList::Compact() { SetCapacity(Count); }

void TDynamicList::Assign(TObject& Source) {
    auto* list = dynamic_cast<TDynamicList*>(&Source);
    if (!list) {
        TStreamClass::Assign(Source);
        return;
    }
    if (list == this) return;
    PIXMORPH_ASSERT(list->ItemSize == ItemSize, "Assertion failure", Unit);
    Clear();
    SetCapacity(list->Count);
    Count = Capacity;
    if (Count > 0) std::memcpy(Data.get(), list->Data.get(), static_cast<size_t>(int64_t{Count} * ItemSize));
}

void TDynamicList::SaveToStream(TBaseStream& Stream) {
    const uint32_t count = static_cast<uint32_t>(Count);
    const uint8_t bytes[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
                              static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 24)};
    Stream.Write(bytes, 4);
    if (Count > 0) Stream.Write(Data.get(), int64_t{Count} * ItemSize);
}

void TDynamicList::LoadFromStream(TBaseStream& Stream) {
    SetCapacity(0);
    uint8_t bytes[4];
    if (ReadUpTo(Stream, bytes, 4) != 4) return;
    const auto count = static_cast<int32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | uint32_t{bytes[3]} << 24);
    // A count read from a file sizes nothing until the stream is known to hold its items.
    const int64_t size = productWithin({count, ItemSize});
    if (size < 0 || size > Stream.Available()) throw EInOutError("Read less than expected");
    SetCount(count);
    try {
        if (size > 0 && Stream.Read(Data.get(), size) != size) throw EInOutError("Read less than expected");
    } catch (...) {
        Clear();
        throw;
    }
}
