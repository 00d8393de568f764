#include "bridge/module64/floor.h"

#include <algorithm>

#include "common/timing.h"
#include "common/unique_handle.h"

namespace bridge {

namespace {

// What a host wants its thread back in its message loop for: a message
// posted to it (another thread handing it work and waiting), or input.
constexpr UINT kHostWantsThread = QS_POSTMESSAGE | QS_INPUT;

bool HostWantsThread() { return LOWORD(GetQueueStatus(kHostWantsThread)) != 0; }

// Handles what is in the thread's queue: messages sent from other threads
// always; with `posted`, also what was posted to it and input, as the
// thread's own message loop would. A quit message goes back for that loop.
void HandleMessages(bool posted) {
    MSG message;
    PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    while (posted && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

}  // namespace

// A thread's wait for the floor to change: its wake-up event, listed among
// the waiting while it waits, which every change sets. Without memory or an
// event to spare it looks again every kAskAgainMs instead.
class Floor::Waiting {
public:
    explicit Waiting(Floor& floor) : floor_(floor) {}
    ~Waiting() {
        if (!listed_) return;
        SrwLock::Exclusive hold(floor_.lock_);
        auto& waiting = floor_.waiting_;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), wake_.Get()), waiting.end());
    }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

    // Lists the event, made on first use. Called with the floor's lock held.
    void Enlist() noexcept {
        if (listed_) return;
        if (!wake_.Valid()) wake_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!wake_.Valid()) return;
        try {
            floor_.waiting_.push_back(wake_.Get());
            listed_ = true;
        } catch (...) {
        }
    }
    // Without the lock: until the next change since Enlist, which only
    // another thread makes, or `ms`. Messages sent to the thread are handled
    // meanwhile; `posted`: those posted to it too. A wait for input ends as
    // soon as some comes, for the caller to look.
    void Wait(DWORD ms, bool posted, bool endAtInput) const noexcept {
        if (!listed_) ms = std::min<DWORD>(ms, kAskAgainMs);
        const HANDLE wake = wake_.Get();
        // Handling posted messages, the wait looks at what is queued already;
        // otherwise only at what arrives.
        const DWORD mask = QS_SENDMESSAGE | (posted ? QS_ALLINPUT & ~QS_PAINT : endAtInput ? kHostWantsThread : 0);
        const DWORD flags = posted ? MWMO_INPUTAVAILABLE : 0;
        const ULONGLONG start = GetTickCount64();
        for (;;) {
            const ULONGLONG waited = GetTickCount64() - start;
            if (ms != INFINITE && waited >= ms) return;
            const DWORD left = ms == INFINITE ? INFINITE : static_cast<DWORD>(ms - waited);
            const DWORD woke = listed_ ? MsgWaitForMultipleObjectsEx(1, &wake, left, mask, flags)
                                       : MsgWaitForMultipleObjectsEx(0, nullptr, left, mask, flags);
            if (woke != (listed_ ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0)) return;
            HandleMessages(posted);
            if (endAtInput && HostWantsThread()) return;
        }
    }

private:
    Floor& floor_;
    UniqueHandle wake_;
    bool listed_ = false;
};

Floor::Turn::Turn(Floor& floor, Mode mode) : floor_(floor) {
    const DWORD self = GetCurrentThreadId();
    Waiting waiting(floor_);
    for (;;) {
        DWORD waitMs = INFINITE;
        {
            SrwLock::Exclusive hold(floor_.lock_);
            switch (floor_.MayStart(mode, self, &waitMs)) {
            case Entry::Refuse: return;
            case Entry::Go: {
                Place place;
                place.id = ++floor_.lastId_;
                place.thread = self;
                floor_.places_.push_back(place);
                id_ = place.id;
                return;
            }
            case Entry::Wait: waiting.Enlist(); break;
            }
        }
        waiting.Wait(waitMs, false, true);
    }
}

Floor::Turn::~Turn() {
    if (!Taken()) return;
    SrwLock::Exclusive hold(floor_.lock_);
    auto& places = floor_.places_;
    const auto mine = std::find_if(places.begin(), places.end(), [this](const Place& p) { return p.id == id_; });
    if (mine != places.end() && mine->thread != 0) places.erase(mine);
    floor_.Changed();
}

void Floor::Turn::Bind(std::uint32_t helper) {
    SrwLock::Exclusive hold(floor_.lock_);
    if (Place* me = floor_.Find(id_)) {
        me->helper = helper;
        me->sent = false;
        me->ended = false;
        me->endedBy = Abandoned::No;
    }
}

void Floor::Turn::Sent(Kind kind) {
    SrwLock::Exclusive hold(floor_.lock_);
    if (Place* me = floor_.Find(id_)) {
        me->sent = true;
        me->kind = kind;
    }
}

bool Floor::Turn::WasSent() const {
    SrwLock::Shared hold(floor_.lock_);
    const Place* me = floor_.Find(id_);
    return me != nullptr && me->sent;
}

bool Floor::Turn::Shared() const {
    SrwLock::Shared hold(floor_.lock_);
    const Floor& floor = floor_;
    const Place* me = floor.Find(id_);
    if (me == nullptr) return false;
    return std::any_of(floor.places_.data(), me,
                       [me](const Place& below) { return below.helper == me->helper && !below.ended; });
}

void Floor::Turn::Asking(Asks asks) {
    SrwLock::Exclusive hold(floor_.lock_);
    Place* me = floor_.Find(id_);
    // A ghost asks nothing: its thread has gone back to the host.
    if (me == nullptr || me->thread == 0) return;
    me->asks = asks;
    me->askedAt = GetTickCount64();
    if (asks != Asks::Nothing) floor_.Changed();
}

void Floor::Turn::Open() {
    SrwLock::Exclusive hold(floor_.lock_);
    if (Place* me = floor_.Find(id_)) me->open = true;
    floor_.Changed();
}

bool Floor::Turn::Close() {
    Waiting waiting(floor_);
    for (;;) {
        bool askingAbove = false;
        {
            SrwLock::Exclusive hold(floor_.lock_);
            Place* me = floor_.Find(id_);
            if (me == nullptr) return false;
            me->open = false;
            bool liveAbove = false;
            for (const Place* above = me + 1; above != floor_.places_.data() + floor_.places_.size(); ++above) {
                if (above->thread == 0) continue;
                liveAbove = true;
                askingAbove = askingAbove || above->asks != Asks::Nothing;
            }
            if (!liveAbove) return !me->ended;
            waiting.Enlist();
        }
        // This request cannot be refused: while a request nested above asks
        // the host, whose thread may wait for this one, this thread's own
        // messages are handled as its message loop would.
        waiting.Wait(INFINITE, askingAbove, false);
    }
}

Abandoned Floor::Turn::Why() const {
    SrwLock::Shared hold(floor_.lock_);
    const Place* me = floor_.Find(id_);
    return me != nullptr ? me->endedBy : Abandoned::No;
}

std::optional<Floor::Ghost> Floor::Turn::NextGhost() const {
    SrwLock::Shared hold(floor_.lock_);
    const Place* ghost = floor_.GhostNextTo(id_);
    if (ghost == nullptr) return std::nullopt;
    return Ghost{ghost->kind, ghost->owes};
}

void Floor::Turn::GhostAnswered() {
    SrwLock::Exclusive hold(floor_.lock_);
    if (const Place* ghost = floor_.GhostNextTo(id_)) const_cast<Place*>(ghost)->owes.reset();
}

void Floor::Turn::GhostEnded() {
    SrwLock::Exclusive hold(floor_.lock_);
    if (const Place* ghost = floor_.GhostNextTo(id_)) {
        floor_.places_.erase(floor_.places_.begin() + (ghost - floor_.places_.data()));
    }
}

void Floor::Turn::Detach(std::optional<Kind> owes) {
    SrwLock::Exclusive hold(floor_.lock_);
    if (Place* me = floor_.Find(id_)) {
        me->thread = 0;
        me->open = false;
        me->asks = Asks::Nothing;
        me->owes = owes;
    }
    floor_.Changed();
}

void Floor::HelperEnded(std::uint32_t generation, Abandoned why) {
    SrwLock::Exclusive hold(lock_);
    places_.erase(std::remove_if(places_.begin(), places_.end(),
                                 [generation](const Place& p) { return p.thread == 0 && p.helper == generation; }),
                  places_.end());
    for (Place& place : places_) {
        if (place.helper != generation || place.ended) continue;
        place.ended = true;
        place.endedBy = why;
    }
    Changed();
}

Floor::Entry Floor::MayStart(Mode mode, DWORD self, DWORD* waitMs) const {
    const Place* active = nullptr;  // the innermost live request
    for (const Place& place : places_) {
        if (place.thread == 0) continue;
        // Its own request under way could never end while this one waits.
        if (place.thread == self && (mode == Mode::Alone || !place.open)) return Entry::Refuse;
        active = &place;
    }
    if (active == nullptr) return Entry::Go;
    if (active->open) return mode == Mode::Nest ? Entry::Go : Entry::Wait;
    switch (active->asks) {
    case Asks::Nothing: return Entry::Wait;
    case Asks::Question: return Entry::Refuse;
    case Asks::Progress: {
        const ULONGLONG asked = GetTickCount64() - active->askedAt;
        if (asked >= kQuietMs || HostWantsThread()) return Entry::Refuse;
        *waitMs = static_cast<DWORD>(kQuietMs - asked);
        return Entry::Wait;
    }
    }
    return Entry::Wait;
}

Floor::Place* Floor::Find(std::uint64_t id) {
    return const_cast<Place*>(static_cast<const Floor*>(this)->Find(id));
}

const Floor::Place* Floor::Find(std::uint64_t id) const {
    for (const Place& place : places_) {
        if (place.id == id) return &place;
    }
    return nullptr;
}

const Floor::Place* Floor::GhostNextTo(std::uint64_t id) const {
    const Place* me = Find(id);
    if (me == nullptr) return nullptr;
    const Place* top = places_.data() + places_.size() - 1;
    // A request back from its callback: the ghosts nested in it lie above.
    if (me != top) return top->thread == 0 ? top : nullptr;
    // A new request: those nested where it nests lie below it.
    if (me == places_.data()) return nullptr;
    const Place* below = me - 1;
    return below->thread == 0 ? below : nullptr;
}

void Floor::Changed() {
    for (const HANDLE wake : waiting_) SetEvent(wake);
}

}  // namespace bridge
