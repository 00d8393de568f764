#include "bridge/module64/transfer_files.h"

#include <algorithm>

#include "common/local_file.h"

namespace bridge {

namespace {

std::uint64_t SizeOf(const std::wstring& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// A file its engine was writing when its helper ended: partial, unless it
// has the object's size; an unknown size keeps it.
void DeleteWhenPartial(const std::wstring& file, std::uint64_t size) {
    if (size != UINT64_MAX && SizeOf(file) != size) DeleteFileW(file.c_str());
}

}  // namespace

TransferFiles::Claim::Claim(TransferFiles& files, std::wstring file) : files_(files), file_(std::move(file)) {
    if (file_.empty()) return;
    SrwLock::Exclusive hold(files_.lock_);
    auto& entries = files_.entries_;
    for (auto entry = entries.begin(); entry != entries.end();) {
        if (!SameLocalFile(entry->file, file_)) {
            ++entry;
        } else if (entry->running) {
            if (entry->orphaned) {
                refused_ = true;
                return;
            }
            ++entry;
        } else if (!LocalFileHeld(entry->file)) {
            // Left to an engine that has let go of it: the file is this transfer's.
            entry = entries.erase(entry);
            InterlockedDecrement(&files_.left_);
        } else {
            ++entry;  // the plugin refuses this transfer while that engine holds it
        }
    }
    Entry entry;
    entry.id = ++files_.lastId_;
    entry.file = file_;
    entries.push_back(entry);
    id_ = entry.id;
}

TransferFiles::Claim::~Claim() {
    if (id_ == 0) return;
    SrwLock::Exclusive hold(files_.lock_);
    auto& entries = files_.entries_;
    const auto mine = std::find_if(entries.begin(), entries.end(), [this](const Entry& entry) { return entry.id == id_; });
    if (mine != entries.end() && mine->running) entries.erase(mine);
}

void TransferFiles::Claim::Accepted() {
    if (id_ == 0) return;
    SrwLock::Exclusive hold(files_.lock_);
    auto& entries = files_.entries_;
    const auto left = std::remove_if(entries.begin(), entries.end(), [this](const Entry& entry) {
        return !entry.running && SameLocalFile(entry.file, file_);
    });
    InterlockedExchangeAdd(&files_.left_, -static_cast<LONG>(entries.end() - left));
    entries.erase(left, entries.end());
}

void TransferFiles::Claim::LeaveToEngine(std::uint32_t helper, std::uint64_t size) {
    if (id_ == 0) return;
    SrwLock::Exclusive hold(files_.lock_);
    auto& entries = files_.entries_;
    const auto mine = std::find_if(entries.begin(), entries.end(),
                                   [this](const Entry& entry) { return entry.id == id_ && entry.running; });
    if (mine == entries.end()) return;
    if (mine->orphaned) {
        DeleteWhenPartial(mine->file, size);
        entries.erase(mine);
        return;
    }
    mine->running = false;
    mine->helper = helper;
    mine->size = size;
    InterlockedIncrement(&files_.left_);
}

void TransferFiles::Look(std::uint32_t generation) {
    if (InterlockedCompareExchange(&left_, 0, 0) == 0) return;
    SrwLock::Exclusive hold(lock_);
    const auto let = std::remove_if(entries_.begin(), entries_.end(), [generation](const Entry& entry) {
        return !entry.running && entry.helper == generation && !LocalFileHeld(entry.file);
    });
    InterlockedExchangeAdd(&left_, -static_cast<LONG>(entries_.end() - let));
    entries_.erase(let, entries_.end());
}

void TransferFiles::HelperEnded(std::uint32_t generation) {
    SrwLock::Exclusive hold(lock_);
    for (Entry& entry : entries_) entry.orphaned = entry.orphaned || entry.running;
    const auto ended = std::partition(entries_.begin(), entries_.end(), [generation](const Entry& entry) {
        return entry.running || entry.helper != generation;
    });
    for (auto entry = ended; entry != entries_.end(); ++entry) DeleteWhenPartial(entry->file, entry->size);
    InterlockedExchangeAdd(&left_, -static_cast<LONG>(entries_.end() - ended));
    entries_.erase(ended, entries_.end());
}

}  // namespace bridge
