// Downloads and uploads: the request is checked and both files are opened on
// the caller's thread, so a refusal is a failed HRESULT; the bytes are then
// copied in chunks on a worker thread that fires the progress events: 0 when
// it starts, each new percentage below 100 on the way, and 100 once the
// target is complete and closed.
#include <memory>
#include <string>

#include "binding/bstr.h"
#include "common/call_guarded.h"
#include "tools/reference_engine/faults.h"
#include "tools/reference_engine/storage_engine.h"

namespace {

constexpr DWORD kChunkBytes = 256 * 1024;

class FileHandle {
public:
    explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool Valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    void Reset(HANDLE handle) {
        if (Valid()) CloseHandle(handle_);
        handle_ = handle;
    }
    void Close() { Reset(INVALID_HANDLE_VALUE); }

private:
    HANDLE handle_;
};

HANDLE OpenSource(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

HANDLE CreateTarget(const std::wstring& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

HRESULT LastErrorResult() {
    const DWORD error = GetLastError();
    return error == ERROR_SUCCESS ? E_FAIL : HRESULT_FROM_WIN32(error);
}

// One running transfer; owned by its worker thread.
struct TransferJob {
    CStorageEngine* engine = nullptr;  // one reference, given back by the worker
    HMODULE pinnedModule = nullptr;    // keeps this code loaded until the worker ends
    HANDLE started = nullptr;          // set once the first event is out; the starter's
    FileHandle source, target;
    std::wstring targetPath;           // removed again when the copy fails part-way
    UniqueBstr localName, remoteName;  // the texts every event carries
    LaterFault fault;                  // a planned stop after so many chunks

    void Fire(LONG percent) { engine->FireProgress(localName.Get(), remoteName.Get(), percent); }
};

// A planned stop comes after its chunks, or at the end when there are fewer:
// the process ends there, or the copy fails.
bool StopsHere(const TransferJob& job, LONG chunk, bool atEnd) {
    if (!job.fault.Pending() || (!atEnd && chunk < job.fault.after)) return false;
    job.engine->Faults().StrikeLater(job.fault);  // returns only when the process goes on
    return true;
}

bool CopyChunks(TransferJob& job) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(job.source.Get(), &size)) return false;
    const ULONGLONG total = static_cast<ULONGLONG>(size.QuadPart);
    std::unique_ptr<char[]> buffer(new char[kChunkBytes]);
    ULONGLONG done = 0;
    LONG reported = 0;
    const ULONGLONG startMs = GetTickCount64();
    for (LONG chunk = 0;; ++chunk) {
        if (StopsHere(job, chunk, false)) return false;
        DWORD read = 0, written = 0;
        if (!ReadFile(job.source.Get(), buffer.get(), kChunkBytes, &read, nullptr)) return false;
        if (read == 0) return !StopsHere(job, chunk, true);
        if (!WriteFile(job.target.Get(), buffer.get(), read, &written, nullptr) || written != read) {
            return false;
        }
        done += read;
        // 100 is kept for the end, when the target is complete and closed.
        const LONG percent = done >= total ? 99 : static_cast<LONG>(done * 100 / total);
        if (percent != reported) job.Fire(reported = percent);
        CrashWhenNamed(job.remoteName.Get());
        if (job.engine->ThrottleMs() != 0) Sleep(job.engine->ThrottleMs());
        job.engine->Latency().PaceTransfer(startMs, done);
    }
}

DWORD WINAPI RunTransfer(void* parameter) {
    std::unique_ptr<TransferJob> job(static_cast<TransferJob*>(parameter));
    CStorageEngine* engine = job->engine;
    HMODULE module = job->pinnedModule;
    CallGuardedVoid([&] { job->Fire(0); });
    SetEvent(job->started);  // the starter closes the event: not touched again
    CallGuardedVoid([&] {
        const bool copied = CopyChunks(*job);
        job->source.Close();
        job->target.Close();
        // A failed copy reports no 100: the host sees the transfer stall and
        // can abort it.
        if (copied) {
            job->Fire(100);
        } else {
            DeleteFileW(job->targetPath.c_str());
            if (job->fault.Pending()) engine->Faults().NoteTransferStopped();
        }
    });
    job.reset();
    engine->Release();
    FreeLibraryAndExitThread(module, 0);
}

UniqueBstr RemoteText(const RemotePath& rp) {
    std::string text = "\\";
    text.append(rp.account).append("\\").append(rp.bucket).append("\\").append(rp.key);
    return ToBstr(text.c_str());
}

bool IsObjectKey(const StoreLocation& at) {
    return at.depth == PathLevel::Object && !at.folderKey;
}

bool IsLocalName(BSTR localName) { return localName != nullptr && localName[0] != L'\0'; }

}  // namespace

void CStorageEngine::FireProgress(BSTR localName, BSTR remoteName, LONG percent) {
    SrwLock::Exclusive guard(fireLock_);
    ProgressEventArgs event(localName, remoteName, percent);
    for (IDispatch* sink : Events().Sinks()) {
        RaiseEvent(sink, 1, &event.params);
        sink->Release();
    }
}

HRESULT CStorageEngine::StartTransfer(const std::wstring& sourcePath,
                                      const std::wstring& targetPath, BSTR localName,
                                      const RemotePath& remote) {
    std::unique_ptr<TransferJob> job(new TransferJob);
    job->fault = faults_.TakeLater();
    job->source.Reset(OpenSource(sourcePath));
    if (!job->source.Valid()) return LastErrorResult();
    job->target.Reset(CreateTarget(targetPath));
    if (!job->target.Valid()) return LastErrorResult();
    job->targetPath = targetPath;
    job->localName = UniqueBstr(SysAllocString(localName));
    job->remoteName = RemoteText(remote);
    // A stalled download blocks in the call that starts it, its local file
    // made (an upload stalls before this: Upload).
    StallWhenNamed(job->remoteName.Get());
    job->started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (job->started == nullptr) return LastErrorResult();
    const HANDLE started = job->started;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(&RunTransfer), &job->pinnedModule)) {
        CloseHandle(started);
        return LastErrorResult();
    }
    job->engine = this;
    AddRef();
    HANDLE thread = CreateThread(nullptr, 0, &RunTransfer, job.get(), 0, nullptr);
    if (thread == nullptr) {
        const HRESULT failed = LastErrorResult();
        FreeLibrary(job->pinnedModule);
        Release();
        CloseHandle(started);
        return failed;
    }
    job.release();  // the worker owns it now
    // Returns once the transfer's 0 event is out: the host's progress
    // display starts from the engine's own first report.
    WaitForSingleObject(started, INFINITE);
    CloseHandle(started);
    CloseHandle(thread);
    return S_OK;
}

HRESULT CStorageEngine::Download(const RemotePath& path, BSTR localName, LONG* result) {
    if (result != nullptr) *result = 0;
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&]() -> HRESULT {
        StoreLocation at;
        if (!IsLocalName(localName) || !Resolve(path, &at) || !IsObjectKey(at)) return E_INVALIDARG;
        return StartTransfer(at.path, localName, localName, path);
    });
}

HRESULT CStorageEngine::Upload(BSTR localName, const RemotePath& path, LONG* result) {
    if (result != nullptr) *result = 0;
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&]() -> HRESULT {
        StoreLocation at;
        if (!IsLocalName(localName) || !Resolve(path, &at) || !IsObjectKey(at)) return E_INVALIDARG;
        // A stalled upload blocks before its object exists, as an object
        // store shows an object only once its upload is complete.
        StallWhenNamed(RemoteText(path).Get());
        // Folders along the key come into being for a file that is there.
        if (!IsDirectory(at.bucketPath) || GetFileAttributesW(localName) == INVALID_FILE_ATTRIBUTES) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        if (!MakeDirectories(at.bucketPath, ParentOf(at.path))) return LastErrorResult();
        return StartTransfer(localName, at.path, localName, path);
    });
}
