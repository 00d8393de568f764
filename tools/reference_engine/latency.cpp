#include "tools/reference_engine/latency.h"

#include <cwchar>

namespace {

constexpr DWORD kDefaultCallMs = 20;
constexpr DWORD kDefaultPageEntries = 1000;
constexpr DWORD kDefaultPageMs = 30;
constexpr DWORD kDefaultMiBPerSecond = 50;

// A whole number from the environment, or `fallback` when the variable is
// unset or not a number.
DWORD Setting(const wchar_t* name, DWORD fallback) {
    wchar_t text[16];
    const DWORD length = GetEnvironmentVariableW(name, text, ARRAYSIZE(text));
    if (length == 0 || length >= ARRAYSIZE(text)) return fallback;
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text, &end, 10);
    return end == text || *end != L'\0' ? fallback : static_cast<DWORD>(value);
}

}  // namespace

LatencyModel LatencyModel::FromEnvironment() {
    LatencyModel model;
    if (Setting(L"CORVANEL_LATENCY", 0) != 1) return model;
    model.on_ = true;
    model.callMs_ = Setting(L"CORVANEL_LATENCY_CALL_MS", kDefaultCallMs);
    model.pageEntries_ = Setting(L"CORVANEL_LATENCY_PAGE_ENTRIES", kDefaultPageEntries);
    model.pageMs_ = Setting(L"CORVANEL_LATENCY_PAGE_MS", kDefaultPageMs);
    const DWORD mibPerSecond = Setting(L"CORVANEL_LATENCY_MIB_PER_S", kDefaultMiBPerSecond);
    model.bytesPerMs_ = mibPerSecond * 1024.0 * 1024.0 / 1000.0;
    return model;
}

void LatencyModel::Before(EngineOp op) const {
    if (!on_) return;
    switch (op) {
    case EngineOp::FirstAccount:
    case EngineOp::FirstBucket:
    case EngineOp::FirstObject:
        if (pageMs_ != 0) Sleep(pageMs_);
        return;
    case EngineOp::NextAccount:
    case EngineOp::NextBucket:
    case EngineOp::NextObject: return;
    default:
        if (callMs_ != 0) Sleep(callMs_);
        return;
    }
}

void LatencyModel::BeforeEntry(std::size_t index) const {
    // Without pages the whole listing is the First's one answer.
    if (!on_ || pageMs_ == 0 || pageEntries_ == 0) return;
    if (index % pageEntries_ == 0) Sleep(pageMs_);
}

void LatencyModel::PaceTransfer(ULONGLONG startMs, ULONGLONG bytes) const {
    if (!on_ || bytesPerMs_ <= 0) return;
    const ULONGLONG dueMs = startMs + static_cast<ULONGLONG>(bytes / bytesPerMs_);
    const ULONGLONG nowMs = GetTickCount64();
    if (dueMs > nowMs) Sleep(static_cast<DWORD>(dueMs - nowMs));
}
