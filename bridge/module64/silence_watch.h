#pragma once
// What corvanel.wfx64 shows while a request waits for its helper's next
// message and the helper says nothing (its engine does not answer), and what
// became of the request.
//
// A request the host watches (a listing, a transfer, a store copy) has the
// host's progress callback called every kAskAgainMs once the helper has been
// silent for kQuietMs (common/timing.h), with what the request last showed:
// its own texts at first, then those of each progress report the helper
// passed on. A nonzero answer cancels it. Every request, watched or not, has
// the user asked after kQuestionAfterMs of silence, through the host's
// request callback, whether to stop the storage engine, and again each time
// the silence has doubled; a host without that callback gives up after
// kGiveUpAfterMs. A window of the helper's own (the engine's properties, a
// sign-in) is no silence: it is brought to the front, and the silence counts
// from when it closes. While it asks the host, the request tells the floor
// (Floor::Turn::Asking), as the host may be waiting for another thread.

#include <windows.h>

#include <cstdint>

#include "bridge/module64/floor.h"
#include "bridge/module64/helper_process.h"
#include "bridge/module64/host_calls.h"
#include "bridge/module64/transfer_files.h"
#include "bridge/protocol.h"

namespace bridge {

// What a request's wait shows, and what became of the request.
struct Watch {
    // A request the host does not watch: only the question.
    Watch() = default;
    Watch(Text shownSource, Text shownTarget)
        : shown(true), source(std::move(shownSource)), target(std::move(shownTarget)) {}
    bool shown = false;
    Text source, target;
    int percent = 0;
    // What happened while the request ran:
    bool refused = false;  // refused a turn (Floor): the last error is ERROR_BUSY
    bool inUse = false;    // a transfer of a local file an orphaned transfer has (TransferFiles)
    Abandoned abandoned = Abandoned::No;  // given up, and why
    bool detached = false;  // given up while its helper goes on serving it
    std::uint32_t helper = 0;  // the generation of the helper that served it
    // A transfer's: the host let a report of its pass to the plugin, which
    // then calls the engine; a report showed the engine's 100 percent; the
    // host stopped it while its engine goes on with it (as the plugin leaves
    // it, or detached above).
    bool engineMayWrite = false;
    bool whole = false;
    bool engineGoesOn = false;
    // A transfer's hold on its local file, while the request runs.
    TransferFiles::Claim* claim = nullptr;
};

class SilenceWatch {
public:
    SilenceWatch(HelperProcess& helper, const HostCallbacks& host) : helper_(helper), host_(host) {}

    enum class Heard {
        Message,    // the helper's next message
        Broken,     // the helper has ended, or broken the protocol
        Cancelled,  // the host's progress callback answered abort
        GivenUp,    // the user stopped the engine, or a host that cannot ask gave up
    };
    // The helper's next message while `request` waits for it, as above;
    // GivenUp sets watch->abandoned. The question says so when requests below
    // this one wait on the same helper: they fail too.
    Heard Next(const Message& request, Message* message, Watch* watch, Floor::Turn& turn);

private:
    // Asks the user whether to stop the engine, silent for `silentMs`.
    bool UserStops(const Message& request, const Watch& watch, ULONGLONG silentMs, bool others) const;

    HelperProcess& helper_;
    const HostCallbacks& host_;
};

}  // namespace bridge
