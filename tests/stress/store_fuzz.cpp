// Nothing lost in a million steps: drives the plugin module, corvanel.wfx in
// a 32-bit build of this program and corvanel.wfx64 in a 64-bit one, as both
// file managers do, over the registered reference engine and a store folder
// of its own, and checks every step against a model of the store and the
// local folder (store_model.h, store_session.h).
//
// What it draws: listings as Total Commander makes them (one at a time, to
// the end) and as Double Commander makes them (depth first, a subfolder's
// listing inside its parent's, some given up part-way, some interrupted by a
// change); uploads and downloads with and without the overwrite flag and the
// existence hints, asking again with the flag when the plugin answers that
// the target exists; copies, moves and renames inside the store at every
// level; folder trees downloaded, uploaded, copied, moved and deleted file
// by file; folders made and removed; the host cancelling at a progress
// report; calls made from inside a transfer's progress callback, on its
// thread or another, with faults of their own, and from inside the question
// whether to stop a silent engine. Names differ only in letter case, carry
// code page 1252 letters, or lie at the length bounds of the plugin's fields
// and of the disk.
//
//   store_fuzz.exe [--seed S] [--steps N] [--nested on|off] [--shrink-seconds T]
//
// The seed is printed first; --seed S --steps N replays a run. A step is one
// export call. On a finding the run stops and prints it, with a shortened
// sequence of calls from an empty store that still finds it.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "path/remote_path.h"
#include "tests/stress/fault_control.h"
#include "tests/stress/module_allocations.h"
#include "tests/stress/random.h"
#include "tests/stress/second_client.h"
#include "tests/stress/store_session.h"
#include "tests/support/built_module.h"
#include "tests/support/folder_tree.h"
#include "tests/support/process_usage.h"
#include "tests/support/result_file.h"

namespace {

#ifdef _WIN64
constexpr char kPluginModule[] = "corvanel.wfx64";
constexpr bool kBridged = true;
#else
constexpr char kPluginModule[] = "corvanel.wfx";
constexpr bool kBridged = false;
#endif

// An account the fuzzer keeps for itself: listings of it leave the engine
// and the plugin in the same state before the leak check's two counts.
constexpr wchar_t kSettleAccount[] = L"zz-settle";
// Listings of it given up after their first entry, more than the reference
// engine keeps of such (256): the ones before them are dropped.
constexpr int kSettleListings = 300;
// Folders of a Double Commander walk below the listed one; a walk to delete
// a tree goes all the way down.
constexpr int kMaxWalkDepth = 8;
// Long runs say how far they are every so many steps.
constexpr std::uint64_t kReportEvery = 100000;
// Bytes in the store, and in the local folder, above which the host
// deletes more: every so many changes both are read whole.
constexpr std::uint64_t kMostBytes = 4 << 20;
// The actions kept for shortening a failing run: a finding needs a store
// built by recent actions to show again from an empty one.
constexpr std::size_t kKeptActions = 50000;
// Export calls, in percent, that meet a fault of the engine's.
constexpr std::uint32_t kFaultPercent = 5;

struct Options {
    std::uint64_t seed = 0;
    std::uint64_t steps = 20000;
    bool nested = true;
    int shrinkSeconds = 180;
};

// Names as the host shows them, many alike but for letter case.
const wchar_t* const kAccountNames[] = {L"work", L"Work", L"play", L"PLAY", L"\u00e9t\u00e9", L"\u00c9T\u00c9",
                                        L"\u0152uvre", L"\u0153uvre", L"\u00ffes", L"\u0178ES"};
const wchar_t* const kBucketNames[] = {L"photos", L"Photos", L"docs", L"DOCS", L"na\u00efve", L"NA\u00cfVE",
                                       L"\u0161um", L"\u0160UM", L"\u00df", L"SS"};
const wchar_t* const kEntryNames[] = {L"a.txt", L"A.TXT", L"b", L"B", L"sub", L"Sub", L"\u00e9t\u00e9.txt",
                                      L"\u00c9T\u00c9.TXT", L"na\u00efve", L"Na\u00efve", L"\u0153uf",
                                      L"\u0152UF", L"\u00ff", L"\u0178", L"\u00b5", L"\u20acuro", L"two words",
                                      L" lead", L"\u00df", L"ss", L"Zz"};
const wchar_t* const kLocalNames[] = {L"up.bin", L"UP.BIN", L"note.txt", L"\u00e9t\u00e9.txt", L"\u00c9T\u00c9.TXT",
                                      L"\u0153uf", L"b", L"B"};
// Names the engine refuses: a trailing dot or space, a wildcard.
const wchar_t* const kRefusedNames[] = {L"dot.", L"space ", L"what?"};

// Names at the bounds: the plugin's 258 bytes per field, the disk's 255
// bytes of UTF-8 per name, and code page 1252 letters that take two bytes
// there.
Name LongName(Random& random) {
    switch (random.Below(8)) {
    case 0: return Name(255, L'L');
    case 1: return Name(256, L'L');
    case 2: return Name(258, L'L');
    case 3: return Name(259, L'L');
    case 4: return Name(127, L'\u00e9') + L"a";
    case 5: return Name(128, L'\u00e9');
    case 6: return Name(250, L'k');
    default: return Name(253, L'k');
    }
}

Name Recased(Random& random, Name name) {
    for (wchar_t& c : name) {
        wchar_t buffer[2] = {c, 0};
        if (random.Percent(50)) CharUpperW(buffer);
        else CharLowerW(buffer);
        c = buffer[0];
    }
    return name;
}

HostPath ToHostPath(const Path& path) {
    HostPath host;
    for (const Name& name : path) host.parts.push_back(ToHost(name));
    return host;
}

Path Below(Path path, const Name& name) {
    path.push_back(name);
    return path;
}

// The 64-bit edition's helper as a long run goes: its handles and memory.
std::string HelperFigures() {
    const std::vector<DWORD> helpers = HelpersOf(GetCurrentProcessId());
    if (helpers.size() != 1) return std::string();
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, helpers.front());
    if (process == nullptr) return std::string();
    const Usage usage = UsageOf(process);
    CloseHandle(process);
    return "; helper " + std::to_string(helpers.front()) + ": " + std::to_string(usage.handles) + " handles, " +
           std::to_string(usage.commit / 1024) + " KiB committed";
}

class Host {
public:
    Host(Session& session, Random& random, const Options& options)
        : session_(session), random_(random), options_(options) {}

    // Draws host actions until `steps` export calls are made or there is a
    // finding. `midway` runs once, when half the steps are made, and
    // `lastQuarter` when three quarters are: from then on nothing ends the
    // 64-bit edition's helper, so that one helper serves the last quarter.
    template <typename Midway, typename LastQuarter>
    void Run(std::uint64_t steps, Midway&& midway, LastQuarter&& lastQuarter);
    // Closes every listing the host left open, then lists the fuzzer's own
    // account in a fixed way: the engine's and the plugin's state alike for
    // every count of what they hold.
    void Settle();
    bool Stopped() const { return stopped_; }
    // The last kKeptActions actions, oldest first.
    const std::deque<Action>& History() const { return history_; }
    std::uint64_t Actions() const { return actions_; }

private:
    // Records and runs one action; false once the run is to stop.
    bool Do(const Action& action);
    bool Call(Op op, const HostPath& path);
    int Result() const { return session_.LastResult(); }

    // ---- What a host does
    void OneStep();
    void ListLikeTotalCommander(const HostPath& folder);
    struct Found {
        HostPath path;
        bool folder;
    };
    // Double Commander's walk of a folder tree; every entry goes into
    // `found`. `whole`: neither given up nor interrupted on the way.
    void Walk(const HostPath& folder, int depth, std::vector<Found>* found, bool whole);
    // purpose: 0 download, 1 delete, 2 copy or move; -1 any.
    void WalkAndAct(int purpose);
    void Upload(const HostPath* into);
    void Download();
    void RenameOrCopy(const HostPath* in);
    void MakeFolder(const HostPath* in);
    void Remove(const HostPath* in);
    void OpenEntry();
    void PassClosedHandle();
    void ClearBucket();
    void LocalChange();
    // The second client writes or deletes an object in a folder of the store.
    void ClientChanges();
    void UploadTree();
    // A change to the folder a listing is going through, made while it does.
    void Interrupt(const HostPath& folder);
    // A transfer or store copy; when the plugin answers that the target
    // exists, the user is asked and says overwrite or skip.
    void Transfer(Action action);
    void RenMov(const HostPath& from, const HostPath& to, bool move, bool folder);

    // ---- Choices
    std::vector<Path> Entries(int level, int kind) const;  // kind: 0 any, 1 folder, 2 file
    bool PickEntry(int level, int kind, Path* path);
    HostPath Spoken(const Path& path);  // as the host may spell it: letter case changed now and then
    Name NewName(int level);
    // Mostly one at `level` (1 account, 2 bucket, 3 folder) or deeper.
    HostPath SomeFolder(int level = 0);
    HostPath NewEntryIn(const HostPath& folder);
    // A local file name; `existing`: mostly one that is there, to upload.
    Path LocalFile(bool existing = false);
    Abort DrawAbort(bool transfer);
    int DrawCopyFlags(bool upload, const HostPath& target);
    // The engine's fault for an export call, now and then, and the local
    // file of a transfer held open by another process.
    void DrawFault(Action& action, std::uint32_t percent = kFaultPercent);
    // A call the host makes from inside `outer`'s progress report number
    // `at` (0: inside the question whether to stop its silent engine).
    void DrawInside(Action& outer, int at);
    FaultSpec DrawListingFault(int level, const HostPath& folder, bool look);
    // The engine's end at its call, or now and then its stall, which the
    // user ends (`watched`: the host shows a progress window while it waits).
    void EndOrStall(Action& action, bool watched);
    // A stall costs the user's waiting: a second before Cancel, ten before
    // the question whether to stop the engine. A few per ten thousand calls,
    // and a question per forty thousand.
    std::uint64_t StallsAllowed() const { return 3 + session_.Counts().calls / 10000; }
    std::uint64_t QuestionsAllowed() const { return 1 + session_.Counts().calls / 40000; }
    // How the user ends the stall; false when no stall fits the budget.
    bool DrawStallAnswer(bool watched, StallAnswer* answer);
    // A change of the second client's to `path` (an object): written, or
    // deleted when it is there.
    ClientChange DrawClientChange(const HostPath& path);

    Session& session_;
    Random& random_;
    const Options& options_;
    std::deque<Action> history_;
    std::uint64_t actions_ = 0;
    std::uint64_t steps_ = 0;
    bool stopped_ = false;
    // Whether a call may end the 64-bit edition's helper: a cancel once the
    // engine has a transfer, the engine's end or a transfer it stops.
    bool restartsAllowed_ = true;
    bool faultsOn_ = true;
    std::uint64_t stalls_ = 0, questions_ = 0;
    StallAnswer stall_ = StallAnswer::Cancel;  // DrawListingFault's stall
    int listingIds_ = 0;
    int walkUnfinished_ = 0;  // listings of the current walk not read to their end
    int reading_ = 0;         // listings a walk is going through
    bool givenUp_ = false;    // the walk under way gave up a listing part-way
    bool onWorker_ = false;   // the host action under way runs on the worker thread
    std::uint64_t nextReport_ = kReportEvery;
};

template <typename Midway, typename LastQuarter>
void Host::Run(std::uint64_t steps, Midway&& midway, LastQuarter&& lastQuarter) {
    steps_ = steps;
    const ULONGLONG started = GetTickCount64();
    faultsOn_ = false;
    Call(Op::MkDir, ToHostPath({kSettleAccount}));
    Call(Op::MkDir, ToHostPath({kSettleAccount, L"s1"}));
    Call(Op::MkDir, ToHostPath({kSettleAccount, L"s2"}));
    faultsOn_ = true;
    bool halfway = false, threeQuarters = false;
    while (!stopped_) {
        if (!halfway && session_.Counts().calls >= steps / 2) {
            halfway = true;
            midway();
        }
        if (!threeQuarters && session_.Counts().calls >= steps / 4 * 3) {
            threeQuarters = true;
            // The 64-bit edition restarts its helper after its engine ends
            // or a cancel: the last quarter keeps one helper for the leak
            // check.
            restartsAllowed_ = !kBridged;
            lastQuarter();
        }
        OneStep();
        if (session_.Counts().calls >= nextReport_) {
            nextReport_ += kReportEvery;
            std::printf("  ... %llu steps, %.0f s, the store holds %zu entries%s\n",
                        static_cast<unsigned long long>(session_.Counts().calls),
                        (GetTickCount64() - started) / 1000.0, session_.Model().store.Count(),
                        HelperFigures().c_str());
            std::fflush(stdout);
        }
    }
}

bool Host::Do(const Action& drawn) {
    if (stopped_) return false;
    Action action = drawn;
    action.worker = onWorker_;
    if (faultsOn_ && action.IsExport()) DrawFault(action);
    // Now and then the host calls the plugin from inside a transfer's
    // progress callback, as Double Commander's synchronisation and quick
    // view do, or from inside the question whether to stop its stalled
    // engine; not where a planned fault of the transfer's own could strike.
    const bool transfer = action.op == Op::GetFile || action.op == Op::PutFile;
    if (transfer && options_.nested) {
        if (!action.fault.Planned() && action.abort == Abort::Never && action.lock == Lock::None &&
            random_.Percent(20)) {
            DrawInside(action, 1 + static_cast<int>(random_.Below(3)));
        } else if (action.fault.kind == faults::kStall && action.stall != StallAnswer::Cancel && random_.Percent(50)) {
            DrawInside(action, 0);
        }
    }
    if (history_.size() == kKeptActions) history_.pop_front();
    history_.push_back(action);
    ++actions_;
    if (!session_.Run(action) || session_.Counts().calls >= steps_) stopped_ = true;
    return !stopped_;
}

bool Host::Call(Op op, const HostPath& path) {
    Action action;
    action.op = op;
    action.path = path;
    return Do(action);
}

void Host::OneStep() {
    // A file operation on the worker thread, now and then; listings on the
    // main thread.
    onWorker_ = random_.Percent(30);
    // A store grown large is pruned by deleting trees, whole buckets most;
    // the host clears its local folder now and then.
    const Tree& store = session_.Model().store;
    const std::size_t size = store.Count();
    if (size > 150 || store.Bytes() > 2 * kMostBytes) return ClearBucket();
    if ((size > 100 || store.Bytes() > kMostBytes) && random_.Percent(30)) return WalkAndAct(1);
    const Tree& local = session_.Model().local;
    if ((local.Count() > 80 || local.Bytes() > kMostBytes) && random_.Percent(20)) {
        const std::vector<const Node*> top = local.Listing({});
        Action clear;
        clear.op = Op::LocalDelete;
        clear.local = {random_.Pick(top)->name};
        Do(clear);
        return;
    }
    if (random_.Percent(3)) return ClientChanges();
    const std::uint32_t roll = random_.Below(100);
    if (roll < 10) return ListLikeTotalCommander(SomeFolder());
    if (roll < 24) return WalkAndAct(-1);
    if (roll < 38) return Upload(nullptr);
    if (roll < 50) return Download();
    if (roll < 66) return RenameOrCopy(nullptr);
    if (roll < 74) return MakeFolder(nullptr);
    if (roll < 82) return Remove(nullptr);
    if (roll < 84) return random_.Percent(50) ? OpenEntry() : PassClosedHandle();
    if (roll < 96) return LocalChange();
    return UploadTree();
}

// ---- Listings

void Host::ListLikeTotalCommander(const HostPath& folder) {
    Action action;
    action.op = Op::FindFirst;
    action.path = folder;
    action.path.trailing = random_.Percent(30);
    action.listing = ++listingIds_;
    if (!Do(action) || !Result()) return;
    action.op = Op::FindNext;
    while (Do(action) && Result()) {
    }
    action.op = Op::FindClose;
    Do(action);
}

void Host::Walk(const HostPath& folder, int depth, std::vector<Found>* found, bool whole) {
    Action action;
    action.op = Op::FindFirst;
    action.path = folder;
    action.path.trailing = true;  // Double Commander adds the separator
    action.listing = ++listingIds_;
    if (!Do(action) || !Result()) return;
    ++walkUnfinished_;
    ++reading_;
    struct Done {
        int& reading;
        ~Done() { --reading; }
    } done{reading_};
    std::vector<HostPath> later;
    for (;;) {
        const Listed* entry = session_.Current(action.listing);
        if (entry == nullptr) break;
        HostPath child = folder;
        child.parts.push_back(entry->name);
        const bool isFolder = (entry->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (found != nullptr) found->push_back({child, isFolder});
        if (isFolder && (whole || depth < kMaxWalkDepth)) {
            if (options_.nested) Walk(child, depth + 1, found, whole);
            else later.push_back(child);
        }
        if (stopped_) return;
        if (options_.nested && !whole && random_.Percent(3)) Interrupt(folder);
        // Given up part-way, closed or not. The engine and the plugin keep
        // 256 listings that were not read to their end and drop the oldest:
        // a walk leaves few behind, so that the ones it still reads stay.
        if (!whole && walkUnfinished_ <= depth + 16 && random_.Percent(4)) {
            if (random_.Percent(60)) {
                action.op = Op::FindClose;
                Do(action);
            }
            givenUp_ = true;
            return;
        }
        action.op = Op::FindNext;
        if (!Do(action)) return;
        if (!Result()) break;
    }
    --walkUnfinished_;
    action.op = Op::FindClose;
    if (!Do(action)) return;
    for (const HostPath& child : later) Walk(child, depth + 1, found, whole);
}

// A walk of a folder tree, then what the file manager walked it for.
void Host::WalkAndAct(int purpose) {
    Path start;
    const bool tree = (purpose >= 0 || random_.Percent(70)) &&
                      PickEntry(random_.Percent(purpose == 1 ? 70 : 30) ? 2 : 3, 1, &start);
    const HostPath folder = tree ? Spoken(start) : SomeFolder();
    std::vector<Found> found;
    walkUnfinished_ = 0;
    givenUp_ = false;
    Walk(folder, 0, &found, purpose == 1);
    // A walk given up part-way is the user's cancel: nothing follows it.
    if (stopped_ || givenUp_ || !tree || !session_.Model().store.IsFolder(start)) return;
    const auto relative = [&](const HostPath& path) {
        return std::vector<std::string>(path.parts.begin() + static_cast<std::ptrdiff_t>(folder.parts.size()),
                                         path.parts.end());
    };
    switch (purpose >= 0 ? purpose : static_cast<int>(random_.Below(4))) {
    case 0: {  // downloaded into a local folder
        Path local{Recased(random_, random_.Pick(kLocalNames)) + L"-tree"};
        Action make;
        make.op = Op::LocalMkDir;
        make.local = local;
        if (!Do(make)) return;
        for (const Found& entry : found) {
            Action action;
            action.local = local;
            for (const std::string& part : relative(entry.path)) action.local.push_back(FromHost(part));
            if (entry.folder) {
                action.op = Op::LocalMkDir;
                if (!Do(action)) return;
                continue;
            }
            action.op = Op::GetFile;
            action.path = entry.path;
            action.flags = DrawCopyFlags(false, entry.path);
            action.abort = DrawAbort(true);
            Transfer(action);
            if (stopped_) return;
        }
        return;
    }
    case 1: {  // deleted: files first, then folders deepest first, then the folder itself
        for (const Found& entry : found) {
            if (!entry.folder && !Call(Op::DeleteFile, entry.path)) return;
        }
        for (auto entry = found.rbegin(); entry != found.rend(); ++entry) {
            if (entry->folder && !Call(Op::RemoveDir, entry->path)) return;
        }
        Call(Op::RemoveDir, folder);
        return;
    }
    default: {  // copied or moved inside the store, file by file
        if (folder.Level() < 3) return;
        const bool move = random_.Percent(40);
        HostPath target = folder;
        target.parts.pop_back();
        Path existing;
        // Into a folder that exists (merged), or a new one; never into itself,
        // which the file manager refuses.
        if (random_.Percent(30) && PickEntry(3, 1, &existing) && !Inside(existing, start) &&
            !SamePath(existing, start)) {
            target = Spoken(existing);
        } else {
            target = NewEntryIn(target);
        }
        if (!Call(Op::MkDir, target)) return;
        for (const Found& entry : found) {
            HostPath to = target;
            for (const std::string& part : relative(entry.path)) to.parts.push_back(part);
            if (entry.folder) {
                if (!Call(Op::MkDir, to)) return;
            } else {
                RenMov(entry.path, to, move, false);
                if (stopped_) return;
            }
        }
        if (!move) return;
        for (auto entry = found.rbegin(); entry != found.rend(); ++entry) {
            if (entry->folder && !Call(Op::RemoveDir, entry->path)) return;
        }
        Call(Op::RemoveDir, folder);
        return;
    }
    }
}

void Host::Interrupt(const HostPath& folder) {
    if (!folder.parts.empty() && SameName(FromHost(folder.parts[0]), kSettleAccount)) return;  // the fuzzer's own
    switch (random_.Below(4)) {
    case 0: return folder.Level() >= 2 ? Upload(&folder) : MakeFolder(&folder);
    case 1: return MakeFolder(&folder);
    case 2: return Remove(&folder);
    default: return RenameOrCopy(&folder);
    }
}

// ---- Changes

void Host::Transfer(Action action) {
    if (!Do(action) || Result() != FS_FILE_EXISTS) return;
    if (random_.Percent(40)) return;  // the user skips it
    if (action.op == Op::RenMov) {
        action.overWrite = true;
    } else {
        action.flags = (action.flags | FS_COPYFLAGS_OVERWRITE) &
                       ~(FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_EXISTS_DIFFERENTCASE);
    }
    Do(action);
}

void Host::RenMov(const HostPath& from, const HostPath& to, bool move, bool folder) {
    Action action;
    action.op = Op::RenMov;
    action.path = from;
    action.target = to;
    action.move = move;
    action.folder = folder;
    // Only a bucket copy reports its progress, and ignores the answer. (The
    // 64-bit edition asks the host itself when its helper is silent for a
    // second, and heeds that answer.)
    if (from.Level() == 2) action.abort = DrawAbort(false);
    Transfer(action);
}

void Host::Upload(const HostPath* into) {
    Action action;
    action.op = Op::PutFile;
    action.local = LocalFile(true);
    Path existing;
    if (into == nullptr && random_.Percent(45) && PickEntry(3, random_.Percent(80) ? 2 : 0, &existing)) {
        action.path = Spoken(existing);  // onto an existing object (or folder)
    } else {
        action.path = NewEntryIn(into != nullptr ? *into : SomeFolder(random_.Percent(90) ? 2 : 0));
        if (into == nullptr && random_.Percent(10)) action.path = NewEntryIn(action.path);  // folders made on the way
    }
    action.flags = DrawCopyFlags(true, action.path);
    action.abort = DrawAbort(true);
    Transfer(action);
}

void Host::Download() {
    Action action;
    action.op = Op::GetFile;
    Path object;
    if (random_.Percent(90) && PickEntry(3, random_.Percent(90) ? 2 : 0, &object)) {
        action.path = Spoken(object);
    } else {
        action.path = NewEntryIn(SomeFolder(2));
    }
    // The object's own name, as a file manager keeps it, when the disk can.
    const Name own = action.path.parts.empty() ? Name() : FromHost(action.path.parts.back());
    action.local = random_.Percent(50) && IsValidName(own) && own.size() <= 120 ? Path{own} : LocalFile();
    action.flags = DrawCopyFlags(false, action.path);
    action.abort = DrawAbort(true);
    Transfer(action);
}

void Host::RenameOrCopy(const HostPath* in) {
    const int level = in != nullptr ? std::min(in->Level() + 1, 3) : 1 + static_cast<int>(random_.Below(3));
    Path source;
    if (!PickEntry(level, 0, &source)) return;
    if (in != nullptr && random_.Percent(70)) {
        const std::vector<Path> inside = Entries(level, 0);
        for (const Path& path : inside) {
            if (path.size() == in->parts.size() + 1 && SamePath(Path(path.begin(), path.end() - 1), in->StorePath())) {
                source = path;
                break;
            }
        }
    }
    const bool folder = session_.Model().store.IsFolder(source);
    HostPath from = Spoken(source);
    HostPath to;
    const std::uint32_t roll = random_.Below(100);
    Path other;
    if (roll < 15) {
        to = from;  // the same entry in other letter case
        to.parts.back() = ToHost(Recased(random_, FromHost(to.parts.back())));
    } else if (roll < 45 && PickEntry(level, 0, &other)) {
        to = Spoken(other);  // onto an existing entry
    } else if (roll < 65 && level == 3 && PickEntry(3, 1, &other)) {
        to = NewEntryIn(Spoken(other));  // into another folder
        if (random_.Percent(20)) to.parts.back() = from.parts.back();
    } else {
        HostPath parent = from;
        parent.parts.pop_back();
        if (level > 1 && random_.Percent(25)) parent = Spoken(Path(source.begin(), source.end() - 1));
        to = NewEntryIn(level == 2 && random_.Percent(30) ? SomeFolder() : parent);
        if (to.Level() != level && random_.Percent(80)) to = NewEntryIn(parent);
    }
    RenMov(from, to, level == 1 ? !random_.Percent(10) : random_.Percent(50), folder);
}

void Host::MakeFolder(const HostPath* in) {
    Path existing;
    if (in == nullptr && random_.Percent(20) && PickEntry(1 + static_cast<int>(random_.Below(3)), 0, &existing)) {
        Call(Op::MkDir, Spoken(existing));
        return;
    }
    Call(Op::MkDir, NewEntryIn(in != nullptr ? *in : SomeFolder()));
}

void Host::Remove(const HostPath* in) {
    Path path;
    const int level = in != nullptr ? std::min(in->Level() + 1, 3) : 1 + static_cast<int>(random_.Below(3));
    if (!PickEntry(level, 0, &path)) return;
    // Mostly what a host removes with one call: a file or an empty folder.
    for (int tries = 0; tries < 4 && session_.Model().store.Listing(path).size() > 0 && random_.Percent(80); ++tries) {
        PickEntry(level, 0, &path);
    }
    const bool folder = session_.Model().store.IsFolder(path);
    Call(folder != random_.Percent(10) ? Op::RemoveDir : Op::DeleteFile, Spoken(path));
}

// The largest bucket, removed past the plugin.
void Host::ClearBucket() {
    Path largest;
    std::size_t most = 0;
    for (const Path& bucket : Entries(2, 1)) {
        std::size_t count = 0;
        for (const Path& entry : Entries(3, 0)) count += Inside(entry, bucket);
        if (count >= most) {
            most = count;
            largest = bucket;
        }
    }
    if (largest.empty()) return;
    Action clear;
    clear.op = Op::StoreClear;
    clear.path = ToHostPath(largest);
    Do(clear);
}

// A handle the host closed, passed again: nothing is listed, nothing closed.
void Host::PassClosedHandle() {
    const std::vector<int> closed = session_.Closed();
    if (closed.empty()) return;
    Action action;
    action.op = random_.Percent(50) ? Op::FindNext : Op::FindClose;
    action.listing = random_.Pick(closed);
    Do(action);
}

void Host::OpenEntry() {
    Path path;
    HostPath target;
    switch (random_.Below(3)) {
    case 0: target.parts = {kAddAccountPlaceholder}; break;
    case 1:
        if (!PickEntry(1, 1, &path)) return;
        target = Spoken(path);
        target.parts.push_back(kCreateBucketPlaceholder);
        break;
    default:
        if (!PickEntry(3, 2, &path)) return;
        target = Spoken(path);
        break;
    }
    Call(Op::Open, target);
}

void Host::LocalChange() {
    Action action;
    action.local = LocalFile();
    const std::size_t files = session_.Model().local.Count();
    if (random_.Percent(6)) {
        // The user marks a file read-only, or writable again.
        action.op = Op::LocalReadOnly;
        action.local = LocalFile(true);
        action.flags = random_.Percent(50) ? 1 : 0;
        if (!session_.Model().local.IsFile(action.local)) return;
    } else if (files > 40 && random_.Percent(50)) {
        action.op = Op::LocalDelete;
    } else {
        action.op = Op::LocalWrite;
        action.bytesSeed = random_.Next();
        const std::uint32_t roll = random_.Below(100);
        action.size = roll < 5    ? 0
                      : roll < 45 ? random_.Below(64)
                      : roll < 85 ? random_.Below(4096)
                      : roll < 99 ? random_.Below(65536)
                                  : 256 * 1024 + random_.Below(300 * 1024);
    }
    Do(action);
}

// A local folder uploaded: its folder made in the store, then its files.
void Host::UploadTree() {
    std::vector<Path> folders;
    const Tree& local = session_.Model().local;
    for (const Node* node : local.Listing({})) {
        if (node->folder) folders.push_back({node->name});
    }
    if (folders.empty()) return;
    const Path source = folders[random_.Below(static_cast<std::uint32_t>(folders.size()))];
    HostPath target = NewEntryIn(SomeFolder(2));
    if (!Call(Op::MkDir, target)) return;
    std::vector<std::pair<Path, HostPath>> pending{{source, target}};
    while (!pending.empty() && !stopped_) {
        const auto [from, to] = pending.back();
        pending.pop_back();
        // Names first: an upload that is a move deletes what it took.
        std::vector<std::pair<Name, bool>> entries;
        for (const Node* node : session_.Model().local.Listing(from)) entries.push_back({node->name, node->folder});
        for (const auto& [name, folder] : entries) {
            HostPath into = to;
            into.parts.push_back(ToHost(name));
            if (folder) {
                if (!Call(Op::MkDir, into)) return;
                pending.push_back({Below(from, name), into});
                continue;
            }
            Action action;
            action.op = Op::PutFile;
            action.local = Below(from, name);
            action.path = into;
            action.flags = DrawCopyFlags(true, into);
            Transfer(action);
            if (stopped_) return;
        }
    }
}

// ---- Choices

std::vector<Path> Host::Entries(int level, int kind) const {
    std::vector<Path> found;
    std::vector<std::pair<Path, const Node*>> pending{{Path{}, &session_.Model().store.Root()}};
    while (!pending.empty()) {
        const auto [path, node] = pending.back();
        pending.pop_back();
        for (const Node& child : node->children) {
            if (path.empty() && child.name == kSettleAccount) continue;
            const Path childPath = Below(path, child.name);
            const int childLevel = std::min<int>(static_cast<int>(childPath.size()), 3);
            if (childLevel == level && (kind == 0 || (kind == 1) == child.folder)) found.push_back(childPath);
            if (child.folder) pending.push_back({childPath, &child});
        }
    }
    return found;
}

bool Host::PickEntry(int level, int kind, Path* path) {
    const std::vector<Path> found = Entries(level, kind);
    if (found.empty()) return false;
    *path = found[random_.Below(static_cast<std::uint32_t>(found.size()))];
    return true;
}

HostPath Host::Spoken(const Path& path) {
    Path spoken = path;
    for (Name& name : spoken) {
        if (random_.Percent(8)) name = Recased(random_, name);
    }
    return ToHostPath(spoken);
}

Name Host::NewName(int level) {
    const std::uint32_t roll = random_.Below(100);
    if (roll < 4) return LongName(random_);
    if (roll < 6) return random_.Pick(kRefusedNames);
    const Name name = level == 1 ? random_.Pick(kAccountNames)
                      : level == 2 ? random_.Pick(kBucketNames)
                                   : random_.Pick(kEntryNames);
    return roll < 20 ? name + std::to_wstring(random_.Below(3)) : name;
}

// A folder to list or to put something in: mostly one that exists, at any
// depth; sometimes one that does not.
HostPath Host::SomeFolder(int level) {
    Path path;
    const std::uint32_t roll = random_.Below(100);
    if (roll < 8 && level == 0) return HostPath{};
    const int at = std::max(level, 1 + static_cast<int>(random_.Below(3)));
    if (roll < 90 && PickEntry(at, 1, &path)) return Spoken(path);
    HostPath missing;
    missing.parts.push_back(ToHost(NewName(1)));
    for (int depth = 2; depth <= 4 && random_.Percent(60); ++depth) {
        missing.parts.push_back(ToHost(NewName(depth)));
    }
    return missing;
}

HostPath Host::NewEntryIn(const HostPath& folder) {
    HostPath path = folder;
    path.trailing = false;
    path.parts.push_back(ToHost(NewName(std::min(folder.Level() + 1, 3))));
    return path;
}

Path Host::LocalFile(bool existing) {
    // In a folder that is not there (the user deleted it meanwhile).
    if (random_.Percent(2)) return {L"gone", random_.Pick(kLocalNames)};
    const std::vector<const Node*> top = session_.Model().local.Listing({});
    if (existing && random_.Percent(85)) {
        std::vector<Name> files;
        for (const Node* node : top) {
            if (!node->folder) files.push_back(node->name);
        }
        if (!files.empty()) {
            const Name& name = files[random_.Below(static_cast<std::uint32_t>(files.size()))];
            return {random_.Percent(10) ? Recased(random_, name) : name};
        }
    }
    if (random_.Percent(10)) {
        for (const Node* node : session_.Model().local.Listing({})) {
            if (!node->folder || random_.Percent(50)) continue;
            const std::vector<const Node*> inside = session_.Model().local.Listing({node->name});
            if (!inside.empty()) return {node->name, inside[random_.Below(static_cast<std::uint32_t>(inside.size()))]->name};
        }
    }
    const Name name = random_.Pick(kLocalNames);
    return {random_.Percent(20) ? Recased(random_, name) : name};
}

Abort Host::DrawAbort(bool transfer) {
    const std::uint32_t roll = random_.Below(100);
    if (roll < 3) return Abort::AtFirstReport;
    // A cancel once the engine has the transfer ends the 64-bit edition's
    // helper, and with it every listing the host is reading.
    if (roll < 5 && transfer && restartsAllowed_ && reading_ == 0) return Abort::AtRelay;
    return Abort::Never;
}

int Host::DrawCopyFlags(bool upload, const HostPath& target) {
    int flags = 0;
    if (random_.Percent(15)) flags |= FS_COPYFLAGS_OVERWRITE;
    if (random_.Percent(8)) flags |= FS_COPYFLAGS_MOVE;
    if (random_.Percent(2)) flags |= FS_COPYFLAGS_RESUME;
    // Total Commander's hints, for a target it has seen in its own listing.
    if (upload && target.Level() == 3 && random_.Percent(20) && session_.Model().store.Exists(target.StorePath()) &&
        target.Key().size() <= kRemoteTextLimit) {
        flags |= random_.Percent(50) ? FS_COPYFLAGS_EXISTS_SAMECASE : FS_COPYFLAGS_EXISTS_DIFFERENTCASE;
    }
    return flags;
}

// ---- The second client and the engine's faults

ClientChange Host::DrawClientChange(const HostPath& path) {
    ClientChange change;
    // The second client's names are ones the disk takes as they are.
    for (const Name& name : path.StorePath()) {
        if (!IsValidName(name) || !FitsDisk(name)) return change;
    }
    change.path = path;
    const bool there = session_.Model().store.IsFile(path.StorePath());
    if (there && random_.Percent(40)) {
        change.kind = StoreChange::Kind::Delete;
        return change;
    }
    change.kind = StoreChange::Kind::Write;
    change.bytesSeed = random_.Next();
    change.size = random_.Percent(90) ? random_.Below(4096) : random_.Below(65536);
    return change;
}

void Host::ClientChanges() {
    Path folder;
    if (!PickEntry(random_.Percent(40) ? 2 : 3, 1, &folder)) return;
    Path object;
    const std::vector<const Node*> inside = session_.Model().store.Listing(folder);
    if (!inside.empty() && random_.Percent(50)) {
        object = Below(folder, random_.Pick(inside)->name);  // an object that is there (or a folder: refused)
    } else {
        object = Below(folder, random_.Pick(kEntryNames));
    }
    // The race the plugin cannot close: the host has just listed the folder,
    // the second client makes an object there, and the user uploads a file
    // of that name, which the plugin answers from the listing it knows.
    // Now and then the user comes back to the folder only once the plugin's
    // knowledge of it has lapsed: then the look must see the object.
    const bool race = random_.Percent(30);
    if (race) ListLikeTotalCommander(Spoken(folder));
    Action action;
    action.op = Op::ClientChange;
    action.client = DrawClientChange(ToHostPath(object));
    if (race && random_.Percent(10)) action.client.waitMs = static_cast<DWORD>(kFolderKnownForMs) + 500;
    if (!Do(action) || !race || action.client.kind != StoreChange::Kind::Write) return;
    Action upload;
    upload.op = Op::PutFile;
    upload.local = LocalFile(true);
    upload.path = Spoken(object);
    Transfer(upload);
}

FaultSpec Host::DrawListingFault(int level, const HostPath& folder, bool look) {
    FaultSpec fault;
    fault.operation = StoreModel::FirstOf(level);
    fault.occurrence = look && random_.Percent(30) ? 2 : 1;
    const Tree& store = session_.Model().store;
    const std::size_t entries = store.Listing(folder.StorePath()).size();
    const bool ends = kBridged && restartsAllowed_ && random_.Percent(20);
    fault.kind = ends ? faults::kEnd : faults::kFail;
    if (ends && random_.Percent(25) && DrawStallAnswer(true, &stall_)) {
        fault.kind = faults::kStall;  // the user's answer in stall_, for the caller
        return fault;
    }
    // Part-way through: the Next that would deliver an entry after `detail`.
    if (entries > 0 && random_.Percent(50)) {
        fault.detail = 1 + static_cast<int>(random_.Below(static_cast<std::uint32_t>(std::min<std::size_t>(entries, 4))));
    }
    return fault;
}

bool Host::DrawStallAnswer(bool watched, StallAnswer* answer) {
    if (stalls_ >= StallsAllowed()) return false;
    // The first stall of a run is ended through the question, as in a host
    // whose progress callback never aborts (Double Commander listing on its
    // main thread).
    const bool question = questions_ < QuestionsAllowed() && (!watched || questions_ == 0 || random_.Percent(40));
    if (!question && !watched) return false;
    ++stalls_;
    *answer = !question ? StallAnswer::Cancel : random_.Percent(90) ? StallAnswer::Yes : StallAnswer::NoThenYes;
    questions_ += question;
    return true;
}

void Host::EndOrStall(Action& action, bool watched) {
    action.fault.kind = faults::kEnd;
    if (random_.Percent(25) && DrawStallAnswer(watched, &action.stall)) action.fault.kind = faults::kStall;
}

void Host::DrawInside(Action& outer, int at) {
    const Path object = outer.path.StorePath();
    // Off what the outer transfer is writing: its object, and for an upload
    // its bucket, where the object and the folders along its key come into
    // being.
    const auto clear = [&](const Path& path) {
        if (outer.op == Op::PutFile && object.size() >= 2 && path.size() >= 2) {
            return !SamePath(Path(path.begin(), path.begin() + 2), Path(object.begin(), object.begin() + 2));
        }
        return !SamePath(path, object);
    };
    Action inside;
    Path entry;
    switch (random_.Below(4)) {
    case 0:
        inside.op = Op::List;
        inside.path = SomeFolder();
        break;
    case 1:
        inside.op = Op::GetFile;
        if (!PickEntry(3, 2, &entry)) return;
        inside.path = Spoken(entry);
        // Now and then the outer transfer's own local file: refused.
        inside.local = random_.Percent(5) ? outer.local : LocalFile(false);
        inside.flags = DrawCopyFlags(false, inside.path);
        break;
    case 2:
        inside.op = Op::PutFile;
        inside.local = random_.Percent(5) ? outer.local : LocalFile(true);
        inside.path = NewEntryIn(SomeFolder(2));
        inside.flags = DrawCopyFlags(true, inside.path);
        break;
    default:
        inside.op = Op::DeleteFile;
        if (!PickEntry(3, 2, &entry)) return;
        inside.path = Spoken(entry);
        break;
    }
    if (!clear(inside.path.StorePath())) return;
    if (at != 0) {
        if (inside.op == Op::GetFile || inside.op == Op::PutFile) {
            const std::uint32_t roll = random_.Below(100);
            inside.abort = roll < 5 ? Abort::AtFirstReport : roll < 15 ? Abort::AtRelay : Abort::Never;
        }
        if (faultsOn_) DrawFault(inside, 50);
    }
    outer.inside = {inside};
    outer.insideAt = at;
    outer.insideOnOtherThread = random_.Percent(30);
}

void Host::DrawFault(Action& action, std::uint32_t percent) {
    if (action.op == Op::FindNext || action.op == Op::FindClose) return;
    // A local file that the disk lets the engine write although it is
    // read-only could not be deleted again after a stop part-way (Wine run
    // as root): no cancel part-way, as no fault part-way below.
    const Node* target = session_.Model().local.Find(action.local);
    const bool stoppable = action.op == Op::PutFile || target == nullptr || !target->readOnly || g_readOnlyHolds;
    if (kBridged && action.op == Op::GetFile && action.abort == Abort::AtRelay && !stoppable) {
        action.abort = Abort::Never;
    }
    // Another process holds the local file open now and then.
    if ((action.op == Op::GetFile || action.op == Op::PutFile) && random_.Percent(3) &&
        session_.Model().local.IsFile(action.local)) {
        action.lock = random_.Percent(50) ? Lock::Exclusive : Lock::SharedRead;
    }
    if (!random_.Percent(percent) || action.abort != Abort::Never) return;
    const bool mayEnd = kBridged && restartsAllowed_;
    const int level = action.path.Level();
    FaultSpec& fault = action.fault;
    const std::uint32_t roll = random_.Below(100);
    // What a change's own call meets: a failure, a refusal, a pause in which
    // the second client changes `pausePath`, or the engine's end.
    const bool watched = action.op == Op::RenMov || action.op == Op::GetFile || action.op == Op::PutFile;
    const auto change = [&](int op, const HostPath* pausePath) {
        fault.operation = op;
        fault.kind = roll < 65 && roll >= 35 ? faults::kRefuse : faults::kFail;
        if (roll >= 65 && roll < 85 && pausePath != nullptr) {
            action.client = DrawClientChange(*pausePath);
            if (action.client.kind != StoreChange::Kind::None) fault.kind = faults::kPause;
        } else if (roll >= 85 && mayEnd) {
            EndOrStall(action, watched);
        }
    };
    switch (action.op) {
    case Op::FindFirst: {
        fault = DrawListingFault(level, action.path, false);
        if (fault.kind == faults::kStall) action.stall = stall_;
        if (roll < 20 && level >= 2) {
            action.client = DrawClientChange(NewEntryIn(action.path));
            if (action.client.kind == StoreChange::Kind::None) return;
            fault.kind = faults::kPause;
            fault.detail = 0;
        }
        return;
    }
    case Op::MkDir: {
        const HostPath itself = action.path;
        return change(StoreModel::CreateOf(level), level == 3 ? &itself : nullptr);
    }
    case Op::RemoveDir: {
        const HostPath inside = NewEntryIn(action.path);
        return change(level == 1 ? faults::kDeleteAccount : level == 2 ? faults::kDeleteBucket : faults::kDeleteObject,
                      level == 3 ? &inside : nullptr);
    }
    case Op::DeleteFile: return change(faults::kDeleteObject, level == 3 ? &action.path : nullptr);
    case Op::RenMov: {
        if (!action.overWrite && random_.Percent(30) && level >= 1) {
            HostPath folder = action.target;
            folder.parts.pop_back();
            fault = DrawListingFault(std::min(level - 1, 2), folder, true);
            if (fault.kind == faults::kStall) action.stall = stall_;
            return;
        }
        const int op = level == 1 ? faults::kRenameAccount : level == 2 ? faults::kCopyBucket
                       : action.folder ? faults::kCopyFolder : faults::kCopyObject;
        return change(op, level == 3 ? (random_.Percent(70) ? &action.target : &action.path) : nullptr);
    }
    case Op::Open:
        return change(level == 1 ? faults::kCreateAccount : faults::kCreateBucket, nullptr);
    case Op::GetFile: {
        if ((action.flags & FS_COPYFLAGS_MOVE) && random_.Percent(30)) return change(faults::kDeleteObject, &action.path);
        fault.operation = faults::kDownloadObject;
        break;
    }
    case Op::PutFile: {
        if (!(action.flags & (FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_EXISTS_DIFFERENTCASE)) &&
            random_.Percent(25)) {
            HostPath folder = action.path;
            folder.parts.pop_back();
            fault = DrawListingFault(std::min<int>(static_cast<int>(folder.parts.size()), 2), folder, true);
            if (fault.kind == faults::kStall) action.stall = stall_;
            return;
        }
        fault.operation = faults::kUploadObject;
        break;
    }
    default: return;
    }
    // A transfer's own call: it fails to start, stops part-way, waits while
    // the second client changes its object, or ends the engine.
    const int chunks = static_cast<int>(random_.Below(3));
    if (roll < 25) {
        fault.kind = faults::kFail;
    } else if (roll < 50 && stoppable && (!kBridged || mayEnd)) {
        fault.kind = faults::kFailPartWay;
        fault.detail = chunks;
    } else if (roll < 70 && (action.client = DrawClientChange(action.path)).kind != StoreChange::Kind::None) {
        fault.kind = faults::kPause;
    } else if (roll < 85 && mayEnd) {
        EndOrStall(action, true);
    } else if (mayEnd && stoppable) {
        fault.kind = faults::kEndPartWay;
        fault.detail = chunks;
    } else {
        fault.kind = faults::kFail;
    }
}

void Host::Settle() {
    const std::uint64_t steps = steps_;
    onWorker_ = false;
    faultsOn_ = false;
    stopped_ = false;
    steps_ = ~std::uint64_t{0};
    for (int listing : session_.Unclosed()) {
        Action close;
        close.op = Op::FindClose;
        close.listing = listing;
        Do(close);
    }
    const HostPath settle = ToHostPath({kSettleAccount});
    for (int round = 0; round < kSettleListings; ++round) {
        Action action;
        action.op = Op::FindFirst;
        action.path = settle;
        action.listing = ++listingIds_;
        Do(action);
        action.op = Op::FindClose;
        Do(action);
    }
    ListLikeTotalCommander(settle);
    // A question the plugin answers from what that listing showed it, so
    // that it holds those names in the same form both times.
    Action question;
    question.op = Op::RenMov;
    question.path = ToHostPath({kSettleAccount, L"s1"});
    question.target = ToHostPath({kSettleAccount, L"s2"});
    question.move = question.folder = true;
    Do(question);
    steps_ = steps;
    faultsOn_ = true;
    stopped_ = !session_.Finding().empty() || session_.Counts().calls >= steps_;
}

// ---- Shortening a failing run

// What a finding says without the names in it ("result 0, expected 1"):
// a shorter sequence must find the same fault, not just any.
std::string KindOf(const std::string& finding) {
    return finding.substr(0, finding.find_first_of("\"\n"));
}

// Whether `actions`, from an empty store, end in a finding of `kind` at
// their last action.
bool Fails(Session& session, const std::vector<Action>& actions, const std::string& kind) {
    session.Reset();
    for (std::size_t at = 0; at < actions.size(); ++at) {
        if (!session.Run(actions[at])) return at + 1 == actions.size() && KindOf(session.Finding()) == kind;
    }
    return false;
}

// The failing run's last actions, fewer and fewer (delta debugging), as
// long as they still find the same kind of fault at their end.
std::vector<Action> Shorten(Session& session, const std::deque<Action>& history, const std::string& kind,
                            int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::vector<Action> failing;
    for (std::size_t window = 16;; window *= 4) {
        const std::size_t take = std::min(window, history.size());
        std::vector<Action> tail(history.end() - static_cast<std::ptrdiff_t>(take), history.end());
        if (Fails(session, tail, kind)) {
            failing = tail;
            break;
        }
        if (take == history.size() || std::chrono::steady_clock::now() > deadline) return {};
    }
    // Whole kinds of what led there first, cheap to try and often not
    // needed: the engine's faults and the locks before the last action, then
    // every action of one kind, first everywhere, then but for the last few
    // actions (what a finding needs is mostly near its end, and the store
    // it needs is made by actions of few kinds).
    const auto keepIf = [&](std::vector<Action> candidate) {
        if (candidate.size() <= failing.size() && Fails(session, candidate, kind)) failing = std::move(candidate);
    };
    std::vector<Action> plain = failing;
    for (std::size_t at = 0; at + 1 < plain.size(); ++at) {
        plain[at].fault = FaultSpec();
        plain[at].lock = Lock::None;
    }
    keepIf(plain);
    constexpr std::size_t kNearTheEnd = 16;
    for (std::size_t spared : {std::size_t{1}, kNearTheEnd}) {
        for (int op = 0; op <= static_cast<int>(Op::ClientChange) && std::chrono::steady_clock::now() < deadline;
             ++op) {
            std::vector<Action> candidate;
            for (std::size_t at = 0; at < failing.size(); ++at) {
                if (at + spared >= failing.size() || failing[at].op != static_cast<Op>(op)) {
                    candidate.push_back(failing[at]);
                }
            }
            if (candidate.size() < failing.size()) keepIf(std::move(candidate));
        }
    }
    std::size_t chunks = 2;
    while (failing.size() >= 2 && std::chrono::steady_clock::now() < deadline) {
        const std::size_t chunk = (failing.size() + chunks - 1) / chunks;
        bool reduced = false;
        for (std::size_t start = 0; start < failing.size() - 1 && !reduced; start += chunk) {
            // The failing action itself stays last.
            std::vector<Action> candidate(failing.begin(), failing.begin() + static_cast<std::ptrdiff_t>(start));
            const std::size_t end = std::min(start + chunk, failing.size() - 1);
            candidate.insert(candidate.end(), failing.begin() + static_cast<std::ptrdiff_t>(end), failing.end());
            if (candidate.size() < failing.size() && Fails(session, candidate, kind)) {
                failing = candidate;
                chunks = std::max<std::size_t>(chunks - 1, 2);
                reduced = true;
            }
        }
        if (!reduced) {
            if (chunk == 1) break;
            chunks = std::min(chunks * 2, failing.size());
        }
    }
    return failing;
}

// ---- What is left over at the end

struct Holdings {
    DWORD handles = 0;
    LiveAllocations plugin, engine;  // the module's; the in-process engine's
    DWORD helper = 0;                // the 64-bit edition's helper process
    Usage helperUsage;
};

Holdings Measure() {
    Holdings holdings;
    holdings.handles = HandlesOf(GetCurrentProcessId());
    holdings.plugin = ModuleAllocations::Of(GetModuleHandleA(kPluginModule));
    holdings.engine = ModuleAllocations::Of(GetModuleHandleA("corvanel_engine.dll"));
    const std::vector<DWORD> helpers = HelpersOf(GetCurrentProcessId());
    if (helpers.size() == 1) {
        holdings.helper = helpers.front();
        if (HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, holdings.helper)) {
            holdings.helperUsage = UsageOf(process);
            CloseHandle(process);
        }
    }
    return holdings;
}

void Print(const char* when, const Holdings& holdings) {
    std::printf("  %s: %lu handles; module %ld blocks (%lld bytes), %ld BSTRs", when, holdings.handles,
                holdings.plugin.blocks, holdings.plugin.bytes, holdings.plugin.bstrs);
    if (!kBridged) {
        std::printf("; engine %ld blocks (%lld bytes), %ld BSTRs", holdings.engine.blocks, holdings.engine.bytes,
                    holdings.engine.bstrs);
    } else {
        std::printf("; helper %lu: %lu handles, %llu KiB committed", holdings.helper,
                    holdings.helperUsage.handles,
                    static_cast<unsigned long long>(holdings.helperUsage.commit / 1024));
    }
    std::printf("\n");
}

// What the run left over: nothing beyond what the same settled state held
// halfway, while the engine failed, ended and was replaced in the third
// quarter (the 64-bit edition's helper: over the last quarter, which one
// helper served). Wine's handle count moves by a handle or two on its own. The
// plugin and the engine keep a few texts between calls (the folder the
// plugin knows, the last transfer's names, the account last named), whose
// strings keep the room a longer text once needed: a few blocks either way.
// The helper's memory is counted in pages committed: its heap keeps what the
// engine once held for the up to 256 listings a host gave up, whose entries
// reach a higher mark now and then as folders grow (the 32-bit edition
// counts the blocks of the same plugin and engine exactly).
std::string LeftOver(const Holdings& before, const Holdings& lastQuarter, const Holdings& after) {
    constexpr long kKeptTexts = 8;
    constexpr long long kKeptBytes = 16 * 1024;
    constexpr SIZE_T kHelperHeapRoom = 2 << 20;
    std::string found;
    const auto check = [&](bool holds, const char* what) {
        if (!holds) found += std::string(found.empty() ? "" : "; ") + what;
    };
    const auto within = [&](const LiveAllocations& was, const LiveAllocations& is) {
        return is.blocks <= was.blocks + kKeptTexts && is.bytes <= was.bytes + kKeptBytes && is.bstrs <= was.bstrs;
    };
    check(after.handles <= before.handles + 2, "the host process holds more handles");
    check(within(before.plugin, after.plugin), "the module holds more memory blocks or BSTRs");
    check(within(before.engine, after.engine),
          "the engine holds more memory blocks or BSTRs: listing entries left alive");
    // The helper: the one that served the last quarter, where nothing ended it.
    if (kBridged && lastQuarter.helper != 0 && after.helper == lastQuarter.helper) {
        check(after.helperUsage.handles <= lastQuarter.helperUsage.handles + 2, "the helper holds more handles");
        check(after.helperUsage.commit <= lastQuarter.helperUsage.commit + kHelperHeapRoom,
              "the helper's memory grew");
    } else if (kBridged) {
        check(false, "no one helper served the last quarter");
    }
    return found;
}

// ---- The run

bool ParseOptions(int argc, char** argv, Options* options) {
    options->seed = static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    for (int at = 1; at < argc; ++at) {
        const std::string option = argv[at];
        if (at + 1 >= argc) return false;
        const char* value = argv[++at];
        if (option == "--seed") options->seed = std::strtoull(value, nullptr, 0);
        else if (option == "--steps") options->steps = std::strtoull(value, nullptr, 0);
        else if (option == "--nested") options->nested = std::strcmp(value, "on") == 0;
        else if (option == "--shrink-seconds") options->shrinkSeconds = std::atoi(value);
        else return false;
    }
    return true;
}

std::wstring MakeFolders(Folders* folders) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring root = std::wstring(temp) + L"corvanel-store-fuzz-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount());
    RemoveFolderTree(root);  // left by a run that was stopped
    folders->store = root + L"\\store";
    folders->local = root + L"\\local";
    CreateDirectoryW(root.c_str(), nullptr);
    CreateDirectoryW(folders->store.c_str(), nullptr);
    CreateDirectoryW(folders->local.c_str(), nullptr);
    return root;
}

int Fuzz(const Options& options) {
    std::printf("store fuzz: seed %llu, %llu steps, %s, calls inside calls %s\n",
                static_cast<unsigned long long>(options.seed), static_cast<unsigned long long>(options.steps),
                kPluginModule, options.nested ? "on" : "off");
    std::fflush(stdout);
    SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));  // code page 1252
    Folders folders;
    const std::wstring root = MakeFolders(&folders);
    SetEnvironmentVariableW(L"CORVANEL_STORE", folders.store.c_str());
    SetEnvironmentVariableW(L"CORVANEL_THROTTLE_MS", nullptr);
    ProbeReadOnly(folders.local);
    // Before FsInit: the engine, in process or in the helper, finds its plan
    // through the environment.
    FaultControl faults;
    SecondClient client(BuiltFilePath("store_client.exe"));
    if (!faults.Ready() || !client.Running()) {
        std::printf("cannot set up the engine's faults or start the second client\n");
        return 1;
    }
    WfxModule module;
    std::string error;
    if (!module.Load(BuiltFilePath(kPluginModule), &error)) {
        std::printf("cannot load %s: %s\n", kPluginModule, error.c_str());
        return 1;
    }
    const HWND window = CreateWindowExA(0, "STATIC", "host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    if (module.Fs().FsInit(7, &SessionProgress, nullptr, &SessionRequest) != 0) {
        std::printf("FsInit failed: is the reference engine registered in this prefix?\n");
        return 1;
    }
    ModuleAllocations::Watch(GetModuleHandleA(kPluginModule));
    if (HMODULE engine = GetModuleHandleA("corvanel_engine.dll")) ModuleAllocations::Watch(engine);

    Random random(options.seed);
    Session session(module.Fs(), kBridged, folders, window, faults, client);
    Host host(session, random, options);
    Holdings before, lastQuarter, after;
    const auto start = std::chrono::steady_clock::now();
    host.Run(
        options.steps,
        [&] {
            host.Settle();
            before = Measure();
        },
        [&] {
            host.Settle();
            lastQuarter = Measure();
        });
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int status = 0;
    if (session.Finding().empty()) {
        if (session.VerifyAll()) {
            host.Settle();
            after = Measure();
        }
    }
    const SessionCounts counts = session.Counts();
    std::printf("  %llu steps (export calls) in %llu host actions, %.1f s: %llu changes, %llu bytes moved,"
                " %llu cancels; the store holds %zu entries\n",
                static_cast<unsigned long long>(counts.calls), static_cast<unsigned long long>(host.Actions()),
                seconds, static_cast<unsigned long long>(counts.changes),
                static_cast<unsigned long long>(counts.bytesMoved), static_cast<unsigned long long>(counts.aborts),
                session.Model().store.Count());
    std::printf("  calls from inside a transfer's progress: %llu (%llu on another thread), %llu of them ended"
                " or stalled the helper under the transfer; %llu from inside the question, refused\n",
                static_cast<unsigned long long>(counts.insideCalls),
                static_cast<unsigned long long>(counts.insideOtherThread),
                static_cast<unsigned long long>(counts.insideEnds),
                static_cast<unsigned long long>(counts.insideRefused));
    std::printf("  engine faults: %llu failed, %llu refused, %llu stopped part-way, %llu ended, %llu ended"
                " part-way, %llu stalled (%llu questions whether to stop it), %llu paused for the second client;"
                " %llu engine processes ended in all\n",
                static_cast<unsigned long long>(counts.faults[faults::kFail]),
                static_cast<unsigned long long>(counts.faults[faults::kRefuse]),
                static_cast<unsigned long long>(counts.faults[faults::kFailPartWay]),
                static_cast<unsigned long long>(counts.faults[faults::kEnd]),
                static_cast<unsigned long long>(counts.faults[faults::kEndPartWay]),
                static_cast<unsigned long long>(counts.faults[faults::kStall]),
                static_cast<unsigned long long>(counts.questions),
                static_cast<unsigned long long>(counts.interludes),
                static_cast<unsigned long long>(counts.engineEnds));
    std::printf("  second client: %llu changes between calls (%llu once the plugin's knowledge lapsed), %llu in"
                " paused calls, %llu raced uploads or copies;"
                " local files: %llu locked, %llu read-only, %llu in a folder that is gone\n",
                static_cast<unsigned long long>(counts.clientChanges), static_cast<unsigned long long>(counts.late),
                static_cast<unsigned long long>(counts.interludes),
                static_cast<unsigned long long>(counts.raced),
                static_cast<unsigned long long>(counts.lockedFiles),
                static_cast<unsigned long long>(counts.readOnlyFiles),
                static_cast<unsigned long long>(counts.goneFolders));
    static const char* const kExports[] = {"FsFindFirst", "FsFindNext", "FsFindClose", "FsMkDir", "FsRemoveDir",
                                           "FsDeleteFile", "FsRenMovFile", "FsGetFile", "FsPutFile",
                                           "FsExecuteFile", "whole listing"};
    for (int op = 0; op < static_cast<int>(Op::LocalWrite); ++op) {
        std::uint64_t calls = 0;
        for (std::uint64_t count : counts.results[op]) calls += count;
        if (calls == 0) continue;
        std::printf("  %-14s", kExports[op]);
        for (int result = 0; result < 8; ++result) {
            if (counts.results[op][result] != 0) {
                std::printf(" %d:%llu", result == 7 ? -1 : result,
                            static_cast<unsigned long long>(counts.results[op][result]));
            }
        }
        std::printf("\n");
    }
    if (!session.Finding().empty()) {
        status = 1;
        const std::deque<Action>& history = host.History();
        std::printf("FINDING at step %llu (host action %llu) of seed %llu:\n  %s\n  in %s\n",
                    static_cast<unsigned long long>(counts.calls), static_cast<unsigned long long>(host.Actions()),
                    static_cast<unsigned long long>(options.seed), session.Finding().c_str(),
                    history.back().Describe().c_str());
        // The run's own length: where its quarters begin decides its faults.
        std::printf("replay: --seed %llu --steps %llu%s\n", static_cast<unsigned long long>(options.seed),
                    static_cast<unsigned long long>(options.steps), options.nested ? " --nested on" : "");
        std::fflush(stdout);
        const std::string kind = KindOf(session.Finding());
        const std::vector<Action> shortest = Shorten(session, history, kind, options.shrinkSeconds);
        if (shortest.empty()) {
            std::printf("the failure did not come back from an empty store with the run's last actions\n");
        } else {
            std::printf("a shortened sequence from an empty store that still finds it (%zu actions):\n",
                        shortest.size());
            for (const Action& action : shortest) std::printf("  %s\n", action.Describe().c_str());
            Fails(session, shortest, kind);
            std::printf("  -> %s\n", session.Finding().c_str());
        }
    } else {
        Print("halfway, settled", before);
        Print("at three quarters, settled", lastQuarter);
        Print("at the end, settled", after);
        const std::string leftOver = LeftOver(before, lastQuarter, after);
        if (!leftOver.empty()) {
            status = 1;
            std::printf("FINDING: %s\n", leftOver.c_str());
        } else {
            std::printf("no finding\n");
        }
    }
    std::fflush(stdout);
    RemoveFolderTree(root);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--seed S] [--steps N] [--nested on|off] [--shrink-seconds T]\n", argv[0]);
        return 2;
    }
    NoteBegun();
    const int status = Fuzz(options);
    NoteResult(status);
    return status;
}
