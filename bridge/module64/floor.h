#pragma once
// The floor of corvanel.wfx64's requests under way: the module's picture of
// how the helper nests them, and who may talk to the helper next.
//
// While the host's callback answers one of the helper's callbacks, the host
// may call an export again, on the same thread (a file manager that handles
// window messages in its progress callback) or on another; the helper
// serves that request nested inside the callback it waits in. So the
// requests under way form a stack, each request a place on it, outermost
// first. A place is open while its request is in the host's callback. The
// active request is the innermost one that is not open: only its thread
// talks to the helper.
//
// - A request starts when no request is active: it takes a place on top.
// - It waits for its turn while another thread's request is active. While
//   that one asks the host about its helper's silence, the host may be
//   waiting for this thread: the request is refused (ERROR_BUSY) when the
//   question whether to stop the engine is shown, when a progress report
//   about the silence has not come back after kQuietMs (common/timing.h),
//   and when a message is posted to its thread or input arrives meanwhile
//   (the host wants that thread back in its message loop).
// - It is refused at once when its own thread has a request under way that
//   is not open: a host that calls from inside the plugin's own wait for a
//   silent helper, which only that request's end could serve.
// - A request back from its callback goes on once the requests of other
//   threads nested in that callback have ended.
// - A request that the host gave up while the helper still serves it (a
//   cancel in its silence, with requests below it on the same helper) leaves
//   its place behind as a ghost. Ghosts lie next to the request that goes on
//   next, the one their request was nested in or a new one nested there;
//   that request first reads the ghosts' late messages from the helper
//   (HelperLink), and they leave the stack as their replies come.
//
// Every wait of a thread for another's request handles the messages that
// other threads send to the waiting thread's windows; one back from its
// callback, which cannot be refused, also handles the messages posted to it
// while the request above asks the host. Each wait ends when the floor
// changes (a request ends, opens, is given up, or starts or stops asking the
// host), or when a bound above runs out. No lock is held while a host
// callback runs.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/protocol.h"
#include "common/srw_lock.h"

namespace bridge {

// How a request that the helper left unanswered was given up.
enum class Abandoned {
    No,
    ByHost,      // the host's progress callback answered abort (to the silence, or
                 // to a transfer's report before its engine finished)
    ByUser,      // the user answered Yes to the question whether to stop the engine
    AfterBound,  // a host without a request callback: the call gave up by itself
};

class Floor {
public:
    enum class Mode {
        Nest,   // may start inside the innermost request's callback
        Alone,  // only once no request is under way (FsInit)
    };

    // A request's host call about its helper's silence.
    enum class Asks { Nothing, Progress, Question };

    // A ghost's request as its late messages are read: its kind, and the
    // callback it has not answered when it was given up inside one.
    struct Ghost {
        Kind kind;
        std::optional<Kind> owes;
    };

    // One request's place, from its start to its end. Used by the request's
    // own thread only.
    class Turn {
    public:
        // Takes a place, waiting for its turn as above; Taken() is false when
        // the request is refused.
        Turn(Floor& floor, Mode mode);
        // Leaves the place, unless it was left behind as a ghost.
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

        bool Taken() const { return id_ != 0; }
        // The helper generation that serves the request from now on.
        void Bind(std::uint32_t helper);
        // A request of `kind` is with the helper now, awaiting its reply.
        void Sent(Kind kind);
        bool WasSent() const;
        // Whether requests below this one wait on the same helper, inside
        // its callbacks: ending that helper fails them too.
        bool Shared() const;
        // What the request asks the host about its helper's silence, if
        // anything, from now on.
        void Asking(Asks asks);

        // In the host's callback, answering the helper: requests may start
        // meanwhile, nested inside it.
        void Open();
        // Back from the host's callback: waits until the requests of other
        // threads nested above have ended. False when the helper serving
        // this request was ended meanwhile; Why() then says why.
        bool Close();
        Abandoned Why() const;

        // The ghost whose messages the helper sends next, if any lies next
        // to this request; GhostAnswered once its owed answer has gone,
        // GhostEnded once its reply has come.
        std::optional<Ghost> NextGhost() const;
        void GhostAnswered();
        void GhostEnded();

        // The host gave the request up while the helper serves it: its place
        // stays as a ghost, owing `owes` when it was given up inside the
        // helper's callback of that kind.
        void Detach(std::optional<Kind> owes);

    private:
        Floor& floor_;
        std::uint64_t id_ = 0;
    };

    // The helper of `generation` has ended: the requests it served fail, for
    // `why`, and its ghosts go.
    void HelperEnded(std::uint32_t generation, Abandoned why);

private:
    struct Place {
        std::uint64_t id = 0;
        DWORD thread = 0;                   // 0: a ghost
        bool open = false;                  // in the host's callback: a request may nest
        Asks asks = Asks::Nothing;          // calling the host about the helper's silence
        ULONGLONG askedAt = 0;              // since when
        bool sent = false;                  // the helper has its request
        Kind kind = Kind::Init;             // the request the helper has
        std::optional<Kind> owes;           // a ghost's unanswered callback
        std::uint32_t helper = 0;           // the generation serving it
        bool ended = false;                 // that helper was ended under it
        Abandoned endedBy = Abandoned::No;  // and why
    };
    enum class Entry { Go, Wait, Refuse };

    // Whether a request of `self`'s may start; *waitMs bounds a Wait.
    Entry MayStart(Mode mode, DWORD self, DWORD* waitMs) const;
    Place* Find(std::uint64_t id);
    const Place* Find(std::uint64_t id) const;
    // The topmost ghost next to place `id`: above it, or, for a place on
    // top, between it and the next live place below.
    const Place* GhostNextTo(std::uint64_t id) const;
    // Wakes every waiting thread to look again. Called with the lock held.
    void Changed();
    class Waiting;

    mutable SrwLock lock_;
    std::vector<Place> places_;      // outermost first
    std::vector<HANDLE> waiting_;    // the wake-up events of waiting threads
    std::uint64_t lastId_ = 0;
};

}  // namespace bridge
