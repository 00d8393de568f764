#pragma once
// Nothing in the store is replaced without a question: before a change that
// could replace an entry (an upload, a copy, move or rename inside the store)
// the plugin finds out whether its target exists, so that the host can ask
// the user. It answers from what it knows of the target's folder
// (folder_knowledge.h), or else from the engine's own listing of that folder,
// and follows its own changes so that what it knows stays true.

#include "plugin/folder_knowledge.h"
#include "plugin/plugin_state.h"

enum class TargetState {
    Free,
    Taken,
    Unknown,  // the folder's listing failed: nothing can be said
};

// Whether an entry of the store has the name of the host path `targetPath`
// (one that parses and fits), letter case aside. `sourcePath`, for a rename,
// is the entry being renamed: when both name one entry of one folder up to
// letter case, the entry does not count against itself. Needs the engine.
// May throw std::bad_alloc.
TargetState LookUpTarget(PluginState& state, const char* targetPath,
                         const char* sourcePath = nullptr);

// A change the plugin is about to make to the entry a host path names,
// prepared before the engine is asked so that following it afterwards needs
// no memory; it ends with the scope. Unless Succeeded() was called, the
// outcome is not known and the knowledge is forgotten.
class PlannedChange {
public:
    enum class Effect { Adds, Removes };

    // May throw std::bad_alloc, before anything is changed.
    PlannedChange(FolderKnowledge& knowledge, const char* hostPath, Effect effect);
    ~PlannedChange();
    PlannedChange(const PlannedChange&) = delete;
    PlannedChange& operator=(const PlannedChange&) = delete;

    void Succeeded() noexcept { succeeded_ = true; }

private:
    FolderKnowledge& knowledge_;
    Effect effect_;
    FolderKnowledge::Change change_;
    bool succeeded_ = false;
};
