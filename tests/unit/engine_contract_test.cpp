// The engine's interface as this module declares it, called against an
// engine built by hand from the contract's slot numbers and record layout:
// a wrong slot or a record passed any other way than as 24 bytes on the
// stack lands in the wrong function here.
#include <gtest/gtest.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "binding/bstr.h"
#include "binding/storage_browser.h"
#include "tests/support/slot_table_engine.h"

namespace {

struct Expected {
    int slot;
    std::string args;
};

void ExpectCalls(const SlotTableEngine& table, const std::vector<Expected>& expected) {
    ASSERT_EQ(expected.size(), table.calls.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].slot, table.calls[i].slot);
        EXPECT_EQ(expected[i].args, table.calls[i].args);
    }
}

TEST(EngineContract, EveryOperationReachesItsSlotWithItsArguments) {
    SlotTableEngine table;
    IStorageBrowser* engine = table.AsEngine();
    OwnedRemotePath source, target;
    PathLevel level;
    ASSERT_TRUE(SplitRemotePath("\\work\\photos\\2009\\a.jpg", &level, source.Record()));
    ASSERT_TRUE(SplitRemotePath("\\play\\pics\\b.jpg", &level, target.Record()));
    source.Record().size = 0x100000005LL;
    const RemotePath& a = source.Record();
    const RemotePath& b = target.Record();
    UniqueBstr work = ToBstr("work"), play = ToBstr("play"), local = ToBstr("C:\\a.jpg");
    VARIANT_BOOL ok = VARIANT_FALSE;
    LONG out = -1;
    StorageItem* item = nullptr;

    engine->CreateAccount(a, &ok);
    engine->RenameAccount(work.Get(), play.Get(), &ok);
    engine->DeleteAccount(work.Get(), &ok);
    engine->CreateBucket(a, &ok);
    engine->CopyBucket(a, b, 1, &ok);
    engine->DeleteBucket(b, &ok);
    engine->DownloadObject(a, local.Get(), &out);
    engine->UploadObject(local.Get(), b, &out);
    engine->DeleteObject(a, &ok);
    engine->CopyObject(b, a, 0, &ok);
    engine->CreateFolder(b, &ok);
    engine->CopyFolder(a, b, 7, &ok);
    engine->ShowRootProperties();
    engine->ShowAccountProperties();
    engine->NextAccount(3, &item);
    engine->NextBucket(4, &item);
    engine->NextObject(5, &item);
    EXPECT_EQ(nullptr, item);

    const std::string wa = "work|photos|2009\\a.jpg|4294967301";
    const std::string wb = "play|pics|b.jpg|0";
    ExpectCalls(table, {{13, wa},
                        {14, "work play"},
                        {15, "work"},
                        {16, wa},
                        {17, wa + " " + wb + " 1"},
                        {18, wb},
                        {19, wa + " C:\\a.jpg"},
                        {20, "C:\\a.jpg " + wb},
                        {21, wa},
                        {22, wb + " " + wa + " 0"},
                        {23, wb},
                        {24, wa + " " + wb + " 7"},
                        {25, ""},
                        {26, ""},
                        {8, "3"},
                        {10, "4"},
                        {12, "5"}});
    EXPECT_EQ(VARIANT_TRUE, ok);
    EXPECT_EQ(0, out);
}

TEST(EngineContract, ListingOperationsAndEntryGettersUseTheirSlots) {
    SlotTableEngine table;
    table.itemName = L"entry.bin";
    table.itemDate = 40000.5;
    table.itemKind = 2;
    table.itemSize = 0x100000005LL;
    IStorageBrowser* engine = table.AsEngine();
    OwnedRemotePath path;
    PathLevel level;
    ASSERT_TRUE(SplitRemotePath("\\work\\photos", &level, path.Record()));

    struct First {
        int slot;
        ListingCookie cookie;
    };
    for (const First& first : {First{7, 7}, First{9, 9}, First{11, 11}}) {
        SCOPED_TRACE(first.slot);
        table.calls.clear();
        ListingCookie cookie = 0;
        StorageItem* item = nullptr;
        switch (first.slot) {
        case 7: engine->FirstAccount(&cookie, &item); break;
        case 9: engine->FirstBucket(path.Record(), &cookie, &item); break;
        default: engine->FirstObject(path.Record(), &cookie, &item); break;
        }
        ASSERT_EQ(1u, table.calls.size());
        EXPECT_EQ(first.slot, table.calls[0].slot);
        EXPECT_EQ(first.cookie, cookie);
        ASSERT_NE(nullptr, item);

        UniqueBstr name;
        DATE date = 0;
        LONG kind = 0;
        LONGLONG size = 0;
        EXPECT_EQ(S_OK, item->get_Name(name.Put()));
        EXPECT_EQ(S_OK, item->get_Date(&date));
        EXPECT_EQ(S_OK, item->get_Kind(&kind));
        EXPECT_EQ(S_OK, item->get_Size(&size));
        EXPECT_EQ("entry.bin", ToAnsi(name.Get()));
        EXPECT_EQ(40000.5, date);
        EXPECT_EQ(2, kind);
        EXPECT_EQ(0x100000005LL, size);
        item->Release();
        EXPECT_EQ(0, table.liveItems);
    }
}

}  // namespace
