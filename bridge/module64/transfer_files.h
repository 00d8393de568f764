#pragma once
// The local files of corvanel.wfx64's transfers, across its helpers.
//
// A transfer claims its local file while its request runs. The plugin in
// the helper refuses a second transfer of a file that one under way has;
// but a helper started anew under a transfer (its old one ended) knows
// nothing of the transfers the old one served, so the module refuses a
// transfer of a file that such a transfer, orphaned, still has.
//
// A download that the host stopped while its engine goes on with it (a
// cancel inside another request's callback on the same helper, which the
// plugin answers as in the host's own process) is left to that engine: it
// stays remembered, with its helper and the object's size, until the engine
// lets go of the file, or a new transfer of it is taken on. Whether the
// engine still holds it is looked at before each request and just before
// its helper is ended; when the helper ends, a file that its engine held at
// the last look and whose size is not the object's is partial, and is
// deleted. (Anything else that holds the file at that look, and changed its
// size, would lose it too.)

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/srw_lock.h"

namespace bridge {

class TransferFiles {
public:
    // A transfer's hold on its local file, while its request runs.
    class Claim {
    public:
        // `file`: the wide local name as the plugin hands it to the engine
        // (empty: a name that does not convert, which claims nothing).
        Claim(TransferFiles& files, std::wstring file);
        ~Claim();
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;

        // An orphaned transfer has the file: this one is refused.
        bool Refused() const { return refused_; }
        const std::wstring& File() const { return file_; }
        // The plugin has taken the transfer on: a file left to an engine
        // before is this transfer's now.
        void Accepted();
        // The download was stopped while the engine of helper `helper` goes
        // on writing the file: it stays remembered after the request.
        // `size`: the object's bytes as the host's record gives them
        // (UINT64_MAX: unknown, and never deleted). When that helper has
        // ended already, the file is as its engine left it.
        void LeaveToEngine(std::uint32_t helper, std::uint64_t size);

    private:
        TransferFiles& files_;
        std::wstring file_;
        std::uint64_t id_ = 0;  // its entry; 0: none
        bool refused_ = false;
    };

    // Forgets the files left to helper `generation`'s engine that it no
    // longer holds.
    void Look(std::uint32_t generation);
    // Helper `generation` has gone: the transfers under way are orphaned;
    // the files left to its engine that it held at the last look and whose
    // size is not their object's are deleted, and all of them forgotten.
    void HelperEnded(std::uint32_t generation);

private:
    struct Entry {
        std::uint64_t id = 0;
        std::wstring file;
        bool running = true;        // claimed by a transfer under way
        bool orphaned = false;      // its helper ended under it
        std::uint32_t helper = 0;   // otherwise left to this helper's engine
        std::uint64_t size = 0;     // the object's bytes
    };

    SrwLock lock_;
    std::vector<Entry> entries_;
    std::uint64_t lastId_ = 0;
    volatile LONG left_ = 0;  // entries left to an engine: none, and Look costs nothing
};

}  // namespace bridge
