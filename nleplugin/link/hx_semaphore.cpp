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
    if (watched_ == nullptr)
        return WaitForSingleObject(handle_, time_limit_);
    // The semaphore comes first, so a request that is already there is served even if
    // the peer has ended since.
    const HANDLE both[2] = {handle_, watched_};
    const DWORD result = WaitForMultipleObjects(2, both, FALSE, time_limit_);
    if (result != WAIT_OBJECT_0 && result != WAIT_TIMEOUT)
        aborted_ = 1;
    return result;
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
    aborted_ = 0;
    const HANDLE self = GetCurrentProcess();
    return DuplicateHandle(self, process, self, &watched_, SYNCHRONIZE, FALSE, 0) != FALSE;
}
