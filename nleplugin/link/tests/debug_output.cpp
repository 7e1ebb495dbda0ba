#include "debug_output.h"

#include <algorithm>
#include <cstring>

namespace {

// The block: the writer's process ID, then the text and its terminating zero.
constexpr DWORD buffer_size = 4096;

}  // namespace

debug_output_capture::debug_output_capture()
{
    InitializeCriticalSection(&lock_);
    buffer_ready_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_BUFFER_READY");
    data_ready_ = CreateEventA(nullptr, FALSE, FALSE, "DBWIN_DATA_READY");
    mapping_ =
        CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, buffer_size, "DBWIN_BUFFER");
    // Another listener already owns the names: this one stays deaf rather than steal turns.
    if (buffer_ready_ == nullptr || data_ready_ == nullptr || mapping_ == nullptr ||
        GetLastError() == ERROR_ALREADY_EXISTS)
        return;
    view_ = static_cast<const char*>(MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, buffer_size));
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (view_ != nullptr && stop_ != nullptr)
        thread_ = CreateThread(nullptr, 0, listen, this, 0, nullptr);
}

debug_output_capture::~debug_output_capture()
{
    if (thread_ != nullptr) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, 5000);
        CloseHandle(thread_);
    }
    if (view_ != nullptr)
        UnmapViewOfFile(view_);
    for (HANDLE h : {stop_, mapping_, data_ready_, buffer_ready_})
        if (h != nullptr)
            CloseHandle(h);
    DeleteCriticalSection(&lock_);
}

DWORD WINAPI debug_output_capture::listen(void* self)
{
    auto* me = static_cast<debug_output_capture*>(self);
    const HANDLE waits[2] = {me->stop_, me->data_ready_};
    for (;;) {
        SetEvent(me->buffer_ready_);
        if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0 + 1)
            return 0;
        DWORD writer;
        std::memcpy(&writer, me->view_, sizeof writer);
        if (writer != GetCurrentProcessId())
            continue;
        const char* text = me->view_ + sizeof writer;
        const std::string line(text, strnlen(text, buffer_size - sizeof writer));
        EnterCriticalSection(&me->lock_);
        me->lines_.push_back(line);
        LeaveCriticalSection(&me->lock_);
    }
}

std::vector<std::string> debug_output_capture::lines()
{
    EnterCriticalSection(&lock_);
    std::vector<std::string> copy = lines_;
    LeaveCriticalSection(&lock_);
    return copy;
}

bool debug_output_capture::saw(const std::string& line, DWORD timeout_ms)
{
    const DWORD start = GetTickCount();
    for (;;) {
        const std::vector<std::string> now = lines();
        if (std::find(now.begin(), now.end(), line) != now.end())
            return true;
        if (GetTickCount() - start >= timeout_ms)
            return false;
        Sleep(10);
    }
}

void debug_output_capture::clear()
{
    EnterCriticalSection(&lock_);
    lines_.clear();
    LeaveCriticalSection(&lock_);
}
