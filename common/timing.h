#pragma once
// The times that set what the user meets, each defined here and nowhere
// else: the plugin and corvanel.wfx64 keep them, the tests and the stateful
// fuzzer's model read them, and the build hands them to the scripts that
// drive a real file manager (generated/timing.json, written from this file).

// The look before replacing (plugin/folder_knowledge.h): what the plugin
// knows of a folder serves, counted from the moment its listing began, for
// kFolderKnownForMs or for kFolderKnownPerListingCost times what the listing
// cost, whichever is longer. Looking again then costs at most that share of
// the time, whatever the folder's size and the store's speed.
constexpr unsigned long long kFolderKnownForMs = 2000;
constexpr unsigned long long kFolderKnownPerListingCost = 10;

// corvanel.wfx64 (bridge/module64/helper_link.h). After this much silence
// the user is asked whether to stop the engine: twice the 5 s after which
// Windows itself calls a window that takes no input "Not Responding", so
// that a user who waits that long without a sign of life has a way out, and
// long enough for a slow network's round trip, which seldom goes unanswered
// that long. A No asks again once the silence has doubled: the longer the
// user chose to wait, the less often asked.
constexpr unsigned long long kQuestionAfterMs = 10000;
// A host without a request callback cannot ask: its call gives up after
// three times the question's bound, as a network client gives up on a server
// that has not answered for half a minute.
constexpr unsigned long long kGiveUpAfterMs = 30000;
// A watched request (a listing, a transfer, a store copy) whose helper has
// said nothing for kQuietMs shows the host's progress window, through its
// progress callback, and asks it again every kAskAgainMs: a second is what a
// user lets pass before wondering, and a tenth of one keeps a Cancel prompt.
// A host callback about the silence that has not come back after kQuietMs is
// waiting for something: other threads' requests are then refused rather
// than made to wait for it.
constexpr unsigned long long kQuietMs = 1000;
constexpr unsigned long long kAskAgainMs = 100;
