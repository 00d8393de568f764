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
// Threads: the table has a lock of its own, held only while an object is
// opened, taken for use, put back or closed; never while its user works.
// An object in use is its user's alone. Close from another thread meanwhile
// marks it, and the user's putting it back closes it.

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
            slot = OldestIdle();
            if (slot == nullptr) return INVALID_HANDLE_VALUE;
            closed = std::move(slot->object);
        }
        slot->serial = slot->serial % kLastSerial + 1;
        slot->openedAs = ++openings_;
        slot->inUse = false;
        slot->closeWhenPutBack = false;
        slot->object = std::move(object);
        return HandleOf(*slot);
    }

    // Closes the object of `handle` and hands it over; null when the handle
    // names nothing, or when the object is in use (it closes when its user
    // puts it back).
    std::unique_ptr<T> Close(HANDLE handle) {
        SrwLock::Exclusive hold(lock_);
        Slot* slot = SlotOf(handle);
        if (slot == nullptr) return nullptr;
        if (slot->inUse) {
            slot->closeWhenPutBack = true;
            return nullptr;
        }
        return std::move(slot->object);
    }

    // Closes every object, as a new start does.
    void CloseAll() {
        for (Slot& slot : slots_) {
            std::unique_ptr<T> object;
            {
                SrwLock::Exclusive hold(lock_);
                if (slot.inUse) {
                    slot.closeWhenPutBack = true;
                    continue;
                }
                object = std::move(slot.object);
            }
        }
    }

    // The object of a handle, taken for one caller's use and put back when
    // this goes out of scope; empty when the handle names nothing open, or
    // an object already in use.
    class Use {
    public:
        Use(HandleTable& table, HANDLE handle) : table_(table) {
            SrwLock::Exclusive hold(table_.lock_);
            slot_ = table_.SlotOf(handle);
            if (slot_ == nullptr || slot_->inUse) {
                slot_ = nullptr;
                return;
            }
            slot_->inUse = true;
        }
        ~Use() {
            if (slot_ == nullptr) return;
            std::unique_ptr<T> closed;
            SrwLock::Exclusive hold(table_.lock_);
            slot_->inUse = false;
            if (slot_->closeWhenPutBack) closed = std::move(slot_->object);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

        explicit operator bool() const { return slot_ != nullptr; }
        T& operator*() const { return *slot_->object; }
        T* operator->() const { return slot_->object.get(); }

    private:
        HandleTable& table_;
        typename HandleTable::Slot* slot_;
    };

private:
    static constexpr std::uint32_t kLastSerial = (1u << 23) - 1;

    struct Slot {
        std::uint32_t serial = 0;
        std::uint64_t openedAs = 0;  // the order of openings: the oldest is the least
        bool inUse = false;
        bool closeWhenPutBack = false;
        std::unique_ptr<T> object;  // null: the slot is free
    };

    HANDLE HandleOf(const Slot& slot) const {
        const auto index = static_cast<std::uint32_t>(&slot - slots_.data());
        return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(slot.serial << 8 | index));
    }

    // The open slot that `handle` names, or null.
    Slot* SlotOf(HANDLE handle) {
        const auto value = reinterpret_cast<UINT_PTR>(handle);
        const std::size_t index = value & 0xFF;
        if (index >= N || (value >> 8) > kLastSerial) return nullptr;
        Slot& slot = slots_[index];
        if (slot.object == nullptr || slot.serial != (value >> 8)) return nullptr;
        return &slot;
    }

    Slot* FreeSlot() {
        for (Slot& slot : slots_) {
            if (slot.object == nullptr && !slot.inUse) return &slot;
        }
        return nullptr;
    }

    Slot* OldestIdle() {
        Slot* oldest = nullptr;
        for (Slot& slot : slots_) {
            if (slot.inUse) continue;
            if (oldest == nullptr || slot.openedAs < oldest->openedAs) oldest = &slot;
        }
        return oldest;
    }

    SrwLock lock_;
    std::array<Slot, N> slots_;
    std::uint64_t openings_ = 0;
};
