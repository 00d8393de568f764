#pragma once
// Runs a piece of work on a Windows thread of its own, the way a real engine
// raises its events on a thread the plugin does not own. Joined by Join() or
// at the end of scope, so no test ends with the thread still running.

#include <windows.h>

#include <functional>
#include <utility>

class WorkerThread {
public:
    explicit WorkerThread(std::function<void()> work) : work_(std::move(work)) {
        thread_ = CreateThread(nullptr, 0, &WorkerThread::Run, this, 0, nullptr);
    }
    ~WorkerThread() { Join(); }
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool Started() const { return thread_ != nullptr; }
    bool Done() const { return thread_ == nullptr || WaitForSingleObject(thread_, 0) == WAIT_OBJECT_0; }
    void Join() {
        if (thread_ == nullptr) return;
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<WorkerThread*>(self)->work_();
        return 0;
    }

    std::function<void()> work_;
    HANDLE thread_ = nullptr;
};
