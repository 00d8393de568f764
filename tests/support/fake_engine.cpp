#include "tests/support/fake_engine.h"

#include <oleauto.h>

namespace {

std::string Utf8(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], bytes, nullptr, nullptr);
    return result;
}

bool IsTransfer(EngineOp op) {
    return op == EngineOp::DownloadObject || op == EngineOp::UploadObject;
}

// The arguments of a call in their declared order.
std::string Arguments(const EngineCall& call) {
    switch (call.op) {
    case EngineOp::FirstAccount:
    case EngineOp::ShowRootProperties:
    case EngineOp::ShowAccountProperties: return "";
    case EngineOp::NextAccount:
    case EngineOp::NextBucket:
    case EngineOp::NextObject: return " " + std::to_string(call.cookie);
    case EngineOp::RenameAccount: return " " + Describe(call.name) + " " + Describe(call.newName);
    case EngineOp::DeleteAccount: return " " + Describe(call.name);
    case EngineOp::CopyBucket:
    case EngineOp::CopyObject:
    case EngineOp::CopyFolder:
        return " " + Describe(*call.path) + " " + Describe(*call.target) + " " +
               std::to_string(call.move);
    case EngineOp::DownloadObject: return " " + Describe(*call.path) + " " + Describe(call.name);
    case EngineOp::UploadObject: return " " + Describe(call.name) + " " + Describe(*call.path);
    default: return " " + Describe(*call.path);
    }
}

}  // namespace

std::string Describe(const RemotePath& path) {
    std::string text = std::string(path.account ? path.account : "(null)") + "|" +
                       (path.bucket ? path.bucket : "(null)") + "|" +
                       (path.key ? path.key : "(null)");
    if (path.size != 0) text += "#" + std::to_string(path.size);
    return text;
}

std::string Describe(BSTR text) {
    if (text == nullptr) return "(null)";
    return Utf8(text, static_cast<int>(SysStringLen(text)));
}

std::string Describe(const EngineCall& call) { return OpName(call.op) + Arguments(call); }

std::string OperationOf(const std::string& call) { return call.substr(0, call.find(' ')); }

void RecordedScript::Script(const std::string& operation, Answer answer) {
    script_[operation].push_back(answer);
}

void RecordedScript::ScriptChange(const std::string& operation, HRESULT hr, VARIANT_BOOL ok) {
    Answer answer;
    answer.hr = hr;
    answer.ok = ok;
    Script(operation, answer);
}

void RecordedScript::ScriptItem(const std::string& operation, const ItemValues& item) {
    Answer answer;
    answer.hasItem = true;
    answer.item = item;
    Script(operation, answer);
}

void RecordedScript::ScriptEnd(const std::string& operation, HRESULT hr) {
    Answer answer;
    answer.hr = hr;
    Script(operation, answer);
}

EngineAnswer RecordedScript::AnswerTo(ScriptedEngine&, const EngineCall& call) {
    const std::string line = Describe(call);
    calls.push_back(line);
    if (onCall) onCall(line);
    EngineAnswer answer;
    auto found = script_.find(OpName(call.op));
    if (found == script_.end() || found->second.empty()) {
        unexpected.push_back(line);
        answer.hr = E_UNEXPECTED;
        answer.ok = VARIANT_FALSE;
        return answer;
    }
    const Answer scripted = found->second.front();
    found->second.pop_front();
    answer.hr = scripted.hr;
    // A transfer's result is not scripted: it reports 0.
    answer.ok = IsTransfer(call.op) ? 0 : scripted.ok;
    answer.leaveOk = scripted.leaveOk;
    answer.setCookie = scripted.setCookie;
    answer.cookie = scripted.cookie;
    if (scripted.hasItem && call.item != nullptr) answer.item = MakeFakeItem(scripted.item);
    return answer;
}
