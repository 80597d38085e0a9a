#pragma once

#include <cstdint>
#include <memory>

#include "image/StreamUtils.h"

// A growable array of fixed-size items that keeps its owner's typed pointer to the
// items up to date, so that the owner indexes them as a plain array. Items are raw
// bytes: they are moved with memcpy and new ones are not initialised, so only
// trivially copyable types belong in a list.
class TDynamicList : public TStreamClass {
public:
    PIXMORPH_CLASS_NAME(TDynamicList)
    // After every reallocation the list stores the new address in *DataRef. Nothing is
    // stored there before the first one.
    template <class T>
    TDynamicList(int32_t ItemSize, T** DataRef)
        : DataRef(DataRef), ItemSize(ItemSize), storeData_([](void* ref, uint8_t* data) {
              *static_cast<T**>(ref) = reinterpret_cast<T*>(data);
          }) {}
    ~TDynamicList() override;
    TDynamicList(const TDynamicList&) = delete;
    TDynamicList& operator=(const TDynamicList&) = delete;

    void* const DataRef;
    int32_t Capacity = 0;
    const int32_t ItemSize;
    std::unique_ptr<uint8_t[]> Data;
    int32_t Count = 0;
    // Growth step; 0 or less doubles the capacity.
    int32_t Delta = 0;

    // Another list of the same item size: a compact copy of its items.
    void Assign(TObject& Source) override;
    // Count as 4 bytes little-endian, then the items as stored.
    void SaveToStream(TBaseStream& Stream) override;
    // The list is emptied first; a stream with fewer than 4 bytes leaves it empty, and a
    // count the stream cannot deliver raises without allocating for it.
    void LoadFromStream(TBaseStream& Stream) override;
    virtual void Clear();
    virtual void Compact();

    // Keeps the first items; N below Count drops the rest. EOutOfMemory leaves the
    // list as it was.
    void SetCapacity(int32_t N);
    void SetCount(int32_t N);
    // One more item at index Count - 1, not initialised.
    void AddItem();
    void DeleteItem(int32_t Index);
    uint8_t* Item(int32_t Index) { return Data.get() + static_cast<int64_t>(Index) * ItemSize; }

private:
    void (*storeData_)(void* ref, uint8_t* data);
};
