#pragma once
// A store far away, on demand: the reference engine answers at the speed of
// the local disk, the engine users run at the speed of a network. When
// CORVANEL_LATENCY is set to 1 the engine adds what an object store across
// the internet costs on top of its disk work:
//  - every call that reaches the store waits CORVANEL_LATENCY_CALL_MS
//    (20 unless set);
//  - listings arrive in pages of CORVANEL_LATENCY_PAGE_ENTRIES entries
//    (1,000 unless set): a First operation and each Next that starts a new
//    page wait CORVANEL_LATENCY_PAGE_MS (30 unless set) instead; a Next
//    within a page that has arrived costs nothing;
//  - the bytes of a download or upload move at most at
//    CORVANEL_LATENCY_MIB_PER_S (50 unless set), after the call's wait.
// Unset, or set to anything but 1, the engine adds nothing. Each figure may be
// set alone while the model is on; 0 leaves that part out.
//
// The defaults are those of a store in a cloud region near the user: 1,000 is
// the most keys Amazon S3's ListObjectsV2 returns per request; 20 ms is the
// round trip to a region a few hundred kilometres away (S3's own documents
// give 100 to 200 ms to the first byte, so the model is on the fast side,
// where the plugin's own cost shows most); 50 MiB/s is one stream over a
// 500 Mbit/s line.
//
// Threads: read-only once made; the waits run on the calling thread.

#include <windows.h>

#include <cstddef>

#include "tools/engine_com/storage_browser_object.h"

class LatencyModel {
public:
    // The model the environment asks for, off when it asks for none.
    static LatencyModel FromEnvironment();

    bool On() const { return on_; }
    // Before the engine answers `op`: a listing's First fetches its first
    // page, a Next waits only in BeforeEntry, every other call is one call.
    void Before(EngineOp op) const;
    // Before a Next hands out the entry at `index` (1 for the one after the
    // First's): the wait for its page when that entry starts one.
    void BeforeEntry(std::size_t index) const;
    // A transfer that has moved `bytes` since `startMs` (GetTickCount64)
    // waits until its pace is the model's.
    void PaceTransfer(ULONGLONG startMs, ULONGLONG bytes) const;

private:
    bool on_ = false;
    DWORD callMs_ = 0;
    DWORD pageEntries_ = 0;
    DWORD pageMs_ = 0;
    double bytesPerMs_ = 0;
};
