#pragma once
// What the store and the local folder hold, and what each export of the
// plugin should answer and do to them: the stateful fuzzer (store_fuzz.cpp)
// asks this model before every call and checks the plugin's answer, its
// listings and the disk against it.
//
// Written from the plugin's documented behaviour (README, the pages in docs/,
// the closing notes of its issues) and from the reference engine's over a
// folder of Wine's disk (tools/reference_engine), never from the plugin's
// code. Where the documents leave two answers open, both are allowed
// (Outcome::alternative).
//
// Names are UTF-16 as the disk keeps them; host texts are code page 1252,
// the fuzzer's thread code page. Every name the fuzzer makes can be written
// in that code page.

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "common/wfx_api.h"
#include "tools/reference_engine/fault_plan.h"

using Name = std::wstring;
using Path = std::vector<Name>;  // components below a tree's root

// The host's 8-bit text of a name and back, in code page 1252.
std::string ToHost(const Name& name);
Name FromHost(const std::string& text);

struct Node {
    Name name;
    bool folder = false;
    std::string bytes;  // a file's content
    std::vector<Node> children;
    bool readOnly = false;  // a local file the user marked read-only
};

// A folder tree under Wine's rules for names, as the disk below the store or
// the local folder behaves: a name stays as it was made and is found in any
// letter case (CharUpperW folding, which Wine's file system shares for every
// character of code page 1252), and holds at most 255 bytes in UTF-8, the
// bound of the Unix file system below. Each operation is what the Windows
// call of the same name does there; false changes nothing.
class Tree {
public:
    const Node* Find(const Path& path) const;
    bool IsFolder(const Path& path) const;
    bool IsFile(const Path& path) const;
    bool Exists(const Path& path) const { return Find(path) != nullptr; }

    bool MakeFolder(const Path& path);
    // CreateFile with CREATE_ALWAYS and the bytes written: a file there is
    // overwritten under its own name, a folder there refuses; so does a
    // read-only file where the disk keeps it from being written
    // (ReadOnlyHolds).
    bool WriteFile(const Path& path, const std::string& bytes);
    // CopyFileW without the fail-if-exists flag; never onto the source itself.
    bool CopyFile(const Path& from, const Path& to);
    // MoveFileW, or MoveFileExW with MOVEFILE_REPLACE_EXISTING (`replace`):
    // a name that finds the source itself changes nothing and succeeds.
    bool MoveFile(const Path& from, const Path& to, bool replace);
    bool RemoveFolder(const Path& path);  // an empty folder only
    bool DeleteFile(const Path& path);    // a file only, and not a read-only one
    bool SetReadOnly(const Path& path, bool readOnly);  // a file only

    // A folder's entries in the reference engine's listing order
    // (_wcsicmp); empty when it is no folder.
    std::vector<const Node*> Listing(const Path& folder) const;
    // Entries below the root, folders and files, and the files' bytes.
    std::size_t Count() const;
    std::uint64_t Bytes() const;
    // A folder with all it holds, or a file, read-only or not; false when
    // neither is there.
    bool RemoveAll(const Path& path);
    void Clear() { root_.children.clear(); }
    const Node& Root() const { return root_; }

private:
    Node* Locate(const Path& path);
    Node* Attach(const Path& parent, Node node);  // the parent must be a folder

    Node root_{L"", true, {}, {}};
};

// Whether the disk keeps a read-only file from being opened for writing, as
// Windows does. Wine run as root does not: it keeps the file's Unix write
// bits away, which do not stop root, and only its own DeleteFile checks the
// attribute. Found out once on the real disk (ProbeReadOnly).
extern bool g_readOnlyHolds;
void ProbeReadOnly(const std::wstring& folder);

bool SameName(const Name& a, const Name& b);       // letter case aside, as Wine's disk
bool SamePath(const Path& a, const Path& b);
bool Inside(const Path& inner, const Path& outer);  // strictly below
// The reference engine's rule for one name of a path.
bool IsValidName(const Name& name);
// Whether the disk takes the name at all.
bool FitsDisk(const Name& name);

// A host path as the fuzzer makes them: "\" and the components joined by
// backslashes, perhaps with one trailing backslash, which parses the same.
struct HostPath {
    std::vector<std::string> parts;  // account, bucket, key components
    bool trailing = false;

    std::string Text() const;
    int Level() const { return parts.size() < 3 ? static_cast<int>(parts.size()) : 3; }
    std::string Key() const;  // the key components joined by backslashes
    Path StorePath() const;
};

// One entry as the host's find record shows it.
struct Listed {
    std::string name;
    DWORD attributes;
    std::uint64_t size;
    bool operator==(const Listed& other) const {
        return name == other.name && attributes == other.attributes && size == other.size;
    }
};

constexpr DWORD kAnyError = 0xFFFFFFFF;  // a failed listing's last error is not fixed

struct ListingOutcome {
    bool opened = false;
    DWORD lastError = kAnyError;  // when not opened
    std::vector<Listed> entries;  // the first one is FsFindFirst's
    bool cut = false;             // a fault ends it before the folder's end
};

// An export's expected result; `alternative` is a second one the documents
// allow (-1: none), which changes nothing, as the result does not either.
// `partialUpload`: the engine's process ended in the middle of an upload
// (the host's cancel in the 64-bit edition, or a fault), which leaves the
// object as far as the engine got.
struct Outcome {
    int result = 0;
    int alternative = -1;
    bool partialUpload = false;
    bool Allows(int got) const { return got == result || got == alternative; }
};

// What the engine did otherwise than asked during one export call, from its
// fault plan's report: the planned fault that fired (fault_plan.h), as the
// session armed it.
struct Strike {
    int operation = -1;  // faults::Operation; -1 when none fired
    int kind = faults::kNoFault;
    int occurrence = 1;
    int detail = 0;
    bool At(int op) const { return operation == op; }
};

// A change that the second client makes to the store: an object written
// whole (made or replaced), or deleted.
struct StoreChange {
    enum class Kind : std::uint8_t { None, Write, Delete } kind = Kind::None;
    Path path;
    std::string bytes;
};

// How the plugin's look may have seen a target that the second client made
// or deleted since a listing the plugin may still answer from: as the store
// is now, or as that listing showed it (store_session.h decides).
enum class Seen { AsNow, Free, Taken };

// How the host answers the progress reports of a transfer.
enum class Abort {
    Never,
    AtFirstReport,  // the plugin's own 0% report, before the engine has the transfer
    AtRelay,        // the first report relayed from the engine's transfer
    AtRelayWhole,   // the same, when it was of 100 percent: the transfer was whole
};

class StoreModel {
public:
    // bridged: corvanel.wfx64, whose helper ends when the host cancels a
    // running transfer; otherwise the engine's transfer runs on to its end.
    explicit StoreModel(bool bridged) : bridged_(bridged) {}

    Tree store, local;

    // The call about to be modelled, set by the session for each one: the
    // engine's fault that fired, the second client's change made while the
    // engine waited at that fault's call (kPause), how the look saw a target
    // the second client changed, and the local files another process holds
    // open (their share mode: 0, or FILE_SHARE_READ).
    Strike strike;
    StoreChange interlude;
    bool interludeDone = false;  // the second client's change succeeded on disk
    Seen seen = Seen::AsNow;
    std::map<Path, DWORD> locked;
    // The call is made from inside another's callback on the same helper: a
    // transfer the host cancels is left to its engine, as in process. The
    // local files of the transfers under way, which another transfer may not
    // take, and whether each is on disk by now (a download's engine makes its
    // file when it starts).
    bool nested = false;
    struct InUse {
        Path file;
        bool onDisk = false;
    };
    std::vector<InUse> inUse;
    // Whether the model reached the paused call and made the interlude's
    // change there (-1: not reached), to hold against interludeDone.
    int interludeApplied = -1;

    // The second client's change, applied; what the disk answered must agree.
    bool ApplyChange(const StoreChange& change);

    // `entries` cut short where a planned fault ends the listing.
    ListingOutcome FindFirst(const HostPath& path);
    // Each returns the expected answer and applies what the call changes.
    bool MkDir(const HostPath& path);
    bool RemoveDir(const HostPath& path);
    bool DeleteFile(const HostPath& path);
    Outcome RenMov(const HostPath& from, const HostPath& to, bool move, bool overWrite, bool folder);
    Outcome GetFile(const HostPath& remote, const Path& localName, int copyFlags, Abort abort);
    Outcome PutFile(const Path& localName, const HostPath& remote, int copyFlags, Abort abort);
    // FsExecuteFile with "open": FS_EXEC_OK and a re-read notice after a
    // creation from a placeholder, FS_EXEC_ERROR for a path that does not
    // fit, else FS_EXEC_YOURSELF.
    int ExecuteOpen(const HostPath& path, bool* notice);

    // The engine operation that lists, or makes, a folder of `level`.
    static int FirstOf(int level);
    static int CreateOf(int level);

private:
    enum class Look { Free, Taken, Unknown, Ended };
    // The look before a change: whether the target's name is taken in its
    // folder, letter case aside, not counting `self` (the entry a case-only
    // rename renames). A folder that cannot be listed is looked for in the
    // folder above it, up to the bucket. A planned fault fails the look's
    // listing it hits (Ended: its process ended).
    Look LookUp(const HostPath& target, const HostPath* self) const;
    // Whether the look's listing number `step` (from 1) of `folder` meets a
    // planned fault; *ends when the engine's process ends there.
    bool LookListingFails(int step, const Path& folder, bool* ends) const;

    // The engine operation `op` of this call: false when a planned fault
    // fails it (or ends the engine there); a pause lets the second client's
    // change in first.
    bool Reaches(int op);
    // A fault planned for later, at `op`'s call: a listing's Next or a
    // transfer's chunk (kFailPartWay, kEndPartWay, or kFail and kEnd with a
    // detail at a listing's First).
    bool StrikesLater(int op) const;
    // The engine's process ended in the call, or was ended when it stalled.
    bool Ends() const {
        return strike.kind == faults::kEnd || strike.kind == faults::kEndPartWay || strike.kind == faults::kStall;
    }
    // What a transfer or store copy answers when its engine call failed: one
    // whose stalled engine the user stopped was aborted.
    int FailedCall() const { return strike.kind == faults::kStall ? FS_FILE_USERABORT : FS_FILE_READERROR; }
    // Whether another process's handle keeps the engine from opening a
    // local file: for reading (an upload's source) or for writing.
    bool LocalBlocked(const Path& file, bool write) const;
    const InUse* InUseAs(const Path& file) const;

    // The reference engine's operations on the store.
    bool Locatable(const HostPath& path) const;
    bool CopyBucket(const HostPath& from, const HostPath& to, bool move);
    bool CopyOrMove(const Path& from, const Path& to, bool move, bool folders);
    bool CopyTree(const Path& from, const Path& to);
    bool RemoveTree(const Path& path);
    bool MakeDirectories(const Path& base, const Path& folder);
    Name FreeName(const Path& folder, const wchar_t* stem) const;

    bool bridged_;
};
