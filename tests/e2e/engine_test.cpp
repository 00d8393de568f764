// The reference engine as registered: created by its ProgID, called through
// IStorageBrowser, with the store's folder checked after every change.
#include <gtest/gtest.h>
#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/bstr.h"
#include "engine/srw_lock.h"
#include "engine/storage_browser.h"
#include "path/remote_path.h"
#include "tests/e2e/e2e_support.h"

using Microsoft::WRL::ComPtr;

namespace {

// A host path parsed as the plugin parses it.
class At {
public:
    explicit At(const char* hostPath) {
        PathLevel level;
        EXPECT_TRUE(SplitRemotePath(hostPath, &level, path_.Record())) << hostPath;
    }
    RemotePath Record() { return path_.Record(); }

private:
    OwnedRemotePath path_;
};

// Records the engine's progress events with the thread they arrive on.
class RecordingSink final : public IDispatch {
public:
    struct Event {
        DWORD thread;
        LONG percent;
        std::string remote, local;
    };

    RecordingSink() : done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~RecordingSink() { CloseHandle(done_); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
            !IsEqualIID(riid, __uuidof(IStorageBrowserEvents))) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs_); }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        EXPECT_EQ(3u, params->cArgs);
        const VARIANT& percent = params->rgvarg[0];  // last-first
        const VARIANT& remote = params->rgvarg[1];
        const VARIANT& local = params->rgvarg[2];
        EXPECT_EQ(VT_I4, V_VT(&percent));
        EXPECT_EQ(VT_BSTR, V_VT(&remote));
        EXPECT_EQ(VT_BSTR, V_VT(&local));
        SrwLock::Exclusive guard(lock_);
        events_.push_back({GetCurrentThreadId(), V_I4(&percent), ToAnsi(V_BSTR(&remote)),
                           ToAnsi(V_BSTR(&local))});
        if (V_I4(&percent) >= 100) SetEvent(done_);
        return S_OK;
    }

    // Waits for a 100 event; the bound only keeps a broken engine from
    // hanging the run.
    bool WaitForEnd() { return WaitForSingleObject(done_, 60000) == WAIT_OBJECT_0; }
    void Rearm() { ResetEvent(done_); }
    std::vector<Event> Events() {
        SrwLock::Exclusive guard(lock_);
        return events_;
    }

private:
    LONG refs_ = 1;
    HANDLE done_;
    SrwLock lock_;
    std::vector<Event> events_;
};

ComPtr<IStorageBrowser> CreateRegisteredEngine() {
    CoInitialize(nullptr);
    CLSID engineClass;
    ComPtr<IStorageBrowser> engine;
    EXPECT_EQ(S_OK, CLSIDFromProgID(kEngineProgId, &engineClass));
    EXPECT_EQ(S_OK, CoCreateInstance(engineClass, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&engine)));
    return engine;
}

class EngineTest : public E2eTest {
protected:
    void SetUp() override {
        E2eTest::SetUp();
        MakeStore(kSampleStore);
        engine = CreateRegisteredEngine();
        ASSERT_TRUE(engine);
    }
    void TearDown() override {
        engine.Reset();
        E2eTest::TearDown();
    }

    // "name kind size" for every entry of a listing.
    std::vector<std::string> Drain(HRESULT hr, ListingCookie cookie, StorageItem* first,
                                   HRESULT (STDMETHODCALLTYPE IStorageBrowser::*next)(ListingCookie, StorageItem**)) {
        EXPECT_EQ(S_OK, hr);
        std::vector<std::string> entries;
        while (first != nullptr) {
            ComPtr<StorageItem> item;
            item.Attach(first);  // the engine's reference is ours to release
            UniqueBstr name;
            LONG kind = -1;
            LONGLONG size = -1;
            EXPECT_EQ(S_OK, item->get_Name(name.Put()));
            EXPECT_EQ(S_OK, item->get_Kind(&kind));
            EXPECT_EQ(S_OK, item->get_Size(&size));
            entries.push_back(ToAnsi(name.Get()) + " " + std::to_string(kind) + " " +
                              std::to_string(size));
            first = nullptr;
            EXPECT_EQ(S_OK, (engine.Get()->*next)(cookie, &first));
        }
        return entries;
    }

    ComPtr<IStorageBrowser> engine;
};

TEST_F(EngineTest, ListingsShowAccountsBucketsAndFolderContentsWithKindsAndSizes) {
    ListingCookie cookie = 0;
    StorageItem* first = nullptr;
    HRESULT hr = engine->FirstAccount(&cookie, &first);
    EXPECT_EQ((std::vector<std::string>{"play 0 0", "work 0 0"}),
              Drain(hr, cookie, first, &IStorageBrowser::NextAccount));
    hr = engine->FirstBucket(At("\\work").Record(), &cookie, &first);
    EXPECT_EQ((std::vector<std::string>{"docs 1 0", "photos 1 0"}),
              Drain(hr, cookie, first, &IStorageBrowser::NextBucket));
    hr = engine->FirstObject(At("\\work\\photos").Record(), &cookie, &first);
    EXPECT_EQ((std::vector<std::string>{"2009 2 0", "a.jpg 3 1", "empty 2 0"}),
              Drain(hr, cookie, first, &IStorageBrowser::NextObject));
    hr = engine->FirstObject(At("\\work\\photos\\2009").Record(), &cookie, &first);
    EXPECT_EQ((std::vector<std::string>{"b.jpg 3 1"}),
              Drain(hr, cookie, first, &IStorageBrowser::NextObject));

    // Empty lists: no item; a missing account also says so through -1.
    EXPECT_EQ(S_OK, engine->FirstBucket(At("\\play").Record(), &cookie, &first));
    EXPECT_EQ(nullptr, first);
    EXPECT_NE(-1, cookie);
    EXPECT_EQ(S_OK, engine->FirstBucket(At("\\nobody").Record(), &cookie, &first));
    EXPECT_EQ(nullptr, first);
    EXPECT_EQ(-1, cookie);
    EXPECT_EQ(S_OK, engine->FirstObject(At("\\work\\docs").Record(), &cookie, &first));
    EXPECT_EQ(nullptr, first);
    EXPECT_TRUE(FAILED(engine->FirstObject(At("\\work\\photos\\a.jpg").Record(), &cookie, &first)));
}

TEST_F(EngineTest, EntryDatesAreTheFilesLastWriteTimes) {
    WIN32_FILE_ATTRIBUTE_DATA file;
    ASSERT_TRUE(GetFileAttributesExA(Store("work\\photos\\a.jpg").c_str(), GetFileExInfoStandard,
                                     &file));
    SYSTEMTIME expected, listed;
    FileTimeToSystemTime(&file.ftLastWriteTime, &expected);
    ListingCookie cookie = 0;
    ComPtr<StorageItem> item;
    ASSERT_EQ(S_OK, engine->FirstObject(At("\\work\\photos").Record(), &cookie, &item));  // 2009
    ASSERT_EQ(S_OK, engine->NextObject(cookie, item.ReleaseAndGetAddressOf()));  // a.jpg
    ASSERT_TRUE(item);
    DATE date = 0;
    ASSERT_EQ(S_OK, item->get_Date(&date));
    ASSERT_TRUE(VariantTimeToSystemTime(date, &listed));
    EXPECT_EQ(expected.wYear, listed.wYear);
    EXPECT_EQ(expected.wMonth, listed.wMonth);
    EXPECT_EQ(expected.wDay, listed.wDay);
    EXPECT_EQ(expected.wHour, listed.wHour);
    EXPECT_EQ(expected.wMinute, listed.wMinute);
}

using Change = std::function<HRESULT(IStorageBrowser&, VARIANT_BOOL*)>;

Change Create(HRESULT (STDMETHODCALLTYPE IStorageBrowser::*operation)(RemotePath, VARIANT_BOOL*), const char* path) {
    return [=](IStorageBrowser& engine, VARIANT_BOOL* ok) {
        return (engine.*operation)(At(path).Record(), ok);
    };
}

Change Copy(HRESULT (STDMETHODCALLTYPE IStorageBrowser::*operation)(RemotePath, RemotePath, LONG, VARIANT_BOOL*),
            const char* from, const char* to, LONG move) {
    return [=](IStorageBrowser& engine, VARIANT_BOOL* ok) {
        return (engine.*operation)(At(from).Record(), At(to).Record(), move, ok);
    };
}

Change Named(HRESULT (STDMETHODCALLTYPE IStorageBrowser::*operation)(BSTR, VARIANT_BOOL*), const char* name) {
    return [=](IStorageBrowser& engine, VARIANT_BOOL* ok) {
        return (engine.*operation)(ToBstr(name).Get(), ok);
    };
}

Change Rename(const char* from, const char* to) {
    return [=](IStorageBrowser& engine, VARIANT_BOOL* ok) {
        return engine.RenameAccount(ToBstr(from).Get(), ToBstr(to).Get(), ok);
    };
}

struct ChangeCase {
    const char* what;
    Change change;
    std::vector<std::string> added, removed;  // agreed when either is set
};

using I = IStorageBrowser;
const std::vector<std::string> kPhotos = {"work\\photos\\", "work\\photos\\2009\\",
                                          "work\\photos\\2009\\b.jpg", "work\\photos\\a.jpg",
                                          "work\\photos\\empty\\"};

const ChangeCase kChanges[] = {
    {"new account", Create(&I::CreateAccount, "\\new"), {"new\\"}, {}},
    {"account from the placeholder", Create(&I::CreateAccount, "\\"), {"account-1\\"}, {}},
    {"new bucket", Create(&I::CreateBucket, "\\work\\new"), {"work\\new\\"}, {}},
    {"bucket from the placeholder", Create(&I::CreateBucket, "\\play"), {"play\\bucket-1\\"}, {}},
    {"new folder", Create(&I::CreateFolder, "\\work\\photos\\2010"), {"work\\photos\\2010\\"}, {}},
    {"delete object", Create(&I::DeleteObject, "\\work\\photos\\a.jpg"), {}, {"work\\photos\\a.jpg"}},
    {"delete empty bucket", Create(&I::DeleteBucket, "\\work\\docs"), {}, {"work\\docs\\"}},
    {"delete empty account", Named(&I::DeleteAccount, "play"), {}, {"play\\"}},
    {"copy object, folders made on the way",
     Copy(&I::CopyObject, "\\work\\photos\\a.jpg", "\\work\\photos\\2011\\c.jpg", 0),
     {"work\\photos\\2011\\", "work\\photos\\2011\\c.jpg"}, {}},
    {"move object to another bucket",
     Copy(&I::CopyObject, "\\work\\photos\\a.jpg", "\\work\\docs\\a.jpg", 1),
     {"work\\docs\\a.jpg"}, {"work\\photos\\a.jpg"}},
    {"copy folder", Copy(&I::CopyFolder, "\\work\\photos\\2009", "\\work\\photos\\2010", 0),
     {"work\\photos\\2010\\", "work\\photos\\2010\\b.jpg"}, {}},
    {"move bucket to another account",
     Copy(&I::CopyBucket, "\\work\\photos", "\\play\\pics", 1),
     {"play\\pics\\", "play\\pics\\2009\\", "play\\pics\\2009\\b.jpg", "play\\pics\\a.jpg",
      "play\\pics\\empty\\"},
     kPhotos},
    {"rename account", Rename("play", "fun"), {"fun\\"}, {"play\\"}},
    // Refusals leave the store as it was.
    {"existing account", Create(&I::CreateAccount, "\\work"), {}, {}},
    {"dot-dot account", Create(&I::CreateAccount, "\\.."), {}, {}},
    {"colon in a name", Create(&I::CreateAccount, "\\a:b"), {}, {}},
    {"wildcard in a name", Create(&I::CreateBucket, "\\work\\b*"), {}, {}},
    {"trailing dot", Create(&I::CreateBucket, "\\work\\b."), {}, {}},
    {"bucket of a missing account", Create(&I::CreateBucket, "\\nobody\\b"), {}, {}},
    {"folder under a missing folder", Create(&I::CreateFolder, "\\work\\photos\\x\\y"), {}, {}},
    {"folder at the root", Create(&I::CreateFolder, "\\"), {}, {}},
    {"key with an empty part", Create(&I::CreateFolder, "\\work\\photos\\x//y"), {}, {}},
    {"non-empty folder", Create(&I::DeleteObject, "\\work\\photos\\2009/"), {}, {}},
    {"object without a key", Create(&I::DeleteObject, "\\work\\photos"), {}, {}},
    {"folder deleted as an object", Create(&I::DeleteObject, "\\work\\photos\\2009"), {}, {}},
    {"non-empty bucket", Create(&I::DeleteBucket, "\\work\\photos"), {}, {}},
    {"non-empty account", Named(&I::DeleteAccount, "work"), {}, {}},
    {"account named by a path", Named(&I::DeleteAccount, "work\\docs"), {}, {}},
    {"rename onto an account", Rename("work", "play"), {}, {}},
    {"rename a missing account", Rename("nobody", "x"), {}, {}},
    {"copy onto an object",
     Copy(&I::CopyObject, "\\work\\photos\\2009\\b.jpg", "\\work\\photos\\a.jpg", 0), {}, {}},
    {"copy a missing object", Copy(&I::CopyObject, "\\work\\photos\\z", "\\work\\photos\\y", 0), {}, {}},
    {"folder copied as an object",
     Copy(&I::CopyObject, "\\work\\photos\\2009", "\\work\\photos\\2010", 0), {}, {}},
    {"folder into itself",
     Copy(&I::CopyFolder, "\\work\\photos\\2009", "\\work\\photos\\2009\\in", 0), {}, {}},
    {"bucket onto a bucket", Copy(&I::CopyBucket, "\\work\\photos", "\\work\\docs", 1), {}, {}},
    {"bucket into a missing account",
     Copy(&I::CopyBucket, "\\work\\photos", "\\nobody\\photos", 0), {}, {}},
};

TEST_F(EngineTest, ChangesAgreeOrRefuseAndTouchOnlyWhatTheyName) {
    for (const ChangeCase& c : kChanges) {
        SCOPED_TRACE(c.what);
        ResetStore();
        VARIANT_BOOL ok = 0x1234;
        EXPECT_EQ(S_OK, c.change(*engine.Get(), &ok));
        const bool agreed = !c.added.empty() || !c.removed.empty();
        EXPECT_EQ(agreed ? VARIANT_TRUE : VARIANT_FALSE, ok);
        EXPECT_EQ(Changed(kSampleTree, c.added, c.removed), TreeOf(store_));
    }
    EXPECT_EQ("A", ReadBytes(Store("work\\photos\\a.jpg")));
}

TEST_F(EngineTest, KeysThatClimbOutOfTheStoreReachNothingOutsideIt) {
    WriteBytes(Local("victim.txt"), "keep me");
    const char* const outside = "\\work\\photos\\..\\..\\..\\local\\victim.txt";
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(S_OK, engine->DeleteObject(At(outside).Record(), &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    EXPECT_EQ(S_OK, engine->CopyObject(At("\\work\\photos\\a.jpg").Record(), At(outside).Record(),
                                       0, &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    LONG result = 0;
    const std::string stolen = Local("stolen.txt");
    EXPECT_TRUE(FAILED(engine->DownloadObject(At(outside).Record(), ToBstr(stolen.c_str()).Get(),
                                              &result)));
    EXPECT_TRUE(FAILED(engine->UploadObject(ToBstr(Store("work\\photos\\a.jpg").c_str()).Get(),
                                            At(outside).Record(), &result)));
    EXPECT_EQ("keep me", ReadBytes(Local("victim.txt")));
    EXPECT_FALSE(IsFile(stolen));
    EXPECT_EQ(kSampleTree, TreeOf(store_));
}

std::function<HRESULT(IStorageBrowser&)> Download(const char* path, const std::string& local) {
    return [=](IStorageBrowser& engine) {
        LONG result = 0;
        return engine.DownloadObject(At(path).Record(), ToBstr(local.c_str()).Get(), &result);
    };
}

std::function<HRESULT(IStorageBrowser&)> Upload(const std::string& local, const char* path) {
    return [=](IStorageBrowser& engine) {
        LONG result = 0;
        return engine.UploadObject(ToBstr(local.c_str()).Get(), At(path).Record(), &result);
    };
}

class EngineTransferTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ComPtr<IConnectionPointContainer> container;
        ASSERT_EQ(S_OK, engine.As(&container));
        ASSERT_EQ(S_OK, container->FindConnectionPoint(__uuidof(IStorageBrowserEvents), &point));
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
    }
    void TearDown() override {
        if (point) {
            EXPECT_EQ(S_OK, point->Unadvise(cookie));
        }
        point.Reset();
        EngineTest::TearDown();
    }

    RecordingSink sink;
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
};

TEST_F(EngineTransferTest, DownloadReportsFromItsOwnThreadAndEndsWithTheWholeFile) {
    std::string bytes(1 << 20 | 12345, '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) bytes[at] = static_cast<char>(at * 7 + at / 4096);
    WriteBytes(Store("work\\photos\\big.bin"), bytes);
    const std::string target = Local("big.bin");
    LONG result = -1;
    ASSERT_EQ(S_OK, engine->DownloadObject(At("\\work\\photos\\big.bin").Record(),
                                           ToBstr(target.c_str()).Get(), &result));
    ASSERT_TRUE(sink.WaitForEnd());
    // The moment 100 arrives the file is complete: no wait after it.
    EXPECT_EQ(bytes, ReadBytes(target));

    const std::vector<RecordingSink::Event> events = sink.Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(0, events.front().percent);
    EXPECT_EQ(100, events.back().percent);
    for (std::size_t at = 0; at < events.size(); ++at) {
        SCOPED_TRACE(at);
        EXPECT_NE(GetCurrentThreadId(), events[at].thread);
        EXPECT_EQ(events.front().thread, events[at].thread);
        EXPECT_EQ("\\work\\photos\\big.bin", events[at].remote);
        EXPECT_EQ(target, events[at].local);
        if (at > 0) {
            EXPECT_LT(events[at - 1].percent, events[at].percent);
        }
    }
}

TEST_F(EngineTransferTest, UploadMakesTheKeysFoldersAndReplacesAnExistingObject) {
    WriteBytes(Local("up.txt"), "uploaded bytes");
    WriteBytes(Store("work\\photos\\a.jpg"), "old");
    const struct {
        const char* key;
        const char* file;
    } uploads[] = {{"\\work\\photos\\new\\deeper\\up.txt", "work\\photos\\new\\deeper\\up.txt"},
                   {"\\work\\photos\\a.jpg", "work\\photos\\a.jpg"}};
    for (const auto& upload : uploads) {
        SCOPED_TRACE(upload.key);
        sink.Rearm();
        LONG result = -1;
        ASSERT_EQ(S_OK, engine->UploadObject(ToBstr(Local("up.txt").c_str()).Get(),
                                             At(upload.key).Record(), &result));
        ASSERT_TRUE(sink.WaitForEnd());
        EXPECT_EQ("uploaded bytes", ReadBytes(Store(upload.file)));
    }
}

TEST_F(EngineTransferTest, RefusedTransfersFailAtOnceAndWriteNothing) {
    WriteBytes(Local("up.txt"), "x");
    const std::string target = Local("down.txt");
    const struct {
        const char* what;
        std::function<HRESULT(IStorageBrowser&)> start;
    } refusals[] = {
        {"missing object", Download("\\work\\photos\\zz", target)},
        {"folder key", Download("\\work\\photos\\2009/", target)},
        {"bucket path", Download("\\work\\photos", target)},
        {"empty local name", Download("\\work\\photos\\a.jpg", "")},
        {"missing local file", Upload(Local("zz"), "\\work\\photos\\zz")},
        {"missing bucket", Upload(Local("up.txt"), "\\work\\nobucket\\up.txt")},
        {"onto a folder", Upload(Local("up.txt"), "\\work\\photos\\2009")},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        EXPECT_TRUE(FAILED(refusal.start(*engine.Get())));
    }
    EXPECT_TRUE(sink.Events().empty());
    EXPECT_FALSE(IsFile(target));
    EXPECT_EQ(kSampleTree, TreeOf(store_));
}

TEST_F(EngineTransferTest, ANewTransferSilencesTheOneBeforeItWhichStillCompletes) {
    // Throttled, so the first transfer is still running when the second
    // starts, as after the user aborted it.
    SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", "20");
    ComPtr<IStorageBrowser> slow = CreateRegisteredEngine();
    SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", nullptr);
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> slowPoint;
    DWORD slowCookie = 0;
    ASSERT_EQ(S_OK, slow.As(&container));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(__uuidof(IStorageBrowserEvents), &slowPoint));
    ASSERT_EQ(S_OK, slowPoint->Advise(&sink, &slowCookie));

    const std::string bytes(4 << 20, 'q');
    WriteBytes(Store("work\\photos\\slow.bin"), bytes);
    LONG result = 0;
    ASSERT_EQ(S_OK, slow->DownloadObject(At("\\work\\photos\\slow.bin").Record(),
                                         ToBstr(Local("slow.bin").c_str()).Get(), &result));
    ASSERT_EQ(S_OK, slow->DownloadObject(At("\\work\\photos\\a.jpg").Record(),
                                         ToBstr(Local("a.jpg").c_str()).Get(), &result));
    ASSERT_TRUE(sink.WaitForEnd());
    // The silenced transfer runs to its end all the same.
    for (int wait = 0; wait < 600 && ReadBytes(Local("slow.bin")).size() < bytes.size(); ++wait) {
        Sleep(50);
    }
    EXPECT_TRUE(SameBytes(Store("work\\photos\\slow.bin"), Local("slow.bin")));
    const std::vector<RecordingSink::Event> events = sink.Events();
    std::size_t second = 0;
    while (second < events.size() && events[second].local != Local("a.jpg")) ++second;
    ASSERT_LT(second, events.size());
    EXPECT_EQ(0, events[second].percent);
    for (std::size_t at = second; at < events.size(); ++at) {
        EXPECT_EQ(Local("a.jpg"), events[at].local) << "event " << at << " at "
                                                    << events[at].percent << "%";
    }
    EXPECT_EQ(S_OK, slowPoint->Unadvise(slowCookie));
}

}  // namespace
