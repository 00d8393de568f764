#pragma once
// corvanel.wfx64's calls of the host's callbacks. Each keeps what the x64
// calling convention has a callee preserve (rbx, rbp, rdi, rsi, r12 to r15,
// xmm6 to xmm15, MXCSR and the x87 control word) whatever the callback does
// to them: a file manager whose progress callback processes window messages
// has been seen to come back from it with xmm6 changed (Double Commander
// under Wine, when the user's keys called the plugin from inside it), and
// compiled code may keep a value there across the call.

#include "bridge/protocol.h"
#include "common/wfx_api.h"

namespace bridge {

// The host's callbacks as FsInit gave them, for the calls the module makes
// itself and for each new helper's FsInit.
struct HostCallbacks {
    int pluginNumber = 0;
    tProgressProc progress = nullptr;
    tLogProc log = nullptr;
    tRequestProc request = nullptr;
    // Which are there, as FsInit's request carries it (bridge/protocol.h).
    int Mask() const;
};

int CallProgress(tProgressProc progress, int pluginNumber, char* source, char* target, int percent);
void CallLog(tLogProc log, int pluginNumber, int messageType, char* text);
BOOL CallRequest(tRequestProc request, int pluginNumber, int requestType, char* title, char* text,
                 char* returned, int size);

}  // namespace bridge
