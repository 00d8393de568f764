#include "bridge/module64/floor.h"

#include <algorithm>
#include <new>

#include "common/unique_handle.h"

namespace bridge {

// A thread's wait for the floor to change: its wake-up event, listed among
// the waiting while it waits, which every change sets. The thread handles
// the messages that other threads send to its windows meanwhile.
class Floor::Waiting {
public:
    explicit Waiting(Floor& floor) : floor_(floor) {}
    ~Waiting() {
        if (!wake_.Valid()) return;
        SrwLock::Exclusive hold(floor_.lock_);
        auto& waiting = floor_.waiting_;
        waiting.erase(std::remove(waiting.begin(), waiting.end(), wake_.Get()), waiting.end());
    }
    Waiting(const Waiting&) = delete;
    Waiting& operator=(const Waiting&) = delete;

    // Lists the event, made on first use. Called with the floor's lock held.
    void Enlist() {
        if (wake_.Valid()) return;
        wake_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!wake_.Valid()) throw std::bad_alloc();
        try {
            floor_.waiting_.push_back(wake_.Get());
        } catch (...) {
            wake_.Reset();
            throw;
        }
    }
    // Without the lock: until the next change since Enlist, which only the
    // thread that makes it ends.
    void Wait() const {
        const HANDLE wake = wake_.Get();
        for (;;) {
            const DWORD woke = MsgWaitForMultipleObjectsEx(1, &wake, INFINITE, QS_SENDMESSAGE, MWMO_INPUTAVAILABLE);
            if (woke != WAIT_OBJECT_0 + 1) return;
            MSG message;
            PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
    }

private:
    Floor& floor_;
    UniqueHandle wake_;
};

Floor::Turn::Turn(Floor& floor, Mode mode) : floor_(floor) {
    const DWORD self = GetCurrentThreadId();
    Waiting waiting(floor_);
    for (;;) {
        {
            SrwLock::Exclusive hold(floor_.lock_);
            switch (floor_.MayStart(mode, self)) {
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
        waiting.Wait();
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
    Place& me = *floor_.Find(id_);
    me.helper = helper;
    me.sent = false;
    me.ended = false;
    me.endedBy = Abandoned::No;
}

void Floor::Turn::Sent(Kind kind) {
    SrwLock::Exclusive hold(floor_.lock_);
    Place& me = *floor_.Find(id_);
    me.sent = true;
    me.kind = kind;
}

bool Floor::Turn::WasSent() const {
    SrwLock::Shared hold(floor_.lock_);
    return floor_.Find(id_)->sent;
}

bool Floor::Turn::Shared() const {
    SrwLock::Shared hold(floor_.lock_);
    const Floor& floor = floor_;
    const Place* me = floor.Find(id_);
    return std::any_of(floor.places_.data(), me,
                       [me](const Place& below) { return below.helper == me->helper && !below.ended; });
}

void Floor::Turn::Asking(bool asking) {
    SrwLock::Exclusive hold(floor_.lock_);
    floor_.Find(id_)->asking = asking;
    if (asking) floor_.Changed();
}

void Floor::Turn::Open() {
    SrwLock::Exclusive hold(floor_.lock_);
    floor_.Find(id_)->open = true;
    floor_.Changed();
}

bool Floor::Turn::Close() {
    Waiting waiting(floor_);
    for (;;) {
        {
            SrwLock::Exclusive hold(floor_.lock_);
            Place* me = floor_.Find(id_);
            me->open = false;
            const bool liveAbove = std::any_of(me + 1, floor_.places_.data() + floor_.places_.size(),
                                               [](const Place& above) { return above.thread != 0; });
            if (!liveAbove) return !me->ended;
            waiting.Enlist();
        }
        waiting.Wait();
    }
}

Abandoned Floor::Turn::Why() const {
    SrwLock::Shared hold(floor_.lock_);
    return floor_.Find(id_)->endedBy;
}

std::optional<Floor::Ghost> Floor::Turn::NextGhost() const {
    SrwLock::Shared hold(floor_.lock_);
    const Place* ghost = floor_.GhostNextTo(id_);
    if (ghost == nullptr) return std::nullopt;
    return Ghost{ghost->kind, ghost->owes};
}

void Floor::Turn::GhostAnswered() {
    SrwLock::Exclusive hold(floor_.lock_);
    const_cast<Place*>(floor_.GhostNextTo(id_))->owes.reset();
}

void Floor::Turn::GhostEnded() {
    SrwLock::Exclusive hold(floor_.lock_);
    const Place* ghost = floor_.GhostNextTo(id_);
    floor_.places_.erase(floor_.places_.begin() + (ghost - floor_.places_.data()));
}

void Floor::Turn::Detach(std::optional<Kind> owes) {
    SrwLock::Exclusive hold(floor_.lock_);
    Place& me = *floor_.Find(id_);
    me.thread = 0;
    me.open = false;
    me.asking = false;
    me.owes = owes;
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

Floor::Entry Floor::MayStart(Mode mode, DWORD self) const {
    const Place* active = nullptr;  // the innermost live request
    for (const Place& place : places_) {
        if (place.thread == 0) continue;
        // Its own request under way could never end while this one waits.
        if (place.thread == self && (mode == Mode::Alone || !place.open)) return Entry::Refuse;
        active = &place;
    }
    if (active == nullptr) return Entry::Go;
    // A thread that asks the host about its helper's silence may be waiting
    // for this one.
    if (!active->open && active->asking) return Entry::Refuse;
    return mode == Mode::Nest && active->open ? Entry::Go : Entry::Wait;
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
