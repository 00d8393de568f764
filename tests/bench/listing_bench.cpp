// Lists 100,000 objects of the recording fake engine through FsFindFirst and
// FsFindNext, and the same enumeration directly on the fake (First/Next
// operations and the four getters), and prints the time per entry of both.
// The difference is what the plugin adds per entry. Run under Wine with
// build/wine-run.sh build/bin/listing_bench.exe.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/wfx_api.h"
#include "plugin/plugin_state.h"
#include "tests/bench/engine_listing.h"
#include "tests/support/fake_engine.h"

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

// The plugin linked into this program, its exports as a host calls them.
Module LinkedPlugin() {
    Module plugin;
    plugin.findFirst = &FsFindFirst;
    plugin.findNext = &FsFindNext;
    plugin.findClose = &FsFindClose;
    return plugin;
}

// Returns the entries delivered, and the elapsed seconds in *seconds.
int ListThroughPlugin(double* seconds) {
    char path[] = "\\work\\photos";
    const Listed listed = ListThroughExports(LinkedPlugin(), path, [](const WIN32_FIND_DATAA&) {});
    *seconds = listed.ms / 1000.0;
    return static_cast<int>(listed.entries);
}

int ListDirectly(IStorageBrowser& engine, double* seconds) {
    char account[] = "work", bucket[] = "photos", key[] = "";
    const RemotePath path{account, bucket, key, 0};
    EntryValues entry;
    const Listed listed = ListOnEngine(engine, path, [&](StorageItem& item) { entry.Read(item); });
    *seconds = listed.ms / 1000.0;
    return static_cast<int>(listed.entries);
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
