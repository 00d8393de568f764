#pragma once
// Objects that the host holds by handle: the plugin's open listings, and in
// corvanel.wfx64 the helper's listings that the host's handles stand for.
//
// A handle names one object from Open until Close and no other object while
// that one is open; a handle never given out, or one closed, names nothing.
// Handles are never 0 and never INVALID_HANDLE_VALUE. A slot's handles differ
// from one opening to the next in a serial number of 23 bits, so a closed
// handle could name an object again only after its slot has been opened
// 8,388,607 more times.
//
// At most N objects are open: a host that never closes what it opened cannot
// make the table grow. Past N, Open closes the oldest object that is not in
// use and hands it to the caller.
//
// Threads: opening and closing hold the table's lock for a moment, never
// while an object's user works. Taking an object for use, once per listing
// entry, is one interlocked exchange on its slot, and putting it back a plain
// store: while an object is in use no one else writes its slot's state. Close
// from another thread meanwhile only marks the slot: the handle names nothing
// from then on, and the object, put back, goes at the next opening that
// needs its slot, or at the next Close or CloseAll.

#include <windows.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

#include "common/srw_lock.h"

template <typename T, std::size_t N>
class HandleTable {
    static_assert(N > 0 && N <= 256, "the slot index is the handle's low byte");

public:
    static constexpr std::size_t kMostOpen = N;

    HandleTable() = default;
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // Opens `object` under a new handle, or gives INVALID_HANDLE_VALUE when
    // all N are in use (the object is then destroyed). The oldest object,
    // when one had to be closed to make room, goes to `closed`.
    HANDLE Open(std::unique_ptr<T> object, std::unique_ptr<T>& closed) {
        SrwLock::Exclusive hold(lock_);
        Slot* slot = FreeSlot();
        if (slot == nullptr) {
            slot = CloseOldestIdle(closed);
            if (slot == nullptr) return INVALID_HANDLE_VALUE;
        }
        slot->serial = slot->serial % kLastSerial + 1;
        slot->openedAs = ++openings_;
        slot->object = std::move(object);
        slot->closed = 0;
        InterlockedExchange(&slot->state, Idle(slot->serial));  // published with the object
        return HandleOf(*slot);
    }

    // Closes the object of `handle` and hands it over; null when the handle
    // names nothing, or when the object is in use (the handle names nothing
    // from now on; the object goes later, see above). A handle closed while
    // in use, and put back since, hands its object over.
    std::unique_ptr<T> Close(HANDLE handle) {
        SrwLock::Exclusive hold(lock_);
        Slot* slot = SlotOf(handle);
        if (slot == nullptr) return nullptr;
        const LONG idle = Idle(slot->serial);
        if (InterlockedCompareExchange(&slot->state, kFree, idle) == idle) return std::move(slot->object);
        // In use: its user's exchange, a full barrier, sees the mark when it
        // comes after this; one that came before finishes its call, and takes
        // the object with TakeIfClosed once it has put it back. Put back
        // meanwhile, it is this call's to take.
        if (slot->state != (idle | kInUse)) return nullptr;
        InterlockedExchange(&slot->closed, 1);
        if (InterlockedCompareExchange(&slot->state, kFree, idle) == idle) return std::move(slot->object);
        return nullptr;
    }

    // The object of a handle closed while its user had it, once put back;
    // null when there is none, or Close took it already.
    std::unique_ptr<T> TakeIfClosed(HANDLE handle) {
        // Each FsFindNext asks: an open listing's answer takes no lock.
        if (const Slot* unlocked = SlotOf(handle); unlocked == nullptr || unlocked->closed == 0) return nullptr;
        SrwLock::Exclusive hold(lock_);
        Slot* slot = SlotOf(handle);
        if (slot == nullptr || slot->closed == 0) return nullptr;
        const LONG idle = Idle(slot->serial);
        if (InterlockedCompareExchange(&slot->state, kFree, idle) == idle) return std::move(slot->object);
        return nullptr;
    }

    // Keeps one closed object for the next opening to reuse, with what it
    // holds (a listing's block of names): the host opens and closes one
    // listing after another. Takes a null object too.
    void Recycle(std::unique_ptr<T> object) {
        SrwLock::Exclusive hold(lock_);
        if (spare_ == nullptr) spare_ = std::move(object);
        // Otherwise the object goes when `object` leaves scope, after the lock.
    }
    // The object kept for reuse, or null.
    std::unique_ptr<T> TakeRecycled() {
        SrwLock::Exclusive hold(lock_);
        return std::move(spare_);
    }

    // Closes every object and lets the one kept for reuse go.
    void CloseAll() {
        TakeRecycled();
        for (Slot& slot : slots_) {
            if (slot.serial != 0) Close(HandleOf(slot));
        }
    }

    // The object of a handle, taken for one caller's use and put back when
    // this goes out of scope; empty when the handle names nothing open, or
    // an object already in use.
    class Use {
    public:
        Use(HandleTable& table, HANDLE handle) : slot_(table.SlotOf(handle)) {
            // The state names the serial: the exchange takes only the object
            // the handle was given out for, whatever the slot holds by now.
            if (slot_ == nullptr) return;
            idle_ = Idle(SerialOf(handle));
            if (InterlockedCompareExchange(&slot_->state, idle_ | kInUse, idle_) != idle_) {
                slot_ = nullptr;
            } else if (slot_->closed != 0) {
                PutBack();  // closed while another user had it
                slot_ = nullptr;
            }
        }
        ~Use() {
            if (slot_ != nullptr) PutBack();
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        explicit operator bool() const { return slot_ != nullptr; }
        T& operator*() const { return *slot_->object; }
        T* operator->() const { return slot_->object.get(); }

    private:
        // Only this user writes the state while it holds the slot.
        void PutBack() { __atomic_store_n(&slot_->state, idle_, __ATOMIC_RELEASE); }

        typename HandleTable::Slot* slot_;
        LONG idle_ = kFree;
    };

private:
    static constexpr std::uint32_t kLastSerial = (1u << 23) - 1;
    // A slot's state: free, or its serial with the flag of use.
    static constexpr LONG kFree = 0;
    static constexpr LONG kInUse = 1;
    static LONG Idle(std::uint32_t serial) { return static_cast<LONG>(serial << 1); }

    struct Slot {
        volatile LONG state = kFree;
        volatile LONG closed = 0;    // closed while in use: the handle names nothing
        std::uint32_t serial = 0;    // of the handle that names it, the last one given out
        std::uint64_t openedAs = 0;  // the order of openings: the oldest is the least
        std::unique_ptr<T> object;
    };

    HANDLE HandleOf(const Slot& slot) const {
        const auto index = static_cast<std::uint32_t>(&slot - slots_.data());
        return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(slot.serial << 8 | index));
    }

    static std::uint32_t SerialOf(HANDLE handle) {
        const auto serial = reinterpret_cast<UINT_PTR>(handle) >> 8;
        return serial <= kLastSerial ? static_cast<std::uint32_t>(serial) : 0;
    }

    // The slot that `handle` was given out for, or null; whether the object
    // is still open there is its state's to say.
    Slot* SlotOf(HANDLE handle) {
        const std::size_t index = reinterpret_cast<UINT_PTR>(handle) & 0xFF;
        const std::uint32_t serial = SerialOf(handle);
        if (index >= N || serial == 0) return nullptr;
        Slot& slot = slots_[index];
        return slot.serial == serial ? &slot : nullptr;
    }

    Slot* FreeSlot() {
        for (Slot& slot : slots_) {
            if (slot.state == kFree && slot.object == nullptr) return &slot;
        }
        return nullptr;
    }

    // Closes the oldest object not in use into `closed`, one the host has
    // closed already before any; its slot, or null when every object is in
    // use.
    Slot* CloseOldestIdle(std::unique_ptr<T>& closed) {
        for (std::size_t tries = 0; tries < N; ++tries) {
            Slot* oldest = nullptr;
            for (Slot& slot : slots_) {
                if (slot.state != Idle(slot.serial)) continue;
                if (oldest == nullptr || slot.closed > oldest->closed ||
                    (slot.closed == oldest->closed && slot.openedAs < oldest->openedAs)) {
                    oldest = &slot;
                }
            }
            if (oldest == nullptr) return nullptr;
            const LONG idle = Idle(oldest->serial);
            if (InterlockedCompareExchange(&oldest->state, kFree, idle) == idle) {
                closed = std::move(oldest->object);
                return oldest;
            }
        }
        return nullptr;
    }

    SrwLock lock_;
    std::array<Slot, N> slots_;
    std::uint64_t openings_ = 0;
    std::unique_ptr<T> spare_;
};
