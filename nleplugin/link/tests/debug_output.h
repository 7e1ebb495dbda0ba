// Listens to this process's debug output (OutputDebugStringA) the way a debug viewer does,
// through the system's shared "DBWIN_BUFFER" block and its two events, for tests that check
// the lines a plug-in writes there. Only one listener can exist on a machine at a time: tests
// that use it take the machine lock.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

class debug_output_capture {
public:
    debug_output_capture();
    ~debug_output_capture();
    debug_output_capture(const debug_output_capture&) = delete;
    debug_output_capture& operator=(const debug_output_capture&) = delete;

    bool listening() const { return thread_ != nullptr; }
    // The lines this process wrote since the capture began (or since the last clear).
    std::vector<std::string> lines();
    // Whether `line` was written, waiting up to `timeout_ms` for it.
    bool saw(const std::string& line, DWORD timeout_ms = 2000);
    void clear();

private:
    static DWORD WINAPI listen(void* self);

    HANDLE buffer_ready_ = nullptr;
    HANDLE data_ready_ = nullptr;
    HANDLE mapping_ = nullptr;
    const char* view_ = nullptr;
    HANDLE stop_ = nullptr;
    HANDLE thread_ = nullptr;
    CRITICAL_SECTION lock_;
    std::vector<std::string> lines_;
};
