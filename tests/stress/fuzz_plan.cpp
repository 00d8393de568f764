#include "tests/stress/fuzz_plan.h"

#include <oleauto.h>

#include <cstring>

namespace {

bool IsFirst(EngineOp op) {
    return op == EngineOp::FirstAccount || op == EngineOp::FirstBucket ||
           op == EngineOp::FirstObject;
}
bool IsNext(EngineOp op) {
    return op == EngineOp::NextAccount || op == EngineOp::NextBucket ||
           op == EngineOp::NextObject;
}
bool IsTransfer(EngineOp op) {
    return op == EngineOp::DownloadObject || op == EngineOp::UploadObject;
}

// The text of one record field, or nothing when it is not terminated inside
// its buffer.
std::optional<std::string> FieldText(const char* field) {
    if (field == nullptr) return std::nullopt;
    const void* end = std::memchr(field, '\0', kRemoteTextBuffer);
    if (end == nullptr) return std::nullopt;
    return std::string(field, static_cast<const char*>(end));
}

std::string DescribeRecord(const RemotePath* record) {
    if (record == nullptr) return "-";
    std::string text;
    for (const char* field : {record->account, record->bucket, record->key}) {
        const std::optional<std::string> value = FieldText(field);
        text += value ? Printable(*value) : std::string("(unterminated)");
        text += '|';
    }
    return text + "#" + std::to_string(record->size);
}

std::string DescribeText(BSTR text) {
    if (text == nullptr) return "(null)";
    std::string out;
    for (const wchar_t* c = text; *c != 0; ++c) {
        out += *c < 0x80 ? std::string(1, static_cast<char>(*c)) : "U+" + std::to_string(*c);
    }
    return out;
}

std::string DescribeCall(const EngineCall& call) {
    return std::string(OpName(call.op)) + " " + DescribeRecord(call.path) + " " +
           DescribeRecord(call.target) + " " + DescribeText(call.name) + " " +
           DescribeText(call.newName) + " move " + std::to_string(call.move) + " cookie " +
           std::to_string(call.cookie);
}

std::string DescribeAllowed(const AllowedCall& allowed) {
    std::string text = OpName(allowed.op);
    if (allowed.path) {
        text += " " + Printable(allowed.path->account) + "|" + Printable(allowed.path->bucket) +
                "|" + Printable(allowed.path->key) + "|";
    }
    if (allowed.name) text += " name " + Printable(*allowed.name);
    return text;
}

bool RecordIs(const RemotePath* record, const PathModel& expected, std::int64_t size) {
    if (record == nullptr) return false;
    return FieldText(record->account) == expected.account &&
           FieldText(record->bucket) == expected.bucket && FieldText(record->key) == expected.key &&
           record->size == size;
}

// A BSTR carries the host's 8-bit text converted in the thread's code page.
bool TextIs(BSTR text, const std::string& expected) {
    if (text == nullptr) return false;
    std::wstring wide(expected.size() + 1, L'\0');
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, expected.c_str(), -1, &wide[0],
                                          static_cast<int>(wide.size()));
    return units > 0 && std::wcscmp(text, wide.c_str()) == 0;
}

bool Matches(const EngineCall& call, const AllowedCall& allowed) {
    if (call.op != allowed.op) return false;
    if (allowed.path && !RecordIs(call.path, *allowed.path, allowed.size)) return false;
    if (allowed.target && !RecordIs(call.target, *allowed.target, 0)) return false;
    if (allowed.name && !TextIs(call.name, *allowed.name)) return false;
    if (allowed.newName && !TextIs(call.newName, *allowed.newName)) return false;
    return !allowed.move || call.move == *allowed.move;
}

HRESULT RandomResult(Random& random) {
    static const HRESULT kFailures[] = {E_FAIL, E_OUTOFMEMORY, RPC_E_DISCONNECTED, E_ACCESSDENIED,
                                        static_cast<HRESULT>(0x80000000)};
    const std::uint32_t roll = random.Below(100);
    if (roll < 70) return S_OK;
    if (roll < 78) return S_FALSE;
    return random.Pick(kFailures);
}

VARIANT_BOOL RandomOk(Random& random) {
    static const VARIANT_BOOL kOdd[] = {VARIANT_FALSE, 1, 2, 0x7fff, -2,
                                        static_cast<VARIANT_BOOL>(0x8000)};
    return random.Percent(65) ? VARIANT_TRUE : random.Pick(kOdd);
}

}  // namespace

void FuzzPlan::Expect(std::vector<AllowedCall> allowed) {
    allowed_ = std::move(allowed);
    engineCalls_ = 0;
    changeCalls_ = 0;
    lastAgreed_ = false;
    lastSucceeded_ = false;
    nextCookie_.reset();
    finding_.clear();
}

void FuzzPlan::Report(const std::string& what) {
    if (finding_.empty()) finding_ = what;
}

void FuzzPlan::Check(const EngineCall& call) {
    for (const RemotePath* record : {call.path, call.target}) {
        if (record != nullptr && !(FieldText(record->account) && FieldText(record->bucket) &&
                                   FieldText(record->key))) {
            Report("unterminated record field: " + DescribeCall(call));
            return;
        }
    }
    if (IsNext(call.op) && nextCookie_ && call.cookie != *nextCookie_) {
        Report("cookie " + std::to_string(call.cookie) + " given back, " +
               std::to_string(*nextCookie_) + " expected: " + DescribeCall(call));
        return;
    }
    for (const AllowedCall& allowed : allowed_) {
        if (Matches(call, allowed)) return;
    }
    std::string allowedText;
    for (const AllowedCall& allowed : allowed_) allowedText += "\n    " + DescribeAllowed(allowed);
    Report("engine call the inputs could not name: " + DescribeCall(call) + "\n  allowed:" +
           (allowedText.empty() ? std::string(" nothing") : allowedText));
}

EngineAnswer FuzzPlan::AnswerTo(ScriptedEngine& engine, const EngineCall& call) {
    ++engineCalls_;
    if (!IsFirst(call.op) && !IsNext(call.op)) ++changeCalls_;
    ++totalEngineCalls;
    Check(call);
    // Events may arrive during any call, not only during transfers.
    if (random_.Percent(3)) FireRandomEvents(engine, 1);
    const EngineAnswer answer = RandomAnswer(engine, call);
    if (IsFirst(call.op) && answer.setCookie && nextCookie_) nextCookie_ = answer.cookie;
    lastSucceeded_ = SUCCEEDED(answer.hr);
    lastAgreed_ = EngineAgreed(answer.hr, answer.ok);
    return answer;
}

EngineAnswer FuzzPlan::RandomAnswer(ScriptedEngine& engine, const EngineCall& call) {
    static const ListingCookie kCookies[] = {0, 1, -1, 0x7fffffff, LONG(0x80000000)};
    EngineAnswer answer;
    answer.hr = RandomResult(random_);
    answer.ok = RandomOk(random_);
    if (IsFirst(call.op) && random_.Percent(70)) {
        answer.setCookie = true;
        answer.cookie = random_.Percent(80) ? random_.Pick(kCookies)
                                            : static_cast<ListingCookie>(random_.Next());
    }
    if ((IsFirst(call.op) || IsNext(call.op)) && SUCCEEDED(answer.hr) && random_.Percent(75)) {
        answer.item = MakeFakeItem(RandomItem(random_));
    }
    if (IsTransfer(call.op) && (SUCCEEDED(answer.hr) || random_.Percent(20))) {
        FireRandomEvents(engine, static_cast<int>(random_.Below(4)));
        // Most transfers finish while the engine call runs; the others are
        // finished, or abandoned, from the host's progress callback.
        if (random_.Percent(70)) engine.FireProgress(L"C:\\local", L"\\remote", random_.Percent(90) ? 100 : 120);
    }
    return answer;
}

void FuzzPlan::FireRandomEvents(ScriptedEngine& engine, int count) {
    for (int i = 0; i < count && engine.HasSink(); ++i) {
        RandomEvent event(random_);
        engine.Fire(event.Args(), event.Count());
        ++eventsFired;
    }
}

EngineOp NextOperationAt(PathLevel level) {
    switch (level) {
    case PathLevel::Root: return EngineOp::NextAccount;
    case PathLevel::Account: return EngineOp::NextBucket;
    default: return EngineOp::NextObject;
    }
}

std::vector<AllowedCall> ListingCalls(const PathModel& path) {
    std::vector<AllowedCall> calls;
    switch (path.level) {
    case PathLevel::Root: calls.push_back(Allow(EngineOp::FirstAccount)); break;
    case PathLevel::Account: calls.push_back(Allow(EngineOp::FirstBucket, path)); break;
    default: calls.push_back(Allow(EngineOp::FirstObject, path)); break;
    }
    calls.push_back(Allow(NextOperationAt(path.level)));
    return calls;
}

PathModel WithoutAccount(PathModel path) {
    path.account.clear();
    return path;
}

PathModel WithoutBucket(PathModel path) {
    path.bucket.clear();
    return path;
}
