// The event sink, and the running transfers' records it feeds.
#include "binding/event_handler.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>

#include "tests/support/fake_engine.h"

namespace {

using Sink = CEventHandler::Sink;

// A handler connected to a fake engine, as FsInit leaves it, with one
// transfer running when a test lets it.
class EventSinkTest : public ::testing::Test {
protected:
    void Connect() {
        handler.CreateEventSink(&engine);
        sink = handler.EventSink();
        ASSERT_NE(nullptr, sink);
    }

    FakeStorageBrowser engine;
    CEventHandler handler;
    Sink* sink = nullptr;
};

// The events of one transfer, named by its local file.
class EventRecordTest : public EventSinkTest {
protected:
    void SetUp() override { Connect(); }

    CEventHandler::Transfer record{handler, L"C:\\local.bin"};
};

TEST_F(EventSinkTest, AnswersItsThreeInterfacesWithOnePointerAndOneReferenceEach) {
    Connect();
    const ULONG before = RefCountOf(sink);
    for (const IID& iid : {__uuidof(IUnknown), __uuidof(IDispatch), __uuidof(IStorageBrowserEvents)}) {
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_EQ(S_OK, sink->QueryInterface(iid, &out));
        EXPECT_EQ(static_cast<IDispatch*>(sink), out);
        EXPECT_EQ(before + 1, RefCountOf(sink));
        sink->Release();
    }
    for (const IID& iid : {__uuidof(IConnectionPoint), __uuidof(IStorageBrowser), IID_NULL}) {
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(iid, &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(before, RefCountOf(sink));
    }
}

TEST_F(EventSinkTest, OffersNoTypeInformationAndLeavesOutParametersAlone) {
    Connect();
    UINT count = 0xdeadbeef;
    EXPECT_EQ(E_NOTIMPL, sink->GetTypeInfoCount(&count));
    EXPECT_EQ(0xdeadbeefu, count);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0xdeadbeef);
    EXPECT_EQ(E_NOTIMPL, sink->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(reinterpret_cast<ITypeInfo*>(0xdeadbeef), info);
    wchar_t name[] = L"Progress";
    LPOLESTR names[] = {name};
    DISPID id = 0x1234;
    EXPECT_EQ(E_NOTIMPL, sink->GetIDsOfNames(IID_NULL, names, 1, 0, &id));
    EXPECT_EQ(0x1234, id);
}

TEST_F(EventSinkTest, ConnectsToTheEnginesConnectionPointAndHoldsOneReferenceOnIt) {
    const ULONG pointBefore = engine.Point().RefCount();
    Connect();
    EXPECT_TRUE(sink->IsConnected());
    EXPECT_EQ(engine.Point().Cookie(), sink->Cookie());
    EXPECT_EQ(static_cast<IDispatch*>(sink), engine.Point().Sink());
    EXPECT_EQ(pointBefore + 1, static_cast<ULONG>(engine.Point().RefCount()));
    // The creator's reference plus the engine's.
    EXPECT_EQ(2u, RefCountOf(sink));
}

TEST_F(EventSinkTest, StaysUnconnectedWithoutAContainerOrWhenAdviseIsRefused) {
    for (bool container : {false, true}) {
        SCOPED_TRACE(container ? "advise refused" : "no container");
        FakeStorageBrowser source;
        source.offerContainer = container;
        source.refuseAdvise = true;
        CEventHandler unconnected;
        unconnected.CreateEventSink(&source);
        Sink* lone = unconnected.EventSink();
        EXPECT_FALSE(lone->IsConnected());
        EXPECT_EQ(0u, lone->Cookie());
        EXPECT_EQ(1u, RefCountOf(lone));
        EXPECT_EQ(1, source.RefCount());  // every reference it took was given back
        EXPECT_EQ(1, source.Point().RefCount());  // its references are the engine's: none kept
        lone->Release();
    }
}

TEST_F(EventSinkTest, ReleaseAtZeroUnadvisesBeforeReleasingTheConnectionPoint) {
    engine.weakSinkReference = true;  // the creator's reference is the last
    Connect();
    engine.Point().log.clear();
    const DWORD cookie = sink->Cookie();
    EXPECT_EQ(0u, sink->Release());
    const std::vector<std::string> expected = {"Unadvise " + std::to_string(cookie), "Release 1"};
    EXPECT_EQ(expected, engine.Point().log);
    EXPECT_EQ(nullptr, engine.Point().Sink());
}

TEST_F(EventRecordTest, EveryEventOfAnyMemberLandsInTheRecord) {
    for (DISPID member : {1, 0, -1, 77}) {
        const LONG percent = 10 + member;
        EXPECT_EQ(S_OK, engine.FireProgress(L"C:\\local.bin", L"\\work\\photos\\a.bin", percent, member));
        const ProgressSnapshot seen = record.Snapshot();
        EXPECT_EQ(percent, seen.percent);
        EXPECT_EQ("C:\\local.bin", seen.localName);
        EXPECT_EQ("\\work\\photos\\a.bin", seen.remoteName);
    }
}

TEST_F(EventRecordTest, PercentagesAreStoredAsTheyComeWithoutClamping) {
    for (LONG percent : {150, -1, 0, 100, 0x7fffffff}) {
        engine.FireProgress(L"l", L"r", percent);
        EXPECT_EQ(percent, record.GetPercent());
    }
}

TEST_F(EventRecordTest, NullTextEmptiesItsFieldAndTextsEndAtTheirFirstNul) {
    engine.FireProgress(L"local", L"remote", 5);
    engine.FireProgress(L"local2", nullptr, 42);
    ProgressSnapshot seen = record.Snapshot();
    EXPECT_EQ(42, seen.percent);
    EXPECT_EQ("local2", seen.localName);
    EXPECT_EQ(nullptr, seen.RemoteNameOrNull());

    // A BSTR whose stored length runs past an embedded NUL.
    VARIANT args[3];
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = 7;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = SysAllocStringLen(L"head\0tail", 9);
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = SysAllocStringLen(L"\0hidden", 7);
    DISPPARAMS params{args, nullptr, 3, 0};
    EXPECT_EQ(S_OK, sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr));
    seen = record.Snapshot();
    EXPECT_EQ(7, seen.percent);
    EXPECT_EQ("head", seen.remoteName);
    EXPECT_EQ(nullptr, seen.LocalNameOrNull());
    // The engine's arguments are left as they were.
    EXPECT_EQ(VT_BSTR, V_VT(&args[1]));
    EXPECT_EQ(9u, SysStringLen(V_BSTR(&args[1])));
    SysFreeString(V_BSTR(&args[1]));
    SysFreeString(V_BSTR(&args[2]));
}

TEST_F(EventRecordTest, MalformedEventsAreIgnoredWithoutReadingPastTheArguments) {
    engine.FireProgress(L"kept-local", L"kept-remote", 33);

    EXPECT_EQ(S_OK, sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr));
    // Two arguments only; a third slot past cArgs holds a trap that must not be read.
    VARIANT args[3];
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = 99;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = nullptr;
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = reinterpret_cast<BSTR>(0x10);
    DISPPARAMS two{args, nullptr, 2, 0};
    EXPECT_EQ(S_OK, sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &two, nullptr, nullptr, nullptr));
    // Three arguments of the wrong kinds.
    V_VT(&args[1]) = VT_DISPATCH;
    V_DISPATCH(&args[1]) = reinterpret_cast<IDispatch*>(0x10);
    DISPPARAMS wrong{args, nullptr, 3, 0};
    EXPECT_EQ(S_OK, sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &wrong, nullptr, nullptr, nullptr));

    const ProgressSnapshot seen = record.Snapshot();
    EXPECT_EQ(33, seen.percent);
    EXPECT_EQ("kept-local", seen.localName);
    EXPECT_EQ("kept-remote", seen.remoteName);
}

// Transfers started from inside another's progress callback, or on two
// threads: each hears only its own engine's events, and a second transfer
// of a running one's local file, whose events could not be told apart, is
// refused.
TEST_F(EventSinkTest, EventsGoToTheTransferWhoseLocalFileTheyNameLetterCaseAside) {
    Connect();
    CEventHandler::Transfer outer(handler, L"C:\\sync\\big.bin");
    engine.FireProgress(L"C:\\sync\\big.bin", L"\\work\\a\\big.bin", 30);
    EXPECT_FALSE(CEventHandler::Transfer(handler, L"c:\\SYNC\\big.BIN").Accepted());
    {
        CEventHandler::Transfer inner(handler, L"C:\\temp\\view.txt");
        ASSERT_TRUE(inner.Accepted());
        engine.FireProgress(L"c:\\TEMP\\View.txt", L"\\work\\a\\view.txt", 100);
        engine.FireProgress(L"C:\\sync\\big.bin", L"\\work\\a\\big.bin", 40);
        // Named by neither: with two running, it belongs to no one.
        engine.FireProgress(L"big.bin", L"\\work\\a\\big.bin", 100);
        EXPECT_EQ(100, inner.GetPercent());
        EXPECT_EQ("c:\\TEMP\\View.txt", inner.Snapshot().localName);
        EXPECT_EQ(40, outer.GetPercent());
        EXPECT_EQ("C:\\sync\\big.bin", outer.Snapshot().localName);
    }
    // Alone again, the outer one takes what names no running transfer.
    engine.FireProgress(L"big.bin", L"\\work\\a\\big.bin", 70);
    EXPECT_EQ(70, outer.GetPercent());
}

// A file in the temporary folder that the test's "engine" holds open, not
// shared, as an engine holds the file it writes; deleted when let go.
struct HeldFile {
    HeldFile() {
        wchar_t folder[MAX_PATH];
        if (GetTempPathW(MAX_PATH, folder) == 0) return;
        name = std::wstring(folder) + L"corvanel-held-" + std::to_wstring(GetCurrentProcessId());
        handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    ~HeldFile() { LetGo(); }
    void LetGo() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    std::wstring name;
    HANDLE handle = INVALID_HANDLE_VALUE;
};

// A cancelled transfer's engine goes on while it holds the file: its late
// events reach no other transfer, until that engine reports 100 or lets go
// of the file; one whose engine has let go already is not remembered.
TEST_F(EventSinkTest, AnAbandonedTransfersLateEventsReachNoOtherTransfer) {
    Connect();
    HeldFile held;
    ASSERT_NE(INVALID_HANDLE_VALUE, held.handle);
    std::wstring shouted = held.name;
    CharUpperW(&shouted[0]);
    {
        CEventHandler::Transfer cancelled(handler, held.name.c_str());
        engine.FireProgress(held.name.c_str(), L"r", 20);
        cancelled.Abandon();
    }
    {
        CEventHandler::Transfer next(handler, L"C:\\next.bin");
        engine.FireProgress(shouted.c_str(), L"r", 100);
        EXPECT_EQ(0, next.GetPercent());
        // Done, that engine reports no more: a stranger's event is the lone transfer's again.
        engine.FireProgress(L"elsewhere", L"r", 60);
        EXPECT_EQ(60, next.GetPercent());
    }
    held.LetGo();
    {
        CEventHandler::Transfer cancelled(handler, held.name.c_str());
        cancelled.Abandon();
    }
    CEventHandler::Transfer anew(handler, L"C:\\anew.bin");
    engine.FireProgress(held.name.c_str(), L"r", 10);
    EXPECT_EQ(10, anew.GetPercent());
}

// While the engine of a cancelled transfer still holds its file, a new
// transfer of the file is refused as if the old one ran; once the engine
// lets go, the file is free again.
TEST_F(EventSinkTest, AFileThatACancelledTransfersEngineHoldsIsRefusedUntilItLetsGo) {
    Connect();
    HeldFile held;
    ASSERT_NE(INVALID_HANDLE_VALUE, held.handle);
    {
        CEventHandler::Transfer cancelled(handler, held.name.c_str());
        engine.FireProgress(held.name.c_str(), L"r", 20);
        cancelled.Abandon();
    }
    EXPECT_FALSE(CEventHandler::Transfer(handler, held.name.c_str()).Accepted());
    held.LetGo();
    CEventHandler::Transfer anew(handler, held.name.c_str());
    EXPECT_TRUE(anew.Accepted());
}

}  // namespace
