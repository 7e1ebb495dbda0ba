#include "hx_semaphore.h"

hx_semaphore::~hx_semaphore()
{
    close();
}

bool hx_semaphore::create(const char* name, LONG initial_count, LONG maximum_count)
{
    handle_ = CreateSemaphoreA(nullptr, initial_count, maximum_count, name);
    if (handle_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        close();
        return false;
    }
    return handle_ != nullptr;
}

bool hx_semaphore::open(const char* name)
{
    handle_ = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, name);
    return handle_ != nullptr;
}

void hx_semaphore::close()
{
    if (handle_ != nullptr) {
        CloseHandle(handle_);
        handle_ = nullptr;
    }
    watch(nullptr);
}

DWORD hx_semaphore::wait()
{
    // The semaphore comes first, so a request that is already there is served even if
    // the peer has ended since.
    const HANDLE both[2] = {handle_, watched_};
    const DWORD count = watched_ != nullptr ? 2 : 1;
    const DWORD started = GetTickCount();
    for (;;) {
        DWORD slice = time_limit_;
        if (callback_ != nullptr) {
            DWORD now = GetTickCount();
            if (now - last_callback_ >= hx_callback_interval_ms) {
                last_callback_ = now;
                if (callback_(context_) != 0) {
                    aborted_ = hx_aborted_by_callback;
                    return WAIT_ABANDONED;
                }
                now = GetTickCount();
            }
            const DWORD since = now - last_callback_;
            slice = since < hx_callback_interval_ms ? hx_callback_interval_ms - since : 0;
            if (time_limit_ != INFINITE) {
                const DWORD waited = now - started;
                if (waited >= time_limit_)
                    return WAIT_TIMEOUT;
                slice = slice < time_limit_ - waited ? slice : time_limit_ - waited;
            }
        }
        const DWORD result = WaitForMultipleObjects(count, both, FALSE, slice);
        if (result == WAIT_OBJECT_0)
            return result;
        if (result != WAIT_TIMEOUT) {
            aborted_ = hx_aborted_peer_ended;
            return result;
        }
        // Without a callback the slice was the whole time limit.
        if (callback_ == nullptr)
            return result;
    }
}

DWORD hx_semaphore::release()
{
    const BOOL ok = ReleaseSemaphore(handle_, 1, nullptr);
    return ok ? static_cast<DWORD>(ok) : GetLastError();
}

void hx_semaphore::set_callback(hx_callback callback, uintptr_t context)
{
    callback_ = callback;
    context_ = context;
    last_callback_ = GetTickCount();
}

LONG hx_semaphore::aborted()
{
    return aborted_;
}

bool hx_semaphore::watch(HANDLE process)
{
    if (watched_ != nullptr) {
        CloseHandle(watched_);
        watched_ = nullptr;
    }
    if (process == nullptr)
        return true;
    aborted_ = hx_not_aborted;
    const HANDLE self = GetCurrentProcess();
    return DuplicateHandle(self, process, self, &watched_, SYNCHRONIZE, FALSE, 0) != FALSE;
}
