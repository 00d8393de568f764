#pragma once
// The helper's side of each request: the plugin's export called with the
// request's arguments on the helper's main thread, in the host thread's
// locale and with its last error, and the reply built from what the export
// returned and wrote. The host's callbacks that the plugin calls meanwhile
// travel up to the 64-bit side and wait there for the host's answer; a
// request that arrives instead (the host called an export from inside its
// callback) runs there, nested, on the same thread, as the plugin would run
// in the host's process (bridge/protocol.h).

#include <windows.h>

#include <optional>
#include <string>

#include "bridge/channel.h"
#include "bridge/helper/inbox.h"
#include "bridge/messages.h"
#include "bridge/protocol.h"
#include "bridge/ring.h"
#include "common/wfx_module.h"

namespace helper {

class PluginCalls {
public:
    PluginCalls(HMODULE plugin, Inbox& inbox, bridge::RingWriter& out, const bridge::SharedSection& shared);
    PluginCalls(const PluginCalls&) = delete;
    PluginCalls& operator=(const PluginCalls&) = delete;

    // False when the plugin lacks an export; otherwise tells the 64-bit side
    // that the helper is ready.
    bool Ready();
    // Serves requests until the 64-bit side ends, which ends the process.
    [[noreturn]] void Serve();

private:
    // Carries out one request and sends its reply.
    void Serve(const bridge::Message& request);
    // A request that came while the plugin waits for the host's answer to a
    // callback: served there, with the thread's locale and last error given
    // back to the request around it afterwards.
    void ServeNested(const bridge::Message& request);
    bridge::Message Run(const bridge::Message& request);
    bridge::Message RootName(const bridge::msg::RootNameRequest& request);
    bridge::Message FindFirst(bridge::msg::FindFirstRequest& request);
    // How long a batch may take: one the host waits for goes up after
    // kHostWaitsMs (a store that lists in pages then shows each page as it
    // comes); one read ahead stops as soon as another request is waiting,
    // which then waits for at most one of the plugin's FsFindNext, and once
    // the host asks for that batch itself, it goes up as one the host waits
    // for does.
    enum class Haste { HostWaits, ReadAhead };
    bool Enough(Haste* haste, HANDLE handle, ULONGLONG startedMs);
    // Whether the oldest waiting request asks for the next entries of the
    // listing `handle`, with their records.
    bool NextOfListingWaits(HANDLE handle);
    // Reads entries of the listing `handle` into `region` of the shared
    // section and returns the FindBatch that names them; *more tells whether
    // the listing went on past the batch.
    bridge::Message FindNextBatch(HANDLE handle, int most, bool recordWanted, std::uint32_t region,
                                  Haste haste, bool* more);
    // Answers FindNext: with the batch read ahead for that listing, or with
    // one read now into the region the read-ahead leaves free.
    void ServeFindNext(const bridge::Message& request);
    void ForgetListing(HANDLE handle);
    void Send(const bridge::Message& message);
    // The 64-bit side's answer to `callback`; the requests that come first
    // are served nested, anything else ends the process.
    bridge::Message AwaitAnswer(bridge::Kind callback);

    // The callbacks handed to the plugin's FsInit; plain functions, so they
    // reach the one instance through `current_`.
    static int __stdcall Progress(int pluginNr, char* source, char* target, int percent);
    static void __stdcall Log(int pluginNr, int msgType, char* text);
    static BOOL __stdcall Request(int pluginNr, int requestType, char* title, char* text,
                                  char* returned, int maxlen);

    static PluginCalls* current_;
    // The listing whose batch went up last, while it has more: its next
    // batch is read, between two requests, while the host takes in the last
    // one, and kept for it whatever the host asks for in between (a
    // subfolder's listing).
    struct ReadAhead {
        HANDLE handle = nullptr;
        int most = 1;
        std::optional<bridge::Message> batch;  // read, not yet sent
        std::uint32_t region = 0;              // where that batch lies
        bool more = true;                      // the listing went on past it
    };
    std::optional<ReadAhead> readAhead_;
    // Whether a batch read ahead lies in the section, in readAhead_->region.
    bool HoldsReadAhead() const { return readAhead_ && readAhead_->batch; }
    std::uint32_t lastSentRegion_ = 0;
    WfxExports fs_;
    Inbox& inbox_;
    bridge::RingWriter& out_;
    const bridge::SharedSection& shared_;
};

}  // namespace helper
