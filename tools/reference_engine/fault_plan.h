#pragma once
// The reference engine's faults on demand, for tests of what a host meets
// when its engine fails, ends or stalls: a plan in a named shared section
// that a test writes and the engine reads before each operation, in the
// test's own process (the 32-bit edition) or in the helper's (64-bit).
//
// The engine opens the section named by CORVANEL_FAULTS ("Local\<name>")
// once, when its first operation runs, and two auto-reset events beside it
// for pauses ("Local\<name>-paused", set by the engine, and
// "Local\<name>-resume", set by the test). Without the variable the engine
// has no faults.
//
// The layout is the same in 32-bit and 64-bit processes: 32-bit fields only.
// The test writes the plan while no engine call runs; the engine counts and
// reports with interlocked operations.

#include <windows.h>

namespace faults {

// The engine's operations in the interface's slot order (7 to 26).
enum Operation : LONG {
    kFirstAccount, kNextAccount, kFirstBucket, kNextBucket, kFirstObject, kNextObject,
    kCreateAccount, kRenameAccount, kDeleteAccount, kCreateBucket, kCopyBucket, kDeleteBucket,
    kDownloadObject, kUploadObject, kDeleteObject, kCopyObject, kCreateFolder, kCopyFolder,
    kShowRootProperties, kShowAccountProperties,
};
constexpr int kOperations = 20;
constexpr LONG kAnyOperation = -1;

enum Kind : LONG {
    kNoFault,
    // The call answers `hresult` and does nothing. A listing's First with
    // `detail` n > 0 instead starts, and the Next that would deliver its
    // entry n + 1 fails.
    kFail,
    // A change answers S_OK with ok 0 and does nothing (a refusal); other
    // operations fail as kFail.
    kRefuse,
    // A download or upload starts, its events reach some percentage below
    // 100, and after `detail` chunks of 256 KiB (or at the end, if fewer)
    // its worker stops: the target is deleted and no more events come.
    kFailPartWay,
    // The engine's process ends at once at the call; a listing's First with
    // `detail` n > 0 ends it at the Next that would deliver entry n + 1.
    kEnd,
    // The process ends in a download or upload after `detail` chunks (or at
    // the end, before the 100 event), leaving its target as far as written.
    kEndPartWay,
    // The call blocks for good: an engine that stopped answering.
    kStall,
    // The call waits, before it does anything, until the test resumes it
    // (at most a minute): the test changes the store meanwhile, as a second
    // client would between the host's look and its change.
    kPause,
};

constexpr LONG kMagic = 0x54464C54;  // "TLFT"

struct Plan {
    LONG magic;
    // The fault: the `occurrence`-th call (from 1) of `operation` since the
    // plan was armed, or of any operation for kAnyOperation.
    LONG operation;
    LONG occurrence;
    LONG kind;
    LONG hresult;  // what kFail answers; E_FAIL when 0
    LONG detail;
    // Beside it, faults at a rate: each call of `rateOperation` (any for
    // kAnyOperation) fails as `rateKind` (kFail or kRefuse) with a chance of
    // `ratePerMille` / 1000, drawn from `rateSeed` and the call's number, so
    // the same calls in the same order fail again.
    LONG ratePerMille;
    LONG rateOperation;
    LONG rateKind;
    LONG rateSeed;
    // What happened since the plan was armed, written by the engine.
    LONG callsInAll;
    LONG calls[kOperations];  // calls of each operation
    LONG fired;               // planned faults that fired (the rate's included)
    LONG firedOperation;      // the last one's operation and kind
    LONG firedKind;
    LONG transferStopped;     // a part-way failure's worker has cleaned up
    LONG ended;               // set just before the engine ended its process
};

}  // namespace faults
