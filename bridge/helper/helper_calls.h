#pragma once
// The helper's side of each request: the plugin's export called with the
// request's arguments on the helper's main thread, in the host thread's
// locale and with its last error, and the reply built from what the export
// returned and wrote. The host's callbacks that the plugin calls meanwhile
// travel up to the 64-bit side and wait there for the host's answer.

#include <windows.h>

#include <optional>

#include "bridge/channel.h"
#include "bridge/helper/mailbox.h"
#include "bridge/protocol.h"
#include "common/wfx_module.h"

namespace helper {

class PluginCalls {
public:
    PluginCalls(HMODULE plugin, Mailbox& inbox, HANDLE out, const bridge::SharedBatches& batches);
    PluginCalls(const PluginCalls&) = delete;
    PluginCalls& operator=(const PluginCalls&) = delete;

    // False when the plugin lacks an export; otherwise tells the 64-bit side
    // that the helper is ready.
    bool Ready();
    // Serves requests until the pipe breaks, which ends the process.
    [[noreturn]] void Serve();

private:
    bridge::Message Run(const bridge::Message& request);
    bridge::Message RootName(int size, DWORD hostError);
    bridge::Message FindFirst(bridge::Text& path, const bridge::Text& hostRecord, DWORD hostError);
    // Reads entries into the next region of the shared section and returns
    // the FindBatch that names them.
    bridge::Message FindNextBatch(int most, bool recordWanted);
    void Send(const bridge::Message& message);
    // The 64-bit side's answer to `callback`; anything else ends the process.
    bridge::Message AwaitAnswer(bridge::Kind callback);

    // The callbacks handed to the plugin's FsInit; plain functions, so they
    // reach the one instance through `current_`.
    static int __stdcall Progress(int pluginNr, char* source, char* target, int percent);
    static void __stdcall Log(int pluginNr, int msgType, char* text);
    static BOOL __stdcall Request(int pluginNr, int requestType, char* title, char* text,
                                  char* returned, int maxlen);

    static PluginCalls* current_;
    // The listing the host reads in batches: whether it has more, and the
    // next batch, read ahead while the host takes in the last one.
    bool listingOpen_ = false;
    int prefetchMost_ = 1;
    std::optional<bridge::Message> prefetched_;
    WfxExports fs_;
    Mailbox& inbox_;
    HANDLE out_;
    const bridge::SharedBatches& batches_;
    std::uint32_t nextRegion_ = 0;
};

}  // namespace helper
