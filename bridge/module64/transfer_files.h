#pragma once
// The local files of corvanel.wfx64's transfers, across its helpers.
//
// A transfer claims its local file before its request goes to a helper, and
// a second transfer of a file that one under way has is refused, as the
// plugin refuses it: a helper started anew under a transfer (its old one
// ended) knows nothing of the transfers that the old one served.
//
// A download that the host stopped while its engine goes on with it (a
// cancel inside another request's callback on the same helper, which the
// plugin answers as in the host's own process) stays remembered, with its
// helper and the object's size, until that engine lets go of the file: a
// new transfer of it is refused meanwhile. Whether the engine still holds
// the file is looked at before each request and just before its helper is
// ended; when the helper ends, a file that its engine held at the last look
// and whose size is not the object's is partial, and is deleted.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/srw_lock.h"

namespace bridge {

class TransferFiles {
public:
    // A transfer's hold on its local file, for its call.
    class Claim {
    public:
        // `file`: the wide local name as the plugin hands it to the engine
        // (empty: a name that does not convert, which claims nothing).
        Claim(TransferFiles& files, std::wstring file);
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

        // False when another transfer has the file: the transfer is refused.
        bool Held() const { return held_; }
        const std::wstring& File() const { return file_; }
        // The download was stopped while its engine, in helper `helper`,
        // goes on writing the file: it stays remembered after the call.
        // `size`: the object's bytes as the host's record gives them;
        // UINT64_MAX without a record.
        void LeaveToEngine(std::uint32_t helper, std::uint64_t size);

    private:
        TransferFiles& files_;
        std::wstring file_;
        bool held_ = false;
    };

    // Forgets the files left to helper `generation`'s engine that it no
    // longer holds.
    void Look(std::uint32_t generation);
    // Helper `generation` has gone: deletes the files its engine held at the
    // last look and whose size is not their object's, and forgets them all.
    void HelperEnded(std::uint32_t generation);

private:
    struct Entry {
        std::wstring file;
        bool running = true;        // claimed by a transfer under way
        std::uint32_t helper = 0;   // otherwise left to this helper's engine
        std::uint64_t size = 0;     // the object's bytes
    };

    SrwLock lock_;
    std::vector<Entry> entries_;
    volatile LONG left_ = 0;  // entries left to an engine: none, and Look costs nothing
};

}  // namespace bridge
