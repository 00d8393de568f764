#pragma once
// The unit tests' engine: the scripted engine (scripted_engine.h) playing a
// recorded script. Every call is logged as one line ("CreateBucket
// work|photos|", "RenameAccount work play") and answered from a script; a
// call with nothing scripted is logged in `unexpected` as well and answered
// with E_UNEXPECTED. It also offers the connection point for the engine's
// events, notes what is done to it (Point().log), and fires events on request.
//
// Logged forms: a RemotePath as account|bucket|key, followed by #size when
// the size is not 0; a BSTR as its text, or (null); numbers in decimal.
// Reference counts are tracked but the fake is never deleted by Release: it
// lives in the test's scope.

#include <windows.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/scripted_engine.h"

// The answer to one change operation (ok out-value), one listing step (an
// item or none) or any other call.
struct Answer {
    HRESULT hr = S_OK;
    VARIANT_BOOL ok = VARIANT_TRUE;
    bool hasItem = false;
    ItemValues item;
    bool setCookie = false;  // First operations: write `cookie`
    ListingCookie cookie = 0;
    bool leaveOk = false;  // change operations: leave the caller's ok as it came
};

// Answers from per-operation queues, logging every call.
class RecordedScript : public EngineScript {
public:
    // Scripting: answers are used in order, per operation name.
    void Script(const std::string& operation, Answer answer);
    void ScriptChange(const std::string& operation, HRESULT hr, VARIANT_BOOL ok);
    void ScriptItem(const std::string& operation, const ItemValues& item);
    void ScriptEnd(const std::string& operation, HRESULT hr = S_OK);

    std::vector<std::string> calls;
    std::vector<std::string> unexpected;
    // Runs after a call is logged, before it is answered (fire events here).
    std::function<void(const std::string& call)> onCall;

    EngineAnswer AnswerTo(ScriptedEngine& engine, const EngineCall& call) override;

protected:
    ~RecordedScript() = default;

private:
    std::map<std::string, std::deque<Answer>> script_;
};

class FakeStorageBrowser final : public RecordedScript, public ScriptedEngine {
public:
    FakeStorageBrowser() : ScriptedEngine(static_cast<RecordedScript&>(*this)) {
        Point().keepLog = true;
    }
};

// Text helpers for logs and expectations.
std::string Describe(const RemotePath& path);
std::string Describe(BSTR text);
// A call as the recorded script logs it.
std::string Describe(const EngineCall& call);
// The operation of a logged call: its first word.
std::string OperationOf(const std::string& call);
