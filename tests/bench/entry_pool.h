#pragma once
// The listing entries the benchmarks' engines hand out: made once and handed
// out by reference (one AddRef each), so an engine allocates nothing per
// entry but the name's BSTR, which the caller frees. Names as a camera gives
// them, every tenth entry a folder.

#include <cstdio>
#include <vector>

#include "tests/support/scripted_engine.h"

class EntryPool {
public:
    explicit EntryPool(int count) {
        for (int i = 0; i < count; ++i) {
            ItemValues entry;
            wchar_t name[64];
            swprintf(name, 64, L"IMG_20240601_%06d.jpg", 123000 + i);
            entry.name = name;
            entry.date = 45000.25 + i / 1440.0;
            entry.kind = i % 10 == 0 ? 1 : 3;
            entry.size = 1048576LL * (i + 1) + i;
            items_.push_back(MakeFakeItem(entry));
        }
    }
    ~EntryPool() {
        for (StorageItem* item : items_) item->Release();
    }
    EntryPool(const EntryPool&) = delete;
    EntryPool& operator=(const EntryPool&) = delete;

    // Entry `index`, counted round the pool, with a reference for the caller.
    StorageItem* Take(int index) const {
        StorageItem* item = items_[static_cast<std::size_t>(index) % items_.size()];
        item->AddRef();
        return item;
    }

private:
    std::vector<StorageItem*> items_;
};
