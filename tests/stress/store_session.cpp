#include "tests/stress/store_session.h"

#include <algorithm>
#include <cstring>

#include "tests/stress/random.h"
#include "tests/support/process_usage.h"

namespace {

// Every so many changes both whole trees are compared with the model.
constexpr std::uint64_t kChangesPerFullCheck = 1000;
constexpr std::size_t kChunkBytes = 256 * 1024;  // the reference engine's transfer chunk

Session* g_session = nullptr;  // the host's callbacks carry no context

std::string Utf8(const Name& name) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), nullptr,
                                          0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()), &text[0], bytes,
                            nullptr, nullptr);
    }
    return text;
}

// A host text for a report: long runs of one character shortened.
std::string Readable(const std::string& hostText) {
    std::string text;
    const Name wide = FromHost(hostText);
    for (std::size_t at = 0; at < wide.size();) {
        std::size_t run = 1;
        while (at + run < wide.size() && wide[at + run] == wide[at]) ++run;
        text += Utf8(wide.substr(at, 1));
        if (run > 4) {
            text += "{x" + std::to_string(run) + "}";
        } else {
            text += Utf8(wide.substr(at + 1, run - 1));
        }
        at += run;
    }
    return text;
}

std::string Quoted(const HostPath& path) { return "\"" + Readable(path.Text()) + "\""; }

std::string Quoted(const Path& local) {
    std::string text = "local";
    for (const Name& name : local) text += "\\" + Readable(ToHost(name));
    return "\"" + text + "\"";
}

const char* AbortText(Abort abort) {
    switch (abort) {
    case Abort::Never: return "";
    case Abort::AtFirstReport: return ", the host cancels at the first report";
    case Abort::AtRelay: return ", the host cancels at the first relayed report";
    case Abort::AtRelayWhole: return ", the host cancels at the first relayed report, of 100 percent";
    }
    return "";
}

std::string FlagsText(int flags) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", flags);
    return text;
}

std::wstring Joined(const std::wstring& root, const Path& path) {
    std::wstring full = root;
    for (const Name& name : path) full += L"\\" + name;
    return full;
}

struct DiskEntry {
    Name name;
    bool folder;
    std::uint64_t size;
};

// A folder on disk in the engine's listing order; false when it cannot be listed.
bool DiskListing(const std::wstring& folder, std::vector<DiskEntry>* entries) {
    entries->clear();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0) continue;
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries->push_back({found.cFileName, isFolder,
                            isFolder ? 0 : (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::stable_sort(entries->begin(), entries->end(), [](const DiskEntry& a, const DiskEntry& b) {
        return _wcsicmp(a.name.c_str(), b.name.c_str()) < 0;
    });
    return true;
}

bool ReadWhole(const std::wstring& file, std::string* bytes) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    char buffer[65536];
    DWORD read = 0;
    bool ok = true;
    while ((ok = ReadFile(handle, buffer, sizeof(buffer), &read, nullptr) != 0) && read > 0) {
        bytes->append(buffer, read);
    }
    CloseHandle(handle);
    return ok;
}

bool WriteWhole(const std::wstring& file, const std::string& bytes) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = bytes.empty() ||
                    (WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                     written == bytes.size());
    CloseHandle(handle);
    return ok;
}

void RemoveContents(const std::wstring& folder) {
    std::vector<DiskEntry> entries;
    if (!DiskListing(folder, &entries)) return;
    for (const DiskEntry& entry : entries) {
        const std::wstring path = folder + L"\\" + entry.name;
        if (entry.folder) {
            RemoveContents(path);
            RemoveDirectoryW(path.c_str());
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);  // read-only ones too
            DeleteFileW(path.c_str());
        }
    }
}

}  // namespace

int __stdcall SessionProgress(int, char*, char*, int percent) {
    return g_session != nullptr ? g_session->OnProgress(percent) : 0;
}

BOOL __stdcall SessionRequest(int, int, char*, char*, char*, int) {
    return g_session != nullptr ? g_session->OnRequest() : FALSE;
}

std::string BytesOf(std::uint64_t seed, std::uint32_t size) {
    Random random(seed);
    std::string bytes(size, '\0');
    for (std::uint32_t at = 0; at < size; at += 8) {
        const std::uint64_t value = random.Next();
        std::memcpy(&bytes[at], &value, std::min<std::uint32_t>(8, size - at));
    }
    return bytes;
}

namespace {

const char* const kOperationNames[faults::kOperations] = {
    "FirstAccount", "NextAccount", "FirstBucket", "NextBucket", "FirstObject", "NextObject", "CreateAccount",
    "RenameAccount", "DeleteAccount", "CreateBucket", "CopyBucket", "DeleteBucket", "DownloadObject",
    "UploadObject", "DeleteObject", "CopyObject", "CreateFolder", "CopyFolder", "ShowRootProperties",
    "ShowAccountProperties"};

std::string ChangeText(const ClientChange& change) {
    const std::string after = change.waitMs == 0 ? std::string() : std::to_string(change.waitMs) + " ms later ";
    if (change.kind == StoreChange::Kind::Delete) return after + "deletes " + Quoted(change.path);
    return after + "writes " + Quoted(change.path) + " (" + std::to_string(change.size) + " bytes of seed " +
           std::to_string(change.bytesSeed) + ")";
}

std::string FaultText(const Action& action) {
    const FaultSpec& fault = action.fault;
    if (!fault.Planned()) return std::string();
    std::string text = std::string(", the engine's ") + kOperationNames[fault.operation] + " #" +
                       std::to_string(fault.occurrence);
    switch (fault.kind) {
    case faults::kFail: text += fault.detail > 0 ? " fails at its Next #" + std::to_string(fault.detail) : " fails"; break;
    case faults::kRefuse: text += " refuses"; break;
    case faults::kFailPartWay: text += " stops after " + std::to_string(fault.detail) + " chunks"; break;
    case faults::kEnd:
        text += fault.detail > 0 ? " ends the engine at its Next #" + std::to_string(fault.detail)
                                 : " ends the engine";
        break;
    case faults::kEndPartWay: text += " ends the engine after " + std::to_string(fault.detail) + " chunks"; break;
    case faults::kStall:
        text += action.stall == StallAnswer::Cancel ? " stalls, the user cancels"
                : action.stall == StallAnswer::Yes  ? " stalls, the user stops the engine when asked"
                                                    : " stalls, the user waits once, then stops the engine";
        break;
    case faults::kPause: text += " waits while the second client " + ChangeText(action.client); break;
    }
    return text;
}

const char* LockText(Lock lock) {
    switch (lock) {
    case Lock::Exclusive: return ", the local file held open by another process, not shared";
    case Lock::SharedRead: return ", the local file held open by another process, reading shared";
    default: return "";
    }
}

}  // namespace

std::string Action::Describe() const {
    std::string text = Call() + FaultText(*this) + LockText(lock) +
                       (worker && IsExport() && op != Op::Open ? "  (worker thread)" : "");
    if (!inside.empty()) {
        text += "; from inside " + (insideAt == 0 ? std::string("the question") : "report " + std::to_string(insideAt)) +
                (insideOnOtherThread ? ", on another thread: " : ": ") + inside.front().Describe();
    }
    return text;
}

std::string Action::Call() const {
    const std::string id = "listing " + std::to_string(listing);
    switch (op) {
    case Op::FindFirst: return "FsFindFirst(" + Quoted(path) + ")  [" + id + "]";
    case Op::FindNext: return "FsFindNext  [" + id + "]";
    case Op::FindClose: return "FsFindClose  [" + id + "]";
    case Op::MkDir: return "FsMkDir(" + Quoted(path) + ")";
    case Op::RemoveDir: return "FsRemoveDir(" + Quoted(path) + ")";
    case Op::DeleteFile: return "FsDeleteFile(" + Quoted(path) + ")";
    case Op::RenMov:
        return "FsRenMovFile(" + Quoted(path) + ", " + Quoted(target) + ", Move " + (move ? "TRUE" : "FALSE") +
               ", OverWrite " + (overWrite ? "TRUE" : "FALSE") + ", Attr " + (folder ? "0x10" : "0x20") + ")" +
               AbortText(abort);
    case Op::GetFile:
        return "FsGetFile(" + Quoted(path) + ", " + Quoted(local) + ", " + FlagsText(flags) + ")" + AbortText(abort);
    case Op::PutFile:
        return "FsPutFile(" + Quoted(local) + ", " + Quoted(path) + ", " + FlagsText(flags) + ")" + AbortText(abort);
    case Op::Open: return "FsExecuteFile(\"open\", " + Quoted(path) + ")";
    case Op::List: return "the whole listing of " + Quoted(path);
    case Op::LocalWrite:
        return "host writes " + Quoted(local) + " (" + std::to_string(size) + " bytes of seed " +
               std::to_string(bytesSeed) + ")";
    case Op::LocalMkDir: return "host makes the folder " + Quoted(local);
    case Op::LocalDelete: return "host deletes " + Quoted(local);
    case Op::LocalReadOnly: return "host marks " + Quoted(local) + (flags ? " read-only" : " writable");
    case Op::StoreClear: return "the store's keeper removes " + Quoted(path) + " on disk";
    case Op::ClientChange: return "the second client " + ChangeText(client);
    }
    return "?";
}

// A second host thread that makes one call at a time for the first, which
// waits: calls stay in one order, so the model still predicts them.
class Session::Worker {
public:
    Worker()
        : go_(CreateEventW(nullptr, FALSE, FALSE, nullptr)), done_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
          thread_(CreateThread(nullptr, 0, &Main, this, 0, nullptr)) {}
    ~Worker() {
        job_ = nullptr;
        SetEvent(go_);
        WaitForSingleObject(thread_, INFINITE);
        for (HANDLE handle : {thread_, go_, done_}) CloseHandle(handle);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    template <typename Job>
    void Run(Job& job) {
        job_ = &job;
        call_ = [](void* job) { (*static_cast<Job*>(job))(); };
        SetEvent(go_);
        WaitForSingleObject(done_, INFINITE);
    }

private:
    static DWORD WINAPI Main(void* self) {
        Worker& worker = *static_cast<Worker*>(self);
        SetThreadLocale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
        for (;;) {
            WaitForSingleObject(worker.go_, INFINITE);
            if (worker.job_ == nullptr) return 0;
            worker.call_(worker.job_);
            SetEvent(worker.done_);
        }
    }

    HANDLE go_, done_, thread_;
    void* job_ = nullptr;
    void (*call_)(void*) = nullptr;
};

Session::Session(const WfxExports& fs, bool bridged, Folders folders, HWND window, FaultControl& faults,
                 SecondClient& client)
    : fs_(fs), worker_(new Worker), insideWorker_(new Worker), faults_(faults), client_(client),
      bridged_(bridged), model_(bridged), folders_(std::move(folders)), window_(window) {
    g_session = this;
}

Session::~Session() {
    delete insideWorker_;
    delete worker_;
    g_session = nullptr;
}

class Session::CallScope {
public:
    CallScope(Session& session, CallState& state, const Action& action) : session_(session), before_(session.call_) {
        state.action = &action;
        state.outer = before_;
        session_.call_ = &state;
    }
    ~CallScope() { session_.call_ = before_; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    Session& session_;
    CallState* before_;
};

bool Session::Fail(const std::string& what) {
    if (finding_.empty()) finding_ = what;
    return false;
}

bool Session::Expect(bool condition, const std::string& what) { return condition || Fail(what); }

int Session::OnProgress(int percent) {
    if (call_ == nullptr) return 0;
    CallState& call = *call_;
    const Action& action = *call.action;
    ++call.reports;
    call.lastPercent = percent;
    if (!action.inside.empty() && action.insideAt == call.reports && !call.insideRan) RunInside();
    // The call made from inside left the engine stalled: this one waits on
    // it in silence, and the user cancels.
    if (call.engineStuck) return 1;
    // The first report is the plugin's own, before it hands the engine the
    // transfer; the second is the first one relayed from the engine's.
    if (action.abort == Abort::AtFirstReport && call.reports == 1) return 1;
    // The user cancels a transfer that no longer moves: one its engine
    // stopped part-way. One cancelled at 100 percent is whole: nothing is
    // left for the engine to do.
    if ((action.abort == Abort::AtRelay && call.reports == 2) || (call.reports > 1 && faults_.TransferStopped())) {
        call.cancelledInEngine = percent < 100;
        call.abortedAt = percent;
        return 1;
    }
    // And Cancel in the window that shows while the engine says nothing.
    if (action.stall == StallAnswer::Cancel && faults_.Stalled()) return 1;
    return 0;
}

// The question whether to stop a silent engine: answered as the call's plan
// says when its engine stalled. Otherwise the engine was only slow (a busy
// machine): No, wait on.
BOOL Session::OnRequest() {
    if (call_ == nullptr) return FALSE;
    CallState& call = *call_;
    const Action& action = *call.action;
    // A call from inside the question, made while the engine is silent: the
    // engine is busy with the call asked about, and it is refused at once.
    // The planned one, or else the root's listing.
    if (!call.insideRan) {
        call.insideRan = true;
        Action root;
        root.op = Op::List;
        const Action& inside = !action.inside.empty() && action.insideAt == 0 ? action.inside.front() : root;
        if (action.insideOnOtherThread && &inside != &root) {
            auto job = [&] { RunRefused(inside); };
            insideWorker_->Run(job);
        } else {
            RunRefused(inside);
        }
    }
    ++counts_.questions;
    ++call.questions;
    if (!faults_.Stalled()) return FALSE;
    return action.stall == StallAnswer::NoThenYes && call.questions == 1 ? FALSE : TRUE;
}

const Listed* Session::Current(int listing) const {
    const auto found = listings_.find(listing);
    if (found == listings_.end() || found->second.state != Listing::State::Reading) return nullptr;
    return &found->second.entries[found->second.next - 1];
}

std::vector<int> Session::Unclosed() const {
    std::vector<int> unclosed;
    for (const auto& listing : listings_) {
        if (listing.second.state != Listing::State::Closed) unclosed.push_back(listing.first);
    }
    return unclosed;
}

std::vector<int> Session::Closed() const {
    std::vector<int> closed;
    for (const auto& listing : listings_) {
        if (listing.second.state == Listing::State::Closed) closed.push_back(listing.first);
    }
    return closed;
}

std::string Session::LocalText(const Path& local) const { return ToHost(Joined(folders_.local, local)); }

bool Session::Run(const Action& action) {
    if (!finding_.empty()) return false;
    const std::uint64_t calls = counts_.calls;
    bool ok = false;
    if (action.worker && action.IsExport() && action.op != Op::Open) {
        auto job = [&] { ok = RunAction(action); };
        worker_->Run(job);
    } else {
        ok = RunAction(action);  // the host's main window gets the re-read notices here
    }
    if (counts_.calls != calls && action.IsExport()) {
        const int result = lastResult_ >= 0 && lastResult_ < 7 ? lastResult_ : 7;
        ++counts_.results[static_cast<int>(action.op)][result];
    }
    return ok;
}

bool Session::RunAction(const Action& action) {
    switch (action.op) {
    case Op::FindFirst: return RunFindFirst(action);
    case Op::FindNext: return RunFindNext(action);
    case Op::FindClose: return RunFindClose(action);
    case Op::GetFile:
    case Op::PutFile: return RunTransfer(action);
    case Op::LocalWrite:
    case Op::LocalMkDir:
    case Op::LocalDelete:
    case Op::LocalReadOnly: return RunLocal(action);
    case Op::StoreClear: return RunClear(action);
    case Op::ClientChange: return RunClientChange(action);
    case Op::List: return RunList(action);
    default: return RunChange(action);
    }
}

// ---- The engine's faults and the second client around each call

namespace {

std::wstring FoldedKey(const Path& path) {
    std::wstring key;
    for (const Name& name : path) key += L"\\" + name;
    if (!key.empty()) CharUpperBuffW(&key[0], static_cast<DWORD>(key.size()));
    return key;
}

Path ParentPath(const Path& path) { return path.empty() ? path : Path(path.begin(), path.end() - 1); }

bool IsEnd(int kind) { return kind == faults::kEnd || kind == faults::kEndPartWay; }

}  // namespace

template <typename Call>
Session::Armed Session::Arm(const Action& action, Call&& call) {
    Armed armed;
    // A call that may end the 64-bit edition's helper: which one it was.
    const bool mayEnd = bridged_ && (IsEnd(action.fault.kind) || action.fault.kind == faults::kFailPartWay ||
                                     action.fault.kind == faults::kStall || action.abort == Abort::AtRelay ||
                                     !action.inside.empty());
    if (mayEnd) armed.helpers = HelpersOf(GetCurrentProcessId());
    model_.locked.clear();
    if (action.lock != Lock::None) {
        const DWORD share = action.lock == Lock::SharedRead ? FILE_SHARE_READ : 0;
        if (client_.Lock(Joined(folders_.local, action.local), share)) {
            model_.locked[action.local] = share;
            ++counts_.lockedFiles;
        }
    }
    const Node* localFile = model_.local.Find(action.local);
    if (action.op == Op::GetFile || action.op == Op::PutFile) {
        if (localFile != nullptr && localFile->readOnly) ++counts_.readOnlyFiles;
        if (action.local.size() > 1 && !model_.local.IsFolder(ParentPath(action.local))) ++counts_.goneFolders;
    }
    bool interludeDone = false;
    faults_.Arm(action.fault, [&] {
        interludeDone = MakeChange(action.client, &interludeAt_);
    });
    armed.started = GetTickCount64();
    call();
    armed.ended = GetTickCount64();
    armed.report = faults_.Disarm();
    if (action.lock != Lock::None) client_.Unlock();
    model_.strike = Strike();
    model_.interlude = StoreChange();
    model_.interludeApplied = -1;
    model_.interludeDone = interludeDone;
    model_.seen = ::Seen::AsNow;
    if (armed.report.fired) {
        model_.strike.operation = action.fault.operation;
        model_.strike.kind = action.fault.kind;
        model_.strike.occurrence = action.fault.occurrence;
        model_.strike.detail = action.fault.detail;
        ++counts_.faults[action.fault.kind];
    }
    if (armed.report.paused) {
        model_.interlude = ModelChange(action.client);
        armed.interludeExisted = model_.store.IsFile(model_.interlude.path);
        ++counts_.interludes;
    }
    return armed;
}

bool Session::Settle(const Action& action, const Armed& armed, bool cancelledInEngine) {
    if (armed.report.paused) {
        if (!Expect(model_.interludeApplied == (model_.interludeDone ? 1 : 0),
                    model_.interludeApplied < 0 ? "the engine paused in a call the model never made"
                                                : "the second client's change in the paused call went otherwise "
                                                  "than modelled")) {
            return false;
        }
        const Path path = action.client.path.StorePath();
        NoteClientChange(path, armed.interludeExisted, model_.store.IsFile(path), interludeAt_);
    }
    // The 64-bit edition's helper ends with its engine, and with a transfer
    // the host cancelled once the engine had it: every listing of the host
    // goes with it, and the old process must be gone. A call made from inside
    // another's callback is the exception: its engine goes on with a
    // transfer the host cancelled, and one that stalls and is cancelled is
    // left to the outer call, whose own silence then ends it.
    CallState& call = *call_;
    const bool inside = call.outer != nullptr;
    const bool stalled = armed.report.fired && action.fault.kind == faults::kStall;
    const bool leftStalled = inside && stalled && action.stall == StallAnswer::Cancel;
    const bool helperEnded =
        bridged_ && (armed.report.ended || (cancelledInEngine && !inside) || (stalled && !leftStalled) ||
                     call.helperEndedInside || call.engineStuck);
    if (inside && bridged_) {
        call.outer->engineStuck = leftStalled;
        call.outer->helperEndedInside = helperEnded;
        call.outer->stoppedByUser = stalled && !leftStalled;
    }
    if (!helperEnded) return true;
    ++counts_.engineEnds;
    for (auto& listing : listings_) {
        if (listing.second.state == Listing::State::Reading) listing.second.state = Listing::State::Ended;
    }
    for (DWORD helper : armed.helpers) {
        HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, helper);
        const bool gone = process == nullptr || WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        if (process != nullptr) CloseHandle(process);
        if (!Expect(gone, "the helper " + std::to_string(helper) + " outlived its engine's end")) return false;
    }
    return true;
}

bool Session::MakeChange(const ClientChange& change, ULONGLONG* when) {
    const std::wstring file = Joined(folders_.store, change.path.StorePath());
    const bool done = change.kind == StoreChange::Kind::Delete ? client_.Delete(file)
                                                               : client_.Write(file, BytesOf(change.bytesSeed, change.size));
    *when = GetTickCount64();
    return done;
}

StoreChange Session::ModelChange(const ClientChange& change) const {
    StoreChange modelled;
    modelled.kind = change.kind;
    modelled.path = change.path.StorePath();
    if (change.kind == StoreChange::Kind::Write) modelled.bytes = BytesOf(change.bytesSeed, change.size);
    return modelled;
}

void Session::NoteClientChange(const Path& path, bool existed, bool exists, ULONGLONG when) {
    const std::wstring key = FoldedKey(path);
    if (!existed && exists) {
        clientMade_[key] = when;
        clientDeleted_.erase(key);
    } else if (existed && !exists) {
        clientDeleted_[key] = when;
        clientMade_.erase(key);
    }
}

void Session::NoteChanged(const HostPath& path) {
    const std::wstring key = FoldedKey(path.StorePath());
    clientMade_.erase(key);
    clientDeleted_.erase(key);
}

void Session::Looked(const HostPath& target, const Armed& armed, int got) {
    const ::Seen may = MaySee(target.StorePath(), armed.started);
    if ((may == ::Seen::Taken && got == FS_FILE_EXISTS) || (may == ::Seen::Free && got != FS_FILE_EXISTS)) {
        model_.seen = may;
        counts_.raced += may == ::Seen::Free && got == FS_FILE_OK;
    }
    NoteLook(target, armed);
}

// The look of an upload or a store copy lists the target's folder, and the
// folders above it up to the bucket when that one cannot be listed: the
// plugin may answer from any of them while it is fresh (Learnt).
void Session::NoteLook(const HostPath& target, const Armed& armed) {
    Path folder = ParentPath(target.StorePath());
    for (;;) {
        NoteListed(folder, {armed.started, armed.ended, armed.ended});
        if (folder.size() <= 2) break;
        folder.pop_back();
    }
}

ULONGLONG Session::Learnt::KnownUntil() const {
    return opened + std::max<ULONGLONG>(kFolderKnownForMs, kFolderKnownPerListingCost * (ended - begun));
}

bool Session::KnownBefore(const Path& folder, ULONGLONG change, ULONGLONG started) const {
    const auto found = listed_.find(FoldedKey(folder));
    if (found == listed_.end()) return false;
    for (const Learnt& listing : found->second) {
        // Begun before the change was made, and still fresh when the call began.
        if (listing.begun <= change && listing.KnownUntil() > started) return true;
    }
    return false;
}

// The one window the plugin leaves open: an object the second client made
// (or deleted) after a listing began that the plugin still answers from.
// Outside it, the plugin sees the store as it is.
::Seen Session::MaySee(const Path& target, ULONGLONG started) const {
    const std::wstring key = FoldedKey(target);
    const Path folder = ParentPath(target);
    if (model_.store.Exists(target)) {
        const auto made = clientMade_.find(key);
        if (made != clientMade_.end() && KnownBefore(folder, made->second, started)) return ::Seen::Free;
    } else {
        const auto deleted = clientDeleted_.find(key);
        if (deleted != clientDeleted_.end() && KnownBefore(folder, deleted->second, started)) return ::Seen::Taken;
    }
    return ::Seen::AsNow;
}

bool Session::RunClientChange(const Action& action) {
    const Path path = action.client.path.StorePath();
    const bool existed = model_.store.IsFile(path);
    if (action.client.waitMs != 0) {
        Sleep(action.client.waitMs);
        ++counts_.late;
    }
    ULONGLONG when = 0;
    const bool done = MakeChange(action.client, &when);
    const bool modelled = model_.ApplyChange(ModelChange(action.client));
    if (!Expect(done == modelled, "the second client's change went otherwise than modelled")) return false;
    ++counts_.clientChanges;
    NoteClientChange(path, existed, model_.store.IsFile(path), when);
    return VerifyAround(model_.store, folders_.store, path, false);
}

// ---- Listings

bool Session::RunFindFirst(const Action& action) {
    WIN32_FIND_DATAA found;
    std::memset(&found, 0x5A, sizeof(found));
    std::string text = action.path.Text();
    ++counts_.calls;
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD lastError = 0;
    CallState state;
    CallScope scope(*this, state, action);
    const Armed armed = Arm(action, [&] {
        SetLastError(0xDEADBEEF);
        handle = fs_.FsFindFirst(&text[0], &found);
        lastError = GetLastError();
    });
    const ListingOutcome expected = model_.FindFirst(action.path);
    lastResult_ = handle != INVALID_HANDLE_VALUE;
    listings_.erase(action.listing);
    if (!Settle(action, armed, false)) return false;
    if (!Expect((handle != INVALID_HANDLE_VALUE) == expected.opened,
                std::string("the listing ") + (expected.opened ? "failed" : "opened") + ", expected " +
                    (expected.opened ? std::to_string(expected.entries.size()) + " entries" : "a failure"))) {
        return false;
    }
    if (!expected.opened) {
        // An empty folder's listing teaches the plugin that it is empty.
        if (expected.lastError == ERROR_NO_MORE_FILES) {
            NoteListed(action.path.StorePath(), {armed.started, armed.ended, armed.ended});
        }
        return Expect(expected.lastError == kAnyError || lastError == expected.lastError,
                      "last error " + std::to_string(lastError) + ", expected " +
                          std::to_string(expected.lastError));
    }
    Listing& listing = listings_[action.listing];
    listing.handle = handle;
    listing.entries = expected.entries;
    listing.next = 1;
    listing.folder = action.path.StorePath();
    listing.begun = armed.started;
    listing.opened = armed.ended;
    listing.teaches = !expected.cut;
    const Listed got{found.cFileName, found.dwFileAttributes,
                     (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow};
    const Listed& want = expected.entries.front();
    return Expect(got == want, "first entry \"" + Readable(got.name) + "\" attributes " +
                                   std::to_string(got.attributes) + " size " + std::to_string(got.size) +
                                   ", expected \"" + Readable(want.name) + "\" " +
                                   std::to_string(want.attributes) + " " + std::to_string(want.size));
}

bool Session::RunFindNext(const Action& action) {
    const auto found = listings_.find(action.listing);
    if (found == listings_.end()) return true;  // its FindFirst failed: the host has no handle
    Listing& listing = found->second;
    if (listing.state == Listing::State::Closed) {
        // A closed handle: FALSE, unless the plugin has given its value to a
        // listing still open, which then rightly goes on.
        for (const auto& other : listings_) {
            if (other.second.state != Listing::State::Closed && other.second.handle == listing.handle) return true;
        }
    }
    WIN32_FIND_DATAA entry;
    std::memset(&entry, 0x5A, sizeof(entry));
    ++counts_.calls;
    BOOL more = FALSE;
    CallState state;
    CallScope scope(*this, state, action);
    const Armed armed = Arm(action, [&] { more = fs_.FsFindNext(listing.handle, &entry); });
    lastResult_ = more;
    if (!Settle(action, armed, false)) return false;
    const bool expectMore = listing.state == Listing::State::Reading && listing.next < listing.entries.size();
    if (!expectMore) {
        if (listing.state == Listing::State::Reading) {
            listing.state = Listing::State::Ended;
            if (listing.teaches) NoteListed(listing.folder, {listing.begun, listing.opened, armed.ended});
        }
        return Expect(more == FALSE, std::string("FsFindNext gave \"") + entry.cFileName + "\" after " +
                                         std::to_string(listing.next) + " entries, expected the end");
    }
    const Listed& want = listing.entries[listing.next];
    if (!Expect(more == TRUE, "the listing ended after " + std::to_string(listing.next) + " of " +
                                  std::to_string(listing.entries.size()) + " entries; next expected \"" +
                                  Readable(want.name) + "\"")) {
        return false;
    }
    ++listing.next;
    const Listed got{entry.cFileName, entry.dwFileAttributes,
                     (std::uint64_t{entry.nFileSizeHigh} << 32) | entry.nFileSizeLow};
    return Expect(got == want, "entry " + std::to_string(listing.next) + " \"" + Readable(got.name) +
                                   "\" attributes " + std::to_string(got.attributes) + " size " +
                                   std::to_string(got.size) + ", expected \"" + Readable(want.name) + "\" " +
                                   std::to_string(want.attributes) + " " + std::to_string(want.size));
}

bool Session::RunFindClose(const Action& action) {
    const auto found = listings_.find(action.listing);
    if (found == listings_.end()) return true;
    Listing& listing = found->second;
    if (listing.state == Listing::State::Closed) {
        for (const auto& other : listings_) {
            if (other.second.state != Listing::State::Closed && other.second.handle == listing.handle) return true;
        }
    }
    ++counts_.calls;
    const int result = fs_.FsFindClose(listing.handle);
    lastResult_ = result;
    listing.state = Listing::State::Closed;
    listing.entries = {};
    Forget();
    return Expect(result == 0, "FsFindClose gave " + std::to_string(result));
}

void Session::Forget() {
    // Listings remembered: closed ones go first, then the oldest of those
    // the host gave up without closing, which it never goes back to.
    constexpr std::size_t kKept = 4096;
    if (listings_.size() <= 2 * kKept) return;
    std::size_t unclosed = Unclosed().size();
    for (auto at = listings_.begin(); at != listings_.end() && listings_.size() > kKept;) {
        const bool closed = at->second.state == Listing::State::Closed;
        if (!closed && unclosed <= kKept / 4) {
            ++at;
            continue;
        }
        if (!closed) --unclosed;
        at = listings_.erase(at);
    }
}

void Session::NoteListed(const Path& folder, const Learnt& listing) {
    // Those too old to answer from go.
    std::vector<Learnt>& listings = listed_[FoldedKey(folder)];
    listings.erase(std::remove_if(listings.begin(), listings.end(),
                                  [&](const Learnt& old) { return old.KnownUntil() < listing.opened; }),
                   listings.end());
    listings.push_back(listing);
}

// ---- Changes inside the store

bool Session::RunChange(const Action& action) {
    std::string path = action.path.Text(), target = action.target.Text();
    Outcome expected;
    int got = 0;
    bool notice = false;
    int notices = 0;
    ++counts_.calls;
    CallState state;
    CallScope scope(*this, state, action);
    const Armed armed = Arm(action, [&] {
        switch (action.op) {
        case Op::MkDir: got = fs_.FsMkDir(&path[0]); break;
        case Op::RemoveDir: got = fs_.FsRemoveDir(&path[0]); break;
        case Op::DeleteFile: got = fs_.FsDeleteFile(&path[0]); break;
        case Op::RenMov: {
            RemoteInfoStruct info = {0, 0, {0, 0}, action.folder ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE};
            got = fs_.FsRenMovFile(&path[0], &target[0], action.move, action.overWrite, &info);
            break;
        }
        case Op::Open: {
            std::string verb = "open";
            got = fs_.FsExecuteFile(window_, &path[0], &verb[0]);
            MSG msg;
            while (PeekMessageA(&msg, window_, 0, 0, PM_REMOVE)) {
                notices += msg.message == WM_COMMAND && LOWORD(msg.wParam) == kRereadCommand && msg.lParam == 0;
            }
            break;
        }
        default: break;
        }
    });
    lastResult_ = got;
    switch (action.op) {
    case Op::MkDir: expected.result = model_.MkDir(action.path); break;
    case Op::RemoveDir: expected.result = model_.RemoveDir(action.path); break;
    case Op::DeleteFile: expected.result = model_.DeleteFile(action.path); break;
    case Op::RenMov: {
        if (!action.overWrite) Looked(action.target, armed, got);
        expected = model_.RenMov(action.path, action.target, action.move, action.overWrite, action.folder);
        break;
    }
    case Op::Open: expected.result = model_.ExecuteOpen(action.path, &notice); break;
    default: return Fail("not a change");
    }
    if (!Settle(action, armed, false)) return false;
    if (action.op == Op::Open && !Expect(notices == (notice ? 1 : 0), std::to_string(notices) + " re-read notices")) {
        return false;
    }
    if (!Expect(expected.Allows(got), "result " + std::to_string(got) + ", expected " +
                                          std::to_string(expected.result) +
                                          (expected.alternative >= 0 ? " or " + std::to_string(expected.alternative)
                                                                     : std::string()))) {
        return false;
    }
    ++counts_.changes;
    NoteChanged(action.path);
    if (action.op == Op::RenMov) NoteChanged(action.target);
    const bool tree = action.op == Op::RenMov && (action.folder || action.path.Level() < 3);
    if (!VerifyAround(model_.store, folders_.store, action.path.StorePath(), tree)) return false;
    if (action.op == Op::RenMov && !VerifyAround(model_.store, folders_.store, action.target.StorePath(), tree)) {
        return false;
    }
    if (armed.report.paused && !VerifyAround(model_.store, folders_.store, action.client.path.StorePath(), false)) {
        return false;
    }
    if (++changesSinceFullCheck_ >= kChangesPerFullCheck && inFlux_.empty()) return VerifyAll();
    return true;
}

// ---- Transfers

bool Session::RunTransfer(const Action& action) {
    const bool download = action.op == Op::GetFile;
    std::string remote = action.path.Text(), local = LocalText(action.local);
    const Node* object = model_.store.Find(action.path.StorePath());
    const std::size_t size = object != nullptr && !object->folder ? object->bytes.size() : 0;
    const Node* localFile = model_.local.Find(action.local);
    const std::size_t localSize = localFile != nullptr && !localFile->folder ? localFile->bytes.size() : 0;
    ++counts_.calls;
    int got = 0;
    CallState call;
    CallScope scope(*this, call, action);
    const Armed armed = Arm(action, [&] {
        RemoteInfoStruct info = {static_cast<DWORD>(size), static_cast<DWORD>(std::uint64_t{size} >> 32),
                                 {0, 0}, FILE_ATTRIBUTE_ARCHIVE};
        got = download ? fs_.FsGetFile(&remote[0], &local[0], action.flags, &info)
                       : fs_.FsPutFile(&local[0], &remote[0], action.flags);
    });
    lastResult_ = got;
    if (!finding_.empty()) return false;  // in the call made from inside it
    if (!download && !(action.flags & (FS_COPYFLAGS_OVERWRITE | FS_COPYFLAGS_EXISTS_SAMECASE |
                                       FS_COPYFLAGS_EXISTS_DIFFERENTCASE))) {
        Looked(action.path, armed, got);
    }
    // A transfer made from inside another on the same helper is left to its
    // engine when the host cancels it, as in process.
    model_.nested = call.outer != nullptr;
    // The host may have aborted a report of 100 percent: the transfer was
    // whole then, and the plugin's relay aborts in both editions.
    const Abort modelled =
        action.abort == Abort::AtRelay && call.abortedAt >= 100 ? Abort::AtRelayWhole : action.abort;
    const Outcome expected = call.helperEndedInside || call.engineStuck ? CutShort(action, call)
                             : download ? model_.GetFile(action.path, action.local, action.flags, modelled)
                                        : model_.PutFile(action.local, action.path, action.flags, modelled);
    model_.nested = false;
    if (!Settle(action, armed, call.cancelledInEngine && got == FS_FILE_USERABORT)) return false;
    if (!Expect(expected.Allows(got), "result " + std::to_string(got) + ", expected " +
                                          std::to_string(expected.result))) {
        return false;
    }
    if (!Expect(got != FS_FILE_OK || call.lastPercent == 100,
                "finished with a last report of " + std::to_string(call.lastPercent)) ||
        !Expect((got != FS_FILE_EXISTS && got != FS_FILE_NOTSUPPORTED) || call.reports == 0,
                "answered " + std::to_string(got) + " after " + std::to_string(call.reports) + " reports")) {
        return false;
    }
    if (got == FS_FILE_OK) counts_.bytesMoved += download ? size : localSize;
    if (got == FS_FILE_USERABORT) ++counts_.aborts;
    if (expected.partialUpload) {
        if (!AdoptPartialUpload(action.path, action.local)) return false;
    } else if (got == FS_FILE_USERABORT && action.abort == Abort::AtRelay) {
        if (!model_.local.Exists(action.local) && download) {
            // The 64-bit edition deleted the partial download.
        } else if (!AwaitFinished(download ? Joined(folders_.local, action.local)
                                           : Joined(folders_.store, action.path.StorePath()),
                                  download ? size : localSize)) {
            return false;
        }
    }
    ++counts_.changes;
    if (!download) NoteChanged(action.path);
    if (!VerifyAround(model_.store, folders_.store, action.path.StorePath(), false) ||
        !VerifyAround(model_.local, folders_.local, action.local, false)) {
        return false;
    }
    if (armed.report.paused && !VerifyAround(model_.store, folders_.store, action.client.path.StorePath(), false)) {
        return false;
    }
    if (++changesSinceFullCheck_ >= kChangesPerFullCheck && inFlux_.empty()) return VerifyAll();
    return true;
}

Outcome Session::CutShort(const Action& action, const CallState& call) {
    const bool download = action.op == Op::GetFile;
    // The user's stop and the host's cancel abort it; an engine that ended
    // fails it.
    const int result = call.stoppedByUser || call.engineStuck ? FS_FILE_USERABORT : FS_FILE_READERROR;
    // Before the host let the plugin's first report pass, the engine never
    // had the transfer: nothing changed.
    if (call.reportsAtInside < 2) return {result};
    // Once the engine's 100 had come it was whole: only a move's deletion
    // of the source was left undone.
    const int flags = (action.flags | FS_COPYFLAGS_OVERWRITE) & ~FS_COPYFLAGS_MOVE;
    if (call.percentAtInside >= 100) {
        if (download) {
            model_.GetFile(action.path, action.local, flags, Abort::Never);
        } else {
            model_.PutFile(action.local, action.path, flags, Abort::Never);
        }
        return {FS_FILE_OK};
    }
    // Otherwise as the host's cancel once the engine has it leaves it.
    Outcome outcome = download ? model_.GetFile(action.path, action.local, flags, Abort::AtRelay)
                               : model_.PutFile(action.local, action.path, flags, Abort::AtRelay);
    outcome.result = result;
    outcome.alternative = -1;
    return outcome;
}

// ---- Calls made from inside a transfer's progress callback

bool Session::InFlux(const Tree& tree, const Path& path) const {
    for (const auto& file : inFlux_) {
        if (file.first == &tree && SamePath(file.second, path)) return true;
    }
    return false;
}

void Session::RunInside() {
    CallState& outer = *call_;
    const Action& action = *outer.action;
    outer.insideRan = true;
    outer.reportsAtInside = outer.reports;
    outer.percentAtInside = outer.lastPercent;
    // The outer transfer's own files are being written while it runs.
    // The outer call's own facts for the model stay its own.
    const std::map<Path, DWORD> locked = model_.locked;
    inFlux_.push_back({&model_.local, action.local});
    inFlux_.push_back({&model_.store, action.path.StorePath()});
    model_.inUse = {{action.local, model_.local.Exists(action.local) ||
                                       (action.op == Op::GetFile && outer.reports >= 2)}};
    const Action& inside = action.inside.front();
    if (action.insideOnOtherThread) {
        auto job = [&] { RunAction(inside); };
        insideWorker_->Run(job);
        ++counts_.insideOtherThread;
    } else {
        RunAction(inside);
    }
    inFlux_.clear();
    model_.inUse.clear();
    model_.locked = locked;
    ++counts_.insideCalls;
    counts_.insideEnds += outer.helperEndedInside || outer.engineStuck;
}

bool Session::RunRefused(const Action& action) {
    CallState state;
    CallScope scope(*this, state, action);
    std::string path = action.path.Text(), local = LocalText(action.local);
    ++counts_.calls;
    ++counts_.insideRefused;
    int got = 0, failure = FALSE;
    switch (action.op) {
    case Op::List: {
        WIN32_FIND_DATAA found;
        const HANDLE handle = fs_.FsFindFirst(&path[0], &found);
        got = handle != INVALID_HANDLE_VALUE;
        if (got) fs_.FsFindClose(handle);
        break;
    }
    case Op::DeleteFile: got = fs_.FsDeleteFile(&path[0]); break;
    case Op::GetFile: {
        RemoteInfoStruct info = {};
        got = fs_.FsGetFile(&path[0], &local[0], action.flags, &info);
        failure = FS_FILE_READERROR;
        break;
    }
    case Op::PutFile:
        got = fs_.FsPutFile(&local[0], &path[0], action.flags);
        failure = FS_FILE_READERROR;
        break;
    default: return Fail("a call from inside the question that the host does not make");
    }
    const DWORD lastError = GetLastError();
    return Expect(got == failure && lastError == ERROR_BUSY,
                  action.Describe() + " from inside the question answered " + std::to_string(got) +
                      ", last error " + std::to_string(lastError) + ": not refused") &&
           Expect(state.reports == 0, "a call refused from inside the question reported progress");
}

bool Session::RunList(const Action& action) {
    std::string text = action.path.Text();
    ++counts_.calls;
    CallState state;
    CallScope scope(*this, state, action);
    bool opened = false;
    DWORD lastError = 0;
    std::vector<Listed> entries;
    ULONGLONG firstCame = 0;
    const Armed armed = Arm(action, [&] {
        WIN32_FIND_DATAA found;
        const HANDLE handle = fs_.FsFindFirst(&text[0], &found);
        lastError = GetLastError();
        firstCame = GetTickCount64();
        opened = handle != INVALID_HANDLE_VALUE;
        for (BOOL more = opened; more; more = fs_.FsFindNext(handle, &found)) {
            entries.push_back(Listed{found.cFileName, found.dwFileAttributes,
                                     (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow});
        }
        if (opened) fs_.FsFindClose(handle);
    });
    const ListingOutcome expected = model_.FindFirst(action.path);
    lastResult_ = opened;
    if (!Settle(action, armed, false)) return false;
    if (!Expect(opened == expected.opened, "the whole listing " +
                                               std::string(opened ? "opened" : "failed, last error " +
                                                                                    std::to_string(lastError)) +
                                               ", expected " + (expected.opened ? "it to open" : "a failure"))) {
        return false;
    }
    if (!opened) {
        return Expect(expected.lastError == kAnyError || lastError == expected.lastError,
                      "last error " + std::to_string(lastError) + ", expected " + std::to_string(expected.lastError));
    }
    // An engine that ended part-way ends the listing where it did.
    const bool ended = bridged_ && armed.report.ended;
    if (!Expect(entries == expected.entries || (ended && entries.size() <= expected.entries.size()),
                "the whole listing showed " + std::to_string(entries.size()) + " entries, expected " +
                    std::to_string(expected.entries.size()))) {
        return false;
    }
    if (!expected.cut && !ended) NoteListed(action.path.StorePath(), {armed.started, firstCame, armed.ended});
    return true;
}

bool Session::AwaitFinished(const std::wstring& file, std::size_t size) {
    for (int tries = 0; tries < 1000; ++tries) {
        HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER length = {};
            GetFileSizeEx(handle, &length);
            CloseHandle(handle);
            if (static_cast<std::size_t>(length.QuadPart) == size) return true;
        }
        Sleep(10);
    }
    return Fail("the cancelled transfer never finished in the engine: " + Utf8(file));
}

bool Session::AdoptPartialUpload(const HostPath& remote, const Path& localName) {
    const std::string& sent = model_.local.Find(localName)->bytes;
    std::string left;
    if (!Expect(ReadWhole(Joined(folders_.store, remote.StorePath()), &left),
                "a cancelled upload left no object")) {
        return false;
    }
    const bool whole = left == sent;
    const bool chunks = left.size() % kChunkBytes == 0 && sent.compare(0, left.size(), left) == 0;
    if (!Expect(whole || chunks, "a cancelled upload left " + std::to_string(left.size()) +
                                     " bytes that are not the first chunks of the " +
                                     std::to_string(sent.size()) + " sent")) {
        return false;
    }
    return model_.store.WriteFile(remote.StorePath(), left);
}

bool Session::RunClear(const Action& action) {
    const Path path = action.path.StorePath();
    const std::wstring folder = Joined(folders_.store, path);
    const bool modelled = model_.store.RemoveAll(path);
    RemoveContents(folder);
    if (modelled != (RemoveDirectoryW(folder.c_str()) != 0)) return Fail("the keeper's removal went otherwise");
    Action forget;
    forget.op = Op::MkDir;
    forget.path.parts = {"zz-none", "none"};
    return RunChange(forget);
}

// ---- The host's own local folder

bool Session::RunLocal(const Action& action) {
    const std::wstring file = Joined(folders_.local, action.local);
    switch (action.op) {
    case Op::LocalWrite: {
        const std::string bytes = BytesOf(action.bytesSeed, action.size);
        const bool modelled = model_.local.WriteFile(action.local, bytes);
        if (modelled != WriteWhole(file, bytes)) return Fail("the local write went otherwise than modelled");
        break;
    }
    case Op::LocalMkDir:
        if (model_.local.MakeFolder(action.local) != (CreateDirectoryW(file.c_str(), nullptr) != 0)) {
            return Fail("the local folder went otherwise than modelled");
        }
        break;
    case Op::LocalReadOnly:
        if (model_.local.SetReadOnly(action.local, action.flags != 0) !=
            (SetFileAttributesW(file.c_str(), action.flags ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL) != 0)) {
            return Fail("the local file's attribute went otherwise than modelled");
        }
        break;
    default: {
        // The user deletes a read-only file too: the file manager asks, and
        // clears the attribute.
        const bool folder = model_.local.IsFolder(action.local);
        if (folder) RemoveContents(file);
        else if (model_.local.IsFile(action.local)) SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
        const bool removed = folder ? RemoveDirectoryW(file.c_str()) != 0 : DeleteFileW(file.c_str()) != 0;
        if (model_.local.RemoveAll(action.local) != removed) {
            return Fail("the local deletion went otherwise than modelled");
        }
        break;
    }
    }
    return VerifyAround(model_.local, folders_.local, action.local, false);
}

// ---- The disk against the model

bool Session::VerifyAround(const Tree& tree, const std::wstring& root, const Path& path, bool subtree) {
    for (std::size_t length = 0; length < path.size(); ++length) {
        if (!VerifyFolder(tree, root, Path(path.begin(), path.begin() + length), false, false)) return false;
    }
    const Node* node = tree.Find(path);
    if (node == nullptr || InFlux(tree, path)) return true;  // its folder's listing showed it is not there
    if (node->folder) return VerifyFolder(tree, root, path, subtree, subtree);
    std::string bytes;
    return Expect(ReadWhole(Joined(root, path), &bytes) && bytes == node->bytes,
                  "the bytes of " + Utf8(Joined(root, path)) + " are not the ones expected");
}

bool Session::VerifyFolder(const Tree& tree, const std::wstring& root, const Path& folder, bool recursive,
                           bool bytes) {
    const std::wstring full = Joined(root, folder);
    std::vector<DiskEntry> disk;
    const bool listed = DiskListing(full, &disk);
    // What a transfer under way is writing is left alone.
    const auto inFlux = [&](const Name& name) {
        Path path = folder;
        path.push_back(name);
        return InFlux(tree, path);
    };
    disk.erase(std::remove_if(disk.begin(), disk.end(), [&](const DiskEntry& entry) { return inFlux(entry.name); }),
               disk.end());
    if (!tree.IsFolder(folder)) {
        return Expect(!listed || tree.Exists(folder), "the folder " + Utf8(full) + " is on disk, not expected");
    }
    if (!Expect(listed, "the folder " + Utf8(full) + " is missing on disk")) return false;
    std::vector<const Node*> model = tree.Listing(folder);
    model.erase(std::remove_if(model.begin(), model.end(), [&](const Node* node) { return inFlux(node->name); }),
                model.end());
    std::string difference;
    for (std::size_t at = 0; at < std::max(disk.size(), model.size()) && difference.empty(); ++at) {
        if (at >= disk.size()) {
            difference = "\"" + Utf8(model[at]->name) + "\" is missing";
        } else if (at >= model.size()) {
            difference = "\"" + Utf8(disk[at].name) + "\" is there, not expected";
        } else if (disk[at].name != model[at]->name || disk[at].folder != model[at]->folder ||
                   disk[at].size != (model[at]->folder ? 0 : model[at]->bytes.size())) {
            difference = "\"" + Utf8(disk[at].name) + "\" (" + (disk[at].folder ? "folder" : "file of " +
                         std::to_string(disk[at].size) + " bytes") + ") where \"" + Utf8(model[at]->name) +
                         "\" (" + (model[at]->folder ? "folder" : "file of " +
                         std::to_string(model[at]->bytes.size()) + " bytes") + ") was expected";
        }
    }
    if (!Expect(difference.empty(), "on disk in " + Utf8(full) + ": " + difference)) return false;
    for (const Node* node : model) {
        const Path child = [&] { Path path = folder; path.push_back(node->name); return path; }();
        if (node->folder) {
            if (recursive && !VerifyFolder(tree, root, child, true, bytes)) return false;
        } else if (bytes) {
            std::string content;
            if (!Expect(ReadWhole(Joined(root, child), &content) && content == node->bytes,
                        "the bytes of " + Utf8(Joined(root, child)) + " are not the ones expected")) {
                return false;
            }
        }
    }
    return true;
}

bool Session::VerifyAll() {
    changesSinceFullCheck_ = 0;
    return VerifyFolder(model_.store, folders_.store, {}, true, true) &&
           VerifyFolder(model_.local, folders_.local, {}, true, true);
}

void Session::Reset() {
    for (auto& listing : listings_) {
        if (listing.second.state != Listing::State::Closed) fs_.FsFindClose(listing.second.handle);
    }
    listings_.clear();
    RemoveContents(folders_.store);
    RemoveContents(folders_.local);
    model_.store.Clear();
    model_.local.Clear();
    // A change that fails makes the plugin forget what it knew of a folder.
    std::string forget = "\\zz-none\\none";
    fs_.FsMkDir(&forget[0]);
    finding_.clear();
    counts_ = SessionCounts{};
    changesSinceFullCheck_ = 0;
    faults_.Disarm();
    client_.Unlock();
    listed_.clear();
    clientMade_.clear();
    clientDeleted_.clear();
}
