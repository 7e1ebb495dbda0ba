// Named counting semaphore, one of the four objects of an encoder channel.
#pragma once

#include <windows.h>

#include <cstdint>

// Routine registered with set_callback; receives the registered context. wait() calls it
// while it waits, about every hx_callback_interval_ms; a nonzero result asks to stop.
typedef LONG(__cdecl* hx_callback)(uintptr_t context);

// Often enough that the host's window never goes half a second unanswered, seldom enough
// that a fast export does not notice.
constexpr DWORD hx_callback_interval_ms = 100;

// What aborted() reports.
constexpr LONG hx_not_aborted = 0;
constexpr LONG hx_aborted_peer_ended = 1;   // the watched process ended
constexpr LONG hx_aborted_by_callback = 2;  // the callback asked to stop

class hx_semaphore {
public:
    hx_semaphore() = default;
    hx_semaphore(const hx_semaphore&) = delete;
    hx_semaphore& operator=(const hx_semaphore&) = delete;

    // The virtual operations keep this slot order: the same object code is linked into
    // both plug-ins and nothing may depend on a reordering.
    virtual ~hx_semaphore();
    // CreateSemaphoreA; an existing name is refused (closed again, false).
    virtual bool create(const char* name, LONG initial_count, LONG maximum_count);
    // OpenSemaphoreA with SEMAPHORE_ALL_ACCESS.
    virtual bool open(const char* name);
    // Closes the handle if one is held and stops watching a process; idempotent.
    virtual void close();
    // Blocks until the semaphore is signalled and returns the system wait's result. When a
    // process is watched, the wait also ends when that process ends, and aborted() then
    // reports hx_aborted_peer_ended: a dead encoder must never block the host for ever. After
    // the time limit (set_time_limit) it returns WAIT_TIMEOUT, with aborted() unchanged.
    // With a callback set, the wait calls it whenever hx_callback_interval_ms have passed
    // since its last call, also when the semaphore is already signalled (a steady stream of
    // requests still gives the host its turn); a nonzero answer ends the wait at once with
    // WAIT_ABANDONED and aborted() reporting hx_aborted_by_callback.
    virtual DWORD wait();
    // ReleaseSemaphore by 1: the call's nonzero success value, or GetLastError on failure.
    virtual DWORD release();
    // Stores the routine and its context; wait() calls it. Its first call comes one interval
    // after this one.
    virtual void set_callback(hx_callback callback, uintptr_t context);
    virtual LONG aborted();

    // Watches `process` (duplicated; the caller keeps its own handle) during wait() and
    // clears the aborted flag. Null stops watching. Returns false if the handle could not
    // be duplicated, in which case nothing is watched.
    bool watch(HANDLE process);

    // How long wait() waits, in milliseconds; INFINITE (the default) for no limit. Kept
    // across close(): the caller sets it once an export, and the wait only passes it on.
    void set_time_limit(DWORD milliseconds) { time_limit_ = milliseconds; }

    HANDLE handle() const { return handle_; }

private:
    hx_callback callback_ = nullptr;
    uintptr_t context_ = 0;
    HANDLE handle_ = nullptr;
    LONG aborted_ = hx_not_aborted;
    HANDLE watched_ = nullptr;
    DWORD time_limit_ = INFINITE;
    DWORD last_callback_ = 0;  // GetTickCount of the callback's last call
};
