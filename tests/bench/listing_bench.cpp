// Lists 100,000 objects of the recording fake engine through FsFindFirst and
// FsFindNext, and the same enumeration directly on the fake (First/Next
// operations and the four getters), and prints the time per entry of both.
// The difference is what the plugin adds per entry. Run under Wine with
// build/wine-run.sh build/bin/listing_bench.exe.
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "binding/bstr.h"
#include "common/wfx_api.h"
#include "plugin/plugin_state.h"
#include "tests/support/fake_engine.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kEntries = 100000;
constexpr int kRounds = 5;
constexpr ListingCookie kCookie = 1;

// One bucket of kEntries objects, scripted anew for each run.
void ScriptBucket(FakeStorageBrowser& engine) {
    engine.calls.clear();
    for (int i = 0; i < kEntries; ++i) {
        ItemValues entry;
        entry.name = L"photos-" + std::to_wstring(i) + L".jpg";
        entry.date = 40000.25 + i / 1440.0;
        entry.kind = i % 10 == 0 ? 1 : 3;
        entry.size = 1000LL * i;
        Answer answer;
        answer.hasItem = true;
        answer.item = entry;
        if (i == 0) {
            answer.setCookie = true;
            answer.cookie = kCookie;
        }
        engine.Script(i == 0 ? "FirstObject" : "NextObject", answer);
    }
    engine.ScriptEnd("NextObject");
}

double Seconds(const LARGE_INTEGER& start, const LARGE_INTEGER& end) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart;
}

// Returns the entries delivered, and the elapsed seconds in *seconds.
int ListThroughPlugin(double* seconds) {
    char path[] = "\\work\\photos";
    WIN32_FIND_DATAA record;
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int entries = 0;
    const HANDLE listing = FsFindFirst(path, &record);
    if (listing != INVALID_HANDLE_VALUE) {
        ++entries;
        while (FsFindNext(listing, &record)) ++entries;
        FsFindClose(listing);
    }
    QueryPerformanceCounter(&end);
    *seconds = Seconds(start, end);
    return entries;
}

bool ReadEntry(StorageItem* item) {
    UniqueBstr name;
    DATE date = 0.0;
    LONG kind = 0;
    LONGLONG size = 0;
    return SUCCEEDED(item->get_Name(name.Put())) && SUCCEEDED(item->get_Date(&date)) &&
           SUCCEEDED(item->get_Kind(&kind)) && SUCCEEDED(item->get_Size(&size));
}

int ListDirectly(IStorageBrowser& engine, double* seconds) {
    char account[] = "work", bucket[] = "photos", key[] = "";
    const RemotePath path{account, bucket, key, 0};
    ListingCookie cookie = 0;
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    int entries = 0;
    ComPtr<StorageItem> item;
    HRESULT hr = engine.FirstObject(path, &cookie, &item);
    while (SUCCEEDED(hr) && item && ReadEntry(item.Get())) {
        ++entries;
        hr = engine.NextObject(cookie, item.ReleaseAndGetAddressOf());
    }
    QueryPerformanceCounter(&end);
    *seconds = Seconds(start, end);
    return entries;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main() {
    FakeStorageBrowser engine;
    GetPluginState().engine = &engine;

    std::vector<double> plugin, direct;
    for (int round = 0; round < kRounds; ++round) {
        double seconds = 0.0;
        ScriptBucket(engine);
        if (ListThroughPlugin(&seconds) != kEntries) {
            std::printf("plugin listing delivered the wrong number of entries\n");
            return 1;
        }
        plugin.push_back(seconds / kEntries * 1e9);

        ScriptBucket(engine);
        if (ListDirectly(engine, &seconds) != kEntries) {
            std::printf("direct listing delivered the wrong number of entries\n");
            return 1;
        }
        direct.push_back(seconds / kEntries * 1e9);
    }
    if (!engine.unexpected.empty() || g_liveFakeItems != 0) {
        std::printf("unexpected engine calls or unreleased entries\n");
        return 1;
    }

    const double pluginBest = *std::min_element(plugin.begin(), plugin.end());
    const double directBest = *std::min_element(direct.begin(), direct.end());
    std::printf("listing %d entries, %d rounds, ns per entry (best / median)\n", kEntries, kRounds);
    std::printf("  through FsFindFirst/FsFindNext: %8.1f / %8.1f\n", pluginBest, Median(plugin));
    std::printf("  directly on the fake engine:    %8.1f / %8.1f\n", directBest, Median(direct));
    std::printf("  added by the plugin (best):     %8.1f\n", pluginBest - directBest);
    return 0;
}
