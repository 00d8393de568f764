#pragma once
// The stateful fuzzer's hold on the reference engine's faults
// (tools/reference_engine/fault_plan.h): it makes the plan's section and
// events under a name of its own process, sets CORVANEL_FAULTS for the
// engines made after it (in process, or in the 64-bit edition's helper,
// which inherits the variable), arms one fault for one call, and reads back
// what the engine did. A call paused by the plan runs the fuzzer's job (the
// second client's change) on a thread of this object's, then goes on.
//
// Threads: Arm, Disarm and the queries run on the fuzzer's thread, between
// its calls, or (Stopped, Ended) inside its progress callback.

#include <windows.h>

#include <functional>

#include "tools/reference_engine/fault_plan.h"

struct FaultSpec {
    int operation = -1;  // faults::Operation; -1: no fault
    int kind = faults::kNoFault;
    int occurrence = 1;
    int detail = 0;
    bool Planned() const { return operation >= 0 && kind != faults::kNoFault; }
};

class FaultControl {
public:
    FaultControl();
    ~FaultControl();
    FaultControl(const FaultControl&) = delete;
    FaultControl& operator=(const FaultControl&) = delete;

    bool Ready() const { return plan_ != nullptr; }

    // Arms `fault` for the next call; `pause` runs while the engine waits at
    // a kPause.
    void Arm(const FaultSpec& fault, std::function<void()> pause);
    // Beside it, each call of `operation` (faults::kAnyOperation: every one)
    // fails as `kind` with a chance of `perMille` / 1000, drawn from `seed`;
    // until Disarm.
    void ArmRate(int operation, int kind, int perMille, LONG seed);

    struct Report {
        bool fired = false;  // the fault's call came
        bool paused = false;
        bool ended = false;  // the engine ended its process
    };
    // What the engine did since Arm; the plan is empty again.
    Report Disarm();

    // A transfer stopped part-way by its fault has cleaned up.
    bool TransferStopped() const;
    // The engine has ended its process since Arm; it stalls for good.
    bool Ended() const;
    bool Stalled() const;
    // The engine's calls of `operation` since Arm.
    LONG Calls(int operation) const;

private:
    static DWORD WINAPI PauseThread(void* self);

    HANDLE section_ = nullptr;
    faults::Plan* plan_ = nullptr;
    HANDLE paused_ = nullptr, resume_ = nullptr, quit_ = nullptr, thread_ = nullptr;
    std::function<void()> pause_;
    volatile LONG pausedCount_ = 0;
};
