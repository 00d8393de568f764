// The table of objects the host holds by handle, where another thread may
// close or push out an object while its user works with it.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>

#include "common/handle_table.h"
#include "tests/support/worker_thread.h"

namespace {

// Counts the objects alive, so a test sees when one is destroyed.
LONG g_alive = 0;
struct Counted {
    Counted() { ++g_alive; }
    ~Counted() { --g_alive; }
};
using Table = HandleTable<Counted, 4>;

HANDLE OpenOne(Table& table) {
    std::unique_ptr<Counted> closed;
    const HANDLE handle = table.Open(std::make_unique<Counted>(), closed);
    EXPECT_EQ(nullptr, closed);
    return handle;
}

TEST(HandleTable, AnObjectInUseStaysWholeForItsUserAndIsNeverPushedOut) {
    Table table;
    const HANDLE used = OpenOne(table);
    for (int i = 0; i < 3; ++i) OpenOne(table);
    {
        const Table::Use use(table, used);
        ASSERT_TRUE(use);
        EXPECT_FALSE(Table::Use(table, used)) << "taken twice at once";

        // Full: the oldest is in use, so the next oldest gives way.
        std::unique_ptr<Counted> closed;
        ASSERT_NE(INVALID_HANDLE_VALUE, table.Open(std::make_unique<Counted>(), closed));
        EXPECT_NE(nullptr, closed);

        // Another thread closes it meanwhile: it stays whole for its user,
        // and the handle names nothing from then on.
        WorkerThread closer([&] { EXPECT_EQ(nullptr, table.Close(used)); });
        closer.Join();
        EXPECT_EQ(5, g_alive);
    }
    EXPECT_FALSE(Table::Use(table, used)) << "closed while in use";
    EXPECT_EQ(4, g_alive);

    // Put back, an object closed while in use is the first to give way to an
    // opening, before the oldest open one; a second Close hands it over.
    table.CloseAll();
    HANDLE open[4];
    for (HANDLE& handle : open) handle = OpenOne(table);
    const Counted* newest = nullptr;
    {
        const Table::Use use(table, open[3]);
        newest = &*use;
        EXPECT_EQ(nullptr, table.Close(open[3]));
    }
    std::unique_ptr<Counted> closed;
    ASSERT_NE(INVALID_HANDLE_VALUE, table.Open(std::make_unique<Counted>(), closed));
    EXPECT_EQ(newest, closed.get());
    EXPECT_TRUE(Table::Use(table, open[0])) << "the oldest open one stays";
    closed.reset();
    {
        const Table::Use use(table, open[1]);
        EXPECT_EQ(nullptr, table.Close(open[1]));
    }
    EXPECT_NE(nullptr, table.Close(open[1]));
    EXPECT_EQ(3, g_alive);
    // Or its user takes it once it has put it back, and only then.
    {
        const Table::Use use(table, open[2]);
        EXPECT_EQ(nullptr, table.Close(open[2]));
        EXPECT_EQ(nullptr, table.TakeIfClosed(open[2])) << "taken while in use";
    }
    EXPECT_NE(nullptr, table.TakeIfClosed(open[2]));
    EXPECT_EQ(nullptr, table.TakeIfClosed(open[2]));
    EXPECT_EQ(nullptr, table.Close(open[2]));
    EXPECT_EQ(nullptr, table.TakeIfClosed(open[0])) << "an open one";
    EXPECT_EQ(2, g_alive);

    // Every slot in use: nothing can be pushed out, and nothing is opened.
    table.CloseAll();
    EXPECT_EQ(0, g_alive);
    HANDLE handles[4];
    for (HANDLE& handle : handles) handle = OpenOne(table);
    const Table::Use a(table, handles[0]), b(table, handles[1]), c(table, handles[2]),
        d(table, handles[3]);
    std::unique_ptr<Counted> refused;
    EXPECT_EQ(INVALID_HANDLE_VALUE, table.Open(std::make_unique<Counted>(), refused));
    EXPECT_EQ(4, g_alive);
}

TEST(HandleTable, AHandleNamesOnlyTheObjectItWasGivenOutFor) {
    Table table;
    const HANDLE first = OpenOne(table);
    EXPECT_NE(nullptr, first);
    EXPECT_NE(INVALID_HANDLE_VALUE, first);
    EXPECT_NE(nullptr, table.Close(first));
    // The slot is opened again under another handle; the first names nothing.
    const HANDLE second = OpenOne(table);
    EXPECT_NE(first, second);
    EXPECT_FALSE(Table::Use(table, first));
    EXPECT_EQ(nullptr, table.Close(first));
    EXPECT_TRUE(Table::Use(table, second));
    table.CloseAll();
}

}  // namespace
