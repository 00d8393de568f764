#pragma once
// The file manager's file-system plugin interface (WFX), as published: the
// host's callbacks, its remote-file record, result codes and the exports.

#include <windows.h>

using tProgressProc = int(__stdcall*)(int PluginNr, char* SourceName, char* TargetName,
                                      int PercentDone);
using tLogProc = void(__stdcall*)(int PluginNr, int MsgType, char* LogString);
using tRequestProc = BOOL(__stdcall*)(int PluginNr, int RequestType, char* CustomTitle,
                                      char* CustomText, char* ReturnedText, int maxlen);

struct RemoteInfoStruct {
    DWORD SizeLow;
    DWORD SizeHigh;
    FILETIME LastWriteTime;
    int Attr;
};

constexpr int FS_FILE_OK = 0;
constexpr int FS_FILE_EXISTS = 1;
constexpr int FS_FILE_NOTFOUND = 2;
constexpr int FS_FILE_READERROR = 3;
constexpr int FS_FILE_WRITEERROR = 4;
constexpr int FS_FILE_USERABORT = 5;
constexpr int FS_FILE_NOTSUPPORTED = 6;

constexpr int FS_EXEC_OK = 0;
constexpr int FS_EXEC_ERROR = 1;
constexpr int FS_EXEC_YOURSELF = -1;

// The command the plugin posts to the host's main window (WM_COMMAND, this in
// the low word of wParam, lParam 0) after it started creating an account or
// bucket from a placeholder entry: the host re-reads the directory.
constexpr WORD kRereadCommand = 104;

// The host's request callback: the kind of question, a Yes/No message box.
constexpr int RT_MsgYesNo = 9;

constexpr int FS_COPYFLAGS_OVERWRITE = 1;
constexpr int FS_COPYFLAGS_RESUME = 2;
constexpr int FS_COPYFLAGS_MOVE = 4;
constexpr int FS_COPYFLAGS_EXISTS_SAMECASE = 8;
constexpr int FS_COPYFLAGS_EXISTS_DIFFERENTCASE = 16;

extern "C" {
int __stdcall FsInit(int PluginNr, tProgressProc pProgressProc, tLogProc pLogProc,
                     tRequestProc pRequestProc);
void __stdcall FsGetDefRootName(char* DefRootName, int maxlen);
HANDLE __stdcall FsFindFirst(char* Path, WIN32_FIND_DATAA* FindData);
BOOL __stdcall FsFindNext(HANDLE Hdl, WIN32_FIND_DATAA* FindData);
int __stdcall FsFindClose(HANDLE Hdl);
BOOL __stdcall FsMkDir(char* Path);
BOOL __stdcall FsRemoveDir(char* RemoteName);
BOOL __stdcall FsDeleteFile(char* RemoteName);
int __stdcall FsRenMovFile(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                           RemoteInfoStruct* RemoteInfo);
int __stdcall FsExecuteFile(HWND MainWin, char* RemoteName, char* Verb);
int __stdcall FsGetFile(char* RemoteName, char* LocalName, int CopyFlags,
                        RemoteInfoStruct* RemoteInfo);
int __stdcall FsPutFile(char* LocalName, char* RemoteName, int CopyFlags);
}
