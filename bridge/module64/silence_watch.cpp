#include "bridge/module64/silence_watch.h"

#include <optional>
#include <string>

#include "bridge/messages.h"
#include "common/timing.h"

namespace bridge {

namespace {

std::string Shown(const Text& text) { return text ? *text : std::string(); }

// The request in the user's words, with its paths as the host gave them.
std::string WhatWaits(const Message& request, const Watch& watch) {
    switch (request.kind) {
    case Kind::Init: return "starting the storage engine";
    case Kind::RootName: return "naming the plugin's root";
    case Kind::FindFirst: return "listing " + Shown(As<msg::FindFirstRequest>(request).path);
    case Kind::FindNext: return "listing " + (watch.source ? *watch.source : std::string("a folder"));
    case Kind::FindClose: return "ending a listing";
    case Kind::MkDir: return "creating " + Shown(As<msg::MkDirRequest>(request).path);
    case Kind::RemoveDir: return "removing the folder " + Shown(As<msg::RemoveDirRequest>(request).path);
    case Kind::DeleteFile: return "deleting " + Shown(As<msg::DeleteFileRequest>(request).path);
    case Kind::RenMovFile: {
        const auto copy = As<msg::RenMovFileRequest>(request);
        return (copy.move ? "moving " : "copying ") + Shown(copy.oldName) + " to " + Shown(copy.newName);
    }
    case Kind::ExecuteFile: {
        const auto command = As<msg::ExecuteFileRequest>(request);
        const std::string verb = Shown(command.verb), path = Shown(command.path);
        if (verb == "open") return "opening " + path;
        if (verb == "properties") return "showing the properties of " + path;
        return "carrying out \"" + verb + "\" on " + path;
    }
    case Kind::GetFile: {
        const auto download = As<msg::GetFileRequest>(request);
        return "downloading " + Shown(download.remoteName) + " to " + Shown(download.localName);
    }
    case Kind::PutFile: {
        const auto upload = As<msg::PutFileRequest>(request);
        return "uploading " + Shown(upload.localName) + " to " + Shown(upload.remoteName);
    }
    default: return "answering the file manager";
    }
}

// While the request asks the host about the silence, the floor knows.
class Asking {
public:
    Asking(Floor::Turn& turn, Floor::Asks asks) : turn_(turn) { turn_.Asking(asks); }
    ~Asking() { turn_.Asking(Floor::Asks::Nothing); }
    Asking(const Asking&) = delete;
    Asking& operator=(const Asking&) = delete;

private:
    Floor::Turn& turn_;
};

}  // namespace

SilenceWatch::Heard SilenceWatch::Next(const Message& request, Message* message, Watch* watch, Floor::Turn& turn) {
    // Without a progress callback the host has no way to stop a request itself.
    const bool hostWatches = watch->shown && host_.progress != nullptr;
    ULONGLONG quietSince = GetTickCount64();  // restarts while the helper shows a window
    ULONGLONG askAt = kQuestionAfterMs;       // the silence that asks the user next
    // What the helper sent while a host callback ran is its answer after all.
    const auto heardMeanwhile = [&]() -> std::optional<Heard> {
        switch (helper_.Receive(message, 0)) {
        case Inbox::Wait::Message: return Heard::Message;
        case Inbox::Wait::Broken: return Heard::Broken;
        case Inbox::Wait::Quiet: break;
        }
        return std::nullopt;
    };
    for (DWORD wait = kQuietMs;; wait = kAskAgainMs) {
        switch (helper_.Receive(message, wait)) {
        case Inbox::Wait::Message: return Heard::Message;
        case Inbox::Wait::Broken: return Heard::Broken;
        case Inbox::Wait::Quiet: break;
        }
        if (helper_.ShowsWindow()) {
            quietSince = GetTickCount64();
            askAt = kQuestionAfterMs;
        }
        if (hostWatches) {
            Text source = watch->source, target = watch->target;
            int cancel = 0;
            {
                const Asking asking(turn, Floor::Asks::Progress);
                cancel = CallProgress(host_.progress, host_.pluginNumber, Writable(source), Writable(target),
                                      watch->percent);
            }
            if (cancel != 0) return heardMeanwhile().value_or(Heard::Cancelled);
        }
        const ULONGLONG silent = GetTickCount64() - quietSince;
        if (host_.request == nullptr) {
            if (silent < kGiveUpAfterMs) continue;
            watch->abandoned = Abandoned::AfterBound;
            return Heard::GivenUp;
        }
        if (silent < askAt) continue;
        bool stop = false;
        {
            const Asking asking(turn, Floor::Asks::Question);
            stop = UserStops(request, *watch, silent, turn.Shared());
        }
        if (const std::optional<Heard> heard = heardMeanwhile()) return *heard;
        if (stop) {
            watch->abandoned = Abandoned::ByUser;
            return Heard::GivenUp;
        }
        askAt = 2 * (GetTickCount64() - quietSince);
    }
}

bool SilenceWatch::UserStops(const Message& request, const Watch& watch, ULONGLONG silentMs, bool others) const {
    std::string text = "The storage engine has not answered for " + std::to_string(silentMs / 1000) +
                       " seconds while " + WhatWaits(request, watch) +
                       ".\n\nStop the storage engine? Yes stops it, and what it was doing is left"
                       " unfinished" +
                       (others ? ", and so is the file manager's action this one was started"
                                 " from. "
                               : ". ") +
                       "No waits on.";
    char title[] = "Corvanel";
    char returned[16] = {};  // a Yes/No question returns no text; a host may still write one
    return CallRequest(host_.request, host_.pluginNumber, RT_MsgYesNo, title, &text[0], returned,
                       sizeof(returned)) != FALSE;
}

}  // namespace bridge
