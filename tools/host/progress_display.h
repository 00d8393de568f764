#pragma once
// The host's progress callback: draws one live bar line for the transfer in
// progress and answers "abort" once the user has pressed Ctrl+C, or Esc when
// the host reads its commands from the console.
//
// Threading: the plugin calls the callback on the host's own thread; only the
// console's Ctrl+C handler runs elsewhere, and it only sets a flag.

#include <string>

namespace progress_display {

// Installs the Ctrl+C handler; `watchEscape` also polls the console for Esc.
void Install(bool watchEscape);

// Brackets one plugin call that may report progress: Begin clears the abort
// request, End finishes the bar's line if one was drawn.
void Begin();
void End();

// The WFX progress callback. Returns 1 (abort) once the user asked for it.
int __stdcall Callback(int PluginNr, char* SourceName, char* TargetName, int PercentDone);

// The line drawn for one report: bar, percentage, and both names shortened
// from the left to at most `nameWidth` characters each.
std::string Line(const char* source, const char* target, int percent, std::size_t nameWidth);

}  // namespace progress_display
