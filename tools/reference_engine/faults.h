#pragma once
// The reference engine's side of its faults on demand (fault_plan.h): asked
// before every operation, it fails, refuses, ends the process, stalls or
// pauses the call as the plan says, or hands a fault that comes later to the
// listing or transfer the call starts.
//
// One per engine object, which opens the plan named by CORVANEL_FAULTS when
// it is made, as it reads its other settings; without the variable nothing
// faults. Threading: any thread. The plan is read and counted with
// interlocked operations; a fault for later is handed over on the calling
// thread, within the call that starts the listing or transfer.

#include <windows.h>

#include "tools/engine_com/storage_browser_object.h"
#include "tools/reference_engine/fault_plan.h"

// A fault that comes after its call has started something: a listing's Next
// or a transfer's chunk.
struct LaterFault {
    LONG after = -1;    // Next calls, or chunks written, before it; -1: none
    bool ends = false;  // the process ends instead of the step failing
    bool Pending() const { return after >= 0; }
};

class EngineFaults {
public:
    EngineFaults();
    ~EngineFaults();
    EngineFaults(const EngineFaults&) = delete;
    EngineFaults& operator=(const EngineFaults&) = delete;

    // Before an operation: true when the plan answers the call itself, with
    // *result and the call's out-values written (ok 0, no item, cookie 0).
    // Ends the process or stalls for good when the plan says so; returns
    // false after a pause, and for a call that goes on as usual.
    bool Answers(const EngineCall& call, HRESULT* result);
    // The fault the current call's plan keeps for the listing or the
    // transfer it starts; taken once.
    LaterFault TakeLater();
    // A later fault come due: ends the process, or returns the failure the
    // step answers.
    HRESULT StrikeLater(const LaterFault& fault);
    // A transfer stopped by its fault has deleted its target and fires no more.
    void NoteTransferStopped();

private:
    LONG Due(faults::Operation op);
    [[noreturn]] void EndProcess();
    HRESULT Failure() const;

    faults::Plan* plan_ = nullptr;
    HANDLE paused_ = nullptr, resume_ = nullptr;
};
