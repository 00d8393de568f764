#include "tools/reference_engine/faults.h"

#include <cstdint>
#include <string>

namespace {

constexpr wchar_t kFaultsVariable[] = L"CORVANEL_FAULTS";
// A paused call goes on by itself after this long: a test that lost track of
// it must not leave the engine waiting for good.
constexpr DWORD kLongestPauseMs = 60000;

static_assert(static_cast<int>(EngineOp::ShowAccountProperties) == faults::kShowAccountProperties &&
                  kEngineOpCount == faults::kOperations,
              "the plan numbers the operations in slot order");

// The fault the current call keeps for what it starts, in a thread-local
// slot of the process (no memory of its own): `after` + 1, and the top bit
// when the process ends.
constexpr ULONG_PTR kEndsBit = 0x80000000u;

BOOL CALLBACK AllocateSlot(PINIT_ONCE, void* slot, void**) {
    *static_cast<DWORD*>(slot) = TlsAlloc();
    return TRUE;
}

DWORD LaterSlot() {
    static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
    static DWORD slot = TLS_OUT_OF_INDEXES;
    InitOnceExecuteOnce(&once, &AllocateSlot, &slot, nullptr);
    return slot;
}

void KeepLater(const LaterFault& fault) {
    const DWORD slot = LaterSlot();
    if (slot == TLS_OUT_OF_INDEXES) return;
    const ULONG_PTR value =
        fault.Pending() ? (static_cast<ULONG_PTR>(fault.after + 1) | (fault.ends ? kEndsBit : 0)) : 0;
    TlsSetValue(slot, reinterpret_cast<void*>(value));
}

bool IsChange(faults::Operation op) {
    switch (op) {
    case faults::kCreateAccount: case faults::kRenameAccount: case faults::kDeleteAccount:
    case faults::kCreateBucket: case faults::kCopyBucket: case faults::kDeleteBucket:
    case faults::kDeleteObject: case faults::kCopyObject: case faults::kCreateFolder:
    case faults::kCopyFolder:
        return true;
    default:
        return false;
    }
}

bool IsFirst(faults::Operation op) {
    return op == faults::kFirstAccount || op == faults::kFirstBucket || op == faults::kFirstObject;
}

bool IsTransfer(faults::Operation op) {
    return op == faults::kDownloadObject || op == faults::kUploadObject;
}

// The rate's draw for the `number`-th call of `op`: the same calls in the
// same order draw the same (splitmix64 of the three).
bool RateStrikes(const faults::Plan& plan, faults::Operation op, LONG number) {
    std::uint64_t z = (static_cast<std::uint64_t>(static_cast<ULONG>(plan.rateSeed)) << 32) ^
                      (static_cast<std::uint64_t>(op) << 24) ^ static_cast<ULONG>(number);
    z += 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<LONG>(z % 1000) < plan.ratePerMille;
}

void Report(faults::Plan& plan, faults::Operation op, LONG kind) {
    InterlockedExchange(&plan.firedOperation, op);
    InterlockedExchange(&plan.firedKind, kind);
    InterlockedIncrement(&plan.fired);
}

[[noreturn]] void Stall() {
    for (;;) Sleep(INFINITE);
}

// A failed call's out-values: nothing listed, nothing agreed.
void ClearOuts(const EngineCall& call) {
    if (call.ok != nullptr) *call.ok = VARIANT_FALSE;
    if (call.item != nullptr) *call.item = nullptr;
    if (call.cookieOut != nullptr) *call.cookieOut = 0;
    if (call.result != nullptr) *call.result = 0;
}

}  // namespace

EngineFaults::EngineFaults() {
    wchar_t name[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(kFaultsVariable, name, MAX_PATH);
    if (length == 0 || length >= MAX_PATH - 16) return;
    const std::wstring base = std::wstring(L"Local\\") + name;
    HANDLE section = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, base.c_str());
    if (section == nullptr) return;
    auto* plan = static_cast<faults::Plan*>(MapViewOfFile(section, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(faults::Plan)));
    CloseHandle(section);  // the view keeps it
    if (plan == nullptr) return;
    if (plan->magic != faults::kMagic) {
        UnmapViewOfFile(plan);
        return;
    }
    plan_ = plan;
    paused_ = OpenEventW(EVENT_MODIFY_STATE, FALSE, (base + L"-paused").c_str());
    resume_ = OpenEventW(SYNCHRONIZE, FALSE, (base + L"-resume").c_str());
}

EngineFaults::~EngineFaults() {
    if (paused_ != nullptr) CloseHandle(paused_);
    if (resume_ != nullptr) CloseHandle(resume_);
    if (plan_ != nullptr) UnmapViewOfFile(plan_);
}

// The planned kind for this call, counting it; kNoFault for none.
LONG EngineFaults::Due(faults::Operation op) {
    faults::Plan& plan = *plan_;
    const LONG inAll = InterlockedIncrement(&plan.callsInAll);
    const LONG ofOp = InterlockedIncrement(&plan.calls[op]);
    const LONG wanted = plan.operation;
    if (plan.kind != faults::kNoFault &&
        ((wanted == op && ofOp == plan.occurrence) ||
         (wanted == faults::kAnyOperation && inAll == plan.occurrence))) {
        return plan.kind;
    }
    if (plan.ratePerMille > 0 && (plan.rateOperation == faults::kAnyOperation || plan.rateOperation == op) &&
        RateStrikes(plan, op, ofOp)) {
        return plan.rateKind == faults::kRefuse ? faults::kRefuse : faults::kFail;
    }
    return faults::kNoFault;
}

void EngineFaults::EndProcess() {
    if (plan_ != nullptr) InterlockedExchange(&plan_->ended, 1);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(STATUS_ACCESS_VIOLATION));
    Stall();  // TerminateProcess of the own process does not return
}

HRESULT EngineFaults::Failure() const {
    return plan_ != nullptr && plan_->hresult < 0 ? static_cast<HRESULT>(plan_->hresult) : E_FAIL;
}

bool EngineFaults::Answers(const EngineCall& call, HRESULT* result) {
    if (plan_ == nullptr) return false;
    KeepLater(LaterFault());
    const auto op = static_cast<faults::Operation>(call.op);
    const LONG kind = Due(op);
    if (kind == faults::kNoFault) return false;
    Report(*plan_, op, kind);
    // A fault that comes later goes with what this call starts.
    const LONG detail = plan_->detail;
    if ((IsFirst(op) && detail > 0 && (kind == faults::kFail || kind == faults::kEnd)) ||
        (IsTransfer(op) && (kind == faults::kFailPartWay || kind == faults::kEndPartWay))) {
        LaterFault fault;
        fault.after = detail;
        fault.ends = kind == faults::kEnd || kind == faults::kEndPartWay;
        KeepLater(fault);
        return false;
    }
    switch (kind) {
    case faults::kEnd:
    case faults::kEndPartWay: EndProcess();
    case faults::kStall: Stall();
    case faults::kPause:
        if (paused_ != nullptr && resume_ != nullptr) {
            SetEvent(paused_);
            WaitForSingleObject(resume_, kLongestPauseMs);
        }
        return false;
    case faults::kRefuse:
        if (IsChange(op)) {
            ClearOuts(call);
            *result = S_OK;
            return true;
        }
        break;
    default: break;
    }
    ClearOuts(call);
    *result = Failure();
    return true;
}

LaterFault EngineFaults::TakeLater() {
    LaterFault fault;
    if (plan_ == nullptr) return fault;
    const auto value = reinterpret_cast<ULONG_PTR>(TlsGetValue(LaterSlot()));
    if (value == 0) return fault;
    fault.after = static_cast<LONG>((value & ~kEndsBit) - 1);
    fault.ends = (value & kEndsBit) != 0;
    KeepLater(LaterFault());
    return fault;
}

HRESULT EngineFaults::StrikeLater(const LaterFault& fault) {
    if (fault.ends) EndProcess();
    return Failure();
}

void EngineFaults::NoteTransferStopped() {
    if (plan_ != nullptr) InterlockedExchange(&plan_->transferStopped, 1);
}
