#pragma once
// An engine and a listing entry built by hand as tables of function pointers
// in the slot order of the engine's contract (engine slots 7 to 26, entry
// getters at 7, 9, 11 and 13), with their own by-value record layout. Nothing
// here comes from the project's interface declarations, so a slot or layout
// mistake there makes calls land in the wrong place here and fails a test.

#include <windows.h>

#include <string>
#include <vector>

struct IStorageBrowser;

// One call as the table saw it: its slot and its arguments as text. A
// by-value record reads account|bucket|key|size.
struct SlotCall {
    int slot;
    std::string args;
};

class SlotTableEngine {
public:
    SlotTableEngine();
    SlotTableEngine(const SlotTableEngine&) = delete;
    SlotTableEngine& operator=(const SlotTableEngine&) = delete;

    IStorageBrowser* AsEngine() { return reinterpret_cast<IStorageBrowser*>(&object_); }

    std::vector<SlotCall> calls;
    // First operations hand out one entry with these values, then Next ends.
    std::wstring itemName = L"entry";
    double itemDate = 0.0;
    LONG itemKind = 3;
    LONGLONG itemSize = 0;
    LONG liveItems = 0;

    struct Object {
        const void* const* vtable;
        SlotTableEngine* owner;
    };

private:
    Object object_;
};
