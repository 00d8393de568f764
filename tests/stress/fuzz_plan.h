#pragma once
// The fuzzer's script for the scripted engine: before each export call the driver
// says which engine calls the call's paths and texts could name; every call
// that arrives is checked against that list, then answered at random (any
// HRESULT, any ok, entries with failing getters, odd cookies), with progress
// events of odd shapes fired along the way.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tests/stress/fuzz_inputs.h"
#include "tests/support/path_model.h"
#include "tests/support/scripted_engine.h"

// One engine call that an export may make. Unset fields are not compared.
struct AllowedCall {
    EngineOp op;
    std::optional<PathModel> path;       // the record (or a copy's source), by its texts
    std::optional<PathModel> target;     // a copy's target
    std::optional<std::string> name;     // 8-bit text the first BSTR must carry
    std::optional<std::string> newName;  // 8-bit text the second BSTR must carry
    std::optional<LONG> move;
    std::int64_t size = 0;               // the record's size
};

inline AllowedCall Allow(EngineOp op) {
    AllowedCall call;
    call.op = op;
    return call;
}
inline AllowedCall Allow(EngineOp op, const PathModel& path) {
    AllowedCall call = Allow(op);
    call.path = path;
    return call;
}

class FuzzPlan final : public EngineScript {
public:
    explicit FuzzPlan(Random& random) : random_(random) {}

    // Starts one export call: only `allowed` engine calls may follow.
    void Expect(std::vector<AllowedCall> allowed);
    // Next operations must give back this cookie, or the one a First
    // operation of the same export call writes.
    void ExpectNextCookie(ListingCookie cookie) { nextCookie_ = cookie; }
    // The cookie Next operations must give back now: after a First
    // operation, the one it wrote.
    ListingCookie NextCookie() const { return nextCookie_.value_or(0); }

    EngineAnswer AnswerTo(ScriptedEngine& engine, const EngineCall& call) override;

    // Fires `count` events of random shape, if a sink is connected.
    void FireRandomEvents(ScriptedEngine& engine, int count);

    // What the current export call made of the engine.
    int EngineCalls() const { return engineCalls_; }
    // Those of them that were not listing steps.
    int ChangeCalls() const { return changeCalls_; }
    // Whether the engine's last answer was HRESULT success with ok -1.
    bool LastAgreed() const { return lastAgreed_; }
    bool LastSucceeded() const { return lastSucceeded_; }
    // The first call that the export's inputs could not name, if any.
    const std::string& Finding() const { return finding_; }

    std::uint64_t totalEngineCalls = 0;
    std::uint64_t eventsFired = 0;

private:
    void Check(const EngineCall& call);
    void Report(const std::string& what);
    EngineAnswer RandomAnswer(ScriptedEngine& engine, const EngineCall& call);

    Random& random_;
    std::vector<AllowedCall> allowed_;
    int engineCalls_ = 0;
    int changeCalls_ = 0;
    bool lastAgreed_ = false;
    bool lastSucceeded_ = false;
    std::optional<ListingCookie> nextCookie_;
    std::string finding_;
};

// The engine call that fits a listing of a path at `level` (Root lists
// accounts with no record), and the Next steps that may follow it.
std::vector<AllowedCall> ListingCalls(const PathModel& path);
EngineOp NextOperationAt(PathLevel level);

// A record with one of its texts emptied, as a creation from a placeholder
// entry sends it.
PathModel WithoutAccount(PathModel path);
PathModel WithoutBucket(PathModel path);
