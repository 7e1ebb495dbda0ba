// Asks a window, from a thread of its own, whether it answers: every 100 ms a WM_NULL sent
// with SendMessageTimeout, the check Windows makes before it greys a window out and titles it
// "(Not Responding)". Keeps the longest time one such message waited for its answer, so that
// a host stand-in can print how long the plug-in ever left its window unanswered:
//
//   responsiveness: longest unanswered message 112 ms (96 asked)
#pragma once

#include <windows.h>

#include <cstdio>

class responsiveness_probe {
public:
    explicit responsiveness_probe(HWND window) : window_(window)
    {
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
    }
    ~responsiveness_probe() { finish(); }
    responsiveness_probe(const responsiveness_probe&) = delete;
    responsiveness_probe& operator=(const responsiveness_probe&) = delete;

    // Stops asking; the figures stay. Idempotent.
    void finish()
    {
        if (thread_ != nullptr) {
            SetEvent(stop_);
            // The window may be this thread's own: its last question is answered meanwhile,
            // instead of waiting out the probe's 30 s.
            while (MsgWaitForMultipleObjects(1, &thread_, FALSE, INFINITE, QS_SENDMESSAGE) ==
                   WAIT_OBJECT_0 + 1) {
                MSG message;
                PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            }
            CloseHandle(thread_);
            thread_ = nullptr;
        }
        if (stop_ != nullptr) {
            CloseHandle(stop_);
            stop_ = nullptr;
        }
    }

    DWORD longest_ms() const { return longest_; }
    long asked() const { return asked_; }

    void print() const
    {
        std::printf("responsiveness: longest unanswered message %lu ms (%ld asked)\n",
                    static_cast<unsigned long>(longest_), asked_);
        std::fflush(stdout);
    }

private:
    static DWORD WINAPI run(void* self) { return static_cast<responsiveness_probe*>(self)->loop(); }

    DWORD loop()
    {
        while (WaitForSingleObject(stop_, 100) == WAIT_TIMEOUT) {
            const DWORD sent = GetTickCount();
            DWORD_PTR result = 0;
            // Far longer than any wait worth measuring; a window that never answers is
            // recorded at that length rather than hanging the probe.
            SendMessageTimeoutA(window_, WM_NULL, 0, 0, SMTO_NORMAL, 30000, &result);
            const DWORD took = GetTickCount() - sent;
            if (took > longest_)
                longest_ = took;
            ++asked_;
        }
        return 0;
    }

    HWND window_;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    volatile DWORD longest_ = 0;
    volatile long asked_ = 0;
};
