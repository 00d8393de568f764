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

#include "common/wfx_module.h"
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
    // What the host does in its own local folder.
    LocalWrite,
    LocalMkDir,
    LocalDelete,  // a file, or a folder with all it holds
    // The store's keeper removes a bucket on the engine's disk, past the
    // plugin, which is then made to forget what it knew of the store (a
    // change that fails does that): the store stays small, including what
    // grew too deep for a host path to reach.
    StoreClear,
};

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

    bool IsExport() const { return op < Op::LocalWrite; }
    std::string Describe() const;

private:
    std::string Call() const;
};

// The host's progress callback, to hand FsInit: it answers for the
// session's transfer under way.
int __stdcall SessionProgress(int pluginNumber, char* source, char* target, int percent);

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
    // Export calls by Op and by result: FS_FILE_* codes, BOOL results, a
    // listing opened (1) or not (0); 7 for anything else.
    std::uint64_t results[static_cast<int>(Op::LocalWrite)][8] = {};
};

class Session {
public:
    // `bridged`: the module is corvanel.wfx64. `window`: the host's main
    // window, which receives the re-read notices.
    Session(const WfxExports& fs, bool bridged, Folders folders, HWND window);
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

private:
    class Worker;
    struct Listing {
        HANDLE handle = INVALID_HANDLE_VALUE;
        std::vector<Listed> entries;
        std::size_t next = 0;  // entries delivered so far
        enum class State { Reading, Ended, Closed } state = State::Reading;
    };

    bool RunAction(const Action& action);
    bool RunFindFirst(const Action& action);
    bool RunFindNext(const Action& action);
    bool RunFindClose(const Action& action);
    bool RunChange(const Action& action);
    bool RunTransfer(const Action& action);
    bool RunLocal(const Action& action);
    bool RunClear(const Action& action);
    // Forgets the oldest listings the host is done with, once many are
    // remembered.
    void Forget();
    // Waits for the engine to finish a transfer that the host cancelled but
    // that runs on in process: its target complete and closed.
    bool AwaitFinished(const std::wstring& file, std::size_t size);
    // Takes what a cancelled upload left of an object, when it is part of
    // what was uploaded.
    bool AdoptPartialUpload(const HostPath& remote, const Path& localName);

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
    StoreModel model_;
    Folders folders_;
    HWND window_;
    std::map<int, Listing> listings_;
    std::string finding_;
    SessionCounts counts_;
    int lastResult_ = 0;
    // The transfer under way, as the progress callback sees it.
    Abort abort_ = Abort::Never;
    int reports_ = 0;
    int lastPercent_ = -1;
    int abortedAt_ = -1;  // the percent of the report the host answered with abort
    bool inTransfer_ = false;
    std::uint64_t changesSinceFullCheck_ = 0;
};
