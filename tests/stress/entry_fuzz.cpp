// Randomised calls of every exported entry point against the scripted engine,
// under Wine: random and adversarial paths, verbs, flags and buffer sizes in
// both a single-byte and a double-byte thread code page, while the engine
// fails, refuses, hands out broken entries and fires malformed events. After
// every call: the result is one the export defines, no byte around a host
// buffer or text changed, no engine entry is left alive, and the engine was
// asked only what the call's own inputs name.
//
// The test run makes a short pass with a fixed seed. A campaign:
//   CORVANEL_FUZZ_CALLS=1000000 [CORVANEL_FUZZ_SEED=n] build/wine-run.sh build/bin/entry_fuzz.exe
// (tools/entry_fuzz.sh does that). The seed is printed at the start.
#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/wfx_api.h"
#include "plugin/plugin_state.h"
#include "tests/stress/fuzz_inputs.h"
#include "tests/stress/fuzz_plan.h"
#include "tests/support/engine_registration.h"
#include "tests/support/path_model.h"
#include "tests/support/plugin_reset.h"
#include "tests/support/plugin_scope.h"
#include "tests/support/scripted_engine.h"
#include "tests/support/thread_locale.h"

namespace {

constexpr std::uint64_t kDefaultSeed = 20240601;
constexpr std::uint64_t kDefaultCalls = 30000;
constexpr unsigned char kGuard = 0xA5;
constexpr std::size_t kGuardBytes = 32;
// The host's progress callback asks to abort after this many reports of one
// transfer, so an engine that never finishes cannot hold the run.
constexpr int kReportsBeforeAbort = 4;

const LeadByteRanges kCodePage932{{0x81, 0x9f, 0xe0, 0xfc}};
const LeadByteRanges kSingleByte{};

struct CodePage {
    LCID locale;
    const LeadByteRanges* leadBytes;
};
const CodePage kCodePages[] = {
    {MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT), &kSingleByte},
    {JapaneseLocale(), &kCodePage932},
};

std::uint64_t FromEnvironment(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 0) : fallback;
}

// Where the run is, for the report of a crash.
volatile std::uint64_t g_iteration = 0;
const char* volatile g_exportName = "";
std::uint64_t g_seed = 0;

LONG CALLBACK ReportFault(EXCEPTION_POINTERS* info) {
    const DWORD code = info->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW ||
        code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_INT_DIVIDE_BY_ZERO) {
        std::fprintf(stderr, "fault 0x%08lx in call %llu (%s) of the run with seed %llu\n", code,
                     static_cast<unsigned long long>(g_iteration), g_exportName,
                     static_cast<unsigned long long>(g_seed));
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

// A host record handed to the plugin, with guard bytes on both sides and
// junk inside (the plugin must fill the whole record itself).
template <typename Record>
class Guarded {
public:
    Guarded() {
        std::memset(bytes_, kGuard, sizeof(bytes_));
        std::memset(bytes_ + kGuardBytes, 0x5A, sizeof(Record));
    }
    Record* Get() { return reinterpret_cast<Record*>(bytes_ + kGuardBytes); }
    bool GuardsIntact() const {
        for (std::size_t i = 0; i < kGuardBytes; ++i) {
            if (bytes_[i] != kGuard || bytes_[kGuardBytes + sizeof(Record) + i] != kGuard) return false;
        }
        return true;
    }

private:
    alignas(8) unsigned char bytes_[kGuardBytes + sizeof(Record) + kGuardBytes];
};

class EntryPointFuzzer;
EntryPointFuzzer* g_fuzzer = nullptr;  // the host's callbacks carry no context

int __stdcall HostProgress(int pluginNumber, char* source, char* target, int percent);
void __stdcall HostLog(int, int, char*);
BOOL __stdcall HostRequest(int, int, char*, char*, char*, int);

class EntryPointFuzzer {
public:
    explicit EntryPointFuzzer(std::uint64_t seed)
        : random_(seed),
          plan_(random_),
          engine_(plan_),
          registration_(static_cast<IStorageBrowser&>(engine_)) {
        g_fuzzer = this;
        char folder[MAX_PATH];
        GetTempPathA(sizeof(folder), folder);
        existingLocalFile_ = std::string(folder) + "corvanel-fuzz-existing.tmp";
        CloseHandle(CreateFileA(existingLocalFile_.c_str(), GENERIC_WRITE, 0, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    ~EntryPointFuzzer() {
        DeleteFileA(existingLocalFile_.c_str());
        DestroyWindow(window_);
        ResetPluginState();
        g_fuzzer = nullptr;
    }

    bool Start() {
        plan_.Expect({});
        return FsInit(1, &HostProgress, &HostLog, &HostRequest) == 0;
    }
    void Run(std::uint64_t calls);
    void PrintTally(double seconds) const;
    const std::string& Finding() const { return finding_; }

    int OnProgress(const char* source, const char* target, int percent);
    void OnForbiddenCallback(const char* which) { Fail(std::string(which) + " callback called"); }

private:
    using Driver = void (EntryPointFuzzer::*)();
    // A listing the plugin gave out a handle for, as the host saw it open.
    struct OpenListing {
        HANDLE handle;
        PathLevel level;
        ListingCookie cookie;
    };

    struct EntryPoint {
        const char* name;
        Driver driver;
        std::uint32_t weight;
        std::uint64_t calls = 0;
    };

    void CallFsInit();
    void CallFsGetDefRootName();
    void CallFsFindFirst();
    void CallFsFindNext();
    void CallFsFindClose();
    // One FsFindNext, as the host makes it on its own or to go on with a listing.
    bool FindNextStep(const OpenListing& listing);
    void CheckFindRecord(const WIN32_FIND_DATAA& record);
    // Counts a call made as part of another driver's sequence.
    void Tally(const char* exportName);
    void CallFsMkDir();
    void CallFsRemoveDir();
    void CallFsDeleteFile();
    void CallFsRenMovFile();
    void CallFsExecuteFile();
    void CallFsGetFile();
    void CallFsPutFile();

    HostText RandomPath() {
        return random_.Percent(4) ? HostText::Null() : HostText(RandomHostPath(random_));
    }
    // A local file name for a transfer: null, absent (inside a folder that
    // does not exist, so a move's deletion cannot reach anything), or, where
    // `existing` allows, a file that exists.
    HostText RandomLocalName(bool existing);
    int RandomCopyFlags();
    // Runs one transfer export with the host's progress callback watching.
    // A placeholder download is refused as not supported, like resuming.
    template <typename Call>
    void Transfer(int copyFlags, bool placeholder, Call&& call);
    // The listings the check before a change may make: of each folder the
    // path runs through, up to the entry's own.
    std::vector<AllowedCall> FolderListings(const HostText& path) const;
    // A listing handle as the host may pass it: mostly one the plugin gave
    // out and has not closed, else one it never gave out or closed before.
    OpenListing RandomListing() {
        if (!open_.empty() && random_.Percent(85)) return random_.Pick(open_);
        if (!closed_.empty() && random_.Percent(50)) return {random_.Pick(closed_), PathLevel::Root, 0};
        return {reinterpret_cast<HANDLE>(static_cast<INT_PTR>(random_.Below(3)) - 1), PathLevel::Root, 0};
    }
    bool IsOpen(HANDLE handle) const {
        return std::any_of(open_.begin(), open_.end(),
                           [&](const OpenListing& listing) { return listing.handle == handle; });
    }
    // The plugin's listing of `handle` is closed, by the host or to make room.
    void Closed(HANDLE handle);
    int TakePostedNotices();
    PathModel ModelOf(const HostText& text) const {
        return ModelParse(text.Text(), *codePage_->leadBytes);
    }
    bool Nameable(const HostText& text) const { return !text.IsNull() && ModelOf(text).Fits(); }
    void Note(const char* name, const HostText& text) { notes_.push_back({name, &text}); }
    void Require(bool condition, const std::string& what) {
        if (!condition) Fail(what);
    }
    void Fail(const std::string& what);
    // The checks every call ends with.
    void Verify();

    Random random_;
    FuzzPlan plan_;
    ScriptedEngine engine_;
    EngineRegistration registration_;
    HWND window_ = CreateWindowExA(0, "STATIC", "host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   nullptr, nullptr);
    std::string existingLocalFile_;
    const CodePage* codePage_ = &kCodePages[0];
    std::vector<EntryPoint> entryPoints_ = {
        {"FsInit", &EntryPointFuzzer::CallFsInit, 2},
        {"FsGetDefRootName", &EntryPointFuzzer::CallFsGetDefRootName, 4},
        {"FsFindFirst", &EntryPointFuzzer::CallFsFindFirst, 12},
        {"FsFindNext", &EntryPointFuzzer::CallFsFindNext, 4},
        {"FsFindClose", &EntryPointFuzzer::CallFsFindClose, 2},
        {"FsMkDir", &EntryPointFuzzer::CallFsMkDir, 8},
        {"FsRemoveDir", &EntryPointFuzzer::CallFsRemoveDir, 8},
        {"FsDeleteFile", &EntryPointFuzzer::CallFsDeleteFile, 8},
        {"FsRenMovFile", &EntryPointFuzzer::CallFsRenMovFile, 10},
        {"FsExecuteFile", &EntryPointFuzzer::CallFsExecuteFile, 8},
        {"FsGetFile", &EntryPointFuzzer::CallFsGetFile, 10},
        {"FsPutFile", &EntryPointFuzzer::CallFsPutFile, 8},
    };
    std::vector<std::pair<const char*, const HostText*>> notes_;
    std::string finding_;
    std::vector<OpenListing> open_;  // in the order they were opened
    std::vector<HANDLE> closed_;     // some closed ones, to pass again
    // The transfer under way, as the host's progress callback sees it.
    bool inTransfer_ = false;
    int reports_ = 0;
    int lastPercent_ = 0;
    std::uint64_t totalReports_ = 0;
};

void EntryPointFuzzer::Run(std::uint64_t calls) {
    std::uint32_t totalWeight = 0;
    for (const EntryPoint& entryPoint : entryPoints_) totalWeight += entryPoint.weight;
    for (std::uint64_t i = 0; i < calls && finding_.empty(); ++i) {
        g_iteration = i;
        codePage_ = &random_.Pick(kCodePages);
        SetThreadLocale(codePage_->locale);
        std::uint32_t roll = random_.Below(totalWeight);
        EntryPoint* chosen = &entryPoints_.front();
        for (EntryPoint& entryPoint : entryPoints_) {
            if (roll < entryPoint.weight) {
                chosen = &entryPoint;
                break;
            }
            roll -= entryPoint.weight;
        }
        g_exportName = chosen->name;
        ++chosen->calls;
        notes_.clear();
        (this->*chosen->driver)();
    }
    SetThreadLocale(kCodePages[0].locale);
}

void EntryPointFuzzer::PrintTally(double seconds) const {
    std::uint64_t total = 0;
    for (const EntryPoint& entryPoint : entryPoints_) {
        std::printf("  %-18s %10llu calls\n", entryPoint.name,
                    static_cast<unsigned long long>(entryPoint.calls));
        total += entryPoint.calls;
    }
    std::printf("  %llu entry-point calls, %llu engine calls, %llu events, %llu progress reports, %.1f s\n",
                static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(plan_.totalEngineCalls),
                static_cast<unsigned long long>(plan_.eventsFired),
                static_cast<unsigned long long>(totalReports_), seconds);
}

void EntryPointFuzzer::Fail(const std::string& what) {
    if (!finding_.empty()) return;
    finding_ = std::string(g_exportName) + ", call " + std::to_string(g_iteration) + " of seed " +
               std::to_string(g_seed) + ", code page " +
               (codePage_->leadBytes == &kCodePage932 ? "932" : "1252") + ": " + what;
    for (const auto& note : notes_) {
        finding_ += "\n  " + std::string(note.first) + " = " +
                    (note.second->IsNull() ? std::string("(null)")
                                           : "\"" + Printable(note.second->Text()) + "\"");
    }
}

void EntryPointFuzzer::Verify() {
    if (!plan_.Finding().empty()) Fail(plan_.Finding());
    for (const auto& note : notes_) {
        Require(note.second->Intact(), std::string(note.first) + " or the bytes after it changed");
    }
    Require(g_liveFakeItems == 0, std::to_string(g_liveFakeItems) + " engine entries left alive");
}

int EntryPointFuzzer::OnProgress(const char* source, const char* target, int percent) {
    for (const char* text : {source, target}) {
        Require(text == nullptr || strnlen(text, 4096) < 4096, "unterminated text reported");
    }
    ++reports_;
    ++totalReports_;
    lastPercent_ = percent;
    if (!inTransfer_) return random_.Percent(20);  // bucket copies do not heed it
    if (reports_ > kReportsBeforeAbort) return 1;
    const std::uint32_t roll = random_.Below(100);
    if (roll < 15) return 1;
    if (roll < 80) engine_.FireProgress(L"C:\\local", L"\\remote", 100);
    return 0;
}

int __stdcall HostProgress(int, char* source, char* target, int percent) {
    OutsidePluginScope host;
    return g_fuzzer->OnProgress(source, target, percent);
}
void __stdcall HostLog(int, int, char*) { g_fuzzer->OnForbiddenCallback("log"); }
BOOL __stdcall HostRequest(int, int, char*, char*, char*, int) {
    g_fuzzer->OnForbiddenCallback("request");
    return FALSE;
}

// ---- FsInit and FsGetDefRootName

void EntryPointFuzzer::CallFsInit() {
    if (random_.Percent(70)) {
        registration_.OfferProgId();
    } else {
        registration_.WithdrawProgId();
    }
    plan_.Expect({});
    const int result = FsInit(static_cast<int>(random_.Below(1000)),
                              random_.Percent(95) ? &HostProgress : nullptr,
                              random_.Percent(50) ? &HostLog : nullptr,
                              random_.Percent(50) ? &HostRequest : nullptr);
    Require(result == (registration_.Registered() ? 0 : -1),
            "FsInit gave " + std::to_string(result));
    if (result == 0) {
        Require(GetPluginState().engine == static_cast<IStorageBrowser*>(&engine_) &&
                    GetPluginState().progress != nullptr && engine_.HasSink(),
                "started without the engine, the record or the connected sink");
    }
    Verify();
}

void EntryPointFuzzer::CallFsGetDefRootName() {
    static const int kSizes[] = {-5, 0, 1, 2, 8, 9, 10, 260};
    constexpr char kRootName[] = "Corvanel";
    const int maxlen = random_.Percent(70) ? random_.Pick(kSizes) : static_cast<int>(random_.Below(300));
    unsigned char buffer[kGuardBytes + 300];
    std::memset(buffer, kGuard, sizeof(buffer));
    char* name = reinterpret_cast<char*>(buffer + kGuardBytes);
    FsGetDefRootName(random_.Percent(3) ? nullptr : name, maxlen);

    const std::size_t writable = maxlen > 0 ? static_cast<std::size_t>(maxlen) : 0;
    for (std::size_t i = 0; i < sizeof(buffer); ++i) {
        if (i >= kGuardBytes && i < kGuardBytes + writable) continue;
        if (buffer[i] != kGuard) {
            Fail("byte " + std::to_string(static_cast<long>(i) - static_cast<long>(kGuardBytes)) +
                 " written with maxlen " + std::to_string(maxlen));
            return;
        }
    }
    if (writable == 0 || buffer[kGuardBytes] == kGuard) return;  // a null buffer stays untouched
    const std::size_t length = strnlen(name, writable);
    Require(length < writable, "root name not terminated inside maxlen " + std::to_string(maxlen));
    Require(std::strncmp(name, kRootName, length) == 0 &&
                (length == sizeof(kRootName) - 1 || writable < sizeof(kRootName)),
            "root name \"" + std::string(name, length) + "\" with maxlen " + std::to_string(maxlen));
}

// ---- Listing

void EntryPointFuzzer::Tally(const char* exportName) {
    g_exportName = exportName;
    for (EntryPoint& entryPoint : entryPoints_) {
        if (std::strcmp(entryPoint.name, exportName) == 0) ++entryPoint.calls;
    }
}

void EntryPointFuzzer::CheckFindRecord(const WIN32_FIND_DATAA& record) {
    const std::size_t nameLength = strnlen(record.cFileName, MAX_PATH);
    Require(nameLength < MAX_PATH, "cFileName not terminated");
    const std::string name(record.cFileName, nameLength);
    const bool placeholder = PathModel::IsPlaceholderText(name);
    Require(placeholder || nameLength <= kRemoteTextLimit,
            "an engine name of " + std::to_string(nameLength) + " bytes delivered");
    Require(record.dwFileAttributes == FILE_ATTRIBUTE_NORMAL ||
                (!placeholder && record.dwFileAttributes == FILE_ATTRIBUTE_DIRECTORY),
            "attributes " + std::to_string(record.dwFileAttributes));
    static const char kZeros[sizeof(record.cAlternateFileName)] = {};
    Require(record.ftCreationTime.dwLowDateTime == 0 && record.ftCreationTime.dwHighDateTime == 0 &&
                record.ftLastAccessTime.dwLowDateTime == 0 &&
                record.ftLastAccessTime.dwHighDateTime == 0 && record.dwReserved0 == 0 &&
                record.dwReserved1 == 0 &&
                std::memcmp(record.cAlternateFileName, kZeros, sizeof(kZeros)) == 0,
            "fields the listing never fills are not zero");
}

void EntryPointFuzzer::Closed(HANDLE handle) {
    const auto found = std::find_if(open_.begin(), open_.end(),
                                    [&](const OpenListing& listing) { return listing.handle == handle; });
    if (found == open_.end()) return;
    open_.erase(found);
    if (closed_.size() < 16) closed_.push_back(handle);
}

void EntryPointFuzzer::CallFsFindFirst() {
    HostText path = RandomPath();
    Note("Path", path);
    Guarded<WIN32_FIND_DATAA> findData;
    const bool nullRecord = random_.Percent(3);
    plan_.Expect(Nameable(path) && !nullRecord ? ListingCalls(ModelOf(path)) : std::vector<AllowedCall>{});
    plan_.ExpectNextCookie(0);  // FsFindFirst starts from 0 when the First call leaves it
    HANDLE handle = FsFindFirst(path.Get(), nullRecord ? nullptr : findData.Get());
    Require(findData.GuardsIntact(), "bytes around the find record changed");
    if (handle != INVALID_HANDLE_VALUE) {
        Require(handle != nullptr && !IsOpen(handle),
                "handle " + std::to_string(reinterpret_cast<INT_PTR>(handle)) + " given out twice");
        CheckFindRecord(*findData.Get());
        // Past the bound, the plugin closes its oldest listing.
        if (open_.size() == OpenListings::kMostOpen) Closed(open_.front().handle);
        open_.push_back({handle, ModelOf(path).level, plan_.NextCookie()});
    }
    Verify();
    // The host often reads the listing to its end, and closes it; a file
    // manager that walks a tree opens the next listing inside this one.
    if (handle != INVALID_HANDLE_VALUE && random_.Percent(60)) {
        const OpenListing listing = open_.back();
        for (int i = 0; i < 20 && finding_.empty(); ++i) {
            Tally("FsFindNext");
            if (!FindNextStep(listing)) break;
        }
    }
    if (random_.Percent(50)) {
        Tally("FsFindClose");
        CallFsFindClose();
    }
}

bool EntryPointFuzzer::FindNextStep(const OpenListing& listing) {
    Guarded<WIN32_FIND_DATAA> findData;
    const bool nullRecord = random_.Percent(3);
    const bool open = IsOpen(listing.handle);
    std::vector<AllowedCall> allowed;
    if (!nullRecord && open) allowed.push_back(Allow(NextOperationAt(listing.level)));
    plan_.Expect(allowed);
    plan_.ExpectNextCookie(listing.cookie);
    const BOOL result = FsFindNext(listing.handle, nullRecord ? nullptr : findData.Get());
    Require(result == TRUE || result == FALSE, "result " + std::to_string(result));
    Require(result == FALSE || open, "a listing that is not open went on");
    Require(findData.GuardsIntact(), "bytes around the find record changed");
    if (result == TRUE) CheckFindRecord(*findData.Get());
    Verify();
    return result == TRUE;
}

void EntryPointFuzzer::CallFsFindNext() { FindNextStep(RandomListing()); }

void EntryPointFuzzer::CallFsFindClose() {
    plan_.Expect({});
    const HANDLE handle = RandomListing().handle;
    const int result = FsFindClose(handle);
    Require(result == 0, "result " + std::to_string(result));
    Closed(handle);
    Verify();
}

// ---- Namespace changes

void EntryPointFuzzer::CallFsDeleteFile() {
    HostText path = RandomPath();
    Note("RemoteName", path);
    const PathModel model = ModelOf(path);
    std::vector<AllowedCall> allowed;
    if (Nameable(path) && !model.NamesPlaceholder()) allowed.push_back(Allow(EngineOp::DeleteObject, model));
    plan_.Expect(allowed);
    const BOOL result = FsDeleteFile(path.Get());
    Require(result == TRUE || result == FALSE, "result " + std::to_string(result));
    Require(result == FALSE || plan_.LastAgreed() ||
                (plan_.EngineCalls() == 0 && Nameable(path) && model.NamesPlaceholder()),
            "reported a deletion the engine did not agree to");
    Verify();
}

void EntryPointFuzzer::CallFsMkDir() {
    HostText path = RandomPath();
    Note("Path", path);
    const PathModel model = ModelOf(path);
    std::vector<AllowedCall> allowed;
    if (Nameable(path)) {
        const EngineOp op = model.level == PathLevel::Account ? EngineOp::CreateAccount
                            : model.level == PathLevel::Bucket ? EngineOp::CreateBucket
                                                               : EngineOp::CreateFolder;
        allowed.push_back(Allow(op, model));
    }
    plan_.Expect(allowed);
    const BOOL result = FsMkDir(path.Get());
    Require(result == TRUE || result == FALSE, "result " + std::to_string(result));
    Require(result == FALSE || plan_.LastAgreed(), "reported a creation the engine did not agree to");
    Verify();
}

void EntryPointFuzzer::CallFsRemoveDir() {
    HostText path = RandomPath();
    Note("RemoteName", path);
    const PathModel model = ModelOf(path);
    // A folder goes as the object named by the host's text with "/" added.
    const PathModel folder = ModelParse(path.Text() + "/", *codePage_->leadBytes);
    const bool folderPlaceholder = folder.Fits() && folder.NamesPlaceholder();
    std::vector<AllowedCall> allowed;
    if (Nameable(path)) {
        switch (model.level) {
        case PathLevel::Root: break;
        case PathLevel::Account: {
            AllowedCall call = Allow(EngineOp::DeleteAccount);
            call.name = model.account;
            allowed.push_back(call);
            break;
        }
        case PathLevel::Bucket: allowed.push_back(Allow(EngineOp::DeleteBucket, model)); break;
        case PathLevel::Object:
            if (folder.Fits() && !folderPlaceholder) allowed.push_back(Allow(EngineOp::DeleteObject, folder));
            break;
        }
    }
    plan_.Expect(allowed);
    const BOOL result = FsRemoveDir(path.Get());
    Require(result == TRUE || result == FALSE, "result " + std::to_string(result));
    Require(result == FALSE || plan_.LastAgreed() ||
                (plan_.EngineCalls() == 0 && model.level == PathLevel::Object && folderPlaceholder),
            "reported a removal the engine did not agree to");
    Verify();
}

void EntryPointFuzzer::CallFsRenMovFile() {
    static const BOOL kMoves[] = {FALSE, TRUE, 2, -1};
    HostText oldName = RandomPath();
    // Targets often share the source's start, so levels often agree.
    HostText newName = random_.Percent(40) || oldName.IsNull()
                           ? RandomPath()
                           : HostText(oldName.Text().substr(0, random_.Below(static_cast<std::uint32_t>(oldName.Text().size()) + 1)) +
                                      RandomHostPath(random_));
    Note("OldName", oldName);
    Note("NewName", newName);
    const BOOL move = random_.Pick(kMoves);
    RemoteInfoStruct info{random_.Below(1000), 0, {1, 2}, random_.Percent(30) ? 0x10 : 0x20};
    const RemoteInfoStruct infoBefore = info;
    const bool withInfo = random_.Percent(95);

    const PathModel from = ModelOf(oldName);
    const PathModel to = ModelOf(newName);
    const bool same = from.account == to.account && from.bucket == to.bucket && from.key == to.key;
    std::vector<AllowedCall> allowed;
    if (Nameable(oldName) && Nameable(newName) && !same && !from.NamesPlaceholder() &&
        !to.NamesPlaceholder() && from.level == to.level) {
        AllowedCall call = Allow(EngineOp::CopyObject, from);
        call.target = to;
        call.move = move;
        switch (from.level) {
        case PathLevel::Account:
            call = Allow(EngineOp::RenameAccount);
            call.name = from.account;
            call.newName = to.account;
            break;
        case PathLevel::Bucket: call.op = EngineOp::CopyBucket; break;
        default:
            if (withInfo && (info.Attr & FILE_ATTRIBUTE_DIRECTORY) != 0) call.op = EngineOp::CopyFolder;
            break;
        }
        allowed.push_back(call);
        const std::vector<AllowedCall> check = FolderListings(newName);
        allowed.insert(allowed.end(), check.begin(), check.end());
    }
    plan_.Expect(allowed);
    const int result = FsRenMovFile(oldName.Get(), newName.Get(), move, random_.Percent(50),
                                    withInfo ? &info : nullptr);
    Require(result == FS_FILE_OK || result == FS_FILE_EXISTS || result == FS_FILE_READERROR ||
                result == FS_FILE_NOTSUPPORTED,
            "result " + std::to_string(result));
    Require(result != FS_FILE_OK || plan_.LastAgreed() || (plan_.EngineCalls() == 0 && same),
            "reported a change the engine did not agree to");
    Require(result != FS_FILE_EXISTS || plan_.ChangeCalls() == 0, "FS_FILE_EXISTS after a change");
    Require(std::memcmp(&info, &infoBefore, sizeof(info)) == 0, "RemoteInfo changed");
    Verify();
}

int EntryPointFuzzer::TakePostedNotices() {
    int notices = 0;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_COMMAND && msg.wParam == kRereadCommand && msg.lParam == 0) ++notices;
    }
    return notices;
}

void EntryPointFuzzer::CallFsExecuteFile() {
    HostText path = RandomPath();
    HostText verb = random_.Percent(3) ? HostText::Null() : HostText(RandomVerb(random_));
    Note("RemoteName", path);
    Note("Verb", verb);
    const HWND mainWin = random_.Percent(90) ? window_ : reinterpret_cast<HWND>(0x1234);
    const PathModel model = ModelOf(path);
    const bool open = !verb.IsNull() && verb.Text() == "open";
    const bool properties = !verb.IsNull() && verb.Text() == "properties";
    std::vector<AllowedCall> allowed;
    if (Nameable(path) && open) {
        if (model.account == kAddAccountPlaceholder) {
            allowed.push_back(Allow(EngineOp::CreateAccount, WithoutAccount(model)));
        } else if (model.bucket == kCreateBucketPlaceholder) {
            allowed.push_back(Allow(EngineOp::CreateBucket, WithoutBucket(model)));
        }
    }
    if (Nameable(path) && properties && model.level == PathLevel::Root) {
        allowed.push_back(Allow(EngineOp::ShowRootProperties));
    }
    if (Nameable(path) && properties && model.level == PathLevel::Account) {
        allowed.push_back(Allow(EngineOp::ShowAccountProperties));
    }
    plan_.Expect(allowed);
    const int result = FsExecuteFile(mainWin, path.Get(), verb.Get());
    Require(result == FS_EXEC_OK || (result == FS_EXEC_YOURSELF && open) ||
                (result == FS_EXEC_ERROR && !Nameable(path)),
            "result " + std::to_string(result));
    // "open" is handed back to the host unless it names a placeholder entry.
    Require(!open || !Nameable(path) || (result == FS_EXEC_YOURSELF) == allowed.empty(),
            "\"open\" gave " + std::to_string(result));
    const int notices = TakePostedNotices();
    const bool created = open && plan_.EngineCalls() > 0;
    Require(notices == (created && mainWin == window_ ? 1 : 0),
            std::to_string(notices) + " notices posted after " + std::to_string(plan_.EngineCalls()) +
                " engine calls");
    Verify();
}

// ---- Transfers

HostText EntryPointFuzzer::RandomLocalName(bool existing) {
    if (random_.Percent(3)) return HostText::Null();
    if (existing && random_.Percent(10)) return HostText(existingLocalFile_);
    return HostText("C:\\corvanel-fuzz-absent\\" + RandomFileText(random_));
}

int EntryPointFuzzer::RandomCopyFlags() {
    if (random_.Percent(5)) return static_cast<int>(random_.Next());
    int flags = 0;
    for (int flag : {FS_COPYFLAGS_OVERWRITE, FS_COPYFLAGS_RESUME, FS_COPYFLAGS_MOVE,
                     FS_COPYFLAGS_EXISTS_SAMECASE, FS_COPYFLAGS_EXISTS_DIFFERENTCASE}) {
        if (random_.Percent(flag == FS_COPYFLAGS_RESUME ? 8 : 25)) flags |= flag;
    }
    return flags;
}

std::vector<AllowedCall> EntryPointFuzzer::FolderListings(const HostText& path) const {
    std::vector<AllowedCall> calls = ListingCalls(PathModel{});  // a path without a backslash
    const std::string& text = path.Text();
    for (std::size_t i = 0; i < text.size();) {
        const bool lead = codePage_->leadBytes->IsLeadByte(static_cast<unsigned char>(text[i]));
        if (text[i] == '\\') {
            const std::vector<AllowedCall> listing =
                ListingCalls(ModelParse(text.substr(0, i), *codePage_->leadBytes));
            calls.insert(calls.end(), listing.begin(), listing.end());
        }
        i += lead && i + 1 < text.size() ? 2 : 1;
    }
    return calls;
}

template <typename Call>
void EntryPointFuzzer::Transfer(int copyFlags, bool placeholder, Call&& call) {
    inTransfer_ = true;
    reports_ = 0;
    lastPercent_ = -1;
    const int result = call();
    inTransfer_ = false;
    Require(result == FS_FILE_OK || result == FS_FILE_EXISTS || result == FS_FILE_READERROR ||
                result == FS_FILE_USERABORT || result == FS_FILE_NOTSUPPORTED,
            "result " + std::to_string(result));
    Require(result != FS_FILE_OK || lastPercent_ == 100,
            "finished with a last report of " + std::to_string(lastPercent_));
    Require(result != FS_FILE_USERABORT || reports_ > 0, "aborted without asking the host");
    // Resuming is refused before anything else happens.
    const bool refused = result == FS_FILE_NOTSUPPORTED && plan_.EngineCalls() == 0 && reports_ == 0;
    Require((copyFlags & FS_COPYFLAGS_RESUME) == 0 || refused,
            "resume flag gave " + std::to_string(result) + " after " + std::to_string(reports_) +
                " reports");
    Require(result != FS_FILE_NOTSUPPORTED || (refused && (placeholder || (copyFlags & FS_COPYFLAGS_RESUME))),
            "not supported after " + std::to_string(reports_) + " reports");
    Require(result != FS_FILE_EXISTS || (plan_.ChangeCalls() == 0 && reports_ == 0),
            "FS_FILE_EXISTS after a report or a change");
}

void EntryPointFuzzer::CallFsGetFile() {
    HostText remoteName = RandomPath();
    HostText localName = RandomLocalName(true);
    Note("RemoteName", remoteName);
    Note("LocalName", localName);
    const int flags = RandomCopyFlags();
    RemoteInfoStruct info{static_cast<DWORD>(random_.Next()), random_.Below(3), {3, 4}, 0x20};
    const RemoteInfoStruct infoBefore = info;
    const bool withInfo = random_.Percent(95);

    const PathModel model = ModelOf(remoteName);
    std::vector<AllowedCall> allowed;
    if (Nameable(remoteName) && !model.NamesPlaceholder() && !localName.IsNull()) {
        AllowedCall download = Allow(EngineOp::DownloadObject, model);
        download.name = localName.Text();
        download.size = withInfo ? static_cast<std::int64_t>((std::uint64_t{info.SizeHigh} << 32) |
                                                             info.SizeLow)
                                 : 0;
        allowed.push_back(download);
        if ((flags & FS_COPYFLAGS_MOVE) != 0) allowed.push_back(Allow(EngineOp::DeleteObject, model));
    }
    plan_.Expect(allowed);
    Transfer(flags, Nameable(remoteName) && model.NamesPlaceholder(), [&] {
        return FsGetFile(remoteName.Get(), localName.Get(), flags, withInfo ? &info : nullptr);
    });
    Require(std::memcmp(&info, &infoBefore, sizeof(info)) == 0, "RemoteInfo changed");
    Verify();
}

void EntryPointFuzzer::CallFsPutFile() {
    HostText localName = RandomLocalName(false);
    HostText remoteName = RandomPath();
    Note("LocalName", localName);
    Note("RemoteName", remoteName);
    const int flags = RandomCopyFlags();
    const PathModel model = ModelOf(remoteName);
    std::vector<AllowedCall> allowed;
    if (Nameable(remoteName) && model.level == PathLevel::Object && !localName.IsNull()) {
        AllowedCall upload = Allow(EngineOp::UploadObject, model);
        upload.name = localName.Text();
        allowed.push_back(upload);
        const std::vector<AllowedCall> check = FolderListings(remoteName);
        allowed.insert(allowed.end(), check.begin(), check.end());
    }
    plan_.Expect(allowed);
    Transfer(flags, false, [&] { return FsPutFile(localName.Get(), remoteName.Get(), flags); });
    Verify();
}

}  // namespace

TEST(EntryPointFuzz, RandomCallsStayWithinEveryExportsContract) {
    g_seed = FromEnvironment("CORVANEL_FUZZ_SEED", kDefaultSeed);
    const std::uint64_t calls = FromEnvironment("CORVANEL_FUZZ_CALLS", kDefaultCalls);
    std::printf("entry-point fuzz: seed %llu, %llu calls\n", static_cast<unsigned long long>(g_seed),
                static_cast<unsigned long long>(calls));
    std::fflush(stdout);
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    void* faultReporter = AddVectoredExceptionHandler(1, &ReportFault);
    {
        EntryPointFuzzer fuzzer(g_seed);
        ASSERT_TRUE(fuzzer.Start()) << "FsInit did not find the served engine";
        const auto start = std::chrono::steady_clock::now();
        fuzzer.Run(calls);
        fuzzer.PrintTally(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        EXPECT_TRUE(fuzzer.Finding().empty()) << fuzzer.Finding();
    }
    RemoveVectoredExceptionHandler(faultReporter);
    CoUninitialize();
}
