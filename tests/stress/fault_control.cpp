#include "tests/stress/fault_control.h"

#include <string>

FaultControl::FaultControl() {
    const std::wstring name = L"corvanel-faults-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring base = L"Local\\" + name;
    section_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(faults::Plan),
                                  base.c_str());
    if (section_ == nullptr) return;
    plan_ = static_cast<faults::Plan*>(MapViewOfFile(section_, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(faults::Plan)));
    if (plan_ == nullptr) return;
    ZeroMemory(plan_, sizeof(*plan_));
    plan_->operation = faults::kAnyOperation;
    plan_->magic = faults::kMagic;
    paused_ = CreateEventW(nullptr, FALSE, FALSE, (base + L"-paused").c_str());
    resume_ = CreateEventW(nullptr, FALSE, FALSE, (base + L"-resume").c_str());
    quit_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, &PauseThread, this, 0, nullptr);
    SetEnvironmentVariableW(L"CORVANEL_FAULTS", name.c_str());
}

FaultControl::~FaultControl() {
    SetEnvironmentVariableW(L"CORVANEL_FAULTS", nullptr);
    if (thread_ != nullptr) {
        SetEvent(quit_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
    }
    for (HANDLE handle : {paused_, resume_, quit_}) {
        if (handle != nullptr) CloseHandle(handle);
    }
    if (plan_ != nullptr) UnmapViewOfFile(plan_);
    if (section_ != nullptr) CloseHandle(section_);
}

DWORD WINAPI FaultControl::PauseThread(void* self) {
    FaultControl& control = *static_cast<FaultControl*>(self);
    const HANDLE waits[] = {control.quit_, control.paused_};
    while (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
        if (control.pause_) control.pause_();
        InterlockedIncrement(&control.pausedCount_);
        SetEvent(control.resume_);
    }
    return 0;
}

void FaultControl::Arm(const FaultSpec& fault, std::function<void()> pause) {
    if (plan_ == nullptr) return;
    Disarm();  // counts from here
    pause_ = std::move(pause);
    plan_->operation = fault.operation;
    plan_->occurrence = fault.occurrence;
    plan_->detail = fault.detail;
    plan_->hresult = 0;
    InterlockedExchange(&plan_->kind, fault.Planned() ? fault.kind : static_cast<int>(faults::kNoFault));
}

void FaultControl::ArmRate(int operation, int kind, int perMille, LONG seed) {
    if (plan_ == nullptr) return;
    plan_->rateOperation = operation;
    plan_->rateKind = kind;
    plan_->rateSeed = seed;
    InterlockedExchange(&plan_->ratePerMille, perMille);
}

FaultControl::Report FaultControl::Disarm() {
    Report report;
    if (plan_ == nullptr) return report;
    InterlockedExchange(&plan_->kind, faults::kNoFault);
    InterlockedExchange(&plan_->ratePerMille, 0);
    report.fired = InterlockedExchange(&plan_->fired, 0) != 0;
    report.ended = InterlockedExchange(&plan_->ended, 0) != 0;
    report.paused = InterlockedExchange(&pausedCount_, 0) != 0;
    InterlockedExchange(&plan_->transferStopped, 0);
    InterlockedExchange(&plan_->callsInAll, 0);
    for (LONG& calls : plan_->calls) InterlockedExchange(&calls, 0);
    pause_ = nullptr;
    return report;
}

bool FaultControl::TransferStopped() const {
    return plan_ != nullptr && InterlockedCompareExchange(&plan_->transferStopped, 0, 0) != 0;
}

bool FaultControl::Ended() const {
    return plan_ != nullptr && InterlockedCompareExchange(&plan_->ended, 0, 0) != 0;
}

bool FaultControl::Stalled() const {
    return plan_ != nullptr && InterlockedCompareExchange(&plan_->fired, 0, 0) != 0 &&
           InterlockedCompareExchange(&plan_->firedKind, 0, 0) == faults::kStall;
}

LONG FaultControl::Calls(int operation) const {
    return plan_ != nullptr ? InterlockedCompareExchange(&plan_->calls[operation], 0, 0) : 0;
}
