#pragma once
// The stateful fuzzer's hands and eyes: one action of a host at a time,
// carried out through the loaded plugin module over the reference engine's
// store, and checked against the model (store_model.h): the result of every
// export, every entry of every listing, and after every change the folders
// it touched on disk, bytes included. Actions are plain values, so a run can
// be replayed from its record and shortened.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/timing.h"
#include "common/wfx_module.h"
#include "tests/stress/fault_control.h"
#include "tests/stress/second_client.h"
#include "tests/stress/store_model.h"

enum class Op : std::uint8_t {
    // The exports, as the host calls them.
    FindFirst,
    FindNext,
    FindClose,
    MkDir,
    RemoveDir,
    DeleteFile,
    RenMov,
    GetFile,
    PutFile,
    Open,  // FsExecuteFile with "open"
    // A whole listing, FsFindFirst, FsFindNext to its end and FsFindClose, as
    // a host makes it from inside a transfer's progress callback.
    List,
    // What the host does in its own local folder.
    LocalWrite,
    LocalMkDir,
    LocalDelete,    // a file, or a folder with all it holds
    LocalReadOnly,  // a file marked read-only (flags 1) or writable again (0)
    // The store's keeper removes a bucket on the engine's disk, past the
    // plugin, which is then made to forget what it knew of the store (a
    // change that fails does that): the store stays small, including what
    // grew too deep for a host path to reach.
    StoreClear,
    // The second client writes or deletes an object, behind the plugin's back.
    ClientChange,
};

// What the second client does to the store: an object at `path` written
// whole with `size` bytes drawn from `bytesSeed`, or deleted.
struct ClientChange {
    StoreChange::Kind kind = StoreChange::Kind::None;
    HostPath path;
    std::uint64_t bytesSeed = 0;
    std::uint32_t size = 0;
    // How long the second client waits before it changes the store: past
    // what the plugin remembers of a folder that lists quickly, whose look
    // must then see it.
    DWORD waitMs = 0;
};

// Transfers: the local file held open by another process while the call
// runs, with this share mode (no sharing, or reading shared).
enum class Lock : std::uint8_t { None, Exclusive, SharedRead };

// How the user ends a call whose engine stalls (corvanel.wfx64): Cancel in
// the progress window the host shows (a listing, transfer or store copy),
// or the answer to the question whether to stop the storage engine, which
// comes after kQuestionAfterMs of silence: Yes, or No and Yes when it comes
// again.
enum class StallAnswer : std::uint8_t { Cancel, Yes, NoThenYes };

struct Action {
    Op op = Op::FindFirst;
    int listing = 0;  // the host's listing that a FindFirst opens and later calls go on with
    HostPath path, target;
    Path local;
    int flags = 0;  // CopyFlags
    bool move = false, overWrite = false, folder = false;  // FsRenMovFile
    Abort abort = Abort::Never;  // the host's answer to a transfer's progress reports
    std::uint64_t bytesSeed = 0;  // LocalWrite: the content, drawn from this seed
    std::uint32_t size = 0;
    // Called on the host's worker thread, as Double Commander runs its file
    // operations while its panels list on the main thread; one call at a time.
    bool worker = false;
    // The engine's planned fault for this call; the second client's change
    // made where a kPause holds the engine, or on its own (ClientChange).
    FaultSpec fault;
    ClientChange client;
    Lock lock = Lock::None;
    StallAnswer stall = StallAnswer::Cancel;
    // A call the host makes from inside this transfer's progress report
    // number `insideAt` (from 1; 0: from inside the question whether to stop
    // its silent engine, which must refuse it), on this thread, as a file
    // manager that processes window messages in its progress callback does,
    // or on another one that the callback waits for: a whole action of its
    // own, checked as any other. None, or one.
    std::vector<Action> inside;
    int insideAt = 0;
    bool insideOnOtherThread = false;

    bool IsExport() const { return op < Op::LocalWrite; }
    std::string Describe() const;

private:
    std::string Call() const;
};

// The host's progress and request callbacks, to hand FsInit: they answer
// for the session's call under way.
int __stdcall SessionProgress(int pluginNumber, char* source, char* target, int percent);
BOOL __stdcall SessionRequest(int pluginNumber, int requestType, char* customTitle, char* customText,
                              char* returnedText, int maxLength);

// The content a LocalWrite makes.
std::string BytesOf(std::uint64_t seed, std::uint32_t size);

struct Folders {
    std::wstring store, local;  // full Windows paths, no trailing backslash
};

struct SessionCounts {
    std::uint64_t calls = 0;    // export calls made
    std::uint64_t changes = 0;  // calls that changed the store or the local folder
    std::uint64_t bytesMoved = 0;
    std::uint64_t aborts = 0;
    // The engine's faults that fired, by kind (fault_plan.h); the engine
    // processes that ended (faults or the host's cancel); the second
    // client's changes, on their own and in a paused call; local files met
    // locked, read-only or in a folder that is gone.
    std::uint64_t faults[faults::kPause + 1] = {};
    std::uint64_t engineEnds = 0;
    std::uint64_t questions = 0;  // whether to stop the silent engine
    // Calls made from inside a transfer's progress callback (on another
    // thread), inside the question (refused), and those whose helper ended
    // under the transfer or was left stalled for it to end.
    std::uint64_t insideCalls = 0, insideOtherThread = 0, insideRefused = 0, insideEnds = 0;
    std::uint64_t clientChanges = 0, interludes = 0;
    std::uint64_t lockedFiles = 0, readOnlyFiles = 0, goneFolders = 0;
    // Uploads and store copies that replaced an object the second client had
    // made after the listing that the plugin's look answered from.
    std::uint64_t raced = 0;
    // The second client's changes made after what the plugin remembers of
    // the folder had lapsed, each followed by an upload onto it.
    std::uint64_t late = 0;
    // Export calls by Op and by result: FS_FILE_* codes, BOOL results, a
    // listing opened (1) or not (0); 7 for anything else.
    std::uint64_t results[static_cast<int>(Op::LocalWrite)][8] = {};
};

class Session {
public:
    // `bridged`: the module is corvanel.wfx64. `window`: the host's main
    // window, which receives the re-read notices. `faults` and `client`
    // outlive the session.
    Session(const WfxExports& fs, bool bridged, Folders folders, HWND window, FaultControl& faults,
            SecondClient& client);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Carries out one action and checks it. False once there is a finding;
    // later calls then do nothing.
    bool Run(const Action& action);
    // Compares both whole trees on disk with the model, bytes included.
    bool VerifyAll();
    // An empty store and local folder, no listing of the host's open, and
    // nothing the plugin knew of the store kept: the start of a replay.
    void Reset();

    const StoreModel& Model() const { return model_; }
    const std::string& Finding() const { return finding_; }
    const SessionCounts& Counts() const { return counts_; }
    int LastResult() const { return lastResult_; }
    // The entry that the listing's last FindFirst or FindNext delivered,
    // while it is being read; null otherwise.
    const Listed* Current(int listing) const;
    // Listings opened and never closed (read to the end or not), and ones
    // closed: the host may pass a handle it closed again.
    std::vector<int> Unclosed() const;
    std::vector<int> Closed() const;

    int OnProgress(int percent);
    BOOL OnRequest();

private:
    class Worker;
    // What the host's callbacks see of one export call under way, and what
    // became of the call the host made from inside it. A call made from
    // inside another has its own; the outer one's comes back as it returns.
    struct CallState {
        const Action* action = nullptr;
        CallState* outer = nullptr;  // the call this one was made from inside
        int reports = 0;
        int lastPercent = -1;
        int abortedAt = -1;  // the percent of the report the host answered with abort
        bool cancelledInEngine = false;  // answered abort after the first report
        int questions = 0;   // asked during the call
        // The call made from inside this one: at which report, of what
        // percent; whether the helper ended under this call there (its
        // engine ended, or the user stopped it), or was left stalled in it,
        // which this call's own silence then ends at the host's cancel.
        bool insideRan = false;
        int reportsAtInside = 0, percentAtInside = -1;
        bool helperEndedInside = false, stoppedByUser = false, engineStuck = false;
    };
    // Makes `state` the call under way for its scope.
    class CallScope;
    struct Listing {
        HANDLE handle = INVALID_HANDLE_VALUE;
        std::vector<Listed> entries;
        std::size_t next = 0;  // entries delivered so far
        enum class State { Reading, Ended, Closed } state = State::Reading;
        // When FsFindFirst ran, and whether reading to the end teaches the
        // plugin the folder's names (not when a fault cut it short).
        Path folder;
        ULONGLONG begun = 0, opened = 0;
        bool teaches = false;
    };
    // A listing of a folder that reached its end, from which the plugin may
    // answer for kFolderKnownForMs after it began, or for
    // kFolderKnownPerListingCost times what it cost when that is longer
    // (common/timing.h). Begun before the
    // plugin's listing began, opened after (the call that began it had
    // returned), ended once the plugin had seen its end: what it cost the
    // plugin is at most `ended - begun`.
    struct Learnt {
        ULONGLONG begun, opened, ended;
        // The latest moment the plugin may still answer from it.
        ULONGLONG KnownUntil() const;
    };
    // The engine call under way: its fault armed and its local file locked
    // before, what happened read back after.
    struct Armed {
        ULONGLONG started = 0, ended = 0;
        FaultControl::Report report;
        std::vector<DWORD> helpers;  // the 64-bit edition's, when the call may end it
        bool interludeExisted = false;  // the paused call's changed object was there before
    };

    bool RunAction(const Action& action);
    bool RunFindFirst(const Action& action);
    bool RunFindNext(const Action& action);
    bool RunFindClose(const Action& action);
    bool RunChange(const Action& action);
    bool RunTransfer(const Action& action);
    bool RunLocal(const Action& action);
    bool RunClear(const Action& action);
    bool RunClientChange(const Action& action);
    bool RunList(const Action& action);
    // The call the host makes from inside the call under way: served, or
    // (from inside the question) refused at once, changing nothing.
    void RunInside();
    bool RunRefused(const Action& action);
    // What a transfer answers when its helper ended under it, or was left
    // stalled, while it was inside the call made from its report: whole by
    // then, or partial and gone as the host's cancel leaves it.
    Outcome CutShort(const Action& action, const CallState& call);

    // Arms the action's fault (its pause making the second client's change)
    // and its lock, runs `call`, and reads back what the engine did.
    template <typename Call>
    Armed Arm(const Action& action, Call&& call);
    // The model's view of what the engine did in the call.
    void Model(const Action& action, const Armed& armed);
    // After the call: an engine process that ended takes every listing of
    // the host with it, and must be gone; the paused call's change must have
    // gone as the model made it.
    bool Settle(const Action& action, const Armed& armed, bool cancelledInEngine);
    // The second client's change on disk, and when it was made; its bytes.
    bool MakeChange(const ClientChange& change, ULONGLONG* when);
    StoreChange ModelChange(const ClientChange& change) const;
    // What the plugin may still know of `target`'s folder from before the
    // second client's change to it (Seen), for a call begun at `started`.
    Seen MaySee(const Path& target, ULONGLONG started) const;
    bool KnownBefore(const Path& folder, ULONGLONG change, ULONGLONG started) const;
    // The look before an upload or store copy onto `target` that answered
    // `got`: how it saw the target, and what the plugin may answer from
    // afterwards.
    void Looked(const HostPath& target, const Armed& armed, int got);
    void NoteLook(const HostPath& target, const Armed& armed);
    void NoteListed(const Path& folder, const Learnt& listing);
    void NoteChanged(const HostPath& path);
    void NoteClientChange(const Path& path, bool existed, bool exists, ULONGLONG when);
    // Forgets the oldest listings the host is done with, once many are
    // remembered.
    void Forget();
    // Waits for the engine to finish a transfer that the host cancelled but
    // that runs on in process: its target complete and closed.
    bool AwaitFinished(const std::wstring& file, std::size_t size);
    // Takes what a cancelled upload left of an object, when it is part of
    // what was uploaded.
    bool AdoptPartialUpload(const HostPath& remote, const Path& localName);

    // A file of a transfer under way, which the checks leave alone while
    // the call made from inside it runs.
    bool InFlux(const Tree& tree, const Path& path) const;

    bool Expect(bool condition, const std::string& what);
    bool Fail(const std::string& what);
    // The folders of `path` from its bucket (or the root) down, and the
    // entry itself when a file, on disk as in the model.
    bool VerifyAround(const Tree& tree, const std::wstring& root, const Path& path, bool subtree);
    bool VerifyFolder(const Tree& tree, const std::wstring& root, const Path& folder, bool recursive,
                      bool bytes);
    std::string LocalText(const Path& local) const;

    const WfxExports& fs_;
    Worker* worker_;
    Worker* insideWorker_;  // the other thread a callback waits for
    FaultControl& faults_;
    SecondClient& client_;
    bool bridged_;
    StoreModel model_;
    Folders folders_;
    HWND window_;
    std::map<int, Listing> listings_;
    std::string finding_;
    SessionCounts counts_;
    int lastResult_ = 0;
    CallState* call_ = nullptr;  // the innermost export call under way
    // The transfer a call is made from inside of: its local file and object.
    std::vector<std::pair<const Tree*, Path>> inFlux_;
    std::uint64_t changesSinceFullCheck_ = 0;
    // Folders' listings that the plugin may answer from, by folded path; and
    // when the second client made or deleted an object, by folded path.
    std::map<std::wstring, std::vector<Learnt>> listed_;
    std::map<std::wstring, ULONGLONG> clientMade_, clientDeleted_;
    ULONGLONG interludeAt_ = 0;
};
